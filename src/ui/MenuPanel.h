#pragma once
#include <QElapsedTimer>
#include <QFrame>
#include <QRect>

class PanelModel;
class QVBoxLayout;
class QWidget;

// The panel that drops down from the status item: the talk hint and setup warnings, the
// dictionary with its words, what the pill shows, the fast lane, and the actions. A popup:
// any action or a click outside closes it. Built afresh from its model each time it opens.
// Thread: main.
class MenuPanel : public QFrame {
    Q_OBJECT
  public:
    explicit MenuPanel(PanelModel& model);

    // Opens under `anchor` (the status item), or at the pointer when that is unknown.
    void open(const QRect& anchor);
    // Whether it closed a moment ago: the click on the status item that closed it must not
    // open it again.
    bool justClosed() const;
    bool dictionaryExpanded() const { return expanded_; }
    void setDictionaryExpanded(bool on);

  protected:
    void hideEvent(QHideEvent* e) override;

  private:
    void rebuild();
    void fillDictionary(QWidget* into);
    PanelModel& model_;
    QWidget* content_ = nullptr;
    QWidget* words_ = nullptr;
    bool expanded_ = false;
    bool showedNew_ = false;  // new learned words were on show since it opened
    QElapsedTimer closedAt_;
};

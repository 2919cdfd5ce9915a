#pragma once
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class UpdateCardModel;
class UpdateIconView;

// The update card as a widget: icon, title, detail, progress and the state's buttons,
// following a model and the UI language. Hidden while the model has no state. Embeddable in
// any window. Thread: main.
class UpdateCardView : public QWidget {
    Q_OBJECT
  public:
    explicit UpdateCardView(UpdateCardModel& model, QWidget* parent = nullptr);

    QLabel* titleLabel() const { return title_; }
    QLabel* detailLabel() const { return detail_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* primaryButton() const { return primary_; }
    QPushButton* secondaryButton() const { return secondary_; }
    QToolButton* closeButton() const { return close_; }

  private:
    void refresh();

    UpdateCardModel& model_;
    UpdateIconView* icon_;
    QLabel* title_;
    QLabel* detail_;
    QProgressBar* progress_;
    QPushButton* primary_;
    QPushButton* secondary_;
    QToolButton* close_;
};

// A small window that holds the card alone: where updates are shown until the main window
// embeds the card, and the "--preview-window --update NAME" preview. Thread: main.
class UpdateWindow : public QWidget {
    Q_OBJECT
  public:
    // `hideWithCard`: the window goes away when the card is hidden.
    UpdateWindow(UpdateCardModel& model, bool hideWithCard);
    UpdateCardView* card() const { return card_; }
    void present();

  private:
    UpdateCardView* card_;
};

struct LaunchOptions;

// "--preview-window --update NAME": the sample state NAME on the card, until the window is
// closed. The QApplication must exist; returns the exit status.
namespace UpdatePreview {
int run(const LaunchOptions& options);
}

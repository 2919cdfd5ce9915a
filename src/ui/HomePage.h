#pragma once
#include <QFrame>
#include <QUuid>
#include <QWidget>

#include "core/HistoryStore.h"

class MainModel;
class PermissionRows;
class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;

// One dictation in the list: icon, text, time; Copy and Delete on hover or focus (and
// Ctrl+C / Delete from the keyboard). Thread: main.
class HistoryRow : public QFrame {
    Q_OBJECT
  public:
    HistoryRow(const HistoryEntry& entry, const QDateTime& now, QWidget* parent);
    QUuid id() const { return id_; }
    QToolButton* copyButton() const { return copy_; }
    QToolButton* deleteButton() const { return delete_; }
    // Puts the text on the clipboard (the Edit menu's Copy reaches it too).
    Q_INVOKABLE void copy();

  Q_SIGNALS:
    void deleteRequested(const QUuid& id);

  protected:
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
    void focusInEvent(QFocusEvent*) override;
    void focusOutEvent(QFocusEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void paintEvent(QPaintEvent*) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void showActions(bool on);
    QUuid id_;
    QString text_;
    QToolButton* copy_;
    QToolButton* delete_;
    bool hot_ = false;
};

// The home page: the invitation to talk, the setup still to do, the all-time figures and the
// history list (newest first). Thread: main.
class HomePage : public QWidget {
    Q_OBJECT
  public:
    explicit HomePage(MainModel& model, QWidget* parent = nullptr);
    void refresh();

    // For tests: the figures as shown.
    QLabel* wordsFigure() const { return words_; }
    QLabel* timeFigure() const { return time_; }
    QLabel* rateFigure() const { return rate_; }
    QList<HistoryRow*> rows() const;

  private:
    void fillList();
    MainModel& model_;
    QLabel* verb_;
    QLabel* keycap_;
    QLabel* rest_;
    QLabel* explanation_;
    QWidget* setupBox_;
    QLabel* setupTitle_;
    PermissionRows* permissions_;
    QLabel* words_;
    QLabel* wordsCaption_;
    QLabel* time_;
    QLabel* timeCaption_;
    QLabel* rate_;
    QLabel* rateCaption_;
    QVBoxLayout* list_;
    QWidget* empty_;
    QLabel* emptyTitle_;
    QLabel* emptyText_;
    QPushButton* more_;
    int shown_ = 0;
};

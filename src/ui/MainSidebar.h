#pragma once
#include <QWidget>

#include "core/MainModel.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

// The main window's sidebar: the three pages, and in its footer the plan card and the account
// button. Thread: main.
class MainSidebar : public QWidget {
    Q_OBJECT
  public:
    explicit MainSidebar(MainModel& model, QWidget* parent = nullptr);
    void refresh();
    QToolButton* pageButton(MainPage page) const { return pages_[int(page)]; }
    QToolButton* accountButton() const { return account_; }
    QLabel* planLine() const { return plan_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    MainModel& model_;
    QToolButton* pages_[3];
    QWidget* planCard_;
    QLabel* plan_;
    QProgressBar* meter_;
    QLabel* meterText_;
    QLabel* reset_;
    QPushButton* upgrade_;
    QToolButton* account_;
};

#pragma once
#include <QWidget>

class MainModel;
class QLabel;
class QPushButton;

// What the main window shows while nobody is signed in: why to sign in and the button that
// starts it. Thread: main.
class WelcomeView : public QWidget {
    Q_OBJECT
  public:
    explicit WelcomeView(MainModel& model, QWidget* parent = nullptr);
    void refresh();
    QPushButton* continueButton() const { return continue_; }

  private:
    MainModel& model_;
    QLabel* logo_;
    QLabel* title_;
    QLabel* privacy_;
    QPushButton* continue_;
    QLabel* browser_;
    QLabel* failed_;
};

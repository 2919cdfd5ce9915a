#pragma once
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QMenu;

// The status-bar item: a microphone icon, filled while listening, with a dot
// when an update is waiting. Thread: main.
class StatusItem : public QObject {
    Q_OBJECT
  public:
    StatusItem();
    ~StatusItem() override;

    void setIcon(bool listening, bool updateWaiting = false);
    bool available() const;

    std::function<void()> onClick;  // the panel toggle
    std::function<void()> onOpenLog;
    std::function<void()> onOpenWindow;
    std::function<void()> onQuit;

    // The icon as drawn, for tests and previews.
    static QImage render(bool listening, bool updateWaiting, int size);

  private:
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QMenu> menu_;
};

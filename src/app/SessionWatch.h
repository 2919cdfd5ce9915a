#pragma once
#include <QObject>
#include <functional>

// Tells when the machine wakes from sleep (logind's PrepareForSleep(false) on the system
// bus) and when the screen is unlocked (the screen saver's ActiveChanged(false) on the
// session bus, freedesktop and GNOME names). A missing bus or service only means no
// reports. Thread: main; `onReturn` runs on the main thread.
class SessionWatch : public QObject {
    Q_OBJECT
  public:
    explicit SessionWatch(std::function<void(const QString& reason)> onReturn);

  private slots:
    void prepareForSleep(bool starting);
    void screenSaverActive(bool active);

  private:
    std::function<void(const QString&)> onReturn_;
};

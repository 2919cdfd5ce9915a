#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGINT/SIGTERM into a call on the main thread (self-pipe), so the
// quit path runs its restores instead of the process dying mid-dictation.
class SignalBridge : public QObject {
    Q_OBJECT
  public:
    explicit SignalBridge(std::function<void(int)> onSignal);
    ~SignalBridge() override;

  private:
    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

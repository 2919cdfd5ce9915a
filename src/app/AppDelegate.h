#pragma once
#include <QObject>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>

#include "core/AudioCapture.h"

class StatusItem;

// The application delegate: the launch sequence, the status item and the
// dictation state. Lives for the whole run. Thread: main.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    enum class State { idle, listening, finishing };

    AppDelegate();
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void openLog();
    void setIcon(bool listening);
    void showPendingLearned();

    State state = State::idle;
    std::unique_ptr<StatusItem> statusItem;
    AudioCapture audio;  // the microphone, for the whole run
    QStringList pendingLearned;
    std::chrono::steady_clock::time_point pressedAt = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point releasedAt = std::chrono::steady_clock::now();

private:
    void setupStatusItem();
    bool terminated_ = false;
};

#pragma once
#include <QByteArray>
#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/KeyMonitor.h"

namespace platform::x11 {

// XInput2 raw key events observed on the root window (never grabbing the talk
// key), plus a passive grab of Esc while a dictation listens. A connection and
// a reader thread of its own; events are handed to the main thread.
// Thread: main for the public calls.
class X11KeyMonitor : public KeyMonitor {
  public:
    X11KeyMonitor();
    ~X11KeyMonitor() override;

    bool start(std::function<void(const KeyEvent&)> onEvent) override;
    bool grabEscape(std::function<void(bool)> onEscape) override;
    void releaseEscape() override;
    // Asks the X server's keyboard map (a connection of its own, for the call).
    bool hasKey(Key key) override;

  private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace platform::x11

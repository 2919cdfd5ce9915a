#pragma once
#include <QList>

#include "platform/KeyMonitor.h"

namespace platform::fake {

// Tests press keys through it and see what the front application would get.
// Thread: main; events are delivered at once, on the caller's thread.
class FakeKeyMonitor : public KeyMonitor {
  public:
    bool started = false;
    bool escapeGrabbed = false;
    bool grabFails = false;  // another client holds Esc
    int grabCount = 0;
    // Esc presses/releases the front application received (true = press).
    QList<bool> frontAppEscapes;
    QList<Key> missingKeys;  // keys the keyboard does not have

    bool hasKey(Key key) override { return !missingKeys.contains(key); }

    bool start(std::function<void(const KeyEvent&)> onEvent) override;
    bool grabEscape(std::function<void(bool)> onEscape) override;
    void releaseEscape() override;

    // Delivers a key event as the desktop would (Esc goes to the grab when held).
    void press(Key key, bool repeat = false);
    void release(Key key);

  private:
    void deliver(Key key, bool pressed, bool repeat);
    std::function<void(const KeyEvent&)> onEvent_;
    std::function<void(bool)> onEscape_;
    bool escapeDownGrabbed_ = false;
};

}  // namespace platform::fake

#pragma once
#include <functional>

namespace platform {

// Keys the talk-key logic tells apart. Modifiers other than the four talk keys
// are `otherModifier`: they never count as a chord.
enum class Key {
    rightOption,
    rightCommand,
    rightControl,
    fn,
    escape,
    otherModifier,
    other,
};

struct KeyEvent {
    Key key = Key::other;
    bool pressed = true;  // false: released
    bool repeat = false;  // auto-repeat of a held key
};

// Observes the keyboard of the whole desktop without taking keys from anyone,
// and can take Esc away from the front application while a dictation listens.
// Events are delivered on the main thread. Thread: main.
class KeyMonitor {
  public:
    virtual ~KeyMonitor() = default;
    // Starts observing; false when the desktop cannot be observed.
    virtual bool start(std::function<void(const KeyEvent&)> onEvent) = 0;
    // Takes Esc presses and releases from every application and hands them to
    // `onEscape` instead. Answers false when another client holds Esc.
    virtual bool grabEscape(std::function<void(bool pressed)> onEscape) = 0;
    virtual void releaseEscape() = 0;
    // Whether the desktop's keyboard has the key at all (fn keys are often handled by the
    // keyboard itself and never reach the desktop).
    virtual bool hasKey(Key key) {
        (void)key;
        return true;
    }
};

}  // namespace platform

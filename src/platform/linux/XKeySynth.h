#pragma once
#include <QTimer>

#include "platform/KeySynth.h"
#include "platform/linux/X11Util.h"

#include <chrono>

namespace platform::x11 {

// Types Unicode text with XTest whatever the active layout: each character is
// put on a spare keycode (one with no symbols in the current keymap) with
// XChangeKeyboardMapping, pressed and released. The spare keycodes are found
// afresh for every burst, so a keymap reloaded meanwhile is never written over,
// and go back to empty shortly after the burst. Thread: main.
class XKeySynth : public KeySynth {
  public:
    explicit XKeySynth(DisplayPtr display);
    ~XKeySynth() override;

    bool typeRun(const QString& units) override;
    void endTyping() override;
    bool sendPaste(bool terminal) override;
    QString inputSource() override;

    // A keycode is given a new symbol only this long after it was last pressed,
    // so a target still catching up with its keymap reads the old one right.
    static constexpr int kReuseGuardMs = 40;
    // The spare keycodes go back to empty this long after a burst.
    static constexpr int kRestoreAfterMs = 500;

    // Keysym that types one Unicode code point; 0 for characters that cannot be typed.
    static unsigned long keysymFor(char32_t codePoint);
    int spareCount() const { return static_cast<int>(slots_.size()); }

  private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        KeyCode code = 0;
        KeySym sym = 0;  // what we put there; 0 while empty
        Clock::time_point lastUsed{};
    };
    bool beginBurst();
    Slot* slotFor(KeySym sym);
    void restoreMapping();
    void setLock(bool locked);

    DisplayPtr display_;
    bool xtest_ = false;
    bool inBurst_ = false;
    bool capsWasLocked_ = false;
    std::vector<Slot> slots_;
    QTimer restoreTimer_;
};

}  // namespace platform::x11

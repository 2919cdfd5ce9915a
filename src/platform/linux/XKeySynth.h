#pragma once
#include <QTimer>

#include "core/SerialWorker.h"
#include "platform/KeySynth.h"
#include "platform/linux/X11Util.h"

#include <chrono>
#include <memory>
#include <mutex>

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

    // A keycode gets a new symbol only once the target has read its last press,
    // or the target would read the new symbol. Targets that answer the window
    // manager's ping (Qt, GTK, browsers) are pinged: the answer comes after every
    // key event sent before it. For the others a time allowance stands in: each
    // remapping makes toolkits fetch the whole keymap again, so a target falls
    // behind by about kPerRemapMs for every remapping made since.
    // Bounded well under a second: a target that does not answer falls back on the allowance.
    static constexpr int kPingTimeoutMs = 250;
    // At the end of a burst the caller is told the target has the text (the learner reads
    // it back next): a slow target under load gets longer, still bounded.
    static constexpr int kSettleTimeoutMs = 2000;
    static constexpr int kReuseGuardMs = 40;
    static constexpr int kPerRemapMs = 6;
    // The spare keycodes go back to empty this long after a burst (plus the same allowance).
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
        quint64 remapsAtUse = 0;  // remappings made before its last press
        quint64 pressSeq = 0;     // number of its last press
    };
    // Waits until the focused window has handled everything sent so far; false
    // when it cannot be asked or did not answer in time.
    bool pingTarget(int timeoutMs);
    Window pingWindow();
    void drainEvents();
    bool beginBurst();
    // False when the keymap was replaced under us (setxkbmap, a layout switch tool).
    bool slotsIntact();
    Slot* slotFor(KeySym sym);
    void restoreMapping();
    void setLock(bool locked);
    // XTest presses add to what the user holds: held modifiers go up for the typing and
    // those still held come back down after it.
    void liftHeldModifiers();
    void restoreHeldModifiers();
    void selectReleases(bool on);
    // One faked key event, announced to our own key monitor first.
    void fakeKey(KeyCode code, bool press);

    DisplayPtr display_;
    bool xtest_ = false;
    bool inBurst_ = false;
    bool capsWasLocked_ = false;
    std::vector<Slot> slots_;
    quint64 remaps_ = 0;  // remappings made so far, never reset
    quint64 remapsAtBurst_ = 0;
    quint64 presses_ = 0;
    quint64 confirmedPresses_ = 0;  // presses the target is known to have handled
    Window pingWindow_ = None;      // the burst's target window, when it answers pings
    bool pingWorks_ = true;
    long pingToken_ = 0;
    QTimer restoreTimer_;
    int xiOpcode_ = 0;
    // The input method engine as last asked; shared with the thread that asks.
    struct InputMethod {
        std::mutex mutex;
        QString engine;
        bool asking = false;
    };
    void askInputMethod();
    std::shared_ptr<InputMethod> im_ = std::make_shared<InputMethod>();
    SerialWorker imWorker_{QStringLiteral("velmora.input-method")};
    std::vector<KeyCode> lifted_;  // modifier keys released for the typing
    std::vector<KeyCode> letGo_;   // of those, the ones the user let go meanwhile
};

}  // namespace platform::x11

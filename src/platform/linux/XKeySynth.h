#pragma once
#include <QStringList>

#include "core/SerialWorker.h"
#include "platform/KeySynth.h"
#include "platform/linux/X11Util.h"

#include <array>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform::x11 {

// Types Unicode text with XTest whatever the active layout: a character the
// layout has is typed with its own key (and Shift where it needs it); any other is
// put on a spare keycode (one with no symbols in the current keymap) through the
// keyboard extension, pressed and released. The spare keycodes are found
// afresh for every burst, so a keymap reloaded meanwhile is never written over,
// and go back to empty shortly after the burst. The symbols a text needs are put on
// the keycodes ahead of the presses, as many at once as there are spare keycodes:
// every remapping makes each client fetch the keymap again, so there are few.
// Thread: main; all X work runs on the thread "velmora.typing", which owns the
// connection, so typing never holds up the caller.
class XKeySynth : public KeySynth {
  public:
    explicit XKeySynth(DisplayPtr display);
    ~XKeySynth() override;

    // These wait for the typing thread (and what was queued on it before).
    bool typeRun(const QString& units) override;
    void endTyping() override;
    bool sendPaste(bool terminal) override;
    // Queued on the typing thread; `done` is called there.
    void typeRuns(const QStringList& runs, std::function<void(int failed)> done) override;
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
    // Keys sent between two pings of the target while typing, and how many keys the target
    // may have still to read before the typing waits for it.
    static constexpr int kPaceEvery = 20;
    static constexpr int kMaxAhead = 120;
    // What a slow target (a GTK editor on a busy machine) may take per key still queued.
    static constexpr int kPerQueuedKeyMs = 5;
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
    template <typename F>
    auto onTypist(F fn) -> decltype(fn()) {
        if (typist_.isCurrent()) return fn();
        std::packaged_task<decltype(fn())()> task(std::move(fn));
        auto result = task.get_future();
        typist_.post([&task] { task(); });
        return result.get();
    }
    bool typeHere(const QString& units);
    void endHere();
    bool pasteHere(bool terminal);
    // Puts the symbols that come next from `from` on spare keycodes, in as few remappings
    // as the spare keycodes allow; the symbol at `from` is mapped after it unless this fails.
    bool mapAhead(const std::vector<KeySym>& syms, size_t from);
    // Puts each symbol on its keycode in one request; with `empty`, empties instead each
    // keycode that still holds the symbol given. False when the server refused.
    bool remap(const std::vector<std::pair<KeyCode, KeySym>>& keys, bool empty = false);
    Slot* mapped(KeySym sym);
    void press(Slot* slot);
    void pace();
    // Finds the spare keycodes and the keys of the current layout.
    bool scanSlots();
    // A key of the layout that types a symbol, with or without Shift.
    struct LayoutKey {
        KeyCode code = 0;
        bool shift = false;
    };
    // Asks the focused window to answer once it has read the keys sent so far.
    void sendPing();
    void pingAnswered(long token);
    void stopPinging();
    // Waits until the focused window has read the first `upTo` presses; false when it
    // cannot be asked or did not answer in time.
    bool waitForTarget(quint64 upTo, int timeoutMs);
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

    DisplayPtr display_;  // the typing thread's
    DisplayPtr query_;    // the caller's, for the layout
    bool xtest_ = false;
    bool inBurst_ = false;
    bool capsWasLocked_ = false;
    std::vector<Slot> slots_;
    std::unordered_map<KeySym, LayoutKey> layoutKeys_;
    KeyCode shiftCode_ = 0;
    quint64 remaps_ = 0;  // remappings made so far, never reset
    quint64 remapsAtBurst_ = 0;
    quint64 presses_ = 0;
    quint64 confirmedPresses_ = 0;  // presses the target is known to have handled
    Window pingWindow_ = None;      // the burst's target window, when it answers pings
    bool pingWorks_ = true;
    long pingToken_ = 0;
    struct PingOut {
        long token = 0;
        quint64 presses = 0;  // presses sent before it
    };
    std::deque<PingOut> pingsOut_;
    quint64 restoreGen_ = 0;  // a delayed restore runs only if no burst began since
    int xiOpcode_ = 0;
    // The input method engine as last asked; shared with the thread that asks.
    struct InputMethod {
        std::mutex mutex;
        QString engine;
        QString layout;  // the XKB layout, as of the last burst
        bool asking = false;
    };
    void askInputMethod();
    std::shared_ptr<InputMethod> im_ = std::make_shared<InputMethod>();
    SerialWorker imWorker_{QStringLiteral("velmora.input-method")};
    std::vector<KeyCode> lifted_;  // modifier keys released for the typing
    std::vector<KeyCode> letGo_;   // of those, the ones the user let go meanwhile
    bool releasesSelected_ = false;
    // Releases we sent while listening for the user's: their echoes are not the user letting go.
    std::array<int, 256> ownReleases_{};
    // Last: it stops (finishing what was queued) before anything it uses goes.
    SerialWorker typist_{QStringLiteral("velmora.typing")};
};

}  // namespace platform::x11

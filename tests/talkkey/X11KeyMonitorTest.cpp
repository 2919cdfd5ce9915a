// Real key events through the X server (run under Xvfb): XTest presses keys via
// xdotool, the monitor observes them, and the Esc grab keeps Esc from a window.
#include <gtest/gtest.h>

#include <QProcess>

#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"

#include <X11/keysym.h>
#include <optional>

namespace {

using platform::Key;
using platform::KeyEvent;
using namespace platform::x11;

// Another client (a window manager's menu key, say) holding Ctrl+Esc.
bool holdCtrlEscape(bool hold) {
    static DisplayPtr d = openDisplay();
    if (!d) return false;
    Display* dpy = d.get();
    const KeyCode esc = XKeysymToKeycode(dpy, XK_Escape);
    ErrorTrap trap(dpy);
    for (unsigned lock :
         {0u, unsigned(LockMask), unsigned(Mod2Mask), unsigned(LockMask | Mod2Mask)}) {
        if (hold)
            XGrabKey(dpy, esc, ControlMask | lock, DefaultRootWindow(dpy), False, GrabModeAsync,
                     GrabModeAsync);
        else
            XUngrabKey(dpy, esc, ControlMask | lock, DefaultRootWindow(dpy));
    }
    return !trap.failed();
}

class X11Keys : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display";
        ASSERT_TRUE(monitor.start([this](const KeyEvent& e) { events.push_back(e); }));
    }
    int count(Key key, bool pressed) const {
        return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const KeyEvent& e) {
            return e.key == key && e.pressed == pressed;
        }));
    }
    ::testing::AssertionResult waitForEvent(Key key, bool pressed, int times = 1) {
        return harness::waitUntil([&] { return count(key, pressed) >= times; },
                                  QStringLiteral("key %1 %2").arg(int(key)).arg(pressed));
    }
    // Asks for the grab and waits for its answer.
    static std::optional<bool> grab(X11KeyMonitor& m, std::function<void(bool)> onEscape) {
        std::optional<bool> answer;
        m.grabEscape(std::move(onEscape), [&](bool ok) { answer = ok; });
        if (!harness::waitUntil([&] { return answer.has_value(); }, "the grab's answer"))
            return std::nullopt;
        return answer;
    }
    X11KeyMonitor monitor;
    std::vector<KeyEvent> events;
};

TEST_F(X11Keys, TalkKeysAreRecognisedByKeysym) {
    ASSERT_TRUE(xdotool({"keydown", "Control_R"}));
    EXPECT_TRUE(waitForEvent(Key::rightControl, true));
    ASSERT_TRUE(xdotool({"keyup", "Control_R"}));
    EXPECT_TRUE(waitForEvent(Key::rightControl, false));
    ASSERT_TRUE(xdotool({"key", "Super_R", "Alt_R", "Shift_L", "a"}));
    EXPECT_TRUE(waitForEvent(Key::rightCommand, true));
    EXPECT_TRUE(waitForEvent(Key::rightOption, true));
    EXPECT_TRUE(waitForEvent(Key::otherModifier, true));
    EXPECT_TRUE(waitForEvent(Key::other, true));
}

TEST_F(X11Keys, EscapeGrabKeepsEscFromTheFocusedWindow) {
    EscWindow window;
    ASSERT_TRUE(window.open());

    // Idle: Esc reaches the window.
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(waitForEvent(Key::escape, true));
    EXPECT_EQ(window.escapes(), 1);

    // Listening: the grab takes it, press and release.
    std::vector<bool> grabbed;
    ASSERT_EQ(grab(monitor, [&](bool pressed) { grabbed.push_back(pressed); }), true);
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(harness::waitUntil([&] { return grabbed.size() == 2; }, "the grabbed Esc"));
    EXPECT_EQ(grabbed, (std::vector<bool>{true, false}));
    EXPECT_EQ(window.escapes(), 1);
    // With modifiers too: Shift+Esc, and Esc while the talk key is held.
    ASSERT_TRUE(xdotool({"key", "shift+Escape", "ctrl+Escape"}));
    EXPECT_TRUE(harness::waitUntil([&] { return grabbed.size() == 6; }, "modified Esc"))
        << grabbed.size();
    EXPECT_EQ(window.escapes(), 1);

    // Released again: back to the window. A key pressed after it reaches the monitor on the
    // same connection after anything its grab would have taken.
    monitor.releaseEscape();
    ASSERT_TRUE(harness::waitUntil([&] { return window.escapeFree(); }, "Esc let go"));
    ASSERT_TRUE(xdotool({"key", "Escape", "a"}));
    ASSERT_TRUE(waitForEvent(Key::other, true));
    EXPECT_EQ(window.escapes(), 2);
    EXPECT_EQ(grabbed.size(), 6u);
}

// Listening that ends before the grab was even answered: the release is queued behind the
// grab, so Esc is never left taken from every application.
TEST_F(X11Keys, ReleaseRightAfterTheGrabLeavesEscFree) {
    EscWindow window;
    ASSERT_TRUE(window.open());
    int answers = 0;
    for (int i = 0; i < 20; ++i) {
        monitor.grabEscape([](bool) {}, [&](bool) { ++answers; });
        monitor.releaseEscape();
    }
    // Once the last grab has been answered only its release is still to come.
    ASSERT_TRUE(harness::waitUntil([&] { return answers == 20; }, "every grab answered"));
    ASSERT_TRUE(harness::waitUntil([&] { return window.escapeFree(); }, "Esc let go"));
    ASSERT_TRUE(xdotool({"key", "Escape", "a"}));
    ASSERT_TRUE(waitForEvent(Key::other, true));
    EXPECT_EQ(window.escapes(), 1);
}

TEST_F(X11Keys, SecondGrabberIsRefused) {
    X11KeyMonitor other;
    ASSERT_TRUE(other.start([](const KeyEvent&) {}));
    ASSERT_EQ(grab(other, [](bool) {}), true);
    EXPECT_EQ(grab(monitor, [](bool) {}), false);
    other.releaseEscape();
    // Someone holding only Ctrl+Esc leaves plain and Shift+Esc to us.
    EscWindow window;
    ASSERT_TRUE(window.open());
    ASSERT_TRUE(harness::waitUntil([&] { return window.escapeFree(); }, "Esc let go"));
    ASSERT_TRUE(holdCtrlEscape(true));
    std::vector<bool> grabbed;
    EXPECT_EQ(grab(monitor, [&](bool p) { grabbed.push_back(p); }), true);
    ASSERT_TRUE(xdotool({"key", "shift+Escape"}));
    EXPECT_TRUE(harness::waitUntil([&] { return grabbed.size() == 2; }, "Shift+Esc grabbed"));
    EXPECT_EQ(window.escapes(), 0);
    monitor.releaseEscape();
    holdCtrlEscape(false);
}

}  // namespace

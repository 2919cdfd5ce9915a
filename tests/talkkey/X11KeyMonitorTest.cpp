// Real key events through the X server (run under Xvfb): XTest presses keys via
// xdotool, the monitor observes them, and the Esc grab keeps Esc from a window.
#include <gtest/gtest.h>

#include <QProcess>

#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"

#include <X11/keysym.h>

namespace {

using platform::Key;
using platform::KeyEvent;
using namespace platform::x11;

bool xdotool(const QStringList& args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
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
    DisplayPtr d = openDisplay();
    ASSERT_TRUE(d);
    const Window w =
        XCreateSimpleWindow(d.get(), DefaultRootWindow(d.get()), 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(d.get(), w, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(d.get(), w);
    XSync(d.get(), False);
    for (XEvent ev;;) {  // wait until mapped
        XNextEvent(d.get(), &ev);
        if (ev.type == MapNotify) break;
    }
    XSetInputFocus(d.get(), w, RevertToParent, CurrentTime);
    XSync(d.get(), False);

    auto windowEscapes = [&] {
        int n = 0;
        XSync(d.get(), False);
        while (XPending(d.get())) {
            XEvent ev;
            XNextEvent(d.get(), &ev);
            if (ev.type == KeyPress && XLookupKeysym(&ev.xkey, 0) == XK_Escape) ++n;
        }
        return n;
    };

    // Idle: Esc reaches the window.
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(waitForEvent(Key::escape, true));
    EXPECT_EQ(windowEscapes(), 1);

    // Listening: the grab takes it, press and release.
    std::vector<bool> grabbed;
    ASSERT_TRUE(monitor.grabEscape([&](bool pressed) { grabbed.push_back(pressed); }));
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(harness::waitUntil([&] { return grabbed.size() == 2; }, "the grabbed Esc"));
    EXPECT_EQ(grabbed, (std::vector<bool>{true, false}));
    EXPECT_EQ(windowEscapes(), 0);

    // Released again: back to the window. A key pressed after it reaches the monitor on the
    // same connection after anything its grab would have taken.
    monitor.releaseEscape();
    const unsigned escape = XKeysymToKeycode(d.get(), XK_Escape);
    ASSERT_TRUE(harness::waitUntil([&] { return keyFree(d.get(), escape); }, "Esc let go"));
    ASSERT_TRUE(xdotool({"key", "Escape", "a"}));
    ASSERT_TRUE(waitForEvent(Key::other, true));
    EXPECT_EQ(windowEscapes(), 1);
    EXPECT_EQ(grabbed.size(), 2u);
    XDestroyWindow(d.get(), w);
}

TEST_F(X11Keys, SecondGrabberIsRefused) {
    X11KeyMonitor other;
    ASSERT_TRUE(other.start([](const KeyEvent&) {}));
    ASSERT_TRUE(other.grabEscape([](bool) {}));
    EXPECT_FALSE(monitor.grabEscape([](bool) {}));
    other.releaseEscape();
}

}  // namespace

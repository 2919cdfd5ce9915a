// Real key events through the X server (run under Xvfb): XTest presses keys via
// xdotool, the monitor observes them, and the Esc grab keeps Esc from a window.
#include <gtest/gtest.h>

#include <QProcess>

#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"

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
    EscWindow window;
    ASSERT_TRUE(window.open());

    // Idle: Esc reaches the window.
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(waitForEvent(Key::escape, true));
    EXPECT_EQ(window.escapes(), 1);

    // Listening: the grab takes it, press and release.
    std::vector<bool> grabbed;
    ASSERT_TRUE(monitor.grabEscape([&](bool pressed) { grabbed.push_back(pressed); }));
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(harness::waitUntil([&] { return grabbed.size() == 2; }, "the grabbed Esc"));
    EXPECT_EQ(grabbed, (std::vector<bool>{true, false}));
    EXPECT_EQ(window.escapes(), 1);

    // Released again: back to the window. A key pressed after it reaches the monitor on the
    // same connection after anything its grab would have taken.
    monitor.releaseEscape();
    ASSERT_TRUE(harness::waitUntil([&] { return window.escapeFree(); }, "Esc let go"));
    ASSERT_TRUE(xdotool({"key", "Escape", "a"}));
    ASSERT_TRUE(waitForEvent(Key::other, true));
    EXPECT_EQ(window.escapes(), 2);
    EXPECT_EQ(grabbed.size(), 2u);
}

TEST_F(X11Keys, SecondGrabberIsRefused) {
    X11KeyMonitor other;
    ASSERT_TRUE(other.start([](const KeyEvent&) {}));
    ASSERT_TRUE(other.grabEscape([](bool) {}));
    EXPECT_FALSE(monitor.grabEscape([](bool) {}));
    other.releaseEscape();
}

}  // namespace

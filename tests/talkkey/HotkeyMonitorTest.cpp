#include <gtest/gtest.h>

#include "core/HotkeyMonitor.h"
#include "harness/LogReader.h"
#include "platform/fake/FakeKeyMonitor.h"

namespace {

using platform::Key;

// Records the monitor's calls in order, as one string per call.
struct Rig {
    explicit Rig(bool toggle, HotkeyChoice choice = HotkeyChoice::rightOption)
        : monitor(choice, &keys) {
        monitor.toggleMode = toggle;
        monitor.holdDelay = 0.05;
        monitor.onDown = [this] { calls << "down"; };
        monitor.onConfirm = [this] { calls << "confirm"; };
        monitor.onCancel = [this] { calls << "cancel"; };
        monitor.onUp = [this] { calls << "up"; };
        monitor.onToggle = [this] { calls << "toggle"; };
        monitor.onEscape = [this] { calls << "esc"; };
        monitor.isListening = [this] { return listening; };
        monitor.start();
    }
    // The hold timer of a press made before this has had its moment.
    void passHoldDelay() { harness::passTimersDue(std::chrono::milliseconds(50)); }
    ::testing::AssertionResult confirmed() {
        return harness::waitUntil([&] { return calls.contains("confirm"); }, "the confirmation");
    }
    platform::fake::FakeKeyMonitor keys;
    HotkeyMonitor monitor;
    QStringList calls;
    bool listening = false;
};

TEST(HoldMode, ShortPressCancels) {
    Rig r(false);
    r.keys.press(Key::rightOption);
    r.keys.release(Key::rightOption);
    r.passHoldDelay();
    EXPECT_EQ(r.calls, (QStringList{"down", "cancel"}));
}

TEST(HoldMode, LongPressConfirmsThenUp) {
    Rig r(false);
    r.keys.press(Key::rightOption);
    r.keys.press(Key::rightOption, true);  // auto-repeat changes nothing
    ASSERT_TRUE(r.confirmed());
    r.keys.press(Key::other);  // typing while holding does not stop it
    r.keys.release(Key::rightOption);
    EXPECT_EQ(r.calls, (QStringList{"down", "confirm", "up"}));
}

TEST(HoldMode, ChordWithinTheDelayCancelsAndTheReleaseIsIgnored) {
    Rig r(false);
    r.keys.press(Key::rightOption);
    r.keys.press(Key::other);
    r.passHoldDelay();
    r.keys.release(Key::rightOption);
    EXPECT_EQ(r.calls, (QStringList{"down", "cancel"}));
}

TEST(HoldMode, OtherModifiersAndOtherTalkKeysNeverCount) {
    Rig r(false);
    r.keys.press(Key::otherModifier);  // left Option with right Option as the talk key
    r.keys.release(Key::otherModifier);
    r.keys.press(Key::rightCommand);
    r.keys.release(Key::rightCommand);
    EXPECT_TRUE(r.calls.isEmpty());
    r.keys.press(Key::rightOption);
    r.keys.press(Key::otherModifier);  // Shift during the hold is not a chord
    ASSERT_TRUE(r.confirmed());
    r.keys.release(Key::rightOption);
    EXPECT_EQ(r.calls, (QStringList{"down", "confirm", "up"}));
}

// AltGr, right Super or another right-hand key held with the talk key is a modifier, not a
// shortcut, in either mode.
TEST(ToggleMode, OtherRightHandModifiersAreNoChord) {
    for (Key other : {Key::rightOption, Key::rightCommand, Key::fn, Key::otherModifier}) {
        Rig r(true, HotkeyChoice::rightControl);
        r.keys.press(Key::rightControl);
        r.keys.press(other);
        r.keys.release(other);
        r.keys.release(Key::rightControl);
        EXPECT_EQ(r.calls, (QStringList{"toggle"})) << int(other);
    }
}

TEST(HoldMode, ReleaseWithoutPressIsIgnored) {
    Rig r(false);
    r.keys.release(Key::rightOption);
    EXPECT_TRUE(r.calls.isEmpty());
}

TEST(ToggleMode, CleanTapToggles) {
    Rig r(true);
    r.keys.press(Key::rightOption);
    r.passHoldDelay();  // longer than a hold: in toggle mode it does not matter
    r.keys.release(Key::rightOption);
    EXPECT_EQ(r.calls, (QStringList{"toggle"}));
}

TEST(ToggleMode, ShortcutPoisonsOnlyThatPress) {
    Rig r(true);
    r.keys.press(Key::rightOption);
    r.keys.press(Key::other);
    r.keys.release(Key::rightOption);
    EXPECT_TRUE(r.calls.isEmpty());
    r.keys.press(Key::rightOption);
    r.keys.release(Key::rightOption);
    EXPECT_EQ(r.calls, (QStringList{"toggle"}));
}

TEST(Escape, PassiveWhenNotListening) {
    Rig r(true);
    r.keys.press(Key::escape);
    r.keys.release(Key::escape);
    EXPECT_EQ(r.calls, (QStringList{"esc"}));
    EXPECT_EQ(r.keys.frontAppEscapes, (QList<bool>{true, false}));
}

TEST(Escape, TakenFromTheFrontAppOnlyWhileListening) {
    Rig r(true);
    r.listening = true;
    r.monitor.setListening(true);
    ASSERT_TRUE(r.monitor.tapOwnsEscape());
    r.keys.press(Key::escape);
    // The controller cancels on Esc: listening ends before the key comes up.
    r.listening = false;
    r.monitor.setListening(false);
    r.keys.release(Key::escape);
    EXPECT_EQ(r.calls, (QStringList{"esc"}));
    EXPECT_TRUE(r.keys.frontAppEscapes.isEmpty());  // neither the press nor its release

    r.keys.press(Key::escape);
    r.keys.release(Key::escape);
    EXPECT_EQ(r.keys.frontAppEscapes, (QList<bool>{true, false}));
    EXPECT_EQ(r.calls, (QStringList{"esc", "esc"}));  // passive again, controller ignores it
}

TEST(Escape, GrabFailureFallsBackToPassiveAndSaysSo) {
    harness::LogReader log;
    Rig r(true);
    r.keys.grabFails = true;
    r.listening = true;
    r.monitor.setListening(true);
    EXPECT_FALSE(r.monitor.tapOwnsEscape());
    r.keys.press(Key::escape);
    EXPECT_EQ(r.calls, (QStringList{"esc"}));
    EXPECT_EQ(r.keys.frontAppEscapes, (QList<bool>{true}));
    EXPECT_TRUE(log.has("Esc event tap unavailable (Accessibility?), esc falls back to passive"));
}

// A slow X server answers the grab after listening has already ended: the release was
// queued behind the grab, nothing stays grabbed, and Esc reaches the front app again.
TEST(Escape, GrabAnsweredAfterListeningEndedLeavesEscFree) {
    for (bool fails : {false, true}) {
        Rig r(true);
        r.keys.answerLater = true;
        r.keys.grabFails = fails;
        r.listening = true;
        r.monitor.setListening(true);
        EXPECT_TRUE(r.monitor.tapOwnsEscape());
        r.listening = false;
        r.monitor.setListening(false);
        r.keys.answerGrab();
        EXPECT_FALSE(r.keys.escapeGrabbed);
        EXPECT_FALSE(r.monitor.tapOwnsEscape());
        r.keys.press(Key::escape);
        r.keys.release(Key::escape);
        EXPECT_EQ(r.keys.frontAppEscapes, (QList<bool>{true, false}));
        EXPECT_EQ(r.calls, (QStringList{"esc"}));
    }
}

// Esc pressed while the grab is still on its way is handled once, whichever copy comes.
TEST(Escape, LateGrabAnswerStillCancelsOnce) {
    Rig r(true);
    r.keys.answerLater = true;
    r.listening = true;
    r.monitor.setListening(true);
    r.keys.answerGrab();
    ASSERT_TRUE(r.monitor.tapOwnsEscape());
    r.keys.press(Key::escape);
    r.keys.release(Key::escape);
    EXPECT_EQ(r.calls, (QStringList{"esc"}));
    EXPECT_TRUE(r.keys.frontAppEscapes.isEmpty());
}

TEST(Escape, GrabIsInstalledOncePerListening) {
    Rig r(false);
    r.monitor.setListening(true);
    r.monitor.setListening(true);
    EXPECT_EQ(r.keys.grabCount, 1);
    r.monitor.setListening(false);
    EXPECT_FALSE(r.keys.escapeGrabbed);
    r.monitor.setListening(true);
    EXPECT_EQ(r.keys.grabCount, 2);
}

TEST(Lifetime, EventsAfterTheMonitorIsGoneAreIgnored) {
    platform::fake::FakeKeyMonitor keys;
    int calls = 0;
    {
        HotkeyMonitor m(HotkeyChoice::rightControl, &keys);
        m.toggleMode = true;
        m.onToggle = [&] { ++calls; };
        m.start();
    }
    keys.press(Key::rightControl);
    keys.release(Key::rightControl);
    EXPECT_EQ(calls, 0);
}

}  // namespace

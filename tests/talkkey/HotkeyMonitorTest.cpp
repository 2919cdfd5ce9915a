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

// Key sequences in either mode and what the monitor makes of them.
TEST(TalkKey, PressesHoldsTapsAndChords) {
    enum Do { press, repeat, release, pause, confirmed };
    struct Step {
        Do what;
        Key key = Key::rightOption;
    };
    struct Case {
        const char* name;
        bool toggle;
        std::vector<Step> steps;
        QStringList calls;
        HotkeyChoice choice = HotkeyChoice::rightOption;
    };
    const Key other = Key::other, mod = Key::otherModifier;
    const Case cases[] = {
        {"short press", false, {{press}, {release}, {pause}}, {"down", "cancel"}},
        // Auto-repeat changes nothing; typing while holding does not stop it.
        {"long press",
         false,
         {{press}, {repeat}, {confirmed}, {press, other}, {release}},
         {"down", "confirm", "up"}},
        {"chord within the delay",
         false,
         {{press}, {press, other}, {pause}, {release}},
         {"down", "cancel"}},
        // Left Option with right Option as the talk key, another talk key, Shift in the hold.
        {"other modifiers and talk keys",
         false,
         {{press, mod},
          {release, mod},
          {press, Key::rightCommand},
          {release, Key::rightCommand},
          {press},
          {press, mod},
          {confirmed},
          {release}},
         {"down", "confirm", "up"}},
        {"release without press", false, {{release}}, {}},
        {"toggle: a tap longer than a hold", true, {{press}, {pause}, {release}}, {"toggle"}},
        {"toggle: a shortcut spoils only its press",
         true,
         {{press}, {press, other}, {release}, {press}, {release}},
         {"toggle"}},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // AltGr, right Super or another right-hand key held with the talk key is no shortcut.
    for (Key k : {Key::rightOption, Key::rightCommand, Key::fn, Key::otherModifier})
        all.push_back(
            {"toggle: a right-hand modifier",
             true,
             {{press, Key::rightControl}, {press, k}, {release, k}, {release, Key::rightControl}},
             {"toggle"},
             HotkeyChoice::rightControl});
    for (const Case& c : all) {
        SCOPED_TRACE(c.name);
        Rig r(c.toggle, c.choice);
        for (const Step& step : c.steps) {
            if (step.what == press || step.what == repeat)
                r.keys.press(step.key, step.what == repeat);
            else if (step.what == release)
                r.keys.release(step.key);
            else if (step.what == pause)
                r.passHoldDelay();
            else
                ASSERT_TRUE(r.confirmed());
        }
        EXPECT_EQ(r.calls, c.calls);
    }
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

// However the X server answers the grab (refused, late, after listening has ended), Esc is
// handled once, and reaches the front app exactly when nothing holds it.
TEST(Escape, GrabAnswersLateOrRefused) {
    const struct {
        const char* name;
        bool fails, late, endsFirst;
        bool owns;
        QList<bool> front;
    } cases[] = {
        {"refused: passive", true, false, false, false, {true, false}},
        {"answered late", false, true, false, true, {}},
        {"answered after listening ended", false, true, true, false, {true, false}},
        {"refused after listening ended", true, true, true, false, {true, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        harness::LogReader log;
        Rig r(true);
        r.keys.answerLater = c.late;
        r.keys.grabFails = c.fails;
        r.listening = true;
        r.monitor.setListening(true);
        if (c.endsFirst) {
            r.listening = false;
            r.monitor.setListening(false);
        }
        if (c.late) r.keys.answerGrab();
        EXPECT_EQ(r.monitor.tapOwnsEscape(), c.owns);
        EXPECT_TRUE(!c.endsFirst || !r.keys.escapeGrabbed);
        r.keys.press(Key::escape);
        r.keys.release(Key::escape);
        EXPECT_EQ(r.calls, (QStringList{"esc"}));
        EXPECT_EQ(r.keys.frontAppEscapes, c.front);
        EXPECT_EQ(log.has("esc falls back to passive"), c.fails && !c.endsFirst);
    }
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

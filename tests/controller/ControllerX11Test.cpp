// The talk key and Esc pressed through the X server with XTest (xdotool): the
// controller starts, stops and cancels, and Esc is kept from the focused window
// only while a dictation listens. Everything but the keyboard is scripted.
#include <gtest/gtest.h>

#include <QProcess>

#include "AsrTestUtil.h"
#include "app/AppDelegate.h"
#include "core/Config.h"
#include "core/HotkeyMonitor.h"
#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "platform/Platform.h"
#include "platform/fake/FakeAudio.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"

namespace {

namespace fake = platform::fake;
using namespace platform::x11;
using State = AppDelegate::State;

using harness::waitUntil;

bool xdotool(const QStringList& args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

TEST(ControllerX11, TalkKeyAndEscThroughTheXServer) {
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";
    if (QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("version")}) != 0)
        GTEST_SKIP() << "needs xdotool";

    // A developer token stands in for a signed-in account.
    qputenv("VQ_SERVER_TOKEN", "test-token");
    // The real key monitor in the scripted desktop.
    platform::Platform::current().keyMonitor = std::make_unique<X11KeyMonitor>();
    Config::d()->setValue(QStringLiteral("polishEnabled"), false);
    Config::d()->setValue(QStringLiteral("muteWhileListening"), false);
    Config::d()->setValue(QStringLiteral("hotkey"), QStringLiteral("rightControl"));
    Config::d()->setValue(QStringLiteral("toggleMode"), false);
    fake::workspace().putInFront(77, QStringLiteral("org.example.editor"),
                                 QStringLiteral("Editor"));
    fake::accessibility().focused[77] = fake::FakeAccessibility::element(QStringLiteral("text"));
    fake::FakeMicScript mic;
    mic.format = {16000, 1, platform::SampleType::float32, false};
    mic.audio = fake::tone(440, 0.2, 16000, 1, 1.0);
    fake::audio().setScript(mic);

    asrtest::Service service(
        R"({"connections":[{"steps":[{"at_finish":true,"final":"Typed through X."}]}]})");
    AppDelegate d;
    auto request = service.request();
    d.makeRecogniser = [request] {
        return QwenASR::create({}, 800, asrtest::fastTiming(), request);
    };
    d.applicationDidFinishLaunching();  // the monitor watches once this returns
    int confirms = 0;
    auto confirm = d.hotkey->onConfirm;
    d.hotkey->onConfirm = [&] {
        ++confirms;
        if (confirm) confirm();
    };
    auto state = [&](State want) {
        return waitUntil([&] { return d.state == want; },
                         QStringLiteral("state %1").arg(static_cast<int>(want)));
    };

    EscWindow window;
    ASSERT_TRUE(window.open());

    // Idle: Esc belongs to the focused window.
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(waitUntil([&] { return window.escapes() == 1; }, "the window's Esc"));

    // Held, then Esc: cancelled, and the window never saw that Esc (it would have had it
    // by the time our grab did).
    ASSERT_TRUE(xdotool({"keydown", "Control_R"}));
    ASSERT_TRUE(state(State::listening));
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(state(State::idle));
    ASSERT_TRUE(xdotool({"keyup", "Control_R"}));
    EXPECT_EQ(window.escapes(), 1);

    // Held and released: the dictation finishes and its text is typed.
    ASSERT_TRUE(xdotool({"keydown", "Control_R"}));
    ASSERT_TRUE(state(State::listening));
    ASSERT_TRUE(waitUntil([&] { return confirms == 1; }, "the hold confirmed"));
    ASSERT_TRUE(xdotool({"keyup", "Control_R"}));
    ASSERT_TRUE(state(State::idle));
    EXPECT_EQ(fake::keys().runs.join(QString()), QStringLiteral("Typed through X."));

    // Idle again, once the grab is gone: Esc is the window's once more.
    ASSERT_TRUE(waitUntil([&] { return window.escapeFree(); }, "Esc let go"));
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(waitUntil([&] { return window.escapes() == 2; }, "the window's second Esc"));
}

}  // namespace

// The hotword learner against a GTK editor from Debian (Mousepad) over the real accessibility
// bus: the dictation is typed in, the user fixes a misheard name with the keyboard, and the
// name joins the dictionary. The learn call goes to the real server's endpoint on loopback;
// the learner's clock is the test's, so the pause after the fix costs no waiting.
#include "CleanupEndpoints.h"
#include "ServerTestUtil.h"
// Boost before Qt: Qt's keywords clash with some Boost headers.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "core/AssistiveMode.h"
#include "core/Config.h"
#include "core/HotwordLearner.h"
#include "core/Polisher.h"
#include "core/TextInjector.h"
#include "harness/DesktopSession.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "platform/Accessibility.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11Util.h"

#include <X11/Xlib.h>

namespace {

using harness::waitUntil;
using Clock = HotwordLearner::Clock;

Clock::time_point gNow = Clock::time_point{} + std::chrono::hours(1);

class LearnerThirdParty : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no X display (run under xvfb-run)";
        if (QStandardPaths::findExecutable(QStringLiteral("mousepad")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "mousepad or xdotool is not installed";
        ASSERT_TRUE(holdXServer());
        if (!session.start(150)) GTEST_SKIP() << session.error.toStdString();
        started = true;
        platform::Platform::install(platform::x11::createLinuxPlatform());
        vserver::CleanupOptions options;
        options.dataDir = data.path().toStdString();
        vserver::registerCleanup(server.server(), options);
        server.start();
        qputenv("VQ_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(server.port()).toUtf8());
        qputenv("VQ_SERVER_TOKEN", "test-token");
        Config::d()->setValue(QStringLiteral("learnHotwords"), true);
        HotwordLearner::setTimings({0.2, [] { return gNow; }});
    }
    // Whatever failed, nothing is left running or pointing at the private buses.
    void TearDown() override {
        if (!started) return;
        HotwordLearner::turnedOff();
        HotwordLearner::setOnLearned({});
        HotwordLearner::setTimings({});
        AssistiveMode::restore();
        platform::Platform::install(platform::fake::createFakePlatform());
        session.stop();
        qunsetenv("VQ_SERVER");
        qunsetenv("VQ_SERVER_TOKEN");
    }

    // The window the X server says is active: a window manager that ran before this test
    // (no -reset between tests) can leave its last active window named on the root.
    ::testing::AssertionResult inFront(const platform::RunningApp& app) {
        auto& ws = *platform::Platform::current().workspace;
        auto front = [&] {
            const auto f = ws.frontmostApplication();
            return f && f->pid == app.pid;
        };
        if (front()) return ::testing::AssertionSuccess();
        if (const auto d = platform::x11::openDisplay())
            XDeleteProperty(d.get(), DefaultRootWindow(d.get()),
                            XInternAtom(d.get(), "_NET_ACTIVE_WINDOW", False));
        return waitUntil(front, QStringLiteral("mousepad in front"));
    }

    DesktopSession session;
    bool started = false;
    servertest::RunningServer server;
    QTemporaryDir data;
};

TEST_F(LearnerThirdParty, NameFixedInMousepadIsLearned) {
    QStringList told;
    HotwordLearner::setOnLearned([&](const QStringList& w) { told << w; });

    QProcess* p = session.launch(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")});
    ASSERT_TRUE(p);
    const QString window = windowOf(p->processId());
    ASSERT_FALSE(window.isEmpty());
    xdotool({"windowfocus", "--sync", window});
    platform::RunningApp app;
    app.pid = p->processId();
    app.bundleId = QStringLiteral("org.xfce.mousepad");
    app.name = QStringLiteral("Mousepad");
    app.window = window.toULongLong();
    ASSERT_TRUE(inFront(app));
    AssistiveMode::enable(app);
    auto* ax = platform::Platform::current().accessibility.get();
    QString last;
    auto holds = [&](const QString& text) {
        return waitUntil(
            [&] {
                const auto e = ax->focusedElement(app.pid);
                last = e.value ? ax->value(*e.value).value.value_or(QString()) : QString();
                return last == text;
            },
            QStringLiteral("\"%1\" in the editor").arg(text));
    };
    ASSERT_TRUE(waitUntil([&] { return TextInjector::focus(app) == TextInjector::Focus::text(); },
                          "the editor's text view focused"));

    const QString dictated = QStringLiteral("Call with jason about the plan.");
    ASSERT_TRUE(TextInjector::type(dictated));
    ASSERT_TRUE(holds(dictated)) << last.toStdString();

    harness::LogReader log;
    HotwordLearner::track(dictated, app);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Learn: watching Mousepad [org.xfce.mousepad]")))
        << log.text().toStdString();
    // The user goes back to the misheard name, selects it and types the right one.
    xdotool({"key", "--clearmodifiers", "ctrl+Home", "ctrl+Right", "ctrl+Right", "Right",
             "shift+ctrl+Right"});
    xdotool({"type", "--delay", "40", "Jayson"});
    const QString fixed = QStringLiteral("Call with Jayson about the plan.");
    ASSERT_TRUE(holds(fixed)) << last.toStdString();
    // Seen by the learner, then a quiet while.
    const int seen = HotwordLearner::polls();
    ASSERT_TRUE(waitUntil([&] { return HotwordLearner::polls() >= seen + 2; }, "two more polls"));
    ASSERT_TRUE(HotwordLearner::watching()) << log.text().toStdString();
    gNow += std::chrono::seconds(16);
    ASSERT_TRUE(log.waitFor(QStringLiteral("Learn: stop (settled 15s after the last edit)")))
        << log.text().toStdString();
    ASSERT_TRUE(log.waitFor(QStringLiteral("→ added [\"Jayson\"]"))) << log.text().toStdString();
    EXPECT_EQ(told, QStringList{QStringLiteral("Jayson")});
    EXPECT_TRUE(Config::stringList(QStringLiteral("learnedHotwords")).contains("Jayson"));
}

}  // namespace

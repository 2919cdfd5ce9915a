// Assistive mode against the scripted session switch: each process handled once, the
// fallback only for browsers, put back at quit, and put back after a crash.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include "core/AssistiveMode.h"
#include "harness/LogReader.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestEnv.h"

namespace {

namespace fake = platform::fake;
using AssistiveMode::kEnabled;
using AssistiveMode::kScreenReader;

platform::RunningApp app(qint64 pid, const QString& bundleId = QStringLiteral("org.kde.kate")) {
    platform::RunningApp a;
    a.pid = pid;
    a.bundleId = bundleId;
    a.name = QStringLiteral("Editor");
    return a;
}

class Assistive : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::Platform::install(fake::createFakePlatform());
        AssistiveMode::restore();
        QFile::remove(AssistiveMode::stateFile());
        sw().values = {{kEnabled, false}, {kScreenReader, false}};
        sw().calls.clear();
        log.mark();
    }
    void TearDown() override { AssistiveMode::restore(); }
    static fake::FakeAssistiveSwitch& sw() { return fake::assistive(); }
    harness::LogReader log;
};

TEST_F(Assistive, SwitchedOnOncePerProcessAndBackAtQuit) {
    AssistiveMode::enable(app(10));
    EXPECT_TRUE(sw().values.value(kEnabled));
    EXPECT_TRUE(log.has("IsEnabled on for Editor [org.kde.kate]"));
    EXPECT_TRUE(AssistiveMode::since(10).has_value());
    // Kept on disk, private, while on.
    const QFileInfo file(AssistiveMode::stateFile());
    ASSERT_TRUE(file.exists());
    EXPECT_EQ(file.permissions() & 0x0077, 0);

    sw().calls.clear();
    AssistiveMode::enable(app(10));  // a second dictation: no calls at all
    AssistiveMode::enable(std::nullopt);
    EXPECT_TRUE(sw().calls.isEmpty());

    AssistiveMode::restore();
    EXPECT_FALSE(sw().values.value(kEnabled));
    EXPECT_TRUE(log.has("Switched assistive mode back off in 1 app(s)"));
    EXPECT_FALSE(QFile::exists(AssistiveMode::stateFile()));
    EXPECT_FALSE(AssistiveMode::since(10).has_value());
}

TEST_F(Assistive, AlreadyOnIsLeftAlone) {
    for (const QString& on : {kEnabled, kScreenReader}) {
        SetUp();
        sw().values[on] = true;
        AssistiveMode::enable(app(11));
        EXPECT_TRUE(log.has("Assistive mode already on for Editor [org.kde.kate]"));
        EXPECT_FALSE(AssistiveMode::since(11).has_value());
        sw().calls.clear();
        AssistiveMode::restore();
        EXPECT_TRUE(sw().calls.isEmpty()) << on.toStdString();
        EXPECT_FALSE(log.has("Switched assistive mode back off"));
        EXPECT_TRUE(sw().values.value(on));
    }
}

// A refusal: browsers other than Safari and Firefox get the second property; the rest are
// recorded and not asked again.
TEST_F(Assistive, RefusalFallsBackOnlyForChromiumBrowsers) {
    struct Case {
        const char* bundleId;
        bool fallback;
    };
    const Case cases[] = {{"org.chromium.chromium", true},
                          {"com.google.chrome", true},
                          {"org.mozilla.firefox", false},
                          {"com.apple.safari", false},
                          {"org.kde.kate", false}};
    qint64 pid = 100;
    for (const Case& c : cases) {
        SetUp();
        sw().setFails[kEnabled] = 5;
        AssistiveMode::enable(app(++pid, QString::fromLatin1(c.bundleId)));
        EXPECT_EQ(sw().values.value(kScreenReader), c.fallback) << c.bundleId;
        EXPECT_EQ(AssistiveMode::since(pid).has_value(), c.fallback) << c.bundleId;
        sw().calls.clear();
        AssistiveMode::enable(app(pid, QString::fromLatin1(c.bundleId)));
        EXPECT_TRUE(sw().calls.isEmpty()) << c.bundleId;
        sw().setFails.clear();
        AssistiveMode::restore();
        EXPECT_FALSE(sw().values.value(kScreenReader)) << c.bundleId;
        EXPECT_EQ(log.has("Switched assistive mode back off"), c.fallback) << c.bundleId;
    }
    EXPECT_FALSE(QFile::exists(AssistiveMode::stateFile()));
}

// The app died with the announcement on: the next launch finds the file and puts it back,
// unless a screen reader now runs (it needs IsEnabled itself).
TEST_F(Assistive, NextLaunchPutsBackWhatACrashLeftOn) {
    struct Case {
        QByteArray file;
        bool screenReaderRuns;
        bool enabledAfter;
        const char* logged;
    };
    const Case cases[] = {
        {R"({"switchedOn":["IsEnabled"]})", false, false, "put back IsEnabled left on"},
        {R"({"switchedOn":["IsEnabled"]})", true, true, "a screen reader runs"},
        {"{\"switchedOn\":[\"IsEn", false, true, "unreadable"},
    };
    for (const Case& c : cases) {
        SetUp();
        sw().values[kEnabled] = true;
        sw().values[kScreenReader] = c.screenReaderRuns;
        ASSERT_TRUE(testenv::writeFile(AssistiveMode::stateFile(), c.file));
        AssistiveMode::recoverAfterCrash();
        EXPECT_EQ(sw().values.value(kEnabled), c.enabledAfter) << c.logged;
        EXPECT_TRUE(log.has(QString::fromLatin1(c.logged))) << c.logged;
        EXPECT_FALSE(QFile::exists(AssistiveMode::stateFile()));
    }
    // A clean last run leaves no file: nothing is touched.
    sw().calls.clear();
    AssistiveMode::recoverAfterCrash();
    EXPECT_TRUE(sw().calls.isEmpty());
}

}  // namespace

// A whole dictation through the app's controller over the scripted desktop: playing speakers
// are muted while the key is held and put back after, the audio is kept in the archive with
// its outcome, and a launch mends what a crashed run left muted.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "AsrTestUtil.h"
#include "app/AppDelegate.h"
#include "core/AccountStore.h"
#include "core/Config.h"
#include "core/HotkeyMonitor.h"
#include "core/QwenASR.h"
#include "core/Recording.h"
#include "core/StreamSession.h"
#include "core/SystemAudio.h"
#include "harness/LogReader.h"
#include "platform/fake/FakeAudio.h"
#include "platform/fake/FakeDelivery.h"
#include "platform/fake/FakeKeyMonitor.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestEnv.h"

namespace {

namespace fake = platform::fake;
using harness::waitUntil;
using platform::Key;

class AnyoneMayDictate : public AccountStore {
  public:
    std::optional<QString> cantDictate() override { return std::nullopt; }
    void refreshAccess(std::function<void()> completion) override {
        if (completion) completion();
    }
};

class Dictation : public ::testing::Test {
  protected:
    void SetUp() override {
        auto d = Config::d();
        d->setValue(QStringLiteral("polishEnabled"), false);
        d->setValue(QStringLiteral("muteWhileListening"), true);
        d->setValue(QStringLiteral("hotkey"), QStringLiteral("rightControl"));
        d->setValue(QStringLiteral("toggleMode"), true);
        qputenv("VQ_KEEP_AUDIO", "1");
        AccountStore::install(&account);
        fake::workspace().putInFront(4100, QStringLiteral("org.example.editor"),
                                     QStringLiteral("Editor"));
        fake::accessibility().focused[4100] =
            fake::FakeAccessibility::element(QStringLiteral("text"));
        fake::FakeMicScript mic;
        mic.format = {16000, 1, platform::SampleType::float32, false};
        mic.audio = fake::tone(440, 0.2, 16000, 1, 1.0);
        mic.speed = 4;
        fake::audio().setScript(mic);
        fake::speakers().devices = {{3, fake::FakeOutputDevice{QStringLiteral("speakers"), true}}};
        fake::speakers().defaultId = 3;
    }
    void TearDown() override {
        delegate.reset();
        AccountStore::install(nullptr);
        qunsetenv("VQ_KEEP_AUDIO");
    }
    void launch(asrtest::Service& service) {
        delegate = std::make_unique<AppDelegate>();
        auto request = service.request();
        delegate->makeRecogniser = [request] {
            return QwenASR::create({}, 800, asrtest::fastTiming(), request);
        };
        delegate->applicationDidFinishLaunching();
    }
    bool muted() { return fake::speakers().devices.at(3).mute.value_or(false); }

    AnyoneMayDictate account;
    std::unique_ptr<AppDelegate> delegate;
    harness::LogReader log;
};

TEST_F(Dictation, MutesWhileHeldAndKeepsTheAudio) {
    // What a run that died while muted left behind is mended at launch.
    fake::speakers().devices.at(3).mute = true;
    ASSERT_TRUE(
        testenv::writeFile(SystemAudio::statePath(), R"({"by":"mute","device":"speakers"})"));
    asrtest::Service service(
        R"({"connections":[{"steps":[{"at_ms":300,"final":"Hello there."}]}]})");
    launch(service);
    EXPECT_FALSE(muted());
    EXPECT_TRUE(log.has(QStringLiteral("left muted by the last run")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("Recording: keeping dictations in ")));

    auto tap = [] {
        fake::keyMonitor().press(Key::rightControl);
        fake::keyMonitor().release(Key::rightControl);
    };
    tap();
    ASSERT_EQ(delegate->state, AppDelegate::State::listening);
    const bool mutedWhileListening = muted();
    ASSERT_TRUE(waitUntil(
        [&] {
            return delegate->dictation && !delegate->dictation->session->rawSentences.isEmpty();
        },
        QStringLiteral("the sentence heard")));
    tap();
    ASSERT_TRUE(waitUntil([&] { return delegate->state == AppDelegate::State::idle; },
                          QStringLiteral("idle")));
    EXPECT_TRUE(mutedWhileListening);
    EXPECT_FALSE(muted());
    EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));

    Recording::drain();
    const QByteArray manifest =
        testenv::readFile(Recording::folder() + QStringLiteral("/manifest.jsonl"));
    const QList<QByteArray> lines = manifest.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 1) << manifest.toStdString() << log.text().toStdString();
    const QJsonObject o = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(o["raw"].toString(), QStringLiteral("Hello there.")) << lines[0].toStdString();
    EXPECT_EQ(o["app"].toString(), QStringLiteral("Editor"));
    EXPECT_EQ(o["bundle"].toString(), QStringLiteral("org.example.editor"));
    EXPECT_GT(o["dur"].toDouble(), 0);
    EXPECT_TRUE(QFile::exists(Recording::folder() + QLatin1Char('/') + o["audio"].toString()));
}

}  // namespace

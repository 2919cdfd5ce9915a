// Output muting on a real PulseAudio daemon of the test's own: a null sink that plays while
// a sine generator feeds it, the mute switch and volume paths, the user's own mute, and a
// run that dies while the output is muted.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include "core/SystemAudio.h"
#include "harness/LogReader.h"
#include "harness/PrivatePulse.h"
#include "platform/Platform.h"
#include "platform/linux/PulseAudioOutput.h"
#include "support/TestEnv.h"

namespace {

class PulseMuting : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pulse.ok()) << pulse.error().toStdString();
        auto& slot = platform::Platform::current().audioOutput;
        saved_ = std::move(slot);
        slot = std::make_unique<platform::x11::PulseAudioOutput>();
        QFile::remove(SystemAudio::statePath());
        log.mark();
    }
    void TearDown() override {
        SystemAudio::restore();
        platform::Platform::current().audioOutput = std::move(saved_);
    }

    QString pactl(const QStringList& args) {
        QString out;
        EXPECT_EQ(pulse.run(QStringLiteral("pactl"), args, &out), 0)
            << args.join(' ').toStdString();
        return out.trimmed();
    }
    bool muted() {
        return pactl({QStringLiteral("get-sink-mute"), QStringLiteral("speakers")})
            .endsWith(QStringLiteral("yes"));
    }
    void play() {
        pactl({QStringLiteral("load-module"), QStringLiteral("module-sine"),
               QStringLiteral("sink=speakers"), QStringLiteral("frequency=440")});
        ASSERT_TRUE(harness::waitUntil(
            [&] {
                return pactl({QStringLiteral("list"), QStringLiteral("short"),
                              QStringLiteral("sinks")})
                    .contains(QStringLiteral("RUNNING"));
            },
            QStringLiteral("the sink to play")));
    }

    PrivatePulse pulse{{QStringLiteral("load-module module-null-sink sink_name=speakers "
                                       "channels=2 rate=48000"),
                        QStringLiteral("load-module module-null-sink sink_name=other"),
                        QStringLiteral("set-default-sink speakers")}};
    harness::LogReader log;

  private:
    std::unique_ptr<platform::AudioOutput> saved_;
};

// A silent sink and one the user muted are left alone; a playing one is muted while
// listening and put back after.
TEST_F(PulseMuting, OnlyAPlayingSinkIsMutedAndRestored) {
    for (const bool playing : {false, true}) {
        if (playing) play();
        SystemAudio::muteIfPlaying();
        EXPECT_EQ(muted(), playing);
        SystemAudio::restore();
        EXPECT_FALSE(muted());
        EXPECT_EQ(log.has(QStringLiteral("Restored system output")), playing);
    }
    EXPECT_TRUE(log.has(QRegularExpression(
        QStringLiteral(R"(Muted system output \(device \d+\) while listening)"))));
    log.mark();
    pactl({QStringLiteral("set-sink-mute"), QStringLiteral("speakers"), QStringLiteral("1")});
    SystemAudio::muteIfPlaying();
    SystemAudio::restore();
    EXPECT_TRUE(muted());
    EXPECT_FALSE(log.has(QStringLiteral("system output")));
}

TEST_F(PulseMuting, VolumeElementsKeepTheBalance) {
    platform::x11::PulseAudioOutput out;
    const auto speakers = out.deviceNamed(QStringLiteral("speakers"));
    ASSERT_TRUE(speakers);
    EXPECT_EQ(out.defaultDevice(), speakers);
    EXPECT_EQ(out.deviceName(*speakers), QStringLiteral("speakers"));
    EXPECT_FALSE(out.deviceNamed(QStringLiteral("nowhere")));
    pactl({QStringLiteral("set-sink-volume"), QStringLiteral("speakers"), QStringLiteral("50%"),
           QStringLiteral("75%")});
    // Channels apart: no whole-device volume, per-channel ones read as set.
    EXPECT_FALSE(out.volume(*speakers, 0));
    EXPECT_EQ(out.volume(*speakers, 1), 0.5f);
    EXPECT_EQ(out.volume(*speakers, 2), 0.75f);
    EXPECT_FALSE(out.volume(*speakers, 3));
    EXPECT_EQ(out.setVolume(*speakers, 2, 0), 0);
    EXPECT_EQ(out.volume(*speakers, 1), 0.5f);
    EXPECT_EQ(out.volume(*speakers, 2), 0.0f);
    EXPECT_EQ(out.setVolume(*speakers, 2, 0.75f), 0);
    EXPECT_TRUE(pactl({QStringLiteral("get-sink-volume"), QStringLiteral("speakers")})
                    .contains(QStringLiteral("/  75% /")));
    // Level channels: element 0 moves them together.
    pactl({QStringLiteral("set-sink-volume"), QStringLiteral("speakers"), QStringLiteral("40%")});
    EXPECT_NEAR(out.volume(*speakers, 0).value_or(-1), 0.4f, 1e-4);
    EXPECT_EQ(out.setVolume(*speakers, 0, 0), 0);
    EXPECT_EQ(out.volume(*speakers, 2), 0.0f);
    // A sink that went away mid-dictation: reads fail, writes report a status.
    pactl({QStringLiteral("unload-module"), QStringLiteral("module-null-sink")});
    EXPECT_FALSE(out.isPlaying(*speakers));
    EXPECT_NE(out.setMute(*speakers, true), 0);
}

TEST_F(PulseMuting, ARunThatDiedMutedIsMendedAtTheNextLaunch) {
    play();
    QProcess helper;
    helper.start(testenv::binaryDir() + QStringLiteral("/tests/output/output_mute_and_die"));
    ASSERT_TRUE(helper.waitForFinished(30000));
    EXPECT_EQ(helper.exitStatus(), QProcess::CrashExit);
    ASSERT_TRUE(muted());
    ASSERT_TRUE(QFile::exists(SystemAudio::statePath()));

    SystemAudio::restoreLeftover();
    EXPECT_FALSE(muted());
    EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));
    EXPECT_TRUE(log.has(QStringLiteral("left muted by the last run")));
    // Once is enough: nothing left to do at the launch after.
    log.mark();
    SystemAudio::restoreLeftover();
    EXPECT_TRUE(log.text().isEmpty());
}

}  // namespace

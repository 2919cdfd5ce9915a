// Output muting against scripted speakers: which device state leads to which change, what
// restore puts back, failed writes, and the record a crashed run leaves for the next launch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>

#include "core/SystemAudio.h"
#include "harness/LogReader.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestEnv.h"

namespace {

using platform::fake::FakeOutputDevice;
constexpr std::nullopt_t no = std::nullopt;

constexpr quint32 kDevice = 7;

platform::fake::FakeAudioOutput& speakers() {
    return platform::fake::speakers();
}

FakeOutputDevice& device() {
    return speakers().devices.at(kDevice);
}

class SystemAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SystemAudio::restore();
        QFile::remove(SystemAudio::statePath());
        speakers().devices = {{kDevice, FakeOutputDevice{QStringLiteral("speakers")}}};
        speakers().defaultId = kDevice;
        speakers().writes = 0;
        log.mark();
    }
    void TearDown() override { SystemAudio::restore(); }
    harness::LogReader log;
};

TEST_F(SystemAudioTest, WhatMutingChangesAndRestorePutsBack) {
    using Volumes = std::array<std::optional<float>, 3>;
    struct Case {
        const char* name;
        std::optional<quint32> defaultId;
        bool playing;
        std::optional<bool> mute;
        Volumes volume;
        // expected while muted
        std::optional<bool> muteAfter;
        Volumes volumeAfter;
        const char* logged;  // nullptr: nothing is logged at all
    };
    const Case cases[] = {
        {"nothing playing", kDevice, false, false, {1.0f}, false, {1.0f}, nullptr},
        {"no default device", std::nullopt, true, false, {1.0f}, false, {1.0f}, nullptr},
        {"device 0", 0u, true, false, {1.0f}, false, {1.0f}, nullptr},
        {"already muted", kDevice, true, true, {1.0f}, true, {1.0f}, nullptr},
        {"mute switch", kDevice, true, false, {0.8f}, true, {0.8f}, "(device 7) while listening"},
        {"volume on element 1", kDevice, true, {}, {no, .6f, .9f}, {}, {no, 0.f, .9f}, "was 0.6"},
        {"volume already silent", kDevice, true, {}, {.001f, .5f}, {}, {.001f, .5f}, nullptr},
        {"nothing usable", kDevice, true, {}, {}, {}, {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        speakers().defaultId = c.defaultId;
        device().playing = c.playing;
        device().mute = c.mute;
        device().volume = c.volume;

        SystemAudio::muteIfPlaying();
        EXPECT_EQ(device().mute, c.muteAfter);
        EXPECT_EQ(device().volume, c.volumeAfter);
        EXPECT_EQ(QFile::exists(SystemAudio::statePath()), c.logged != nullptr);
        if (c.logged) {
            EXPECT_TRUE(log.has(QString::fromUtf8(c.logged))) << log.text().toStdString();
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(SystemAudio::statePath()).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }

        SystemAudio::restore();
        EXPECT_EQ(device().mute, c.mute);
        EXPECT_EQ(device().volume, c.volume);
        EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));
        if (c.logged)
            EXPECT_TRUE(log.has(QStringLiteral("Restored system output (device 7)")));
        else
            EXPECT_TRUE(log.text().isEmpty()) << log.text().toStdString();
    }
}

TEST_F(SystemAudioTest, SecondMuteDoesNothingSoRestoreUndoesTheFirst) {
    device().playing = true;
    SystemAudio::muteIfPlaying();
    ASSERT_EQ(device().mute, true);
    // The user unmutes by hand while listening; the next dictation begins before the restore.
    device().mute = false;
    SystemAudio::muteIfPlaying();
    EXPECT_EQ(device().mute, false);
    EXPECT_EQ(speakers().writes, 1);
    SystemAudio::restore();
    SystemAudio::restore();
    EXPECT_EQ(speakers().writes, 2);
    EXPECT_EQ(log.count(QStringLiteral("Muted system output")), 1);
    EXPECT_EQ(log.count(QStringLiteral("Restored system output")), 1);
}

TEST_F(SystemAudioTest, FailedWrites) {
    // Muting fails: nothing is remembered, nothing is left on disk.
    device().playing = true;
    device().failWrites = 5;
    SystemAudio::muteIfPlaying();
    EXPECT_TRUE(log.has(QStringLiteral("setMute failed: 5")));
    EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));
    SystemAudio::restore();
    EXPECT_EQ(speakers().writes, 1);
    EXPECT_FALSE(log.has(QStringLiteral("Restored")));

    // Restoring fails: the change is forgotten all the same, and not retried.
    device().mute = std::nullopt;
    device().volume = {std::nullopt, std::nullopt, 0.7f};
    device().failWrites = 0;
    SystemAudio::muteIfPlaying();
    ASSERT_EQ(device().volume[2], 0.0f);
    device().failWrites = 9;
    SystemAudio::restore();
    EXPECT_TRUE(log.has(QStringLiteral("setVolume failed: 9")));
    EXPECT_TRUE(log.has(QStringLiteral("Restored system output (device 7)")));
    EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));
    const int writes = speakers().writes;
    SystemAudio::restore();
    EXPECT_EQ(speakers().writes, writes);
}

TEST_F(SystemAudioTest, LeftoverFromACrashedRun) {
    struct Case {
        const char* name;
        QByteArray record;
        std::optional<bool> mute;
        std::array<std::optional<float>, 3> volume;
        std::optional<bool> muteAfter;
        std::optional<float> element1After;
        QString logged;  // empty: nothing is logged at all
    };
    const QByteArray byMute = R"({"by":"mute","device":"speakers"})";
    const QByteArray byVolume = R"({"by":"volume","device":"speakers","element":1,"was":0.6})";
    QByteArray hostile = byVolume, elsewhere = byMute;
    hostile.replace("\"element\":1", "\"element\":99");
    elsewhere.replace("speakers", "usb-headset");
    const QString mended = QStringLiteral("left muted by the last run");
    const Case cases[] = {
        {"still muted", byMute, true, {1.0f}, false, {}, mended},
        {"unmuted since by the user", byMute, false, {1.0f}, false, {}, {}},
        {"volume still silent", byVolume, {}, {no, 0.0f}, {}, 0.6f, mended},
        {"volume raised since", byVolume, {}, {no, 0.3f}, {}, 0.3f, {}},
        {"device gone", elsewhere, true, {1.0f}, true, {}, "usb-headset " + mended + " is gone"},
        {"torn record", R"({"by":"mu)", true, {1.0f}, true, {}, "ignoring an unreadable record"},
        {"hostile element", hostile, {}, {no, 0.0f}, {}, 0.0f, "ignoring an unreadable record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        device().mute = c.mute;
        device().volume = c.volume;
        ASSERT_TRUE(testenv::writeFile(SystemAudio::statePath(), c.record));
        SystemAudio::restoreLeftover();
        EXPECT_EQ(device().mute, c.muteAfter);
        EXPECT_EQ(device().volume[1], c.element1After);
        EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));
        EXPECT_TRUE(c.logged.isEmpty() ? log.text().isEmpty() : log.has(c.logged))
            << log.text().toStdString();
    }
    // No sound server yet: the record waits for a later launch.
    SetUp();
    device().mute = true;
    ASSERT_TRUE(testenv::writeFile(SystemAudio::statePath(), byMute));
    speakers().defaultId.reset();
    SystemAudio::restoreLeftover();
    EXPECT_TRUE(QFile::exists(SystemAudio::statePath()));
    EXPECT_EQ(device().mute, true);
    speakers().defaultId = kDevice;
    SystemAudio::restoreLeftover();
    EXPECT_EQ(device().mute, false);
    EXPECT_FALSE(QFile::exists(SystemAudio::statePath()));

    // With no record, nothing is read and nothing written.
    SetUp();
    SystemAudio::restoreLeftover();
    EXPECT_EQ(speakers().writes, 0);
}

}  // namespace

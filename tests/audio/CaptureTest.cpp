// AudioCapture against the scripted microphone: what reaches onChunk and onLevel, the
// silence watchdog and its rebuild, configuration changes, a dying device, and start/stop
// storms from the controller's thread.
#include <gtest/gtest.h>
#include <pthread.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "AudioTestUtil.h"
#include "core/AudioCapture.h"
#include "core/MainThread.h"
#include "harness/LogReader.h"
#include "platform/fake/FakeAudio.h"
#include "platform/fake/FakePlatform.h"

using platform::AudioBuffer;
using platform::AudioFormat;
using platform::SampleType;
using platform::fake::FakeAudioInput;
using platform::fake::FakeMicScript;

namespace {

using harness::waitUntil;
using namespace std::chrono_literals;

// Levels are handed to the main thread with timers of at most a buffer's length.
constexpr auto kLevelTimers = 100ms;

std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// One capture on its own scripted microphone, recording what its callbacks see.
struct Rig {
    FakeAudioInput mic;
    std::unique_ptr<AudioCapture> capture;
    harness::LogReader log;

    std::mutex m;
    QByteArray pcm;
    std::atomic<int> chunks{0};
    std::atomic<int> chunksOnWrongThread{0};
    std::vector<float> levels;  // main thread only
    int levelsOffMain = 0;
    QStringList errors;  // main thread only
    int errorsOffMain = 0;

    Rig() : Rig(tonescript(0.5)) {}
    explicit Rig(FakeMicScript s) {
        mic.setScript(std::move(s));
        capture = std::make_unique<AudioCapture>(mic);
    }
    ~Rig() { capture.reset(); }

    static FakeMicScript tonescript(double amp = 0.5) {
        FakeMicScript s;
        s.format = AudioFormat{48000, 1, SampleType::float32, false};
        s.audio = platform::fake::tone(1000, amp, 48000, 1, 2.0);
        s.loop = true;
        return s;
    }

    void start() {
        capture->start(
            [this](float rms) {
                if (!MainThread::isCurrent()) ++levelsOffMain;
                levels.push_back(rms);
            },
            [this](const QByteArray& b) {
                const std::string name = threadName();
                if (MainThread::isCurrent() || name == "velmora.audio") ++chunksOnWrongThread;
                std::lock_guard lock(m);
                pcm += b;
                ++chunks;
            },
            [this](const QString& e) {
                if (!MainThread::isCurrent()) ++errorsOffMain;
                errors << e;
            });
    }
    QByteArray audio() {
        std::lock_guard lock(m);
        return pcm;
    }
    ::testing::AssertionResult waitChunks(int n) {
        return waitUntil([&] { return chunks.load() >= n; }, QStringLiteral("%1 chunks").arg(n));
    }
    // The capture's work so far has run, and what it handed to the main thread has arrived.
    void drain() {
        capture->waitForQueue();
        harness::drainEvents();
    }
    // The watchdog armed last has had its turn. It runs on the capture's worker 900 ms after
    // it was armed, and the worker runs work that is due before work posted after it: so a
    // no-op posted once that moment has passed runs after the watchdog. (A warm-up is a
    // no-op while capturing, a stop while not.)
    void passWatch(bool capturing) {
        auto noop = [&] {
            if (capturing)
                capture->warmUp();
            else
                capture->stop();
            capture->waitForQueue();
        };
        noop();  // the arming, posted before, has run
        const auto due =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(AudioCapture::kWatchdogMs);
        EXPECT_TRUE(waitUntil([&] { return std::chrono::steady_clock::now() >= due; },
                              "the watchdog's moment"));
        noop();
        harness::drainEvents();
    }
    // Stops, lets the worker finish, and checks that nothing is left running.
    void stopAndSettle() {
        capture->stop();
        capture->waitForQueue();
        EXPECT_EQ(mic.runningEngines.load(), 0);
        EXPECT_EQ(mic.liveEngines.load(), 0);
    }
};

// Whatever layout a device gives, channel 0 alone comes out, whole, at 16 kHz, on the
// delivery thread.
TEST(Capture, ChannelZeroOfEveryDeviceLayoutAtSixteenKilohertz) {
    for (const AudioFormat f : {AudioFormat{48000, 2, SampleType::float32, true},
                                AudioFormat{44100, 1, SampleType::int16, true},
                                AudioFormat{32000, 2, SampleType::int32, false},
                                AudioFormat{96000, 3, SampleType::float32, false}}) {
        SCOPED_TRACE(testing::Message() << f.sampleRate << " Hz x" << f.channels);
        FakeMicScript s;
        s.format = f;
        // Channel 0: 1 kHz; the others 3 kHz, which must be dropped, not mixed in.
        const auto first = platform::fake::tone(1000, 0.5, f.sampleRate, 1, 1.0);
        const auto others = platform::fake::tone(3000, 0.5, f.sampleRate, 1, 1.0);
        for (size_t i = 0; i < first.size(); ++i)
            for (int c = 0; c < f.channels; ++c) s.audio.push_back(c == 0 ? first[i] : others[i]);
        s.loop = true;
        s.speed = 4;
        Rig rig(s);
        rig.start();
        ASSERT_TRUE(rig.waitChunks(40));
        rig.stopAndSettle();

        EXPECT_EQ(rig.chunksOnWrongThread.load(), 0) << "onChunk runs on the delivery thread";
        // Levels reach the main thread; a full-scale 0.5 tone measures 0.5/√2.
        EXPECT_EQ(rig.levelsOffMain, 0);
        ASSERT_GT(rig.levels.size(), 4u);
        for (size_t i = 2; i < rig.levels.size(); ++i)
            EXPECT_NEAR(rig.levels[i], 0.5 / std::sqrt(2.0), 0.01);
        const auto samples = audiotest::samplesOf(rig.audio());
        // Every buffer's worth comes out, give or take the converter's delay.
        EXPECT_NEAR(static_cast<double>(samples.size()),
                    rig.mic.buffersDelivered.load() * 1024.0 * 16000 / f.sampleRate, 800);
        ASSERT_GT(samples.size(), 8000u);
        EXPECT_NEAR(audiotest::amplitudeAt(samples, 16000, 1000, 2000, 6000), 0.5, 0.01);
        EXPECT_LT(audiotest::amplitudeAt(samples, 16000, 3000, 2000, 6000), 0.003);
    }
}

// 20 ms windows; a tail under half a window joins the window before it, and each window's
// level is divided by its own length.
TEST(Levels, WindowsAtTheEdges) {
    std::vector<float> half(48000, 0.5f), mixed(1440, 0.0f), square(960);
    std::fill(mixed.begin() + 960, mixed.end(), 0.5f);
    for (size_t i = 0; i < square.size(); ++i) square[i] = i % 2 ? 1.0f : -1.0f;
    const std::vector<float> hot(960, 2.0f);  // out-of-range samples are measured as they are
    const struct {
        const std::vector<float>* samples;
        int frames;
        double rate;
        std::vector<int> offsets;
        std::vector<float> rms;  // the first windows' levels
    } cases[] = {
        {&half, 4800, 48000, {0, 960, 1920, 2880, 3840}, {0.5f}},
        {&half, 1000, 48000, {0}, {0.5f}},            // 40 left over: one window takes all
        {&half, 960 + 480, 48000, {0, 960}, {0.5f}},  // exactly half a window: its own
        {&half, 960 + 479, 48000, {0}, {0.5f}},
        {&half, 10, 48000, {0}, {0.5f}},              // fewer frames than a window
        {&half, 882 + 441, 44100, {0, 882}, {0.5f}},  // 44.1 kHz: window 882, half 441
        {&half, 3, 20, {0, 1, 2}, {0.5f}},            // a rate so low the window would be empty
        {&half, 0, 48000, {}, {}},                    // nothing in, nothing out
        {&half, 100, 0, {}, {}},
        {&mixed, 1440, 48000, {0, 960}, {0.0f, 0.5f}},
        {&square, 960, 48000, {0}, {1.0f}},
        {&hot, 960, 48000, {0}, {2.0f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frames << " frames at " << c.rate);
        const auto levels = AudioCapture::levels(c.samples->data(), c.frames, c.rate);
        std::vector<int> got;
        for (size_t i = 0; i < levels.size(); ++i) {
            got.push_back(levels[i].offset);
            EXPECT_FLOAT_EQ(levels[i].rms, c.rms[std::min(i, c.rms.size() - 1)]);
        }
        EXPECT_EQ(got, c.offsets);
    }
    EXPECT_TRUE(AudioCapture::levels(nullptr, 100, 48000).empty());

    // Channel 0 of a buffer: integers scaled to [-1, 1); no samples, nothing to use.
    std::vector<float> scratch;
    std::vector<int16_t> i16{-32768, 5, 16384, 7};
    const void* planes[1] = {i16.data()};
    const float* m = AudioCapture::channel0Mono(
        AudioBuffer{{16000, 2, SampleType::int16, true}, 2, planes}, scratch);
    ASSERT_TRUE(m);
    EXPECT_EQ(m[0], -1.0f);
    EXPECT_EQ(m[1], 0.5f);
    EXPECT_FALSE(AudioCapture::channel0Mono(
        AudioBuffer{{16000, 1, SampleType::int16, true}, 0, planes}, scratch));
    EXPECT_FALSE(AudioCapture::channel0Mono(
        AudioBuffer{{16000, 1, SampleType::int16, true}, 4, nullptr}, scratch));
}

// ---- start, warm-up ----

TEST(Capture, StartWhileActiveChangesNothing) {
    Rig rig;
    rig.start();
    ASSERT_TRUE(rig.waitChunks(3));
    std::atomic<int> second{0};
    rig.capture->start([&](float) { ++second; }, [&](const QByteArray&) { ++second; },
                       [&](const QString&) { ++second; });
    const int before = rig.chunks.load();
    ASSERT_TRUE(rig.waitChunks(before + 10));
    rig.stopAndSettle();
    EXPECT_EQ(second.load(), 0);
    EXPECT_EQ(rig.mic.enginesMade.load(), 1);
}

TEST(Capture, StartRetriesOnceThenReportsTheMic) {
    {
        FakeMicScript s = Rig::tonescript();
        s.failStarts = 1;
        Rig rig(s);
        rig.start();
        ASSERT_TRUE(rig.waitChunks(3));
        rig.stopAndSettle();
        EXPECT_EQ(rig.log.count(QStringLiteral("AudioEngine start failed: device busy")), 1);
        EXPECT_TRUE(rig.errors.isEmpty());
    }
    {
        FakeMicScript s = Rig::tonescript();
        s.failStarts = 2;
        Rig rig(s);
        rig.start();
        ASSERT_TRUE(waitUntil([&] { return !rig.errors.isEmpty(); }, "the error"));
        rig.drain();
        EXPECT_EQ(rig.errors,
                  QStringList{QStringLiteral("Can't reach the mic, try relaunching me")});
        EXPECT_EQ(rig.errorsOffMain, 0);
        EXPECT_EQ(rig.log.count(QStringLiteral("AudioEngine start failed: device busy")), 2);
        EXPECT_EQ(rig.mic.liveEngines.load(), 0);
        // The capture is idle again: a new start works once the device does.
        rig.start();
        ASSERT_TRUE(rig.waitChunks(3));
        rig.stopAndSettle();
    }
}

TEST(Capture, WarmUpOpensAndReleasesTheDevice) {
    Rig rig;
    rig.capture->warmUp();
    ASSERT_TRUE(rig.log.waitFor(QStringLiteral("Mic warm-up: engine ready in ")));
    rig.capture->waitForQueue();
    EXPECT_EQ(rig.mic.formatReads.load(), 1);
    EXPECT_EQ(rig.mic.liveEngines.load(), 0);
    EXPECT_EQ(rig.mic.startsTried.load(), 0);

    // While capturing, a warm-up does nothing.
    rig.start();
    ASSERT_TRUE(rig.waitChunks(2));
    rig.capture->warmUp();
    rig.capture->waitForQueue();
    EXPECT_EQ(rig.mic.formatReads.load(), 1);
    rig.stopAndSettle();

    // Without a device the warm-up says so instead of claiming success.
    rig.mic.update([](FakeMicScript& s) { s.noDevice = true; });
    rig.capture->warmUp();
    ASSERT_TRUE(rig.log.waitFor(QStringLiteral("Mic warm-up: no input (no input device)")));
    EXPECT_EQ(rig.log.count(QStringLiteral("Mic warm-up: engine ready")), 1);
}

// ---- the watchdog ----

TEST(Watchdog, SilentDeviceIsRebuiltOnceThenGivenUp) {
    for (const bool emptyBuffers : {false, true}) {
        SCOPED_TRACE(emptyBuffers ? "empty buffers" : "no buffers");
        FakeMicScript s = Rig::tonescript();
        s.silent = !emptyBuffers;
        s.emptyBuffers = emptyBuffers;  // buffers of zero frames count as silence
        Rig rig(s);
        QElapsedTimer t;
        t.start();
        rig.start();
        ASSERT_TRUE(waitUntil([&] { return !rig.errors.isEmpty(); }, "the error"));
        const qint64 ms = t.elapsed();
        rig.drain();
        EXPECT_EQ(rig.errors,
                  QStringList{QStringLiteral("The mic's gone quiet, try relaunching me")});
        EXPECT_GE(ms, 1700);  // two watches of 0.9 s
        EXPECT_EQ(rig.mic.enginesMade.load(), 2);
        EXPECT_EQ(rig.mic.liveEngines.load(), 0);
        const QString text = rig.log.text();
        const qsizetype rebuilt =
            text.indexOf(QStringLiteral("Mic silent 900ms after start, rebuilding engine"));
        const qsizetype gaveUp = text.indexOf(QStringLiteral("Mic delivered no audio, giving up"));
        EXPECT_GE(rebuilt, 0);
        EXPECT_GT(gaveUp, rebuilt);
        EXPECT_EQ(rig.chunks.load(), 0);
        // Idle after giving up: stop is harmless.
        rig.stopAndSettle();
    }
}

TEST(Watchdog, RebuildThatHearsSomethingCarriesOn) {
    FakeMicScript s = Rig::tonescript();
    s.silent = true;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.mic.startsTried.load() >= 1; }, "a start"));
    rig.mic.update([](FakeMicScript& live) { live.silent = false; });  // the next engine hears
    ASSERT_TRUE(rig.waitChunks(60));
    ASSERT_TRUE(rig.log.waitFor(QStringLiteral("rebuilding engine")));
    rig.passWatch(true);  // the second watch
    rig.stopAndSettle();
    EXPECT_TRUE(rig.errors.isEmpty());
    EXPECT_EQ(rig.log.count(QStringLiteral("Mic silent 900ms after start, rebuilding engine")), 1);
    EXPECT_EQ(rig.log.count(QStringLiteral("giving up")), 0);
    EXPECT_EQ(rig.mic.enginesMade.load(), 2);
}

TEST(Watchdog, RebuildThatCannotStartReportsTheMic) {
    FakeMicScript s = Rig::tonescript();
    s.silent = true;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.mic.startsTried.load() >= 1; }, "a start"));
    rig.mic.update([](FakeMicScript& live) { live.failStarts = 1; });
    ASSERT_TRUE(waitUntil([&] { return !rig.errors.isEmpty(); }, "the error"));
    rig.passWatch(false);
    EXPECT_EQ(rig.errors, QStringList{QStringLiteral("Can't reach the mic, try relaunching me")});
    EXPECT_EQ(rig.log.count(QStringLiteral("AudioEngine start failed: device busy")), 1);
    EXPECT_EQ(rig.log.count(QStringLiteral("Mic delivered no audio")), 0);
    EXPECT_EQ(rig.mic.liveEngines.load(), 0);
}

// stop() while the watchdog's rebuild is bringing a (slow) engine up: the rebuild finishes,
// stop tears it down, and nothing is heard from the capture afterwards.
TEST(Watchdog, StopDuringRebuild) {
    FakeMicScript s = Rig::tonescript();
    s.silent = true;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.mic.startsTried.load() >= 1; }, "a start"));
    rig.mic.update([](FakeMicScript& live) {
        live.silent = false;  // the rebuilt engine would deliver...
        live.startDelayMs = 700;
    });
    ASSERT_TRUE(waitUntil([&] { return rig.mic.enginesMade.load() == 2; }, "the rebuild"));
    rig.capture->stop();  // during its slow start
    rig.capture->waitForQueue();
    EXPECT_EQ(rig.mic.enginesMade.load(), 2);
    EXPECT_EQ(rig.mic.runningEngines.load(), 0);
    EXPECT_EQ(rig.mic.liveEngines.load(), 0);
    rig.passWatch(false);  // ...but after stop nothing may arrive, and no watchdog may act
    harness::passTimersDue(kLevelTimers);
    EXPECT_EQ(rig.chunks.load(), 0);
    EXPECT_TRUE(rig.levels.empty());
    EXPECT_TRUE(rig.errors.isEmpty());
    EXPECT_EQ(rig.log.count(QStringLiteral("giving up")), 0);
    EXPECT_EQ(rig.log.count(QStringLiteral("rebuilding engine")), 1);
}

// A watchdog armed by one start does nothing for the next one.
TEST(Watchdog, StopThenStartLeavesTheOldWatchHarmless) {
    FakeMicScript s = Rig::tonescript();
    s.silent = true;
    Rig rig(s);
    rig.start();
    rig.capture->waitForQueue();  // started, its watch armed
    rig.capture->stop();
    rig.mic.update([](FakeMicScript& live) { live.silent = false; });
    rig.start();
    ASSERT_TRUE(rig.waitChunks(20));
    rig.passWatch(true);  // the new start's watch, armed after the old one
    rig.stopAndSettle();
    EXPECT_EQ(rig.log.count(QStringLiteral("Mic silent")), 0);
    EXPECT_TRUE(rig.errors.isEmpty());
}

// ---- device changes ----

TEST(DeviceChange, FormatChangeWithoutNoticeMakesANewConverter) {
    Rig rig;
    rig.start();
    ASSERT_TRUE(rig.waitChunks(5));
    rig.mic.changeFormatInPlace(AudioFormat{22050, 2, SampleType::int16, false});
    ASSERT_TRUE(rig.log.waitFor(QStringLiteral("Mic format: 22050Hz ch=2 interleaved=false")));
    const int at = rig.chunks.load();
    ASSERT_TRUE(rig.waitChunks(at + 10));
    rig.stopAndSettle();
    EXPECT_EQ(rig.mic.enginesMade.load(), 1);
}

TEST(DeviceChange, DropoutsLoseOnlyTheirOwnStretch) {
    FakeMicScript s = Rig::tonescript();
    s.dropouts = {{200, 1400}};  // longer than the watch, but audio came before it
    s.speed = 2;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.audio().size() >= 32000 * 2; }, "two seconds of audio"));
    rig.stopAndSettle();
    EXPECT_EQ(rig.log.count(QStringLiteral("Mic silent")), 0);
    EXPECT_TRUE(rig.errors.isEmpty());
}

// ---- storms ----

// The controller's thread starts and stops at random, sometimes in bursts, sometimes letting
// audio flow. Nothing deadlocks, no chunk or level of a stopped start ever arrives, and
// everything is torn down at the end.
TEST(Storm, StartStopFromTheMainThread) {
    FakeMicScript s = Rig::tonescript();
    s.speed = 3;
    FakeAudioInput mic;
    mic.setScript(s);
    auto capture = std::make_unique<AudioCapture>(mic);

    std::atomic<int> stoppedThrough{-1};  // every start up to this index has been stopped
    std::atomic<int> late{0}, chunks{0};
    int lateLevels = 0, levels = 0, started = -1;
    QStringList errors;
    std::mt19937 rng(1234);
    bool lastWasStart = false;
    auto startOne = [&] {
        const int k = ++started;
        capture->start(
            [&, k](float) {
                ++levels;
                if (k <= stoppedThrough.load()) ++lateLevels;
            },
            [&, k](const QByteArray&) {
                ++chunks;
                if (k <= stoppedThrough.load()) ++late;
            },
            [&](const QString& e) { errors << e; });
    };
    for (int i = 0; i < 400; ++i) {
        lastWasStart = rng() % 2;
        if (lastWasStart) {
            startOne();
        } else {
            capture->stop();
            stoppedThrough = started;
        }
        const int pause = static_cast<int>(rng() % 20);
        if (pause == 0 && lastWasStart) {  // let some audio of this start through
            const int before = chunks.load();
            EXPECT_TRUE(waitUntil([&] { return chunks.load() > before; }, "a chunk"));
        } else if (pause < 4) {
            QCoreApplication::processEvents();
        }
        if (i % 50 == 49) {  // a calm moment in the storm: one start is left to run
            capture->stop();
            stoppedThrough = started;
            const int before = chunks.load();
            startOne();
            EXPECT_TRUE(waitUntil([&] { return chunks.load() > before; }, "a chunk"));
        }
    }
    capture->stop();
    stoppedThrough = started;
    capture->waitForQueue();
    EXPECT_EQ(mic.runningEngines.load(), 0);
    EXPECT_EQ(mic.liveEngines.load(), 0);
    const int chunksAtStop = chunks.load();
    const int levelsAtStop = levels;
    harness::passTimersDue(kLevelTimers);
    EXPECT_EQ(chunks.load(), chunksAtStop);
    EXPECT_EQ(levels, levelsAtStop);
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(lateLevels, 0);
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char('|')).toStdString();
    EXPECT_GT(chunksAtStop, 0) << "the storm should have let some audio through";
    capture.reset();  // destroying it idle is clean too
}

// Another thread's stop() racing the delivery thread: onChunk never runs after stop()
// returned, however the two interleave.
TEST(Storm, NoChunkAfterStopReturns) {
    FakeMicScript s = Rig::tonescript();
    s.speed = 20;  // buffers every ~1 ms
    FakeAudioInput mic;
    mic.setScript(s);
    AudioCapture capture(mic);
    for (int round = 0; round < 30; ++round) {
        std::atomic<bool> stopped{false};
        std::atomic<int> got{0}, late{0};
        capture.start(
            nullptr,
            [&](const QByteArray&) {
                if (stopped.load()) ++late;
                ++got;
            },
            nullptr);
        // Stop at a different point of the stream each round.
        const int stopAt = 1 + round % 5;
        ASSERT_TRUE(waitUntil([&] { return got.load() >= stopAt; }, "chunks"));
        capture.stop();
        stopped = true;
        capture.waitForQueue();  // the engine is gone: nothing can come after this
        EXPECT_EQ(late.load(), 0) << "round " << round;
    }
    EXPECT_EQ(mic.liveEngines.load(), 0);
}

TEST(Capture, DestroyedWhileRunning) {
    auto rig = std::make_unique<Rig>();
    rig->start();
    ASSERT_TRUE(rig->waitChunks(5));
    rig->capture.reset();
    EXPECT_EQ(rig->mic.liveEngines.load(), 0);
    const int at = rig->chunks.load();
    const size_t levels = rig->levels.size();
    harness::passTimersDue(kLevelTimers);  // levels scheduled for later find the capture gone
    EXPECT_EQ(rig->chunks.load(), at);
    EXPECT_EQ(rig->levels.size(), levels);
}

}  // namespace

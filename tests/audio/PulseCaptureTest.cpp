// The capture on a real PulseAudio daemon of the test's own. The "microphones" are pipe
// sources the test feeds at real-time pace (a null sink's monitor only renders in the sink's
// own large blocks, which no microphone does): flite speech framed by silence, steady tones,
// a source nobody writes to, one that is unplugged, and a daemon that dies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QProcess>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "AudioTestUtil.h"
#include "core/AudioCapture.h"
#include "core/Log.h"
#include "harness/FifoFeeder.h"
#include "harness/LogReader.h"
#include "harness/PrivatePulse.h"
#include "platform/linux/LinuxPermissions.h"
#include "platform/linux/PulseAudioInput.h"
#include "support/TestEnv.h"

namespace {

using harness::LogReader;
using harness::waitUntil;

QString scratch(const QString& name) {
    return testenv::home() + QLatin1Char('/') + name;
}

std::vector<int16_t> readMono16(const QString& path) {
    SF_INFO info{};
    const audiotest::SndfilePtr f(sf_open(path.toLocal8Bit().constData(), SFM_READ, &info));
    if (!f) return {};
    std::vector<int16_t> s(static_cast<size_t>(info.frames * info.channels));
    sf_readf_short(f.get(), s.data(), info.frames);
    if (info.channels > 1)
        for (size_t i = 0; i < static_cast<size_t>(info.frames); ++i)
            s[i] = s[i * static_cast<size_t>(info.channels)];
    s.resize(static_cast<size_t>(info.frames));
    return s;
}

std::vector<int16_t> toneSamples(double hz, double amp, int rate, double seconds) {
    std::vector<int16_t> s(static_cast<size_t>(rate * seconds));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(std::lround(
            amp * 32767 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate)));
    return s;
}

// Best normalised correlation of `needle` inside `hay`, trying offsets around `guess`.
double bestCorrelation(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle,
                       long guess, long spread) {
    double best = 0;
    double nn = 0;
    for (int16_t v : needle) nn += static_cast<double>(v) * v;
    for (long off = std::max(0L, guess - spread); off <= guess + spread; ++off) {
        if (off + static_cast<long>(needle.size()) > static_cast<long>(hay.size())) break;
        double dot = 0, hh = 0;
        for (size_t i = 0; i < needle.size(); ++i) {
            const double h = hay[static_cast<size_t>(off) + i];
            dot += h * needle[i];
            hh += h * h;
        }
        if (hh > 0 && nn > 0) best = std::max(best, dot / std::sqrt(hh * nn));
    }
    return best;
}

long firstLoud(const std::vector<int16_t>& s, int threshold = 300) {
    for (size_t i = 0; i < s.size(); ++i)
        if (std::abs(s[i]) > threshold) return static_cast<long>(i);
    return -1;
}

QByteArray floatStereo(const std::vector<int16_t>& mono) {
    QByteArray out(static_cast<qsizetype>(mono.size() * 8), '\0');
    auto* f = reinterpret_cast<float*>(out.data());
    for (size_t i = 0; i < mono.size(); ++i) f[2 * i] = f[2 * i + 1] = mono[i] / 32768.0f;
    return out;
}

QByteArray int32Stereo(const std::vector<int16_t>& mono) {
    QByteArray out(static_cast<qsizetype>(mono.size() * 8), '\0');
    auto* v = reinterpret_cast<int32_t*>(out.data());
    for (size_t i = 0; i < mono.size(); ++i)
        v[2 * i] = v[2 * i + 1] = static_cast<int32_t>(mono[i]) * 65536;
    return out;
}

// A capture on the platform's real PulseAudio input, recording its callbacks.
struct PulseRig {
    platform::x11::PulseAudioInput input;
    AudioCapture capture{input};
    std::mutex m;
    QByteArray pcm;
    std::atomic<int> chunks{0};
    std::vector<float> levels;
    QStringList errors;

    void start() {
        capture.start([this](float rms) { levels.push_back(rms); },
                      [this](const QByteArray& b) {
                          std::lock_guard lock(m);
                          pcm += b;
                          ++chunks;
                      },
                      [this](const QString& e) { errors << e; });
    }
    QByteArray audio() {
        std::lock_guard lock(m);
        return pcm;
    }
    qsizetype bytes() {
        std::lock_guard lock(m);
        return pcm.size();
    }
    ::testing::AssertionResult grows(qsizetype by) {
        const qsizetype at = bytes();
        return waitUntil([&] { return bytes() >= at + by; },
                         QStringLiteral("%1 more bytes of audio").arg(by));
    }
};

// The room microphone: a 48 kHz stereo float source.
struct Room {
    QString fifo;
    QStringList script;
    explicit Room(const QString& tag) : fifo(scratch(tag + QStringLiteral("-room.fifo"))) {
        script = {pipeSource(QStringLiteral("room"), fifo, "float32le", 48000, 2),
                  QStringLiteral("set-default-source room")};
    }
};

TEST(Pulse, PermissionMeansAServerWithASource) {
    platform::x11::LinuxPermissions permissions;
    {
        Room room(QStringLiteral("perm"));
        PrivatePulse pulse(room.script);
        ASSERT_TRUE(pulse.ok()) << pulse.error().toStdString();
        EXPECT_TRUE(permissions.microphoneUsable());
        const auto probe = platform::x11::probeDefaultSource();
        EXPECT_EQ(probe.source, QStringLiteral("room"));
    }
    // The daemon is gone: no server, no microphone, and the reason is logged.
    LogReader log;
    const QByteArray saved = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", ("unix:" + scratch(QStringLiteral("nobody-here"))).toLocal8Bit());
    EXPECT_FALSE(permissions.microphoneUsable());
    EXPECT_TRUE(log.text().contains(QStringLiteral("Mic: ")));
    if (saved.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", saved);
}

// The real thing: speech in, speech out. Levels rise above the floor while it speaks and stay
// near it in the silence around it; the chunks are the speech, at 16 kHz.
TEST(Pulse, RecordsSpeechFromTheDefaultSource) {
    const QString speechFile = scratch(QStringLiteral("speech.wav"));
    ASSERT_EQ(QProcess::execute(
                  QStringLiteral("flite"),
                  {QStringLiteral("-voice"), QStringLiteral("slt"), QStringLiteral("-t"),
                   QStringLiteral("Please send the quarterly report to the team before Friday."),
                   QStringLiteral("-o"), speechFile}),
              0);
    const std::vector<int16_t> speech = readMono16(speechFile);
    ASSERT_GT(speech.size(), 16000u);
    // The room source runs at 48 kHz: sox brings the speech there, as a second opinion
    // independent of our own converter.
    const QString speech48 = scratch(QStringLiteral("speech48.raw"));
    ASSERT_EQ(QProcess::execute(
                  QStringLiteral("sox"),
                  {speechFile, QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-r"),
                   QStringLiteral("48000"), QStringLiteral("-c"), QStringLiteral("2"),
                   QStringLiteral("-e"), QStringLiteral("floating-point"), QStringLiteral("-b"),
                   QStringLiteral("32"), speech48}),
              0);
    const QByteArray speechPcm = testenv::readFile(speech48);
    ASSERT_GT(speechPcm.size(), 48000 * 8);

    Room room(QStringLiteral("speech"));
    PrivatePulse pulse(room.script);
    ASSERT_TRUE(pulse.ok()) << pulse.error().toStdString();
    FifoFeeder mic(room.fifo, 48000, 8);
    ASSERT_TRUE(mic.ok());

    LogReader log;
    PulseRig rig;
    rig.capture.warmUp();
    ASSERT_TRUE(log.waitFor(QStringLiteral("Mic warm-up: engine ready in ")));
    rig.start();
    ASSERT_TRUE(rig.grows(32000 * 8 / 10));  // 0.8 s of room silence
    mic.queue(speechPcm);
    ASSERT_TRUE(waitUntil([&] { return mic.drained(); }, "the speech played"));
    ASSERT_TRUE(rig.grows(32000 * 3 / 2));  // 1.5 s of silence after it
    rig.capture.stop();
    rig.capture.waitForQueue();

    EXPECT_TRUE(rig.errors.isEmpty()) << rig.errors.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Mic format: 48000Hz ch=2 interleaved=true")), 1)
        << log.text().toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Mic silent")), 0);

    // Levels: above the floor while speaking, near it before and after.
    const float floor = 0.001f, speaking = 0.01f;
    const auto& lv = rig.levels;
    const auto got = audiotest::samplesOf(rig.audio());
    ASSERT_GT(lv.size(), 100u);
    const double levelsPerSample = static_cast<double>(lv.size()) / static_cast<double>(got.size());
    size_t firstSpeech = lv.size(), lastSpeech = 0, loud = 0;
    for (size_t i = 0; i < lv.size(); ++i)
        if (lv[i] > speaking) {
            firstSpeech = std::min(firstSpeech, i);
            lastSpeech = i;
            ++loud;
        }
    ASSERT_LT(firstSpeech, lv.size()) << "no level ever rose above the floor";
    const double speechLevels = static_cast<double>(speech.size()) * levelsPerSample;
    EXPECT_GT(static_cast<double>(loud), 0.4 * speechLevels);
    EXPECT_LT(static_cast<double>(lastSpeech - firstSpeech), 1.05 * speechLevels);
    // The speech fades in and out over a few windows; the silence around that is at the floor.
    const size_t fade = static_cast<size_t>(0.2 * 16000 * levelsPerSample);
    ASSERT_GT(firstSpeech, fade);
    size_t quietBefore = 0, quietAfter = 0;
    for (size_t i = 0; i < firstSpeech - fade; ++i) quietBefore += lv[i] < floor;
    for (size_t i = lastSpeech + fade; i < lv.size(); ++i) quietAfter += lv[i] < floor;
    EXPECT_EQ(quietBefore, firstSpeech - fade) << "the silence before the speech is at the floor";
    EXPECT_GE(static_cast<double>(quietBefore), 0.7 * 0.8 * 16000 * levelsPerSample);
    EXPECT_EQ(quietAfter, lv.size() - std::min(lv.size(), lastSpeech + fade));
    EXPECT_GE(static_cast<double>(quietAfter), 0.7 * 1.5 * 16000 * levelsPerSample);

    // The chunks carry the speech itself.
    const long onsetGot = firstLoud(got), onsetSpeech = firstLoud(speech);
    ASSERT_GE(onsetGot, 0);
    EXPECT_GT(bestCorrelation(got, speech, onsetGot - onsetSpeech, 400), 0.9);
}

// A tone's amplitude over a stretch, as the median of its four quarters: on a loaded machine
// the test's own feeder can be starved and leave a gap or a jump in one of them.
double steadyAmplitude(const std::vector<int16_t>& s, double hz, size_t from, size_t count) {
    std::array<double, 4> a{};
    for (size_t k = 0; k < a.size(); ++k)
        a[k] = audiotest::amplitudeAt(s, 16000, hz, from + k * count / 4, count / 4);
    std::sort(a.begin(), a.end());
    return (a[1] + a[2]) / 2;
}

// A new default source mid-dictation, or the source recorded from removed (a headset
// unplugged): the engine is rebuilt on the default of then, in its format, without a word to
// the user, and the chunks carry what that source hears.
TEST(Pulse, RebuiltOnTheDefaultSource) {
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "another default");
        const QString tag = unplug ? QStringLiteral("unplug") : QStringLiteral("follow");
        Room room(tag);
        PrivatePulse pulse(room.script);
        ASSERT_TRUE(pulse.ok()) << pulse.error().toStdString();
        const QString usbFifo = scratch(tag + QStringLiteral("-usb.fifo"));
        QString index;
        ASSERT_EQ(pulse.run(QStringLiteral("pactl"),
                            QStringLiteral("load-module module-pipe-source source_name=usb "
                                           "format=s32le rate=32000 channels=2 file=")
                                .append(usbFifo)
                                .split(QLatin1Char(' ')),
                            &index),
                  0);
        auto makeDefault = [&](const QString& name) {
            return pulse.run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), name});
        };
        if (unplug) {
            ASSERT_EQ(makeDefault(QStringLiteral("usb")), 0);
        }
        FifoFeeder roomMic(room.fifo, 48000, 8);
        roomMic.queue(floatStereo(toneSamples(1000, 0.5, 48000, 30)));
        std::optional<FifoFeeder> usbMic(std::in_place, usbFifo, 32000, 8);
        usbMic->queue(int32Stereo(toneSamples(3000, 0.5, 32000, 30)));

        const QString usbFormat = QStringLiteral("Mic format: 32000Hz ch=2 interleaved=true");
        const QString roomFormat = QStringLiteral("Mic format: 48000Hz ch=2 interleaved=true");
        LogReader log;
        PulseRig rig;
        rig.start();
        ASSERT_TRUE(log.waitFor(unplug ? usbFormat : roomFormat)) << log.text().toStdString();
        ASSERT_TRUE(rig.grows(32000));
        if (unplug) {
            ASSERT_EQ(pulse.run(QStringLiteral("pactl"),
                                {QStringLiteral("unload-module"), index.trimmed()}),
                      0);
            usbMic.reset();
        } else {
            ASSERT_EQ(makeDefault(QStringLiteral("usb")), 0);
        }
        ASSERT_TRUE(log.waitFor(unplug ? roomFormat : usbFormat)) << log.text().toStdString();
        ASSERT_TRUE(rig.grows(32000));
        rig.capture.stop();
        rig.capture.waitForQueue();
        EXPECT_EQ(log.count(QStringLiteral("Audio config changed mid-session, rebuilding engine")),
                  1);
        EXPECT_EQ(log.count(QStringLiteral("Mic silent")), 0);
        EXPECT_TRUE(rig.errors.isEmpty());
        // The first source's tone, then only the second's. (The first ~0.2 s is what waited in
        // the FIFO before anyone recorded: skip past it.)
        const double first = unplug ? 3000 : 1000, then = unplug ? 1000 : 3000;
        const auto s = audiotest::samplesOf(rig.audio());
        ASSERT_GT(s.size(), 16000u);
        EXPECT_NEAR(steadyAmplitude(s, first, 5000, 8000), 0.5, 0.02);
        EXPECT_LT(audiotest::amplitudeAt(s, 16000, then, 5000, 8000), 0.01);
        EXPECT_NEAR(steadyAmplitude(s, then, s.size() - 9000, 8000), 0.5, 0.02);
        EXPECT_LT(audiotest::amplitudeAt(s, 16000, first, s.size() - 9000, 8000), 0.01);
    }
}

// The daemon dies mid-dictation: the capture notices, fails to rebuild without bothering the
// user, stops cleanly, and the next warm-up says there is no input.
TEST(Pulse, DaemonThatDies) {
    Room room(QStringLiteral("crash"));
    PrivatePulse pulse(room.script);
    ASSERT_TRUE(pulse.ok()) << pulse.error().toStdString();
    FifoFeeder mic(room.fifo, 48000, 8);
    LogReader log;
    PulseRig rig;
    rig.start();
    ASSERT_TRUE(rig.grows(16000));
    pulse.crash();
    ASSERT_TRUE(log.waitFor(QStringLiteral("Audio config changed mid-session, rebuilding engine")));
    ASSERT_TRUE(log.waitFor(QStringLiteral("AudioEngine start failed: ")));
    rig.capture.stop();
    rig.capture.waitForQueue();
    harness::drainEvents();
    EXPECT_TRUE(rig.errors.isEmpty()) << "a failed rebuild after a change is not reported";
    rig.capture.warmUp();
    ASSERT_TRUE(log.waitFor(QStringLiteral("Mic warm-up: no input (")));
}

}  // namespace

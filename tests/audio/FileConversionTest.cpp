// Sound files of several kinds → canonical 16 kHz mono 16-bit WAVE, and clear errors for
// files that are not sound or are cut short.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <cmath>
#include <numbers>
#include <random>

#include "AudioTestUtil.h"
#include "platform/select/PlatformSelect.h"
#include "platform/sound/SndfileFileConverter.h"
#include "support/TestEnv.h"

namespace {

QString scratch(const QString& name) {
    const QString dir = testenv::home() + QStringLiteral("/files");
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + name;
}

// A 1 kHz tone in every channel, written by libsndfile in the given container and encoding.
void writeTone(const QString& path, int format, int rate, int channels, double seconds,
               double amp = 0.5) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    const audiotest::SndfilePtr f(sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info));
    ASSERT_TRUE(f) << sf_strerror(nullptr);
    const auto frames = static_cast<long long>(std::llround(rate * seconds));
    std::vector<float> block(static_cast<size_t>(1000 * channels));
    for (long long at = 0; at < frames; at += 1000) {
        const long long n = std::min<long long>(1000, frames - at);
        for (long long i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                block[static_cast<size_t>(i * channels + c)] =
                    static_cast<float>(amp * std::sin(2 * std::numbers::pi * 1000.0 *
                                                      static_cast<double>(at + i) / rate));
        ASSERT_EQ(sf_writef_float(f.get(), block.data(), n), n);
    }
}

struct Wave {
    QByteArray header;
    std::vector<int16_t> samples;
};

// Reads the output back, checking its 44-byte header (16 kHz, mono, 16-bit PCM) on the way.
Wave readCanonical(const QString& path) {
    Wave w;
    const QByteArray all = testenv::readFile(path);
    EXPECT_GE(all.size(), 44);
    if (all.size() < 44) return w;
    w.header = all.left(44);
    const quint32 data = static_cast<quint32>(all.size() - 44);
    // fmt: 16 bytes, PCM, 1 channel, 16000 Hz, 32000 bytes/s, 2-byte frames, 16 bits.
    const QByteArray fmt = QByteArray::fromHex("1000000001000100803e0000007d000002001000");
    QByteArray expected =
        "RIFF" + QByteArray(4, '\0') + "WAVEfmt " + fmt + "data" + QByteArray(4, '\0');
    qToLittleEndian<quint32>(36 + data, expected.data() + 4);
    qToLittleEndian<quint32>(data, expected.data() + 40);
    EXPECT_EQ(w.header.toHex().toStdString(), expected.toHex().toStdString());
    w.samples = audiotest::samplesOf(all.mid(44));
    return w;
}

struct Kind {
    const char* name;
    int format;
    int rate;
    int channels;
    bool exactLength;  // lossy codecs may pad their last packet
};

class FileKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(FileKinds, ConvertsToCanonicalWave) {
    const Kind k = GetParam();
    const QString in = scratch(QStringLiteral("in-") + QString::fromUtf8(k.name));
    const QString out =
        scratch(QStringLiteral("out-") + QString::fromUtf8(k.name) + QStringLiteral(".wav"));
    writeTone(in, k.format, k.rate, k.channels, 2.0);
    auto conv = platform::makeAudioFileConverter();  // the headless factory
    const auto error = conv->convertToPcm16kWav(in, out);
    ASSERT_FALSE(error) << error->toStdString();
    const Wave w = readCanonical(out);
    if (k.exactLength)
        EXPECT_EQ(w.samples.size(), 32000u);
    else
        EXPECT_NEAR(static_cast<double>(w.samples.size()), 32000.0, 160.0);
    ASSERT_GT(w.samples.size(), 30000u);
    EXPECT_NEAR(audiotest::zeroCrossingHz(w.samples, 16000, 4000, 16000), 1000.0, 2.0);
    // Lossy codecs are allowed a little more slack in level.
    EXPECT_NEAR(audiotest::amplitudeAt(w.samples, 16000, 1000, 4000, 16000), 0.5,
                k.exactLength ? 0.005 : 0.03);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, FileKinds,
    ::testing::Values(Kind{"wav44k1stereo16", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, true},
                      Kind{"wav8kfloat", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, 1, true},
                      Kind{"flac48k24", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 1, true},
                      Kind{"ogg22k05stereo", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 22050, 2, false},
                      Kind{"aiff96k", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 96000, 1, true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(FileConversion, EmptySoundGivesJustTheHeader) {
    const QString in = scratch(QStringLiteral("empty.wav"));
    const QString out = scratch(QStringLiteral("empty-out.wav"));
    writeTone(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 0.0);
    ASSERT_FALSE(platform::sound::SndfileFileConverter().convertToPcm16kWav(in, out));
    EXPECT_EQ(testenv::readFile(out), platform::sound::canonicalWavHeader(0));
}

// Nothing usable comes out of these, and whatever was at the output path before stays.
TEST(FileConversion, BadInputIsAClearErrorAndLeavesTheOutputAlone) {
    const QString out = scratch(QStringLiteral("precious.wav"));
    ASSERT_TRUE(testenv::writeFile(out, QByteArray("an earlier result")));

    std::mt19937 rng(11);
    QByteArray garbage(20000, '\0');
    for (char& c : garbage) c = static_cast<char>(rng());
    const QString noise = scratch(QStringLiteral("garbage.wav"));
    ASSERT_TRUE(testenv::writeFile(noise, garbage));

    const QString whole = scratch(QStringLiteral("whole.wav"));
    writeTone(whole, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 1, 1.0);
    const QString headerOnly = scratch(QStringLiteral("cut-in-header.wav"));
    ASSERT_TRUE(testenv::writeFile(headerOnly, testenv::readFile(whole).left(30)));
    const QString textFile = scratch(QStringLiteral("notes.txt"));
    ASSERT_TRUE(testenv::writeFile(textFile, QByteArray("not a sound\n")));

    platform::sound::SndfileFileConverter conv;
    for (const QString& in :
         {noise, headerOnly, textFile, scratch(QStringLiteral("missing.flac")), testenv::home()}) {
        SCOPED_TRACE(in.toStdString());
        const auto error = conv.convertToPcm16kWav(in, out);
        ASSERT_TRUE(error);
        EXPECT_FALSE(error->isEmpty());
        EXPECT_EQ(testenv::readFile(out), QByteArray("an earlier result"));
    }
    // An output folder that does not exist.
    const auto error =
        conv.convertToPcm16kWav(whole, scratch(QStringLiteral("no/such/dir/out.wav")));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->startsWith(QStringLiteral("can't write "))) << error->toStdString();
}

// A recording cut off in the middle of its audio: a WAVE whose header promises more than
// the file holds keeps what is there; a compressed stream cut in a frame is an error.
TEST(FileConversion, CutShortFiles) {
    const QString wav = scratch(QStringLiteral("long.wav"));
    writeTone(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16000, 1, 2.0);
    const QString cutWav = scratch(QStringLiteral("cut.wav"));
    ASSERT_TRUE(testenv::writeFile(cutWav, testenv::readFile(wav).left(44 + 32000)));  // 1 s of 2
    const QString out = scratch(QStringLiteral("cut-out.wav"));
    platform::sound::SndfileFileConverter conv;
    const auto error = conv.convertToPcm16kWav(cutWav, out);
    ASSERT_FALSE(error) << error->toStdString();
    const Wave w = readCanonical(out);
    EXPECT_EQ(w.samples.size(), 16000u);

    const QString flac = scratch(QStringLiteral("long.flac"));
    writeTone(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, 3.0);
    const QByteArray bytes = testenv::readFile(flac);
    const QString cutFlac = scratch(QStringLiteral("cut.flac"));
    ASSERT_TRUE(testenv::writeFile(cutFlac, bytes.left(bytes.size() / 2)));
    const QString flacOut = scratch(QStringLiteral("cut-flac-out.wav"));
    const auto flacResult = conv.convertToPcm16kWav(cutFlac, flacOut);
    ASSERT_TRUE(flacResult) << "a stream cut inside a frame cannot be decoded to the end";
    EXPECT_TRUE(flacResult->contains(QStringLiteral("damaged after"))) << flacResult->toStdString();
    EXPECT_FALSE(QFile::exists(flacOut)) << "a failed conversion leaves no file behind";
}

}  // namespace

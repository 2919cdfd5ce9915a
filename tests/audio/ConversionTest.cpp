// Streaming conversion to 16 kHz mono s16le: pitch, level, exact length over long runs,
// continuity across buffer boundaries, and refusal of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "AudioTestUtil.h"
#include "platform/sound/SoxrResampler.h"

using platform::AudioBuffer;
using platform::AudioFormat;
using platform::SampleType;
using platform::sound::SoxrResampler;

namespace {

// A 1 kHz sine generated block by block in any layout: channel 0 carries the tone at
// `amp`, the other channels carry a 3 kHz tone that must not leak into the output.
class ToneSource {
  public:
    ToneSource(AudioFormat f, double amp) : f_(f), amp_(amp) {}

    AudioBuffer next(int frames) {
        const int ch = f_.channels;
        const size_t bps = static_cast<size_t>(f_.bytesPerSample());
        store_.resize(static_cast<size_t>(frames) * ch * bps);
        planes_.assign(static_cast<size_t>(f_.planeCount()), nullptr);
        for (int p = 0; p < f_.planeCount(); ++p)
            planes_[static_cast<size_t>(p)] = store_.data() + static_cast<size_t>(p) * frames * bps;
        for (int i = 0; i < frames; ++i, ++pos_) {
            for (int c = 0; c < ch; ++c) {
                const double hz = c == 0 ? 1000.0 : 3000.0;
                const double v = amp_ * std::sin(2 * std::numbers::pi * hz *
                                                 static_cast<double>(pos_) / f_.sampleRate);
                const size_t idx = f_.interleaved ? static_cast<size_t>(i) * ch + c
                                                  : static_cast<size_t>(c) * frames + i;
                switch (f_.sampleType) {
                    case SampleType::float32:
                        reinterpret_cast<float*>(store_.data())[idx] = static_cast<float>(v);
                        break;
                    case SampleType::int16:
                        reinterpret_cast<int16_t*>(store_.data())[idx] =
                            static_cast<int16_t>(std::lround(v * 32767));
                        break;
                    case SampleType::int32:
                        reinterpret_cast<int32_t*>(store_.data())[idx] =
                            static_cast<int32_t>(std::llround(v * 2147483647.0));
                        break;
                }
            }
        }
        return AudioBuffer{f_, frames, planes_.data()};
    }

  private:
    AudioFormat f_;
    double amp_;
    long long pos_ = 0;
    std::vector<unsigned char> store_;
    std::vector<const void*> planes_;
};

// Ten minutes in device-sized buffers: the pitch and level are right at the start and the
// end, the stream never drifts by more than the filter's delay, and the total is exact.
TEST(Conversion, TenMinutesKeepPitchLevelAndExactLength) {
    const AudioFormat f{48000, 2, SampleType::float32, true};
    QString error;
    auto rs = SoxrResampler::create(f, SoxrResampler::Channels::first, &error);
    ASSERT_TRUE(rs) << error.toStdString();
    ToneSource src(f, 0.5);
    const long long inFrames = static_cast<long long>(f.sampleRate) * 600;
    long long fed = 0;
    long long produced = 0;
    double worstLag = 0;
    QByteArray head, tail, out;
    while (fed < inFrames) {
        const int n = static_cast<int>(std::min<long long>(1024, inFrames - fed));
        out.clear();
        ASSERT_TRUE(rs->convert(src.next(n), out));
        fed += n;
        produced += out.size() / 2;
        if (head.size() < 32000 * 2) head += out;
        if (fed > inFrames - static_cast<long long>(f.sampleRate) * 2) tail += out;
        const double expected = static_cast<double>(fed) * 16000.0 / f.sampleRate;
        worstLag = std::max(worstLag, std::abs(expected - static_cast<double>(produced)));
    }
    out.clear();
    ASSERT_TRUE(rs->finish(out));
    produced += out.size() / 2;
    EXPECT_EQ(produced, 600LL * 16000);
    EXPECT_LT(worstLag, 16.0 * 30) << "the stream drifted or held back more than 30 ms";

    for (const QByteArray* part : {&head, &tail}) {
        const auto s = audiotest::samplesOf(*part);
        ASSERT_GT(s.size(), 16000u);
        const size_t from = 4000, count = 16000;  // skip the filter's start-up
        EXPECT_NEAR(audiotest::zeroCrossingHz(s, 16000, from, count), 1000.0, 2.0);
        EXPECT_NEAR(audiotest::amplitudeAt(s, 16000, 1000, from, count), 0.5, 0.005);
        EXPECT_LT(audiotest::amplitudeAt(s, 16000, 3000, from, count), 0.002)
            << "channel 1 leaked in";
    }
}

// Every layout and odd rates: a second of input is exactly 16,000 samples out, and the
// right level comes through whether the source was float or integer, planar or interleaved.
TEST(Conversion, OneSecondIsExactInEveryLayout) {
    const AudioFormat formats[] = {
        {8000, 1, SampleType::int16, true},     {11025, 2, SampleType::int16, false},
        {16000, 1, SampleType::float32, false}, {22050, 1, SampleType::int32, true},
        {32000, 4, SampleType::float32, false}, {44100, 2, SampleType::int32, false},
        {88200, 2, SampleType::float32, true},  {96000, 6, SampleType::int16, true},
        {192000, 1, SampleType::float32, true},
    };
    for (const AudioFormat& f : formats) {
        SCOPED_TRACE(testing::Message()
                     << f.sampleRate << " Hz x" << f.channels << " type "
                     << static_cast<int>(f.sampleType) << " interleaved " << f.interleaved);
        auto rs = SoxrResampler::create(f, SoxrResampler::Channels::first);
        ASSERT_TRUE(rs);
        ToneSource src(f, 0.25);
        QByteArray out;
        std::mt19937 rng(7);
        long long fed = 0;
        const auto total = static_cast<long long>(f.sampleRate);
        while (fed < total) {  // uneven buffers, as devices deliver them
            const int n = static_cast<int>(std::min<long long>(1 + rng() % 3000, total - fed));
            ASSERT_TRUE(rs->convert(src.next(n), out));
            fed += n;
        }
        ASSERT_TRUE(rs->finish(out));
        ASSERT_EQ(out.size(), 32000);
        const auto s = audiotest::samplesOf(out);
        EXPECT_NEAR(audiotest::amplitudeAt(s, 16000, 1000, 2000, 12000), 0.25, 0.004);
    }
}

// The stream is one stream: cutting the same input into different buffers gives the same
// samples, bit for bit.
TEST(Conversion, BufferBoundariesLeaveNoTrace) {
    const AudioFormat f{44100, 1, SampleType::float32, true};
    ToneSource src(f, 0.7);
    const AudioBuffer whole = src.next(44100 * 3);
    const float* all = static_cast<const float*>(whole.planes[0]);
    std::vector<float> copy(all, all + whole.frames);

    auto one = SoxrResampler::create(f, SoxrResampler::Channels::first);
    QByteArray a;
    ASSERT_TRUE(one->convert(whole, a));
    ASSERT_TRUE(one->finish(a));

    auto many = SoxrResampler::create(f, SoxrResampler::Channels::first);
    QByteArray b;
    std::mt19937 rng(3);
    for (int at = 0; at < static_cast<int>(copy.size());) {
        const int n = std::min(static_cast<int>(rng() % 700),
                               static_cast<int>(copy.size()) - at);  // 0 included
        const void* planes[1] = {copy.data() + at};
        ASSERT_TRUE(many->convert(AudioBuffer{f, n, planes}, b));
        at += n;
    }
    ASSERT_TRUE(many->finish(b));
    EXPECT_EQ(a.size(), 48000 * 2);
    EXPECT_TRUE(a == b);
}

TEST(Conversion, ClipsInsteadOfWrappingAndKeepsSilenceExact) {
    const AudioFormat f{48000, 1, SampleType::float32, true};
    auto rs = SoxrResampler::create(f, SoxrResampler::Channels::first);
    std::vector<float> in(48000, 0.0f);
    for (size_t i = 24000; i < in.size(); ++i)
        in[i] = (i / 24) % 2 ? 4.0f : -4.0f;  // far past full scale
    const void* planes[1] = {in.data()};
    QByteArray out;
    ASSERT_TRUE(rs->convert(AudioBuffer{f, 48000, planes}, out));
    ASSERT_TRUE(rs->finish(out));
    const auto s = audiotest::samplesOf(out);
    ASSERT_EQ(s.size(), 16000u);
    for (size_t i = 0; i < 7000; ++i) ASSERT_EQ(s[i], 0) << "silence must stay zeros, at " << i;
    int16_t lo = 0, hi = 0;
    for (size_t i = 9000; i < s.size(); ++i) {
        lo = std::min(lo, s[i]);
        hi = std::max(hi, s[i]);
    }
    EXPECT_EQ(hi, 32767);
    EXPECT_EQ(lo, -32768);
}

TEST(Conversion, MixModeAveragesChannels) {
    const AudioFormat f{16000, 2, SampleType::float32, true};
    auto first = SoxrResampler::create(f, SoxrResampler::Channels::first);
    auto mix = SoxrResampler::create(f, SoxrResampler::Channels::mix);
    std::vector<float> in(2 * 16000);
    for (size_t i = 0; i < 16000; ++i) {
        in[2 * i] = 0.5f;
        in[2 * i + 1] = -0.25f;
    }
    const void* planes[1] = {in.data()};
    QByteArray a, b;
    ASSERT_TRUE(first->convert(AudioBuffer{f, 16000, planes}, a));
    ASSERT_TRUE(mix->convert(AudioBuffer{f, 16000, planes}, b));
    const auto sa = audiotest::samplesOf(a), sb = audiotest::samplesOf(b);
    ASSERT_GT(sa.size(), 8000u);
    ASSERT_GT(sb.size(), 8000u);
    EXPECT_NEAR(sa[8000], 16384, 2);
    EXPECT_NEAR(sb[8000], 4096, 2);
}

TEST(Conversion, RefusesWhatItCannotConvert) {
    QString error;
    for (const AudioFormat& f : {AudioFormat{0, 1, SampleType::float32, true},
                                 AudioFormat{48000, 0, SampleType::float32, true},
                                 AudioFormat{-44100, 1, SampleType::int16, true},
                                 AudioFormat{NAN, 1, SampleType::int16, true},
                                 AudioFormat{48000, 1000, SampleType::int16, true}}) {
        error.clear();
        EXPECT_FALSE(SoxrResampler::create(f, SoxrResampler::Channels::first, &error));
        EXPECT_FALSE(error.isEmpty());
    }

    const AudioFormat f{48000, 2, SampleType::float32, true};
    auto rs = SoxrResampler::create(f, SoxrResampler::Channels::first);
    std::vector<float> in(2048, 0.1f);
    const void* planes[1] = {in.data()};
    QByteArray out("kept");
    // A buffer in another format than the converter was made for.
    EXPECT_FALSE(rs->convert(
        AudioBuffer{AudioFormat{44100, 2, SampleType::float32, true}, 1024, planes}, out));
    // No samples behind a non-empty buffer.
    const void* none[1] = {nullptr};
    EXPECT_FALSE(rs->convert(AudioBuffer{f, 1024, none}, out));
    EXPECT_FALSE(rs->convert(AudioBuffer{f, 1024, nullptr}, out));
    EXPECT_EQ(out, QByteArray("kept")) << "a refused buffer leaves the output alone";
    // An empty buffer is fine and adds nothing.
    EXPECT_TRUE(rs->convert(AudioBuffer{f, 0, nullptr}, out));
    EXPECT_EQ(out, QByteArray("kept"));
    // After the end of the stream nothing more goes in.
    EXPECT_TRUE(rs->finish(out));
    EXPECT_FALSE(rs->convert(AudioBuffer{f, 1024, planes}, out));
    EXPECT_FALSE(rs->lastError().isEmpty());
}

}  // namespace

#include "platform/sound/SoxrResampler.h"

#include <soxr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace platform::sound {

namespace {

template <typename T>
float sampleToFloat(T v);
template <>
float sampleToFloat<float>(float v) {
    return v;
}
template <>
float sampleToFloat<int16_t>(int16_t v) {
    return static_cast<float>(v) * (1.0f / 32768.0f);
}
template <>
float sampleToFloat<int32_t>(int32_t v) {
    return static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0));
}

// Channel 0 (or the mean of all channels) of `in` into `dst`.
template <typename T>
void extract(const AudioBuffer& in, bool mix, float* dst) {
    const int ch = in.format.channels;
    const int n = in.frames;
    if (in.format.interleaved) {
        const T* src = static_cast<const T*>(in.planes[0]);
        if (!mix || ch == 1) {
            for (int i = 0; i < n; ++i) dst[i] = sampleToFloat<T>(src[static_cast<size_t>(i) * ch]);
            return;
        }
        const float scale = 1.0f / static_cast<float>(ch);
        for (int i = 0; i < n; ++i) {
            float sum = 0;
            const T* frame = src + static_cast<size_t>(i) * ch;
            for (int c = 0; c < ch; ++c) sum += sampleToFloat<T>(frame[c]);
            dst[i] = sum * scale;
        }
        return;
    }
    const T* first = static_cast<const T*>(in.planes[0]);
    for (int i = 0; i < n; ++i) dst[i] = sampleToFloat<T>(first[i]);
    if (!mix || ch == 1) return;
    for (int c = 1; c < ch; ++c) {
        const T* plane = static_cast<const T*>(in.planes[c]);
        for (int i = 0; i < n; ++i) dst[i] += sampleToFloat<T>(plane[i]);
    }
    const float scale = 1.0f / static_cast<float>(ch);
    for (int i = 0; i < n; ++i) dst[i] *= scale;
}

}  // namespace

std::unique_ptr<SoxrResampler> SoxrResampler::create(const AudioFormat& from, Channels mode,
                                                     QString* error) {
    if (!from.isValid() || !std::isfinite(from.sampleRate) || from.sampleRate < 1000 ||
        from.sampleRate > 768000 || from.channels > 64) {
        if (error)
            *error = QStringLiteral("unsupported input format (%1 Hz, %2 channels)")
                         .arg(from.sampleRate)
                         .arg(from.channels);
        return nullptr;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    soxr_io_spec_t ioSpec = io;
    ioSpec.flags |= SOXR_NO_DITHER;  // silence stays exact zeros; ASR gains nothing from dither
    // Speech needs nothing above ~7 kHz: a passband to 0.85 of Nyquist and a stopband from
    // 1.1 halve the filter (and its delay: ~11 ms on average, ~20 ms at worst, instead of ~21
    // and ~38) at a fraction of the cost; only 8-8.8 kHz can fold back, into 7.2-8 kHz.
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_LINEAR_PHASE);
    quality.passband_end = 0.85;
    quality.stopband_begin = 1.1;
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // never spawn worker threads
    soxr_error_t err = nullptr;
    Soxr s(soxr_create(from.sampleRate, kOutputRate, 1, &err, &ioSpec, &quality, &runtime));
    if (!s || err) {
        if (error)
            *error = QStringLiteral("soxr: ") + QString::fromUtf8(err ? err : "no resampler");
        return nullptr;
    }
    return std::unique_ptr<SoxrResampler>(new SoxrResampler(from, mode, std::move(s)));
}

void SoxrResampler::Deleter::operator()(soxr_t soxr) const {
    soxr_delete(soxr);
}

SoxrResampler::SoxrResampler(const AudioFormat& from, Channels mode, Soxr soxr)
    : from_(from), mode_(mode), soxr_(std::move(soxr)) {}

SoxrResampler::~SoxrResampler() = default;

double SoxrResampler::delaySamples() const {
    return soxr_ ? soxr_delay(soxr_.get()) : 0.0;
}

const float* SoxrResampler::monoOf(const AudioBuffer& in) {
    const AudioFormat& f = in.format;
    if (f.sampleType == SampleType::float32 &&
        (f.channels == 1 || (!f.interleaved && mode_ == Channels::first)))
        return static_cast<const float*>(in.planes[0]);  // already mono float: no copy
    mono_.resize(static_cast<size_t>(in.frames));
    const bool mix = mode_ == Channels::mix;
    switch (f.sampleType) {
        case SampleType::float32:
            extract<float>(in, mix, mono_.data());
            break;
        case SampleType::int16:
            extract<int16_t>(in, mix, mono_.data());
            break;
        case SampleType::int32:
            extract<int32_t>(in, mix, mono_.data());
            break;
    }
    return mono_.data();
}

bool SoxrResampler::convert(const AudioBuffer& in, QByteArray& out) {
    if (finished_) {
        lastError_ = QStringLiteral("converter already finished");
        return false;
    }
    if (!(in.format == from_) || in.frames < 0 || (in.frames > 0 && !in.planes)) {
        lastError_ = QStringLiteral("buffer format does not match the converter");
        return false;
    }
    if (in.frames == 0) return true;
    for (int p = 0; p < from_.planeCount(); ++p)
        if (!in.planes[p]) {
            lastError_ = QStringLiteral("buffer without samples");
            return false;
        }
    return run(monoOf(in), static_cast<size_t>(in.frames), false, out);
}

bool SoxrResampler::finish(QByteArray& out) {
    if (finished_) return true;
    finished_ = true;
    return run(nullptr, 0, true, out);
}

bool SoxrResampler::run(const float* in, size_t frames, bool flush, QByteArray& out) {
    const double ratio = kOutputRate / from_.sampleRate;
    const qsizetype before = out.size();
    size_t left = frames;
    static const float kNothing = 0.0f;
    for (;;) {
        // Room for this call's share plus what the filter may release on top of it; a full
        // output buffer just means another round.
        const size_t room = static_cast<size_t>(std::ceil(static_cast<double>(left) * ratio)) + 256;
        if (outScratch_.size() < room) outScratch_.resize(room);
        size_t used = 0, made = 0;
        // A null input tells soxr the stream ended; an empty non-null one only drains.
        const float* src = flush ? nullptr : (left ? in : &kNothing);
        const soxr_error_t err = soxr_process(soxr_.get(), src, left, &used, outScratch_.data(),
                                              outScratch_.size(), &made);
        if (err) {
            lastError_ = QStringLiteral("soxr: ") + QString::fromUtf8(err);
            out.truncate(before);
            return false;
        }
        if (made) {
            const qsizetype at = out.size();
            out.resize(at + static_cast<qsizetype>(made * 2));
            char* dst = out.data() + at;
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(dst, outScratch_.data(), made * 2);
            } else {
                for (size_t i = 0; i < made; ++i) {
                    const auto v = static_cast<uint16_t>(outScratch_[i]);
                    dst[2 * i] = static_cast<char>(v & 0xff);
                    dst[2 * i + 1] = static_cast<char>(v >> 8);
                }
            }
        }
        if (!flush) {
            in += used;
            left -= used;
        }
        if (made < outScratch_.size() && left == 0) break;
        if (!flush && used == 0 && made == 0) {  // soxr took nothing and gave nothing: stuck
            lastError_ = QStringLiteral("soxr made no progress");
            out.truncate(before);
            return false;
        }
    }
    return true;
}

}  // namespace platform::sound

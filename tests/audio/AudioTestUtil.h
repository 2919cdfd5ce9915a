#pragma once
#include <sndfile.h>

#include <QByteArray>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

// Small signal measurements for the audio tests.
namespace audiotest {

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

inline std::vector<int16_t> samplesOf(const QByteArray& pcm) {
    std::vector<int16_t> s(static_cast<size_t>(pcm.size() / 2));
    std::memcpy(s.data(), pcm.constData(), s.size() * 2);  // the test machines are little-endian
    return s;
}

// Amplitude (in full-scale units, 1.0 = 32768) of the component at `hz`, by correlation
// over a whole number of periods taken from the middle of the signal.
inline double amplitudeAt(const std::vector<int16_t>& s, double rate, double hz, size_t from = 0,
                          size_t count = 0) {
    if (count == 0 || from + count > s.size()) count = s.size() - from;
    const auto periods = static_cast<size_t>(std::floor(static_cast<double>(count) * hz / rate));
    const auto n = static_cast<size_t>(std::llround(static_cast<double>(periods) * rate / hz));
    if (n == 0) return 0;
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
        const double ph = 2 * std::numbers::pi * hz * static_cast<double>(i) / rate;
        const double v = s[from + i] / 32768.0;
        re += v * std::cos(ph);
        im += v * std::sin(ph);
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(n);
}

inline double rms(const std::vector<int16_t>& s, size_t from = 0, size_t count = 0) {
    if (count == 0 || from + count > s.size()) count = s.size() - from;
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += (s[i] / 32768.0) * (s[i] / 32768.0);
    return count ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

// Sign changes per second over a stretch: twice the frequency of a clean tone.
inline double zeroCrossingHz(const std::vector<int16_t>& s, double rate, size_t from,
                             size_t count) {
    int crossings = 0;
    for (size_t i = from + 1; i < from + count; ++i)
        if ((s[i - 1] < 0) != (s[i] < 0)) ++crossings;
    return crossings / 2.0 / (static_cast<double>(count) / rate);
}

}  // namespace audiotest

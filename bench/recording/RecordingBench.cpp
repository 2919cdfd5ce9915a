// The recordings archive's encoding cost: CPU time to encode a second of dictation audio
// (16 kHz mono 16-bit, in 100 ms chunks) to AAC, as a share of one core.
#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <cmath>
#include <numbers>
#include <vector>

#include "platform/AudioFileWriter.h"
#include "platform/sound/FfmpegAudioFiles.h"

namespace {

// Reported as "core%": CPU time per second of audio, in percent of one core.
void reportCorePercent(benchmark::State& state) {
    state.counters["core%"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / 100.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A second of speech-like sound: a few partials with a slow swell, and a little noise.
std::vector<qint16> oneSecond() {
    std::vector<qint16> s(16000);
    unsigned noise = 1;
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / 16000;
        const double swell = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t);
        double v = 0;
        for (double f : {180.0, 360.0, 720.0, 1450.0}) v += std::sin(2 * std::numbers::pi * f * t);
        noise = noise * 1103515245u + 12345u;
        s[i] = static_cast<qint16>(2500 * swell * v + static_cast<int>(noise >> 20) % 400 - 200);
    }
    return s;
}

void BM_EncodeOneSecond(benchmark::State& state) {
    QTemporaryDir dir;
    const auto files = platform::sound::makeAudioFiles();
    QString error;
    auto writer =
        files->createAac(dir.filePath(QStringLiteral("bench.aac")), 16000, 1, 32000, &error);
    if (!writer) {
        state.SkipWithError(error.toUtf8().constData());
        return;
    }
    const std::vector<qint16> second = oneSecond();
    for (auto _ : state) {
        for (size_t at = 0; at < second.size(); at += 1600)
            if (auto problem = writer->write(second.data() + at, 1600)) {
                state.SkipWithError(problem->toUtf8().constData());
                return;
            }
    }
    writer->close();
    reportCorePercent(state);
}
BENCHMARK(BM_EncodeOneSecond);

}  // namespace

BENCHMARK_MAIN();

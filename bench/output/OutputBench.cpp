// Output muting's latency on a private PulseAudio daemon whose null sink plays a sine: how
// long the talk key waits for muteIfPlaying (the server's answers and the on-disk record
// included), and for restore.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <chrono>

#include "core/Log.h"
#include "core/SystemAudio.h"
#include "harness/PrivatePulse.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/PulseAudioOutput.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_MuteThenRestore(benchmark::State& state, bool mute) {
    for (auto _ : state) {
        const auto a = Clock::now();
        SystemAudio::muteIfPlaying();
        const auto b = Clock::now();
        SystemAudio::restore();
        const auto c = Clock::now();
        state.SetIterationTime(seconds(mute ? b - a : c - b));
    }
}
BENCHMARK_CAPTURE(BM_MuteThenRestore, mute, true)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MuteThenRestore, restore, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The record of a muted output goes to a data folder of the run's own.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    QCoreApplication app(argc, argv);
    Log::setMirrorToStderr(false);
    PrivatePulse pulse({QStringLiteral("load-module module-null-sink sink_name=speakers"),
                        QStringLiteral("set-default-sink speakers"),
                        QStringLiteral("load-module module-sine sink=speakers frequency=440")});
    if (!pulse.ok()) {
        std::fprintf(stderr, "no PulseAudio: %s\n", qPrintable(pulse.error()));
        return 1;
    }
    auto p = platform::fake::createFakePlatform();
    p->audioOutput = std::make_unique<platform::x11::PulseAudioOutput>();
    platform::Platform::install(std::move(p));
    // The sine must be flowing before anything counts as playing.
    auto& out = *platform::Platform::current().audioOutput;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
        const auto d = out.defaultDevice();
        if (d && out.isPlaying(*d).value_or(false)) break;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The recogniser client's costs: `send` on the audio thread and the time from
// `finish` to the transcript, against velmora-server's scripted engine on loopback.
//
// The Qt event loop (the client's socket thread) runs on the main thread; the
// benchmarks run on a second thread that plays the audio engine.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QNetworkRequest>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "AsrEndpoint.h"
#include "HttpServer.h"
#include "ScriptedEngine.h"
#include "core/Log.h"
#include "core/QwenASR.h"

namespace {

using Clock = std::chrono::steady_clock;
uint16_t gPort = 0;

QwenASR::RequestProvider request() {
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/asr").arg(gPort));
    return [url] {
        QNetworkRequest r(url);
        r.setRawHeader("Authorization", "Bearer bench-token");
        return r;
    };
}

// A client whose task has started (the script's first partial says so).
std::shared_ptr<QwenASR> startedClient(std::atomic<bool>& ready) {
    auto asr = QwenASR::create({}, 400, QwenASR::Timing{}, request());
    asr->onPartial = [&ready](const QString& t) {
        if (t == QLatin1String("ready")) ready = true;
    };
    asr->connect();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!ready && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return asr;
}

void report(benchmark::State& state, std::vector<double> ns, const char* unit) {
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    const double scale = std::string(unit) == "us" ? 1e-3 : 1e-6;
    state.counters[std::string("median_") + unit] = ns[ns.size() / 2] * scale;
    state.counters[std::string("p99_") + unit] = ns[ns.size() * 99 / 100] * scale;
    state.counters[std::string("max_") + unit] = ns.back() * scale;
}

// One 20 ms chunk handed over while the task runs and frames flow to the server.
void BM_SendWhileStreaming(benchmark::State& state) {
    std::atomic<bool> ready{false};
    auto asr = startedClient(ready);
    if (!ready) return state.SkipWithError("the task did not start");
    const QByteArray chunk(640, '\x11');
    std::vector<double> ns;
    ns.reserve(size_t(state.max_iterations));
    for (auto _ : state) {
        const auto t0 = Clock::now();
        asr->send(chunk);
        const auto t1 = Clock::now();
        const double d =
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
        ns.push_back(d);
        state.SetIterationTime(d * 1e-9);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // 20 times real time
    }
    report(state, std::move(ns), "us");
    asr->cancel();
}
BENCHMARK(BM_SendWhileStreaming)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);

// The same before the task has started: the chunk is only kept.
void BM_SendBeforeTheTaskStarted(benchmark::State& state) {
    auto asr = QwenASR::create({}, 400, QwenASR::Timing{}, request());
    const QByteArray chunk(640, '\x11');
    std::vector<double> ns;
    ns.reserve(size_t(state.max_iterations));
    for (auto _ : state) {
        const auto t0 = Clock::now();
        asr->send(chunk);
        const double d =
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
        ns.push_back(d);
        state.SetIterationTime(d * 1e-9);
    }
    report(state, std::move(ns), "us");
    asr->cancel();
}
BENCHMARK(BM_SendBeforeTheTaskStarted)
    ->UseManualTime()
    ->Iterations(20000)
    ->Unit(benchmark::kMicrosecond);

// From `finish` (which sends "finish-task") to the transcript's arrival on the main thread.
void BM_FinishToTranscript(benchmark::State& state) {
    std::vector<double> ns;
    const QByteArray audio(3200, '\x11');
    for (auto _ : state) {
        std::atomic<bool> ready{false};
        auto asr = startedClient(ready);
        if (!ready) return state.SkipWithError("the task did not start");
        asr->send(audio);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::atomic<int64_t> doneAt{0};
        const auto t0 = Clock::now();
        asr->finish(
            2.0, [&doneAt](const QString&) { doneAt = Clock::now().time_since_epoch().count(); });
        while (!doneAt) std::this_thread::sleep_for(std::chrono::microseconds(50));
        const double d = double(doneAt.load() - t0.time_since_epoch().count());
        ns.push_back(d);
        state.SetIterationTime(d * 1e-9);
    }
    report(state, std::move(ns), "ms");
}
BENCHMARK(BM_FinishToTranscript)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Keep the benchmark's log out of the developer's.
    QTemporaryDir home;
    setenv("XDG_STATE_HOME", home.path().toUtf8().constData(), 1);
    Log::setMirrorToStderr(false);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    vserver::ServerOptions o;
    o.address = "127.0.0.1";
    o.port = 0;
    o.token = "bench-token";
    vserver::HttpServer server(o);
    std::string error;
    auto script = vserver::ScriptedEngine::parse(
        R"({"connections":[{"steps":[{"at_ms":0,"partial":"ready"},{"at_finish":true,"final":"done."}]}]})",
        error);
    vserver::registerAsr(server,
                         std::make_shared<vserver::ScriptedEngine>(server.workers(), *script));
    if (!server.start()) return 1;
    gPort = server.port();
    std::thread net([&] { server.run(); });

    std::thread bench([&] {
        benchmark::RunSpecifiedBenchmarks();
        QMetaObject::invokeMethod(
            &app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    bench.join();
    server.stop();
    net.join();
    benchmark::Shutdown();
    return 0;
}

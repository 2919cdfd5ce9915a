// velmora-server's recogniser capacity on this machine:
// - concurrent real-time sessions the "asr" endpoint holds with the scripted
//   engine (each session streams 20 ms frames at real time, results must come
//   back promptly), all on loopback, bounded in count and time;
// - the pocketsphinx engine's real-time factor for one session on one worker.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <deque>
#include <nlohmann/json.hpp>
#include <thread>

#include "AsrEndpoint.h"
#include "AsrProtocol.h"
#include "HttpServer.h"
#include "PacedAsrSession.h"
#include "PocketsphinxEngine.h"
#include "ScriptedEngine.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using bench::Clock;
using bench::ms;
using bench::percentile;
using json = nlohmann::json;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// N sessions streaming 6 s of audio each at real time, started over one second.
void BM_ScriptedSessionsAtRealTime(benchmark::State& state) {
    const int sessions = int(state.range(0));
    constexpr int kSeconds = 6;
    std::string steps;
    for (int s = 1; s <= kSeconds; ++s)
        steps += R"({"at_ms":)" + std::to_string(s * 1000) + R"(,"final":"second )" +
                 std::to_string(s) + R"(.","end_ms":)" + std::to_string(s * 1000) + "},";
    steps += R"({"at_finish":true,"final":"end."})";
    std::string error;
    auto script =
        vserver::ScriptedEngine::parse(R"({"connections":[{"steps":[)" + steps + "]}]}", error);

    for (auto _ : state) {
        vserver::ServerOptions o;
        o.port = 0;
        o.token = "bench";
        o.ioThreads = 2;
        o.workerThreads = 2;
        vserver::HttpServer server(o);
        vserver::registerAsr(server,
                             std::make_shared<vserver::ScriptedEngine>(server.workers(), *script));
        server.start();
        std::thread net([&] { server.run(); });

        // Any bytes do for the scripted engine: 0x05 frames, kSeconds of them.
        const QByteArray pcm(kSeconds * 50 * 640, '\x05');
        bench::AsrStats stats;
        asio::io_context io;
        std::vector<std::shared_ptr<bench::PacedAsrSession>> load;
        asio::steady_timer stagger(io);
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        for (int i = 0; i < sessions; ++i) {
            auto s = std::make_shared<bench::PacedAsrSession>(io, stats, pcm);
            load.push_back(s);
            auto t = std::make_shared<asio::steady_timer>(
                io, t0 + std::chrono::microseconds(1000000LL * i / sessions));
            t->async_wait([s, t, i, port = server.port()](beast::error_code) {
                s->start(port, "LOAD" + std::to_string(i));
            });
        }
        io.run_for(std::chrono::seconds(kSeconds + 10));  // bounded in time
        const double wall = ms(Clock::now() - t0) / 1000;
        const double cpu = cpuSeconds() - cpu0;
        server.stop();
        net.join();

        const double p99 = percentile(stats.lateness, 0.99);
        state.counters["sessions"] = sessions;
        state.counters["finished"] = stats.finished;
        state.counters["failed"] = stats.failed;
        state.counters["result_p50_ms"] = percentile(stats.lateness, 0.5);
        state.counters["result_p99_ms"] = p99;
        state.counters["finish_p99_ms"] = percentile(stats.tail, 0.99);
        state.counters["cpu_cores_used"] = cpu / wall;
        // Held: every session completed, and results came back within 250 ms of their audio.
        state.counters["held"] =
            stats.finished == sessions && stats.failed == 0 && p99 >= 0 && p99 < 250;
    }
}
BENCHMARK(BM_ScriptedSessionsAtRealTime)
    ->Arg(100)
    ->Arg(200)
    ->Arg(300)
    ->Arg(400)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// ---------- pocketsphinx ----------

struct Waiter : vserver::RecognitionListener {
    std::mutex m;
    std::condition_variable cv;
    bool isReady = false, isDone = false;
    std::string text;
    void ready() override {
        std::lock_guard l(m);
        isReady = true;
        cv.notify_all();
    }
    void sentence(const vserver::Sentence& s) override {
        std::lock_guard l(m);
        if (s.end) text += (text.empty() ? "" : " ") + s.text;
    }
    void finished() override {
        std::lock_guard l(m);
        isDone = true;
        cv.notify_all();
    }
    void failed(const std::string&, const std::string&) override { finished(); }
    bool wait(bool Waiter::*flag, int seconds) {
        std::unique_lock l(m);
        return cv.wait_for(l, std::chrono::seconds(seconds), [&] { return this->*flag; });
    }
};

QByteArray spokenPcm() {
    static QByteArray pcm;
    if (!pcm.isEmpty()) return pcm;
    QTemporaryDir dir;
    const QString file = dir.filePath("speech.wav");
    const QString text = QStringLiteral(
        "Good morning everyone. Today we will review the budget for the next quarter. "
        "Please send your notes to the team before Friday. The meeting will start at ten o'clock "
        "and should be over by noon. Thank you all for your hard work this year.");
    if (QProcess::execute("flite", {"-voice", "slt", "-t", text, "-o", file}) != 0) return {};
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray wav = f.readAll();
    const qsizetype data = wav.indexOf("data");  // flite writes a plain 16 kHz mono header
    if (data < 0) return {};
    pcm = wav.mid(data + 8);
    return pcm;
}

// One session's audio through one decoder on one worker thread.
void BM_PocketsphinxRealTimeFactor(benchmark::State& state) {
    const QByteArray pcm = spokenPcm();
    if (pcm.isEmpty()) return state.SkipWithError("flite could not speak");
    asio::thread_pool pool(1);
    vserver::PocketsphinxEngine::Options po;
    po.decoders = 1;
    vserver::PocketsphinxEngine engine(pool, po);
    {
        auto warm = std::make_shared<Waiter>();
        auto task = engine.start({"WARM", 16000, 400, {}, "bench"}, warm);
        if (!warm->wait(&Waiter::isReady, 60)) return state.SkipWithError("no decoder");
        task->cancel();
    }
    const double seconds = double(pcm.size()) / 32000.0;
    std::vector<double> rtf;
    std::string heard;
    for (auto _ : state) {
        auto w = std::make_shared<Waiter>();
        auto task = engine.start({"RTF", 16000, 400, {}, "bench"}, w);
        w->wait(&Waiter::isReady, 60);
        const auto t0 = Clock::now();
        for (qsizetype off = 0; off < pcm.size(); off += 3200)
            task->feed(pcm.mid(off, 3200).toStdString());
        task->finish();
        w->wait(&Waiter::isDone, 120);
        const double r = ms(Clock::now() - t0) / 1000 / seconds;
        rtf.push_back(r);
        state.SetIterationTime(ms(Clock::now() - t0) / 1000);
        heard = w->text;
    }
    state.counters["audio_s"] = seconds;
    state.counters["rtf_median"] = percentile(rtf, 0.5);
    state.SetLabel(heard.substr(0, 60));
    pool.join();
}
BENCHMARK(BM_PocketsphinxRealTimeFactor)->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

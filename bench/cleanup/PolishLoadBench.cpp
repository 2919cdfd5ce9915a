// Throughput of "polish" answered by the rules, over keep-alive connections on
// loopback (target: at least 2,000 requests/s with the server on 2 cores; with per-user
// accounts on, no worse than 80 % of the developer token's figure; with
// VELMORA_BENCH_DATABASE_URL set, the users live in that PostgreSQL database). The load
// generator is ours: one thread, a fixed number of connections, a fixed time, and it
// stops by itself. The server's access log goes to stderr; run with 2>/dev/null.
#include <benchmark/benchmark.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include "Accounts.h"
#include "CleanupEndpoints.h"
#include "HttpServer.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Totals {
    long ok = 0, failed = 0;
    Clock::time_point last = Clock::now();  // when the last answer arrived
};

// One keep-alive connection sending "polish" requests back to back until the deadline.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::io_context& io, uint16_t port, Clock::time_point deadline, long cap,
               Totals& totals, const std::string& bearer)
        : stream_(io), port_(port), deadline_(deadline), cap_(cap), totals_(totals) {
        req_ = {http::verb::post, "/polish", 11};
        req_.set(http::field::host, "127.0.0.1");
        req_.set(http::field::authorization, "Bearer " + bearer);
        req_.set(http::field::content_type, "application/json");
        req_.keep_alive(true);
        req_.body() =
            R"({"text":"um so I I think we should uh ship the new build on tuesday, sorry, wednesday and tell the team","style":"chat","tesk":false})";
        req_.prepare_payload();
    }

    void start() {
        auto self = shared_from_this();
        stream_.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_),
                              [self](beast::error_code ec) {
                                  if (ec) return self->fail();
                                  self->send();
                              });
    }

  private:
    void send() {
        if (Clock::now() >= deadline_ || totals_.ok + totals_.failed >= cap_) return close();
        auto self = shared_from_this();
        stream_.expires_after(std::chrono::seconds(5));
        http::async_write(stream_, req_, [self](beast::error_code ec, std::size_t) {
            if (ec) return self->fail();
            self->res_ = {};
            http::async_read(self->stream_, self->buffer_, self->res_,
                             [self](beast::error_code ec2, std::size_t) {
                                 if (ec2) return self->fail();
                                 if (self->res_.result_int() == 200)
                                     ++self->totals_.ok;
                                 else
                                     ++self->totals_.failed;
                                 self->totals_.last = Clock::now();
                                 self->send();
                             });
        });
    }
    void fail() {
        ++totals_.failed;
        close();
    }
    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
    }

    beast::tcp_stream stream_;
    uint16_t port_;
    Clock::time_point deadline_;
    long cap_;
    Totals& totals_;
    http::request<http::string_body> req_;
    http::response<http::string_body> res_;
    beast::flat_buffer buffer_;
};

// range(1): 1 with accounts on (a user's access token, usage and rate checks), 0 with the
// developer token only.
void BM_PolishThroughput(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const bool accounts = state.range(1) != 0;
    const auto duration = std::chrono::seconds(3);
    constexpr long cap = 100000;  // never more than this many requests, whatever the speed

    char dirTemplate[] = "/tmp/velmora-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    vserver::ServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    options.token = "bench";
    options.ioThreads = 2;
    options.workerThreads = 2;
    vserver::HttpServer server(options);
    vserver::CleanupOptions cleanup;
    cleanup.dataDir = dir ? dir : "/tmp/velmora-bench";
    vserver::registerCleanup(server, cleanup);
    std::string bearer = "bench";
    if (accounts) {
        vserver::AccountOptions a;
        a.dataDir = cleanup.dataDir;
        a.jwtSecret = "bench-secret-bench-secret-bench-secret-00";
        a.devToken = "bench";
        a.burst = 1e9;
        a.requestsPerSecond = 1e9;
        if (const char* url = std::getenv("VELMORA_BENCH_DATABASE_URL")) a.databaseUrl = url;
        const auto service = vserver::registerAccounts(server, a);
        vserver::User u{"bench-user", "bench", "", "active", "pro", std::nullopt, 0, 0, 0, ""};
        vserver::userStore(*service).add(u);
        bearer = vserver::issueAccessToken(*service, u, "bench");
    }
    if (!server.start()) {
        state.SkipWithError("server did not start");
        return;
    }
    std::thread serverThread([&] { server.run(); });

    Totals totals;
    double seconds = 0;
    // The server's CPU per request: the process's CPU time less this (the load) thread's.
    // Unlike requests a second, it holds still when other programs share the cores.
    auto cpuSeconds = [](clockid_t clock) {
        timespec ts{};
        clock_gettime(clock, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    double serverCpu = 0;
    for (auto _ : state) {
        asio::io_context io;
        const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID),
                     thread0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto start = Clock::now();
        for (int i = 0; i < connections; ++i)
            std::make_shared<Connection>(io, server.port(), start + duration, cap, totals, bearer)
                ->start();
        // Stops by itself: each connection ends at the deadline, and the run is cut off after it.
        io.run_for(duration + std::chrono::seconds(5));
        seconds = std::chrono::duration<double>(totals.last - start).count();
        serverCpu = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0) -
                    (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread0);
    }
    server.stop();
    serverThread.join();
    state.counters["requests_per_s"] = static_cast<double>(totals.ok) / seconds;
    state.counters["requests"] = static_cast<double>(totals.ok);
    state.counters["failed"] = static_cast<double>(totals.failed);
    state.counters["server_cpu_us_per_request"] =
        totals.ok ? serverCpu * 1e6 / static_cast<double>(totals.ok) : 0;
}

}  // namespace

BENCHMARK(BM_PolishThroughput)
    ->Args({8, 0})
    ->Args({32, 0})
    ->Args({8, 1})
    ->Args({32, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

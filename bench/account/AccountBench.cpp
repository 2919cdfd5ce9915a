// Accounts on the server: checking an access token (target under 20 µs), and "me" and a
// token refresh over a keep-alive loopback connection with SQLite (targets under 2 ms
// median). With VELMORA_BENCH_DATABASE_URL set, the users live in that PostgreSQL database
// instead. Run with 2>/dev/null: the server's access log goes to stderr.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cstdlib>
#include <ctime>
#include <thread>

#include "Accounts.h"
#include "HttpServer.h"
#include "JsonFields.h"
#include "Jwt.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

const std::string kSecret = "bench-secret-bench-secret-bench-secret-00";

void BM_JwtVerify(benchmark::State& state) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const std::string token = vserver::jwt::sign({{"sub", "5f1c7d1e-7f1e-4c1a-9d55-0b1f5a3c2e11"},
                                                  {"aud", "authenticated"},
                                                  {"exp", now + 3600},
                                                  {"email", "ann@example.org"},
                                                  {"user_metadata", {{"full_name", "Ann"}}}},
                                                 kSecret);
    for (auto _ : state) {
        auto v = vserver::jwt::verify(token, kSecret, "authenticated", now);
        if (!v.ok()) state.SkipWithError("token refused");
        benchmark::DoNotOptimize(v);
    }
}

// A server with accounts and the local sign-in, one user, and one keep-alive client.
class Loopback {
  public:
    Loopback() : server_(options()) {
        char dirTemplate[] = "/tmp/velmora-bench-XXXXXX";
        const char* dir = mkdtemp(dirTemplate);
        vserver::AccountOptions a;
        a.dataDir = dir ? dir : "/tmp/velmora-bench";
        a.jwtSecret = kSecret;
        a.localSignIn = true;
        if (const char* url = std::getenv("VELMORA_BENCH_DATABASE_URL")) a.databaseUrl = url;
        service_ = vserver::registerAccounts(server_, a);
        user_ = {"bench-user", "ann", "", "active", "pro", std::nullopt, 100000, 0, 0, ""};
        vserver::userStore(*service_).add(user_);
        ok_ = server_.start();
        thread_ = std::thread([this] { server_.run(); });
        stream_.connect({asio::ip::make_address("127.0.0.1"), server_.port()});
    }
    ~Loopback() {
        server_.stop();
        thread_.join();
    }
    bool ok() const { return ok_; }
    std::string token() { return vserver::issueAccessToken(*service_, user_, "bench"); }
    // A refresh token of a fresh sign-in.
    std::string refreshToken() {
        // Unique per run: a shared database keeps the tokens of runs before.
        static int runs = 0;
        const std::string nonce = std::to_string(std::time(nullptr)) + "-" +
                                  std::to_string(getpid()) + "-" + std::to_string(++runs);
        const std::string family = "bench-family-" + nonce;
        const std::string secret = "bench-refresh-" + nonce;
        vserver::userStore(*service_).putRefresh(
            [&] {
                std::string hex;
                for (unsigned char c : vserver::jwt::sha256(secret)) {
                    static const char* d = "0123456789abcdef";
                    hex += d[c >> 4];
                    hex += d[c & 15];
                }
                return hex;
            }(),
            family, user_.id, static_cast<int64_t>(std::time(nullptr)) + 3600);
        return secret;
    }

    http::response<http::string_body> send(http::verb verb, const std::string& target,
                                           const std::string& bearer, const std::string& body) {
        http::request<http::string_body> req{verb, target, 11};
        req.set(http::field::host, "127.0.0.1");
        if (!bearer.empty()) req.set(http::field::authorization, "Bearer " + bearer);
        req.keep_alive(true);
        req.body() = body;
        req.prepare_payload();
        http::write(stream_, req);
        http::response<http::string_body> res;
        http::read(stream_, buffer_, res);
        return res;
    }

  private:
    static vserver::ServerOptions options() {
        vserver::ServerOptions o;
        o.port = 0;
        o.token = "bench";
        return o;
    }
    vserver::HttpServer server_;
    std::shared_ptr<vserver::AccountService> service_;
    vserver::User user_;
    bool ok_ = false;
    std::thread thread_;
    asio::io_context io_;
    beast::tcp_stream stream_{io_};
    beast::flat_buffer buffer_;
};

void BM_MeLoopback(benchmark::State& state) {
    Loopback l;
    if (!l.ok()) return state.SkipWithError("server did not start");
    const std::string token = l.token();
    for (auto _ : state)
        if (l.send(http::verb::get, "/me", token, {}).result_int() != 200)
            return state.SkipWithError("me failed");
}

void BM_RefreshLoopback(benchmark::State& state) {
    Loopback l;
    if (!l.ok()) return state.SkipWithError("server did not start");
    std::string refresh = l.refreshToken();
    for (auto _ : state) {
        const auto res = l.send(http::verb::post, "/auth/v1/token?grant_type=refresh_token", {},
                                R"({"refresh_token":")" + refresh + "\"}");
        const auto j = vserver::jsonfields::parse(res.body());
        const auto next = vserver::jsonfields::stringMember(j, "refresh_token");
        if (res.result_int() != 200 || !next) return state.SkipWithError("refresh failed");
        refresh = *next;  // rotated: each one is good once
    }
}

}  // namespace

BENCHMARK(BM_JwtVerify)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_MeLoopback)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_RefreshLoopback)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

BENCHMARK_MAIN();

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <sys/stat.h>

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "Endpoints.h"
#include "PrivateDir.h"
#include "ServerLog.h"
#include "ServerMain.h"
#include "ServerTestUtil.h"
#include "Sqlite.h"
#include "harness/Wait.h"

namespace {

using servertest::request;
using servertest::RunningServer;

TEST(HttpServer, PingAndAuthorisation) {
    RunningServer s;
    vserver::registerPing(s.server());
    s.start();
    EXPECT_EQ(request(s.port(), "GET", "/ping").status, 200);
    EXPECT_EQ(request(s.port(), "GET", "/ping?x=1").status, 200);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {}).status, 401);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {{"Authorization", "Bearer wrong"}}).status,
              401);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {{"Authorization", "Bearer test-token-longer"}})
                  .status,
              401);
    EXPECT_EQ(request(s.port(), "GET", "/ping", {}, {{"Authorization", "Basic test-token"}}).status,
              401);
    EXPECT_EQ(request(s.port(), "GET", "/nothing").status, 404);
    EXPECT_EQ(request(s.port(), "POST", "/ping", "{}").status, 405);
}

TEST(HttpServer, OversizeBodyAnswers413AndServerLivesOn) {
    auto opts = RunningServer::defaults();
    opts.bodyLimit = 1024;
    RunningServer s(opts);
    s.server().route(
        vserver::http::verb::post, "echo",
        [](const vserver::Request& r, const vserver::Caller&, vserver::Responder respond) {
            respond(vserver::HttpServer::text(200, r.body()));
        });
    s.start();
    EXPECT_EQ(request(s.port(), "POST", "/echo", std::string(4096, 'x')).status, 413);
    const auto ok = request(s.port(), "POST", "/echo", "small");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "small");
}

TEST(HttpServer, GarbageOnTheWireDoesNotHurtOthers) {
    RunningServer s;
    vserver::registerPing(s.server());
    s.start();
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::socket sock(io);
    sock.connect({asio::ip::make_address("127.0.0.1"), s.port()});
    const std::string junk = "\x16\x03\x01 NOT HTTP AT ALL\r\n\r\n";
    asio::write(sock, asio::buffer(junk));
    EXPECT_EQ(request(s.port(), "GET", "/ping").status, 200);
}

// Each refused with a reason, whatever else is right.
TEST(ServerArgs, BadCommandLinesAreRefused) {
    EXPECT_EQ(vserver::parseArgs({"s", "--listen", "[::1]:1"}).options.address, "::1");
    const std::string dir = ::testing::TempDir();
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"s", "--listen", "nohost"},
             {"s", "--listen", "h:70000"},
             {"s", "--cert", "a.pem"},
             {"s", "--token"},
             {"s", "--bogus"},
             {"s", "--asr-transcribe-timeout", "0"},
             {"s", "--asr-transcribe-timeout", "601"},
             {"s", "--asr-transcribe-partials", "yes"},
             {"s", "--asr-transcribe-url"},
             {"s", "--asr-engine", "whisper"},
             {"s", "--asr-decoders", "0"},
             {"s", "--asr-script"},
             {"s", "--asr-bogus", "1"},
             {"s", "--llm-url", "https://h/x"},
             {"s", "--llm-model", "m"},
             {"s", "--llm-url", "https://h/x", "--llm-model", "m", "--llm-timeout", "0"},
             {"s", "--asr-upstream-key-file", dir + "/none"},
             {"s", "--max-connections", "0"},
             {"s", "--drain-seconds", "-1"},
             {"s", "--access-log", "some"},
             {"s", "--timing-retention-days", "-1"},
             {"s", "--config"},
         })
        EXPECT_FALSE(vserver::parseArgs(bad).error.empty()) << bad[1];
}

}  // namespace

namespace {

namespace asio = boost::asio;

// One request written as raw bytes on a new connection; everything the server sent back
// until it closed (or `until` appeared, when given).
std::string rawExchange(uint16_t port, const std::string& bytes, const std::string& until = {}) {
    asio::io_context io;
    asio::ip::tcp::socket sock(io);
    sock.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(sock, asio::buffer(bytes));
    std::string got;
    char buf[4096];
    boost::system::error_code ec;
    while (!ec && (until.empty() || got.find(until) == std::string::npos)) {
        const size_t n = sock.read_some(asio::buffer(buf), ec);
        got.append(buf, n);
    }
    return got;
}

void echoRoute(vserver::HttpServer& server) {
    server.route(vserver::http::verb::post, "echo",
                 [](const vserver::Request& r, const vserver::Caller&, vserver::Responder respond) {
                     respond(vserver::HttpServer::text(200, r.body()));
                 });
}

TEST(HttpServer, ProtocolCorners) {
    RunningServer s;
    vserver::registerPing(s.server());
    std::atomic<bool> ready{false};
    vserver::registerHealth(s.server(), [&ready] { return ready.load(); });
    echoRoute(s.server());
    s.server().websocket("echo", [](std::shared_ptr<vserver::WsConnection>, const vserver::Request&,
                                    const vserver::Caller&) {});
    s.start();
    const std::string close = "Host: x\r\nConnection: close\r\n";
    const std::string upgrade =
        "Host: x\r\nConnection: Upgrade, close\r\nUpgrade: websocket\r\nSec-WebSocket-Version: "
        "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    struct Case {
        std::string request, wantStart, wantInside, wantNot;
    };
    const std::vector<Case> cases = {
        {"GET /ping HTTP/1.1\r\n" + close + "Authorization: bearer test-token\r\n\r\n",
         "HTTP/1.1 200", "pong", ""},
        {"GET /ping HTTP/1.1\r\n" + close + "Authorization: BEARER  test-token\r\n\r\n",
         "HTTP/1.1 200", "pong", ""},
        {"GET /ping HTTP/1.1\r\n" + close + "Authorization: Bearertest-token\r\n\r\n",
         "HTTP/1.1 401", "", ""},
        // HEAD: the GET's headers, its length, no body.
        {"HEAD /ping HTTP/1.1\r\n" + close + "Authorization: Bearer test-token\r\n\r\n",
         "HTTP/1.1 200", "Content-Length: 5", "pong"},
        {"POST /echo HTTP/1.1\r\n" + close +
             "Authorization: Bearer test-token\r\nContent-Length: 4\r\n\r\nbodyEXTRA",
         "HTTP/1.1 400", "after the request body", ""},
        {"GET /health HTTP/1.1\r\n" + close + "\r\n", "HTTP/1.1 200", "\"ready\":false", ""},
        {"GET /ready HTTP/1.1\r\n" + close + "\r\n", "HTTP/1.1 503", "", ""},
        {"GET /metrics HTTP/1.1\r\n" + close + "\r\n", "HTTP/1.1 401", "", ""},
        // A refused upgrade is a plain HTTP status the client can read.
        {"GET /echo HTTP/1.1\r\n" + upgrade + "\r\n", "HTTP/1.1 401", "", ""},
        {"GET /echo HTTP/1.1\r\n" + upgrade + "Authorization: Bearer nope\r\n\r\n", "HTTP/1.1 401",
         "", ""},
        {"GET /nope HTTP/1.1\r\n" + upgrade + "Authorization: Bearer test-token\r\n\r\n",
         "HTTP/1.1 404", "", ""},
    };
    for (const auto& c : cases) {
        const std::string got = rawExchange(s.port(), c.request);
        EXPECT_EQ(got.rfind(c.wantStart, 0), 0u) << c.request << "\n---\n" << got;
        if (!c.wantInside.empty()) {
            EXPECT_NE(got.find(c.wantInside), std::string::npos) << got;
        }
        if (!c.wantNot.empty()) {
            EXPECT_EQ(got.find(c.wantNot), std::string::npos) << got;
        }
    }
    // Expect: 100-continue hears "go on" before it sends the body.
    {
        asio::io_context io;
        asio::ip::tcp::socket sock(io);
        sock.connect({asio::ip::make_address("127.0.0.1"), s.port()});
        asio::write(sock, asio::buffer("POST /echo HTTP/1.1\r\n" + close +
                                       "Authorization: Bearer test-token\r\nContent-Length: "
                                       "5\r\nExpect: 100-continue\r\n\r\n"));
        std::string got;
        asio::read_until(sock, asio::dynamic_buffer(got), "\r\n\r\n");
        EXPECT_EQ(got.rfind("HTTP/1.1 100 Continue", 0), 0u) << got;
        asio::write(sock, asio::buffer(std::string("hello")));
        boost::system::error_code ec;
        asio::read(sock, asio::dynamic_buffer(got), ec);
        EXPECT_NE(got.find("HTTP/1.1 200"), std::string::npos) << got;
        EXPECT_EQ(got.substr(got.size() - 5), "hello");
    }
    ready = true;
    EXPECT_EQ(request(s.port(), "GET", "/ready", {}, {}).status, 200);
    const auto metrics = request(s.port(), "GET", "/metrics");
    EXPECT_EQ(metrics.status, 200);
    for (const char* line : {"velmora_request_duration_seconds_count{endpoint=\"ping\"} 4",
                             "velmora_errors_total{kind=\"http_401\"} 4", "velmora_ready 1",
                             "velmora_connections_open ", "velmora_worker_queue_length 0"})
        EXPECT_NE(metrics.body.find(line), std::string::npos) << line << "\n" << metrics.body;
}

TEST(HttpServer, ListensOnAHostName) {
    auto opts = RunningServer::defaults();
    opts.address = "localhost";
    RunningServer s(opts);
    vserver::registerPing(s.server());
    s.start();
    EXPECT_EQ(request(s.port(), "GET", "/ping").status, 200);
    opts.address = "no-such-host.invalid";
    vserver::HttpServer bad(opts);
    EXPECT_FALSE(bad.start());
}

TEST(HttpServer, DrainFinishesAnswersInFlightThenStops) {
    RunningServer s;
    std::mutex m;
    vserver::Responder held;
    s.server().route(vserver::http::verb::post, "slow",
                     [&](const vserver::Request&, const vserver::Caller&, vserver::Responder r) {
                         std::lock_guard lock(m);
                         held = std::move(r);
                     });
    std::atomic<bool> drained{false};
    s.server().onDrain([&drained] { drained = true; });
    s.start();
    servertest::Reply slow;
    std::thread client([&] { slow = request(s.port(), "POST", "/slow", "{}"); });
    auto holding = [&] {
        std::lock_guard lock(m);
        return held != nullptr;
    };
    ASSERT_TRUE(harness::waitUntil(holding, "the request to reach its handler"));
    s.server().drain();
    ASSERT_TRUE(harness::waitUntil([&] { return drained.load(); }, "the drain to begin"));
    // No new connections, the answer in flight still arrives.
    EXPECT_EQ(request(s.port(), "GET", "/slow").status, -1);
    {
        std::lock_guard lock(m);
        held(vserver::HttpServer::text(200, "late\n"));
    }
    client.join();
    EXPECT_EQ(slow.status, 200);
    EXPECT_EQ(slow.body, "late\n");
}

TEST(ServerArgs, SecretsFromFilesAndLimits) {
    const std::string dir = ::testing::TempDir();
    const std::string tokenFile = dir + "/velmora-token", keyFile = dir + "/velmora-llm-key";
    std::ofstream(tokenFile) << "  file-token \n";
    std::ofstream(keyFile) << "sk-file\n";
    ::chmod(tokenFile.c_str(), 0600);
    ::chmod(keyFile.c_str(), 0644);
    auto p =
        vserver::parseArgs({"s", "--token-file", tokenFile, "--llm-url", "http://x/v1",
                            "--llm-model", "m", "--llm-key-file", keyFile, "--llm-timeout", "2.5"});
    EXPECT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.options.token, "file-token");
    ASSERT_TRUE(p.cleanup.llm);
    EXPECT_EQ(p.cleanup.llm->key, "sk-file");
    EXPECT_EQ(p.cleanup.llm->timeoutMs, 2500);
    ASSERT_EQ(p.warnings.size(), 1u);  // the key file others can read
    EXPECT_NE(p.warnings[0].find(keyFile), std::string::npos);
    EXPECT_FALSE(vserver::parseArgs({"s", "--token", "t"}).warnings.empty());
}

TEST(ServerArgs, ConfigFileUnderTheCommandLine) {
    const std::string dir = ::testing::TempDir();
    const std::string conf = dir + "/velmora-server.conf", tokenFile = dir + "/velmora-conf-token";
    std::ofstream(tokenFile) << "conf-token\n";
    ::chmod(tokenFile.c_str(), 0600);
    std::ofstream(conf) << "# settings\n"
                           "listen = 0.0.0.0:9000\n"
                           "\n"
                           "token-file = "
                        << tokenFile
                        << "   # trailing words are a comment\n"
                           "drain-seconds=3\n"
                           "access-log = errors\n"
                           "timing-retention-days = 30\n"
                           "local-signin = yes\n"
                           "asr-engine = scripted\n"
                           "asr-upstream-key-file = "
                        << tokenFile << "\n";
    // The file alone, named or found where it is looked for by default.
    for (const auto& p :
         {vserver::parseArgs({"s", "--config", conf}), vserver::parseArgs({"s"}, conf)}) {
        EXPECT_TRUE(p.error.empty()) << p.error;
        EXPECT_EQ(p.configFile, conf);
        EXPECT_EQ(p.options.port, 9000);
        EXPECT_EQ(p.options.token, "conf-token");
        EXPECT_EQ(p.options.drainSeconds, 3);
        EXPECT_EQ(p.options.accessLog, vserver::AccessLog::errors);
        EXPECT_TRUE(p.accounts.localSignIn);
        EXPECT_EQ(p.asr.upstreamKey, "conf-token");
    }
    // The command line wins, wherever --config stands; a missing default is no error.
    auto p = vserver::parseArgs(
        {"s", "--listen", "127.0.0.1:9", "--config", conf, "--access-log", "off"}, conf);
    EXPECT_TRUE(p.error.empty()) << p.error;
    EXPECT_EQ(p.options.port, 9);
    EXPECT_EQ(p.options.accessLog, vserver::AccessLog::off);
    EXPECT_EQ(p.options.drainSeconds, 3);
    p = vserver::parseArgs({"s"}, dir + "/none.conf");
    EXPECT_TRUE(p.error.empty() && p.configFile.empty()) << p.error;

    struct Bad {
        std::string text, says;
    };
    const std::vector<Bad> bad = {
        {"listen = 127.0.0.1:1\nbogus = 1\n", ":2: unknown key \"bogus\""},
        {"\n\nthreads = 0\n", ":3: --threads wants a number from 1 to 256"},
        {"listen 127.0.0.1:1\n", ":1: "},
        {"token = abc\n", ":1: token is a secret"},
        {"llm-key = abc\n", ":1: llm-key is a secret"},
        {"[server]\nlisten = 127.0.0.1:1\n", ":1: sections are not used"},
        {"local-signin = maybe\n", ":1: local-signin is true or false"},
        {"config = other.conf\n", ":1: unknown key \"config\""},
        {"asr-bogus = 1\n", ":1: unknown key \"asr-bogus\""},
        {"token-file = " + dir + "/none\n", ":1: --token-file: couldn't read"},
    };
    for (const auto& b : bad) {
        std::ofstream(conf) << b.text;
        const auto q = vserver::parseArgs({"s", "--config", conf});
        EXPECT_NE(q.error.find(conf + b.says), std::string::npos) << b.text << " -> " << q.error;
    }
    EXPECT_NE(vserver::parseArgs({"s", "--config", dir + "/none.conf"}).error.find("none.conf"),
              std::string::npos);
}

// A damaged SQLite file is moved aside and replaced, unless it holds (or may hold) users.
TEST(ServerFiles, DamagedDatabasesAreSetAsideUnlessTheyHoldUsers) {
    const std::string dir = ::testing::TempDir() + "/velmora-damaged";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // A database with a users table (`users` rows) and enough other pages to damage one.
    auto make = [](const std::string& path, int users, bool damaged) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        std::string sql =
            "PRAGMA page_size=1024; CREATE TABLE users(id TEXT); CREATE TABLE junk(x BLOB);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<40) "
            "INSERT INTO junk SELECT randomblob(900) FROM n;";
        for (int i = 0; i < users; ++i) sql += "INSERT INTO users VALUES('u');";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        if (!damaged) return;
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1024 * 20);
        f << std::string(1024, '\xff');
    };
    struct Case {
        std::string name;
        std::function<void(const std::string&)> prepare;
        std::string precious;
        bool usable, movedAside;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"absent", [](const std::string&) {}, "users", true, false, ""},
        {"sound", [&](const std::string& p) { make(p, 1, false); }, "users", true, false, ""},
        {"garbage timing", [](const std::string& p) { std::ofstream(p) << std::string(5000, 'x'); },
         "", true, true, "failed its integrity check (file is not a database); moved it aside"},
        {"garbage users", [](const std::string& p) { std::ofstream(p) << std::string(5000, 'x'); },
         "users", false, false, "its users cannot be read"},
        {"damaged with a user", [&](const std::string& p) { make(p, 1, true); }, "users", false,
         false, "and holds users: left as it is"},
        {"damaged without users", [&](const std::string& p) { make(p, 0, true); }, "users", true,
         true, "moved it aside"},
    };
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.name + ".sqlite3";
        c.prepare(path);
        const auto checked = vserver::sqlite::checkOrSetAside(path, c.precious);
        EXPECT_EQ(checked.usable, c.usable) << c.name << ": " << checked.message;
        EXPECT_NE(checked.message.find(c.says), std::string::npos)
            << c.name << ": " << checked.message;
        if (c.says.empty()) {
            EXPECT_EQ(checked.message, "") << c.name;
        }
        int aside = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            aside += e.path().filename().string().rfind(c.name + ".sqlite3.damaged-", 0) == 0;
        EXPECT_EQ(aside, c.movedAside ? 1 : 0) << c.name;
        EXPECT_EQ(std::filesystem::exists(path), c.name != "absent" && !c.movedAside) << c.name;
    }
}

TEST(ServerFiles, LogAndFolderModes) {
    const std::string dir = ::testing::TempDir() + "/velmora-modes";
    std::filesystem::remove_all(dir);
    // An existing shared folder keeps its mode; what is created is private.
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 01777), 0);
    EXPECT_EQ(vserver::makePrivateDirs(dir + "/a/b"), "");
    auto mode = [](const std::string& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(dir), 01777u);
    EXPECT_EQ(mode(dir + "/a"), 0700u);
    EXPECT_EQ(mode(dir + "/a/b"), 0700u);
    std::ofstream(dir + "/file") << "x";
    EXPECT_NE(vserver::makePrivateDirs(dir + "/file/c"), "");

    std::ofstream(dir + "/old.log") << "old\n";
    ::chmod((dir + "/old.log").c_str(), 0644);
    EXPECT_EQ(vserver::setLogFile(dir + "/old.log"), "");
    EXPECT_EQ(mode(dir + "/old.log"), 0600u);
    EXPECT_EQ(vserver::setLogFile(""), "");
}

}  // namespace

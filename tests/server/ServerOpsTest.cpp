// velmora-server run as an operator runs it: the built program under a low open-file limit,
// with its secrets, folders and log files, its signals, and starts that must fail clearly.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <memory>

#include "ServerTestUtil.h"
#include "cleanup/TestCert.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"

namespace {

namespace asio = boost::asio;
using harness::waitUntil;

unsigned modeOf(const QString& path) {
    struct stat st {};
    ::stat(path.toLocal8Bit().constData(), &st);
    return st.st_mode & 07777;
}

// One velmora-server process, its standard error collected.
class Server {
  public:
    explicit Server(const QTemporaryDir& dir, QStringList args, rlim_t soft = 0, rlim_t hard = 0,
                    const QString& ubsanOptions = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        env.remove("VELMORA_SERVER_TOKEN");
        if (!ubsanOptions.isEmpty())
            env.insert("UBSAN_OPTIONS", env.value("UBSAN_OPTIONS") + ":" + ubsanOptions);
        p_.setProcessEnvironment(env);
        if (soft) {
            p_.setChildProcessModifier([soft, hard] {
                const rlimit lim{soft, hard};
                ::setrlimit(RLIMIT_NOFILE, &lim);
            });
        }
        if (!args.contains("--data-dir")) args << "--data-dir" << dir.filePath("data");
        // Never the settings of a server installed on this machine.
        if (!args.contains("--config"))
            args << "--config"
                 << "/dev/null";
        p_.start(testenv::binaryDir() + "/server/velmora-server", args);
    }
    ~Server() {
        if (p_.state() == QProcess::NotRunning) return;
        p_.kill();
        p_.waitForFinished(5000);
    }
    QString log() {
        log_ += QString::fromUtf8(p_.readAllStandardError());
        return log_;
    }
    ::testing::AssertionResult says(const QRegularExpression& re) {
        auto r = waitUntil([&] { return re.match(log()).hasMatch(); },
                           "the server to log " + re.pattern());
        if (!r) r << "\n" << log().toStdString();
        return r;
    }
    QString captured(const QRegularExpression& re, int n = 1) {
        return re.match(log()).captured(n);
    }
    uint16_t listening(const QString& scheme = "http") {
        const QRegularExpression re("listening on " + scheme + R"(://127\.0\.0\.1:(\d+))");
        if (!says(re)) return 0;
        return uint16_t(captured(re).toUInt());
    }
    QProcess& process() { return p_; }

  private:
    QProcess p_;
    QString log_;
};

using Socket = std::unique_ptr<asio::ip::tcp::socket>;
namespace ssl = asio::ssl;

std::string derOf(X509* cert) {
    if (!cert) return {};
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    if (n <= 0) return {};
    std::string out(reinterpret_cast<char*>(der), size_t(n));
    OPENSSL_free(der);
    return out;
}

Socket connectTo(asio::io_context& io, uint16_t port) {
    auto s = std::make_unique<asio::ip::tcp::socket>(io);
    s->connect({asio::ip::make_address("127.0.0.1"), port});
    return s;
}

// An "asr" upgrade, which the server never counts as idle; true once it is accepted.
bool upgrade(asio::ip::tcp::socket& s) {
    const std::string req =
        "GET /asr HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ops-token\r\nConnection: "
        "Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
        "dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    boost::system::error_code ec;
    asio::write(s, asio::buffer(req), ec);
    std::string got;
    asio::read_until(s, asio::dynamic_buffer(got), "\r\n\r\n", ec);
    return got.rfind("HTTP/1.1 101", 0) == 0;
}

// The certificate the server on `port` presents to a new connection, as DER; empty when no
// handshake succeeds.
std::string servedCertificate(uint16_t port) {
    asio::io_context io;
    ssl::context ctx(ssl::context::tls_client);
    ctx.set_verify_mode(ssl::verify_none);
    ssl::stream<asio::ip::tcp::socket> s(io, ctx);
    boost::system::error_code ec;
    s.next_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (!ec) s.handshake(ssl::stream_base::client, ec);
    if (ec) return {};
    const std::unique_ptr<X509, decltype(&X509_free)> cert(
        SSL_get1_peer_certificate(s.native_handle()), X509_free);
    return derOf(cert.get());
}

// The first certificate of a PEM file, as DER.
std::string certificateIn(const std::string& path) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
    if (!bio) return {};
    const std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
    return derOf(cert.get());
}

QStringList scripted(const QTemporaryDir& dir) {
    QFile script(dir.filePath("script.json"));
    script.open(QIODevice::WriteOnly);
    script.write(R"({"connections":[{}]})");
    script.close();
    return {"--listen",     "127.0.0.1:0", "--token",      "ops-token",
            "--asr-engine", "scripted",    "--asr-script", dir.filePath("script.json")};
}

TEST(ServerOps, AtTheConnectionCapIdleOnesGoAndBusyOnesAreTurnedAway) {
    QTemporaryDir dir;
    Server s(dir, scripted(dir), 64, 128);
    const uint16_t port = s.listening();
    ASSERT_NE(port, 0);
    // The soft limit was raised to the hard one, and the cap leaves room for files.
    const QRegularExpression capLine(R"(up to (\d+) connections \(open-file limit 128\))");
    ASSERT_TRUE(s.says(capLine));
    const int cap = s.captured(capLine).toInt();
    ASSERT_GT(cap, 10);
    ASSERT_LT(cap, 128);

    asio::io_context io;
    // Idle connections make room for a newcomer: health still answers.
    std::vector<Socket> idle;
    for (int i = 0; i < cap + 5; ++i) idle.push_back(connectTo(io, port));
    EXPECT_EQ(servertest::request(port, "GET", "/health", {}, {}).status, 200);
    idle.clear();

    // Busy ones are kept; the newcomer hears 503 and can try again later.
    std::vector<Socket> busy;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto sock = connectTo(io, port);
            if (upgrade(*sock)) busy.push_back(std::move(sock));
            return int(busy.size()) == cap;
        },
        "the cap's worth of recognition sessions"));
    const auto refused = servertest::request(port, "GET", "/health", {}, {});
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("too many connections"), std::string::npos);
    busy.pop_back();
    EXPECT_TRUE(
        waitUntil([&] { return servertest::request(port, "GET", "/health", {}, {}).status == 200; },
                  "a slot to come free"));
}

TEST(ServerOps, OutOfDescriptorsTheAcceptLoopBacksOff) {
    QTemporaryDir dir;
    // UndefinedBehaviorSanitizer checks a virtual call by reading memory through a pipe it
    // opens; with every descriptor taken that fails, and it reports a bad vptr that is not
    // there and stops the server. Here, and only here, the descriptors run out on purpose.
    QFile supp(dir.filePath("ubsan.supp"));
    ASSERT_TRUE(supp.open(QIODevice::WriteOnly));
    supp.write("vptr:*\n");
    supp.close();
    Server s(dir,
             scripted(dir) << "--max-connections"
                           << "1000",
             64, 64, "suppressions=" + supp.fileName());
    const uint16_t port = s.listening();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(s.says(QRegularExpression("--max-connections 1000 is more than")));
    asio::io_context io;
    std::vector<Socket> flood;
    for (int i = 0; i < 90; ++i) flood.push_back(connectTo(io, port));
    ASSERT_TRUE(s.says(QRegularExpression("accept: Too many open files; pausing")));
    flood.clear();
    const QRegularExpression again(R"(taking connections again after (\d+) errors)");
    ASSERT_TRUE(waitUntil(
        [&] {
            return servertest::request(port, "GET", "/health", {}, {}).status == 200 &&
                   again.match(s.log()).hasMatch();
        },
        "the server to take connections again"));
    // A spinning loop fails thousands of times a second; one that backs off, a few.
    EXPECT_LT(s.captured(again).toInt(), 100) << s.log().toStdString();
    EXPECT_LT(s.log().count("accept: "), 5);
}

TEST(ServerOps, SecretsFoldersLogsAndSignals) {
    QTemporaryDir dir;
    const QString shared = dir.filePath("shared"), logFile = dir.filePath("server.log");
    ASSERT_TRUE(QDir().mkdir(shared));
    ASSERT_EQ(::chmod(shared.toLocal8Bit().constData(), 01777), 0);
    QStringList args = scripted(dir);
    args.erase(args.begin() + 2, args.begin() + 4);  // no --token: one is made
    Server s(dir, args << "--data-dir" << shared << "--log" << logFile << "--access-log"
                       << "errors");
    const uint16_t port = s.listening();
    ASSERT_NE(port, 0);

    // The made token is in a private file, never in the log; the shared folder keeps its mode.
    const QString tokenFile = shared + "/developer-token";
    ASSERT_TRUE(s.says(
        QRegularExpression("developer token is in " + QRegularExpression::escape(tokenFile))));
    QFile f(tokenFile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString token = QString::fromUtf8(f.readAll()).trimmed();
    ASSERT_EQ(token.size(), 32);
    EXPECT_EQ(modeOf(tokenFile), 0600u);
    EXPECT_EQ(modeOf(shared), 01777u);
    EXPECT_EQ(modeOf(logFile), 0600u);
    EXPECT_EQ(servertest::request(port, "GET", "/ping", {},
                                  {{"Authorization", "Bearer " + token.toStdString()}})
                  .status,
              200);
    auto fileText = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    EXPECT_FALSE(fileText(logFile).contains(token));
    EXPECT_FALSE(s.log().contains(token));
    // Only failed requests are in the access log.
    EXPECT_EQ(servertest::request(port, "GET", "/nope", {}, {}).status, 404);
    ASSERT_TRUE(s.says(QRegularExpression("ACCESS \\S+ GET /nope 404")));
    EXPECT_FALSE(s.log().contains("GET /ping")) << s.log().toStdString();

    // SIGHUP after a rotation: a new private file takes the lines.
    ASSERT_TRUE(QFile::rename(logFile, logFile + ".1"));
    ::kill(pid_t(s.process().processId()), SIGHUP);
    ASSERT_TRUE(waitUntil([&] { return fileText(logFile).contains("SIGHUP: log reopened"); },
                          "the log to be reopened"));
    EXPECT_EQ(modeOf(logFile), 0600u);

    // SIGTERM drains and ends cleanly.
    s.process().terminate();
    ASSERT_TRUE(waitUntil([&] { return s.process().state() == QProcess::NotRunning; },
                          "the server to stop"));
    EXPECT_EQ(s.process().exitCode(), 0);
    EXPECT_TRUE(s.log().contains("server: drained")) << s.log().toStdString();
}

TEST(ServerOps, SighupServesANewCertificateAndKeepsTheOldOneWhenTheNewIsBad) {
    QTemporaryDir dir;
    std::string cert, key, cert2, key2;
    const std::string first = dir.filePath("first").toStdString();
    const std::string second = dir.filePath("second").toStdString();
    ASSERT_TRUE(QDir().mkdir(dir.filePath("first")) && QDir().mkdir(dir.filePath("second")));
    ASSERT_TRUE(testcert::writeSelfSigned(first, cert, key));
    ASSERT_TRUE(testcert::writeSelfSigned(second, cert2, key2));
    const std::string one = certificateIn(cert), two = certificateIn(cert2);
    ASSERT_FALSE(one.empty());
    ASSERT_NE(one, two);
    Server s(dir, scripted(dir) << "--cert" << QString::fromStdString(cert) << "--key"
                                << QString::fromStdString(key));
    const uint16_t port = s.listening("https");
    ASSERT_NE(port, 0);
    EXPECT_EQ(servedCertificate(port), one);
    const pid_t pid = pid_t(s.process().processId());

    // Renewed in place, as certbot does: new connections get the new certificate.
    std::filesystem::rename(cert2, cert);
    std::filesystem::rename(key2, key);
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(s.says(QRegularExpression("TLS: reloaded")));
    EXPECT_EQ(servedCertificate(port), two);

    // A broken renewal (a key that does not match) keeps the one in use, and says why.
    ASSERT_TRUE(testcert::writeSelfSigned(second, cert2, key2));
    std::filesystem::rename(key2, key);
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(s.says(QRegularExpression("TLS: .*; keeping the certificate in use")));
    EXPECT_EQ(servedCertificate(port), two);
    EXPECT_EQ(servertest::request(port, "GET", "/health", {}, {}).status, -1);  // TLS only
}

TEST(ServerOps, BadStartsFailAtOnceNamingTheCause) {
    QTemporaryDir dir;
    const QString garbage = dir.filePath("garbage.pem"), missing = dir.filePath("missing.pem");
    QFile g(garbage);
    ASSERT_TRUE(g.open(QIODevice::WriteOnly));
    g.write("not a certificate\n");
    g.close();
    struct Case {
        QStringList args;
        QString says;
    };
    // A users file that is not a database: kept for the operator, and no start over it.
    const QString damaged = dir.filePath("damaged");
    ASSERT_TRUE(QDir().mkdir(damaged));
    QFile users(damaged + "/users.sqlite3");
    ASSERT_TRUE(users.open(QIODevice::WriteOnly));
    users.write(QByteArray(5000, 'x'));
    users.close();
    const std::vector<Case> cases = {
        {{"--log", "/nonexistent-folder/server.log"},
         "can't write the log /nonexistent-folder/server.log"},
        {{"--cert", missing, "--key", missing}, "can't read " + missing},
        {{"--cert", garbage, "--key", garbage},
         "the certificate " + garbage + " is not a PEM certificate chain"},
        {{"--token-file", missing}, "--token-file: couldn't read " + missing},
        {{"--data-dir", damaged},
         damaged + "/users.sqlite3 failed its integrity check (file is not a database)"},
        {{"--config", garbage}, garbage + ":1: the options configuration file contains an invalid"},
    };
    for (const auto& c : cases) {
        Server s(dir, scripted(dir) + c.args);
        ASSERT_TRUE(waitUntil([&] { return s.process().state() == QProcess::NotRunning; },
                              "velmora-server to give up: " + c.says));
        EXPECT_NE(s.process().exitCode(), 0);
        EXPECT_TRUE(s.log().contains(c.says)) << s.log().toStdString();
    }
}

}  // namespace

// Two velmora-server instances sharing one PostgreSQL behind HAProxy, deployed as
// docs/deploy.md shows: concurrent dictations through the balancer while one instance is
// killed, and later while one drains for an upgrade. The recogniser client must finish every
// dictation on the other instance with no word lost or doubled, and the words must be
// counted once in the shared database.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "AsrTestUtil.h"
#include "PgCluster.h"

namespace {

using namespace asrtest;
using harness::waitUntil;

const QString kHaproxy = QStringLiteral("/usr/sbin/haproxy");
constexpr int kWordMs = 500;  // the scripted recogniser hears a word per 500 ms block
constexpr qsizetype kWordBytes = kWordMs * 32;
constexpr int kWords = 6;       // per dictation
constexpr int kDictations = 4;  // at once

QString server() {
    return testenv::binaryDir() + QStringLiteral("/server/velmora-server");
}

uint16_t freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// A program run for the test, its output in a file; killed at the end if still running.
class Program {
  public:
    Program(const QString& program, const QStringList& args, const QString& output,
            const QByteArray& input = {}) {
        p_.setProcessChannelMode(QProcess::MergedChannels);
        p_.setStandardOutputFile(output);
        p_.start(program, args);
        if (!input.isEmpty()) {
            p_.write(input);
            p_.closeWriteChannel();
        }
    }
    ~Program() {
        if (p_.state() == QProcess::NotRunning) return;
        p_.kill();
        p_.waitForFinished(5000);
    }
    void signal(int sig) { ::kill(pid_t(p_.processId()), sig); }
    ::testing::AssertionResult exits() {
        return waitUntil([&] { return p_.state() == QProcess::NotRunning; },
                         QStringLiteral("the program to exit"));
    }
    QProcess& process() { return p_; }

  private:
    QProcess p_;
};

// One instance: its own data folder and log, the shared database and signing secret.
struct Instance {
    QString log;
    uint16_t port = 0;
    std::unique_ptr<Program> program;

    void start(const QTemporaryDir& dir, const QString& name, const QString& database,
               uint16_t listen = 0) {
        log = dir.filePath(name + QStringLiteral(".log"));
        program = std::make_unique<Program>(
            server(),
            QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(listen), "--data-dir",
                        dir.filePath("data-" + name), "--log", log, "--database", database,
                        "--jwt-secret-file", dir.filePath("jwt-secret"), "--local-signin",
                        "--asr-engine", "scripted", "--asr-script", dir.filePath("script.json"),
                        "--drain-seconds", "2"},
            dir.filePath(name + QStringLiteral(".out")));
        static const QRegularExpression listening(R"(listening on http://127\.0\.0\.1:(\d+))");
        EXPECT_TRUE(waitUntil([&] { return listening.match(readAll(log)).hasMatch(); },
                              name + QStringLiteral(" listening")))
            << readAll(log).toStdString();
        port = uint16_t(listening.match(readAll(log)).captured(1).toUInt());
    }
    bool has(const QString& text) const { return readAll(log).contains(text); }
    // The balancer's health checks this instance has answered "ready".
    qsizetype readyChecks() const { return readAll(log).count(QStringLiteral("GET /ready 200")); }
};

// A dictation of kWords words, word k of dictation d heard as "w" + (100 d + k).
QByteArray speech(int d) {
    QByteArray out;
    for (int k = 0; k < kWords; ++k) {
        const int16_t value = int16_t(100 * d + k);
        QByteArray block(kWordBytes, Qt::Uninitialized);
        for (qsizetype i = 0; i < kWordBytes; i += 2) std::memcpy(block.data() + i, &value, 2);
        out += block;
    }
    return out;
}

QString transcript(int d) {
    QStringList words;
    for (int k = 0; k < kWords; ++k) words << QStringLiteral("w%1").arg(100 * d + k);
    return words.join(QLatin1Char(' '));
}

// Signs in through the balancer as a user would (the local sign-in page, then the code
// exchange, each possibly on another instance); the access token.
std::string signIn(uint16_t port) {
    const std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
    const std::string challenge =
        QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
            .toStdString();
    const auto page = servertest::request(
        port, "POST", "/auth/v1/authorize",
        "name=ann&password=pw&redirect_to=velmora%3A%2F%2Fauth-callback&code_challenge=" +
            challenge + "&code_challenge_method=s256",
        {});
    const auto at = page.location.find("code=");
    if (at == std::string::npos) return {};
    const auto r = servertest::request(
        port, "POST", "/auth/v1/token?grant_type=pkce",
        nlohmann::json{{"auth_code", page.location.substr(at + 5)}, {"code_verifier", verifier}}
            .dump(),
        {});
    const auto j = nlohmann::json::parse(r.body, nullptr, false);
    return j.is_object() && j.contains("access_token") ? j["access_token"].get<std::string>()
                                                       : std::string();
}

// kDictations dictations through the balancer. Each speaks 3.5 words, and once every one has
// heard its first three, `disrupt` hits the instance that holds dictation 0; then the rest is
// spoken and each must come out whole.
void dictate(uint16_t balancer, const std::string& token, int round, Instance* instances[2],
             const std::function<void(Instance&)>& disrupt, const QString& lost) {
    harness::LogReader log;
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/asr").arg(balancer));
    std::vector<std::shared_ptr<QwenASR>> clients;
    std::vector<Recorder> recorders(kDictations);
    for (int d = 0; d < kDictations; ++d) {
        clients.push_back(QwenASR::create({}, 400, QwenASR::Timing{}, [url, token] {
            QNetworkRequest r(url);
            r.setRawHeader("Authorization", "Bearer " + QByteArray::fromStdString(token));
            return r;
        }));
        recorders[d].attach(*clients[d]);
        clients[d]->connect();
    }
    const int first = round * kDictations;
    const qsizetype head = 3 * kWordBytes + kWordBytes / 2;
    for (int d = 0; d < kDictations; ++d) feed(*clients[d], speech(first + d).left(head), 3200);
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& r : recorders)
                if (r.sentences.size() < 3) return false;
            return true;
        },
        "every dictation's first three words"));
    const QString task0 = clients[0]->taskId();
    Instance* hit = instances[0]->has(task0) ? instances[0] : instances[1];
    ASSERT_TRUE(hit->has(task0)) << "dictation 0's task is on neither instance";
    disrupt(*hit);
    for (int d = 0; d < kDictations; ++d) feed(*clients[d], speech(first + d).mid(head), 3200);
    for (int d = 0; d < kDictations; ++d) clients[d]->finish(6.0, recorders[d].completion());
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& r : recorders)
                if (r.completions.isEmpty()) return false;
            return true;
        },
        "every dictation's transcript"));
    for (int d = 0; d < kDictations; ++d) {
        SCOPED_TRACE(d);
        EXPECT_EQ(recorders[d].completions.join('|').toStdString(),
                  transcript(first + d).toStdString());
        for (const auto& e : recorders[d].errors) ADD_FAILURE() << e.first.toStdString();
    }
    EXPECT_EQ(clients[0]->generation(), 2) << "dictation 0 went on on a second connection";
    Instance* other = hit == instances[0] ? instances[1] : instances[0];
    EXPECT_TRUE(other->has(clients[0]->taskId())) << "dictation 0 ended on the other instance";
    EXPECT_TRUE(log.has(QStringLiteral("ASR connection lost (") + lost))
        << log.text().toStdString();
}

TEST(ScaleOut, DictationsSurviveAnInstanceKilledOrDrainedAndAreCountedOnce) {
    if (!QFile::exists(kHaproxy)) GTEST_SKIP() << "haproxy is not installed";
    std::string why;
    servertest::PgCluster* cluster = servertest::PgCluster::get(why);
    if (!cluster) GTEST_SKIP() << "no PostgreSQL here: " << why;
    const QString database = QString::fromStdString(cluster->newDatabase());

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        QFile secret(dir.filePath("jwt-secret"));
        ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
        secret.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        secret.write("a-secret-both-instances-share-0123456789\n");
        QFile script(dir.filePath("script.json"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral(R"({"connections":[{"words_ms":%1}]})").arg(kWordMs).toUtf8());
    }
    {
        Program add(server(),
                    {"users", "add", "ann", "--plan", "pro", "--password-stdin", "--database",
                     database, "--data-dir", dir.filePath("admin")},
                    dir.filePath("users.out"), "pw\n");
        ASSERT_TRUE(add.exits());
        ASSERT_EQ(add.process().exitCode(), 0) << add.process().errorString().toStdString()
                                               << readAll(dir.filePath("users.out")).toStdString();
    }

    Instance a, b;
    a.start(dir, "a", database);
    b.start(dir, "b", database);
    ASSERT_TRUE(a.port && b.port);

    // The balancer's configuration is the one the deployment guide shows, with its ports.
    QString config = readAll(testenv::sourceDir() + QStringLiteral("/docs/deploy/haproxy.cfg"));
    ASSERT_FALSE(config.isEmpty());
    const uint16_t balancer = freePort();
    // Loopback ports; no TLS, syslog, privileges to drop or raised file limit in the test.
    config
        .replace(QRegularExpression(QStringLiteral(R"(bind [^\n]*)")),
                 QStringLiteral("bind 127.0.0.1:%1").arg(balancer))
        .replace(QStringLiteral("10.0.0.11:8443"), QStringLiteral("127.0.0.1:%1").arg(a.port))
        .replace(QStringLiteral("10.0.0.12:8443"), QStringLiteral("127.0.0.1:%1").arg(b.port))
        .remove(QRegularExpression(
            QStringLiteral(R"(\n\s*(log /|user|group|chroot|daemon|maxconn)\b[^\n]*)")))
        .replace(QStringLiteral("global\n"),
                 QStringLiteral("global\n    log stdout format raw local0\n"));
    {
        QFile f(dir.filePath("haproxy.cfg"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(config.toUtf8());
    }
    Program haproxy(kHaproxy, {"-db", "-f", dir.filePath("haproxy.cfg")},
                    dir.filePath("haproxy.out"));
    ASSERT_TRUE(waitUntil([&] { return a.readyChecks() >= 2 && b.readyChecks() >= 2; },
                          "the balancer to find both instances ready"))
        << readAll(dir.filePath("haproxy.out")).toStdString();

    const std::string token = signIn(balancer);
    ASSERT_FALSE(token.empty()) << "signing in through the balancer";
    Instance* instances[2] = {&a, &b};

    // An instance dies (SIGKILL) in the middle of dictations. Then it is started again, as
    // the service manager would, and the balancer takes it back once it answers ready.
    Instance* killed = nullptr;
    dictate(
        balancer, token, 0, instances,
        [&](Instance& victim) {
            victim.program->signal(SIGKILL);
            killed = &victim;
        },
        QStringLiteral("recv: 127.0.0.1: "));
    ASSERT_TRUE(killed && killed->program->exits());
    killed->start(dir, killed == &a ? QStringLiteral("a2") : QStringLiteral("b2"), database,
                  killed->port);
    ASSERT_TRUE(waitUntil([&] { return killed->readyChecks() >= 3; },
                          "the balancer to take the restarted instance back"));

    // An instance drains for an upgrade (SIGTERM): its sessions end with
    // "server-shutting-down" and go on on the other.
    dictate(
        balancer, token, 1, instances,
        [&](Instance& leaving) {
            leaving.program->signal(SIGTERM);
            ASSERT_TRUE(waitUntil([&] { return leaving.has("asr: ending"); }, "the drain"));
        },
        QStringLiteral("server-shutting-down: "));

    if (HasFailure())
        std::cerr << "balancer's log:\n" << readAll(dir.filePath("haproxy.out")).toStdString();

    // Every word counted once, in the shared database.
    Program list(server(), {"users", "list", "--database", database}, dir.filePath("list.out"));
    ASSERT_TRUE(list.exits());
    EXPECT_TRUE(readAll(dir.filePath("list.out"))
                    .contains(QStringLiteral("\t%1/").arg(2 * kDictations * kWords)))
        << readAll(dir.filePath("list.out")).toStdString();
}

}  // namespace

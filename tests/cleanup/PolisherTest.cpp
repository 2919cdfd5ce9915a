// The cleanup client against a scripted, deliberately unreliable server.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QThread>
#include <thread>

#include "ScriptedServer.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "harness/LogReader.h"

namespace {

using Behaviour = ScriptedServer::Behaviour;

using harness::waitUntil;
using namespace std::chrono_literals;

// The log since it was made, matched by regular expressions.
class LogSince : public harness::LogReader {
  public:
    bool has(const QString& pattern) const { return LogReader::has(QRegularExpression(pattern)); }
};

::testing::AssertionResult calls(const int& n, int want) {
    return waitUntil([&] { return n == want; }, QStringLiteral("%1 completion(s)").arg(want));
}

struct Delivered {
    int calls = 0;
    QString text, by;
    bool onMainThread = true;
    auto sink() {
        return [this](const QString& t, const QString& b) {
            ++calls;
            text = t;
            by = b;
            onMainThread =
                onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        };
    }
};

class PolisherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Polisher::resetForTests();
        Config::d()->remove(QStringLiteral("teskEnabled"));
        qputenv("VQ_SERVER_TOKEN", "tok");
    }
    void TearDown() override {
        harness::drainEvents();  // aborted and late replies wind down before the next test
        Polisher::resetForTests();
        qunsetenv("VQ_SERVER");
    }
    void use(const ScriptedServer& s) { qputenv("VQ_SERVER", s.url().toUtf8()); }
    static void scale(double s) {
        Polisher::Timings t;
        t.scale = s;
        Polisher::setTimings(t);
    }
};

TEST_F(PolisherTest, TimeLimitsFollowTheTextLengthInCharacters) {
    EXPECT_DOUBLE_EQ(Polisher::polishTimeout(200), 14.0);
    EXPECT_DOUBLE_EQ(Polisher::polishTimeout(1000), 18.0);
    EXPECT_DOUBLE_EQ(Polisher::polishRetryAfter(100000), 60.0);
    EXPECT_EQ(Polisher::characterCount(QStringLiteral("ab中文")), 4);
    EXPECT_EQ(Polisher::characterCount(QStringLiteral("👨‍👩‍👧🇨🇳é")), 3);
}

TEST_F(PolisherTest, OnePingForTwoDictationsTenSecondsApartAndForcedAlwaysSends) {
    ScriptedServer server([](int, const auto&) { return ScriptedServer::json(200, "pong"); });
    use(server);
    scale(0.05);  // a ping within 1 s of the last sends nothing
    LogSince log;
    int done = 0;
    Polisher::warm(false, [&] { ++done; });
    ASSERT_TRUE(calls(done, 1));
    Polisher::warm(false, [&] { ++done; });
    EXPECT_EQ(done, 2);  // skipped: the completion runs at once
    QElapsedTimer sinceForced;
    sinceForced.start();
    Polisher::warm(true, [&] { ++done; });
    ASSERT_TRUE(calls(done, 3));
    EXPECT_EQ(server.count("/ping"), 2);
    // Asked again and again, the next ping goes out once the interval has passed.
    ASSERT_TRUE(waitUntil(
        [&] {
            Polisher::warm(false, {});
            return server.count("/ping") == 3;
        },
        "the third ping"));
    EXPECT_GE(sinceForced.elapsed(), 1000);
    EXPECT_TRUE(log.has(QStringLiteral("Warm server: http 200 in \\d+ms \\n")));
}

TEST_F(PolisherTest, FailedWarmUpRenewsTheConnections) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 deadPort = probe.serverPort();
    probe.close();
    qputenv("VQ_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(deadPort).toUtf8());
    LogSince log;
    const int generation = Polisher::sessionGeneration();
    bool done = false;
    Polisher::warm(false, [&] { done = true; });
    ASSERT_TRUE(waitUntil([&] { return done; }, "the ping's end"));
    ASSERT_TRUE(
        waitUntil([&] { return Polisher::sessionGeneration() == generation + 1; }, "the renewal"));
    EXPECT_TRUE(log.has(QStringLiteral("Warm server: http -1 in \\d+ms \\S")));
    EXPECT_TRUE(log.has(QStringLiteral("Server connections renewed \\(warm-up failed\\)")));
}

// Any HTTP answer is final: one request, no renewed connections, and the raw text unless
// the answer holds usable text.
TEST_F(PolisherTest, AnHttpAnswerIsFinal) {
    const char* raw = "um raw words";
    const char* failed200 = R"(Polish failed in \d+ms \(http 200\), using raw)";
    const struct {
        int status;
        QByteArray body;
        const char* text;
        const char* by;
        const char* logged;
    } cases[] = {
        {200, R"({"text":"","by":"rules"})", raw, "failed", failed200},
        {200, R"({"by":"rules"})", raw, "failed", failed200},
        {200, R"({"text":7})", raw, "failed", failed200},
        {200, "not json", raw, "failed", failed200},
        {200, R"(["text"])", raw, "failed", failed200},
        {200, "", raw, "failed", failed200},
        {500, "{}", raw, "failed", R"(Polish failed in \d+ms \(http 500\), using raw)"},
        // Text without a usable "by" is delivered with a question mark.
        {200, R"({"text":"Clean."})", "Clean.", "?", R"(Polish by=\? in \d+ms)"},
        {200, R"({"text":"Clean.","by":5})", "Clean.", "?", R"(Polish by=\? in \d+ms)"},
    };
    scale(0.02);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.constData());
        ScriptedServer server(
            [&](int, const auto&) { return ScriptedServer::json(c.status, c.body); });
        use(server);
        LogSince log;
        Delivered d;
        Polisher::polish(QString::fromUtf8(raw), QStringLiteral("generic"), QString(), d.sink());
        ASSERT_TRUE(calls(d.calls, 1));
        harness::passTimersDue(80ms);  // when a second attempt would have gone
        EXPECT_EQ(d.text, QString::fromUtf8(c.text));
        EXPECT_EQ(d.by, QString::fromUtf8(c.by));
        EXPECT_TRUE(log.has(QString::fromUtf8(c.logged))) << log.text().toStdString();
        EXPECT_EQ(server.count("/polish"), 1);
        EXPECT_FALSE(log.has(QStringLiteral("Server connections renewed")));
    }
}

// A request that goes unanswered gets one second attempt, at once after a failure, on a timer
// otherwise; whichever answers first is delivered, once, and raw text when neither does.
TEST_F(PolisherTest, ASecondAttemptThenRawTextDeliveredOnce) {
    const Behaviour second = ScriptedServer::json(200, R"({"text":"Second.","by":"second"})");
    const struct {
        const char* name;
        double scale;
        Behaviour first, then;
        const char *text, *by;
        qint64 atLeastMs;  // both attempts ran out
    } cases[] = {
        // Second attempt after ~80 ms, each attempt gives up after ~280 ms.
        {"silent", 0.02, ScriptedServer::silent(), ScriptedServer::silent(), "raw", "failed", 300},
        // The timed second attempt would come after 400 s: a hang-up starts it at once.
        {"hang-ups", 100, ScriptedServer::hangUp(), ScriptedServer::hangUp(), "raw", "failed", 0},
        {"hang-up, then an answer", 100, ScriptedServer::hangUp(), second, "Second.", "second", 0},
        // Second attempt after ~0.2 s; the first answers after 0.5 s and is ignored.
        {"the second answers first", 0.05,
         ScriptedServer::json(200, R"({"text":"Slow.","by":"first"})", 500), second, "Second.",
         "second", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(
            [&](int index, const auto&) { return index == 0 ? c.first : c.then; });
        use(server);
        scale(c.scale);
        LogSince log;
        Delivered d;
        QElapsedTimer clock;
        clock.start();
        Polisher::polish(QStringLiteral("raw"), QStringLiteral("generic"), QString(), d.sink());
        ASSERT_TRUE(calls(d.calls, 1));
        EXPECT_GE(clock.elapsed(), c.atLeastMs);
        harness::passTimersDue(std::chrono::milliseconds(c.first.delayMs));  // a late answer came
        harness::drainEvents();
        EXPECT_EQ(d.calls, 1);
        EXPECT_EQ(d.text, QString::fromUtf8(c.text));
        EXPECT_EQ(d.by, QString::fromUtf8(c.by));
        EXPECT_EQ(server.count("/polish"), 2);  // one request per attempt
        EXPECT_TRUE(log.has(QStringLiteral("Server connections renewed \\(polish: no answer")));
        EXPECT_FALSE(log.has(QStringLiteral("Polish by=first")));
    }
}

TEST_F(PolisherTest, TimingReportExpects204AndNeverRetries) {
    for (const auto& [behaviour, expected] :
         {std::pair{ScriptedServer::json(200, "{}"),
                    QStringLiteral("Timing report failed: http 200")},
          std::pair{ScriptedServer::json(204, ""), QString()},
          std::pair{ScriptedServer::silent(), QStringLiteral("Timing report failed: http -1")}}) {
        ScriptedServer server([b = behaviour](int, const auto&) { return b; });
        use(server);
        scale(0.02);
        LogSince log;
        Polisher::reportTiming(
            QJsonObject{{"ms", 1200}, {"by", "rules"}, {"typing", "paste"}, {"chars", 12}});
        if (expected.isEmpty()) {
            // A cleanup sent after it, and answered the same way, ends after it.
            Delivered d;
            Polisher::polish(QStringLiteral("x"), QStringLiteral("generic"), QString(), d.sink());
            ASSERT_TRUE(calls(d.calls, 1));
            EXPECT_FALSE(log.has(QStringLiteral("Timing report failed")))
                << log.text().toStdString();
        } else {
            ASSERT_TRUE(log.waitFor(expected));
        }
        EXPECT_EQ(server.count("/timing"), 1);
        const QJsonObject sent = QJsonDocument::fromJson(server.requests()[0].body).object();
        EXPECT_EQ(sent.value("chars").toInt(), 12);
    }
}

TEST_F(PolisherTest, RequestCarriesTheFieldsAndHeaders) {
    ScriptedServer server(
        [](int, const auto&) { return ScriptedServer::json(200, R"({"text":"x","by":"rules"})"); });
    use(server);
    LogSince log;
    Delivered d;
    Polisher::polish(QStringLiteral("hello"), QStringLiteral("mail"), QString(), d.sink());
    ASSERT_TRUE(calls(d.calls, 1));
    Polisher::setTeskEnabled(true);
    Polisher::polish(QStringLiteral("hello"), QStringLiteral("chat"), QStringLiteral("Slack"),
                     d.sink());
    ASSERT_TRUE(calls(d.calls, 2));
    ASSERT_EQ(server.requests().size(), 2);
    const auto& first = server.requests()[0];
    const QJsonObject a = QJsonDocument::fromJson(first.body).object();
    EXPECT_EQ(first.method, "POST");
    EXPECT_EQ(first.path, "/polish");
    EXPECT_EQ(first.headers.value("authorization"), "Bearer tok");
    EXPECT_TRUE(first.headers.value("content-type").startsWith("application/json"));
    EXPECT_FALSE(first.headers.value("x-app-version").isEmpty());
    EXPECT_FALSE(first.headers.value("x-os-version").isEmpty());
    EXPECT_EQ(a.value("text").toString(), QStringLiteral("hello"));
    EXPECT_EQ(a.value("style").toString(), QStringLiteral("mail"));
    EXPECT_EQ(a.value("tesk"), QJsonValue(false));
    EXPECT_FALSE(a.contains("app"));  // an empty name leaves "app" out
    const QJsonObject b = QJsonDocument::fromJson(server.requests()[1].body).object();
    EXPECT_EQ(b.value("app").toString(), QStringLiteral("Slack"));
    EXPECT_EQ(b.value("tesk"), QJsonValue(true));
    EXPECT_TRUE(log.has(QStringLiteral("Tesk fast path on")));
}

TEST_F(PolisherTest, LearnGivesTheTextOrNothing) {
    QByteArray answer = R"({"text":"[\"John\"]"})";
    int status = 200;
    ScriptedServer server([&](int, const auto&) { return ScriptedServer::json(status, answer); });
    use(server);
    QString text = QStringLiteral("unset");
    bool ok = false;
    int n = 0;
    auto sink = [&](const QString& t, bool o) {
        text = t;
        ok = o;
        ++n;
    };
    Polisher::learn(QStringLiteral("ask jon"), QStringLiteral("ask John"), sink);
    ASSERT_TRUE(calls(n, 1));
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, QStringLiteral("[\"John\"]"));
    const QJsonObject sent = QJsonDocument::fromJson(server.requests()[0].body).object();
    EXPECT_EQ(sent.value("before").toString(), QStringLiteral("ask jon"));
    EXPECT_EQ(sent.value("after").toString(), QStringLiteral("ask John"));

    status = 500;
    Polisher::learn(QStringLiteral("a"), QStringLiteral("b"), sink);
    ASSERT_TRUE(calls(n, 2));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(text.isEmpty());
    status = 200;
    answer = R"({"text":["John"]})";
    Polisher::learn(QStringLiteral("a"), QStringLiteral("b"), sink);
    ASSERT_TRUE(calls(n, 3));
    EXPECT_FALSE(ok);
}

TEST_F(PolisherTest, CallsFromOtherThreadsAnswerOnTheMainThread) {
    ScriptedServer server([](int, const auto&) {
        return ScriptedServer::json(200, R"({"text":"Done.","by":"rules"})");
    });
    use(server);
    Delivered d;
    std::thread worker([&] {
        Polisher::polish(QStringLiteral("done"), QStringLiteral("generic"), QString(), d.sink());
    });
    worker.join();
    ASSERT_TRUE(calls(d.calls, 1));
    EXPECT_TRUE(d.onMainThread);
    EXPECT_EQ(d.text, QStringLiteral("Done."));
}

TEST_F(PolisherTest, RenewedConnectionsLetRunningCallsFinish) {
    ScriptedServer server([](int, const auto&) {
        return ScriptedServer::json(200, R"({"text":"Late.","by":"rules"})", 300);
    });
    use(server);
    Delivered d;
    Polisher::polish(QStringLiteral("late"), QStringLiteral("generic"), QString(), d.sink());
    ASSERT_TRUE(waitUntil([&] { return server.count("/polish") == 1; }, "the request"));
    Polisher::renewConnections(QStringLiteral("test"));
    ASSERT_TRUE(calls(d.calls, 1));
    EXPECT_EQ(d.text, QStringLiteral("Late."));
    EXPECT_EQ(server.count("/polish"), 1);
}

TEST_F(PolisherTest, TokenGateRunsBeforeEveryPost) {
    ScriptedServer server([](int, const auto&) {
        return ScriptedServer::json(200, R"({"text":"Ok.","by":"rules"})");
    });
    use(server);
    std::function<void()> held;
    Polisher::setTokenGate([&](std::function<void()> proceed) { held = std::move(proceed); });
    Delivered d;
    Polisher::polish(QStringLiteral("ok"), QStringLiteral("generic"), QString(), d.sink());
    ASSERT_TRUE(waitUntil([&] { return bool(held); }, "the gate"));
    // A ping (which needs no token) sent after it reaches the server first.
    Polisher::warm(true);
    ASSERT_TRUE(waitUntil([&] { return server.count("/ping") == 1; }, "the ping"));
    EXPECT_EQ(server.count("/polish"), 0);
    qputenv("VQ_SERVER_TOKEN", "fresh");  // the refreshed token is what goes out
    held();
    ASSERT_TRUE(calls(d.calls, 1));
    EXPECT_EQ(server.count("/polish"), 1);
    EXPECT_EQ(server.requests().last().headers.value("authorization"), "Bearer fresh");
}

}  // namespace

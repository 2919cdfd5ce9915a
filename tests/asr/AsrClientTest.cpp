// The recogniser client against velmora-server's "asr" endpoint over loopback,
// with the scripted engine playing the service (and its faults).
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <nlohmann/json.hpp>

#include "AsrProtocol.h"
#include "AsrTestUtil.h"

namespace {

using namespace asrtest;
using harness::LogReader;
using harness::waitUntil;
using namespace std::chrono_literals;

const QString kStarted = QStringLiteral("ASR task started in ");

std::shared_ptr<QwenASR> client(const Service& s, Vocabulary vocab = {},
                                QwenASR::Timing t = fastTiming(), int silence = 400) {
    return QwenASR::create(std::move(vocab), silence, t, s.request());
}

::testing::AssertionResult got(const Recorder& r, qsizetype completions, qsizetype errors = -1) {
    return waitUntil(
        [&] {
            return r.completions.size() == completions && (errors < 0 || r.errors.size() == errors);
        },
        QStringLiteral("%1 completion(s)").arg(completions));
}

// A client of `s`, its callbacks recorded, connecting.
struct Dictation {
    explicit Dictation(const Service& s, QwenASR::Timing t = fastTiming()) : asr(client(s, {}, t)) {
        r.attach(*asr);
        asr->connect();
    }
    ::testing::AssertionResult finish(double seconds) {
        asr->finish(seconds, r.completion());
        return got(r, 1);
    }
    LogReader log;  // made before the client, so it sees the task start
    std::shared_ptr<QwenASR> asr;
    Recorder r;
};

// A second client's task on the same service, start to end: what the first client set off
// before it (a retry it should not make) has reached the service by then. The probe ends
// its task properly, so the service is left as it was.
void roundTrip(const Service& s) {
    Dictation probe(s);
    EXPECT_TRUE(waitUntil([&] { return !probe.r.errors.isEmpty() || probe.log.has(kStarted); },
                          QStringLiteral("the probe's task started or refused")));
    EXPECT_TRUE(probe.finish(1.0));
}

TEST(AsrClient, NormalRunReportsPartialsSentencesAndTheTranscript) {
    Service s(R"({"connections":[{"start_delay_ms":150,"steps":[
        {"at_ms":100,"partial":"hello"},
        {"at_ms":500,"final":"Hello world.","end_ms":500},
        {"at_ms":700,"partial":"how are"},
        {"at_finish":true,"final":"How are you?"}]}]})");
    LogReader log;
    auto asr = client(s, {{QStringLiteral("Velmora"), 50}, {QStringLiteral("Qwen"), 3}},
                      fastTiming(), 700);
    Recorder r;
    r.attach(*asr);
    const QByteArray pcm = pattern(32000);
    asr->connect();
    feed(*asr, pcm.left(9600));  // before the task has started: kept, then replayed
    ASSERT_TRUE(log.waitFor(kStarted));
    feed(*asr, pcm.mid(9600), 641);  // odd chunks are joined into whole samples
    ASSERT_TRUE(waitUntil([&] { return r.sentences.size() == 1; }, "the first sentence"));
    // Confirmed audio is forgotten: only what follows the sentence's end stays.
    EXPECT_EQ(asr->keptBytes(), 32000 - 500 * 32);
    asr->finish(2.0, r.completion());
    ASSERT_TRUE(got(r, 1));

    EXPECT_EQ(r.completions.front(), QStringLiteral("Hello world. How are you?"));
    EXPECT_EQ(asr->fullText(), r.completions.front());
    EXPECT_EQ(r.sentences, (QStringList{"Hello world.", "How are you?"}));
    EXPECT_EQ(r.metaTexts, r.sentences);
    ASSERT_EQ(r.metaEnds.size(), 2);
    EXPECT_EQ(r.metaEnds[0], 500);
    EXPECT_FALSE(r.metaEnds[1].has_value());
    EXPECT_TRUE(r.partials.contains("hello"));
    EXPECT_TRUE(r.partials.contains("how are"));
    EXPECT_EQ(r.partials.back(), QString());
    EXPECT_TRUE(r.errors.isEmpty());
    EXPECT_EQ(asr->generation(), 1);

    const auto recs = s.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_TRUE(isTaskId(recs[0].taskId));
    EXPECT_EQ(QString::fromStdString(recs[0].taskId), asr->taskId());
    EXPECT_EQ(recs[0].params.maxSentenceSilenceMs, 700);
    EXPECT_EQ(recs[0].params.vocabulary,
              (std::vector<std::pair<std::string, int>>{{"Qwen", 3}, {"Velmora", 50}}));
    EXPECT_TRUE(recs[0].audio == pcm.toStdString()) << "audio lost, repeated or reordered";
    EXPECT_TRUE(recs[0].finishReceived);
}

// A bare service that records exactly what the client put on the wire.
struct RawService {
    servertest::RunningServer server;
    std::mutex m;
    std::vector<std::string> texts, binaries;
    std::string authorization, appVersion, osVersion, target;

    RawService() {
        server.server().websocket(
            "asr", [this](std::shared_ptr<vserver::WsConnection> ws, const vserver::Request& req,
                          const vserver::Caller&) {
                {
                    std::lock_guard lock(m);
                    authorization = std::string(req[boost::beast::http::field::authorization]);
                    appVersion = std::string(req["X-App-Version"]);
                    osVersion = std::string(req["X-OS-Version"]);
                    target = std::string(req.target());
                }
                std::weak_ptr<vserver::WsConnection> w = ws;
                ws->onText = [this, w](std::string_view t) {
                    std::lock_guard lock(m);
                    texts.emplace_back(t);
                    const auto j = nlohmann::json::parse(t, nullptr, false);
                    const std::string action = j["header"]["action"];
                    const std::string id = j["header"]["task_id"];
                    if (auto c = w.lock())
                        c->sendText(action == "run-task" ? vserver::asrproto::taskStarted(id)
                                                         : vserver::asrproto::taskFinished(id));
                };
                ws->onBinary = [this](std::string_view b) {
                    std::lock_guard lock(m);
                    binaries.emplace_back(b);
                };
            });
        server.start();
    }
};

TEST(AsrClient, MessagesAndFramesAreExactlyAsTheProtocolSays) {
    RawService raw;
    qputenv("VQ_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(raw.server.port()).toUtf8());
    qputenv("VQ_SERVER_TOKEN", "test-token");
    LogReader log;
    auto asr = QwenASR::create({}, 400);  // the configured request
    Recorder r;
    r.attach(*asr);
    asr->connect();
    qunsetenv("VQ_SERVER");
    qunsetenv("VQ_SERVER_TOKEN");
    ASSERT_TRUE(log.waitFor(kStarted));
    const QList<qsizetype> sizes{640, 2, 3200, 1000};
    QByteArray all;
    for (qsizetype n : sizes) {
        const QByteArray chunk = pattern(n + all.size()).right(n);
        all += chunk;
        asr->send(chunk);
    }
    asr->finish(2.0, r.completion());
    ASSERT_TRUE(got(r, 1));

    std::lock_guard lock(raw.m);
    EXPECT_EQ(raw.target, "/asr");
    EXPECT_EQ(raw.authorization, "Bearer test-token");
    EXPECT_FALSE(raw.appVersion.empty());
    EXPECT_FALSE(raw.osVersion.empty());
    ASSERT_EQ(raw.texts.size(), 2u);
    // Exactly these fields: an empty vocabulary and the model are left out.
    const auto run = nlohmann::json::parse(raw.texts[0]);
    const auto id = run["header"]["task_id"];
    EXPECT_TRUE(id.is_string() && isTaskId(id));
    EXPECT_TRUE(run["payload"]["parameters"]["sample_rate"].is_number_integer());
    EXPECT_EQ(run, nlohmann::json::parse(R"({"header":{"action":"run-task","task_id":)" +
                                         id.dump() + R"(,"streaming":"duplex"},
        "payload":{"task_group":"audio","task":"asr","function":"recognition","input":{},
                   "parameters":{"sample_rate":16000,"format":"pcm","max_sentence_silence":400}}})"));
    EXPECT_EQ(nlohmann::json::parse(raw.texts[1]),
              nlohmann::json::parse(R"({"header":{"action":"finish-task","task_id":)" + id.dump() +
                                    R"(,"streaming":"duplex"},"payload":{"input":{}}})"));
    // One binary frame per chunk, unchanged.
    ASSERT_EQ(raw.binaries.size(), size_t(sizes.size()));
    std::string joined;
    for (size_t i = 0; i < raw.binaries.size(); ++i) {
        EXPECT_EQ(qsizetype(raw.binaries[i].size()), sizes[qsizetype(i)]);
        joined += raw.binaries[i];
    }
    EXPECT_TRUE(joined == all.toStdString());
}

// A lost first connection, however it ends, moves the dictation to a new connection (here
// another server, as behind a load balancer) that gets exactly the unconfirmed audio once.
TEST(AsrClient, LostOrDrainedConnectionGoesOnElsewhereReplayingFromTheConfirmedOffset) {
    // Each first connection confirms "one." up to 250 ms, then ends 600 ms in.
#define ONE R"("steps":[{"at_ms":300,"final":"one.","end_ms":250})"
    struct Case {
        const char* name;
        const char* first;  // the first server's connection
        bool drain;         // the test drains the first server, as SIGTERM does
        const char* reason;
    } cases[] = {
        {"dropped", R"({"drop_after_bytes":19200,)" ONE "]}", false,
         R"(recv: 127\.0\.0\.1: closed by the service \(1011, dropped\))"},
        {"going away", R"({"drop_after_bytes":19200,"drop_code":1001,)" ONE "]}", false,
         R"(recv: 127\.0\.0\.1: closed by the service \(1001, dropped\))"},
        // Qt takes the newer 1012 for a protocol error; the client goes on all the same.
        {"server restarting", R"({"drop_after_bytes":19200,"drop_code":1012,)" ONE "]}", false,
         R"(recv: 127\.0\.0\.1: closed by the service \(10\d\d, [^)]*\))"},
        {"shutting down",
         "{" ONE R"(,{"at_ms":600,"fail":"server-shutting-down","message":"connect again"}]})",
         false, "server-shutting-down: connect again"},
        {"drained", "{" ONE "]}", true,
         "server-shutting-down: the server is shutting down; connect again"},
    };
#undef ONE
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Service a(std::string(R"({"connections":[)") + c.first + "]}");
        Service b(
            R"({"connections":[{"steps":[{"at_ms":200,"final":"two.","end_ms":100},{"at_finish":true,"final":"three."}]}]})");
        LogReader log;
        int requests = 0;
        auto asr = QwenASR::create({}, 400, fastTiming(),
                                   [&] { return (requests++ == 0 ? a.request() : b.request())(); });
        Recorder r;
        r.attach(*asr);
        const QByteArray pcm = pattern(48000);
        asr->connect();
        ASSERT_TRUE(log.waitFor(kStarted));
        feed(*asr, pcm.left(24000));
        ASSERT_TRUE(waitUntil([&] { return r.sentences.size() == 1; }, "the first sentence"));
        if (c.drain) a.server().drain();
        ASSERT_TRUE(waitUntil([&] { return log.has(QStringLiteral(", connection 2, ")); },
                              "the second connection's task"));
        feed(*asr, pcm.mid(24000));
        ASSERT_TRUE(waitUntil([&] { return r.sentences.size() == 2; }, "two sentences"));
        // The second connection's end times count from where its replay began.
        EXPECT_EQ(asr->keptBytes(), 48000 - (250 + 100) * 32);
        asr->finish(2.0, r.completion());
        ASSERT_TRUE(got(r, 1));

        EXPECT_EQ(r.completions.front(), QStringLiteral("one. two. three."));
        EXPECT_TRUE(r.errors.isEmpty());
        EXPECT_EQ(asr->generation(), 2);
        const auto ra = a.records(), rb = b.records();
        ASSERT_EQ(ra.size(), 1u);
        ASSERT_EQ(rb.size(), 1u);
        EXPECT_TRUE(isTaskId(ra[0].taskId) && isTaskId(rb[0].taskId));
        EXPECT_NE(ra[0].taskId, rb[0].taskId);
        EXPECT_TRUE(ra[0].audio == pcm.left(qsizetype(ra[0].audio.size())).toStdString());
        // Exactly the unconfirmed audio, once, in order, then the rest.
        EXPECT_TRUE(rb[0].audio == pcm.mid(250 * 32).toStdString())
            << "second connection got " << rb[0].audio.size() << " bytes";
        EXPECT_TRUE(log.has(QRegularExpression(QStringLiteral("ASR connection lost \\(") +
                                               QString::fromUtf8(c.reason) +
                                               R"(\), trying a new one with \d+\.\ds of audio)")))
            << log.text().toStdString();
    }
}

TEST(AsrClient, SecondDropGivesUpButKeepsWhatWasHeard) {
    Service s(R"({"connections":[
        {"drop_after_bytes":9600,"steps":[{"at_ms":150,"final":"one.","end_ms":100}]},
        {"drop_after_bytes":3200}]})");
    Dictation c(s);
    ASSERT_TRUE(c.log.waitFor(kStarted));
    feed(*c.asr, pattern(32000));
    ASSERT_TRUE(waitUntil([&] { return c.r.errors.size() == 1; }, "the error"));
    EXPECT_TRUE(c.r.errors[0].first.startsWith("recv: 127.0.0.1: closed by the service (1011"));
    EXPECT_FALSE(c.r.errors[0].second.has_value());
    c.asr->send(pattern(640));  // dropped now
    EXPECT_EQ(c.asr->keptBytes(), 0);
    roundTrip(s);
    EXPECT_EQ(s.records().size(), 3u) << "no third connection (besides the probe's)";
    ASSERT_TRUE(c.finish(2.0));
    EXPECT_EQ(c.r.completions.front(), QStringLiteral("one."));
    EXPECT_EQ(c.r.errors.size(), 1);
}

// A client that has given up completes once, at once, and its start and finish timers
// do nothing after that.
TEST(AsrClient, NoTaskMeansOneEmptyCompletion) {
    struct Case {
        const char* name;
        int startMs;
        bool sendFirst;
        const char* error;
        size_t connections;
    } cases[] = {
        // task-started never comes: one new connection, then the error.
        {"no start", 200, true, "no answer in 0.2s", 2},
        // the finish timer runs out before any task: the error, and no second try.
        {"finish first", 700, false, "no task within 0.5s", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Service s(R"({"connections":[{"never_start":true}]})");
        auto t = fastTiming();
        t.startMs = c.startMs;
        t.finishGraceMs = 200;
        auto asr = client(s, {}, t);
        Recorder r;
        r.attach(*asr);
        asr->connect();
        if (c.sendFirst) {
            asr->send(pattern(3200));
            ASSERT_TRUE(waitUntil([&] { return r.errors.size() == 1; }, "the error"));
        }
        asr->finish(0.3, r.completion());
        ASSERT_TRUE(got(r, 1, 1));
        EXPECT_EQ(r.errors[0].first, QString::fromUtf8(c.error));
        EXPECT_FALSE(r.errors[0].second.has_value());
        EXPECT_EQ(r.completions.front(), QString());
        harness::passTimersDue(std::chrono::milliseconds(std::max(c.startMs, 500)));
        EXPECT_EQ(r.completions.size(), 1);
        EXPECT_EQ(r.errors.size(), 1);
        EXPECT_EQ(s.records().size(), c.connections);
    }
}

TEST(AsrClient, ReleaseBeforeTheTaskStartedSendsFinishOnceItHas) {
    Service s(
        R"({"connections":[{"start_delay_ms":300,"steps":[{"at_finish":true,"final":"late words."}]}]})");
    Dictation c(s);
    const QByteArray pcm = pattern(6400);
    feed(*c.asr, pcm);
    ASSERT_TRUE(c.finish(2.0));
    EXPECT_EQ(c.r.completions.front(), QStringLiteral("late words."));
    const auto recs = s.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_TRUE(recs[0].audio == pcm.toStdString());
    EXPECT_TRUE(recs[0].finishReceived);
    EXPECT_TRUE(c.log.has(QRegularExpression(R"(ASR task started in \d+ms, after the release)")));
}

TEST(AsrClient, FinishThatNeverCompletesUsesWhatItHas) {
    Service s(R"({"connections":[{"never_finish":true,"steps":[
        {"at_ms":100,"final":"hello.","end_ms":100},{"at_ms":200,"partial":"and more"}]}]})");
    Dictation c(s);
    ASSERT_TRUE(c.log.waitFor(kStarted));
    feed(*c.asr, pattern(12800));
    ASSERT_TRUE(waitUntil([&] { return c.r.partials.contains("and more"); }, "the partial"));
    ASSERT_TRUE(c.finish(0.3));
    EXPECT_EQ(c.r.completions.front(), QStringLiteral("hello. and more"));
    // The unfinished sentence counts as final.
    EXPECT_EQ(c.r.sentences, (QStringList{"hello.", "and more"}));
    EXPECT_TRUE(c.r.errors.isEmpty());
}

// Refused upgrades (any of the four codes, or a wrong token), the service's 4008 close and a
// failed task give up at once with their code or message, keep what was heard, and are never
// tried again.
TEST(AsrClient, RefusalsAndFailedTasksGiveUpAtOnce) {
    const std::string
        any = R"({"connections":[{}]})",
        kept = R"({"connections":[{"steps":[{"at_ms":100,"final":"kept.","end_ms":100},)";
    const struct {
        int status;  // the upgrade's answer; 0: accepted
        const char* token;
        std::string script;
        std::optional<int> refused;
        const char* reason;  // a pattern
        const char* heard;
    } cases[] = {
        {401, "test-token", any, 401, R"(^recv: http 401 127\.0\.0\.1: )", ""},
        {402, "test-token", any, 402, R"(^recv: http 402 127\.0\.0\.1: )", ""},
        {403, "test-token", any, 403, R"(^recv: http 403 127\.0\.0\.1: )", ""},
        {429, "test-token", any, 429, R"(^recv: http 429 127\.0\.0\.1: )", ""},
        {0, "not-the-token", any, 401, "", ""},
        {0, "test-token", R"({"connections":[{"steps":[{"at_ms":0,"close":4008}]}]})", 429, "", ""},
        {0,
         "test-token",
         kept + R"({"at_ms":200,"fail":"InvalidAudio","message":"the audio is bad"}]}]})",
         {},
         "^InvalidAudio: the audio is bad$",
         "kept."},
        {0,
         "test-token",
         kept +
             R"({"at_ms":200,"raw_text":"{\"header\":{\"event\":\"task-failed\",\"error_code\":42,\"error_message\":null}}"}]}]})",
         {},
         "^42: null$",
         "kept."},
        {0,
         "test-token",
         kept + R"({"at_ms":200,"raw_text":"{\"header\":{\"event\":\"task-failed\"}}"}]}]})",
         {},
         "^: $",
         "kept."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " " << c.token << " " << c.script);
        std::atomic<int> upgrades{0};
        vserver::Authenticator auth = [&, status = c.status](const vserver::Request& req) {
            ++upgrades;
            if (status) return vserver::AuthResult{unsigned(status), {}, "refused"};
            return vserver::developerTokenAuth("test-token")(req);
        };
        Service s(c.script, {}, auth);
        auto asr = QwenASR::create({}, 400, fastTiming(), s.request(c.token));
        Recorder r;
        r.attach(*asr);
        asr->connect();
        feed(*asr, pattern(12800));
        ASSERT_TRUE(waitUntil([&] { return r.errors.size() == 1; }, "giving up"));
        EXPECT_EQ(r.errors[0].second, c.refused);
        EXPECT_TRUE(
            QRegularExpression(QString::fromUtf8(c.reason)).match(r.errors[0].first).hasMatch())
            << r.errors[0].first.toStdString();
        roundTrip(s);
        EXPECT_EQ(upgrades.load(), 2) << "never retried (the probe is the second)";
        asr->finish(1.0, r.completion());
        ASSERT_TRUE(got(r, 1));
        EXPECT_EQ(r.completions.front(), QString::fromUtf8(c.heard));
    }
}

TEST(AsrClient, GarbageAndBinaryFramesFromTheServiceAreIgnored) {
    Service s(R"({"connections":[{"double_start":true,"steps":[
        {"at_ms":0,"raw_text":"not json at all"},
        {"at_ms":0,"raw_text":"[1,2,3]"},
        {"at_ms":0,"raw_text":"{\"header\":5}"},
        {"at_ms":0,"raw_text":"{\"payload\":{}}"},
        {"at_ms":0,"raw_text":"{\"header\":{\"event\":\"something-else\"}}"},
        {"at_ms":0,"raw_binary":"\u0001\u0002binary"},
        {"at_ms":50,"raw_text":"{\"header\":{\"event\":\"result-generated\"}}"},
        {"at_ms":50,"raw_text":"{\"header\":{\"event\":\"result-generated\"},\"payload\":{\"output\":{\"sentence\":{\"text\":5,\"sentence_end\":\"yes\",\"end_time\":\"x\"}}}}"},
        {"at_ms":100,"final":"Real one.","end_ms":100},
        {"at_ms":1000,"raw_text":"{\"header\":{\"event\":\"result-generated\"},\"payload\":{\"output\":{\"sentence\":{\"text\":\"neg.\",\"sentence_end\":true,\"end_time\":-5}}}}"},
        {"at_ms":1000,"raw_text":"{\"header\":{\"event\":\"result-generated\"},\"payload\":{\"output\":{\"sentence\":{\"text\":\" huge.\\n\",\"sentence_end\":true,\"end_time\":1e300}}}}"}
    ]}]})");
    Dictation c(s);
    const QByteArray pcm = pattern(32000);
    ASSERT_TRUE(c.log.waitFor(kStarted));
    feed(*c.asr, pcm);
    ASSERT_TRUE(waitUntil([&] { return c.r.sentences.size() == 3; }, "three sentences"));
    EXPECT_EQ(c.r.sentences, (QStringList{"Real one.", "neg.", "huge."}));
    ASSERT_EQ(c.r.metaEnds.size(), 3);
    EXPECT_FALSE(c.r.metaEnds[1].has_value()) << "a negative end time counts as none";
    EXPECT_EQ(c.asr->keptBytes(), 0) << "an absurd end time forgets everything, without overflow";
    EXPECT_EQ(c.r.partials.first(), QString()) << "missing or mistyped fields: an empty partial";
    ASSERT_TRUE(c.finish(1.0));
    EXPECT_EQ(c.r.completions.front(), QStringLiteral("Real one. neg. huge."));
    EXPECT_TRUE(c.r.errors.isEmpty());
    EXPECT_EQ(c.asr->generation(), 1);
    const auto recs = s.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_TRUE(recs[0].audio == pcm.toStdString())
        << "a second task-started must not replay the audio again";
}

// Sits between the client and the service, counting the client's pings; on its first
// connection it can swallow them, as a link that went dead would.
class PingProxy {
  public:
    explicit PingProxy(uint16_t upstream) : upstream_(upstream) {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] { accept(); });
        server_.listen(QHostAddress::LocalHost, 0);
    }
    QwenASR::RequestProvider request() const {
        const QUrl u(QStringLiteral("ws://127.0.0.1:%1/asr").arg(server_.serverPort()));
        return [u] {
            QNetworkRequest r(u);
            r.setRawHeader("Authorization", "Bearer test-token");
            return r;
        };
    }
    int pings = 0;
    bool swallowFirst = false;

  private:
    struct Link {
        QByteArray pending;
        bool upgraded = false;
        bool swallow = false;
    };
    void accept() {
        while (QTcpSocket* in = server_.nextPendingConnection()) {
            in->setParent(&server_);
            auto* out = new QTcpSocket(in);
            auto link = std::make_shared<Link>();
            link->swallow = swallowFirst && connections_++ == 0;
            QObject::connect(out, &QTcpSocket::readyRead, in,
                             [in, out] { in->write(out->readAll()); });
            auto pump = [this, in, out, link] {
                if (out->state() != QAbstractSocket::ConnectedState) return;
                link->pending += in->readAll();
                forward(*link, *out);
            };
            QObject::connect(in, &QTcpSocket::readyRead, out, pump);
            QObject::connect(out, &QTcpSocket::connected, out, pump);
            QObject::connect(in, &QTcpSocket::disconnected, out, &QTcpSocket::disconnectFromHost);
            QObject::connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
            out->connectToHost(QHostAddress::LocalHost, upstream_);
        }
    }
    // Passes whole WebSocket frames on, after the upgrade request.
    void forward(Link& l, QTcpSocket& out) {
        QByteArray& b = l.pending;
        if (!l.upgraded) {
            const qsizetype end = b.indexOf("\r\n\r\n");
            if (end < 0) return;
            out.write(b.left(end + 4));
            b.remove(0, end + 4);
            l.upgraded = true;
        }
        for (;;) {
            if (b.size() < 2) return;
            qsizetype header = 2;
            quint64 length = quint8(b[1]) & 0x7f;
            if (length == 126 || length == 127) {
                const int bytes = length == 126 ? 2 : 8;
                if (b.size() < 2 + bytes) return;
                length = 0;
                for (int i = 0; i < bytes; ++i) length = length << 8 | quint8(b[2 + i]);
                header += bytes;
            }
            if (quint8(b[1]) & 0x80) header += 4;  // the client's mask
            if (quint64(b.size()) < header + length) return;
            const QByteArray frame = b.left(header + qsizetype(length));
            b.remove(0, frame.size());
            if ((quint8(frame[0]) & 0x0f) == 0x9) {
                ++pings;
                if (l.swallow) continue;
            }
            out.write(frame);
        }
    }
    QTcpServer server_;
    uint16_t upstream_;
    int connections_ = 0;
};

// Unanswered pings replace the connection; on the new one they go out and come back, round
// after round, and hold it.
TEST(AsrClient, UnansweredKeepAlivePingsReplaceTheConnection) {
    Service s(R"({"connections":[{"steps":[{"at_finish":true,"final":"still here."}]}]})");
    PingProxy proxy(s.port());
    proxy.swallowFirst = true;
    auto t = fastTiming();
    t.keepAliveMs = 30;
    t.pongMs = 1000;  // generous: a loaded machine may answer late
    LogReader log;
    auto asr = QwenASR::create({}, 400, t, proxy.request());
    Recorder r;
    r.attach(*asr);
    asr->connect();
    ASSERT_TRUE(log.waitFor("ASR connection lost (no pong in 1s)"));
    ASSERT_TRUE(log.waitFor(kStarted, 2));
    const int before = proxy.pings;
    ASSERT_TRUE(waitUntil([&] { return proxy.pings >= before + 3; }, "three more pings"));
    asr->send(pattern(640));
    asr->finish(1.0, r.completion());
    ASSERT_TRUE(got(r, 1));
    EXPECT_EQ(r.completions.front(), QStringLiteral("still here."));
    EXPECT_TRUE(r.errors.isEmpty());
    EXPECT_EQ(asr->generation(), 2);
    EXPECT_EQ(log.count("no pong"), 1);
}

// Short protocol timers, so waiting past all of them is quick.
QwenASR::Timing quickTiming() {
    QwenASR::Timing t;
    t.startMs = 250;
    t.keepAliveMs = 50;
    t.pongMs = 150;
    t.finishGraceMs = 50;
    return t;
}

// The start, finish, keep-alive and pong timers of a quickTiming() client have all had
// their moment, and whatever they posted has run.
void passClientTimers() {
    harness::passTimersDue(300ms);
    harness::drainEvents();
}

// After cancel nothing is reported, whatever the client was doing.
TEST(AsrClient, NothingIsReportedAfterCancel) {
    using Reach = std::function<void(const Service&, QwenASR&, Recorder&, const LogReader&)>;
    const Reach connecting = [](auto&, auto&, auto&, auto&) {};
    struct Stage {
        const char* name;
        const char* script;
        bool refused;
        Reach reach;  // after connect()
        int connections = -1;
    } stages[] = {
        {"before connecting", R"({"connections":[{}]})", false, nullptr, 0},
        {"while connecting", R"({"connections":[{}]})", false, connecting},
        {"waiting for the task",
         R"({"connections":[{"start_delay_ms":300,"steps":[{"at_ms":0,"partial":"late"}]}]})",
         false,
         [](const Service& s, QwenASR& asr, Recorder&, const LogReader&) {
             feed(asr, pattern(3200));
             ASSERT_TRUE(waitUntil([&] { return s.records().size() == 1; }, "run-task there"));
         }},
        {"running",
         R"({"connections":[{"steps":[{"at_ms":50,"partial":"hel"},{"at_ms":300,"final":"hello."}]}]})",
         false,
         [](const Service&, QwenASR& asr, Recorder& r, const LogReader& log) {
             ASSERT_TRUE(log.waitFor(kStarted));
             asr.send(pattern(3200));
             ASSERT_TRUE(waitUntil([&] { return !r.partials.isEmpty(); }, "a partial"));
         }},
        {"finishing",
         R"({"connections":[{"finish_delay_ms":5000,"steps":[{"at_finish":true,"final":"late."}]}]})",
         false,
         [](const Service& s, QwenASR& asr, Recorder& r, const LogReader& log) {
             ASSERT_TRUE(log.waitFor(kStarted));
             asr.send(pattern(3200));
             asr.finish(1.0, r.completion());
             ASSERT_TRUE(
                 waitUntil([&] { return !s.records().empty() && s.records()[0].finishReceived; },
                           "finish-task there"));
         }},
        {"inside the callback of a lost connection",
         R"({"connections":[{"drop_after_bytes":3200}]})", false,
         [](const Service&, QwenASR& asr, Recorder& r, const LogReader& log) {
             asr.onPartial = [&r, &asr](const QString&) {
                 ++r.calls;
                 asr.cancel();  // the loss clears the partial just before reconnecting
             };
             ASSERT_TRUE(log.waitFor(kStarted));
             feed(asr, pattern(6400));
             ASSERT_TRUE(waitUntil([&] { return r.calls == 1; }, "the loss"));
         },
         1},
        {"after giving up", R"({"connections":[{}]})", true,
         [](const Service&, QwenASR&, Recorder& r, const LogReader&) {
             ASSERT_TRUE(waitUntil([&] { return r.errors.size() == 1; }, "the refusal"));
         }},
    };
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        vserver::Authenticator refuse = [](const vserver::Request&) {
            return vserver::AuthResult{403, {}, "no"};
        };
        Service s(stage.script, {}, stage.refused ? refuse : vserver::Authenticator{});
        LogReader log;
        auto asr = client(s, {}, quickTiming());
        Recorder r;
        r.attach(*asr);
        if (!stage.reach) asr->cancel();
        asr->connect();
        if (stage.reach) stage.reach(s, *asr, r, log);
        if (HasFatalFailure()) return;
        asr->cancel();
        const int calls = r.calls;
        asr->send(pattern(640));
        asr->finish(0.1, r.completion());
        passClientTimers();
        EXPECT_EQ(r.calls, calls);  // no partial, sentence, error or completion
        if (stage.connections >= 0) {
            EXPECT_EQ(s.records().size(), size_t(stage.connections)) << "no reconnect";
        }
    }
}

TEST(AsrClient, DroppedClientGetsNoCallbacks) {
    Service s(
        R"({"connections":[{"steps":[{"at_ms":0,"partial":"a"},{"at_ms":100,"final":"b."}]}]})");
    Recorder r;
    {
        auto asr = client(s, {}, quickTiming());
        r.attach(*asr);
        asr->connect();
        asr->send(pattern(6400));
    }  // dropped by its owner while events are on their way
    passClientTimers();
    EXPECT_EQ(r.calls, 0);
}

TEST(AsrClient, KeptAudioIsCappedAt120SecondsDroppingWholeOldChunks) {
    auto asr = QwenASR::create({}, 400, fastTiming(),
                               [] { return QNetworkRequest(QUrl("ws://127.0.0.1:1/asr")); });
    const QByteArray second = pattern(32000);
    for (int i = 0; i < 125; ++i) asr->send(second);  // nothing started: all of it is kept
    EXPECT_EQ(asr->heardBytes(), 125 * 32000);
    EXPECT_EQ(asr->keptBytes(), QwenASR::kKeptLimit);
    asr->send(second.left(100));
    EXPECT_EQ(asr->keptBytes(), QwenASR::kKeptLimit - 32000 + 100);
    asr->cancel();
}

TEST(AsrClient, SentencesJoinWithoutSeparatorExceptBetweenSpacedWords) {
    const std::pair<QStringList, const char*> cases[] = {
        {{"你好。", "再见。"}, "你好。再见。"},
        {{"Hello world.", "How are you?"}, "Hello world. How are you?"},
        {{"我用", "Qwen", "写的"}, "我用Qwen写的"},
        {{"ends with space ", "next"}, "ends with space next"},
        {{"so", ", then"}, "so, then"},
        {{"", "a", ""}, "a"},
    };
    for (const auto& [parts, joined] : cases)
        EXPECT_EQ(QwenASR::joinSentences(parts), QString::fromUtf8(joined));
}

}  // namespace

// The "asr" endpoint's side of the protocol, driven by a plain WebSocket client:
// hostile or careless clients end their own session with "task-failed" and
// nobody else's; the relay forwards to an upstream recogniser.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "AsrProtocol.h"
#include "AsrTestUtil.h"
#include "PocketsphinxEngine.h"
#include "RelayEngine.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using json = nlohmann::json;
using namespace asrtest;
using harness::waitUntil;

// A blocking client speaking raw frames.
class Raw {
  public:
    explicit Raw(uint16_t port, const std::string& token = "test-token") {
        beast::get_lowest_layer(ws_).connect({asio::ip::make_address("127.0.0.1"), port});
        ws_.set_option(websocket::stream_base::decorator([token](websocket::request_type& req) {
            req.set(beast::http::field::authorization, "Bearer " + token);
        }));
        beast::error_code ec;
        ws_.handshake(response_, "127.0.0.1", "/asr", ec);
        open_ = !ec;
    }
    bool open() const { return open_; }

    void text(const std::string& t) {
        beast::error_code ec;
        ws_.text(true);
        ws_.write(asio::buffer(t), ec);
    }
    void binary(const std::string& b) {
        beast::error_code ec;
        ws_.binary(true);
        ws_.write(asio::buffer(b), ec);
    }
    void runTask(const std::string& parameters = "{}", const std::string& id = "T1") {
        text(
            R"({"header":{"action":"run-task","task_id":")" + id +
            R"(","streaming":"duplex"},"payload":{"task_group":"audio","task":"asr","function":"recognition","parameters":)" +
            parameters + R"(,"input":{}}})");
    }
    void finishTask(const std::string& id = "T1") { text(vserver::asrproto::finishTask(id)); }

    // The next event (text frames only); none when the connection ended or time ran out.
    std::optional<json> next(int ms = 5000) {
        for (;;) {
            beast::flat_buffer buf;
            beast::error_code ec;
            bool done = false;
            ws_.async_read(buf, [&](beast::error_code e, size_t) {
                ec = e;
                done = true;
            });
            io_.restart();
            io_.run_for(std::chrono::milliseconds(ms));
            if (!done) {
                beast::get_lowest_layer(ws_).cancel();
                io_.restart();
                io_.run();
                return std::nullopt;
            }
            if (ec) {
                closed_ = true;
                return std::nullopt;
            }
            if (!ws_.got_text()) continue;
            return json::parse(beast::buffers_to_string(buf.data()), nullptr, false);
        }
    }
    // Reads to the first event with this name.
    std::optional<json> until(const std::string& event, int ms = 5000) {
        while (auto e = next(ms))
            if ((*e)["header"]["event"] == event) return e;
        return std::nullopt;
    }
    bool closedByServer() {
        while (next(3000)) {
        }
        return closed_;
    }

  private:
    asio::io_context io_;
    websocket::stream<beast::tcp_stream> ws_{io_};
    websocket::response_type response_;
    bool open_ = false, closed_ = false;
};

void expectFailed(Raw& c, const std::string& code, const std::string& messagePart) {
    const auto e = c.until("task-failed");
    ASSERT_TRUE(e.has_value()) << "no task-failed for " << messagePart;
    EXPECT_EQ((*e)["header"]["error_code"], code);
    const std::string message = (*e)["header"]["error_message"];
    EXPECT_NE(message.find(messagePart), std::string::npos) << message;
    EXPECT_TRUE(c.closedByServer());
}

const char* kScript = R"({"connections":[{"finish_delay_ms":300,"steps":[
    {"at_ms":100,"partial":"o"},{"at_ms":100,"final":"ok.","end_ms":90},{"at_finish":true,"final":"done."}]}]})";

TEST(AsrServer, ADictationsWordsAreCountedOnceForItsUser) {
    std::mutex m;
    std::vector<std::pair<std::string, int64_t>> counted;
    vserver::AsrLimits limits;
    limits.countWords = [&](const std::string& user, int64_t words) {
        std::lock_guard lock(m);
        counted.emplace_back(user, words);
    };
    // Words per user, however many calls brought them.
    auto countedNow = [&] {
        std::lock_guard lock(m);
        std::map<std::string, int64_t> sum;
        for (const auto& [user, words] : counted) sum[user] += words;
        return sum;
    };
    Service s(R"({"connections":[{"steps":[{"at_ms":100,"partial":"o"},)"
              R"({"at_ms":100,"final":"one two three.","end_ms":90},)"
              R"({"at_finish":true,"final":"four."}]},)"
              R"({"steps":[{"at_ms":100,"final":"five six.","end_ms":90}]}]})",
              limits);
    {
        Raw c(s.port());
        c.runTask();
        ASSERT_TRUE(c.until("task-started"));
        c.binary(std::string(3200, '\0'));
        c.finishTask();
        ASSERT_TRUE(c.until("task-finished"));
        using Counts = std::map<std::string, int64_t>;
        EXPECT_EQ(countedNow(), (Counts{{"dev", 4}}));
    }
    // A client gone after a sentence still pays for the words it was given, once.
    harness::LogReader gone(serverLog());
    {
        Raw c(s.port());
        c.runTask();
        ASSERT_TRUE(c.until("task-started"));
        c.binary(std::string(3200, '\0'));
        ASSERT_TRUE(c.until("result-generated"));
    }
    ASSERT_TRUE(harness::waitUntil([&] { return countedNow()["dev"] >= 6; },
                                   QStringLiteral("the second dictation to be counted")));
    // Counted as the sentence went out; the session's end adds nothing more.
    ASSERT_TRUE(gone.waitFor(QStringLiteral("client went away")));
    EXPECT_EQ(countedNow()["dev"], 6);
}

TEST(AsrServer, ProtocolErrorsEndOnlyTheSessionThatMadeThem) {
    vserver::AsrLimits limits;
    limits.maxTextBytes = 4096;
    Service s(kScript, limits);
    // A well-behaved client runs alongside every bad one; what it asks for outside the sane
    // range is clamped or left out.
    Raw good(s.port());
    good.runTask(R"({"max_sentence_silence":50,"vocabulary":{"Velmora":50,"x":"heavy"}})",
                 "ABC-123_x");
    const auto started = good.until("task-started");
    ASSERT_TRUE(started);
    EXPECT_EQ((*started)["header"]["task_id"], "ABC-123_x");
    good.binary(std::string(1600, '\1'));

    struct Case {
        std::function<void(Raw&)> act;
        const char* code;
        const char* message;
    } cases[] = {
        {[](Raw& c) { c.text("not json"); }, "bad-message", "not a JSON object"},
        {[](Raw& c) { c.text("[1,2]"); }, "bad-message", "not a JSON object"},
        {[](Raw& c) { c.text(R"({"payload":{}})"); }, "bad-message", "no header"},
        {[](Raw& c) { c.text(R"({"header":{}})"); }, "bad-message", "header.action is missing"},
        {[](Raw& c) { c.text(R"({"header":{"action":"dance"}})"); }, "bad-message",
         "unknown action \"dance\""},
        {[](Raw& c) { c.text(std::string(5000, ' ') + "{}"); }, "bad-message", "larger than 4096"},
        {[](Raw& c) {
             c.text(R"({"header":{"action":"run-task","task_id":"T1"},"x":)" +
                    std::string(40, '[') + std::string(40, ']') + "}");
         },
         "bad-message", "not a JSON object"},
        {[](Raw& c) { c.binary("abcd"); }, "bad-audio", "audio before run-task"},
        {[](Raw& c) { c.finishTask(); }, "bad-message", "finish-task before run-task"},
        {[](Raw& c) {
             c.runTask();
             c.binary("abc");
         },
         "bad-audio", "odd length (3 bytes)"},
        {[](Raw& c) {
             c.runTask();
             c.runTask();
         },
         "bad-message", "run-task sent twice"},
        {[](Raw& c) {
             c.runTask();
             c.finishTask("OTHER");
         },
         "bad-message", "names another task"},
        {[](Raw& c) {
             c.runTask();
             c.finishTask();
             c.binary("ab");
         },
         "bad-audio", "audio after finish-task"},
        {[](Raw& c) { c.runTask(R"({"sample_rate":8000})"); }, "bad-parameter",
         "sample_rate must be 16000"},
        {[](Raw& c) { c.runTask(R"({"sample_rate":"16000"})"); }, "bad-parameter",
         "sample_rate must be 16000"},
        {[](Raw& c) { c.runTask(R"({"format":"wav"})"); }, "bad-parameter", "format must be"},
        {[](Raw& c) { c.runTask(R"({"max_sentence_silence":"long"})"); }, "bad-parameter",
         "max_sentence_silence"},
        {[](Raw& c) { c.runTask(R"({"vocabulary":["a"]})"); }, "bad-parameter",
         "vocabulary must be an object"},
        {[](Raw& c) { c.runTask("{}", "has space"); }, "bad-parameter", "task_id"},
        {[](Raw& c) { c.runTask("{}", std::string(129, 'A')); }, "bad-parameter", "task_id"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.message);
        Raw bad(s.port());
        ASSERT_TRUE(bad.open());
        k.act(bad);
        expectFailed(bad, k.code, k.message);
    }
    good.binary(std::string(1600, '\1'));
    good.finishTask("ABC-123_x");
    const auto finished = good.until("task-finished");
    ASSERT_TRUE(finished) << "the good session was disturbed";
    const auto recs = s.records();
    const auto rec = std::find_if(recs.begin(), recs.end(),
                                  [](const auto& r) { return r.taskId == "ABC-123_x"; });
    ASSERT_NE(rec, recs.end());
    EXPECT_EQ(rec->params.maxSentenceSilenceMs, 200);
    EXPECT_EQ(rec->params.vocabulary, (std::vector<std::pair<std::string, int>>{{"Velmora", 50}}));
}

// Each limit or deadline ends the session that reached it with its code, saying which.
TEST(AsrServer, LimitsAndDeadlinesEndTheSessionClearly) {
    const auto started = [](Raw& c, const std::string& id = "T1") {
        c.runTask("{}", id);
        ASSERT_TRUE(c.until("task-started"));
    };
    const auto deadlines = [](vserver::AsrLimits& l) {
        l.idleSeconds = 0.3;
        l.startWaitSeconds = 0.3;
        l.maxTaskSeconds = 1;
    };
    struct Case {
        const char* message;
        std::function<void(vserver::AsrLimits&)> limit;
        const char* script;
        bool busy;  // another session holds the service
        std::function<void(Raw&)> act;
        const char* code;
    };
    const Case cases[] = {
        {"faster than", [](auto& l) { l.framesPerSecond = 100, l.frameBurst = 50; }, kScript, false,
         [&](Raw& c) {
             started(c);
             for (int i = 0; i < 200; ++i) c.binary("ab");
         },
         "too-many-frames"},
        {"at most 1.0s", [](auto& l) { l.maxAudioBytes = 32000; }, kScript, false,
         [&](Raw& c) {
             started(c);
             c.binary(std::string(30000, '\0'));
             c.binary(std::string(4000, '\0'));
         },
         "too-much-audio"},
        {"larger than 1000 bytes", [](auto& l) { l.maxFrameBytes = 1000; }, kScript, false,
         [&](Raw& c) {
             started(c);
             c.binary(std::string(2000, '\0'));
         },
         "bad-audio"},
        // An engine that never takes the audio: the backlog is bounded.
        {"behind", [](auto& l) { l.maxBacklogBytes = 6400; },
         R"({"connections":[{"never_start":true}]})", false,
         [](Raw& c) {
             c.runTask();
             for (int i = 0; i < 4; ++i) c.binary(std::string(3200, '\0'));
         },
         "overloaded"},
        {"too many", [](auto& l) { l.maxSessions = 1; }, kScript, true,
         [](Raw& c) { c.runTask("{}", "T2"); }, "overloaded"},
        {"no run-task within 0.3s", deadlines, kScript, false, [](Raw&) {}, "timeout"},
        {"no recogniser came free within 0.3s", deadlines,
         R"({"connections":[{"never_start":true}]})", false, [](Raw& c) { c.runTask(); },
         "overloaded"},
        {"no audio for 0.3s", deadlines, kScript, false, [&](Raw& c) { started(c); }, "timeout"},
        {"the task ran longer than 1s", deadlines, R"({"connections":[{"never_finish":true}]})",
         false,
         [&](Raw& c) {
             started(c);
             c.binary(std::string(3200, '\0'));
             c.finishTask();
         },
         "timeout"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.message);
        vserver::AsrLimits limits;
        k.limit(limits);
        Service s(k.script, limits);
        std::optional<Raw> busy;
        if (k.busy) started(busy.emplace(s.port()));
        Raw c(s.port());
        ASSERT_TRUE(c.open());
        k.act(c);
        if (HasFatalFailure()) return;
        expectFailed(c, k.code, k.message);
        if (busy) {
            busy->finishTask();
            EXPECT_TRUE(busy->until("task-finished"));
        }
    }
}

// Speech from flite as 16 kHz PCM; empty when flite or sox is missing.
std::string speech(const QString& text) {
    const QString wav = testenv::home() + "/speech.wav", raw = testenv::home() + "/speech.raw";
    if (QProcess::execute("flite", {"-voice", "slt", "-t", text, "-o", wav}) != 0 ||
        QProcess::execute("sox", {wav, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed", "-t",
                                  "raw", raw}) != 0)
        return {};
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray pcm = f.readAll();
    // A second of quiet after the words, as a speaker leaves it.
    return pcm.toStdString() + std::string(32000, '\0');
}

// Streams `pcm` as one task and returns its final sentences.
std::string dictate(uint16_t port, const std::string& pcm, const std::string& id,
                    const std::string& vocabulary = "{}") {
    Raw c(port);
    c.runTask(R"({"max_sentence_silence":600,"vocabulary":)" + vocabulary + "}", id);
    if (!c.until("task-started", 20000)) return "<no task-started>";
    for (size_t off = 0; off < pcm.size(); off += 3200) c.binary(pcm.substr(off, 3200));
    c.finishTask(id);
    std::string text;
    while (auto e = c.next(60000)) {
        const auto& h = (*e)["header"];
        if (h["event"] == "task-finished") return text;
        if (h["event"] == "task-failed") return "<failed>";
        const auto& sentence = (*e)["payload"]["output"]["sentence"];
        if (sentence.value("sentence_end", false)) text += sentence.value("text", "") + " ";
    }
    return "<no task-finished>";
}

TEST(AsrPocketsphinx, DecodersFollowSpeechAndHearTheSameAudioAlike) {
    const std::string a = speech("Please send the quarterly report to the finance team today.");
    const std::string b = speech("Seven green boxes arrived yesterday afternoon.");
    if (a.empty() || b.empty()) GTEST_SKIP() << "flite and sox are needed";
    auto opts = servertest::RunningServer::defaults();
    opts.workerThreads = 1;
    servertest::RunningServer rs(opts);
    serverLog();
    vserver::AsrOptions o;
    o.decoders = 1;
    std::string error;
    auto engine = vserver::makeAsrEngine(o, rs.server(), error);
    ASSERT_TRUE(engine) << error;
    vserver::registerAsr(rs.server(), engine);
    rs.start();

    // A session that only listens holds no decoder: another one's dictation goes through.
    Raw quiet(rs.port());
    quiet.runTask("{}", "Q1");
    ASSERT_TRUE(quiet.until("task-started", 20000));
    quiet.binary(std::string(32000, '\0'));
    const std::string first = dictate(rs.port(), a, "A1");
    EXPECT_NE(first.find("report"), std::string::npos) << first;
    quiet.finishTask("Q1");
    EXPECT_TRUE(quiet.until("task-finished", 20000));

    // Whatever came before (hotwords too, one the dictionary lacks spelled out by letter
    // to sound), the same audio gives the same words.
    harness::LogReader log(serverLog());
    EXPECT_FALSE(dictate(rs.port(), b, "B1", R"({"Velmora":50,"boxes":20})").empty());
    EXPECT_TRUE(log.waitFor(QStringLiteral(R"(words spelled out by letter-to-sound: "Velmora")")));
    EXPECT_EQ(dictate(rs.port(), a, "A2"), first);
}

TEST(AsrServer, BadScriptsUpstreamsAndEnginesAreRefused) {
    std::string error;
    for (const char* bad :
         {"[]", R"({"connections":[]})", R"({"connections":[{"steps":[{"at_ms":1}]}]})"})
        EXPECT_FALSE(vserver::ScriptedEngine::parse(bad, error)) << bad;
    EXPECT_NE(error.find("a step needs"), std::string::npos);
    const auto u = vserver::RelayEngine::parseUrl("wss://[::1]", error);
    ASSERT_TRUE(u);
    EXPECT_TRUE(u->tls);
    EXPECT_EQ(u->host, "::1");
    EXPECT_EQ(u->port, "443");
    EXPECT_EQ(u->path, "/");
    for (const char* bad : {"http://x/asr", "ws://host:port/asr", "ws:///asr"})
        EXPECT_FALSE(vserver::RelayEngine::parseUrl(bad, error)) << bad;

    servertest::RunningServer rs;
    vserver::AsrOptions o;
    o.engine = "scripted";
    EXPECT_FALSE(vserver::makeAsrEngine(o, rs.server(), error));
    o.scriptFile = "/nonexistent/script.json";
    EXPECT_FALSE(vserver::makeAsrEngine(o, rs.server(), error));
    o.engine = "pocketsphinx";
    o.modelDir = "/nonexistent";
    EXPECT_FALSE(vserver::makeAsrEngine(o, rs.server(), error));
    EXPECT_NE(error.find("missing"), std::string::npos);
}

TEST(AsrServer, HotwordsKeepTheirSpelling) {
    const std::vector<std::pair<std::string, int>> vocab{
        {"Kubernetes", 50}, {"New York", 50}, {"york", 3}};
    EXPECT_EQ(vserver::applyHotwordSpelling("deploy kubernetes in new york and york", vocab),
              "deploy Kubernetes in New York and york");
    EXPECT_EQ(vserver::applyHotwordSpelling("", vocab), "");
    EXPECT_EQ(vserver::applyHotwordSpelling("new", vocab), "new");
}

// ---------- relay ----------

struct Relay {
    explicit Relay(const std::string& upstreamUrl, const std::string& key = "test-token") {
        std::string error;
        auto target = vserver::RelayEngine::parseUrl(upstreamUrl, error);
        if (!target) throw std::runtime_error(error);
        vserver::registerAsr(
            front.server(),
            std::make_shared<vserver::RelayEngine>(
                front.server().io(), vserver::RelayEngine::Options{upstreamUrl, key}, *target));
        front.start();
    }
    QwenASR::RequestProvider request() const {
        const QUrl u(QStringLiteral("ws://127.0.0.1:%1/asr").arg(front.port()));
        return [u] {
            QNetworkRequest r(u);
            r.setRawHeader("Authorization", "Bearer test-token");
            return r;
        };
    }
    servertest::RunningServer front;
};

TEST(AsrRelay, UpstreamRefusalsAndAbsenceFailTheTaskClearly) {
    Service upstream(kScript);
    const struct {
        std::string url, key;
        QString says;
    } cases[] = {
        {upstream.url().toString().toStdString(), "wrong-key",
         "upstream-refused: the upstream recogniser refused the connection (http 401)"},
        {"ws://127.0.0.1:1/asr", "test-token",
         "upstream-error: couldn't reach the upstream recogniser (connect:"},
    };
    for (const auto& c : cases) {
        Relay relay(c.url, c.key);
        auto asr = QwenASR::create({}, 400, fastTiming(), relay.request());
        Recorder r;
        r.attach(*asr);
        asr->connect();
        ASSERT_TRUE(waitUntil([&] { return r.errors.size() == 1; }, "the error"));
        EXPECT_TRUE(r.errors[0].first.startsWith(c.says)) << r.errors[0].first.toStdString();
    }
}

// The task goes upstream with its hotwords, the events come back, and an upstream drop lets
// the client reconnect and replay.
TEST(AsrRelay, AnUpstreamDropLetsTheClientReconnectAndReplay) {
    Service upstream(R"({"connections":[{"drop_after_bytes":6400,"steps":[
        {"at_ms":50,"partial":"fir"},{"at_ms":100,"final":"first.","end_ms":100}]},
        {"steps":[{"at_finish":true,"final":"second."}]}]})");
    Relay relay(upstream.url().toString().toStdString());
    auto asr =
        QwenASR::create({{QStringLiteral("Velmora"), 50}}, 400, fastTiming(), relay.request());
    Recorder r;
    r.attach(*asr);
    const QByteArray pcm = pattern(16000);
    harness::LogReader log;
    asr->connect();
    ASSERT_TRUE(log.waitFor(QStringLiteral("ASR task started in ")));
    feed(*asr, pcm);
    asr->finish(2.0, r.completion());
    ASSERT_TRUE(waitUntil([&] { return r.completions.size() == 1; }, "the completion"));
    EXPECT_EQ(r.completions.front(), QStringLiteral("first. second."));
    EXPECT_TRUE(r.errors.isEmpty());
    EXPECT_EQ(asr->generation(), 2);
    EXPECT_TRUE(r.partials.contains("fir"));
    EXPECT_EQ(r.metaEnds.value(0), 100);
    const auto recs = upstream.records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].params.vocabulary,
              (std::vector<std::pair<std::string, int>>{{"Velmora", 50}}));
    EXPECT_EQ(QString::fromStdString(recs[1].taskId), asr->taskId());
    EXPECT_TRUE(recs[1].audio == pcm.mid(100 * 32).toStdString());
    EXPECT_TRUE(recs[1].finishReceived);
}

TEST(AsrRelay, AHostileUpstreamFrameIsIgnoredNotFatal) {
    // Nested far deeper than any event: writing such a value back out recurses once per level.
    const std::string deep = R"({"header":{"event":"task-failed","error_code":)" +
                             std::string(200000, '[') + std::string(200000, ']') + "}}";
    const json steps = json::array({json{{"at_ms", 50}, {"raw_text", deep}},
                                    json{{"at_finish", true}, {"final", "Still here."}}});
    Service upstream(json{{"connections", json::array({json{{"steps", steps}}})}}.dump());
    Relay relay(upstream.url().toString().toStdString());
    auto asr = QwenASR::create({}, 400, fastTiming(), relay.request());
    Recorder r;
    r.attach(*asr);
    asr->connect();
    feed(*asr, pattern(16000));
    asr->finish(2.0, r.completion());
    ASSERT_TRUE(waitUntil([&] { return r.completions.size() == 1; }, "the completion"));
    EXPECT_EQ(r.completions.front(), QStringLiteral("Still here."));
    EXPECT_TRUE(r.errors.isEmpty());
}

}  // namespace

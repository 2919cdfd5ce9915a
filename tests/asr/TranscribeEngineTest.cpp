// The transcription-service engine end to end: the app's recogniser client
// talks to velmora-server's "asr" endpoint, whose engine sends each sentence
// to a scripted OpenAI-compatible service on loopback (answers, delays,
// errors, hostile bodies).
#include <gtest/gtest.h>

#include <QFile>
#include <cmath>

#include "AsrTestUtil.h"
#include "ScriptedServer.h"
#include "TranscribeEngine.h"

namespace {

using namespace asrtest;
using harness::LogReader;
using harness::waitUntil;

const QByteArray kKey = "sk-test-key-4f9a";

// Voice for the server's detector: tone bursts, each followed by a pause longer
// than the client's sentence silence.
QByteArray speech(const std::vector<int>& burstsMs, int pauseMs = 600) {
    QByteArray out;
    auto put = [&](int16_t v) {
        out.append(char(v & 0xFF));
        out.append(char((v >> 8) & 0xFF));
    };
    for (int ms : burstsMs) {
        for (int i = 0; i < ms * 16; ++i) put(int16_t(8000 * std::sin(i * 0.17)));
        for (int i = 0; i < pauseMs * 16; ++i) put(int16_t((i % 7) - 3));
    }
    return out;
}

std::shared_ptr<QwenASR> clientOf(uint16_t port, Vocabulary vocab = {}) {
    const QUrl u(QStringLiteral("ws://127.0.0.1:%1/asr").arg(port));
    return QwenASR::create(std::move(vocab), 300, fastTiming(), [u] {
        QNetworkRequest r(u);
        r.setRawHeader("Authorization", "Bearer test-token");
        return r;
    });
}

class Transcribe {
  public:
    explicit Transcribe(ScriptedServer::Script script, int timeoutMs = 3000, bool partials = false)
        : service_(std::move(script)) {
        serverLog();
        vserver::TranscribeEngine::Options o;
        o.url = service_.url().toStdString() + "/v1/audio/transcriptions";
        o.model = "whisper-test";
        o.key = kKey.toStdString();
        o.timeoutMs = timeoutMs;
        o.partials = partials;
        o.maxAnswerBytes = 4096;
        engine_ = std::make_shared<vserver::TranscribeEngine>(server_.server().workers(), o);
        vserver::registerAsr(server_.server(), engine_);
        server_.start();
    }
    std::shared_ptr<QwenASR> client(Vocabulary vocab = {}) const {
        return clientOf(server_.port(), std::move(vocab));
    }
    const ScriptedServer& service() const { return service_; }

  private:
    ScriptedServer service_;
    servertest::RunningServer server_;
    std::shared_ptr<vserver::TranscribeEngine> engine_;
};

// One dictation: connect, speak, finish; the recorder holds what came back.
void dictate(QwenASR& asr, Recorder& r, const QByteArray& pcm) {
    LogReader log;
    r.attach(asr);
    asr.connect();
    ASSERT_TRUE(log.waitFor(QStringLiteral("ASR task started in ")));
    feed(asr, pcm);
    asr.finish(6.0, r.completion());
}

TEST(TranscribeEngine, SentencesComeBackInOrderWhateverOrderTheServiceAnswers) {
    Transcribe t([](int index, const ScriptedServer::Request&) {
        // The first sentence's answer comes last; a hostile control character is tidied.
        return index == 0 ? ScriptedServer::json(200, R"({"text":" Hello there."})", 600)
                          : ScriptedServer::json(200, R"({"text":"How are\n you?\u0007"})");
    });
    auto asr = t.client({{QStringLiteral("Velmora"), 50}, {QStringLiteral("Qwen"), 3}});
    Recorder r;
    dictate(*asr, r, speech({500, 500}));
    ASSERT_TRUE(waitUntil([&] { return r.completions.size() == 1; }, "the transcript"));
    EXPECT_EQ(r.sentences, (QStringList{"Hello there.", "How are you?"}));
    EXPECT_EQ(r.completions.front(), QStringLiteral("Hello there. How are you?"));
    EXPECT_TRUE(r.errors.isEmpty());

    ASSERT_EQ(t.service().requests().size(), 2);
    const auto& req = t.service().requests().front();
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.path, "/v1/audio/transcriptions");
    EXPECT_EQ(req.headers.value("authorization"), "Bearer " + kKey);
    EXPECT_TRUE(req.headers.value("content-type").startsWith("multipart/form-data; boundary="));
    EXPECT_TRUE(req.body.contains("name=\"model\"\r\n\r\nwhisper-test\r\n"));
    EXPECT_TRUE(req.body.contains("name=\"prompt\"\r\n\r\nVelmora, Qwen\r\n"));
    EXPECT_TRUE(
        req.body.contains("filename=\"sentence.wav\"\r\nContent-Type: audio/wav\r\n\r\n"
                          "RIFF"));
    // The WAV holds the first sentence: about half a second of voice plus its pause.
    const qsizetype riff = req.body.indexOf("RIFF");
    const uint32_t bytes = uint8_t(req.body[riff + 40]) | uint8_t(req.body[riff + 41]) << 8 |
                           uint8_t(req.body[riff + 42]) << 16 |
                           uint32_t(uint8_t(req.body[riff + 43])) << 24;
    EXPECT_GE(bytes, 500u * 32);
    EXPECT_LE(bytes, 1100u * 32);
}

TEST(TranscribeEngine, ServiceFaultsEndTheTaskWithAClearMessage) {
    struct Case {
        ScriptedServer::Behaviour behaviour;
        const char* says;
    };
    const std::string big(6000, 'x');
    const Case cases[] = {
        {ScriptedServer::json(500, R"({"error":{"message":"model overloaded"}})"),
         "http 500 (model overloaded)"},
        {ScriptedServer::json(401, R"({"error":"bad key"})"), "http 401 (bad key)"},
        {ScriptedServer::json(429, "<html>slow down</html>"), "http 429"},
        {ScriptedServer::json(200, "not json at all"), "answer is not JSON"},
        {ScriptedServer::json(200, R"(["text"])"), "answer is not a JSON object"},
        {ScriptedServer::json(200, R"({"text":42})"), "answer has no \"text\""},
        {ScriptedServer::json(200, QByteArray::fromStdString(R"({"text":")" + big + "\"}")),
         "answer too large"},
        {ScriptedServer::silent(), "no answer in 1000ms"},
        {ScriptedServer::hangUp(), ""},  // "send: ..." or "read: ...", as the race goes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        Transcribe t([&](int, const ScriptedServer::Request&) { return c.behaviour; }, 1000);
        auto asr = t.client();
        Recorder r;
        dictate(*asr, r, speech({400}));
        ASSERT_TRUE(waitUntil([&] { return r.completions.size() == 1; }, "the completion"));
        ASSERT_EQ(r.errors.size(), 1) << r.sentences.join('|').left(80).toStdString();
        EXPECT_TRUE(r.errors[0].first.startsWith(
            QStringLiteral("engine-error: the transcription service failed: ")))
            << r.errors[0].first.toStdString();
        EXPECT_TRUE(r.errors[0].first.contains(QString::fromUtf8(c.says)))
            << r.errors[0].first.toStdString();
        EXPECT_TRUE(r.sentences.isEmpty()) << r.sentences.join("|").left(80).toStdString();
    }
}

TEST(TranscribeEngine, ASlowServiceHoldsUpNoOtherSession) {
    Transcribe t(
        [](int, const ScriptedServer::Request& req) {
            // The session whose prompt says "slow" gets no answer until the time-out.
            if (req.body.contains("name=\"prompt\"\r\n\r\nslow\r\n"))
                return ScriptedServer::silent();
            return ScriptedServer::json(200, R"({"text":"Quick one."})");
        },
        2500);
    auto slow = t.client({{QStringLiteral("slow"), 50}});
    auto quick = t.client();
    Recorder rs, rq;
    dictate(*slow, rs, speech({400}));
    ASSERT_TRUE(waitUntil([&] { return t.service().requests().size() == 1; }, "the slow request"));
    dictate(*quick, rq, speech({400}));
    ASSERT_TRUE(waitUntil([&] { return rq.completions.size() == 1; }, "the quick transcript"));
    EXPECT_EQ(rq.completions.front(), QStringLiteral("Quick one."));
    EXPECT_TRUE(rs.completions.isEmpty()) << "the slow session is still waiting";
    ASSERT_TRUE(waitUntil([&] { return rs.completions.size() == 1; }, "the slow session's end"));
    ASSERT_EQ(rs.errors.size(), 1);
    EXPECT_TRUE(rs.errors[0].first.contains(QStringLiteral("no answer in 2500ms")));
}

TEST(TranscribeEngine, AGrowingSentenceIsResentForPartials) {
    Transcribe t(
        [](int index, const ScriptedServer::Request&) {
            return ScriptedServer::json(
                200, QByteArray(R"({"text":"words )") + QByteArray::number(index) + "\"}");
        },
        3000, true);
    auto asr = t.client();
    Recorder r;
    r.attach(*asr);
    LogReader log;
    asr->connect();
    ASSERT_TRUE(log.waitFor(QStringLiteral("ASR task started in ")));
    const QByteArray pcm = speech({2600});
    feed(*asr, pcm.left(1500 * 32));  // the sentence so far, still open
    auto heard = [&] {
        QStringList out;
        for (const QString& p : r.partials)
            if (!p.isEmpty()) out << p;  // the client clears its partial with ""
        return out;
    };
    ASSERT_TRUE(waitUntil([&] { return !heard().isEmpty(); }, "a partial"));
    feed(*asr, pcm.mid(1500 * 32));
    asr->finish(6.0, r.completion());
    ASSERT_TRUE(waitUntil([&] { return r.completions.size() == 1; }, "the transcript"));
    for (const QString& p : heard()) EXPECT_TRUE(p.startsWith("words ")) << p.toStdString();
    // Two seconds and more of voice: one or two partial requests, then the final one.
    EXPECT_GE(t.service().requests().size(), 2);
    EXPECT_LE(t.service().requests().size(), 4);
    ASSERT_EQ(r.sentences.size(), 1);
    EXPECT_TRUE(r.sentences.front().startsWith("words "));
}

TEST(TranscribeEngine, TheKeyComesFromItsFileAndNeverReachesTheLog) {
    ScriptedServer service([](int, const ScriptedServer::Request&) {
        return ScriptedServer::json(200, R"({"text":"Hi."})");
    });
    serverLog();
    const QString keyFile = testenv::home() + QStringLiteral("/transcribe.key");
    vserver::AsrOptions o;
    o.engine = "transcribe";
    o.transcribeUrl = service.url().toStdString() + "/v1/audio/transcriptions";
    o.transcribeModel = "whisper-test";
    o.transcribeKeyFile = keyFile.toStdString();
    std::string error;
    servertest::RunningServer server;

    ASSERT_TRUE(testenv::writeFile(keyFile, "   \n"));
    EXPECT_FALSE(vserver::makeAsrEngine(o, server.server(), error));
    EXPECT_NE(error.find("is empty"), std::string::npos) << error;
    o.transcribeKeyFile = keyFile.toStdString() + ".missing";
    EXPECT_FALSE(vserver::makeAsrEngine(o, server.server(), error));
    EXPECT_NE(error.find("couldn't read the key file"), std::string::npos) << error;

    ASSERT_TRUE(testenv::writeFile(keyFile, " file-key-77 \r\nsecond line\n"));
    o.transcribeKeyFile = keyFile.toStdString();
    auto engine = vserver::makeAsrEngine(o, server.server(), error);
    ASSERT_TRUE(engine) << error;
    vserver::registerAsr(server.server(), engine);
    server.start();
    auto asr = clientOf(server.port());
    Recorder r;
    dictate(*asr, r, speech({400}));
    ASSERT_TRUE(waitUntil([&] { return r.completions.size() == 1; }, "the transcript"));
    EXPECT_EQ(r.completions.front(), QStringLiteral("Hi."));
    ASSERT_EQ(service.requests().size(), 1);
    EXPECT_EQ(service.requests().front().headers.value("authorization"), "Bearer file-key-77");
    QFile log(serverLog());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_FALSE(log.readAll().contains("file-key-77")) << "the key reached the log";
}

TEST(TranscribeEngine, HostileHotwordsAnswersAndSettingsAreRefused) {
    using E = vserver::TranscribeEngine;
    EXPECT_EQ(E::prompt({{"weak", 2}, {"Strong", 50}, {"bad\nline", 50}}),
              "Strong, bad line, weak");
    std::string why;
    EXPECT_FALSE(E::readAnswer(std::string(100, '['), why));
    E::Options o;
    o.url = "ftp://host/x";
    o.model = "m";
    EXPECT_TRUE(E::check(o).has_value());
    o.url = "http://127.0.0.1:1/v1/audio/transcriptions";
    o.model.clear();
    EXPECT_TRUE(E::check(o).has_value());
}

}  // namespace

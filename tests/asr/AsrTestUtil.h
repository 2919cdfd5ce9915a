#pragma once
// Shared pieces of the recogniser tests: the "asr" endpoint with a scripted
// engine on a loopback port, a recorder of the client's callbacks, and audio
// whose every byte tells where it came from.
#include <QByteArray>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "AsrEndpoint.h"
#include "ScriptedEngine.h"
#include "ServerLog.h"
#include "ServerTestUtil.h"
#include "core/QwenASR.h"
#include "harness/LogReader.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"

namespace asrtest {

inline vserver::ScriptedEngine::Script script(const std::string& json) {
    std::string error;
    auto s = vserver::ScriptedEngine::parse(json, error);
    if (!s) throw std::runtime_error("bad test script: " + error);
    return *s;
}

// velmora-server's log in a file for the whole test process, so tests can wait on its lines.
inline const QString& serverLog() {
    static const QString path = [] {
        const QString p = testenv::home() + QStringLiteral("/velmora-server.log");
        vserver::setLogFile(p.toStdString());
        return p;
    }();
    return path;
}

// velmora-server's "asr" endpoint with a scripted, recording engine.
class Service {
  public:
    explicit Service(const std::string& scriptJson, vserver::AsrLimits limits = {},
                     vserver::Authenticator auth = {})
        : log_(serverLog()) {
        engine_ = std::make_shared<vserver::ScriptedEngine>(server_.server().workers(),
                                                            script(scriptJson), true);
        vserver::registerAsr(server_.server(), engine_, limits);
        if (auth) server_.server().setAuthenticator(std::move(auth));
        server_.start();
    }
    // Stops only once the server has ended every task it ran (their clients are gone by
    // then): a session still open when the server stops is never torn down.
    ~Service() {
        for (const auto& record : records()) {
            const QRegularExpression end(
                QStringLiteral("asr: task %1( finished:| from \\S+ failed:|: client went "
                               "away|: engine closed the connection)")
                    .arg(QRegularExpression::escape(QString::fromStdString(record.taskId))));
            EXPECT_TRUE(harness::waitUntil([&] { return log_.has(end); },
                                           QStringLiteral("the server to end its task ") +
                                               QString::fromStdString(record.taskId)));
        }
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    uint16_t port() const { return server_.port(); }
    vserver::HttpServer& server() { return server_.server(); }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/asr").arg(port())); }
    QwenASR::RequestProvider request(const QByteArray& token = "test-token") const {
        const QUrl u = url();
        return [u, token] {
            QNetworkRequest r(u);
            if (!token.isEmpty()) r.setRawHeader("Authorization", "Bearer " + token);
            return r;
        };
    }
    std::vector<vserver::ScriptedEngine::Record> records() const { return engine_->records(); }
    vserver::ScriptedEngine& engine() { return *engine_; }

  private:
    harness::LogReader log_;
    servertest::RunningServer server_;
    std::shared_ptr<vserver::ScriptedEngine> engine_;
};

// Short protocol waits so the suite stays fast; the rules are the same.
inline QwenASR::Timing fastTiming() {
    QwenASR::Timing t;
    t.startMs = 1500;
    t.keepAliveMs = 100;
    t.pongMs = 1000;
    t.finishGraceMs = 300;
    return t;
}

// Everything the client reported, in order.
struct Recorder {
    QStringList partials, sentences, metaTexts;
    QList<std::optional<qint64>> metaEnds;
    QList<std::pair<QString, std::optional<int>>> errors;
    QStringList completions;
    int calls = 0;  // every callback, for "nothing after cancel"

    void attach(QwenASR& asr) {
        asr.onPartial = [this](const QString& t) {
            ++calls;
            partials << t;
        };
        asr.onSentence = [this](const QString& t) {
            ++calls;
            sentences << t;
        };
        asr.onSentenceMeta = [this](const QString& t, std::optional<qint64> end) {
            ++calls;
            metaTexts << t;
            metaEnds << end;
        };
        asr.onError = [this](const QString& r, std::optional<int> refused) {
            ++calls;
            errors.append({r, refused});
        };
    }
    std::function<void(const QString&)> completion() {
        return [this](const QString& t) {
            ++calls;
            completions << t;
        };
    }
};

// Audio in which every 16-bit sample is unique for the first 65536 samples and
// then differs in pattern, so a shifted, repeated or missing byte shows.
inline QByteArray pattern(qsizetype bytes) {
    QByteArray out(bytes, Qt::Uninitialized);
    uint32_t x = 0x12345678u;
    for (qsizetype i = 0; i < bytes; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = char(x >> 24);
    }
    return out;
}

// Feeds audio from another thread (the audio engine's stand-in) while the main
// thread serves the client's events; returns when it has all been handed over.
inline void feed(QwenASR& asr, const QByteArray& pcm, qsizetype chunk = 640) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        for (qsizetype off = 0; off < pcm.size(); off += chunk)
            asr.send(pcm.mid(off, std::min(chunk, pcm.size() - off)));
        done = true;
    });
    EXPECT_TRUE(
        harness::waitUntil([&] { return done.load(); }, QStringLiteral("audio handed over")));
    t.join();
}

inline bool isTaskId(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace asrtest

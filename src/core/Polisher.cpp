#include "core/Polisher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QIODevice>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSet>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/Config.h"
#include "core/Log.h"
#include "core/MainThread.h"

namespace Polisher {

namespace {

constexpr const char* kTimedOut = "velmoraTimedOut";
constexpr int kIdleConnectionSeconds = 30;

// Process-wide state; touched on the main thread only.
struct State {
    QNetworkAccessManager* session = nullptr;
    int generation = 0;
    std::optional<qint64> lastWarm;  // monotonic ms; none = the distant past
    QHash<QNetworkAccessManager*, int> running;
    QSet<QNetworkAccessManager*> retired;  // replaced; deleted when their last reply ends
    Timings timings;
    TokenGate gate;
    QElapsedTimer clock;
};

State& st() {
    static State s;
    if (!s.clock.isValid()) s.clock.start();
    return s;
}

qint64 scaledMs(double seconds) {
    return std::max<qint64>(1, static_cast<qint64>(seconds * st().timings.scale * 1000.0));
}

QNetworkAccessManager* session() {
    State& s = st();
    if (!s.session) s.session = new QNetworkAccessManager(QCoreApplication::instance());
    return s.session;
}

void retire(QNetworkAccessManager* nam) {
    State& s = st();
    if (!nam) return;
    if (s.running.value(nam) == 0) {
        s.running.remove(nam);
        nam->deleteLater();
    } else {
        s.retired.insert(nam);
    }
}

void released(QNetworkAccessManager* nam) {
    State& s = st();
    const int left = --s.running[nam];
    if (left <= 0 && s.retired.contains(nam)) {
        s.retired.remove(nam);
        s.running.remove(nam);
        nam->deleteLater();
    }
}

struct Outcome {
    int status = -1;                  // -1: no HTTP answer
    std::optional<QJsonObject> json;  // a 200 answer's top-level object
    QString error;                    // the failure's description when there was no HTTP answer
    bool cancelled = false;           // stopped by us, not by the network or the clock
};

// Network-layer failures (connection, TLS, time-out) leave no usable HTTP answer even
// when a status line arrived before them.
bool transportError(QNetworkReply::NetworkError e) {
    return e != QNetworkReply::NoError && (static_cast<int>(e) < 100 || (e >= 101 && e < 200));
}

Outcome classify(QNetworkReply* r) {
    Outcome o;
    const bool timedOut = r->property(kTimedOut).toBool();
    const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (timedOut) {
        o.error = QStringLiteral("The request timed out.");
        return o;
    }
    if (!status.isValid() || transportError(r->error())) {
        o.error = r->errorString();
        o.cancelled = r->error() == QNetworkReply::OperationCanceledError;
        return o;
    }
    o.status = status.toInt();
    if (o.status == 200) {
        QJsonParseError pe{};
        const QJsonDocument doc = QJsonDocument::fromJson(r->readAll(), &pe);
        if (pe.error == QJsonParseError::NoError && doc.isObject()) o.json = doc.object();
    }
    return o;
}

// A request body that can be read only once. Qt's HTTP layer quietly sends a request
// again when the server closes the connection before answering; with a body it cannot
// rewind, that becomes a failed attempt instead, so one attempt is one request on the
// wire and a slow model is never asked twice behind our back.
class OnceBody : public QIODevice {
  public:
    OnceBody(QByteArray bytes, QObject* parent) : QIODevice(parent), bytes_(std::move(bytes)) {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override {
        return bytes_.size() - read_ + QIODevice::bytesAvailable();
    }

  protected:
    qint64 readData(char* data, qint64 max) override {
        const qint64 n = std::min(max, bytes_.size() - read_);
        if (n <= 0) return -1;  // the end: nothing more will come
        std::memcpy(data, bytes_.constData() + read_, static_cast<size_t>(n));
        read_ += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    QByteArray bytes_;
    qint64 read_ = 0;
};

// Sends one request on `nam` with a time limit; `done` runs once, on the main thread.
QNetworkReply* send(QNetworkAccessManager* nam, QNetworkRequest request, const QByteArray* body,
                    double timeout, std::function<void(QNetworkReply*, const Outcome&)> done) {
    request.setTransferTimeout(0);  // our own clock below decides
    // Idle connections are dropped before a server's usual keep-alive limit: a request written
    // into a connection the server has just closed now fails instead of going out again.
    request.setAttribute(QNetworkRequest::ConnectionCacheExpiryTimeoutSecondsAttribute,
                         kIdleConnectionSeconds);
    QNetworkReply* r = nullptr;
    if (body) {
        // Streamed, not buffered by Qt (which would make it rewindable again).
        request.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        auto* device = new OnceBody(*body, nullptr);
        r = nam->post(request, device);
        device->setParent(r);
    } else {
        r = nam->get(request);
    }
    ++st().running[nam];
    auto* timer = new QTimer(r);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, r, [r] {
        r->setProperty(kTimedOut, true);
        r->abort();
    });
    timer->start(static_cast<int>(std::min<qint64>(scaledMs(timeout), INT32_MAX)));
    QObject::connect(r, &QNetworkReply::finished, r, [r, nam, done = std::move(done)] {
        const Outcome o = classify(r);
        r->deleteLater();
        released(nam);
        done(r, o);
    });
    return r;
}

// One call of post(), shared by its attempts, its timer and their handlers.
struct Call {
    bool done = false;
    bool retried = false;
    QList<QPointer<QNetworkReply>> tasks;
    QElapsedTimer start;
    QString path;
    QNetworkRequest request;
    QByteArray body;
    double timeout = 0;
    PostCompletion completion;
};

void startAttempt(const std::shared_ptr<Call>& call);

void finish(const std::shared_ptr<Call>& call, const std::optional<QJsonObject>& json, int status) {
    call->done = true;
    const auto others = call->tasks;
    call->tasks.clear();
    for (const auto& r : others)
        if (r) r->abort();  // their handlers find `done` set
    if (call->completion) call->completion(json, status, call->start.elapsed());
}

void secondAttempt(const std::shared_ptr<Call>& call) {
    if (call->done || call->retried) return;
    call->retried = true;
    renewConnections(call->path + QStringLiteral(": no answer in ") +
                     QString::number(call->start.elapsed()) + QStringLiteral("ms"));
    startAttempt(call);
}

void attemptFinished(const std::shared_ptr<Call>& call, QNetworkReply* r, const Outcome& o) {
    if (call->done) return;
    call->tasks.removeAll(QPointer<QNetworkReply>(r));
    if (!o.json && o.status == -1) {
        if (!call->retried) return secondAttempt(call);
        if (!call->tasks.isEmpty()) return;  // the other attempt may still answer
        return finish(call, std::nullopt, -1);
    }
    finish(call, o.json, o.status);
}

void startAttempt(const std::shared_ptr<Call>& call) {
    QNetworkReply* r =
        send(session(), call->request, &call->body, call->timeout,
             [call](QNetworkReply* reply, const Outcome& o) { attemptFinished(call, reply, o); });
    call->tasks.append(r);
}

}  // namespace

void setTimings(const Timings& t) {
    if (!MainThread::isCurrent()) return MainThread::post([t] { setTimings(t); });
    st().timings = t;
}

Timings timings() {
    return st().timings;
}

qsizetype characterCount(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    auto loneRegional = [&](qsizetype from, qsizetype to) {
        const QString part = text.mid(from, to - from);
        const auto cps = part.toUcs4();
        return cps.size() == 1 && cps[0] >= 0x1F1E6 && cps[0] <= 0x1F1FF;
    };
    // A flag is two regional indicators; older boundary tables split them.
    qsizetype n = 0, prev = 0;
    bool openFlag = false;
    for (qsizetype p = finder.toNextBoundary(); p != -1; p = finder.toNextBoundary()) {
        const bool regional = loneRegional(prev, p);
        if (regional && openFlag) {
            openFlag = false;
        } else {
            ++n;
            openFlag = regional;
        }
        prev = p;
    }
    return n;
}

double polishTimeout(qsizetype n) {
    return std::min(125.0, std::max(14.0, static_cast<double>(n) * 0.005 + 13.0));
}

double polishRetryAfter(qsizetype n) {
    return std::min(60.0, static_cast<double>(n) * 0.004 + 4.0);
}

void warm(bool force, std::function<void()> completion) {
    if (!MainThread::isCurrent())
        return MainThread::post([force, completion = std::move(completion)]() mutable {
            warm(force, std::move(completion));
        });
    State& s = st();
    const qint64 now = s.clock.elapsed();
    if (!force && s.lastWarm && now - *s.lastWarm <= scaledMs(s.timings.warmInterval)) {
        if (completion) completion();
        return;
    }
    s.lastWarm = now;
    const int generation = s.generation;
    QElapsedTimer started;
    started.start();
    send(session(), Config::shared().serverRequest(QStringLiteral("ping"), false), nullptr,
         s.timings.pingTimeout,
         [generation, started, completion = std::move(completion)](QNetworkReply*,
                                                                   const Outcome& o) {
             Log::write(QStringLiteral("Warm server: http ") + QString::number(o.status) +
                        QStringLiteral(" in ") + QString::number(started.elapsed()) +
                        QStringLiteral("ms ") + o.error);
             if (o.status == -1 && !o.cancelled) {
                 // Only the pool this ping went out on is suspect.
                 MainThread::post([generation] {
                     if (st().generation == generation)
                         renewConnections(QStringLiteral("warm-up failed"));
                 });
             }
             if (completion) completion();
         });
}

void post(const QString& path, const QJsonObject& body, double timeout,
          std::optional<double> retryAfter, PostCompletion completion) {
    if (!MainThread::isCurrent())
        return MainThread::post([=] { post(path, body, timeout, retryAfter, completion); });
    auto call = std::make_shared<Call>();
    call->start.start();
    call->retried = !retryAfter.has_value();
    call->path = path;
    call->timeout = timeout;
    call->completion = std::move(completion);
    auto proceed = [call, path, body, retryAfter] {
        call->request = Config::shared().serverRequest(path, false);
        call->request.setHeader(QNetworkRequest::ContentTypeHeader,
                                QStringLiteral("application/json"));
        call->body = QJsonDocument(body).toJson(QJsonDocument::Compact);
        startAttempt(call);
        if (retryAfter) {
            std::weak_ptr<Call> weak = call;
            QTimer::singleShot(static_cast<int>(std::min<qint64>(scaledMs(*retryAfter), INT32_MAX)),
                               QCoreApplication::instance(), [weak] {
                                   if (auto c = weak.lock()) secondAttempt(c);
                               });
        }
    };
    if (st().gate) {
        st().gate([proceed]() {
            if (MainThread::isCurrent())
                proceed();
            else
                MainThread::post(proceed);
        });
    } else {
        proceed();
    }
}

void polish(const QString& text, const QString& style, const QString& appName,
            std::function<void(const QString& text, const QString& by)> completion) {
    if (!MainThread::isCurrent())
        return MainThread::post([=] { polish(text, style, appName, completion); });
    QJsonObject body{{QStringLiteral("text"), text},
                     {QStringLiteral("style"), style},
                     {QStringLiteral("tesk"), Config::shared().teskEnabled()}};
    if (!appName.isEmpty()) body.insert(QStringLiteral("app"), appName);
    const qsizetype n = characterCount(text);
    post(QStringLiteral("polish"), body, polishTimeout(n), polishRetryAfter(n),
         [text, completion](const std::optional<QJsonObject>& json, int status, qint64 ms) {
             const QJsonValue cleaned = json ? json->value(QStringLiteral("text")) : QJsonValue();
             if (cleaned.isString() && !cleaned.toString().isEmpty()) {
                 const QJsonValue byValue = json->value(QStringLiteral("by"));
                 const QString by = byValue.isString() ? byValue.toString() : QStringLiteral("?");
                 Log::write(QStringLiteral("Polish by=") + by + QStringLiteral(" in ") +
                            QString::number(ms) + QStringLiteral("ms"));
                 if (completion) completion(cleaned.toString(), by);
                 return;
             }
             Log::write(QStringLiteral("Polish failed in ") + QString::number(ms) +
                        QStringLiteral("ms (http ") + QString::number(status) +
                        QStringLiteral("), using raw"));
             if (completion) completion(text, QStringLiteral("failed"));
         });
}

void learn(const QString& before, const QString& after,
           std::function<void(const QString& text, bool ok)> completion) {
    if (!MainThread::isCurrent())
        return MainThread::post([=] { learn(before, after, completion); });
    const QJsonObject body{{QStringLiteral("before"), before}, {QStringLiteral("after"), after}};
    post(QStringLiteral("learn"), body, st().timings.learnTimeout, std::nullopt,
         [completion](const std::optional<QJsonObject>& json, int status, qint64 ms) {
             const QJsonValue text = json ? json->value(QStringLiteral("text")) : QJsonValue();
             if (text.isString()) {
                 Log::write(QStringLiteral("Learn in ") + QString::number(ms) +
                            QStringLiteral("ms"));
                 if (completion) completion(text.toString(), true);
                 return;
             }
             Log::write(QStringLiteral("Learn failed in ") + QString::number(ms) +
                        QStringLiteral("ms (http ") + QString::number(status) +
                        QStringLiteral(")"));
             if (completion) completion(QString(), false);
         });
}

void reportTiming(const QJsonObject& payload) {
    if (!MainThread::isCurrent()) return MainThread::post([payload] { reportTiming(payload); });
    post(
        QStringLiteral("timing"), payload, st().timings.timingTimeout, std::nullopt,
        [](const std::optional<QJsonObject>&, int status, qint64) {
            if (status != 204)
                Log::write(QStringLiteral("Timing report failed: http ") + QString::number(status));
        });
}

void renewConnections(const QString& reason) {
    if (!MainThread::isCurrent()) return MainThread::post([reason] { renewConnections(reason); });
    Log::write(QStringLiteral("Server connections renewed (") + reason + QStringLiteral(")"));
    State& s = st();
    QNetworkAccessManager* old = s.session;
    s.session = new QNetworkAccessManager(QCoreApplication::instance());
    ++s.generation;
    retire(old);
}

void setTeskEnabled(bool on) {
    Config::d()->setValue(QStringLiteral("teskEnabled"), on);
    Log::write(on ? QStringLiteral("Tesk fast path on") : QStringLiteral("Tesk fast path off"));
}

void setTokenGate(TokenGate gate) {
    if (!MainThread::isCurrent()) return MainThread::post([gate] { setTokenGate(gate); });
    st().gate = std::move(gate);
}

int sessionGeneration() {
    return st().generation;
}

void resetForTests() {
    State& s = st();
    s.lastWarm.reset();
    s.timings = Timings{};
    s.gate = nullptr;
    QNetworkAccessManager* old = s.session;
    s.session = nullptr;
    ++s.generation;
    retire(old);
}

}  // namespace Polisher

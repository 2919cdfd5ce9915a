#include "core/QwenASR.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/Log.h"
#include "core/MainThread.h"

namespace {

// Largest event we accept from the service; a hostile peer cannot make us buffer more.
constexpr qint64 kMaxIncomingMessage = 1 << 20;

// The error code of a server that is draining; its sessions may go on elsewhere.
const QString kShuttingDown = QStringLiteral("server-shutting-down");

QString seconds(int ms) {
    return QString::number(ms / 1000.0);
}

// The finish wait in messages: whole seconds, as the user set them.
QString wholeSeconds(double s) {
    return s >= 1 ? QString::number(static_cast<qint64>(s)) : QString::number(s);
}

QString oneDecimal(double v) {
    return QString::asprintf("%.1f", v);
}

// A JSON value as the text the user and the log see.
QString render(const QJsonValue& v) {
    switch (v.type()) {
        case QJsonValue::Undefined:
            return {};
        case QJsonValue::Null:
            return QStringLiteral("null");
        case QJsonValue::Bool:
            return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        case QJsonValue::String:
            return v.toString();
        case QJsonValue::Double: {
            const double d = v.toDouble();
            if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15)
                return QString::number(static_cast<qint64>(d));
            return QString::number(d);
        }
        case QJsonValue::Array:
            return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
        case QJsonValue::Object:
            return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
    }
    return {};
}

// Scripts written without spaces between words.
bool unspaced(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x2E80 && u <= 0x2FFF) ||  // radicals
           (u >= 0x3000 && u <= 0x30FF) ||  // CJK punctuation, kana
           (u >= 0x3100 && u <= 0x9FFF) ||  // bopomofo .. unified ideographs
           (u >= 0xF900 && u <= 0xFAFF) ||  // compatibility ideographs
           (u >= 0xFE30 && u <= 0xFE4F) ||  // compatibility forms
           (u >= 0xFF00 && u <= 0xFFEF);    // full-width forms
}

bool needsSpace(QChar left, QChar right) {
    if (left.isSpace() || right.isSpace() || unspaced(left) || unspaced(right)) return false;
    static const QString closing = QStringLiteral(",.;:!?)]}%");
    return !closing.contains(right);
}

}  // namespace

// One WebSocket connection. The socket and the fields marked "main" are touched
// only on the main thread; the rest is fixed at creation.
struct QwenASR::Conn {
    int gen = 0;
    QString host;
    QByteArray runTask;
    QWebSocket* socket = nullptr;        // main
    QObject* ctx = nullptr;              // main: receiver of our signal connections
    bool open = false;                   // main: the handshake completed
    bool reported = false;               // main: a failure was already reported
    bool garbageLogged = false;          // main
    std::shared_ptr<bool> pingAnswered;  // main: the pending ping's flag

    ~Conn() {
        if (!socket) return;
        // The last reference may go on any thread; the socket belongs to the main one.
        QWebSocket* s = socket;
        QObject* c = ctx;
        QMetaObject::invokeMethod(
            s, [s, c] { dispose(s, c, 1001); }, Qt::QueuedConnection);
    }

    // Closes with a code (so the service sees it) and frees the socket once the
    // close has gone out, or after 2 s at the latest.
    static void dispose(QWebSocket* s, QObject* ctx, int code) {
        delete ctx;  // drops our handlers: nothing more reaches the client
        QObject::connect(s, &QWebSocket::disconnected, s, &QObject::deleteLater);
        QTimer::singleShot(2000, s, [s] {
            s->abort();
            s->deleteLater();
        });
        if (s->state() == QAbstractSocket::ConnectedState) {
            s->close(static_cast<QWebSocketProtocol::CloseCode>(code));
        } else {
            s->abort();
            s->deleteLater();
        }
    }
};

std::shared_ptr<QwenASR> QwenASR::create(Vocabulary vocabulary, int maxSilenceMs) {
    return create(std::move(vocabulary), maxSilenceMs, Timing{});
}

std::shared_ptr<QwenASR> QwenASR::create(Vocabulary vocabulary, int maxSilenceMs, Timing timing,
                                         RequestProvider request) {
    return std::shared_ptr<QwenASR>(
        new QwenASR(std::move(vocabulary), maxSilenceMs, timing, std::move(request)));
}

QwenASR::QwenASR(Vocabulary vocabulary, int maxSilenceMs, Timing timing, RequestProvider request)
    : vocabulary_(std::move(vocabulary)),
      maxSilence_(maxSilenceMs),
      timing_(timing),
      request_(std::move(request)) {}

QwenASR::~QwenASR() = default;

QString QwenASR::newTaskId() {
    return QUuid::createUuid().toString(QUuid::Id128).toUpper();
}

QString QwenASR::joinSentences(const QStringList& sentences) {
    QString out;
    for (const QString& s : sentences) {
        if (s.isEmpty()) continue;
        if (!out.isEmpty() && needsSpace(out.back(), s.front())) out += QLatin1Char(' ');
        out += s;
    }
    return out;
}

template <class Fn>
void QwenASR::onMain(Fn&& fn) {
    if (MainThread::isCurrent())
        fn();
    else
        MainThread::post(std::function<void()>(std::forward<Fn>(fn)));
}

// ---------- connecting ----------

void QwenASR::connect() {
    const QNetworkRequest request =
        request_ ? request_() : Config::shared().serverRequest(QStringLiteral("asr"), true);
    auto conn = std::make_shared<Conn>();
    quint64 startSerial = 0;
    int gen = 0;
    {
        std::lock_guard guard(lock_);
        if (closed_ || gaveUp_) return;
        gen = ++generation_;
        taskId_ = newTaskId();
        conn->gen = gen;
        conn->host = request.url().host().isEmpty() ? QStringLiteral("?") : request.url().host();
        host_ = conn->host;
        ws_ = conn;
        connectedAt_.start();
        startSerial = ++startSerial_;

        QJsonObject parameters{{QStringLiteral("sample_rate"), 16000},
                               {QStringLiteral("format"), QStringLiteral("pcm")},
                               {QStringLiteral("max_sentence_silence"), maxSilence_}};
        if (!vocabulary_.empty()) {
            QJsonObject vocab;
            for (const auto& [word, weight] : vocabulary_) vocab.insert(word, weight);
            parameters.insert(QStringLiteral("vocabulary"), vocab);
        }
        const QJsonObject message{
            {QStringLiteral("header"),
             QJsonObject{{QStringLiteral("action"), QStringLiteral("run-task")},
                         {QStringLiteral("task_id"), taskId_},
                         {QStringLiteral("streaming"), QStringLiteral("duplex")}}},
            {QStringLiteral("payload"),
             QJsonObject{{QStringLiteral("task_group"), QStringLiteral("audio")},
                         {QStringLiteral("task"), QStringLiteral("asr")},
                         {QStringLiteral("function"), QStringLiteral("recognition")},
                         {QStringLiteral("parameters"), parameters},
                         {QStringLiteral("input"), QJsonObject{}}}}};
        conn->runTask = QJsonDocument(message).toJson(QJsonDocument::Compact);
    }
    if (gen == 1 && !vocabulary_.empty()) {
        int full = 0;
        for (const auto& entry : vocabulary_) full += entry.second == 50;
        Log::write(
            QStringLiteral("ASR hotwords: %1 (%2 at weight 50)").arg(vocabulary_.size()).arg(full));
    }
    onMain([weak = weak_from_this(), conn, request, startSerial] {
        if (auto self = weak.lock()) self->openOnMain(conn, request, startSerial);
    });
}

void QwenASR::openOnMain(const std::shared_ptr<Conn>& conn, const QNetworkRequest& request,
                         quint64 startSerial) {
    {
        std::lock_guard guard(lock_);
        if (ws_ != conn) return;  // cancelled or replaced before it opened
    }
    auto* s = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest);
    s->setMaxAllowedIncomingMessageSize(kMaxIncomingMessage);
    auto* ctx = new QObject(s);
    conn->socket = s;
    conn->ctx = ctx;
    const std::weak_ptr<QwenASR> weak = weak_from_this();
    const std::weak_ptr<Conn> wc = conn;
    const int gen = conn->gen;
    QObject::connect(s, &QWebSocket::connected, ctx, [weak, wc] {
        auto self = weak.lock();
        auto c = wc.lock();
        if (self && c) self->socketConnected(c);
    });
    QObject::connect(s, &QWebSocket::textMessageReceived, ctx, [weak, gen](const QString& m) {
        if (auto self = weak.lock()) self->handle(m, gen);
    });
    // Binary frames from the service carry nothing for us and are not read.
    QObject::connect(s, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), ctx,
                     [weak, wc](QAbstractSocket::SocketError) {
                         auto self = weak.lock();
                         auto c = wc.lock();
                         if (self && c) self->receiveFailed(c, true);
                     });
    QObject::connect(s, &QWebSocket::disconnected, ctx, [weak, wc] {
        auto self = weak.lock();
        auto c = wc.lock();
        if (self && c) self->receiveFailed(c, false);
    });
    QObject::connect(s, &QWebSocket::pong, ctx, [weak, wc, gen](quint64, const QByteArray&) {
        auto self = weak.lock();
        auto c = wc.lock();
        if (!self || !c) return;
        const auto flag = c->pingAnswered;
        if (!flag || *flag) return;
        *flag = true;
        self->keepAlive(c, gen);
    });
    s->open(request);
    QTimer::singleShot(timing_.startMs, qApp, [weak, gen, startSerial, ms = timing_.startMs] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard guard(self->lock_);
            if (self->startSerial_ != startSerial) return;
        }
        self->lost(QStringLiteral("no answer in %1s").arg(seconds(ms)), gen, std::nullopt, true,
                   true);
    });
}

void QwenASR::socketConnected(const std::shared_ptr<Conn>& conn) {
    if (!conn->socket) return;
    conn->open = true;
    const qint64 n = conn->socket->sendTextMessage(QString::fromUtf8(conn->runTask));
    if (n < conn->runTask.size())
        lost(QStringLiteral("send json: ") + conn->socket->errorString(), conn->gen, std::nullopt,
             true, false);
}

void QwenASR::receiveFailed(const std::shared_ptr<Conn>& conn, bool fromError) {
    QWebSocket* s = conn->socket;
    if (conn->reported || !s) return;
    conn->reported = true;

    QString error = s->errorString();
    std::optional<int> http;
    static const QRegularExpression statusRe(QStringLiteral("http status code: (\\d{3})"));
    if (const auto m = statusRe.match(error); m.hasMatch()) http = m.captured(1).toInt();
    // Qt prefixes its handshake messages with the function that made them.
    static const QRegularExpression qualifier(QStringLiteral("^\\w+::\\w+: "));
    error.remove(qualifier);

    QString description;
    // A socket that never opened was not closed by the service: its error says why
    // (connection refused, host not found), whichever signal came first.
    if (!conn->open && s->error() != QAbstractSocket::UnknownSocketError) fromError = true;
    if (fromError || http) {
        description = error;
    } else {
        description = QStringLiteral("closed by the service (%1").arg(int(s->closeCode()));
        if (!s->closeReason().isEmpty()) description += QStringLiteral(", ") + s->closeReason();
        description += QLatin1Char(')');
    }
    std::optional<int> refused;
    if (http && *http >= 400)
        refused = http;
    else if (static_cast<int>(s->closeCode()) == 4008)  // a code of the service's own
        refused = 429;
    QString reason = QStringLiteral("recv: ");
    if (http) reason += QStringLiteral("http %1 ").arg(*http);
    reason += conn->host + QStringLiteral(": ") + description;
    lost(reason, conn->gen, refused, true, false);
}

// ---------- audio ----------

void QwenASR::send(const char* data, qsizetype size) {
    if (size > 0) send(QByteArray(data, size));
}

void QwenASR::send(const QByteArray& chunk) {
    if (chunk.isEmpty()) return;
    bool post = false;
    {
        std::lock_guard guard(lock_);
        if (closed_ || gaveUp_) return;
        // Frames must hold whole samples; a stray odd byte waits for the next chunk
        // rather than shifting every later sample.
        QByteArray pcm = chunk;
        if (!carry_.isEmpty() || (pcm.size() & 1)) {
            pcm.prepend(carry_);
            carry_.clear();
            if (pcm.size() & 1) {
                carry_ = pcm.right(1);
                pcm.chop(1);
            }
            if (pcm.isEmpty()) return;
        }
        kept_.push_back({heardBytes_, pcm});
        keptBytes_ += pcm.size();
        heardBytes_ += pcm.size();
        while (keptBytes_ > kKeptLimit && !kept_.empty()) {
            keptBytes_ -= kept_.front().pcm.size();
            kept_.pop_front();
        }
        if (started_ && ws_) post = enqueue(ws_, pcm, false);
    }
    if (post) postDrain();
}

bool QwenASR::enqueue(const std::shared_ptr<Conn>& conn, QByteArray bytes, bool text) {
    outbox_.push_back({conn, std::move(bytes), text});
    return !std::exchange(drainPosted_, true);
}

void QwenASR::postDrain() {
    MainThread::post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->drain();
    });
}

void QwenASR::drain() {
    std::vector<Frame> frames;
    {
        std::lock_guard guard(lock_);
        frames.swap(outbox_);
        drainPosted_ = false;
    }
    for (const Frame& f : frames) {
        Conn& c = *f.conn;
        if (!c.socket || !c.open) continue;  // that connection is gone; its audio is kept
        const qint64 n = f.text ? c.socket->sendTextMessage(QString::fromUtf8(f.bytes))
                                : c.socket->sendBinaryMessage(f.bytes);
        if (n < f.bytes.size())
            lost((f.text ? QStringLiteral("send json: ") : QStringLiteral("send: ")) +
                     c.socket->errorString(),
                 c.gen, std::nullopt, true, false);
    }
}

void QwenASR::forget(qint64 upTo) {
    while (!kept_.empty()) {
        Chunk& first = kept_.front();
        const qint64 s = first.start;
        const qint64 n = first.pcm.size();
        if (s >= upTo) return;
        if (upTo < s + n) {
            const qint64 cut = (upTo - s) & ~qint64(1);  // whole samples only
            first.start = s + cut;
            first.pcm = first.pcm.mid(cut);
            keptBytes_ -= cut;
            return;
        }
        keptBytes_ -= n;
        kept_.pop_front();
    }
}

// ---------- events ----------

bool QwenASR::isClosed() const {
    std::lock_guard guard(lock_);
    return closed_;
}

std::optional<QwenASR::Event> QwenASR::parseEvent(const QString& message) {
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (!doc.isObject() || !doc.object().value(QStringLiteral("header")).isObject())
        return std::nullopt;
    const QJsonObject object = doc.object();
    const QJsonObject header = object.value(QStringLiteral("header")).toObject();
    const QString name = header.value(QStringLiteral("event")).toString();
    Event e;
    if (name == QLatin1String("task-started")) {
        e.kind = Event::Kind::started;
    } else if (name == QLatin1String("result-generated")) {
        e.kind = Event::Kind::result;
        const QJsonObject sentence = object.value(QStringLiteral("payload"))
                                         .toObject()
                                         .value(QStringLiteral("output"))
                                         .toObject()
                                         .value(QStringLiteral("sentence"))
                                         .toObject();
        e.text = sentence.value(QStringLiteral("text")).toString().trimmed();
        e.sentenceEnd = sentence.value(QStringLiteral("sentence_end")).toBool(false);
        const QJsonValue endValue = sentence.value(QStringLiteral("end_time"));
        // A time the service cannot mean (negative, not finite) counts as none;
        // a huge one is capped so the byte arithmetic cannot overflow.
        if (endValue.isDouble() && std::isfinite(endValue.toDouble()) && endValue.toDouble() >= 0)
            e.endMs = static_cast<qint64>(std::min(endValue.toDouble(), 1e12));
    } else if (name == QLatin1String("task-finished")) {
        e.kind = Event::Kind::finished;
    } else if (name == QLatin1String("task-failed")) {
        e.kind = Event::Kind::failed;
        e.code = render(header.value(QStringLiteral("error_code")));
        e.failure =
            e.code + QStringLiteral(": ") + render(header.value(QStringLiteral("error_message")));
    }
    return e;
}

void QwenASR::handle(const QString& message, int gen) {
    const std::optional<Event> event = parseEvent(message);
    if (!event) {
        std::shared_ptr<Conn> c;
        {
            std::lock_guard guard(lock_);
            if (gen == generation_) c = ws_;
        }
        // Ignored, as the protocol says; one line per connection is enough.
        if (c && !c->garbageLogged) {
            c->garbageLogged = true;
            Log::write(
                QStringLiteral("ASR: ignored a message that is not a JSON object with a header"));
        }
        return;
    }
    {
        std::lock_guard guard(lock_);
        if (gen != generation_ || closed_) return;
    }

    switch (event->kind) {
        case Event::Kind::started:
            return handleStarted(gen);
        case Event::Kind::result: {
            const QString& text = event->text;
            const bool end = event->sentenceEnd;
            const std::optional<qint64> endTime = event->endMs;
            {
                std::lock_guard guard(lock_);
                if (gen != generation_ || closed_) return;
                if (!end) {
                    current_ = text;
                } else {
                    if (!text.isEmpty()) finals_.append(text);
                    current_.clear();
                    if (endTime) forget(base_ + *endTime * kBytesPerSecond / 1000);
                }
            }
            if (end) {
                if (!text.isEmpty()) {
                    if (onSentence && !isClosed()) onSentence(text);
                    if (onSentenceMeta && !isClosed()) onSentenceMeta(text, endTime);
                }
                if (onPartial && !isClosed()) onPartial(QString());
            } else if (onPartial && !isClosed()) {
                onPartial(text);
            }
            return;
        }
        case Event::Kind::finished:
            Log::write(QStringLiteral("ASR task finished"));
            {
                std::lock_guard guard(lock_);
                taskDone_ = true;
            }
            complete();
            return;
        case Event::Kind::failed:
            // A server going away (a drain for an upgrade) ends the task but not the
            // dictation: another instance can take it over with the replayed audio.
            return lost(event->failure, gen, std::nullopt, event->code == kShuttingDown, false);
        case Event::Kind::other:
            return;
    }
}

void QwenASR::handleStarted(int gen) {
    std::shared_ptr<Conn> c;
    qint64 replayed = 0;
    bool finishing = false, post = false;
    double wait = 0;
    qint64 ms = 0;
    quint64 finishSerial = 0;
    {
        std::lock_guard guard(lock_);
        if (gen != generation_ || closed_ || gaveUp_) return;
        // A second "task-started" must not replay the kept audio again.
        if (started_) return;
        started_ = true;
        everStarted_ = true;
        ++startSerial_;
        c = ws_;
        if (c) {
            // Replayed under the lock, so live chunks cannot overtake it.
            for (const Chunk& k : kept_) post |= enqueue(c, k.pcm, false);
            replayed = keptBytes_;
        }
        finishing = finishing_;
        wait = finishWait_;
        ms = connectedAt_.elapsed();
        if (c && finishing) {
            post |= enqueue(c, finishTaskMessage(), true);
            finishSerial = ++finishSerial_;
        }
    }
    if (post) postDrain();
    QString line = QStringLiteral("ASR task started in %1ms").arg(ms);
    if (gen >= 2)
        line += QStringLiteral(", connection %1, %2s of audio sent again")
                    .arg(gen)
                    .arg(oneDecimal(double(replayed) / kBytesPerSecond));
    if (finishing) line += QStringLiteral(", after the release");
    Log::write(line);
    if (!c) return;
    if (finishing) {
        QTimer::singleShot(int(wait * 1000), qApp, [weak = weak_from_this(), finishSerial, wait] {
            if (auto self = weak.lock()) self->finishTimerFired(finishSerial, wait);
        });
    }
    keepAlive(c, gen);
}

QByteArray QwenASR::finishTaskMessage() const {
    const QJsonObject message{
        {QStringLiteral("header"),
         QJsonObject{{QStringLiteral("action"), QStringLiteral("finish-task")},
                     {QStringLiteral("task_id"), taskId_},
                     {QStringLiteral("streaming"), QStringLiteral("duplex")}}},
        {QStringLiteral("payload"), QJsonObject{{QStringLiteral("input"), QJsonObject{}}}}};
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

// ---------- losses ----------

void QwenASR::lost(const QString& reason, int gen, std::optional<int> refused, bool retry,
                   bool onlyIfNotStarted) {
    if (!MainThread::isCurrent()) {
        MainThread::post([weak = weak_from_this(), reason, gen, refused, retry, onlyIfNotStarted] {
            if (auto self = weak.lock()) self->lost(reason, gen, refused, retry, onlyIfNotStarted);
        });
        return;
    }
    std::shared_ptr<Conn> old;
    bool reconnect = false, finishing = false;
    double keptSeconds = 0, wait = 0;
    quint64 finishSerial = 0;
    {
        std::lock_guard guard(lock_);
        if (gen != generation_ || closed_ || gaveUp_ || (onlyIfNotStarted && started_)) return;
        // The service already delivered the whole transcript; a late drop loses nothing.
        if (taskDone_) return;
        old = std::move(ws_);
        ws_.reset();
        if (retry && !refused && gen < 2) {
            reconnect = true;
            started_ = false;
            current_.clear();
            base_ = kept_.empty() ? heardBytes_ : kept_.front().start;
            keptSeconds = double(keptBytes_) / kBytesPerSecond;
            finishing = finishing_;
            wait = finishWait_;
            if (finishing) finishSerial = ++finishSerial_;
        } else {
            gaveUp_ = true;
            kept_.clear();
            keptBytes_ = 0;
        }
    }
    if (reconnect) {
        closeConn(old, 1001);
        Log::write(QStringLiteral("ASR connection lost (%1), trying a new one with %2s of audio")
                       .arg(reason, oneDecimal(keptSeconds)));
        if (onPartial && !isClosed()) onPartial(QString());
        if (finishing) {
            const double total = wait + timing_.finishGraceMs / 1000.0;
            QTimer::singleShot(int(total * 1000), qApp,
                               [weak = weak_from_this(), finishSerial, total] {
                                   if (auto self = weak.lock())
                                       self->finishTimerFired(finishSerial, total);
                               });
        }
        connect();
        return;
    }
    // Nothing more can come over this connection; close it now rather than at the end.
    closeConn(old, 1000);
    Log::write(QStringLiteral("ASR error: ") + reason);
    if (onError && !isClosed()) onError(reason, refused);
    complete();
}

// ---------- finishing ----------

void QwenASR::finish(double timeoutSeconds, std::function<void(const QString&)> completion) {
    bool gaveUp = false, started = false, post = false;
    quint64 finishSerial = 0;
    {
        std::lock_guard guard(lock_);
        if (closed_) return;  // completed or cancelled: nothing more is reported
        finishCompletion_ = std::move(completion);
        finishing_ = true;
        finishWait_ = timeoutSeconds;
        gaveUp = gaveUp_ || taskDone_;
        started = started_ && ws_;
        if (!gaveUp) {
            // Queued behind every audio frame already handed in.
            if (started) post = enqueue(ws_, finishTaskMessage(), true);
            finishSerial = ++finishSerial_;
        }
    }
    if (post) postDrain();
    if (gaveUp) {
        onMain([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->complete();
        });
        return;
    }
    const double wait = started ? timeoutSeconds : timeoutSeconds + timing_.finishGraceMs / 1000.0;
    onMain([weak = weak_from_this(), finishSerial, wait] {
        QTimer::singleShot(int(wait * 1000), qApp, [weak, finishSerial, wait] {
            if (auto self = weak.lock()) self->finishTimerFired(finishSerial, wait);
        });
    });
}

void QwenASR::finishTimerFired(quint64 serial, double waitSeconds) {
    bool started = false;
    int gen = 0;
    {
        std::lock_guard guard(lock_);
        if (serial != finishSerial_ || closed_) return;
        started = started_;
        gen = generation_;
    }
    if (!started) {
        lost(QStringLiteral("no task within %1s").arg(wholeSeconds(waitSeconds)), gen, std::nullopt,
             false, false);
        return;
    }
    Log::write(QStringLiteral("ASR finish timeout — using what we have"));
    complete();
}

void QwenASR::complete() {
    std::function<void(const QString&)> completion;
    QString promoted, text;
    std::shared_ptr<Conn> old;
    {
        std::lock_guard guard(lock_);
        if (!finishCompletion_) return;  // `finish` has not come yet; it completes then
        completion = std::move(finishCompletion_);
        finishCompletion_ = nullptr;
        closed_ = true;
        const QString partial = current_.trimmed();
        if (!partial.isEmpty()) {
            finals_.append(partial);  // the unfinished last sentence counts
            promoted = partial;
        }
        current_.clear();
        old = std::move(ws_);
        ws_.reset();
        kept_.clear();
        keptBytes_ = 0;
        outbox_.clear();
        ++startSerial_;
        ++finishSerial_;
        text = joinSentences(finals_).trimmed();
    }
    closeConn(old, 1000);
    if (!promoted.isEmpty() && onSentence) onSentence(promoted);
    completion(text);
}

void QwenASR::cancel() {
    std::shared_ptr<Conn> old;
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        finishCompletion_ = nullptr;
        old = std::move(ws_);
        ws_.reset();
        kept_.clear();
        keptBytes_ = 0;
        outbox_.clear();
        ++startSerial_;
        ++finishSerial_;
    }
    closeConn(old, 1000);
}

void QwenASR::closeConn(std::shared_ptr<Conn> conn, int code) {
    if (!conn) return;
    auto work = [conn, code] {
        QWebSocket* s = std::exchange(conn->socket, nullptr);
        QObject* ctx = std::exchange(conn->ctx, nullptr);
        conn->open = false;
        if (s) Conn::dispose(s, ctx, code);
    };
    if (MainThread::isCurrent())
        work();
    else
        MainThread::post(work);
}

// ---------- keep-alive ----------

void QwenASR::keepAlive(const std::shared_ptr<Conn>& conn, int gen) {
    QTimer::singleShot(timing_.keepAliveMs, qApp,
                       [weak = weak_from_this(), wc = std::weak_ptr<Conn>(conn), gen] {
                           if (auto self = weak.lock()) self->pingRound(wc, gen);
                       });
}

void QwenASR::pingRound(const std::weak_ptr<Conn>& weakConn, int gen) {
    {
        std::lock_guard guard(lock_);
        if (gen != generation_ || closed_ || gaveUp_) return;
    }
    const auto c = weakConn.lock();
    if (!c || !c->socket || !c->open) return;
    auto flag = std::make_shared<bool>(false);
    c->pingAnswered = flag;
    c->socket->ping();
    QTimer::singleShot(timing_.pongMs, qApp,
                       [weak = weak_from_this(), flag, gen, ms = timing_.pongMs] {
                           if (*flag) return;
                           *flag = true;
                           if (auto self = weak.lock())
                               self->lost(QStringLiteral("no pong in %1s").arg(seconds(ms)), gen,
                                          std::nullopt, true, false);
                       });
}

// ---------- reading ----------

QString QwenASR::fullText() const {
    std::lock_guard guard(lock_);
    QStringList parts = finals_;
    parts.append(current_);
    return joinSentences(parts).trimmed();
}

int QwenASR::generation() const {
    std::lock_guard guard(lock_);
    return generation_;
}

QString QwenASR::taskId() const {
    std::lock_guard guard(lock_);
    return taskId_;
}

qint64 QwenASR::keptBytes() const {
    std::lock_guard guard(lock_);
    return keptBytes_;
}

qint64 QwenASR::heardBytes() const {
    std::lock_guard guard(lock_);
    return heardBytes_;
}

bool QwenASR::everStarted() const {
    std::lock_guard guard(lock_);
    return everStarted_;
}

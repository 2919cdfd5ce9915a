#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/Config.h"

// Client of the streaming recogniser, one instance per dictation. Speaks the
// task protocol ("run-task", binary PCM frames, "finish-task") over one
// WebSocket, survives one lost connection by replaying the audio no final
// sentence has confirmed yet, and watches the connection with its own start,
// keep-alive and finish timers.
//
// Threads: `send` may be called on any thread (the audio engine's) and never
// waits for the network; `connect`, `finish` and `cancel` may be called on any
// thread. The socket lives on the main thread, and every callback and timer
// runs there. All state is guarded by the client's own mutex, which is never
// held while a callback runs. Work that outlives a call holds the client weakly,
// so a dropped client gets no callbacks.
class QwenASR : public std::enable_shared_from_this<QwenASR> {
  public:
    // The protocol's waits; tests shorten them.
    struct Timing {
        int startMs = 5000;        // "task-started" must come this soon after connecting
        int keepAliveMs = 2000;    // pause between keep-alive pings
        int pongMs = 4000;         // a ping must be answered this soon
        int finishGraceMs = 5000;  // added to the finish wait while the task has not started
    };
    // Builds the WebSocket request; the configured "asr" request by default.
    using RequestProvider = std::function<QNetworkRequest()>;

    static std::shared_ptr<QwenASR> create(Vocabulary vocabulary, int maxSilenceMs);
    static std::shared_ptr<QwenASR> create(Vocabulary vocabulary, int maxSilenceMs, Timing timing,
                                           RequestProvider request = {});
    ~QwenASR();
    QwenASR(const QwenASR&) = delete;
    QwenASR& operator=(const QwenASR&) = delete;

    // Set once by the owner before `connect`; called on the main thread.
    std::function<void(const QString& text)> onPartial;  // "" clears the partial
    std::function<void(const QString& text)> onSentence;
    std::function<void(const QString& text, std::optional<qint64> endMs)> onSentenceMeta;
    std::function<void(const QString& reason, std::optional<int> refused)> onError;

    void connect();
    void send(const QByteArray& pcm);
    void send(const char* data, qsizetype size);
    // No more audio; `completion` gets the full transcript once, on the main thread.
    void finish(double timeoutSeconds, std::function<void(const QString& transcript)> completion);
    void cancel();
    // Final sentences and the partial, joined, trimmed.
    QString fullText() const;

    // Diagnostics (tests, the self-test's output).
    int generation() const;
    QString taskId() const;
    qint64 keptBytes() const;
    qint64 heardBytes() const;
    // Whether the service ever started a task for this client.
    bool everStarted() const;

    // One message from the service, as far as the client reads it.
    struct Event {
        enum class Kind { started, result, finished, failed, other } kind = Kind::other;
        QString text;                 // result: the sentence, trimmed
        bool sentenceEnd = false;     // result: final, not partial
        std::optional<qint64> endMs;  // result: a usable end time in the task's audio
        QString failure;              // failed: "code: message"
        QString code;                 // failed: the error code alone
    };
    // None when the message is not a JSON object with a header object.
    static std::optional<Event> parseEvent(const QString& message);

    // Joins sentences the way `fullText` does: nothing between them, except one
    // space where two words of a spaced script would otherwise run together.
    static QString joinSentences(const QStringList& sentences);
    // A fresh task id: a random UUID, upper-case hexadecimal, no hyphens.
    static QString newTaskId();

    static constexpr qint64 kBytesPerSecond = 32000;
    static constexpr qint64 kKeptLimit = 3840000;  // 120 s of audio

  private:
    struct Conn;
    struct Chunk {
        qint64 start;
        QByteArray pcm;
    };
    struct Frame {
        std::shared_ptr<Conn> conn;
        QByteArray bytes;
        bool text;
    };

    QwenASR(Vocabulary vocabulary, int maxSilenceMs, Timing timing, RequestProvider request);

    // Main-thread work.
    void openOnMain(const std::shared_ptr<Conn>& conn, const QNetworkRequest& request,
                    quint64 startSerial);
    void socketConnected(const std::shared_ptr<Conn>& conn);
    void receiveFailed(const std::shared_ptr<Conn>& conn, bool fromError);
    void handle(const QString& message, int gen);
    void handleStarted(int gen);
    void lost(const QString& reason, int gen, std::optional<int> refused, bool retry,
              bool onlyIfNotStarted);
    void finishTimerFired(quint64 serial, double waitSeconds);
    void complete();
    void keepAlive(const std::shared_ptr<Conn>& conn, int gen);
    void pingRound(const std::weak_ptr<Conn>& weakConn, int gen);
    void drain();
    static void closeConn(std::shared_ptr<Conn> conn, int code);

    // Under `lock_`.
    void forget(qint64 upTo);
    bool enqueue(const std::shared_ptr<Conn>& conn, QByteArray bytes, bool text);
    QByteArray finishTaskMessage() const;

    void postDrain();
    bool isClosed() const;
    template <class Fn>
    void onMain(Fn&& fn);

    const Vocabulary vocabulary_;
    const int maxSilence_;
    const Timing timing_;
    const RequestProvider request_;

    mutable std::mutex lock_;
    std::shared_ptr<Conn> ws_;
    QString taskId_;
    int generation_ = 0;
    bool started_ = false;
    bool everStarted_ = false;
    bool closed_ = false;
    bool gaveUp_ = false;
    bool finishing_ = false;
    bool taskDone_ = false;  // the service said "task-finished" before `finish`
    double finishWait_ = 6.0;
    std::deque<Chunk> kept_;
    qint64 keptBytes_ = 0;
    qint64 heardBytes_ = 0;
    qint64 base_ = 0;
    QStringList finals_;
    QString current_;
    std::function<void(const QString&)> finishCompletion_;
    quint64 startSerial_ = 0;   // bumping it cancels the start timer
    quint64 finishSerial_ = 0;  // bumping it cancels the finish timer
    QElapsedTimer connectedAt_;
    QString host_ = QStringLiteral("?");
    QByteArray carry_;           // an odd trailing byte, waiting for its other half
    std::vector<Frame> outbox_;  // frames for the socket's thread, in order
    bool drainPosted_ = false;
};

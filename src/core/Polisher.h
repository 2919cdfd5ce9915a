#pragma once
#include <QJsonObject>
#include <QString>
#include <functional>
#include <optional>

// The client for the backend's plain HTTP calls: "polish", "learn", "ping" and
// "timing". A slow or dead connection never holds the user up: every call has a
// time limit, a cleanup that does not answer in time goes out a second time over
// fresh connections (first answer wins), and a failed cleanup gives back the raw
// text. Callable from any thread; all state lives on the main thread and every
// completion runs there.
namespace Polisher {

// Durations in seconds. `scale` multiplies every one of them (tests shrink it).
struct Timings {
    double warmInterval = 20;  // a warm-up this soon after the last sends nothing
    double pingTimeout = 15;
    double learnTimeout = 17;
    double timingTimeout = 10;
    double scale = 1.0;
};
void setTimings(const Timings& timings);
Timings timings();

// User-perceived characters (an emoji or a CJK character counts one).
qsizetype characterCount(const QString& text);
// The cleanup's time limit and second-attempt delay for a text of n characters, in seconds.
double polishTimeout(qsizetype n);
double polishRetryAfter(qsizetype n);

// Warm-up ping; `completion` (may be empty) runs on the main thread once the ping is over,
// or at once when a ping went out within the last 20 seconds and `force` is false.
void warm(bool force, std::function<void()> completion = {});

// `completion(text, by)` runs exactly once: the cleaned text and who answered, or the raw
// text and "failed".
void polish(const QString& text, const QString& style, const QString& appName,
            std::function<void(const QString& text, const QString& by)> completion);

// `completion(text, ok)`: the service's "text" and true, or "" and false.
void learn(const QString& before, const QString& after,
           std::function<void(const QString& text, bool ok)> completion);

// Fire and forget; only a failure is logged.
void reportTiming(const QJsonObject& payload);

// The shared POST machinery. `completion(json, status, ms)`: the top-level JSON object of a
// 200 answer (or nothing), the HTTP status (-1 without an HTTP answer) and the milliseconds
// since the call began. With `retryAfter`, a call unanswered by then goes out once more over
// new connections.
using PostCompletion =
    std::function<void(const std::optional<QJsonObject>& json, int status, qint64 ms)>;
void post(const QString& path, const QJsonObject& body, double timeout,
          std::optional<double> retryAfter, PostCompletion completion);

// Logs, then sends every later call over a new connection pool; calls already running
// on the old one go on to their end.
void renewConnections(const QString& reason);

// The fast-lane setting ("teskEnabled"), with its log line.
void setTeskEnabled(bool on);

// Called before every POST with a step to run once the account's token is fresh enough to
// use; the account store installs it. Without one, calls go out at once.
using TokenGate = std::function<void(std::function<void()> proceed)>;
void setTokenGate(TokenGate gate);

// For tests: bumps at every renewal; and a return to the state at start.
int sessionGeneration();
void resetForTests();

}  // namespace Polisher

#include "AsrEndpoint.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/steady_timer.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <list>
#include <mutex>

#include "AsrProtocol.h"
#include "Metrics.h"
#include "ServerLog.h"
#include "cleanup/Cleanup.h"

namespace vserver {

namespace {

using Clock = std::chrono::steady_clock;
using namespace asrproto;
using namespace jsonfields;

bool validTaskId(const std::string& id) {
    if (id.empty() || id.size() > 128) return false;
    for (unsigned char c : id)
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
    return true;
}

std::string seconds(int64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", double(bytes) / 32000.0);
    return buf;
}

std::string secondsText(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

class AsrSession;

// What every session of the endpoint shares: the count, the live sessions (for a drain) and
// the metrics. Thread: any.
struct Endpoint {
    std::atomic<size_t> open{0};
    std::atomic<bool> draining{false};
    std::mutex mutex;
    std::list<std::weak_ptr<AsrSession>> live;
    Metrics* metrics = nullptr;
    boost::asio::io_context* io = nullptr;
};

// One "asr" connection: parses the client's messages, feeds the engine and
// relays its results. Thread: any. Network callbacks come on the connection's
// strand and engine reports on the engine's threads; `m_` orders them.
class AsrSession : public RecognitionListener, public std::enable_shared_from_this<AsrSession> {
  public:
    AsrSession(std::shared_ptr<WsConnection> ws, std::shared_ptr<RecognitionEngine> engine,
               const AsrLimits& limits, std::shared_ptr<Endpoint> endpoint, std::string user)
        : ws_(std::move(ws)),
          engine_(std::move(engine)),
          limits_(limits),
          endpoint_(std::move(endpoint)),
          user_(std::move(user)),
          tokens_(limits.frameBurst),
          refilled_(Clock::now()),
          deadline_(*endpoint_->io) {
        overloaded_ = ++endpoint_->open > limits.maxSessions;
    }
    ~AsrSession() override { --endpoint_->open; }

    void attach() {
        auto self = shared_from_this();
        {
            std::lock_guard lock(endpoint_->mutex);
            endpoint_->live.remove_if([](const auto& w) { return w.expired(); });
            endpoint_->live.push_back(self);
        }
        ws_->onText = [self](std::string_view t) { self->onText(t); };
        ws_->onBinary = [self](std::string_view b) { self->onBinary(b); };
        ws_->onClosed = [self] { self->onClosed(); };
        std::lock_guard lock(m_);
        armDeadline();
    }

    // The server is going away: the client hears it and may go on elsewhere.
    void shutDown() {
        std::lock_guard lock(m_);
        // 1001 "going away": the code every WebSocket stack accepts (Qt takes 1012 for a
        // protocol error).
        fail("server-shutting-down", "the server is shutting down; connect again", 1001);
    }

    // ---- from the engine ----

    void ready() override {
        std::lock_guard lock(m_);
        if (state_ == State::done || startedSent_) return;
        startedSent_ = true;
        armDeadline();
        ws_->sendText(taskStarted(taskId_));
        log("asr: task " + taskId_ + " started in " + std::to_string(msSince(runAt_)) + "ms");
    }

    void sentence(const Sentence& s) override {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        if (s.end) {
            ++sentences_;
            words_ += static_cast<int64_t>(cleanup::wordCount(s.text));
            // Counted before the client hears it: a server that dies mid-dictation has
            // counted exactly what its client keeps, and the instance that takes the rest
            // over (from the replayed, unconfirmed audio) counts only the rest.
            countWords();
        }
        ws_->sendText(resultGenerated(taskId_, s));
    }

    void finished() override {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        state_ = State::done;
        countWords();  // before the client hears the end, so "me" already shows them
        ws_->sendText(taskFinished(taskId_));
        ws_->close(1000, "finished");
        log("asr: task " + taskId_ + " finished: " + seconds(audioBytes_) + "s of audio, " +
            std::to_string(sentences_) + " sentences, " + std::to_string(msSince(finishAt_)) +
            "ms after finish-task");
        task_.reset();
    }

    void failed(const std::string& code, const std::string& message) override {
        std::lock_guard lock(m_);
        fail(code, message);
    }

    void wire(const WireAction& a) override {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        switch (a.kind) {
            case WireAction::Kind::text:
                ws_->sendText(a.payload);
                break;
            case WireAction::Kind::binary:
                ws_->sendBinary(a.payload);
                break;
            case WireAction::Kind::close:
                log("asr: task " + taskId_ + ": engine closed the connection (" +
                    std::to_string(a.code) + ")");
                end();
                ws_->close(a.code, a.payload);
                break;
        }
    }

  private:
    enum class State { waiting, running, finishing, done };

    static int64_t msSince(Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    }

    // Under m_: sets the timer for the nearest deadline of the session's state.
    void armDeadline() {
        if (state_ == State::done) return;
        auto after = [](Clock::time_point t, double s) {
            return t +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
        };
        Clock::time_point at =
            after(state_ == State::waiting ? connectedAt_ : lastAudio_, limits_.idleSeconds);
        if (state_ == State::finishing) at = Clock::time_point::max();
        if (state_ != State::waiting) {
            at = std::min(at, after(runAt_, limits_.maxTaskSeconds));
            if (!startedSent_) at = std::min(at, after(runAt_, limits_.startWaitSeconds));
        }
        if (at == armedFor_) return;
        armedFor_ = at;
        deadline_.expires_at(at);
        std::weak_ptr<AsrSession> weak = shared_from_this();
        deadline_.async_wait([weak](const boost::system::error_code& ec) {
            if (ec) return;
            if (auto self = weak.lock()) self->deadlinePassed();
        });
    }

    void deadlinePassed() {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        const auto now = Clock::now();
        armedFor_ = {};
        auto past = [&](Clock::time_point t, double s) {
            return now - t >= std::chrono::duration<double>(s);
        };
        if (state_ == State::waiting && past(connectedAt_, limits_.idleSeconds))
            return fail("timeout", "no run-task within " + secondsText(limits_.idleSeconds) + "s");
        if (state_ != State::waiting && past(runAt_, limits_.maxTaskSeconds))
            return fail("timeout",
                        "the task ran longer than " + secondsText(limits_.maxTaskSeconds) + "s");
        if (state_ != State::waiting && !startedSent_ && past(runAt_, limits_.startWaitSeconds)) {
            const EngineLoad load = engine_->load();
            return fail("overloaded", "no recogniser came free within " +
                                          secondsText(limits_.startWaitSeconds) + "s (" +
                                          std::to_string(load.busy) + " busy, " +
                                          std::to_string(load.waiting) + " tasks waiting)");
        }
        if (state_ == State::running && past(lastAudio_, limits_.idleSeconds))
            return fail("timeout", "no audio for " + secondsText(limits_.idleSeconds) + "s");
        armDeadline();
    }

    // Under m_: stops the engine and drops it.
    void end() {
        state_ = State::done;
        deadline_.cancel();
        if (task_) task_->cancel();
        task_.reset();
        countWords();
    }

    // Under m_: the words of the final sentences not yet counted go to the user's month, once.
    void countWords() {
        if (words_ > 0 && limits_.countWords) limits_.countWords(user_, words_);
        words_ = 0;
    }

    // Under m_: ends the session with "task-failed"; other sessions are untouched.
    void fail(const std::string& code, const std::string& message, uint16_t closeCode = 1000) {
        if (state_ == State::done) return;
        log("asr: task " + (taskId_.empty() ? std::string("-") : taskId_) + " from " +
            ws_->remote() + " failed: " + code + ": " + message);
        if (endpoint_->metrics) endpoint_->metrics->countError("asr_" + code);
        ws_->sendText(taskFailed(taskId_, code, message));
        ws_->close(closeCode, closeCode == 1001 ? "server restarting" : "task failed");
        end();
    }

    void onClosed() {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        if (!taskId_.empty())
            log("asr: task " + taskId_ + ": client went away after " + seconds(audioBytes_) +
                "s of audio");
        end();
    }

    void onText(std::string_view text) {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        // Refused only now: nothing may be written before the handshake is done.
        if (overloaded_)
            return fail("overloaded", "the server has too many recognition sessions open");
        if (text.size() > limits_.maxTextBytes)
            return fail("bad-message",
                        "message larger than " + std::to_string(limits_.maxTextBytes) + " bytes");
        const json j = parse(text);
        if (j.is_discarded() || !j.is_object())
            return fail("bad-message", "message is not a JSON object");
        const json* header = objectMember(j, "header");
        if (!header) return fail("bad-message", "message has no header object");
        const auto action = stringMember(*header, "action");
        if (!action) return fail("bad-message", "header.action is missing");
        if (*action == "run-task") return runTask(j, *header);
        if (*action == "finish-task") {
            if (state_ == State::waiting) return fail("bad-message", "finish-task before run-task");
            if (state_ == State::finishing) return fail("bad-message", "finish-task sent twice");
            const auto id = stringMember(*header, "task_id");
            if (id && *id != taskId_) return fail("bad-message", "finish-task names another task");
            state_ = State::finishing;
            finishAt_ = Clock::now();
            task_->finish();
            armDeadline();
            return;
        }
        fail("bad-message", "unknown action \"" + action->substr(0, 40) + "\"");
    }

    void runTask(const json& j, const json& header) {
        if (state_ != State::waiting) return fail("bad-message", "run-task sent twice");
        const auto id = stringMember(header, "task_id");
        if (!id || !validTaskId(*id))
            return fail("bad-parameter",
                        "header.task_id must be 1 to 128 letters, digits, '-' or '_'");
        taskId_ = *id;
        AsrParams params;
        params.taskId = taskId_;
        params.remote = ws_->remote();
        static const json empty = json::object();
        const json* payload = objectMember(j, "payload");
        const json* parameters = payload ? objectMember(*payload, "parameters") : nullptr;
        const json& p = parameters ? *parameters : empty;
        if (member(p, "sample_rate") && intMember(p, "sample_rate") != 16000)
            return fail("bad-parameter", "sample_rate must be 16000");
        if (member(p, "format") && stringMember(p, "format") != "pcm")
            return fail("bad-parameter", "format must be \"pcm\"");
        if (member(p, "max_sentence_silence")) {
            const auto ms = intMember(p, "max_sentence_silence");
            if (!ms) return fail("bad-parameter", "max_sentence_silence must be an integer (ms)");
            params.maxSentenceSilenceMs = static_cast<int>(std::clamp<int64_t>(*ms, 200, 6000));
        }
        if (const json* vocab = member(p, "vocabulary")) {
            if (!vocab->is_object()) return fail("bad-parameter", "vocabulary must be an object");
            size_t skipped = 0;
            for (const auto& [word, weight] : vocab->items()) {
                if (word.empty() || word.size() > 100 || !weight.is_number_integer() ||
                    params.vocabulary.size() >= limits_.maxHotwords) {
                    ++skipped;
                    continue;
                }
                params.vocabulary.emplace_back(
                    word, static_cast<int>(std::clamp<int64_t>(weight.get<int64_t>(), 1, 100)));
            }
            if (skipped)
                log("asr: task " + taskId_ + ": " + std::to_string(skipped) +
                    " vocabulary entries skipped (empty, too long, no integer weight, or over " +
                    std::to_string(limits_.maxHotwords) + ")");
        }
        state_ = State::running;
        runAt_ = lastAudio_ = Clock::now();
        log("asr: task " + taskId_ + " from " + params.remote + " on " + engine_->name() + " (" +
            std::to_string(params.vocabulary.size()) + " hotwords, silence " +
            std::to_string(params.maxSentenceSilenceMs) + "ms)");
        task_ = engine_->start(params, shared_from_this());
        if (!task_ && state_ != State::done)
            return fail("engine-error", "the recogniser is not available");
        armDeadline();
    }

    void onBinary(std::string_view audio) {
        std::lock_guard lock(m_);
        if (state_ == State::done) return;
        if (overloaded_)
            return fail("overloaded", "the server has too many recognition sessions open");
        if (state_ == State::waiting) return fail("bad-audio", "audio before run-task");
        if (state_ == State::finishing) return fail("bad-audio", "audio after finish-task");
        if (audio.empty()) return;
        if (audio.size() & 1)
            return fail("bad-audio", "audio frame of odd length (" + std::to_string(audio.size()) +
                                         " bytes); frames carry whole 16-bit samples");
        if (audio.size() > limits_.maxFrameBytes)
            return fail("bad-audio", "audio frame larger than " +
                                         std::to_string(limits_.maxFrameBytes) + " bytes");
        if (audioBytes_ + int64_t(audio.size()) > limits_.maxAudioBytes)
            return fail("too-much-audio",
                        "a task takes at most " + seconds(limits_.maxAudioBytes) + "s of audio");
        const auto now = Clock::now();
        tokens_ = std::min(limits_.frameBurst,
                           tokens_ + std::chrono::duration<double>(now - refilled_).count() *
                                         limits_.framesPerSecond);
        refilled_ = now;
        if (tokens_ < 1)
            return fail("too-many-frames",
                        "audio frames are arriving faster than the server takes them");
        tokens_ -= 1;
        if (!task_) return fail("engine-error", "the recogniser is not available");
        if (int64_t(task_->backlogBytes() + audio.size()) > limits_.maxBacklogBytes)
            return fail("overloaded", "the recogniser has fallen " +
                                          seconds(limits_.maxBacklogBytes) + "s behind");
        audioBytes_ += int64_t(audio.size());
        lastAudio_ = now;
        task_->feed(std::string(audio));
    }

    std::mutex m_;
    std::shared_ptr<WsConnection> ws_;
    std::shared_ptr<RecognitionEngine> engine_;
    const AsrLimits limits_;
    const std::shared_ptr<Endpoint> endpoint_;
    const std::string user_;
    std::shared_ptr<RecognitionTask> task_;
    State state_ = State::waiting;
    std::string taskId_;
    bool startedSent_ = false, overloaded_ = false;
    int64_t audioBytes_ = 0;
    int sentences_ = 0;
    int64_t words_ = 0;  // in final sentences, not yet counted
    double tokens_;
    Clock::time_point refilled_, runAt_ = Clock::now(), finishAt_ = Clock::now();
    Clock::time_point connectedAt_ = Clock::now(), lastAudio_ = Clock::now();
    boost::asio::steady_timer deadline_;  // touched under m_ only
    Clock::time_point armedFor_{};
};

}  // namespace

void registerAsr(HttpServer& server, std::shared_ptr<RecognitionEngine> engine, AsrLimits limits) {
    auto endpoint = std::make_shared<Endpoint>();
    endpoint->metrics = &server.metrics();
    endpoint->io = &server.io();
    Metrics& m = server.metrics();
    m.addGauge("asr_sessions_open", "Recognition connections open now.",
               [endpoint] { return double(endpoint->open); });
    m.addGauge("decoders_loaded", "Recognisers loaded.",
               [engine] { return double(engine->load().loaded); });
    m.addGauge("decoders_busy", "Recognisers decoding an utterance now.",
               [engine] { return double(engine->load().busy); });
    m.addGauge("decoder_waiters", "Utterances waiting for a free recogniser.",
               [engine] { return double(engine->load().waiting); });
    m.addGauge("decoder_utilisation", "Share of loaded recognisers in use.", [engine] {
        const EngineLoad l = engine->load();
        return l.loaded ? double(l.busy) / double(l.loaded) : 0.0;
    });
    server.onDrain([endpoint] {
        endpoint->draining = true;
        std::vector<std::shared_ptr<AsrSession>> sessions;
        {
            std::lock_guard lock(endpoint->mutex);
            for (const auto& w : endpoint->live)
                if (auto s = w.lock()) sessions.push_back(std::move(s));
        }
        if (!sessions.empty())
            log("asr: ending " + std::to_string(sessions.size()) + " open sessions for shutdown");
        for (const auto& s : sessions) s->shutDown();
    });
    server.websocket(
        "asr", [engine = std::move(engine), limits, endpoint](
                   std::shared_ptr<WsConnection> ws, const Request&, const Caller& caller) {
            std::make_shared<AsrSession>(std::move(ws), engine, limits, endpoint, caller.user)
                ->attach();
        });
}

}  // namespace vserver

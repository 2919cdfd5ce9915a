#include "ScriptedEngine.h"

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <chrono>

#include "AsrProtocol.h"

namespace vserver {

using namespace asrproto;
using namespace jsonfields;

std::optional<ScriptedEngine::Script> ScriptedEngine::parse(const std::string& text,
                                                            std::string& error) {
    const json j = jsonfields::parse(text);
    if (j.is_discarded() || !j.is_object()) {
        error = "the script is not a JSON object";
        return std::nullopt;
    }
    const json* conns = member(j, "connections");
    if (!conns || !conns->is_array() || conns->empty()) {
        error = "the script needs a non-empty \"connections\" array";
        return std::nullopt;
    }
    Script script;
    for (const json& c : *conns) {
        if (!c.is_object()) {
            error = "each connection is an object";
            return std::nullopt;
        }
        Connection conn;
        conn.startDelayMs = static_cast<int>(intMember(c, "start_delay_ms").value_or(0));
        conn.neverStart = boolMember(c, "never_start").value_or(false);
        conn.doubleStart = boolMember(c, "double_start").value_or(false);
        conn.finishDelayMs = static_cast<int>(intMember(c, "finish_delay_ms").value_or(0));
        conn.neverFinish = boolMember(c, "never_finish").value_or(false);
        conn.dropAfterBytes = intMember(c, "drop_after_bytes").value_or(-1);
        conn.dropCode = static_cast<uint16_t>(intMember(c, "drop_code").value_or(1011));
        conn.wordMs = std::max<int64_t>(0, intMember(c, "words_ms").value_or(0));
        if (const json* steps = member(c, "steps")) {
            if (!steps->is_array()) {
                error = "\"steps\" is an array";
                return std::nullopt;
            }
            for (const json& s : *steps) {
                Step step;
                step.atMs = intMember(s, "at_ms").value_or(0);
                step.atFinish = boolMember(s, "at_finish").value_or(false);
                step.endMs = intMember(s, "end_ms");
                if (auto t = stringMember(s, "partial")) {
                    step.kind = Step::Kind::partial;
                    step.text = *t;
                } else if (auto f = stringMember(s, "final")) {
                    step.kind = Step::Kind::final;
                    step.text = *f;
                } else if (auto code = stringMember(s, "fail")) {
                    step.kind = Step::Kind::fail;
                    step.code = *code;
                    step.text = stringMember(s, "message").value_or("");
                } else if (auto raw = stringMember(s, "raw_text")) {
                    step.kind = Step::Kind::rawText;
                    step.text = *raw;
                } else if (auto bin = stringMember(s, "raw_binary")) {
                    step.kind = Step::Kind::rawBinary;
                    step.text = *bin;
                } else if (auto close = intMember(s, "close")) {
                    step.kind = Step::Kind::close;
                    step.closeCode = static_cast<uint16_t>(*close);
                } else {
                    error = "a step needs one of partial, final, fail, raw_text, raw_binary, close";
                    return std::nullopt;
                }
                conn.steps.push_back(std::move(step));
            }
        }
        script.connections.push_back(std::move(conn));
    }
    return script;
}

class ScriptedEngine::Task : public WorkerTask {
  public:
    Task(boost::asio::thread_pool& pool, std::shared_ptr<RecognitionListener> listener,
         std::shared_ptr<Shared> shared, size_t record, Connection conn, std::string taskId,
         bool keepAudio)
        : WorkerTask(pool, std::move(listener)),
          shared_(std::move(shared)),
          record_(record),
          conn_(std::move(conn)),
          taskId_(std::move(taskId)),
          keepAudio_(keepAudio),
          timer_(strand_) {}

    void begin() {
        if (conn_.neverStart) return;
        auto self = std::static_pointer_cast<Task>(shared_from_this());
        onStrand([self] {
            if (self->conn_.startDelayMs <= 0) return self->go();
            self->timer_.expires_after(std::chrono::milliseconds(self->conn_.startDelayMs));
            self->timer_.async_wait([self](const boost::system::error_code& ec) {
                if (!ec && !self->cancelled()) self->go();
            });
        });
    }

  private:
    void go() {
        reportReady();
        if (conn_.doubleStart) reportWire({WireAction::Kind::text, taskStarted(taskId_), 1000});
        fireDue();
        runnable();
    }

    void process(const int16_t* samples, size_t count) override {
        const size_t bytes = count * 2;
        if (conn_.wordMs > 0) hearWords(samples, count);
        received_ += int64_t(bytes);
        if (keepAudio_) {
            std::lock_guard lock(shared_->mutex);
            Record& r = shared_->records[record_];
            r.audioBytes += int64_t(bytes);
            r.audio.append(reinterpret_cast<const char*>(samples), bytes);
        }
        fireDue();
        if (conn_.dropAfterBytes >= 0 && received_ >= conn_.dropAfterBytes && !dropped_) {
            dropped_ = true;
            reportWire({WireAction::Kind::close, "dropped", conn_.dropCode});
        }
    }

    void end() override {
        if (keepAudio_) {
            std::lock_guard lock(shared_->mutex);
            shared_->records[record_].finishReceived = true;
        }
        fireDue();
        for (; next_ < conn_.steps.size(); ++next_)
            if (conn_.steps[next_].atFinish) fire(conn_.steps[next_]);
        if (conn_.neverFinish) return;
        if (conn_.finishDelayMs <= 0) return reportFinished();
        auto self = std::static_pointer_cast<Task>(shared_from_this());
        timer_.expires_after(std::chrono::milliseconds(conn_.finishDelayMs));
        timer_.async_wait([self](const boost::system::error_code& ec) {
            if (!ec) self->reportFinished();
        });
    }

    void release() override {
        if (cancelled()) timer_.cancel();  // after a normal end the finish delay still runs
    }

    void hearWords(const int16_t* samples, size_t count) {
        const int64_t block = conn_.wordMs * 32;
        for (size_t i = 0; i < count; ++i) {
            const int64_t at = received_ + int64_t(i) * 2;
            if (at % block == 0) word_ = samples[i];
            if ((at + 2) % block == 0)
                reportSentence({"w" + std::to_string(word_), true, std::nullopt, (at + 2) / 32});
        }
    }

    void fireDue() {
        while (next_ < conn_.steps.size()) {
            const Step& s = conn_.steps[next_];
            if (s.atFinish || s.atMs * 32 > received_) return;
            ++next_;
            fire(s);
        }
    }

    void fire(const Step& s) {
        switch (s.kind) {
            case Step::Kind::partial:
                reportSentence({s.text, false, std::nullopt, std::nullopt});
                break;
            case Step::Kind::final:
                reportSentence({s.text, true, std::nullopt, s.endMs});
                break;
            case Step::Kind::fail:
                reportFailed(s.code, s.text);
                break;
            case Step::Kind::rawText:
                reportWire({WireAction::Kind::text, s.text, 1000});
                break;
            case Step::Kind::rawBinary:
                reportWire({WireAction::Kind::binary, s.text, 1000});
                break;
            case Step::Kind::close:
                reportWire({WireAction::Kind::close, "scripted", s.closeCode});
                break;
        }
    }

    std::shared_ptr<Shared> shared_;
    size_t record_;
    Connection conn_;
    std::string taskId_;
    bool keepAudio_;
    boost::asio::steady_timer timer_;
    int64_t received_ = 0;
    size_t next_ = 0;
    bool dropped_ = false;
    int word_ = 0;  // the first sample of the block being heard
};

ScriptedEngine::ScriptedEngine(boost::asio::thread_pool& pool, Script script, bool recordAudio)
    : pool_(pool), recordAudio_(recordAudio), shared_(std::make_shared<Shared>()) {
    shared_->script = std::move(script);
}

void ScriptedEngine::setScript(Script script) {
    std::lock_guard lock(shared_->mutex);
    shared_->script = std::move(script);
}

std::vector<ScriptedEngine::Record> ScriptedEngine::records() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->records;
}

std::shared_ptr<RecognitionTask> ScriptedEngine::start(
    const AsrParams& params, std::shared_ptr<RecognitionListener> listener) {
    Connection conn;
    size_t record = 0;
    {
        std::lock_guard lock(shared_->mutex);
        const auto& conns = shared_->script.connections;
        if (!conns.empty()) conn = conns[std::min(shared_->started, conns.size() - 1)];
        ++shared_->started;
        if (recordAudio_) {
            record = shared_->records.size();
            shared_->records.push_back({params.taskId, params, {}, 0, false});
        }
    }
    auto task = std::make_shared<Task>(pool_, std::move(listener), shared_, record, std::move(conn),
                                       params.taskId, recordAudio_);
    task->begin();
    return task;
}

}  // namespace vserver

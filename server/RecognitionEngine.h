#pragma once
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vserver {

// What a client asked for in its "run-task".
struct AsrParams {
    std::string taskId;
    int sampleRate = 16000;
    int maxSentenceSilenceMs = 800;
    std::vector<std::pair<std::string, int>> vocabulary;  // hotword, weight
    std::string remote;                                   // for log lines
};

// One recognised sentence: a partial (end false) or a final one.
struct Sentence {
    std::string text;
    bool end = false;
    std::optional<int64_t> beginMs, endMs;  // from the start of the task's audio
};

// A raw act on the client's connection, for engines that stand in for a
// misbehaving service in tests.
struct WireAction {
    enum class Kind { text, binary, close } kind = Kind::text;
    std::string payload;
    uint16_t code = 1000;
};

// Where a task reports. Calls for one task come one at a time, in order, from
// the engine's threads (never a network thread for CPU engines).
class RecognitionListener {
  public:
    virtual ~RecognitionListener() = default;
    virtual void ready() = 0;  // the task runs: the client may be told "task-started"
    virtual void sentence(const Sentence& s) = 0;
    virtual void finished() = 0;  // all audio after finish() has been recognised
    virtual void failed(const std::string& code, const std::string& message) = 0;
    virtual void wire(const WireAction&) {}
};

// One recognition task. feed/finish/cancel never block and may be called from any thread.
class RecognitionTask {
  public:
    virtual ~RecognitionTask() = default;
    virtual void feed(std::string pcm) = 0;  // whole 16-bit samples, in order
    virtual void finish() = 0;
    // After cancel the listener hears nothing more (a call in progress may finish).
    virtual void cancel() = 0;
    // Audio handed in but not yet recognised.
    virtual size_t backlogBytes() const = 0;
};

// How busy an engine's shared resources are (decoders), for the metrics.
struct EngineLoad {
    size_t loaded = 0, busy = 0, waiting = 0;
};

// Thread: any (sessions start tasks from the network threads, several at once).
class RecognitionEngine {
  public:
    virtual ~RecognitionEngine() = default;
    virtual std::string name() const = 0;
    // Whether tasks can be served now (models loaded).
    virtual bool ready() const { return true; }
    virtual EngineLoad load() const { return {}; }
    virtual std::shared_ptr<RecognitionTask> start(
        const AsrParams& params, std::shared_ptr<RecognitionListener> listener) = 0;
};

// Base for engines that do CPU work: audio is queued and recognised on the
// worker pool, one slice at a time per task so that many tasks share the
// workers fairly. Subclasses implement the hooks; each runs on a worker, never
// two at once for one task.
class WorkerTask : public RecognitionTask, public std::enable_shared_from_this<WorkerTask> {
  public:
    WorkerTask(boost::asio::thread_pool& pool, std::shared_ptr<RecognitionListener> listener);

    void feed(std::string pcm) override;
    void finish() override;
    void cancel() override;
    size_t backlogBytes() const override;

  protected:
    // Audio may be recognised from now on; call once when resources are ready.
    void runnable();
    // Runs `fn` on this task's strand unless cancelled.
    template <class Fn>
    void onStrand(Fn&& fn);

    virtual void process(const int16_t* samples, size_t count) = 0;
    virtual void end() = 0;    // after the last audio; must report finished() or failed()
    virtual void release() {}  // cancelled or done: give back what the task holds

    // Listener calls, dropped after cancel.
    void reportReady();
    void reportSentence(const Sentence& s);
    void reportFinished();
    void reportFailed(const std::string& code, const std::string& message);
    void reportWire(const WireAction& a);
    bool cancelled() const;

    boost::asio::strand<boost::asio::thread_pool::executor_type> strand_;

  private:
    enum class Report { ongoing, finished, failed };
    // Whom to tell, if anyone: none after cancel or the last report, which this may be.
    std::shared_ptr<RecognitionListener> listenerFor(Report report);
    void schedule();  // under mutex_
    void pump();

    static constexpr size_t kSliceBytes = 32000;  // 1 s of audio per turn

    mutable std::mutex mutex_;
    std::shared_ptr<RecognitionListener> listener_;
    std::deque<std::string> queue_;
    size_t queued_ = 0;
    bool runnable_ = false, pumping_ = false, finishAsked_ = false, ended_ = false,
         cancelled_ = false, reportedEnd_ = false;
};

template <class Fn>
void WorkerTask::onStrand(Fn&& fn) {
    boost::asio::post(strand_, [self = shared_from_this(), fn = std::forward<Fn>(fn)]() mutable {
        if (!self->cancelled()) fn();
    });
}

}  // namespace vserver

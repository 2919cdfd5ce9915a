#pragma once
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "RecognitionEngine.h"

namespace vserver {

// The embedded offline recogniser (CMU Pocketsphinx, US English). Decoders are
// large (~100 MB) and slow to load, so a pool of them is loaded at start and lent to one
// utterance at a time: a session holds one only while it has speech to decode, and
// an utterance that finds none free is kept until one is returned. Sentence ends come from an
// energy voice-activity detector and the task's `max_sentence_silence`. Hotwords the dictionary
// knows get their spelling in the transcript; the rest are logged as unusable (the n-gram model
// takes no per-task weights). Thread: any; tasks run on the worker pool.
class PocketsphinxEngine : public RecognitionEngine {
  public:
    struct Options {
        std::string modelDir = "/usr/share/pocketsphinx/model/en-us";
        int decoders = 2;
    };
    // A reason when the model files are missing.
    static std::optional<std::string> check(const Options& options);

    PocketsphinxEngine(boost::asio::thread_pool& pool, Options options);
    ~PocketsphinxEngine() override;
    std::string name() const override { return "pocketsphinx"; }
    std::shared_ptr<RecognitionTask> start(const AsrParams& params,
                                           std::shared_ptr<RecognitionListener> listener) override;
    // Loads every decoder in the background, the first one first, on a thread of its own.
    void preload();
    bool ready() const override;
    EngineLoad load() const override;

    class Pool;

  private:
    class Task;
    boost::asio::thread_pool& workers_;
    std::shared_ptr<Pool> pool_;
    std::jthread preloader_;  // stopped and joined first: declared last
};

// Rewrites words of `text` that match a hotword (ignoring case, whole words)
// into the hotword's own spelling. Longer hotwords win.
std::string applyHotwordSpelling(const std::string& text,
                                 const std::vector<std::pair<std::string, int>>& vocabulary);

}  // namespace vserver

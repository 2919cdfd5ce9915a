#pragma once
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "RecognitionEngine.h"

namespace vserver {

// Recognition by an OpenAI-compatible transcription service ("/v1/audio/
// transcriptions": a local Whisper-class server or a hosted one). The server's
// voice-activity detection and the task's `max_sentence_silence` cut the audio
// into sentences; each goes up as a WAV file with the vocabulary as the prompt,
// and the answers come back, in order, as final sentences. While a sentence
// grows it may be sent again, at most once a second and one at a time, for a
// partial. Any failure of the service (no answer in time, an HTTP error, an
// answer that is not what was asked for) ends the task with a clear message.
// Requests run on a thread of the engine's own, so a slow service holds up
// neither the network threads nor other sessions' recognition.
// Thread: any; tasks cut audio on the worker pool.
class TranscribeEngine : public RecognitionEngine {
  public:
    struct Options {
        std::string url;     // http(s)://host[:port]/v1/audio/transcriptions
        std::string model;   // e.g. "whisper-1"
        std::string key;     // bearer key, never logged; may be empty for a local server
        std::string caFile;  // extra trusted certificates (PEM), optional
        int timeoutMs = 30000;
        bool partials = true;
        size_t maxAnswerBytes = 256 * 1024;
        int maxInFlight = 64;  // requests at once over all tasks
    };
    // Why the options cannot work (bad URL, no model, unreadable CA file), if so.
    static std::optional<std::string> check(const Options& options);

    TranscribeEngine(boost::asio::thread_pool& workers, Options options);
    ~TranscribeEngine() override;
    std::string name() const override { return "transcribe"; }
    std::shared_ptr<RecognitionTask> start(const AsrParams& params,
                                           std::shared_ptr<RecognitionListener> listener) override;

    // The pieces, for tests.
    static std::string wavFile(const std::string& pcm);  // 16 kHz mono 16-bit
    static std::string prompt(const std::vector<std::pair<std::string, int>>& vocabulary);
    // The text of an answer, or none and why.
    static std::optional<std::string> readAnswer(const std::string& body, std::string& why);

    struct Shared;

  private:
    class Task;
    boost::asio::thread_pool& workers_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace vserver

#pragma once
#include <boost/asio/thread_pool.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "RecognitionEngine.h"

namespace vserver {

// A recogniser that answers from a script: given sentences at given audio
// offsets, and, for tests, the faults of a misbehaving service. Each new task
// plays the next connection's script; the last one repeats.
//
// Script (JSON):
//   {"connections": [{
//      "start_delay_ms": 0, "never_start": false, "double_start": false,
//      "finish_delay_ms": 0, "never_finish": false,
//      "drop_after_bytes": -1, "drop_code": 1011, "words_ms": 0,
//      "steps": [
//        {"at_ms": 500, "partial": "hello"},
//        {"at_ms": 900, "final": "Hello there.", "end_ms": 900},
//        {"at_ms": 0, "raw_text": "not json"}, {"at_ms": 0, "raw_binary": "xyz"},
//        {"at_ms": 1200, "fail": "SomeCode", "message": "what went wrong"},
//        {"at_ms": 1500, "close": 4008},
//        {"at_finish": true, "final": "last words"}]}]}
// A step fires once the task has received `at_ms` of audio (32 bytes a ms), in order.
// With "words_ms", every whole block of that much audio is also heard as a final sentence
// "w" + the block's first sample, ending at the block's end: a recogniser whose words
// follow the audio, so a lost, repeated or shifted stretch shows in the transcript.
// Thread: any; tasks run on the worker pool.
class ScriptedEngine : public RecognitionEngine {
  public:
    struct Step {
        enum class Kind { partial, final, fail, rawText, rawBinary, close } kind = Kind::partial;
        int64_t atMs = 0;
        bool atFinish = false;
        std::string text;  // sentence text, raw payload, or failure message
        std::string code;  // failure code
        std::optional<int64_t> endMs;
        uint16_t closeCode = 1000;
    };
    struct Connection {
        int startDelayMs = 0;
        bool neverStart = false;
        bool doubleStart = false;  // sends "task-started" twice
        int finishDelayMs = 0;
        bool neverFinish = false;
        int64_t dropAfterBytes = -1;  // closes the connection once this much audio came
        uint16_t dropCode = 1011;
        int64_t wordMs = 0;  // "words_ms"
        std::vector<Step> steps;
    };
    struct Script {
        std::vector<Connection> connections;
    };
    // What one task received (kept only when recording, for tests).
    struct Record {
        std::string taskId;
        AsrParams params;
        std::string audio;  // kept only when recording
        int64_t audioBytes = 0;
        bool finishReceived = false;
    };

    // Parses a script; none with `error` set when it is malformed.
    static std::optional<Script> parse(const std::string& json, std::string& error);

    ScriptedEngine(boost::asio::thread_pool& pool, Script script, bool recordAudio = false);
    std::string name() const override { return "scripted"; }
    std::shared_ptr<RecognitionTask> start(const AsrParams& params,
                                           std::shared_ptr<RecognitionListener> listener) override;

    std::vector<Record> records() const;
    void setScript(Script script);

  private:
    class Task;
    struct Shared {
        std::mutex mutex;
        Script script;
        size_t started = 0;
        std::vector<Record> records;  // only when recording
    };
    boost::asio::thread_pool& pool_;
    const bool recordAudio_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace vserver

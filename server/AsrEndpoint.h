#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HttpServer.h"
#include "RecognitionEngine.h"

namespace vserver {

// Per-session bounds: a client can neither exhaust memory nor hold a worker forever.
struct AsrLimits {
    int64_t maxAudioBytes = 32000LL * 900;    // 15 minutes of audio in one task
    int64_t maxBacklogBytes = 32000LL * 150;  // audio waiting for the engine (a full replay fits)
    size_t maxFrameBytes = 1 << 20;           // one binary frame
    size_t maxTextBytes = 256 * 1024;         // one JSON message
    double framesPerSecond = 1000;            // sustained frame rate...
    double frameBurst = 20000;  // ...after a burst this large (a 120 s replay is 6000)
    size_t maxHotwords = 500;
    size_t maxSessions = 2000;  // open "asr" connections at once
    // Deadlines, each ending the task with "task-failed": no "run-task", or no audio while
    // running, for this long; no recogniser free for this long after "run-task"; the whole
    // task, from "run-task" to its last result.
    double idleSeconds = 20;
    double startWaitSeconds = 15;
    double maxTaskSeconds = 900 + 120;
    // Told the words of a session's final sentences once it ends (its user, the count).
    std::function<void(const std::string& user, int64_t words)> countWords;
};

// How velmora-server's "asr" endpoint is set up (command-line flags).
struct AsrOptions {
    std::string engine = "pocketsphinx";  // pocketsphinx | scripted | relay | transcribe
    std::string scriptFile;               // scripted: the script (JSON)
    std::string upstream;                 // relay: ws:// or wss:// URL of the upstream recogniser
    std::string upstreamKey;              // relay: bearer token sent upstream
    std::string modelDir = "/usr/share/pocketsphinx/model/en-us";
    int decoders = 0;                            // pocketsphinx decoders kept; 0: one per worker
    std::string transcribeUrl, transcribeModel;  // transcribe: the service and its model
    std::string transcribeKeyFile;               // transcribe: key from a file (else env)
    int transcribeTimeoutS = 30;
    bool transcribePartials = true;
    int maxSessionSeconds = 900;
};

// Reads one "--asr-..." flag at args[i] (advancing i past its value). False when
// the flag is not one of ours; `error` is set when it is but its value is bad.
bool parseAsrArg(const std::vector<std::string>& args, size_t& i, AsrOptions& out,
                 std::string& error);
std::string asrUsage();

// Builds the configured engine; null with `error` set when it cannot run.
std::shared_ptr<RecognitionEngine> makeAsrEngine(const AsrOptions& options, HttpServer& server,
                                                 std::string& error);

// "asr": the streaming recognition WebSocket. Called before the server starts; each
// connection then lives on the network threads and the engine's.
void registerAsr(HttpServer& server, std::shared_ptr<RecognitionEngine> engine,
                 AsrLimits limits = {});

}  // namespace vserver

#include "AsrProtocol.h"

namespace vserver::asrproto {

using jsonfields::dump;

namespace {
json header(const std::string& taskId, const char* event) {
    return json{{"task_id", taskId}, {"event", event}, {"attributes", json::object()}};
}
}  // namespace

std::string taskStarted(const std::string& taskId) {
    return dump(json{{"header", header(taskId, "task-started")}, {"payload", json::object()}});
}

std::string resultGenerated(const std::string& taskId, const Sentence& s) {
    json sentence{{"text", s.text}, {"sentence_end", s.end}};
    sentence["begin_time"] = s.beginMs ? json(*s.beginMs) : json(nullptr);
    sentence["end_time"] = s.endMs ? json(*s.endMs) : json(nullptr);
    return dump(json{{"header", header(taskId, "result-generated")},
                     {"payload", {{"output", {{"sentence", sentence}}}}}});
}

std::string taskFinished(const std::string& taskId) {
    return dump(json{{"header", header(taskId, "task-finished")},
                     {"payload", {{"output", json::object()}}}});
}

std::string taskFailed(const std::string& taskId, const std::string& code,
                       const std::string& message) {
    json h = header(taskId, "task-failed");
    h["error_code"] = code;
    h["error_message"] = message;
    return dump(json{{"header", h}, {"payload", json::object()}});
}

std::string runTask(const AsrParams& p) {
    json parameters{{"sample_rate", p.sampleRate},
                    {"format", "pcm"},
                    {"max_sentence_silence", p.maxSentenceSilenceMs}};
    if (!p.vocabulary.empty()) {
        json vocab = json::object();
        for (const auto& [word, weight] : p.vocabulary) vocab[word] = weight;
        parameters["vocabulary"] = vocab;
    }
    return dump(
        json{{"header", {{"action", "run-task"}, {"task_id", p.taskId}, {"streaming", "duplex"}}},
             {"payload",
              {{"task_group", "audio"},
               {"task", "asr"},
               {"function", "recognition"},
               {"parameters", parameters},
               {"input", json::object()}}}});
}

std::string finishTask(const std::string& taskId) {
    return dump(
        json{{"header", {{"action", "finish-task"}, {"task_id", taskId}, {"streaming", "duplex"}}},
             {"payload", {{"input", json::object()}}}});
}

}  // namespace vserver::asrproto

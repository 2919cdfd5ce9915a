#include "AsrProtocol.h"

#include <cmath>

namespace vserver::asrproto {

namespace {
json header(const std::string& taskId, const char* event) {
    return json{{"task_id", taskId}, {"event", event}, {"attributes", json::object()}};
}
}  // namespace

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json parse(std::string_view text) {
    return json::parse(text, nullptr, false);
}

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

const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json* objectMember(const json& object, const char* key) {
    const json* m = member(object, key);
    return m && m->is_object() ? m : nullptr;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    const json* m = member(object, key);
    if (!m || !m->is_string()) return std::nullopt;
    return m->get<std::string>();
}

std::optional<int64_t> intMember(const json& object, const char* key) {
    const json* m = member(object, key);
    if (!m) return std::nullopt;
    if (m->is_number_integer()) {
        if (m->is_number_unsigned() && m->get<uint64_t>() > uint64_t(INT64_MAX))
            return std::nullopt;
        return m->get<int64_t>();
    }
    if (m->is_number_float()) {
        const double d = m->get<double>();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9e15)
            return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<bool> boolMember(const json& object, const char* key) {
    const json* m = member(object, key);
    if (!m || !m->is_boolean()) return std::nullopt;
    return m->get<bool>();
}

std::string render(const json* value) {
    if (!value) return {};
    if (value->is_string()) return value->get<std::string>();
    return dump(*value);
}

}  // namespace vserver::asrproto

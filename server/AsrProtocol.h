#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "RecognitionEngine.h"

// The recogniser's wire protocol: JSON text frames for control and events,
// binary frames of raw 16 kHz mono 16-bit PCM for audio.
namespace vserver::asrproto {

using json = nlohmann::json;

std::string taskStarted(const std::string& taskId);
std::string resultGenerated(const std::string& taskId, const Sentence& s);
std::string taskFinished(const std::string& taskId);
std::string taskFailed(const std::string& taskId, const std::string& code,
                       const std::string& message);
std::string runTask(const AsrParams& params);
std::string finishTask(const std::string& taskId);

// Parses without throwing; a discarded value when the text is not JSON.
json parse(std::string_view text);
// Compact, never throws (invalid UTF-8 is replaced).
std::string dump(const json& j);

// Typed member access that never throws: none when absent or of another type.
const json* member(const json& object, const char* key);
const json* objectMember(const json& object, const char* key);
std::optional<std::string> stringMember(const json& object, const char* key);
std::optional<int64_t> intMember(const json& object, const char* key);
std::optional<bool> boolMember(const json& object, const char* key);

// A JSON value rendered as text ("" for none).
std::string render(const json* value);

}  // namespace vserver::asrproto

#pragma once
#include <string>

#include "JsonFields.h"
#include "RecognitionEngine.h"

// The recogniser's wire protocol: JSON text frames for control and events,
// binary frames of raw 16 kHz mono 16-bit PCM for audio.
namespace vserver::asrproto {

using jsonfields::json;

std::string taskStarted(const std::string& taskId);
std::string resultGenerated(const std::string& taskId, const Sentence& s);
std::string taskFinished(const std::string& taskId);
std::string taskFailed(const std::string& taskId, const std::string& code,
                       const std::string& message);
std::string runTask(const AsrParams& params);
std::string finishTask(const std::string& taskId);

}  // namespace vserver::asrproto

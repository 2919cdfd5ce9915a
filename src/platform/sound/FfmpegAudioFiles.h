#pragma once
#include <memory>

#include "platform/AudioFileWriter.h"

namespace platform::sound {

// AAC files through FFmpeg's native AAC encoder (libavcodec) and its ADTS muxer
// (libavformat). Needs no display.
std::unique_ptr<AudioFiles> makeAudioFiles();

}  // namespace platform::sound

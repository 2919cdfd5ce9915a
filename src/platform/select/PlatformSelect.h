#pragma once
#include <memory>

#include "platform/AudioFileConverter.h"
#include "platform/Platform.h"

namespace platform {
// The X11 backend when a display opens (and VQ_PLATFORM is not "fake"), else the fake one.
std::unique_ptr<Platform> createPlatform();
// Sound file → 16 kHz mono 16-bit WAVE; needs neither a display nor a platform installed.
std::unique_ptr<AudioFileConverter> makeAudioFileConverter();
}  // namespace platform

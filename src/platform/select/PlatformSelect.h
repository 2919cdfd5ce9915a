#pragma once
#include <QString>
#include <memory>

#include "platform/AudioFileConverter.h"
#include "platform/Platform.h"

namespace platform {
// The X11 backend when a display opens; the scripted fake only with VQ_PLATFORM=fake.
// Null (and logged) when there is no X display, as on Wayland without XWayland.
std::unique_ptr<Platform> createPlatform();
// What the user is told then.
QString needsX11Message();
// Sound file → 16 kHz mono 16-bit WAVE; needs neither a display nor a platform installed.
std::unique_ptr<AudioFileConverter> makeAudioFileConverter();
}  // namespace platform

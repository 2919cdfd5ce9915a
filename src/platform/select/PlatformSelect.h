#pragma once
#include <memory>

#include "platform/Platform.h"

namespace platform {
// The X11 backend when a display opens (and VQ_PLATFORM is not "fake"), else the fake one.
std::unique_ptr<Platform> createPlatform();
}  // namespace platform

#pragma once
#include <memory>

#include "platform/Platform.h"

namespace platform::x11 {
// The X11 desktop backend; null when no display can be opened.
std::unique_ptr<Platform> createLinuxPlatform();
}  // namespace platform::x11

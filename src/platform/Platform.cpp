#include "platform/Platform.h"

#include <cstdlib>

#include "core/Log.h"
#include "platform/Accessibility.h"
#include "platform/AudioConverter.h"
#include "platform/AudioEngine.h"
#include "platform/AudioFileWriter.h"
#include "platform/AudioOutput.h"
#include "platform/KeyMonitor.h"
#include "platform/KeySynth.h"
#include "platform/Pasteboard.h"
#include "platform/Permissions.h"
#include "platform/Workspace.h"

namespace platform {

namespace {
std::unique_ptr<Platform>& slot() {
    static std::unique_ptr<Platform> p;
    return p;
}
}  // namespace

Platform::Platform() = default;
Platform::~Platform() = default;
Platform::Platform(Platform&&) noexcept = default;
Platform& Platform::operator=(Platform&&) noexcept = default;

Platform& Platform::current() {
    if (!slot()) {
        Log::write(QStringLiteral("Platform: used before it was chosen"));
        std::abort();
    }
    return *slot();
}

bool Platform::installed() {
    return slot() != nullptr;
}

void Platform::install(std::unique_ptr<Platform> platform) {
    slot() = std::move(platform);
}

}  // namespace platform

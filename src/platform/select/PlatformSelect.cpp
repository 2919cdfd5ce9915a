#include "platform/select/PlatformSelect.h"

#include "core/Log.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/sound/SndfileFileConverter.h"

namespace platform {

std::unique_ptr<Platform> createPlatform() {
    if (qEnvironmentVariable("VQ_PLATFORM") != QLatin1String("fake")) {
        if (auto p = x11::createLinuxPlatform()) return p;
        Log::write(QStringLiteral("Platform: no X display, running headless"));
    }
    return fake::createFakePlatform();
}

std::unique_ptr<AudioFileConverter> makeAudioFileConverter() {
    return sound::makeAudioFileConverter();
}

}  // namespace platform

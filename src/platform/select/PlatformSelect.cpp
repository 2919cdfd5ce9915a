#include "platform/select/PlatformSelect.h"

#include "core/Log.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/sound/SndfileFileConverter.h"

namespace platform {

QString needsX11Message() {
    return QStringLiteral(
        "Velmora needs an X11 session to hear the talk key and type. On Wayland, log in to an "
        "X11 session, or start Velmora under XWayland with QT_QPA_PLATFORM=xcb.");
}

std::unique_ptr<Platform> createPlatform() {
    // The scripted desktop only when asked for: otherwise the app would start, look fine
    // and never be able to dictate.
    if (qEnvironmentVariable("VQ_PLATFORM") == QLatin1String("fake"))
        return fake::createFakePlatform();
    if (auto p = x11::createLinuxPlatform()) return p;
    Log::write(QStringLiteral("Platform: no X display") +
               (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                    ? QString()
                    : QStringLiteral(" (Wayland session)")) +
               QStringLiteral(", can't run: ") + needsX11Message());
    return nullptr;
}

std::unique_ptr<AudioFileConverter> makeAudioFileConverter() {
    return sound::makeAudioFileConverter();
}

}  // namespace platform

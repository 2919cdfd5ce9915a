#include "platform/linux/LinuxPermissions.h"

#include "core/Log.h"
#include "platform/linux/PulseAudioInput.h"

namespace platform::x11 {

// There is no microphone permission on this desktop: the microphone is usable when a
// PulseAudio server answers and has a default source.
bool LinuxPermissions::microphoneUsable() {
    const PulseSourceProbe probe = probeDefaultSource();
    if (!probe.reachable) Log::write(QStringLiteral("Mic: ") + probe.error);
    return probe.reachable;
}

bool LinuxPermissions::accessibilityAvailable() {
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace platform::x11

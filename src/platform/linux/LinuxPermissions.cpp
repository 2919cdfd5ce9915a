#include "platform/linux/LinuxPermissions.h"

#include <QFileInfo>

namespace platform::x11 {

bool LinuxPermissions::microphoneUsable() {
    if (!qEnvironmentVariableIsEmpty("PULSE_SERVER")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/pulse/native"));
}

bool LinuxPermissions::accessibilityAvailable() {
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace platform::x11

#include "platform/linux/LinuxPermissions.h"

#include "core/Log.h"
#include "platform/linux/PulseAudioInput.h"
#include <gio/gio.h>

namespace platform::x11 {

// There is no microphone permission on this desktop: the microphone is usable when a
// PulseAudio server answers and has a default source.
bool LinuxPermissions::microphoneUsable() {
    const PulseSourceProbe probe = probeDefaultSource();
    if (!probe.reachable) Log::write(QStringLiteral("Mic: ") + probe.error);
    return probe.reachable;
}

// Fields can be inspected when the accessibility bus answers: either it is named
// outright, or the session bus's launcher hands out its address.
bool LinuxPermissions::accessibilityAvailable() {
    const QByteArray named = qgetenv("AT_SPI_BUS_ADDRESS");
    GError* error = nullptr;
    if (!named.isEmpty()) {
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            named.constData(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_clear_error(&error);
        if (!bus) return false;
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
        return true;
    }
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return false;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
        g_clear_error(&error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
    bool ok = false;
    if (reply) {
        const gchar* address = nullptr;
        g_variant_get(reply, "(&s)", &address);
        ok = address && *address;
        g_variant_unref(reply);
    }
    g_clear_error(&error);
    g_object_unref(session);
    return ok;
}

}  // namespace platform::x11

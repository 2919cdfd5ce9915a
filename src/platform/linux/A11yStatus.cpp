#include "platform/linux/A11yStatus.h"

#include "platform/linux/GLibUtil.h"

#include <gio/gio.h>

namespace platform::x11 {

namespace {

GObjectPtr<GDBusConnection> sessionBus() {
    // Without an address GLib would try to start a bus of its own.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return nullptr;
    GErrorSlot err;
    return GObjectPtr<GDBusConnection>(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, err.out()));
}

}  // namespace

std::optional<bool> A11yStatus::get(const QString& property) {
    const auto bus = sessionBus();
    if (!bus) return std::nullopt;
    GErrorSlot err;
    const QByteArray name = property.toUtf8();
    const GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.Status", name.constData()), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, err.out()));
    if (!reply) return std::nullopt;
    GVariant* inner = nullptr;
    g_variant_get(reply.get(), "(v)", &inner);
    const GVariantPtr value(inner);
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) return std::nullopt;
    return g_variant_get_boolean(value.get()) != FALSE;
}

int A11yStatus::set(const QString& property, bool on) {
    const auto bus = sessionBus();
    if (!bus) return -1;
    GErrorSlot err;
    const QByteArray name = property.toUtf8();
    const GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", name.constData(), g_variant_new_boolean(on)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, err.out()));
    if (reply) return 0;
    const int code = err.take();
    return code != 0 ? code : -1;
}

}  // namespace platform::x11

#include "platform/linux/LinuxPermissions.h"

#include "core/Log.h"
#include "core/MainThread.h"
#include "core/SerialWorker.h"
#include "platform/linux/GLibUtil.h"
#include "platform/linux/PulseAudioInput.h"

#include <gio/gio.h>

namespace platform::x11 {

namespace {
// A private bus connection: closed before it goes, so the bus sees a clean goodbye.
struct CloseAndUnref {
    void operator()(GDBusConnection* bus) const {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        GObjectUnref()(bus);
    }
};
}  // namespace

LinuxPermissions::LinuxPermissions() : alive_(std::make_shared<bool>(true)) {}

LinuxPermissions::~LinuxPermissions() = default;

// There is no microphone permission on this desktop: the microphone is usable when a
// PulseAudio server answers and has a default source.
bool LinuxPermissions::microphoneUsable() {
    const PulseSourceProbe probe = probeDefaultSource();
    if (!probe.reachable) Log::write(QStringLiteral("Mic: ") + probe.error);
    return probe.reachable;
}

void LinuxPermissions::checkMicrophone(std::function<void(bool usable)> completion) {
    if (!worker_) worker_ = std::make_unique<SerialWorker>(QStringLiteral("velmora.mic"));
    worker_->post([alive = std::weak_ptr<bool>(alive_), completion = std::move(completion)] {
        const bool usable = microphoneUsable();
        MainThread::post([alive, completion, usable] {
            if (alive.lock()) completion(usable);
        });
    });
}

// Fields can be inspected when the accessibility bus answers: either it is named
// outright, or the session bus's launcher hands out its address.
bool LinuxPermissions::accessibilityAvailable() {
    const QByteArray named = qgetenv("AT_SPI_BUS_ADDRESS");
    GErrorSlot error;
    if (!named.isEmpty()) {
        const std::unique_ptr<GDBusConnection, CloseAndUnref> bus(
            g_dbus_connection_new_for_address_sync(
                named.constData(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, error.out()));
        return bus != nullptr;
    }
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return false;
    const GObjectPtr<GDBusConnection> session(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!session) return false;
    const GVariantPtr reply(g_dbus_connection_call_sync(
        session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, error.out()));
    if (!reply) return false;
    const gchar* address = nullptr;
    g_variant_get(reply.get(), "(&s)", &address);
    return address && *address;
}

}  // namespace platform::x11

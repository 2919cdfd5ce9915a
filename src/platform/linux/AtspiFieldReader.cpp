#include "platform/linux/AtspiFieldReader.h"

#include "core/Log.h"
#include "core/MainThread.h"
#include "platform/linux/GLibUtil.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

namespace platform::x11 {

namespace {

constexpr char kText[] = "org.a11y.atspi.Text";

// A private bus connection: closed before it goes, so the bus sees a clean goodbye.
struct CloseAndUnref {
    void operator()(GDBusConnection* bus) const {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        GObjectUnref()(bus);
    }
};

// The accessibility bus's address: named outright, or handed out by the session bus's
// launcher (libatspi looks in the same places).
QByteArray busAddress() {
    const QByteArray named = qgetenv("AT_SPI_BUS_ADDRESS");
    if (!named.isEmpty()) return named;
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return {};
    GErrorSlot error;
    const GObjectPtr<GDBusConnection> session(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!session) return {};
    const GVariantPtr reply(g_dbus_connection_call_sync(
        session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, error.out()));
    if (!reply) return {};
    const gchar* address = nullptr;
    g_variant_get(reply.get(), "(&s)", &address);
    return QByteArray(address ? address : "");
}

GVariantPtr call(GDBusConnection* bus, const AtspiFieldReader::Target& t, const char* iface,
                 const char* method, GVariant* args, const char* replyType, int timeoutMs,
                 int* error) {
    GErrorSlot err;
    GVariantPtr reply(g_dbus_connection_call_sync(
        bus, t.bus.constData(), t.path.constData(), iface, method, args, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, err.out()));
    if (!reply && error) *error = err.take(-1);
    return reply;
}

std::optional<qint32> intProperty(GDBusConnection* bus, const AtspiFieldReader::Target& t,
                                  const char* name, int timeoutMs) {
    const GVariantPtr reply = call(bus, t, "org.freedesktop.DBus.Properties", "Get",
                                   g_variant_new("(ss)", kText, name), "(v)", timeoutMs, nullptr);
    if (!reply) return std::nullopt;
    GVariant* inner = nullptr;
    g_variant_get(reply.get(), "(v)", &inner);
    const GVariantPtr value(inner);
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32)) return std::nullopt;
    return g_variant_get_int32(value.get());
}

std::optional<QString> text(GDBusConnection* bus, const AtspiFieldReader::Target& t, gint end,
                            int timeoutMs, int* error) {
    const GVariantPtr reply =
        call(bus, t, kText, "GetText", g_variant_new("(ii)", 0, end), "(s)", timeoutMs, error);
    if (!reply) return std::nullopt;
    const gchar* s = nullptr;
    g_variant_get(reply.get(), "(&s)", &s);
    return QString::fromUtf8(s ? s : "");
}

// Index of the UTF-16 unit where the `chars`-th code point starts.
qint64 unitsForChars(const QString& text, qint64 chars) {
    qint64 units = 0;
    for (qint64 c = 0; c < chars && units < text.size(); ++c)
        units += (text.at(units).isHighSurrogate() && units + 1 < text.size()) ? 2 : 1;
    return units;
}

}  // namespace

struct AtspiFieldReader::Connection {
    std::unique_ptr<GDBusConnection, CloseAndUnref> bus;
    bool tried = false;
};

AtspiFieldReader::AtspiFieldReader()
    : alive_(std::make_shared<bool>(true)), connection_(std::make_unique<Connection>()) {}

AtspiFieldReader::~AtspiFieldReader() {
    *alive_ = false;
    worker_.post([this] { connection_->bus.reset(); });
    worker_.drain();
}

void AtspiFieldReader::read(Target target, int timeoutMs, Done done) {
    worker_.post([this, target = std::move(target), timeoutMs, done = std::move(done),
                  alive = std::weak_ptr<bool>(alive_)] {
        Connection& c = *connection_;
        if (!c.bus && !c.tried) {
            c.tried = true;
            const QByteArray address = busAddress();
            GErrorSlot err;
            if (!address.isEmpty())
                c.bus.reset(g_dbus_connection_new_for_address_sync(
                    address.constData(),
                    static_cast<GDBusConnectionFlags>(
                        G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                    nullptr, nullptr, err.out()));
            if (!c.bus)
                Log::write(QStringLiteral("Accessibility: the field reader can't reach the bus"));
        }
        auto result = c.bus ? readHere(c.bus.get(), target, timeoutMs)
                            : std::make_pair(AxResult<FieldText>::failed(0), std::optional<bool>());
        // A connection that broke is made again at the next read.
        if (c.bus && g_dbus_connection_is_closed(c.bus.get())) {
            c.bus.reset();
            c.tried = false;
        }
        MainThread::post([alive, done, result = std::move(result)] {
            const auto still = alive.lock();
            if (still && *still) done(result.first, result.second);
        });
    });
}

std::pair<AxResult<FieldText>, std::optional<bool>> AtspiFieldReader::readHere(GDBusConnection* bus,
                                                                               const Target& t,
                                                                               int timeoutMs) {
    int error = 0;
    // An end of -1 reads to the end in one round trip; a toolkit that answers nothing to it
    // is asked again with the count.
    std::optional<QString> whole = text(bus, t, -1, timeoutMs, &error);
    if (whole && whole->isEmpty()) {
        const auto count = intProperty(bus, t, "CharacterCount", timeoutMs);
        if (!count) return {AxResult<FieldText>::failed(error), std::nullopt};
        if (*count > 0) whole = text(bus, t, *count, timeoutMs, &error);
    }
    if (!whole) return {AxResult<FieldText>::failed(error), std::nullopt};
    FieldText out{std::move(*whole), std::nullopt};
    gint start = -1, end = -1;
    if (const GVariantPtr n =
            call(bus, t, kText, "GetNSelections", nullptr, "(i)", timeoutMs, nullptr)) {
        gint count = 0;
        g_variant_get(n.get(), "(i)", &count);
        if (count > 0)
            if (const GVariantPtr r = call(bus, t, kText, "GetSelection", g_variant_new("(i)", 0),
                                           "(ii)", timeoutMs, nullptr)) {
                gint a = 0, b = 0;
                g_variant_get(r.get(), "(ii)", &a, &b);
                start = std::min(a, b);
                end = std::max(a, b);
            }
    }
    if (start < 0)
        if (const auto caret = intProperty(bus, t, "CaretOffset", timeoutMs); caret && *caret >= 0)
            start = end = *caret;
    // The bus counts characters; the rest of the app counts UTF-16 units.
    if (start >= 0) {
        const qint64 from = unitsForChars(out.text, start);
        out.selection = TextRange{from, unitsForChars(out.text, end) - from};
    }
    std::optional<bool> focused;
    if (const GVariantPtr s = call(bus, t, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)",
                                   timeoutMs, nullptr)) {
        g_autoptr(GVariantIter) it = nullptr;
        g_variant_get(s.get(), "(au)", &it);
        guint32 words[2] = {0, 0};
        guint32 word = 0;
        for (int i = 0; i < 2 && g_variant_iter_next(it, "u", &word); ++i) words[i] = word;
        constexpr int bit = ATSPI_STATE_FOCUSED;
        focused = (words[bit / 32] >> (bit % 32)) & 1u;
    }
    return {AxResult<FieldText>::of(std::move(out)), focused};
}

}  // namespace platform::x11

#include "app/SessionWatch.h"

#include <QDBusConnection>

#include "core/Log.h"

SessionWatch::SessionWatch(std::function<void(const QString&)> onReturn)
    : onReturn_(std::move(onReturn)) {
    QDBusConnection system = QDBusConnection::systemBus();
    const bool sleep =
        system.isConnected() &&
        system.connect(QStringLiteral("org.freedesktop.login1"),
                       QStringLiteral("/org/freedesktop/login1"),
                       QStringLiteral("org.freedesktop.login1.Manager"),
                       QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    QDBusConnection session = QDBusConnection::sessionBus();
    bool unlock = false;
    if (session.isConnected()) {
        for (const auto& [service, path, iface] :
             {std::tuple{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                         "org.freedesktop.ScreenSaver"},
              std::tuple{"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
                         "org.gnome.ScreenSaver"}})
            unlock |= session.connect(QLatin1String(service), QLatin1String(path),
                                      QLatin1String(iface), QStringLiteral("ActiveChanged"), this,
                                      SLOT(screenSaverActive(bool)));
    }
    if (!sleep || !unlock)
        Log::write(QStringLiteral("Session watch: ") +
                   (sleep ? QString() : QStringLiteral("no wake reports ")) +
                   (unlock ? QString() : QStringLiteral("no unlock reports ")) +
                   QStringLiteral("(D-Bus)"));
}

void SessionWatch::prepareForSleep(bool starting) {
    if (!starting && onReturn_) onReturn_(QStringLiteral("wake"));
}

void SessionWatch::screenSaverActive(bool active) {
    if (!active && onReturn_) onReturn_(QStringLiteral("unlock"));
}

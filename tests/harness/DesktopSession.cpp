#include "harness/DesktopSession.h"

#include <sys/prctl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "harness/Wait.h"
#include "platform/linux/X11Util.h"

#include <X11/keysym.h>
#include <gio/gio.h>

namespace {

std::mutex gPidsMutex;  // guards the three below
std::vector<qint64> gPids;
bool gStopped = false;
std::condition_variable gStop;

void dieWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
}

// Asks our launcher only: auto-starting would bring up a second one.
QString a11yAddress() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
        qgetenv("DBUS_SESSION_BUS_ADDRESS").constData(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) return {};
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, &error);
    QString out;
    if (reply) {
        const gchar* a = nullptr;
        g_variant_get(reply, "(&s)", &a);
        out = QString::fromUtf8(a);
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    return out;
}

}  // namespace

std::optional<QString> xdotool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(15000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString windowOf(qint64 pid) {
    QString window;
    const bool found = harness::waitUntil(
        [&] {
            window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                              QStringLiteral("--pid"), QString::number(pid)})
                         .value_or(QString())
                         .section(QLatin1Char('\n'), 0, 0);
            return !window.isEmpty();
        },
        QStringLiteral("a window of process %1").arg(pid));
    return found ? window : QString();
}

bool holdXServer(int timeoutMs) {
    static Display* keeper = nullptr;
    return harness::waitUntil([] { return keeper || (keeper = XOpenDisplay(nullptr)); },
                              QStringLiteral("a connection to the X server"),
                              harness::milliseconds(timeoutMs));
}

bool keyFree(Display* display, unsigned keycode) {
    const Window root = DefaultRootWindow(display);
    platform::x11::ErrorTrap trap(display);
    XGrabKey(display, static_cast<int>(keycode), 0, root, False, GrabModeAsync, GrabModeAsync);
    if (trap.failed()) return false;  // BadAccess: somebody holds it
    XUngrabKey(display, static_cast<int>(keycode), 0, root);
    XSync(display, False);
    return true;
}

bool EscWindow::open() {
    d_ = {platform::x11::openDisplay().release(), [](Display* d) { XCloseDisplay(d); }};
    if (!d_) return false;
    Display* d = d_.get();
    w_ = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(d, w_, KeyPressMask | StructureNotifyMask);
    XMapWindow(d, w_);
    for (XEvent ev;;) {
        XNextEvent(d, &ev);
        if (ev.type == MapNotify) break;
    }
    XSetInputFocus(d, w_, RevertToParent, CurrentTime);
    XSync(d, False);
    return true;
}

int EscWindow::escapes() {
    XSync(d_.get(), False);
    while (XPending(d_.get())) {
        XEvent ev;
        XNextEvent(d_.get(), &ev);
        if (ev.type == KeyPress && XLookupKeysym(&ev.xkey, 0) == XK_Escape) ++count_;
    }
    return count_;
}

bool EscWindow::escapeFree() {
    return keyFree(d_.get(), XKeysymToKeycode(d_.get(), XK_Escape));
}

bool DesktopSession::start(int watchdogSeconds) {
    std::thread([watchdogSeconds] {
        std::unique_lock lock(gPidsMutex);
        if (gStop.wait_for(lock, std::chrono::seconds(watchdogSeconds), [] { return gStopped; }))
            return;
        std::fprintf(stderr, "desktop session: watchdog fired after %d s, stopping\n",
                     watchdogSeconds);
        for (qint64 pid : gPids) kill(static_cast<pid_t>(pid), SIGKILL);
        _exit(3);
    }).detach();

    QProcess* bus = launch(QStringLiteral("dbus-daemon"),
                           {QStringLiteral("--session"), QStringLiteral("--nofork"),
                            QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!bus || !bus->waitForReadyRead(5000)) {
        error = QStringLiteral("dbus-daemon did not start");
        return false;
    }
    sessionBus = QString::fromUtf8(bus->readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.toUtf8());
    qunsetenv("AT_SPI_BUS_ADDRESS");

    // Told it runs under Wayland, the launcher leaves the X root window alone,
    // so other programs sharing the X server never see this bus; its registry
    // still gets the X display it needs.
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    qputenv("WAYLAND_DISPLAY", "velmora-none");
    QProcess* launcher = launch(QStringLiteral("/usr/libexec/at-spi-bus-launcher"),
                                {QStringLiteral("--launch-immediately")});
    if (wayland.isEmpty())
        qunsetenv("WAYLAND_DISPLAY");
    else
        qputenv("WAYLAND_DISPLAY", wayland);
    if (!launcher) {
        error = QStringLiteral("at-spi-bus-launcher did not start");
        return false;
    }
    if (!harness::waitUntil([this] { return !(a11yBus = a11yAddress()).isEmpty(); },
                            QStringLiteral("the accessibility bus"))) {
        error = QStringLiteral("the accessibility bus did not come up");
        return false;
    }
    // Everything finds the bus through the session bus, as on a desktop.
    return true;
}

QProcess* DesktopSession::launch(const QString& program, const QStringList& args,
                                 const QStringList& env) {
    auto p = std::make_unique<QProcess>();
    p->setProgram(program);
    p->setArguments(args);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : env)
        e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    p->setProcessEnvironment(e);
    p->setChildProcessModifier(dieWithParent);
    p->start();
    if (!p->waitForStarted(5000)) return nullptr;
    {
        std::lock_guard lock(gPidsMutex);
        gPids.push_back(p->processId());
    }
    children_.push_back(std::move(p));
    return children_.back().get();
}

void DesktopSession::end(QProcess* p) {
    if (!p || p->state() == QProcess::NotRunning) return;
    p->closeWriteChannel();
    if (!p->waitForFinished(1000)) {
        p->terminate();
        if (!p->waitForFinished(2000)) {
            p->kill();
            p->waitForFinished(1000);
        }
    }
}

void DesktopSession::stop() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) end(it->get());
    children_.clear();
    {
        std::lock_guard lock(gPidsMutex);
        gStopped = true;
    }
    gStop.notify_all();
}

QJsonObject JsonChild::ask(const QJsonObject& command, int timeoutMs) {
    p_->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    p_->waitForBytesWritten(1000);
    return waitFor(command.value(QStringLiteral("cmd")).toString(), timeoutMs);
}

QJsonObject JsonChild::waitFor(const QString& name, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        qsizetype nl;
        while ((nl = buffer_.indexOf('\n')) >= 0) {
            const QJsonObject o = QJsonDocument::fromJson(buffer_.left(nl)).object();
            buffer_.remove(0, nl + 1);
            if (o.value(QStringLiteral("cmd")).toString() == name) return o;
        }
        if (deadline.hasExpired() || p_->state() == QProcess::NotRunning) {
            std::fprintf(stderr, "test child: no \"%s\" answer (%s)\n", qPrintable(name),
                         p_->state() == QProcess::NotRunning ? "exited" : "timed out");
            return {};
        }
        // Keep our own event loop turning: our clipboard may be what the child is reading.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        // The event loop may already have read what came; take that first.
        buffer_ += p_->readAllStandardOutput();
        if (buffer_.indexOf('\n') < 0 && p_->waitForReadyRead(10))
            buffer_ += p_->readAllStandardOutput();
    }
}

bool focusTarget(Display* display, unsigned long window, JsonChild& target, const QString& widget,
                 QJsonObject* last, int timeoutMs) {
    // Each try asks the target twice, which paces the tries.
    return harness::waitUntil(
        [&] {
            XWindowAttributes attrs{};
            if (XGetWindowAttributes(display, window, &attrs) && attrs.map_state == IsViewable) {
                XSetInputFocus(display, window, RevertToParent, CurrentTime);
                XSync(display, False);
            }
            target.ask({{QStringLiteral("cmd"), QStringLiteral("focus")},
                        {QStringLiteral("what"), widget}});
            const QJsonObject s = target.ask({{QStringLiteral("cmd"), QStringLiteral("state")}});
            if (last) *last = s;
            return s.value(QStringLiteral("active")).toBool() &&
                   s.value(QStringLiteral("focus")).toString() == widget;
        },
        QStringLiteral("focus on the target's ") + widget, harness::milliseconds(timeoutMs));
}

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <vector>

#include "platform/linux/BundleIdMap.h"

#include "platform/linux/LinuxWorkspace.h"

#include "core/Log.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace platform::x11 {

namespace {

// "app-flatpak-org.mozilla.firefox-1234.scope" or "app-gnome-org.gnome.gedit-1234.scope".
QString idFromCgroup(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return {};
    static const QRegularExpression re(QStringLiteral(
        R"(app-(?:flatpak|gnome|kde|xfce|[a-z]+)-([A-Za-z0-9_.\-]+?)(?:@[^.]*)?-[0-9]+\.scope)"));
    const auto m = re.match(QString::fromUtf8(f.read(8192)));
    if (!m.hasMatch()) return {};
    QString id = m.captured(1);
    // systemd escapes '-' in unit names as \x2d.
    id.replace(QStringLiteral("\\x2d"), QStringLiteral("-"));
    return id;
}

// GIO-launched apps carry the desktop file they came from.
QString idFromEnviron(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray env = f.read(1 << 16);
    for (const QByteArray& entry : env.split('\0')) {
        if (!entry.startsWith("GIO_LAUNCHED_DESKTOP_FILE=")) continue;
        QString file = QString::fromUtf8(entry.mid(26));
        file = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
        if (file.endsWith(QLatin1String(".desktop"))) file.chop(8);
        return file;
    }
    return {};
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(DisplayPtr display) : display_(std::move(display)) {}

QString LinuxWorkspace::bundleIdFor(qint64 pid, const QString& wmClass, const QString& wmInstance) {
    QString desktopId;
    if (pid > 0) {
        desktopId = idFromCgroup(pid);
        if (desktopId.isEmpty()) desktopId = idFromEnviron(pid);
    }
    // Known applications get the identifier the style rules know them by.
    if (auto known = BundleIdMap::lookupFirst({desktopId, wmClass, wmInstance})) return *known;
    if (!desktopId.isEmpty()) return desktopId;
    return (wmClass.isEmpty() ? wmInstance : wmClass).toLower();
}

std::optional<RunningApp> LinuxWorkspace::describe(Window w) {
    Display* d = display_.get();
    // The focus may sit on a child of the client window: climb to the one with WM_CLASS.
    for (int depth = 0; w != None && depth < 16; ++depth) {
        XClassHint hint{};
        ErrorTrap trap(d);
        const Status ok = XGetClassHint(d, w, &hint);
        XPtr<char> name(hint.res_name), cls(hint.res_class);
        if (!trap.failed() && ok) {
            RunningApp app;
            app.window = w;
            app.wmInstance = QString::fromLocal8Bit(hint.res_name ? hint.res_name : "");
            app.wmClass = QString::fromLocal8Bit(hint.res_class ? hint.res_class : "");
            if (auto pid = cardinalProperty(d, w, "_NET_WM_PID", XA_CARDINAL); pid && !pid->empty())
                app.pid = static_cast<qint64>((*pid)[0]);
            app.bundleId = bundleIdFor(app.pid, app.wmClass, app.wmInstance);
            app.name = app.wmClass.isEmpty() ? app.wmInstance : app.wmClass;
            return app;
        }
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int n = 0;
        ErrorTrap treeTrap(d);
        const Status tree = XQueryTree(d, w, &root, &parent, &children, &n);
        XPtr<Window> kids(children);
        if (treeTrap.failed() || !tree || parent == root) break;
        w = parent;
    }
    return std::nullopt;
}

std::optional<RunningApp> LinuxWorkspace::frontmostApplication() {
    const auto w = activeWindow(display_.get());
    if (!w) return std::nullopt;
    return describe(*w);
}

QList<RunningApp> LinuxWorkspace::runningApplications() {
    QList<RunningApp> out;
    Display* d = display_.get();
    const auto clients = cardinalProperty(d, DefaultRootWindow(d), "_NET_CLIENT_LIST", XA_WINDOW);
    if (!clients) return out;
    QSet<QString> seen;
    for (unsigned long w : *clients) {
        auto app = describe(static_cast<Window>(w));
        if (!app) continue;
        const QString key = app->pid > 0 ? QString::number(app->pid) : app->bundleId;
        if (seen.contains(key)) continue;
        seen.insert(key);
        out.append(*app);
    }
    return out;
}

bool LinuxWorkspace::activate(const RunningApp& app) {
    Display* d = display_.get();
    if (app.window == 0) return false;
    const Window w = static_cast<Window>(app.window);
    ErrorTrap trap(d);
    // Source 2: a pager-like tool, which window managers obey.
    sendClientMessage(d, DefaultRootWindow(d), w, atom(d, "_NET_ACTIVE_WINDOW"), {2, CurrentTime},
                      kToWindowManager);
    XRaiseWindow(d, w);
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    return !trap.failed();
}

bool LinuxWorkspace::open(const QUrl& url) {
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString()});
}

std::optional<QRect> LinuxWorkspace::windowFrame(quint64 window) {
    Display* d = display_.get();
    if (window == 0) return std::nullopt;
    const Window w = static_cast<Window>(window);
    XWindowAttributes attrs{};
    int x = 0, y = 0;
    Window child = None;
    ErrorTrap trap(d);
    const Status ok = XGetWindowAttributes(d, w, &attrs);
    const Bool translated =
        ok ? XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child) : False;
    if (trap.failed() || !ok || !translated || attrs.map_state != IsViewable) return std::nullopt;
    return QRect(x, y, attrs.width, attrs.height);
}

bool LinuxWorkspace::compositing() {
    Display* d = display_.get();
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(d));
    return XGetSelectionOwner(d, atom(d, name.constData())) != None;
}

void LinuxWorkspace::showOnAllDesktops(quint64 window) {
    Display* d = display_.get();
    if (window == 0) return;
    const Window w = static_cast<Window>(window);
    const Atom desktop = atom(d, "_NET_WM_DESKTOP");
    // The property for a window about to be mapped, the request for one already managed.
    const unsigned long all = 0xFFFFFFFFUL;
    ErrorTrap trap(d);
    XChangeProperty(d, w, desktop, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&all), 1);
    sendClientMessage(d, DefaultRootWindow(d), w, desktop, {static_cast<long>(all), 2},
                      kToWindowManager);
    if (trap.failed()) Log::write(QStringLiteral("HUD: couldn't keep the pill on every desktop"));
}

void LinuxWorkspace::keepOffTaskbar(quint64 window) {
    Display* d = display_.get();
    if (window == 0) return;
    const Window w = static_cast<Window>(window);
    const Atom state = atom(d, "_NET_WM_STATE");
    const Atom wanted[] = {atom(d, "_NET_WM_STATE_SKIP_TASKBAR"),
                           atom(d, "_NET_WM_STATE_SKIP_PAGER")};
    ErrorTrap trap(d);
    // The property, kept with whatever states are already there, for a window about to
    // be mapped; the request, for one the window manager already manages.
    std::vector<Atom> states;
    if (const auto p = readProperty(d, w, state, XA_ATOM, 64); p && p->format == 32) {
        const auto* atoms = reinterpret_cast<const Atom*>(p->data.get());
        states.assign(atoms, atoms + p->items);
    }
    for (Atom a : wanted)
        if (std::find(states.begin(), states.end(), a) == states.end()) states.push_back(a);
    XChangeProperty(d, w, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(states.data()), int(states.size()));
    sendClientMessage(d, DefaultRootWindow(d), w, state,
                      {1, static_cast<long>(wanted[0]), static_cast<long>(wanted[1]), 2},
                      kToWindowManager);
    if (trap.failed()) Log::write(QStringLiteral("HUD: couldn't keep the pill off the taskbar"));
}

void LinuxWorkspace::neverFocus(quint64 window) {
    Display* d = display_.get();
    if (window == 0) return;
    const Window w = static_cast<Window>(window);
    // The toolkit offers WM_TAKE_FOCUS on every window. With it, a manager such as Openbox
    // counts a window as focusable even though its input hint says no: it takes the focus
    // from the app to give it over, the window declines, and the focus is left nowhere.
    // Without it the window is in the "no input" model, which managers never focus.
    const Atom protocols = atom(d, "WM_PROTOCOLS");
    const Atom takeFocus = atom(d, "WM_TAKE_FOCUS");
    ErrorTrap trap(d);
    const auto p = readProperty(d, w, protocols, XA_ATOM, 64);
    if (!p || p->format != 32) return;
    const auto* atoms = reinterpret_cast<const Atom*>(p->data.get());
    std::vector<Atom> kept;
    for (unsigned long i = 0; i < p->items; ++i)
        if (atoms[i] != takeFocus) kept.push_back(atoms[i]);
    if (kept.size() == p->items) return;
    XChangeProperty(d, w, protocols, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(kept.data()), int(kept.size()));
    if (trap.failed()) Log::write(QStringLiteral("HUD: couldn't keep the focus off the pill"));
}

}  // namespace platform::x11

#pragma once
#include <QList>
#include <QRect>
#include <QString>
#include <QUrl>
#include <optional>

namespace platform {

// A running application as the desktop sees it.
struct RunningApp {
    QString bundleId;  // desktop-file or Flatpak id when known, else the lower-cased WM_CLASS class
    QString name;      // human-readable name (window title's app part or class)
    qint64 pid = 0;
    QString wmClass;     // raw WM_CLASS class, e.g. "Gnome-terminal"
    QString wmInstance;  // raw WM_CLASS instance, e.g. "gnome-terminal-server"
    quint64 window = 0;  // the app's top-level window, when known
};

// Frontmost application, running applications, activation, opening URLs and files.
// Thread: main.
class Workspace {
  public:
    virtual ~Workspace() = default;
    virtual std::optional<RunningApp> frontmostApplication() = 0;
    virtual QList<RunningApp> runningApplications() = 0;
    // Brings the application to the front; false when it could not be asked.
    virtual bool activate(const RunningApp& app) = 0;
    // Opens a URL (or a file URL) with the user's default handler.
    virtual bool open(const QUrl& url) = 0;
    // Where a top-level window is on the desktop, in device pixels of the root window;
    // none when it cannot be told (the pill then follows the mouse pointer).
    virtual std::optional<QRect> windowFrame(quint64 window) {
        (void)window;
        return std::nullopt;
    }
    // Whether a compositing manager blends translucent windows; without one their
    // transparent pixels show black, so the pill shapes its window instead.
    virtual bool compositing() { return true; }
    // Keeps a window of ours on every virtual desktop; asked again before each showing.
    virtual void showOnAllDesktops(quint64 window) { (void)window; }
    // Keeps a window of ours out of taskbars and pagers; asked before each showing.
    virtual void keepOffTaskbar(quint64 window) { (void)window; }
    // Tells the window manager a window of ours never takes the keyboard focus, so that showing
    // it leaves the focus with the app the user works in; asked before each showing.
    virtual void neverFocus(quint64 window) { (void)window; }
};

}  // namespace platform

#pragma once
#include "platform/Workspace.h"
#include "platform/linux/X11Util.h"

namespace platform::x11 {

// Frontmost and running applications from the window manager's EWMH hints.
// Thread: main (owns its own X connection).
class LinuxWorkspace : public Workspace {
  public:
    explicit LinuxWorkspace(DisplayPtr display);
    std::optional<RunningApp> frontmostApplication() override;
    QList<RunningApp> runningApplications() override;
    bool activate(const RunningApp& app) override;
    bool open(const QUrl& url) override;
    std::optional<QRect> windowFrame(quint64 window) override;
    bool compositing() override;
    void showOnAllDesktops(quint64 window) override;
    void keepOffTaskbar(quint64 window) override;
    void neverFocus(quint64 window) override;

    // The identifier the app's style rules match: a Flatpak or desktop-file id
    // when the process tells it, else the lower-cased WM_CLASS class.
    static QString bundleIdFor(qint64 pid, const QString& wmClass, const QString& wmInstance);

  private:
    std::optional<RunningApp> describe(Window w);
    DisplayPtr display_;
};

}  // namespace platform::x11

#pragma once
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

typedef struct _XDisplay Display;

// A private desktop for the delivery tests: a session D-Bus, the AT-SPI bus
// launcher, and test programs, all children of this process. They are stopped
// by PID at the end, die with this process (parent-death signal), and a
// watchdog ends everything if the tests hang.
class DesktopSession {
  public:
    // Starts the buses; false with `error` set when they cannot run here.
    bool start(int watchdogSeconds);
    void stop();
    QString error;
    QString sessionBus, a11yBus;

    // A child process with the session's environment; null when it didn't start.
    QProcess* launch(const QString& program, const QStringList& args, const QStringList& env = {});
    void end(QProcess* p);

  private:
    std::vector<std::unique_ptr<QProcess>> children_;
};

// Runs xdotool with `args`; its output (trimmed), or none when it failed or took more than
// 15 s.
std::optional<QString> xdotool(const QStringList& args);
// The first window on show of the process `pid` (xdotool's id), once it is there; empty when
// none came.
QString windowOf(qint64 pid);

// Holds a connection to the X server open until the end of the process. Xvfb
// resets whenever its last client leaves, and a connection attempt during the
// reset fails: waiting here for the first one also rides out the previous test
// process's exit. False when no connection came within `timeoutMs`.
bool holdXServer(int timeoutMs = 5000);

// Whether a grab of `keycode` (without modifiers) on the root window is free to take: false
// while another client holds it. Tells when a key monitor's grab is really gone.
bool keyFree(Display* display, unsigned keycode);

// A plain X window on a connection of its own, given the keyboard focus, that counts the
// Esc presses it gets.
class EscWindow {
  public:
    EscWindow() = default;
    EscWindow(const EscWindow&) = delete;
    EscWindow& operator=(const EscWindow&) = delete;
    bool open();
    // Every press so far: after a round trip, so all the server has sent is counted.
    int escapes();
    // Whether no other client holds a grab of Esc.
    bool escapeFree();

  private:
    // Its own connection (Xlib stays out of this header, so the closer is a plain function).
    std::unique_ptr<Display, void (*)(Display*)> d_{nullptr, nullptr};
    unsigned long w_ = 0;
    int count_ = 0;
};

// A test program speaking one JSON object per line on stdin/stdout.
class JsonChild {
  public:
    explicit JsonChild(QProcess* p) : p_(p) {}
    // Sends a command and waits for its answer.
    QJsonObject ask(const QJsonObject& command, int timeoutMs = 5000);
    // Waits for the next line that is a JSON object with "cmd" == name.
    QJsonObject waitFor(const QString& name, int timeoutMs = 10000);
    QProcess* process() const { return p_; }

  private:
    QProcess* p_;
    QByteArray buffer_;
};

// Gives `window` (the target program's) the X input focus and its `widget` ("entry" or
// "button") the keyboard focus, as a click would; there is no window manager to do it.
// False when that did not happen within `timeoutMs`, with the target's last state in *last.
bool focusTarget(Display* display, unsigned long window, JsonChild& target, const QString& widget,
                 QJsonObject* last = nullptr, int timeoutMs = 20000);

#pragma once
// X11 plumbing shared by the Linux backend. Only files under platform/linux include X headers.
// Qt's headers must come before Xlib's (which #define Status, Bool, None...), so this
// header pulls in the Qt core it and its users need first.
#include <QByteArray>
#include <QDataStream>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTextStream>
#include <QVariant>

#include <X11/Xlib.h>
#include <memory>
#include <optional>
#include <vector>

namespace platform::x11 {

struct DisplayCloser {
    void operator()(Display* d) const {
        if (d) XCloseDisplay(d);
    }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XFreer {
    void operator()(void* p) const {
        if (p) XFree(p);
    }
};
template <typename T>
using XPtr = std::unique_ptr<T, XFreer>;

// Opens a connection of its own to $DISPLAY; null when there is no display.
DisplayPtr openDisplay();

Atom atom(Display* d, const char* name);
// Reads a window property; empty when absent. `items` receives the item count.
std::optional<std::vector<unsigned long>> cardinalProperty(Display* d, Window w, const char* name,
                                                           Atom type);
std::optional<QByteArray> byteProperty(Display* d, Window w, const char* name, Atom type);
std::optional<Window> activeWindow(Display* d);
// Lets a failing X request (BadWindow for a window that just closed) be a value, not an exit.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* d);
    ~ErrorTrap();
    // Syncs and tells whether an error arrived since construction.
    bool failed();
    int lastError() const;

private:
    Display* d_;
    int (*previous_)(Display*, XErrorEvent*);
};

}  // namespace platform::x11

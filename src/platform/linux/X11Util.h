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
#include <initializer_list>
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

// A window this connection created; destroyed with its owner, before the connection closes.
class OwnedWindow {
  public:
    OwnedWindow() = default;
    OwnedWindow(Display* d, Window w) : d_(d), w_(w) {}
    ~OwnedWindow();
    OwnedWindow(const OwnedWindow&) = delete;
    OwnedWindow& operator=(const OwnedWindow&) = delete;
    Window get() const { return w_; }

  private:
    Display* d_ = nullptr;
    Window w_ = None;
};

// The extension data of a generic event (XInput2's), held while this lives.
class EventData {
  public:
    EventData(Display* d, XGenericEventCookie* cookie);
    ~EventData();
    EventData(const EventData&) = delete;
    EventData& operator=(const EventData&) = delete;
    explicit operator bool() const { return cookie_ != nullptr; }

  private:
    Display* d_;
    XGenericEventCookie* cookie_;
};

Atom atom(Display* d, const char* name);

// A window property as the server holds it; Xlib hands 32-bit items over as longs.
struct Property {
    Atom type = None;
    int format = 0;  // 8, 16 or 32
    unsigned long items = 0;
    XPtr<unsigned char> data;
};
// Reads up to `maxLongs` 32-bit units of a property of `type` (or AnyPropertyType), deleting
// it afterwards with `remove`. Empty when it is absent, of another type, or the window is gone.
std::optional<Property> readProperty(Display* d, Window w, Atom property, Atom type, long maxLongs,
                                     bool remove = false);
// A 32-bit property's items, or an 8-bit one's bytes; empty when absent or of another format.
std::optional<std::vector<unsigned long>> cardinalProperty(Display* d, Window w, const char* name,
                                                           Atom type);
std::optional<QByteArray> byteProperty(Display* d, Window w, const char* name, Atom type);
std::optional<Window> activeWindow(Display* d);

// Sends a 32-bit client message about `about` to `to`, selecting `mask`. Asking the window
// manager goes to the root window with the substructure masks; the caller traps errors.
void sendClientMessage(Display* d, Window to, Window about, Atom type,
                       std::initializer_list<long> data, long mask);
constexpr long kToWindowManager = SubstructureRedirectMask | SubstructureNotifyMask;

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

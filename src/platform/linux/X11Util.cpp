#include "platform/linux/X11Util.h"

#include <X11/Xatom.h>

#include <atomic>
#include <mutex>

namespace platform::x11 {

namespace {
// Xlib's error handler is process-wide; traps nest under one lock.
std::recursive_mutex gTrapMutex;
std::atomic<int> gLastError{0};
int trapHandler(Display*, XErrorEvent* e) {
    gLastError = e->error_code;
    return 0;
}
}  // namespace

DisplayPtr openDisplay() {
    static std::once_flag threads;
    std::call_once(threads, [] { XInitThreads(); });
    return DisplayPtr(XOpenDisplay(nullptr));
}

Atom atom(Display* d, const char* name) {
    return XInternAtom(d, name, False);
}

OwnedWindow::~OwnedWindow() {
    if (d_ && w_ != None) XDestroyWindow(d_, w_);
}

EventData::EventData(Display* d, XGenericEventCookie* cookie)
    : d_(d), cookie_(XGetEventData(d, cookie) ? cookie : nullptr) {}

EventData::~EventData() {
    if (cookie_) XFreeEventData(d_, cookie_);
}

std::optional<Property> readProperty(Display* d, Window w, Atom property, Atom type, long maxLongs,
                                     bool remove) {
    Property p;
    unsigned long rest = 0;
    unsigned char* raw = nullptr;
    ErrorTrap trap(d);
    const int status = XGetWindowProperty(d, w, property, 0, maxLongs, remove ? True : False, type,
                                          &p.type, &p.format, &p.items, &rest, &raw);
    p.data.reset(raw);
    if (trap.failed() || status != Success || p.type == None) return std::nullopt;
    if (type != AnyPropertyType && p.type != type) return std::nullopt;
    return p;
}

std::optional<std::vector<unsigned long>> cardinalProperty(Display* d, Window w, const char* name,
                                                           Atom type) {
    const auto p = readProperty(d, w, atom(d, name), type, 4096);
    if (!p || !p->data || p->format != 32) return std::nullopt;
    const auto* longs = reinterpret_cast<const unsigned long*>(p->data.get());
    return std::vector<unsigned long>(longs, longs + p->items);
}

std::optional<QByteArray> byteProperty(Display* d, Window w, const char* name, Atom type) {
    const auto p = readProperty(d, w, atom(d, name), type, 65536);
    if (!p || !p->data || p->format != 8) return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(p->data.get()),
                      static_cast<qsizetype>(p->items));
}

void sendClientMessage(Display* d, Window to, Window about, Atom type,
                       std::initializer_list<long> data, long mask) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = about;
    e.xclient.message_type = type;
    e.xclient.format = 32;
    int i = 0;
    for (long v : data)
        if (i < 5) e.xclient.data.l[i++] = v;
    XSendEvent(d, to, False, mask, &e);
}

namespace {

// Whether an EWMH window manager runs now: the root names a check window that names itself.
// A manager that quit leaves its root properties behind, and its last active window with them.
bool windowManagerRunning(Display* d) {
    ErrorTrap trap(d);
    const auto check =
        cardinalProperty(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    if (!check || check->empty() || (*check)[0] == 0) return false;
    const Window w = static_cast<Window>((*check)[0]);
    const auto self = cardinalProperty(d, w, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    return !trap.failed() && self && !self->empty() && (*self)[0] == w;
}

}  // namespace

std::optional<Window> activeWindow(Display* d) {
    if (windowManagerRunning(d)) {
        auto v = cardinalProperty(d, DefaultRootWindow(d), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        if (v && !v->empty() && (*v)[0] != 0) return static_cast<Window>((*v)[0]);
    }
    // Without an EWMH window manager, fall back to the X input focus.
    Window focus = None;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    if (focus == None || focus == PointerRoot) return std::nullopt;
    return focus;
}

ErrorTrap::ErrorTrap(Display* d) : d_(d) {
    gTrapMutex.lock();
    XSync(d_, False);
    gLastError = 0;
    previous_ = XSetErrorHandler(trapHandler);
}

ErrorTrap::~ErrorTrap() {
    XSync(d_, False);
    XSetErrorHandler(previous_);
    gTrapMutex.unlock();
}

bool ErrorTrap::failed() {
    XSync(d_, False);
    return gLastError != 0;
}

int ErrorTrap::lastError() const {
    return gLastError;
}

}  // namespace platform::x11

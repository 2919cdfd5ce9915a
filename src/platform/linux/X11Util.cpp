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

std::optional<std::vector<unsigned long>> cardinalProperty(Display* d, Window w, const char* name,
                                                           Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, rest = 0;
    unsigned char* raw = nullptr;
    ErrorTrap trap(d);
    const int status = XGetWindowProperty(d, w, atom(d, name), 0, 4096, False, type, &actualType,
                                          &format, &count, &rest, &raw);
    XPtr<unsigned char> data(raw);
    if (trap.failed() || status != Success || !raw || format != 32) return std::nullopt;
    const auto* longs = reinterpret_cast<const unsigned long*>(raw);  // Xlib stores 32-bit as long
    return std::vector<unsigned long>(longs, longs + count);
}

std::optional<QByteArray> byteProperty(Display* d, Window w, const char* name, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, rest = 0;
    unsigned char* raw = nullptr;
    ErrorTrap trap(d);
    const int status = XGetWindowProperty(d, w, atom(d, name), 0, 65536, False, type, &actualType,
                                          &format, &count, &rest, &raw);
    XPtr<unsigned char> data(raw);
    if (trap.failed() || status != Success || !raw || format != 8) return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(raw), static_cast<qsizetype>(count));
}

std::optional<Window> activeWindow(Display* d) {
    auto v = cardinalProperty(d, DefaultRootWindow(d), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (v && !v->empty() && (*v)[0] != 0) return static_cast<Window>((*v)[0]);
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

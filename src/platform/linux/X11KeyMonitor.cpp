#include <QString>

#include "core/Log.h"
#include "core/MainThread.h"
#include "platform/linux/Fd.h"
#include "platform/linux/SyntheticKeys.h"
#include "platform/linux/X11KeyMonitor.h"
#include "platform/linux/X11Util.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <poll.h>

#include <vector>

namespace platform::x11 {

// Shared between the main thread and the reader thread.
struct X11KeyMonitor::State {
    DisplayPtr display;
    int xiOpcode = 0;
    Wakeup wake;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::deque<std::function<void()>> commands;    // run on the reader thread
    std::function<void(const KeyEvent&)> onEvent;  // main thread only
    std::function<void(bool)> onEscape;            // main thread only
    std::array<Key, 256> keys{};                   // reader thread only
    KeyCode escapeCode = 0;
    KeyCode grabbedCode = 0;  // reader thread only: what the grab holds, 0 when none

    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(fn));
        }
        wake.wake();
    }

    void rebuildKeymap() {
        Display* d = display.get();
        const KeySym fnSym = XStringToKeysym("XF86Fn");
        for (int kc = 0; kc < 256; ++kc) {
            Key k = Key::other;
            if (kc >= 8) {
                const KeySym s = XkbKeycodeToKeysym(d, static_cast<KeyCode>(kc), 0, 0);
                switch (s) {
                    // Right Alt is AltGr (ISO_Level3_Shift) on most non-US layouts.
                    case XK_Alt_R:
                    case XK_ISO_Level3_Shift:
                        k = Key::rightOption;
                        break;
                    case XK_Super_R:
                        k = Key::rightCommand;
                        break;
                    case XK_Control_R:
                        k = Key::rightControl;
                        break;
                    case XK_Escape:
                        k = Key::escape;
                        break;
                    case XK_Shift_L:
                    case XK_Shift_R:
                    case XK_Control_L:
                    case XK_Alt_L:
                    case XK_Meta_L:
                    case XK_Meta_R:
                    case XK_Super_L:
                    case XK_Hyper_L:
                    case XK_Hyper_R:
                    case XK_Caps_Lock:
                    case XK_Num_Lock:
                    case XK_Mode_switch:
                    case XK_ISO_Level5_Shift:
                        k = Key::otherModifier;
                        break;
                    default:
                        if (fnSym != NoSymbol && s == fnSym) k = Key::fn;
                        break;
                }
            }
            keys[static_cast<size_t>(kc)] = k;
        }
        escapeCode = XKeysymToKeycode(d, XK_Escape);
    }
};

namespace {
constexpr unsigned int kLockCombos[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
}  // namespace

X11KeyMonitor::X11KeyMonitor() : state_(std::make_shared<State>()) {}

X11KeyMonitor::~X11KeyMonitor() {
    if (thread_.joinable()) {
        state_->stop = true;
        state_->post([] {});
        thread_.join();
    }
    {
        // Commands left unrun hold the state: drop them, or it never goes.
        std::lock_guard lock(state_->mutex);
        state_->commands.clear();
    }
}

bool X11KeyMonitor::start(std::function<void(const KeyEvent&)> onEvent) {
    if (thread_.joinable()) return true;
    auto s = state_;
    s->display = openDisplay();
    if (!s->display) {
        Log::write(QStringLiteral("Talk key: can't open the X display"));
        return false;
    }
    Display* d = s->display.get();
    int event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(d, "XInputExtension", &s->xiOpcode, &event, &error) ||
        XIQueryVersion(d, &major, &minor) != Success) {
        Log::write(QStringLiteral("Talk key: the X server has no XInput2"));
        return false;
    }
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(mask, XI_RawKeyPress);
    XISetMask(mask, XI_RawKeyRelease);
    XIEventMask em{XIAllMasterDevices, sizeof mask, mask};
    XISelectEvents(d, DefaultRootWindow(d), &em, 1);
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(d, True, &detectable);
    s->rebuildKeymap();
    XSync(d, False);
    // Keys sent before now never come back to this monitor: their announcements would
    // hide the user's own presses of the same keys.
    SyntheticKeys::shared().forget();
    if (!s->wake.ok()) {
        Log::write(QStringLiteral("Talk key: the kernel gave no wake-up descriptor"));
        return false;
    }
    s->onEvent = std::move(onEvent);

    thread_ = std::thread([s] {
        Display* dpy = s->display.get();
        std::array<bool, 256> isDown{};
        pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {s->wake.fd(), POLLIN, 0}};
        while (!s->stop) {
            while (XPending(dpy)) {
                XEvent ev;
                XNextEvent(dpy, &ev);
                if (ev.type == MappingNotify) {
                    // Layout switches and remapped keycodes: read the keymap again.
                    XRefreshKeyboardMapping(&ev.xmapping);
                    s->rebuildKeymap();
                } else if ((ev.type == KeyPress || ev.type == KeyRelease) &&
                           ev.xkey.keycode == s->escapeCode) {
                    // Esc taken by our grab. While it is held the grab also gets the other
                    // keys (modifiers let go meanwhile): those are not Esc.
                    const bool pressed = ev.type == KeyPress;
                    MainThread::post([weak = std::weak_ptr<State>(s), pressed] {
                        auto st = weak.lock();
                        if (st && st->onEscape) st->onEscape(pressed);
                    });
                } else if (ev.type == GenericEvent && ev.xcookie.extension == s->xiOpcode) {
                    const EventData held(dpy, &ev.xcookie);
                    if (!held) continue;
                    const auto* raw = static_cast<const XIRawEvent*>(ev.xcookie.data);
                    if (ev.xcookie.evtype == XI_RawKeyPress ||
                        ev.xcookie.evtype == XI_RawKeyRelease) {
                        const int kc = raw->detail;
                        if (kc > 0 && kc < 256) {
                            const bool pressed = ev.xcookie.evtype == XI_RawKeyPress;
                            // Our own typing, and the held modifiers it lifts and puts back.
                            if (SyntheticKeys::shared().consume(static_cast<unsigned>(kc), pressed))
                                continue;
                            const bool repeat =
                                pressed && ((raw->flags & XIKeyRepeat) || isDown[kc]);
                            isDown[kc] = pressed;
                            const KeyEvent ke{s->keys[static_cast<size_t>(kc)], pressed, repeat};
                            MainThread::post([weak = std::weak_ptr<State>(s), ke] {
                                auto st = weak.lock();
                                if (st && st->onEvent) st->onEvent(ke);
                            });
                        }
                    }
                }
            }
            std::deque<std::function<void()>> todo;
            {
                std::lock_guard lock(s->mutex);
                todo.swap(s->commands);
            }
            for (auto& fn : todo) fn();
            if (s->stop) break;
            XFlush(dpy);
            if (XPending(dpy)) continue;
            ::poll(fds, 2, -1);
            s->wake.drain();
        }
    });
    return true;
}

void X11KeyMonitor::grabEscape(std::function<void(bool)> onEscape,
                               std::function<void(bool)> onGrabbed) {
    auto answer = [onGrabbed](bool ok) {
        MainThread::post([onGrabbed, ok] {
            if (onGrabbed) onGrabbed(ok);
        });
    };
    if (!thread_.joinable()) return answer(false);
    auto s = state_;
    s->onEscape = std::move(onEscape);
    // Queued behind nothing but earlier commands, and ahead of any later release.
    s->post([s, answer] {
        Display* d = s->display.get();
        const Window root = DefaultRootWindow(d);
        const KeyCode code = s->escapeCode;
        bool ok = false;
        if (code != 0) {
            ErrorTrap trap(d);
            XGrabKey(d, code, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
            ok = !trap.failed();
        }
        if (code != 0 && !ok) {
            // Another client holds some combination (Ctrl+Esc is a common menu key): take
            // every other one, so Shift+Esc and the talk key's own modifier still cancel.
            for (unsigned int mods = 0; mods < 256; ++mods) {
                if (mods & (LockMask | Mod2Mask)) continue;
                ErrorTrap trap(d);
                for (unsigned int lock : kLockCombos)
                    XGrabKey(d, code, mods | lock, root, False, GrabModeAsync, GrabModeAsync);
                if (trap.failed()) {
                    for (unsigned int lock : kLockCombos) XUngrabKey(d, code, mods | lock, root);
                } else if (mods == 0) {
                    ok = true;
                }
            }
            if (!ok) {
                ErrorTrap trap(d);
                XUngrabKey(d, code, AnyModifier, root);
            }
        }
        s->grabbedCode = ok ? code : 0;
        answer(ok);
    });
}

void X11KeyMonitor::releaseEscape() {
    if (!thread_.joinable()) return;
    auto s = state_;
    s->post([s] {
        if (s->grabbedCode == 0) return;
        Display* d = s->display.get();
        ErrorTrap trap(d);
        XUngrabKey(d, s->grabbedCode, AnyModifier, DefaultRootWindow(d));
        s->grabbedCode = 0;
    });
}

bool X11KeyMonitor::hasKey(Key key) {
    std::vector<KeySym> syms;
    switch (key) {
        case Key::rightOption:
            syms = {XK_Alt_R, XK_ISO_Level3_Shift};
            break;
        case Key::rightCommand:
            syms = {XK_Super_R};
            break;
        case Key::rightControl:
            syms = {XK_Control_R};
            break;
        case Key::fn:
            syms = {XStringToKeysym("XF86Fn")};
            break;
        case Key::escape:
            syms = {XK_Escape};
            break;
        default:
            return true;
    }
    const DisplayPtr display = openDisplay();
    if (!display) return false;
    for (const KeySym s : syms)
        if (s != NoSymbol && XKeysymToKeycode(display.get(), s) != 0) return true;
    return false;
}

}  // namespace platform::x11

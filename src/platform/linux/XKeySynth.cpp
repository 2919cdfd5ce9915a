#include <QProcess>
#include <QStringList>
#include <QThread>

#include "core/Log.h"
#include "platform/linux/GLibUtil.h"
#include "platform/linux/SyntheticKeys.h"
#include "platform/linux/XKeySynth.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gio/gio.h>
#include <poll.h>

#include <algorithm>
#include <thread>

namespace platform::x11 {

namespace {

struct ModifierMapFree {
    void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};
struct XkbDescFree {
    void operator()(XkbDescPtr xkb) const { XkbFreeKeyboard(xkb, 0, True); }
};
using XkbDescOwner = std::unique_ptr<XkbDescRec, XkbDescFree>;

// The layout of the active XKB group, from the rules names the server was given.
QString xkbLayout(Display* d) {
    XkbStateRec state{};
    if (XkbGetState(d, XkbUseCoreKbd, &state) != Success) return {};
    const auto names = byteProperty(d, DefaultRootWindow(d), "_XKB_RULES_NAMES", XA_STRING);
    if (!names) return {};
    const QList<QByteArray> parts = names->split('\0');  // rules, model, layouts, variants, options
    if (parts.size() < 3) return {};
    const QList<QByteArray> layouts = parts[2].split(',');
    const QList<QByteArray> variants = parts.size() > 3 ? parts[3].split(',') : QList<QByteArray>{};
    const int group = state.group;
    if (group < 0 || group >= layouts.size() || layouts[group].isEmpty()) return {};
    QString out = QStringLiteral("xkb:") + QString::fromLatin1(layouts[group]);
    if (group < variants.size() && !variants[group].isEmpty())
        out += QLatin1Char('(') + QString::fromLatin1(variants[group]) + QLatin1Char(')');
    return out;
}

// The input method engine when Fcitx 5 runs on the session bus.
QString fcitxEngine() {
    // Without a session bus address GLib would launch a bus of its own.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return {};
    GErrorSlot error;
    const GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!bus) return {};
    const GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.fcitx.Fcitx5", "/controller", "org.fcitx.Fcitx.Controller1",
        "CurrentInputMethod", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 200,
        nullptr, error.out()));
    if (!reply) return {};
    const gchar* name = nullptr;
    g_variant_get(reply.get(), "(&s)", &name);
    return (name && *name) ? QStringLiteral("fcitx:") + QString::fromUtf8(name) : QString();
}

// IBus keeps its engine on a bus of its own; its tool answers quickly when it runs.
QString ibusEngine() {
    const QString im = qEnvironmentVariable("GTK_IM_MODULE") +
                       qEnvironmentVariable("QT_IM_MODULE") + qEnvironmentVariable("XMODIFIERS");
    if (!im.contains(QLatin1String("ibus"))) return {};
    QProcess p;
    p.start(QStringLiteral("ibus"), {QStringLiteral("engine")});
    if (!p.waitForFinished(300) || p.exitCode() != 0) {
        p.kill();
        p.waitForFinished(100);
        return {};
    }
    const QString engine = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    return engine.isEmpty() ? QString() : QStringLiteral("ibus:") + engine;
}

}  // namespace

XKeySynth::XKeySynth(DisplayPtr display) : display_(std::move(display)) {
    int event = 0, error = 0, major = 0, minor = 0;
    xtest_ = XTestQueryExtension(display_.get(), &event, &error, &major, &minor);
    if (!xtest_) Log::write(QStringLiteral("Type: the X server has no XTest, can't type"));
    int xiMajor = 2, xiMinor = 0;
    if (!XQueryExtension(display_.get(), "XInputExtension", &xiOpcode_, &event, &error) ||
        XIQueryVersion(display_.get(), &xiMajor, &xiMinor) != Success)
        xiOpcode_ = 0;
    query_ = openDisplay();
    im_->layout = xkbLayout(display_.get());
    im_->asking = true;
    askInputMethod();
}

XKeySynth::~XKeySynth() {
    typist_.post([this] { restoreMapping(); });
    typist_.drain();
}

unsigned long XKeySynth::keysymFor(char32_t cp) {
    if (cp == U'\n') return XK_Return;
    if (cp == U'\r') return 0;  // "\r\n" is one line break
    if (cp == U'\t') return XK_Tab;
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0) || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    // Latin-1 characters have keysyms of the same value; the rest use the Unicode keysym range.
    if (cp < 0x100) return cp;
    return 0x01000000UL | cp;
}

bool XKeySynth::scanSlots() {
    Display* d = display_.get();
    // Read the keymap as it is now: it may have been reloaded since the last burst.
    int minCode = 0, maxCode = 0, perCode = 0;
    XDisplayKeycodes(d, &minCode, &maxCode);
    maxCode = std::min(maxCode, 255);  // keycodes above 255 never reach X clients
    minCode = std::max(minCode, 9);    // keycode 8 is dropped by some toolkits
    slots_.clear();
    if (maxCode < minCode) return false;
    XPtr<KeySym> syms(
        XGetKeyboardMapping(d, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode));
    if (!syms) return false;
    for (int code = minCode; code <= maxCode; ++code) {
        const KeySym* row = syms.get() + static_cast<ptrdiff_t>(code - minCode) * perCode;
        if (std::all_of(row, row + perCode, [](KeySym s) { return s == NoSymbol; }))
            slots_.push_back(Slot{static_cast<KeyCode>(code), 0, {}});
    }
    // The symbols the layout types in its active group without a modifier or with Shift:
    // those keys need no remapping, so most text leaves the keymap alone.
    layoutKeys_.clear();
    shiftCode_ = XKeysymToKeycode(d, XK_Shift_L);
    XkbStateRec state{};
    if (XkbGetState(d, XkbUseCoreKbd, &state) == Success) {
        const XkbDescOwner xkb(XkbGetMap(d, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
        for (int code = minCode; xkb && code <= maxCode; ++code) {
            for (const unsigned mods : {0u, static_cast<unsigned>(ShiftMask)}) {
                if (mods && shiftCode_ == 0) continue;
                unsigned consumed = 0;
                KeySym sym = NoSymbol;
                if (!XkbTranslateKeyCode(xkb.get(), static_cast<KeyCode>(code),
                                         XkbBuildCoreState(mods, state.group), &consumed, &sym) ||
                    sym == NoSymbol)
                    continue;
                // Keypad keys change with Num Lock, which the target may have on.
                if (IsKeypadKey(sym) || IsModifierKey(sym)) continue;
                // A key that needs no Shift is the better one.
                const auto [it, added] =
                    layoutKeys_.emplace(sym, LayoutKey{static_cast<KeyCode>(code), mods != 0});
                if (!added && it->second.shift && mods == 0)
                    it->second = LayoutKey{static_cast<KeyCode>(code), false};
            }
        }
    }
    if (slots_.empty()) {
        Log::write(QStringLiteral("Type: no spare keycode in the keymap, can't type"));
        return false;
    }
    return true;
}

bool XKeySynth::beginBurst() {
    ++restoreGen_;
    if (inBurst_) return true;
    Display* d = display_.get();
    if (!scanSlots()) return false;
    {
        const QString layout = xkbLayout(d);
        std::lock_guard lock(im_->mutex);
        im_->layout = layout;
    }
    // Caps Lock would turn the typed letters' case around.
    XkbStateRec state{};
    capsWasLocked_ =
        XkbGetState(d, XkbUseCoreKbd, &state) == Success && (state.locked_mods & LockMask);
    if (capsWasLocked_) setLock(false);
    inBurst_ = true;
    remapsAtBurst_ = remaps_;
    stopPinging();
    pingWindow_ = pingWindow();
    pingWorks_ = true;
    return true;
}

void XKeySynth::setLock(bool locked) {
    XkbLockModifiers(display_.get(), XkbUseCoreKbd, LockMask, locked ? LockMask : 0);
}

XKeySynth::Slot* XKeySynth::slotFor(KeySym sym) {
    for (Slot& s : slots_)
        if (s.sym == sym) return &s;
    // The slot pressed longest ago; empty ones first.
    Slot* pick = &*std::min_element(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) {
        if ((a.sym == 0) != (b.sym == 0)) return a.sym == 0;
        return a.lastUsed < b.lastUsed;
    });
    Display* d = display_.get();
    if (pick->sym != 0 && pick->pressSeq > confirmedPresses_) {
        waitForTarget(presses_, kPingTimeoutMs);
    }
    if (pick->sym != 0 && pick->pressSeq > confirmedPresses_) {
        const auto behind = static_cast<int>(std::min<quint64>(remaps_ - pick->remapsAtUse, 1000));
        const auto ready =
            pick->lastUsed + std::chrono::milliseconds(kReuseGuardMs + kPerRemapMs * behind);
        if (Clock::now() < ready) {
            XSync(d, False);
            std::this_thread::sleep_until(ready);
        }
    }
    if (!remap({{pick->code, sym}})) return nullptr;
    pick->sym = sym;
    return pick;
}

bool XKeySynth::slotsIntact() {
    if (slots_.empty()) return false;
    Display* d = display_.get();
    const KeyCode lo = slots_.front().code, hi = slots_.back().code;
    int perCode = 0;
    XPtr<KeySym> syms(XGetKeyboardMapping(d, lo, hi - lo + 1, &perCode));
    if (!syms) return false;
    for (const Slot& s : slots_) {
        const KeySym* row = syms.get() + static_cast<ptrdiff_t>(s.code - lo) * perCode;
        const bool ok =
            s.sym == 0 ? std::all_of(row, row + perCode, [](KeySym k) { return k == NoSymbol; })
                       : row[0] == s.sym;
        if (!ok) return false;
    }
    return true;
}

XKeySynth::Slot* XKeySynth::mapped(KeySym sym) {
    for (Slot& s : slots_)
        if (s.sym == sym) return &s;
    return nullptr;
}

void XKeySynth::press(Slot* slot) {
    fakeKey(slot->code, true);
    fakeKey(slot->code, false);
    slot->lastUsed = Clock::now();
    slot->remapsAtUse = remaps_;
    slot->pressSeq = ++presses_;
}

bool XKeySynth::mapAhead(const std::vector<KeySym>& syms, size_t from) {
    // The distinct symbols coming next, as many as there are spare keycodes.
    std::vector<KeySym> ahead;
    for (size_t i = from; i < syms.size(); ++i) {
        if (layoutKeys_.count(syms[i]) ||
            std::find(ahead.begin(), ahead.end(), syms[i]) != ahead.end())
            continue;
        if (ahead.size() == slots_.size()) break;
        ahead.push_back(syms[i]);
    }
    std::vector<KeySym> missing;
    for (KeySym sym : ahead)
        if (!mapped(sym)) missing.push_back(sym);
    if (missing.empty()) return true;
    if (from > 0 && !slotsIntact()) {
        // A new keymap owns these keycodes now: find spare ones afresh.
        Log::write(QStringLiteral(
            "Type: the keymap changed while typing, looking for spare keycodes again"));
        if (!scanSlots()) return false;
        return mapAhead(syms, from);
    }
    // Keycodes holding nothing needed soon: empty ones first, then those pressed longest ago.
    std::vector<Slot*> spare;
    for (Slot& s : slots_)
        if (s.sym == 0 || std::find(ahead.begin(), ahead.end(), s.sym) == ahead.end())
            spare.push_back(&s);
    std::sort(spare.begin(), spare.end(), [](const Slot* a, const Slot* b) {
        if ((a->sym == 0) != (b->sym == 0)) return a->sym == 0;
        return a->lastUsed < b->lastUsed;
    });
    spare.resize(std::min(spare.size(), missing.size()));
    // A keycode gets a new symbol only once the target has read its last press.
    const auto unread = [this](const Slot* s) {
        return s->sym != 0 && s->pressSeq > confirmedPresses_;
    };
    if (std::any_of(spare.begin(), spare.end(), unread)) {
        // Only up to the newest of their presses.
        quint64 upTo = 0;
        for (const Slot* s : spare)
            if (unread(s)) upTo = std::max(upTo, s->pressSeq);
        waitForTarget(upTo, kPingTimeoutMs);
    }
    Clock::time_point ready{};
    for (const Slot* s : spare) {
        if (!unread(s)) continue;
        const auto behind = static_cast<int>(std::min<quint64>(remaps_ - s->remapsAtUse, 1000));
        ready = std::max(
            ready, s->lastUsed + std::chrono::milliseconds(kReuseGuardMs + kPerRemapMs * behind));
    }
    Display* d = display_.get();
    if (Clock::now() < ready) {
        XSync(d, False);
        std::this_thread::sleep_until(ready);
    }
    std::vector<std::pair<KeyCode, KeySym>> keys;
    for (size_t k = 0; k < spare.size(); ++k) keys.emplace_back(spare[k]->code, missing[k]);
    if (!remap(keys)) return false;
    for (size_t k = 0; k < spare.size(); ++k) spare[k]->sym = missing[k];
    return true;
}

bool XKeySynth::remap(const std::vector<std::pair<KeyCode, KeySym>>& keys, bool empty) {
    if (keys.empty()) return true;
    Display* d = display_.get();
    // Read, change and write back with no other client's request in between, so a keymap
    // loaded meanwhile is never written over.
    XGrabServer(d);
    const XkbDescOwner xkb(XkbGetMap(d, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
    bool ok = xkb && xkb->map;
    int lo = 256, hi = -1;
    for (const auto& [code, sym] : keys) {
        if (!ok) break;
        if (code < xkb->min_key_code || code > xkb->max_key_code) {
            ok = false;
            break;
        }
        if (empty && (XkbKeyNumSyms(xkb.get(), code) < 1 || XkbKeySym(xkb.get(), code, 0) != sym))
            continue;  // not ours any more
        // One level: the symbol with and without Shift; no group at all to empty the key.
        int type = XkbOneLevelIndex;
        const int groups = empty ? 0 : 1;
        ok = XkbChangeTypesOfKey(xkb.get(), code, groups, XkbGroup1Mask, &type, nullptr) == Success;
        if (ok && !empty) {
            KeySym* row = XkbResizeKeySyms(xkb.get(), code, 1);
            ok = row != nullptr;
            if (ok) row[0] = sym;
        }
        lo = std::min<int>(lo, code);
        hi = std::max<int>(hi, code);
    }
    if (ok && hi >= lo) {
        // One request over the span: the keys in between go back exactly as read, so their
        // levels and groups stay, and each client reloads its keymap once.
        XkbMapChangesRec changes{};
        changes.changed = XkbKeySymsMask;
        changes.first_key_sym = static_cast<KeyCode>(lo);
        changes.num_key_syms = static_cast<unsigned char>(hi - lo + 1);
        ok = XkbChangeMap(d, xkb.get(), &changes);
        ++remaps_;
    }
    XUngrabServer(d);
    XFlush(d);
    if (!ok) Log::write(QStringLiteral("Type: the keymap could not be changed"));
    return ok;
}

void XKeySynth::pace() {
    // Toolkits answer a ping when they read it, after the keys sent before it. The keys go
    // out without waiting for the answers, so the target always has the next ones queued;
    // only a target that falls far behind is waited for, so the burst's end is never far
    // ahead of what it has taken.
    if (presses_ % kPaceEvery != 0 || !pingWorks_ || pingWindow_ == None) return;
    sendPing();
    drainEvents();
    if (presses_ - confirmedPresses_ > kMaxAhead)
        waitForTarget(presses_ - kMaxAhead + kPaceEvery, kPingTimeoutMs);
}

bool XKeySynth::typeHere(const QString& units) {
    if (!xtest_) return false;
    if (inBurst_ && !slotsIntact()) {
        Log::write(QStringLiteral(
            "Type: the keymap changed while typing, looking for spare keycodes again"));
        inBurst_ = false;
        slots_.clear();
    }
    if (!beginBurst()) return false;
    // A modifier the user holds (the talk key, say) would turn letters into shortcuts.
    liftHeldModifiers();
    std::vector<KeySym> syms;
    for (char32_t cp : units.toUcs4())
        if (const KeySym sym = keysymFor(cp)) syms.push_back(sym);
    for (size_t i = 0; i < syms.size();) {
        if (!mapAhead(syms, i)) return false;
        for (; i < syms.size(); ++i) {
            if (const auto key = layoutKeys_.find(syms[i]); key != layoutKeys_.end()) {
                if (key->second.shift) fakeKey(shiftCode_, true);
                fakeKey(key->second.code, true);
                fakeKey(key->second.code, false);
                if (key->second.shift) fakeKey(shiftCode_, false);
                ++presses_;
                pace();
                continue;
            }
            Slot* slot = mapped(syms[i]);
            if (!slot) break;
            press(slot);
            pace();
        }
        if (i < syms.size() && slots_.empty()) return false;
    }
    Display* d = display_.get();
    XSync(d, False);
    drainEvents();
    return !syms.empty() || units.isEmpty();
}

bool XKeySynth::typeRun(const QString& units) {
    return onTypist([&] { return typeHere(units); });
}

void XKeySynth::typeRuns(const QStringList& runs, std::function<void(int failed)> done) {
    typist_.post([this, runs, done = std::move(done)] {
        const auto start = Clock::now();
        const quint64 remapsBefore = remaps_, pressesBefore = presses_;
        int failed = 0;
        // One stream: the keycodes are mapped ahead across the run boundaries.
        if (!typeHere(runs.join(QString()))) failed = static_cast<int>(runs.size());
        const auto sent = Clock::now();
        endHere();
        const auto ms = [](Clock::duration t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(t).count();
        };
        Log::write(QStringLiteral("Type: %1 keys sent in %2ms with %3 remappings, the target "
                                  "had them %4ms later")
                       .arg(presses_ - pressesBefore)
                       .arg(ms(sent - start))
                       .arg(remaps_ - remapsBefore)
                       .arg(ms(Clock::now() - sent)));
        done(failed);
    });
}

void XKeySynth::drainEvents() {
    // Nothing is read on this connection but ping answers and the releases of lifted
    // modifiers; mapping notices pile up otherwise.
    Display* d = display_.get();
    while (XPending(d)) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == ClientMessage && e.xclient.message_type == atom(d, "WM_PROTOCOLS") &&
            static_cast<Atom>(e.xclient.data.l[0]) == atom(d, "_NET_WM_PING")) {
            pingAnswered(e.xclient.data.l[1]);
            continue;
        }
        if (e.type != GenericEvent || xiOpcode_ == 0 || e.xcookie.extension != xiOpcode_ ||
            e.xcookie.evtype != XI_RawKeyRelease)
            continue;
        const EventData held(d, &e.xcookie);
        if (!held) continue;
        const auto code =
            static_cast<KeyCode>(static_cast<const XIRawEvent*>(e.xcookie.data)->detail);
        // Typing presses Shift itself: the echo of its release is not the user's.
        if (ownReleases_[code] > 0) {
            --ownReleases_[code];
            continue;
        }
        // Lifted keys were already up for the server; this release is the user letting go.
        if (std::find(lifted_.begin(), lifted_.end(), code) != lifted_.end())
            letGo_.push_back(code);
    }
}

void XKeySynth::fakeKey(KeyCode code, bool press) {
    SyntheticKeys::shared().expect(code, press);
    if (!press && releasesSelected_) ++ownReleases_[code];
    XTestFakeKeyEvent(display_.get(), code, press ? True : False, CurrentTime);
}

void XKeySynth::selectReleases(bool on) {
    if (xiOpcode_ == 0) return;
    Display* d = display_.get();
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) XISetMask(mask, XI_RawKeyRelease);
    XIEventMask em{XIAllMasterDevices, sizeof mask, mask};
    XISelectEvents(d, DefaultRootWindow(d), &em, 1);
    releasesSelected_ = on;
    ownReleases_.fill(0);
}

void XKeySynth::liftHeldModifiers() {
    Display* d = display_.get();
    char down[32] = {};
    XQueryKeymap(d, down);
    const std::unique_ptr<XModifierKeymap, ModifierMapFree> map(XGetModifierMapping(d));
    if (!map) return;
    std::vector<KeyCode> lift;
    for (int mod = 0; mod < 8; ++mod) {
        if (mod == LockMapIndex) continue;  // Caps Lock is a lock, handled apart
        for (int j = 0; j < map->max_keypermod; ++j) {
            const KeyCode code = map->modifiermap[mod * map->max_keypermod + j];
            if (code == 0 || !(down[code / 8] & (1 << (code % 8)))) continue;
            if (std::find(lifted_.begin(), lifted_.end(), code) == lifted_.end() &&
                std::find(lift.begin(), lift.end(), code) == lift.end())
                lift.push_back(code);
        }
    }
    if (lift.empty()) return;
    for (KeyCode code : lift) fakeKey(code, false);
    XSync(d, False);
    // Listen for the user letting go only now: our own releases are behind us.
    if (lifted_.empty()) selectReleases(true);
    lifted_.insert(lifted_.end(), lift.begin(), lift.end());
    Log::write(
        QStringLiteral("Type: lifted %1 held modifier key(s) for the typing").arg(lift.size()));
}

void XKeySynth::restoreHeldModifiers() {
    if (lifted_.empty()) return;
    Display* d = display_.get();
    XSync(d, False);
    drainEvents();
    selectReleases(false);
    // Keys still held go back down, so the user's chord goes on as before.
    for (KeyCode code : lifted_)
        if (std::find(letGo_.begin(), letGo_.end(), code) == letGo_.end()) fakeKey(code, true);
    XSync(d, False);
    lifted_.clear();
    letGo_.clear();
}

Window XKeySynth::pingWindow() {
    Display* d = display_.get();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    const Atom ping = atom(d, "_NET_WM_PING");
    // The focus may sit on a child: climb to the top-level that speaks the protocol.
    for (int depth = 0; focus != None && focus != PointerRoot && depth < 16; ++depth) {
        ErrorTrap trap(d);
        Atom* list = nullptr;
        int n = 0;
        const Status ok = XGetWMProtocols(d, focus, &list, &n);
        XPtr<Atom> owned(list);
        if (trap.failed()) return None;
        if (ok && std::find(list, list + n, ping) != list + n) return focus;
        Window root = None, parent = None, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(d, focus, &root, &parent, &children, &count)) return None;
        XPtr<Window> kids(children);
        if (parent == root) return None;
        focus = parent;
    }
    return None;
}

void XKeySynth::sendPing() {
    if (!pingWorks_ || pingWindow_ == None) return;
    Display* d = display_.get();
    // The answer goes to the root window; listen there only while a ping is out.
    // Toolkits answer with either mask (Qt: structure, GTK: substructure).
    if (pingsOut_.empty())
        XSelectInput(d, DefaultRootWindow(d), StructureNotifyMask | SubstructureNotifyMask);
    ErrorTrap trap(d);
    sendClientMessage(
        d, pingWindow_, pingWindow_, atom(d, "WM_PROTOCOLS"),
        {static_cast<long>(atom(d, "_NET_WM_PING")), ++pingToken_, static_cast<long>(pingWindow_)},
        NoEventMask);
    if (trap.failed()) {
        pingWorks_ = false;
        stopPinging();
        return;
    }
    pingsOut_.push_back(PingOut{pingToken_, presses_});
}

void XKeySynth::stopPinging() {
    if (pingsOut_.empty()) return;
    pingsOut_.clear();
    Display* d = display_.get();
    XSelectInput(d, DefaultRootWindow(d), NoEventMask);
}

void XKeySynth::pingAnswered(long token) {
    // Answers come in the order the pings went: an answer covers every ping before it.
    const auto it = std::find_if(pingsOut_.begin(), pingsOut_.end(),
                                 [token](const PingOut& p) { return p.token == token; });
    if (it == pingsOut_.end()) return;
    confirmedPresses_ = std::max(confirmedPresses_, it->presses);
    pingsOut_.erase(pingsOut_.begin(), it + 1);
    if (pingsOut_.empty()) {
        Display* d = display_.get();
        XSelectInput(d, DefaultRootWindow(d), NoEventMask);
    }
}

bool XKeySynth::waitForTarget(quint64 upTo, int timeoutMs) {
    if (confirmedPresses_ >= upTo) return true;
    if (!pingWorks_ || pingWindow_ == None) return false;
    Display* d = display_.get();
    // A ping already out after those keys will do; otherwise one goes now.
    if (std::none_of(pingsOut_.begin(), pingsOut_.end(),
                     [upTo](const PingOut& p) { return p.presses >= upTo; }))
        sendPing();
    // The target reads what is queued before the ping first: a longer queue, a longer wait.
    timeoutMs += kPerQueuedKeyMs * static_cast<int>(std::min<quint64>(presses_ - confirmedPresses_,
                                                                      kMaxAhead + kPaceEvery));
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pingWorks_) {
        drainEvents();
        if (confirmedPresses_ >= upTo) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left));
    }
    if (pingWorks_) {
        // A target that does not answer is not asked again this burst.
        pingWorks_ = false;
        Log::write(
            QStringLiteral("Type: the target did not answer a ping in %1 ms").arg(timeoutMs));
    }
    stopPinging();
    return false;
}

void XKeySynth::endTyping() {
    onTypist([this] { endHere(); });
}

void XKeySynth::endHere() {
    if (!inBurst_) return;
    restoreHeldModifiers();
    if (capsWasLocked_) setLock(true);
    capsWasLocked_ = false;
    XSync(display_.get(), False);
    // Return once the target has read every key (it handles the last run's a moment
    // later), so whatever comes next (a keymap switch, reading the field back) sees it.
    if (presses_ > confirmedPresses_) {
        pingWorks_ = true;  // a reuse ping that timed out must not skip this one
        waitForTarget(presses_, kSettleTimeoutMs);
    }
    // Give a target still working through the remappings time to finish.
    const quint64 made = std::min<quint64>(remaps_ - remapsAtBurst_, 1000);
    const quint64 gen = ++restoreGen_;
    typist_.postAfter(
        std::chrono::milliseconds(kRestoreAfterMs + kPerRemapMs * static_cast<int>(made)),
        [this, gen] {
            if (gen == restoreGen_) restoreMapping();
        });
}

void XKeySynth::restoreMapping() {
    ++restoreGen_;
    if (!inBurst_) return;
    inBurst_ = false;
    if (capsWasLocked_) setLock(true);
    capsWasLocked_ = false;
    // Keys still on their way would be read with the restored map.
    if (presses_ > confirmedPresses_) waitForTarget(presses_, kPingTimeoutMs);
    Display* d = display_.get();
    // Only the keycodes still holding what we put there: a keymap loaded
    // meanwhile owns them now.
    std::vector<std::pair<KeyCode, KeySym>> ours;
    for (const Slot& s : slots_)
        if (s.sym != 0) ours.emplace_back(s.code, s.sym);
    remap(ours, true);
    XSync(d, False);
    slots_.clear();
}

bool XKeySynth::sendPaste(bool terminal) {
    return onTypist([this, terminal] { return pasteHere(terminal); });
}

bool XKeySynth::pasteHere(bool terminal) {
    if (!xtest_) return false;
    Display* d = display_.get();
    const KeyCode ctrl = XKeysymToKeycode(d, XK_Control_L);
    const KeyCode shift = XKeysymToKeycode(d, XK_Shift_L);
    KeyCode v = XKeysymToKeycode(d, XK_v);
    if (v == 0 && beginBurst()) {
        // A layout without a Latin V: lend it a spare keycode.
        if (const Slot* slot = slotFor(XK_v)) v = slot->code;
        endHere();
    }
    if (ctrl == 0 || v == 0 || (terminal && shift == 0)) return false;
    // A held Alt or Shift would make it another shortcut.
    liftHeldModifiers();
    fakeKey(ctrl, true);
    if (terminal) fakeKey(shift, true);
    fakeKey(v, true);
    fakeKey(v, false);
    if (terminal) fakeKey(shift, false);
    fakeKey(ctrl, false);
    XSync(d, False);
    restoreHeldModifiers();
    return true;
}

QString XKeySynth::inputSource() {
    // The input method is asked on a thread of its own (asking IBus means running its tool),
    // and again after each use so a switch shows up by the next dictation.
    QString engine, layout;
    bool ask = false;
    {
        std::lock_guard lock(im_->mutex);
        engine = im_->engine;
        layout = im_->layout;
        ask = !im_->asking;
        im_->asking = true;
    }
    if (ask) askInputMethod();
    if (!engine.isEmpty()) return engine;
    // Asked afresh: the user may have switched layouts since the last burst.
    if (query_)
        if (const QString now = xkbLayout(query_.get()); !now.isEmpty()) return now;
    return layout;
}

void XKeySynth::askInputMethod() {
    imWorker_.post([im = im_] {
        QString engine = fcitxEngine();
        if (engine.isEmpty()) engine = ibusEngine();
        std::lock_guard lock(im->mutex);
        im->engine = engine;
        im->asking = false;
    });
}

}  // namespace platform::x11

#include "platform/linux/X11Clipboard.h"
#include "core/Log.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>

#include <chrono>
#include <climits>

namespace platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype kIncrChunk = 256 * 1024;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The bytes of a property as Xlib hands them over (32-bit items come as longs).
QByteArray propertyBytes(const unsigned char* raw, unsigned long items, int format) {
    if (!raw || items == 0) return {};
    if (format == 8)
        return QByteArray(reinterpret_cast<const char*>(raw), static_cast<qsizetype>(items));
    if (format == 16)
        return QByteArray(reinterpret_cast<const char*>(raw), static_cast<qsizetype>(items * 2));
    QByteArray out;
    out.reserve(static_cast<qsizetype>(items * 4));
    const auto* longs = reinterpret_cast<const long*>(raw);
    for (unsigned long i = 0; i < items; ++i) {
        const quint32 v = static_cast<quint32>(longs[i]);
        out.append(reinterpret_cast<const char*>(&v), 4);
    }
    return out;
}

}  // namespace

std::unique_ptr<X11Clipboard> X11Clipboard::create() {
    DisplayPtr display = openDisplay();
    if (!display) return nullptr;
    return std::unique_ptr<X11Clipboard>(new X11Clipboard(std::move(display)));
}

namespace {
// An unmapped input-only window that hears changes to its own properties.
Window createWindow(Display* d) {
    XSetWindowAttributes attrs{};
    attrs.event_mask = PropertyChangeMask;
    return XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, InputOnly, CopyFromParent,
                         CWEventMask, &attrs);
}
}  // namespace

X11Clipboard::X11Clipboard(DisplayPtr display)
    : display_(std::move(display)), window_(display_.get(), createWindow(display_.get())) {
    Display* d = display_.get();
    clipboard_ = atom(d, "CLIPBOARD");
    targets_ = atom(d, "TARGETS");
    timestamp_ = atom(d, "TIMESTAMP");
    multiple_ = atom(d, "MULTIPLE");
    incr_ = atom(d, "INCR");
    utf8_ = atom(d, "UTF8_STRING");
    atomPair_ = atom(d, "ATOM_PAIR");
    transfer_ = atom(d, "VELMORA_CLIPBOARD");
    clock_ = atom(d, "VELMORA_CLOCK");
    clipboardManager_ = atom(d, "CLIPBOARD_MANAGER");
    saveTargets_ = atom(d, "SAVE_TARGETS");
    int errorBase = 0;
    if (XFixesQueryExtension(d, &xfixesEvent_, &errorBase)) {
        XFixesSelectSelectionInput(d, window_.get(), clipboard_,
                                   XFixesSetSelectionOwnerNotifyMask |
                                       XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
    } else {
        xfixesEvent_ = -1;
        Log::write(QStringLiteral("Clipboard: no XFixes, other apps' copies go unnoticed"));
    }
    XFlush(d);
    thread_ = std::thread([this] { loop(); });
}

X11Clipboard::~X11Clipboard() {
    // Text we still serve would vanish with us: a clipboard manager can keep it.
    call([this] {
        Display* d = display_.get();
        if (offers_.empty() || XGetSelectionOwner(d, clipboardManager_) == None) return;
        XConvertSelection(d, clipboardManager_, saveTargets_, None, window_.get(), serverTime());
        XEvent e;
        waitEvent(
            [this](const XEvent& ev) {
                return ev.type == SelectionNotify && ev.xselection.selection == clipboardManager_;
            },
            1000, &e);
    });
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.wake();
    if (thread_.joinable()) thread_.join();
}

void X11Clipboard::call(const std::function<void()>& fn) {
    if (std::this_thread::get_id() == thread_.get_id()) {
        fn();
        return;
    }
    bool done = false;
    std::unique_lock lock(mutex_);
    tasks_.push_back([&] {
        fn();
        std::lock_guard inner(mutex_);
        done = true;
        changed_.notify_all();
    });
    wake_.wake();
    changed_.wait(lock, [&] { return done; });
}

void X11Clipboard::loop() {
    Display* d = display_.get();
    for (;;) {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty()) {
                    if (stopping_) return;
                    break;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            dispatch(e);
        }
        // Requestors that stopped taking pieces of a large answer are dropped.
        for (auto it = outgoing_.begin(); it != outgoing_.end();) {
            if (Clock::now() - it->second.lastActivity > std::chrono::seconds(5)) {
                XSelectInput(d, it->first.first, NoEventMask);
                it = outgoing_.erase(it);
            } else {
                ++it;
            }
        }
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        poll(fds, wake_.ok() ? 2 : 1, 1000);
        if (fds[1].revents & POLLIN) wake_.drain();
    }
}

bool X11Clipboard::waitEvent(const std::function<bool(const XEvent&)>& match, int timeoutMs,
                             XEvent* out) {
    Display* d = display_.get();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    XFlush(d);
    for (;;) {
        while (XPending(d)) {
            XNextEvent(d, out);
            if (match(*out)) return true;
            dispatch(*out);
        }
        const int left = remainingMs(deadline);
        if (left <= 0) return false;
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, left);
    }
}

void X11Clipboard::noteOwnerChange() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
}

void X11Clipboard::dispatch(XEvent& e) {
    if (e.type == SelectionRequest) {
        serve(e.xselectionrequest);
    } else if (e.type == SelectionClear && e.xselectionclear.selection == clipboard_) {
        offers_.clear();
        {
            std::lock_guard lock(mutex_);
            owned_ = false;
        }
        if (xfixesEvent_ < 0) noteOwnerChange();
    } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
        continueOutgoing(e.xproperty);
    } else if (xfixesEvent_ >= 0 && e.type == xfixesEvent_ + XFixesSelectionNotify) {
        const auto& n = reinterpret_cast<const XFixesSelectionNotifyEvent&>(e);
        if (n.selection != clipboard_) return;
        // Our own changes were counted when we made them.
        if (auto it = ownChanges_.find(n.selection_timestamp); it != ownChanges_.end()) {
            ownChanges_.erase(it);
            return;
        }
        noteOwnerChange();
    }
}

Time X11Clipboard::serverTime() {
    Display* d = display_.get();
    XChangeProperty(d, window_.get(), clock_, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent e;
    if (waitEvent(
            [this](const XEvent& ev) {
                return ev.type == PropertyNotify && ev.xproperty.atom == clock_;
            },
            500, &e))
        return e.xproperty.time;
    return CurrentTime;
}

QString X11Clipboard::name(Atom a) {
    if (auto it = names_.find(a); it != names_.end()) return it->second;
    ErrorTrap trap(display_.get());
    XPtr<char> raw(XGetAtomName(display_.get(), a));
    const QString n = (raw && !trap.failed()) ? QString::fromUtf8(raw.get()) : QString();
    names_[a] = n;
    return n;
}

Atom X11Clipboard::intern(const QString& n) {
    return XInternAtom(display_.get(), n.toUtf8().constData(), False);
}

bool X11Clipboard::isMeta(Atom t) const {
    return t == targets_ || t == timestamp_ || t == multiple_ || t == saveTargets_ || t == None;
}

bool X11Clipboard::own(std::vector<Offer> offers) {
    Display* d = display_.get();
    const Time t = serverTime();
    XSetSelectionOwner(d, clipboard_, window_.get(), t);
    if (XGetSelectionOwner(d, clipboard_) != window_.get()) return false;
    offers_ = std::move(offers);
    ownedSince_ = t;
    if (xfixesEvent_ >= 0 && t != CurrentTime) ownChanges_.insert(t);
    noteOwnerChange();
    std::lock_guard lock(mutex_);
    owned_ = true;
    ownedAt_ = count_;
    return true;
}

void X11Clipboard::disown() {
    Display* d = display_.get();
    const bool wasOurs = !offers_.empty() || XGetSelectionOwner(d, clipboard_) == window_.get();
    const Window owner = XGetSelectionOwner(d, clipboard_);
    offers_.clear();
    {
        std::lock_guard lock(mutex_);
        owned_ = false;
    }
    if (owner == None) return;
    const Time t = serverTime();
    XSetSelectionOwner(d, clipboard_, None, t);
    if (xfixesEvent_ >= 0 && t != CurrentTime) ownChanges_.insert(t);
    if (xfixesEvent_ >= 0 || wasOurs) noteOwnerChange();
}

bool X11Clipboard::answer(Window requestor, Atom property, Atom target, quint64 count) {
    Display* d = display_.get();
    ErrorTrap trap(d);
    if (target == targets_) {
        std::vector<long> list{static_cast<long>(targets_), static_cast<long>(timestamp_),
                               static_cast<long>(multiple_)};
        for (const Offer& o : offers_) list.push_back(static_cast<long>(o.target));
        XChangeProperty(d, requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(list.data()),
                        static_cast<int>(list.size()));
        return !trap.failed();
    }
    if (target == timestamp_) {
        const long t = static_cast<long>(ownedSince_);
        XChangeProperty(d, requestor, property, XA_INTEGER, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&t), 1);
        return !trap.failed();
    }
    const Offer* offer = nullptr;
    for (const Offer& o : offers_)
        if (o.target == target) offer = &o;
    if (!offer) return false;
    const long maxBytes = std::max(XExtendedMaxRequestSize(d), XMaxRequestSize(d)) * 4 - 1024;
    if (offer->data.size() > std::min<long>(maxBytes, 4 * kIncrChunk)) {
        // Too large for one property: hand it over in pieces as the requestor asks.
        XSelectInput(d, requestor, PropertyChangeMask);
        const long size = static_cast<long>(offer->data.size());
        XChangeProperty(d, requestor, property, incr_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        if (trap.failed()) return false;
        outgoing_[{requestor, property}] =
            Outgoing{requestor, property, offer->type, offer->data, 0, count, Clock::now()};
        return true;
    }
    XChangeProperty(d, requestor, property, offer->type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(offer->data.constData()),
                    static_cast<int>(offer->data.size()));
    if (trap.failed()) return false;
    std::lock_guard lock(mutex_);
    readAt_ = count;
    changed_.notify_all();
    return true;
}

void X11Clipboard::serve(const XSelectionRequestEvent& req) {
    Display* d = display_.get();
    quint64 count = 0;
    bool owned = false;
    {
        std::lock_guard lock(mutex_);
        count = ownedAt_;
        owned = owned_;
    }
    // Obsolete requestors leave the property empty and mean the target's name.
    const Atom property = req.property == None ? req.target : req.property;
    bool ok = false;
    if (owned && req.selection == clipboard_ &&
        (req.time == CurrentTime || req.time >= ownedSince_)) {
        if (req.target == multiple_) {
            // A list of (target, property) pairs; a pair that fails gets None as its property.
            auto list = readProperty(d, req.requestor, property, atomPair_, 1 << 16);
            if (list && list->data && list->format == 32 && list->items % 2 == 0) {
                auto* pairs = reinterpret_cast<long*>(list->data.get());
                for (unsigned long i = 0; i + 1 < list->items; i += 2)
                    if (!answer(req.requestor, static_cast<Atom>(pairs[i + 1]),
                                static_cast<Atom>(pairs[i]), count))
                        pairs[i + 1] = None;
                ErrorTrap trap(d);
                XChangeProperty(d, req.requestor, property, atomPair_, 32, PropModeReplace,
                                list->data.get(), static_cast<int>(list->items));
                ok = !trap.failed();
            }
        } else {
            ok = answer(req.requestor, property, req.target, count);
        }
    }
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = d;
    reply.xselection.requestor = req.requestor;
    reply.xselection.selection = req.selection;
    reply.xselection.target = req.target;
    reply.xselection.property = ok ? property : None;
    reply.xselection.time = req.time;
    ErrorTrap trap(d);
    XSendEvent(d, req.requestor, False, NoEventMask, &reply);
    XFlush(d);
}

void X11Clipboard::continueOutgoing(const XPropertyEvent& e) {
    auto it = outgoing_.find({e.window, e.atom});
    if (it == outgoing_.end()) return;
    Outgoing& out = it->second;
    Display* d = display_.get();
    ErrorTrap trap(d);
    const qsizetype n = std::min<qsizetype>(kIncrChunk, out.data.size() - out.sent);
    XChangeProperty(d, out.requestor, out.property, out.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(out.data.constData() + out.sent),
                    static_cast<int>(n));
    out.sent += n;
    out.lastActivity = Clock::now();
    if (n == 0 || trap.failed()) {
        // The empty piece ends the transfer.
        if (n == 0 && !trap.failed()) {
            std::lock_guard lock(mutex_);
            readAt_ = out.count;
            changed_.notify_all();
        }
        XSelectInput(d, out.requestor, NoEventMask);
        outgoing_.erase(it);
    }
}

std::optional<QByteArray> X11Clipboard::convert(Atom target, Atom* typeOut, int* formatOut,
                                                int timeoutMs) {
    Display* d = display_.get();
    XDeleteProperty(d, window_.get(), transfer_);
    XConvertSelection(d, clipboard_, target, transfer_, window_.get(), CurrentTime);
    XEvent e;
    if (!waitEvent(
            [&](const XEvent& ev) {
                return ev.type == SelectionNotify && ev.xselection.requestor == window_.get() &&
                       ev.xselection.selection == clipboard_ && ev.xselection.target == target;
            },
            timeoutMs, &e))
        return std::nullopt;
    if (e.xselection.property == None) return std::nullopt;
    auto take = [&](Atom* type, int* format) -> std::optional<QByteArray> {
        auto p = readProperty(d, window_.get(), transfer_, AnyPropertyType, LONG_MAX / 4, true);
        if (!p) return std::nullopt;
        *type = p->type;
        *format = p->format;
        return propertyBytes(p->data.get(), p->items, p->format);
    };
    Atom type = None;
    int format = 0;
    auto first = take(&type, &format);
    if (!first) return std::nullopt;
    if (type != incr_) {
        *typeOut = type;
        *formatOut = format;
        return first;
    }
    // The owner sends the data in pieces, each after we deleted the last.
    QByteArray all;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs * 4);
    for (;;) {
        if (!waitEvent(
                [&](const XEvent& ev) {
                    return ev.type == PropertyNotify && ev.xproperty.window == window_.get() &&
                           ev.xproperty.atom == transfer_ && ev.xproperty.state == PropertyNewValue;
                },
                std::min(timeoutMs, remainingMs(deadline)), &e))
            return std::nullopt;
        auto piece = take(&type, &format);
        if (!piece) return std::nullopt;
        if (piece->isEmpty()) break;
        all += *piece;
        if (all.size() > kMaxFormatBytes) {
            Log::write(QStringLiteral("Clipboard: a format over %1 MB was left out")
                           .arg(kMaxFormatBytes >> 20));
            return std::nullopt;
        }
    }
    *typeOut = type;
    *formatOut = format;
    return all;
}

std::vector<Atom> X11Clipboard::foreignTargets(int timeoutMs) {
    Atom type = None;
    int format = 0;
    const auto bytes = convert(targets_, &type, &format, timeoutMs);
    std::vector<Atom> out;
    if (!bytes || format != 32) return out;
    const auto* atoms = reinterpret_cast<const quint32*>(bytes->constData());
    for (qsizetype i = 0; i < bytes->size() / 4; ++i)
        if (std::find(out.begin(), out.end(), atoms[i]) == out.end()) out.push_back(atoms[i]);
    return out;
}

quint64 X11Clipboard::changeCount() {
    std::lock_guard lock(mutex_);
    return count_;
}

bool X11Clipboard::ownedByUs() {
    std::lock_guard lock(mutex_);
    return owned_;
}

QStringList X11Clipboard::types() {
    QStringList out;
    call([&] {
        Display* d = display_.get();
        if (!offers_.empty()) {
            for (const Offer& o : offers_) out << name(o.target);
            return;
        }
        if (XGetSelectionOwner(d, clipboard_) == None) return;
        for (Atom a : foreignTargets(kTargetTimeoutMs))
            if (!isMeta(a)) out << name(a);
    });
    return out;
}

std::optional<QString> X11Clipboard::text() {
    std::optional<QString> out;
    call([&] {
        Display* d = display_.get();
        const Atom plain = intern(QStringLiteral("text/plain;charset=utf-8"));
        if (!offers_.empty()) {
            for (const Offer& o : offers_)
                if (o.target == utf8_ || o.target == plain) {
                    out = QString::fromUtf8(o.data);
                    return;
                }
            return;
        }
        if (XGetSelectionOwner(d, clipboard_) == None) return;
        for (Atom target : {utf8_, plain, static_cast<Atom>(XA_STRING)}) {
            Atom type = None;
            int format = 0;
            if (auto bytes = convert(target, &type, &format, kTargetTimeoutMs);
                bytes && format == 8) {
                out = target == XA_STRING ? QString::fromLatin1(*bytes) : QString::fromUtf8(*bytes);
                return;
            }
        }
    });
    return out;
}

PasteboardContents X11Clipboard::readAll() {
    PasteboardContents out;
    call([&] {
        Display* d = display_.get();
        if (!offers_.empty()) {
            for (const Offer& o : offers_) out.append({name(o.target), o.data});
            return;
        }
        if (XGetSelectionOwner(d, clipboard_) == None) return;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReadBudgetMs);
        int skipped = 0;
        for (Atom target : foreignTargets(kTargetTimeoutMs)) {
            if (isMeta(target)) continue;
            const int left = remainingMs(deadline);
            Atom type = None;
            int format = 0;
            auto bytes = left > 0
                             ? convert(target, &type, &format, std::min(left, kTargetTimeoutMs))
                             : std::nullopt;
            if (!bytes || format != 8) {
                ++skipped;
                continue;
            }
            out.append({name(target), *bytes});
        }
        if (skipped > 0)
            Log::write(
                QStringLiteral("Clipboard: %1 format(s) couldn't be read and won't come back")
                    .arg(skipped));
    });
    return out;
}

bool X11Clipboard::writeAll(const PasteboardContents& contents) {
    bool ok = false;
    call([&] {
        if (contents.isEmpty()) {
            disown();
            ok = true;
            return;
        }
        std::vector<Offer> offers;
        for (const PasteboardFormat& f : contents) {
            const Atom target = intern(f.type);
            if (isMeta(target)) continue;
            // Plain-text targets answer as UTF-8; anything else as its own type.
            const Atom type = (f.type == QLatin1String("TEXT")) ? utf8_ : target;
            offers.push_back(Offer{target, type, f.data});
        }
        ok = own(std::move(offers));
    });
    return ok;
}

bool X11Clipboard::writeText(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    PasteboardContents contents{{QStringLiteral("UTF8_STRING"), utf8},
                                {QStringLiteral("text/plain;charset=utf-8"), utf8},
                                {QStringLiteral("TEXT"), utf8}};
    // STRING is Latin-1: offered only when the text fits in it.
    bool latin1 = true;
    for (QChar c : text)
        if (c.unicode() > 0xff) latin1 = false;
    if (latin1) contents.append({QStringLiteral("STRING"), text.toLatin1()});
    return writeAll(contents);
}

void X11Clipboard::clear() {
    call([&] { disown(); });
}

bool X11Clipboard::waitUntilRead(quint64 count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return readAt_ == count || count_ != count; });
    return readAt_ == count && count_ == count;
}

}  // namespace platform::x11

#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

#include "platform/Pasteboard.h"
#include "platform/linux/Fd.h"
#include "platform/linux/X11Util.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace platform::x11 {

// The CLIPBOARD selection, read and served by a thread of its own with its own
// X connection: our process must answer other applications' requests for what
// it put up for as long as it owns the selection, whatever the main thread is
// doing. XFixes ownership events drive the change count. Thread: any.
class X11Clipboard : public Pasteboard {
  public:
    // Null when no display can be opened.
    static std::unique_ptr<X11Clipboard> create();
    ~X11Clipboard() override;

    quint64 changeCount() override;
    bool ownedByUs() override;
    QStringList types() override;
    std::optional<QString> text() override;
    PasteboardContents readAll() override;
    bool writeAll(const PasteboardContents& contents) override;
    bool writeText(const QString& text) override;
    void clear() override;
    bool waitUntilRead(quint64 count, int timeoutMs) override;

    // Bounds on reading from another owner.
    static constexpr int kTargetTimeoutMs = 500;
    static constexpr int kReadBudgetMs = 1500;
    static constexpr qsizetype kMaxFormatBytes = 64 << 20;

  private:
    struct Offer {
        Atom target = None;
        Atom type = None;
        QByteArray data;
    };
    // A large answer going out in pieces (the INCR protocol).
    struct Outgoing {
        Window requestor = None;
        Atom property = None;
        Atom type = None;
        QByteArray data;
        qsizetype sent = 0;
        quint64 count = 0;
        std::chrono::steady_clock::time_point lastActivity;
    };

    explicit X11Clipboard(DisplayPtr display);
    void loop();
    // Runs fn on the clipboard thread and waits for it.
    void call(const std::function<void()>& fn);

    // On the clipboard thread:
    void dispatch(XEvent& e);
    bool waitEvent(const std::function<bool(const XEvent&)>& match, int timeoutMs, XEvent* out);
    Time serverTime();
    bool own(std::vector<Offer> offers);
    void disown();
    void serve(const XSelectionRequestEvent& req);
    bool answer(Window requestor, Atom property, Atom target, quint64 count);
    void continueOutgoing(const XPropertyEvent& e);
    std::optional<QByteArray> convert(Atom target, Atom* type, int* format, int timeoutMs);
    std::vector<Atom> foreignTargets(int timeoutMs);
    bool isMeta(Atom target) const;
    QString name(Atom a);
    Atom intern(const QString& name);
    void noteOwnerChange();

    DisplayPtr display_;
    OwnedWindow window_;  // ours: the selection's owner and the transfers' requestor
    Atom clipboard_, targets_, timestamp_, multiple_, incr_, utf8_, atomPair_, transfer_, clock_,
        clipboardManager_, saveTargets_;
    int xfixesEvent_ = -1;
    Wakeup wake_;
    std::thread thread_;

    // Clipboard-thread state.
    std::vector<Offer> offers_;
    Time ownedSince_ = CurrentTime;
    std::map<std::pair<Window, Atom>, Outgoing> outgoing_;
    std::map<Atom, QString> names_;
    std::set<Time> ownChanges_;  // timestamps of our own ownership changes

    // Shared state.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    bool owned_ = false;
    quint64 count_ = 0;
    quint64 readAt_ = 0;  // the change count whose contents another app read
    quint64 ownedAt_ = 0;
};

}  // namespace platform::x11

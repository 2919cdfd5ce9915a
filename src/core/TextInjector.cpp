#include "core/TextInjector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "core/Log.h"
#include "platform/Accessibility.h"
#include "platform/KeySynth.h"
#include "platform/Pasteboard.h"
#include "platform/Platform.h"

namespace TextInjector {

namespace {

using Clock = std::chrono::steady_clock;

// One clipboard restore waiting for its time.
struct Restore {
    platform::Pasteboard* pasteboard = nullptr;
    quint64 count = 0;  // the change count of our pasted text
    platform::PasteboardContents saved;
    Clock::time_point due;
};

// The background thread that puts clipboards back, one restore at a time.
class RestoreQueue {
  public:
    static RestoreQueue& shared() {
        static RestoreQueue q;
        return q;
    }

    ~RestoreQueue() {
        finishAll();
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    void schedule(Restore r) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(r));
            if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
        }
        wake_.notify_all();
    }

    // Withdraws the restores not yet started. A paste that follows another before
    // its restore must save the user's clipboard, not our previous text: the
    // returned contents are that clipboard when it is still unchanged since.
    std::optional<platform::PasteboardContents> withdraw(platform::Pasteboard* pb) {
        std::lock_guard lock(mutex_);
        std::optional<platform::PasteboardContents> out;
        const quint64 now = pb->changeCount();
        for (Restore& r : pending_)
            if (r.pasteboard == pb && r.count == now) out = std::move(r.saved);
        std::erase_if(pending_, [pb](const Restore& r) { return r.pasteboard == pb; });
        return out;
    }

    void finishAll() {
        std::deque<Restore> now;
        {
            std::unique_lock lock(mutex_);
            now.swap(pending_);
            // A restore already running finishes first, so they stay in order.
            idle_.wait(lock, [this] { return !running_; });
        }
        for (Restore& r : now) run(r, 500);
    }

  private:
    void loop() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (pending_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const Clock::time_point due = pending_.front().due;
            if (Clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            Restore r = std::move(pending_.front());
            pending_.pop_front();
            running_ = true;
            lock.unlock();
            run(r, kReadGraceMs);
            lock.lock();
            running_ = false;
            idle_.notify_all();
        }
    }

    static void run(Restore& r, int graceMs) {
        platform::Pasteboard& pb = *r.pasteboard;
        // Putting the old contents back before a slow target has read the text
        // would paste the wrong thing.
        const bool read = pb.waitUntilRead(r.count, graceMs);
        if (pb.changeCount() != r.count) {
            Log::write(
                QStringLiteral("Paste: clipboard changed since the paste, not restoring it"));
            return;
        }
        // Replacing in one step leaves no moment with an empty clipboard.
        if (r.saved.isEmpty())
            pb.clear();
        else if (!pb.writeAll(r.saved)) {
            Log::write(QStringLiteral("Paste: couldn't restore the clipboard"));
            return;
        }
        Log::write(QStringLiteral("Paste: clipboard restored (%1 formats)%2")
                       .arg(r.saved.size())
                       .arg(read ? QString() : QStringLiteral(", the target never read the text")));
    }

    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<Restore> pending_;
    std::thread thread_;
    bool stopping_ = false;
    bool running_ = false;
};

}  // namespace

const QSet<QString>& textRoles() {
    static const QSet<QString> roles{QStringLiteral("entry"),     QStringLiteral("password text"),
                                     QStringLiteral("text"),      QStringLiteral("terminal"),
                                     QStringLiteral("combo box"), QStringLiteral("document text")};
    return roles;
}

const QSet<QString>& vagueRoles() {
    static const QSet<QString> roles{QStringLiteral("frame"), QStringLiteral("window"),
                                     QStringLiteral("application"), QStringLiteral("filler"),
                                     QStringLiteral("unknown")};
    return roles;
}

Focus focus(const std::optional<platform::RunningApp>& app) {
    if (!app) return Focus::unsure(QStringLiteral("no app"));
    auto* ax = platform::Platform::current().accessibility.get();
    if (!ax || app->pid <= 0) return Focus::unsure(QStringLiteral("error 0"));
    ax->setCallTimeout(kProbeTimeoutMs);
    const auto element = ax->focusedElement(app->pid);
    if (!element.value || !*element.value)
        return Focus::unsure(QStringLiteral("error %1").arg(element.error));
    const auto kind = ax->kind(*element.value);
    if (!kind.value || kind.value->role.isEmpty()) return Focus::unsure(QStringLiteral("no role"));
    const QString& role = kind.value->role;
    if (textRoles().contains(role)) return Focus::text();
    if (vagueRoles().contains(role)) return Focus::unsure(role);
    // Web editors (chat and mail composers) are sections, paragraphs or whole documents
    // that the page made editable.
    if (kind.value->editable) return Focus::text();
    return Focus::notText(role);
}

QStringList splitRuns(const QString& text, int unitsPerRun) {
    QStringList runs;
    if (unitsPerRun < 2) unitsPerRun = 2;  // room for one surrogate pair
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype len = std::min<qsizetype>(unitsPerRun, text.size() - at);
        // Cutting after a high surrogate would send each half of the pair alone.
        if (at + len < text.size() && text.at(at + len - 1).isHighSurrogate() &&
            text.at(at + len).isLowSurrogate())
            --len;
        runs << text.mid(at, len);
        at += len;
    }
    return runs;
}

namespace {

// Logs the burst and hands it to the key synthesiser; `done` gets the number of failed runs
// on whatever thread the synthesiser finished on. False when there is nothing to type with.
bool startTyping(const QString& text, std::function<void(int failed, int runs)> done) {
    auto* keys = platform::Platform::current().keys.get();
    const QStringList runs = splitRuns(text);
    QString source = keys ? keys->inputSource() : QString();
    if (source.isEmpty()) source = QStringLiteral("?");
    Log::write(QStringLiteral("Type: %1 units in %2 events, input source %3")
                   .arg(text.size())
                   .arg(runs.size())
                   .arg(source));
    if (runs.isEmpty()) {
        done(0, 0);
        return true;
    }
    if (!keys) return false;
    const int count = static_cast<int>(runs.size());
    keys->typeRuns(runs, [done = std::move(done), count](int failed) {
        if (failed > 0)
            Log::write(QStringLiteral("Type: couldn't send %1 of %2 runs").arg(failed).arg(count));
        done(failed, count);
    });
    return true;
}

}  // namespace

void typeAsync(const QString& text, std::function<void(bool ok)> done) {
    auto shared = std::make_shared<std::function<void(bool)>>(std::move(done));
    const bool started = startTyping(text, [shared](int failed, int) {
        QCoreApplication* app = QCoreApplication::instance();
        // Finished on the spot (nothing to type, or a synthesiser that works in place).
        if (!app || QThread::currentThread() == app->thread()) return (*shared)(failed == 0);
        QMetaObject::invokeMethod(
            app, [shared, failed] { (*shared)(failed == 0); }, Qt::QueuedConnection);
    });
    if (!started) (*shared)(false);
}

bool type(const QString& text) {
    auto result = std::make_shared<std::promise<bool>>();
    std::future<bool> out = result->get_future();
    if (!startTyping(text, [result](int failed, int) { result->set_value(failed == 0); }))
        return false;
    return out.get();
}

bool paste(const QString& text, quint32 restoreDelayMs, bool keep, bool terminal) {
    auto& platform = platform::Platform::current();
    platform::Pasteboard* pb = platform.pasteboard.get();
    if (!pb) return false;
    auto earlier = RestoreQueue::shared().withdraw(pb);
    platform::PasteboardContents saved = earlier ? *earlier : pb->readAll();
    const quint64 before = pb->changeCount();
    if (!pb->writeText(text)) {
        Log::write(QStringLiteral("Paste: couldn't put the text on the clipboard"));
        // A write that got half way changed the clipboard: put the user's back at once.
        if (pb->changeCount() != before || earlier) {
            pb->clear();
            if (!saved.isEmpty()) pb->writeAll(saved);
        }
        return false;
    }
    const quint64 count = pb->changeCount();
    if (!platform.keys || !platform.keys->sendPaste(terminal)) {
        // Nothing was pasted: leave the text where the user can paste it by hand.
        Log::write(
            QStringLiteral("Paste: couldn't send the paste keys, the text stays on the clipboard"));
        return false;
    }
    if (keep) return true;
    RestoreQueue::shared().schedule(Restore{
        pb, count, std::move(saved), Clock::now() + std::chrono::milliseconds(restoreDelayMs)});
    return true;
}

void finishPendingRestores() {
    RestoreQueue::shared().finishAll();
}

}  // namespace TextInjector

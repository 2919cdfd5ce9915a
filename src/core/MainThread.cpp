#include "core/MainThread.h"

#include <QCoreApplication>
#include <QThread>
#include <deque>
#include <mutex>

#include "core/Log.h"

namespace MainThread {

namespace {

// Work waits here, in posting order; each post queues one event that runs the oldest piece.
// The hand-off goes through this mutex rather than only through Qt's event queue, so that
// what a thread wrote before posting is visibly ordered before the work reads it (for
// ThreadSanitizer too, which cannot see inside Qt's own locks).
struct Queue {
    std::mutex mutex;
    std::deque<std::function<void()>> work;
};

Queue& queue() {
    static Queue* q = new Queue;  // never destroyed: posts may come during exit
    return *q;
}

void runOne() {
    std::function<void()> fn;
    {
        Queue& q = queue();
        std::lock_guard lock(q.mutex);
        if (q.work.empty()) return;
        fn = std::move(q.work.front());
        q.work.pop_front();
    }
    fn();
}

}  // namespace

void post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        Log::write(QStringLiteral("MainThread: no event loop, work dropped"));
        return;
    }
    Queue& q = queue();
    // Queued under the lock, so events and pieces of work keep the same order.
    std::lock_guard lock(q.mutex);
    q.work.push_back(std::move(fn));
    // A lambda without state: the event carries nothing the main thread reads before the lock.
    if (!QMetaObject::invokeMethod(
            app, [] { runOne(); }, Qt::QueuedConnection))
        q.work.pop_back();
}

bool isCurrent() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

}  // namespace MainThread

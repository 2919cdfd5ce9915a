#include "harness/Wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

namespace harness {

namespace {

// Turns the event loop until `done` says so (true) or the deadline passes (false), waking at
// least every few milliseconds so a condition that changes on another thread is seen soon
// without spinning. `done` is asked once per turn and once more at the deadline.
template <class Done>
bool turnUntil(Done done, QDeadlineTimer deadline) {
    QTimer tick;
    tick.start(5);
    for (;;) {
        if (done()) return true;
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

}  // namespace

::testing::AssertionResult waitUntil(const std::function<bool()>& pred, const QString& what,
                                     milliseconds deadline) {
    if (turnUntil(pred, QDeadlineTimer(deadline.count()))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "waited " << deadline.count() << " ms for: " << what.toStdString();
}

void drainEvents() {
    bool reached = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { reached = true; }, Qt::QueuedConnection);
    // Posted events run in order, so the marker comes after everything before it.
    turnUntil([&] { return reached; }, QDeadlineTimer(QDeadlineTimer::Forever));
}

void passTimersDue(milliseconds due) {
    bool fired = false;
    const auto ms = static_cast<int>(due.count() + due.count() / 10 + 5);
    QTimer::singleShot(ms, Qt::PreciseTimer, QCoreApplication::instance(), [&] { fired = true; });
    turnUntil([&] { return fired; }, QDeadlineTimer(QDeadlineTimer::Forever));
}

}  // namespace harness

#include "core/MainThread.h"

#include <QCoreApplication>
#include <QThread>

#include "core/Log.h"

namespace MainThread {
void post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        Log::write(QStringLiteral("MainThread: no event loop, work dropped"));
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}
bool isCurrent() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
}  // namespace MainThread

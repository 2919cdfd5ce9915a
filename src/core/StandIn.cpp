#include "core/StandIn.h"

#include <QSet>
#include <mutex>

#include "core/Log.h"

void StandIn::note(const QString& what) {
    static std::mutex mutex;
    static QSet<QString> seen;
    {
        std::lock_guard lock(mutex);
        if (seen.contains(what)) return;
        seen.insert(what);
    }
    Log::write(what + QStringLiteral(": not part of this build"));
}

#include "core/Paths.h"

#include <QDir>

namespace {
QString xdgDir(const char* var, const char* fallbackUnderHome) {
    const QString value = qEnvironmentVariable(var);
    // The XDG spec says relative values are invalid and must be ignored.
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) return QDir::cleanPath(value);
    return QDir::cleanPath(Paths::home() + QLatin1Char('/') + QLatin1String(fallbackUnderHome));
}
}  // namespace

namespace Paths {
QString home() {
    return QDir::homePath();
}
QString logDir() {
    return xdgDir("XDG_STATE_HOME", ".local/state") + QStringLiteral("/Velmora");
}
QString logFile() {
    return logDir() + QStringLiteral("/Velmora.log");
}
QString appSupportDir() {
    return xdgDir("XDG_DATA_HOME", ".local/share") + QStringLiteral("/Velmora");
}
QString envFile() {
    return home() + QStringLiteral("/.velmora.env");
}
}  // namespace Paths

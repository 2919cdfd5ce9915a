#include "support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testenv {

QString home() {
    return qEnvironmentVariable("HOME");
}

QString sourceDir() {
    return qEnvironmentVariable("VELMORA_SOURCE_DIR");
}

QString binaryDir() {
    return qEnvironmentVariable("VELMORA_BINARY_DIR");
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace testenv

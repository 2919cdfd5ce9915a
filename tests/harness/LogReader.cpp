#include "harness/LogReader.h"

#include <QFile>

#include "core/Log.h"

namespace harness {

LogReader::LogReader() : path_(Log::path()), own_(true) {
    mark();
}

LogReader::LogReader(const QString& path) : path_(path), own_(path == Log::path()) {
    mark();
}

QByteArray LogReader::read() const {
    if (own_) Log::flush();
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    // A log removed and begun again since the mark is read from its start.
    if (f.size() >= from_) f.seek(from_);
    return f.readAll();
}

void LogReader::mark() {
    if (own_) Log::flush();
    QFile f(path_);
    from_ = f.exists() ? f.size() : 0;
}

QString LogReader::text() const {
    return QString::fromUtf8(read());
}

QStringList LogReader::lines() const {
    return text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

::testing::AssertionResult LogReader::waitFor(const QString& needle, int times,
                                              milliseconds deadline) const {
    auto r = waitUntil([&] { return count(needle) >= times; },
                       QStringLiteral("%1× \"%2\" in %3").arg(times).arg(needle, path_), deadline);
    if (!r) r << "\nlog since the mark:\n" << text().right(4000).toStdString();
    return r;
}

}  // namespace harness

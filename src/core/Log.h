#pragma once
#include <QString>

// The application's diagnostic log: one timestamped line per event, appended to
// Paths::logFile() and mirrored to standard error. Callable from any thread;
// never blocks on disk (a single writer thread does the file work, in call order).
namespace Log {
void write(const QString& message);
QString path();
// Blocks until every line submitted so far has been written. Used at exit and by tests.
void flush();
// Mirror to standard error (on by default).
void setMirrorToStderr(bool on);
}  // namespace Log

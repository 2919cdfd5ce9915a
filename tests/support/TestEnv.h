#pragma once
#include <QString>
#include <functional>

namespace testenv {
// The isolated home made for this test process ($HOME, XDG dirs inside it).
QString home();
// Runs the Qt event loop until pred() holds or the time runs out; true when it held.
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000);
// Source and build folders, for test data and built tools.
QString sourceDir();
QString binaryDir();
// Writes a file (creating folders); false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
}  // namespace testenv

#pragma once
#include <QString>

namespace testenv {
// The isolated home made for this test process ($HOME, XDG dirs inside it).
QString home();
// Source and build folders, for test data and built tools.
QString sourceDir();
QString binaryDir();
// Writes a file (creating folders); false on failure.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
}  // namespace testenv

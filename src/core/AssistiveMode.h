#pragma once
#include <QDateTime>
#include <QMap>
#include <QString>
#include <optional>

#include "platform/Workspace.h"

// Makes applications that hide their text fields from the accessibility bus show them: the
// desktop's "an assistive technology runs" announcement (org.a11y.Status) is switched on
// when a dictation targets an application and it is off, and put back at quit. What was
// switched is kept in a file first, so a crash leaves nothing switched on for good: the next
// launch puts it back. Thread: main.
namespace AssistiveMode {

// The announcement's two properties: the one every toolkit reads, and the one some wait for.
inline const QString kEnabled = QStringLiteral("IsEnabled");
inline const QString kScreenReader = QStringLiteral("ScreenReaderEnabled");

// Handles each process once: logs whether it was already on, or switches it on.
void enable(const std::optional<platform::RunningApp>& app);
// When the announcement was switched on for that process; none when it was not.
std::optional<QDateTime> since(qint64 pid);
// Switches back off what enable() switched on, and forgets every process.
void restore();
// At launch: puts back what a run that ended without restore() left switched on.
void recoverAfterCrash();
// Where the switched properties are kept while on.
QString stateFile();

}  // namespace AssistiveMode

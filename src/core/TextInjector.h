#pragma once
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "platform/Workspace.h"

// Puts a dictation's text into the focused field of another application: a
// focus probe, typing by synthesised Unicode key presses, and pasting through
// the clipboard with the user's clipboard put back afterwards.
namespace TextInjector {

// What has keyboard focus in the target.
struct Focus {
    enum class Kind { text, notText, unsure };
    Kind kind = Kind::unsure;
    QString detail;  // notText: the role; unsure: the reason

    static Focus text() { return {Kind::text, {}}; }
    static Focus notText(const QString& role) { return {Kind::notText, role}; }
    static Focus unsure(const QString& reason) { return {Kind::unsure, reason}; }
    bool operator==(const Focus&) const = default;
};

// Roles that take typed text, and roles too vague to tell (accessibility bus names).
const QSet<QString>& textRoles();
const QSet<QString>& vagueRoles();

// The per-call time-out of the probe's accessibility calls.
inline constexpr int kProbeTimeoutMs = 200;
// Units per key event run, and the pause after each run.
inline constexpr int kUnitsPerRun = 20;
inline constexpr int kRunPauseMs = 2;
// How much longer than the restore delay a paste waits for the target to read the text.
inline constexpr int kReadGraceMs = 2000;

Focus focus(const std::optional<platform::RunningApp>& app);

// Cuts text into runs of at most `unitsPerRun` UTF-16 units, never between the two
// halves of a surrogate pair (such a run is one unit shorter).
QStringList splitRuns(const QString& text, int unitsPerRun = kUnitsPerRun);

// Types the text without holding up the main thread: `done` is called on the main thread
// once every key is out (false when some of it could not be sent). Dictations typed one
// after another arrive in order. Called on the main thread.
void typeAsync(const QString& text, std::function<void(bool ok)> done);

// Types the text and returns when it is out; false when some of it could not be sent.
// Blocks the caller: for tools and tests, not for the main thread of the app.
bool type(const QString& text);

// Pastes the text. Unless `keep`, the previous clipboard comes back `restoreDelayMs`
// later on a background thread, once the target has read the text (or a grace time
// has passed), and only if nobody else has put something on the clipboard since.
// `terminal` sends the terminal paste chord. False when the text could not be put
// on the clipboard (the old contents come back at once) or the paste keys could not
// be sent (the text stays on the clipboard).
bool paste(const QString& text, quint32 restoreDelayMs, bool keep, bool terminal = false);

// Runs every pending clipboard restore now. Called at quit, so the user's clipboard
// is not lost with the process that was serving the pasted text.
void finishPendingRestores();

}  // namespace TextInjector

#pragma once
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/Workspace.h"

// Learns the names the user corrects by hand. After a dictation is typed, the field is read
// back over the accessibility bus and the typed passage followed while the user edits it;
// when the user is done (a pause, the caret leaving, another field or application, a time
// limit), the passage as typed and as edited goes to the backend's "learn", and the corrected
// words the user really typed over join the dictionary. One watch at a time.
// Thread: main (every function, every callback).
namespace HotwordLearner {

// Told the words just added to the dictionary; the owner shows the undoable notice.
void setOnLearned(std::function<void(const QStringList& words)> onLearned);

// Starts following `inserted`, just typed into `app`: ends the current watch ("new text"),
// then, when learning is on, tries to find the text in the focused field.
void track(const QString& inserted, const std::optional<platform::RunningApp>& app);
// Ends the current watch and evaluates it; without one, only cancels what is scheduled.
void stop(const QString& reason);
// Learning was switched off: drops the current watch unevaluated.
void turnedOff();

// For tests and benchmarks: every delay multiplied by `scale`, and the clock the time
// limits are measured by (the steady clock when empty).
using Clock = std::chrono::steady_clock;
struct Timings {
    double scale = 1.0;
    std::function<Clock::time_point()> clock;
};
void setTimings(const Timings& timings);
bool watching();
int polls();     // polls run so far
void pollNow();  // one poll, at once

// The edit-script measures behind the decisions, exposed for tests.
// The fraction of `dictated` (in characters, case ignored) that survives in `passage`.
double kept(const QString& dictated, const QString& passage);
// Where in `passage` the dictated text now lies, in UTF-16 units [start, end): text typed in
// place of dictated text at either edge belongs to it, text merely typed beside it does not,
// and a partly edited word is taken whole.
struct Span {
    qsizetype start = 0, end = 0;
    bool operator==(const Span&) const = default;
};
Span dictatedSpan(const QString& dictated, const QString& passage);
// Whether the user typed `word` over dictated text (rather than only adding it) on the way
// from `dictated` to `edited`.
bool typedOver(const QString& word, const QString& dictated, const QString& edited);

}  // namespace HotwordLearner

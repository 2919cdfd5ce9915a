#pragma once
#include <QString>

// Pieces of the app that are not built yet answer with a neutral value and say so
// in the log, once per process, so a run shows what it went without.
namespace StandIn {
// Logs "<what>: not part of this build" the first time `what` is seen.
void note(const QString& what);
}  // namespace StandIn

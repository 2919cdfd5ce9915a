#include "core/HotwordLearner.h"

#include "core/StandIn.h"

void HotwordLearner::stop(const QString&) {}

void HotwordLearner::track(const QString&, const std::optional<platform::RunningApp>&) {
    StandIn::note(QStringLiteral("Hotword learner"));
}

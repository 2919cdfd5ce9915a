#include "core/AssistiveMode.h"

#include "core/StandIn.h"

void AssistiveMode::enable(const std::optional<platform::RunningApp>&) {
    StandIn::note(QStringLiteral("Assistive mode"));
}

void AssistiveMode::restore() {}

#pragma once
#include <optional>

#include "platform/Workspace.h"

// Prepares targets whose text fields only show up to assistive software. Stand-in for now.
namespace AssistiveMode {
void enable(const std::optional<platform::RunningApp>& app);
void restore();
}  // namespace AssistiveMode

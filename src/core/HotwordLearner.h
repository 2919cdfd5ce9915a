#pragma once
#include <QString>
#include <optional>

#include "platform/Workspace.h"

// Watches text the app typed for the user's corrections of names. Stand-in for now.
namespace HotwordLearner {
void stop(const QString& reason);
void track(const QString& inserted, const std::optional<platform::RunningApp>& app);
}  // namespace HotwordLearner

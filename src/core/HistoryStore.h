#pragma once
#include <QString>
#include <optional>

// The dictation history with its totals. Stand-in for now.
namespace HistoryStore {
void add(const QString& text, const std::optional<QString>& app,
         const std::optional<QString>& bundleID, const std::optional<QString>& site,
         double seconds);
}  // namespace HistoryStore

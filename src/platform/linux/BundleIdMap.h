#pragma once
#include <QString>
#include <QStringList>
#include <optional>

namespace platform::x11 {

// Linux applications name themselves by desktop-file id, Flatpak id or WM_CLASS;
// the style rules know applications by bundle-like identifiers. This maps the
// common ones across.
namespace BundleIdMap {

// The identifier for one Linux name (case-insensitive), if it is a known one.
std::optional<QString> lookup(const QString& linuxName);
// The first known name among the candidates, most specific first (desktop or
// Flatpak id, then WM_CLASS class, then WM_CLASS instance).
std::optional<QString> lookupFirst(const QStringList& candidates);

}  // namespace BundleIdMap
}  // namespace platform::x11

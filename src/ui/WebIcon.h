#pragma once
#include <QImage>
#include <QString>

#include "core/WebContext.h"

// The website icons shown in the pill and the history.
namespace WebIcon {
// The icon resource `name` drawn into a 64 x 64 image clipped to a rounded
// square (corner radius 0.22 of the width); a null image when there is none.
QImage named(const QString& name);
inline QImage forMatch(const WebContext::Match& match) {
    return named(match.site.icon);
}
}  // namespace WebIcon

#include "ui/WebIcon.h"

#include <QPainter>
#include <QPainterPath>

// Resources in a static library must be pulled in by name.
static void initWebIcons() {
    Q_INIT_RESOURCE(WebIcons);
}

namespace WebIcon {

QImage named(const QString& name) {
    static const bool loaded = (initWebIcons(), true);
    (void)loaded;
    if (name.isEmpty() || name.contains(QLatin1Char('/'))) return {};
    const QImage source(QStringLiteral(":/WebIcons/") + name + QStringLiteral(".png"));
    if (source.isNull()) return {};
    constexpr int side = 64;
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, side, side), 0.22 * side, 0.22 * side);
    p.setClipPath(clip);
    p.drawImage(QRectF(0, 0, side, side), source);
    return out;
}

}  // namespace WebIcon

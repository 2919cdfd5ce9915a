#include "ui/HUDLayout.h"

#include <algorithm>
#include <cmath>

#include "ui/HUDTuning.h"

namespace HUDLayout {

QRectF iconRect(double pillHeight, double iconSize) {
    const double inset = std::max(0.0, (pillHeight - iconSize) / 2);
    return {inset, inset, iconSize, iconSize};
}

double iconRight(double pillHeight, double iconSize) {
    return iconRect(pillHeight, iconSize).right();
}

double fittedWidth(double fitting, double iconRightEdge, double pillWidth) {
    if (!(fitting > 0)) return pillWidth;
    const double cap = std::max(kMaxWidth, pillWidth);
    const double wanted =
        std::min(std::ceil(fitting + (iconRightEdge + kIconGap) + kTextTrailing), cap);
    return std::max(wanted, pillWidth);
}

double textFitting(double textWidth) {
    return std::ceil(textWidth) + 4;
}

double learnedTail(double height, bool undoPossible, double padX) {
    if (!undoPossible) return padX;
    return std::max((height - 24) / 2, 6.0) + 34;
}

double learnedNoticeMaxWidth(double tail, double padX) {
    return std::max(0.0, kMaxWidth - padX - tail);
}

QSizeF learnedSize(QSizeF notice, double tail, const HUDTuning& t) {
    const double w =
        std::max(t.pillWidth(), std::min(tail + t.learnedPadX + notice.width(), kMaxWidth));
    const double h =
        std::min(std::max(t.height, 2 * t.learnedPadY + notice.height()), kMaxLearnedHeight);
    return {w, h};
}

QRectF undoButtonRect(QSizeF pill, double tuningHeight) {
    // 24 across, as far from the right end as it is from the top of a resting pill.
    const double inset = std::max((tuningHeight - 24) / 2, 6.0);
    return {pill.width() - inset - 24, (pill.height() - 24) / 2, 24, 24};
}

bool resizeIgnored(QSizeF target, QSizeF wanted) {
    return std::abs(target.width() - wanted.width()) <= 0.5 &&
           std::abs(target.height() - wanted.height()) <= 0.5;
}

double easeOutCubic(double t) {
    t = std::clamp(t, 0.0, 1.0);
    const double u = 1 - t;
    return 1 - u * u * u;
}

double cornerRadius(QSizeF pill, const HUDTuning& t, bool learned) {
    const double half = pill.height() / 2;
    double r = t.capsule ? t.height / 2 : t.cornerRadius;
    if (learned && t.learnedRadius >= 0) r = t.learnedRadius;
    if (!learned && t.capsule) r = half;
    return std::clamp(r, 0.0, half);
}

double shadowMargin(const HUDTuning& t) {
    const double pill = 2 * t.shadowRadius + std::abs(t.shadowOffsetY);
    const double learned = 2 * t.learnedShadowRadius + std::abs(t.learnedShadowOffsetY);
    return std::clamp(std::ceil(std::max(pill, learned)) + 2, 4.0, 60.0);
}

QSizeF panelSize(const HUDTuning& t) {
    const double m = shadowMargin(t);
    const double w = std::max(kMaxWidth, t.pillWidth());
    const double h = std::max(t.height, kMaxLearnedHeight);
    return {std::ceil(w + 2 * m), std::ceil(h + 2 * m)};
}

QRectF pillRectInPanel(QSizeF panel, QSizeF pill, double margin) {
    return {std::round((panel.width() - pill.width()) / 2), panel.height() - margin - pill.height(),
            pill.width(), pill.height()};
}

QPoint panelOrigin(const QRect& visibleArea, QSizeF panel, double bottomOffset, double margin) {
    const double centreX = visibleArea.x() + visibleArea.width() / 2.0;
    const double bottom = visibleArea.y() + visibleArea.height();
    const int x = static_cast<int>(std::lround(centreX - panel.width() / 2));
    const int y = static_cast<int>(std::lround(bottom - bottomOffset + margin - panel.height()));
    return {x, y};
}

int pickScreen(const QList<QRect>& screens, std::optional<QPoint> pointer) {
    if (screens.isEmpty()) return -1;
    if (pointer)
        for (int i = 0; i < screens.size(); ++i)
            if (screens[i].contains(*pointer)) return i;
    return 0;
}

}  // namespace HUDLayout

#include "ui/GlassPillView.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>
#include <algorithm>
#include <array>
#include <cmath>

#include "ui/HUDLayout.h"

namespace {

// Reports the pointer entering and leaving the pill.
class HoverWatcher : public QWidget {
  public:
    explicit HoverWatcher(GlassPillView* owner) : QWidget(owner), owner_(owner) {
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_Hover);
    }

  protected:
    void enterEvent(QEnterEvent*) override {
        if (owner_->onHover) owner_->onHover(true);
    }
    void leaveEvent(QEvent*) override {
        if (owner_->onHover) owner_->onHover(false);
    }

  private:
    GlassPillView* owner_;
};

// Three box blurs in a row come close to a Gaussian; only the alpha channel matters.
void blurAlpha(QImage& img, int radius) {
    if (radius < 1) return;
    const int w = img.width(), h = img.height();
    std::vector<int> line(static_cast<size_t>(std::max(w, h)));
    auto pass = [&](bool horizontal) {
        const int outer = horizontal ? h : w, inner = horizontal ? w : h;
        for (int o = 0; o < outer; ++o) {
            auto px = [&](int i) -> uchar& {
                uchar* row = img.scanLine(horizontal ? o : i);
                return row[(horizontal ? i : o) * 4 + 3];
            };
            for (int i = 0; i < inner; ++i) line[static_cast<size_t>(i)] = px(i);
            int sum = 0;
            for (int i = -radius; i <= radius; ++i)
                sum += line[static_cast<size_t>(std::clamp(i, 0, inner - 1))];
            const int span = 2 * radius + 1;
            for (int i = 0; i < inner; ++i) {
                px(i) = static_cast<uchar>(sum / span);
                sum += line[static_cast<size_t>(std::min(i + radius + 1, inner - 1))] -
                       line[static_cast<size_t>(std::max(i - radius, 0))];
            }
        }
    };
    for (int k = 0; k < 3; ++k) {
        pass(true);
        pass(false);
    }
}

}  // namespace

GlassPillView::GlassPillView()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint |
                           Qt::WindowTransparentForInput) {
    setObjectName(QStringLiteral("VelmoraHUD"));
    setWindowTitle(QStringLiteral("Velmora HUD"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11NetWmWindowTypeNotification);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_AlwaysStackOnTop);
    setFocusPolicy(Qt::NoFocus);
    content_ = new HoverWatcher(this);
}

GlassPillView::~GlassPillView() = default;

void GlassPillView::setPanel(QSize size, double margin) {
    margin_ = margin;
    if (this->size() != size) resize(size);
    setPill(pill_.size(), radius_);
}

void GlassPillView::setPill(QSizeF size, double radius) {
    const QRectF next = HUDLayout::pillRectInPanel(QSizeF(this->size()), size, margin_);
    if (next == pill_ && radius == radius_) return;
    // Repaint what the old and the new pill (with their shadows) cover.
    const double reach = margin_;
    QRectF dirty = pill_.united(next).adjusted(-reach, -reach, reach, reach);
    pill_ = next;
    radius_ = radius;
    content_->setGeometry(pill_.toAlignedRect());
    updateMask();
    update(dirty.toAlignedRect());
}

void GlassPillView::setGlass(const Glass& glass) {
    if (glass == glass_) return;
    glass_ = glass;
    update();
}

void GlassPillView::setShaped(bool shaped) {
    if (shaped == shaped_) return;
    shaped_ = shaped;
    updateMask();
    update();
}

void GlassPillView::setAcceptsMouse(bool accepts) {
    if (accepts == acceptsMouse_) return;
    acceptsMouse_ = accepts;
    // Toggled on the live window: re-creating it would unmap it and lose its place.
    Qt::WindowFlags f = windowFlags();
    f.setFlag(Qt::WindowTransparentForInput, !accepts);
    overrideWindowFlags(f);
    if (QWindow* w = windowHandle()) w->setFlag(Qt::WindowTransparentForInput, !accepts);
    updateMask();
}

void GlassPillView::updateMask() {
    if (shaped_) {
        QPainterPath path;
        path.addRoundedRect(pill_, radius_, radius_);
        setMask(QRegion(path.toFillPolygon().toPolygon()));
    } else if (acceptsMouse_) {
        // The whole window would otherwise catch clicks meant for what lies under it.
        const double reach = margin_;
        setMask(QRegion(pill_.adjusted(-reach, -reach, reach, reach).toAlignedRect()));
    } else {
        clearMask();
    }
}

double GlassPillView::backgroundPad() const {
    return shaped_ ? 1 : 2 * glass_.shadowRadius + 2 + std::abs(glass_.shadowOffsetY);
}

const QImage& GlassPillView::background() {
    const double dpr = devicePixelRatioF();
    // Compared as numbers: this runs for every frame of the bars.
    const std::array<double, 11> key = {pill_.width(),
                                        pill_.height(),
                                        radius_,
                                        double(shaped_),
                                        double(glass_.light),
                                        glass_.tintOpacity,
                                        glass_.shadowOpacity,
                                        glass_.shadowRadius,
                                        glass_.shadowOffsetY,
                                        glass_.edgeHighlight,
                                        dpr};
    if (key == backgroundKey_) return background_;
    backgroundKey_ = key;
    const double pad = backgroundPad();
    const QRectF pill(QPointF(pad, pad), pill_.size());
    background_ = QImage((QSizeF(pill_.width() + 2 * pad, pill_.height() + 2 * pad) * dpr).toSize(),
                         QImage::Format_ARGB32_Premultiplied);
    background_.fill(Qt::transparent);
    if (!shaped_ && glass_.shadowOpacity > 0) {
        // The shadow: the pill's shape in black, blurred, a little lower.
        QPainter p(&background_);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(dpr, dpr);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(
            0, 0, 0,
            static_cast<int>(std::lround(255 * std::clamp(glass_.shadowOpacity, 0.0, 1.0)))));
        p.drawRoundedRect(pill.translated(0, glass_.shadowOffsetY), radius_, radius_);
        p.end();
        blurAlpha(background_, static_cast<int>(std::lround(glass_.shadowRadius * dpr / 2)));
    }
    QPainter p(&background_);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(dpr, dpr);
    QPainterPath path;
    path.addRoundedRect(pill, radius_, radius_);
    // The glass covers the shadow under it.
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillPath(path, Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // The material: a smoked glass, lighter for dark text; the tint deepens it.
    const double a = std::clamp(0.80 + 0.18 * glass_.tintOpacity, 0.0, 1.0);
    QColor base = glass_.light ? QColor(246, 246, 248) : QColor(24, 24, 28);
    base.setAlphaF(static_cast<float>(a));
    QLinearGradient sheen(pill.topLeft(), pill.bottomLeft());
    sheen.setColorAt(0, glass_.light ? base : base.lighter(135));
    sheen.setColorAt(1, base);
    p.fillPath(path, sheen);
    if (glass_.edgeHighlight > 0) {
        QColor edge = glass_.light ? QColor(0, 0, 0) : QColor(255, 255, 255);
        edge.setAlphaF(static_cast<float>(std::clamp(glass_.edgeHighlight, 0.0, 1.0)));
        p.setPen(QPen(edge, 1));
        p.setBrush(Qt::NoBrush);
        const QRectF inner = pill.adjusted(0.5, 0.5, -0.5, -0.5);
        p.drawRoundedRect(inner, std::max(0.0, radius_ - 0.5), std::max(0.0, radius_ - 0.5));
    }
    p.end();
    background_.setDevicePixelRatio(dpr);
    return background_;
}

void GlassPillView::paintEvent(QPaintEvent*) {
    if (pill_.isEmpty()) return;
    // Drawn once per size and look; a frame of the bars only copies its corner of it.
    QPainter p(this);
    const double pad = backgroundPad();
    p.drawImage(pill_.topLeft() - QPointF(pad, pad), background());
}

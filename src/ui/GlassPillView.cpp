#include "ui/GlassPillView.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>
#include <algorithm>
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

const QImage& GlassPillView::shadow() {
    const double dpr = devicePixelRatioF();
    const double blur = glass_.shadowRadius;
    const QString key = QStringLiteral("%1x%2 r%3 b%4 a%5 d%6")
                            .arg(pill_.width())
                            .arg(pill_.height())
                            .arg(radius_)
                            .arg(blur)
                            .arg(glass_.shadowOpacity)
                            .arg(dpr);
    if (key == shadowKey_) return shadow_;
    shadowKey_ = key;
    const double pad = 2 * blur + 2;
    const QSizeF logical = pill_.size() + QSizeF(2 * pad, 2 * pad);
    shadow_ = QImage((logical * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    shadow_.fill(Qt::transparent);
    {
        QPainter p(&shadow_);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(dpr, dpr);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(
            0, 0, 0,
            static_cast<int>(std::lround(255 * std::clamp(glass_.shadowOpacity, 0.0, 1.0)))));
        p.drawRoundedRect(QRectF(QPointF(pad, pad), pill_.size()), radius_, radius_);
    }
    blurAlpha(shadow_, static_cast<int>(std::lround(blur * dpr / 2)));
    // Black shadow: the colour channels stay 0, premultiplied alpha carries it all.
    shadow_.setDevicePixelRatio(dpr);
    return shadow_;
}

void GlassPillView::paintEvent(QPaintEvent*) {
    if (pill_.isEmpty()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!shaped_ && glass_.shadowOpacity > 0) {
        const double pad = 2 * glass_.shadowRadius + 2;
        p.drawImage(pill_.topLeft() + QPointF(-pad, -pad + glass_.shadowOffsetY), shadow());
    }
    QPainterPath path;
    path.addRoundedRect(pill_, radius_, radius_);
    // The material: a smoked glass, lighter for dark text; the tint deepens it.
    const double a = std::clamp(0.80 + 0.18 * glass_.tintOpacity, 0.0, 1.0);
    QColor base = glass_.light ? QColor(246, 246, 248) : QColor(24, 24, 28);
    base.setAlphaF(static_cast<float>(a));
    QLinearGradient sheen(pill_.topLeft(), pill_.bottomLeft());
    sheen.setColorAt(0, glass_.light ? base : base.lighter(135));
    sheen.setColorAt(1, base);
    p.fillPath(path, sheen);
    if (glass_.edgeHighlight > 0) {
        QColor edge = glass_.light ? QColor(0, 0, 0) : QColor(255, 255, 255);
        edge.setAlphaF(static_cast<float>(std::clamp(glass_.edgeHighlight, 0.0, 1.0)));
        p.setPen(QPen(edge, 1));
        p.setBrush(Qt::NoBrush);
        const QRectF inner = pill_.adjusted(0.5, 0.5, -0.5, -0.5);
        p.drawRoundedRect(inner, std::max(0.0, radius_ - 0.5), std::max(0.0, radius_ - 0.5));
    }
}

#include "ui/PillContentView.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "ui/HUDText.h"

PillContentView::PillContentView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void PillContentView::setContentOpacity(double opacity) {
    if (opacity == opacity_) return;
    opacity_ = opacity;
    update();
}

QFont::Weight weightForStep(double step) {
    static const QFont::Weight steps[] = {QFont::Normal, QFont::Medium,    QFont::DemiBold,
                                          QFont::Bold,   QFont::ExtraBold, QFont::Black};
    const long i = std::clamp(std::lround(step), 0L, 5L);
    return steps[i];
}

QFont pillFont(double pixelSize, double weightStep) {
    QFont f = QApplication::font();
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(pixelSize))));
    f.setWeight(weightForStep(weightStep));
    f.setHintingPreference(QFont::PreferNoHinting);  // the same shapes at every scale
    return f;
}

void drawPillText(QPainter& p, const QPointF& baseline, const QString& text, const QColor& colour,
                  double shadowAlpha) {
    if (shadowAlpha > 0) {
        // A soft shadow one pixel down: a few faint copies stand in for the blur.
        QColor shadow = colour.lightness() > 127 ? QColor(Qt::black) : QColor(Qt::white);
        shadow.setAlphaF(static_cast<float>(std::clamp(shadowAlpha, 0.0, 1.0) / 3));
        p.setPen(shadow);
        for (const QPointF d : {QPointF(0, 1), QPointF(-0.6, 1.4), QPointF(0.6, 1.4)})
            p.drawText(baseline + d, text);
    }
    p.setPen(colour);
    p.drawText(baseline, text);
}

// ---- TextLineView

TextLineView::TextLineView(QWidget* parent) : PillContentView(parent) {}

void TextLineView::setParts(const QStringList& parts, const QList<double>& alphas) {
    if (parts == parts_ && alphas == alphas_) return;
    parts_ = parts;
    alphas_ = alphas;
    update();
}

void TextLineView::setStyle(const QFont& font, const QColor& colour, double shadowAlpha) {
    font_ = font;
    colour_ = colour;
    shadowAlpha_ = shadowAlpha;
    update();
}

double TextLineView::naturalWidth() const {
    return QFontMetricsF(font_).horizontalAdvance(fullText());
}

QString TextLineView::visibleText() const {
    const QFontMetricsF fm(font_);
    const QString full = fullText();
    const qsizetype start = HUDText::tailStart(
        full, width(), [&](const QString& s) { return fm.horizontalAdvance(s); });
    return start == 0 ? full : HUDText::ellipsis() + full.mid(start);
}

void TextLineView::paintEvent(QPaintEvent*) {
    if (parts_.isEmpty() || opacity_ <= 0) return;
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.setFont(font_);
    const QFontMetricsF fm(font_);
    const QString full = fullText();
    const qsizetype start = HUDText::tailStart(
        full, width(), [&](const QString& s) { return fm.horizontalAdvance(s); });
    const double baseline = (height() + fm.ascent() - fm.descent()) / 2;
    double x = 0;
    auto alphaOf = [&](qsizetype i) { return i < alphas_.size() ? alphas_[i] : 1.0; };
    auto drawRun = [&](const QString& run, double alpha) {
        if (run.isEmpty()) return;
        p.setOpacity(opacity_ * std::clamp(alpha, 0.0, 1.0));
        drawPillText(p, QPointF(x, baseline), run, colour_, shadowAlpha_);
        x += fm.horizontalAdvance(run);
    };
    qsizetype offset = 0;
    bool ellipsisDrawn = start == 0;
    for (qsizetype i = 0; i < parts_.size(); ++i) {
        const QString& part = parts_[i];
        const qsizetype from = std::max(start - offset, qsizetype(0));
        offset += part.size();
        if (from >= part.size()) continue;
        if (!ellipsisDrawn) {
            drawRun(HUDText::ellipsis(), alphaOf(i));
            ellipsisDrawn = true;
        }
        drawRun(part.mid(from), alphaOf(i));
    }
}

// ---- AppIconView

AppIconView::AppIconView(QWidget* parent) : PillContentView(parent) {}

void AppIconView::setIcon(const QIcon& icon) {
    icon_ = icon;
    update();
}

void AppIconView::setColour(const QColor& colour) {
    colour_ = colour;
    update();
}

void AppIconView::paintEvent(QPaintEvent*) {
    if (opacity_ <= 0) return;
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    p.setOpacity(opacity_);
    const QRectF box = rect();
    if (!icon_.isNull()) {
        // Drawn from a pixmap made for this screen's pixel ratio, so it stays sharp.
        const QPixmap pm = icon_.pixmap(box.size().toSize(), devicePixelRatioF());
        p.drawPixmap(box.toRect(), pm);
        return;
    }
    // The text-cursor symbol: an I-beam with serifs.
    const double s = std::min(box.width(), box.height());
    const QPointF c = box.center();
    QPen pen(colour_, std::max(1.2, s * 0.07), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setOpacity(opacity_ * 0.9);
    const double half = s * 0.3, serif = s * 0.12;
    QPainterPath beam;
    beam.moveTo(c.x(), c.y() - half);
    beam.lineTo(c.x(), c.y() + half);
    beam.moveTo(c.x() - serif, c.y() - half - serif * 0.6);
    beam.quadTo(c.x(), c.y() - half, c.x() + serif, c.y() - half - serif * 0.6);
    beam.moveTo(c.x() - serif, c.y() + half + serif * 0.6);
    beam.quadTo(c.x(), c.y() + half, c.x() + serif, c.y() + half + serif * 0.6);
    beam.moveTo(c.x() - serif * 0.7, c.y());
    beam.lineTo(c.x() + serif * 0.7, c.y());
    p.drawPath(beam);
}

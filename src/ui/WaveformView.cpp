#include "ui/WaveformView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QScreen>
#include <algorithm>
#include <array>
#include <cmath>

#include "ui/HUDTuning.h"

int frameIntervalMs(const QWidget* w) {
    const QScreen* s = w ? w->screen() : nullptr;
    const double hz = s && s->refreshRate() > 1 ? s->refreshRate() : 60.0;
    return std::max(4, static_cast<int>(std::lround(1000.0 / hz)));
}

// ---- WaveformView

WaveformView::WaveformView(QWidget* parent) : PillContentView(parent) {
    refresh_.setParent(this);  // found with the view's other timers
    refresh_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&refresh_, &QTimer::timeout, this, [this] { frame(); });
}

void WaveformView::applyTuning(const HUDTuning& t) {
    model.count = t.bars();
    model.barWidth = t.barWidth;
    model.barGap = t.barGap;
    model.speed = t.barSpeed;
    setDark(t.textDark);
}

void WaveformView::setDark(bool dark) {
    dark_ = dark;
    update();
}

void WaveformView::feed(double level, double now) {
    model.feed(level, now);
}

void WaveformView::setLevelSource(std::function<double(double)> source) {
    model.levelSource = std::move(source);
}

void WaveformView::showEvent(QShowEvent*) {
    model.lastTick = monotonicSeconds();
    flat_ = false;
    refresh_.start(frameIntervalMs(this));
}

void WaveformView::hideEvent(QHideEvent*) {
    refresh_.stop();
}

void WaveformView::frame() {
    if (!isVisible()) {
        refresh_.stop();
        return;
    }
    model.tick(monotonicSeconds());
    // Resting bars look the same frame after frame: skip the repaint, keep the clock.
    const bool flat =
        std::all_of(model.heights.begin(), model.heights.end(), [](double h) { return h < 1e-4; });
    if (flat && flat_) return;
    flat_ = flat;
    update();
}

// One round end of a bar, drawn once per width, colour and pixel ratio; a frame
// then only copies ends and fills straight middles, which stays cheap at 60 Hz.
const QImage& WaveformView::capSprite(double width, const QColor& colour) {
    const double dpr = devicePixelRatioF();
    const std::array<double, 4> key = {width, dpr, double(colour.rgba()), 1};
    if (key == capKey_) return cap_;
    capKey_ = key;
    const int px = std::max(1, static_cast<int>(std::ceil(width * dpr)));
    cap_ = QImage(px, px, QImage::Format_ARGB32_Premultiplied);
    cap_.fill(Qt::transparent);
    QPainter p(&cap_);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0, 0, width * dpr, width * dpr));
    p.end();
    return cap_;
}

void WaveformView::paintEvent(QPaintEvent*) {
    if (opacity_ <= 0) return;
    ++frames_;
    if (model.heights.size() != static_cast<size_t>(std::max(model.count, 0)))
        model.heights.assign(static_cast<size_t>(std::max(model.count, 0)), 0.0);
    const std::vector<QRectF> bars = model.bars(size());
    if (bars.empty()) return;
    const QColor colour = dark_ ? QColor(Qt::black) : QColor(Qt::white);
    const double dpr = devicePixelRatioF();
    const double w = bars.front().width();
    const QImage& cap = capSprite(w, colour);
    const double capPx = cap.width();
    const double half = capPx / dpr / 2;  // a cap's height in logical pixels
    QPainter p(this);
    p.setOpacity(opacity_ * 0.92);
    auto snap = [&](double v) { return std::round(v * dpr) / dpr; };
    for (const QRectF& bar : bars) {
        const double x = snap(bar.left());
        const double top = snap(bar.top());
        const double bottom = std::max(top + 2 * half, snap(bar.bottom()));
        // Top half of the round end, the straight middle, the bottom half.
        p.drawImage(QRectF(x, top, capPx / dpr, half), cap, QRectF(0, 0, capPx, capPx / 2));
        if (bottom - top > 2 * half)
            p.fillRect(QRectF(x, top + half, capPx / dpr, bottom - top - 2 * half), colour);
        p.drawImage(QRectF(x, bottom - half, capPx / dpr, half), cap,
                    QRectF(0, capPx / 2, capPx, capPx / 2));
    }
}

// ---- ThinkingView

ThinkingView::ThinkingView(QWidget* parent) : PillContentView(parent) {
    timer_.setParent(this);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        if (!isVisible()) {
            timer_.stop();
            return;
        }
        update();
    });
}

void ThinkingView::setWord(const QString& word, bool animates) {
    word_ = word;
    animates_ = animates;
    updateTimer();
    update();
}

void ThinkingView::setStyle(const QFont& font, const QColor& colour, double shadowAlpha) {
    font_ = font;
    colour_ = colour;
    shadowAlpha_ = shadowAlpha;
    update();
}

double ThinkingView::naturalWidth() const {
    const QFontMetricsF fm(font_);
    const double dots = animates_ ? fm.height() * 0.9 : 0;
    return fm.horizontalAdvance(word_) + dots;
}

void ThinkingView::stopAnimation() {
    animates_ = false;
    timer_.stop();
}

void ThinkingView::showEvent(QShowEvent*) {
    updateTimer();
}

void ThinkingView::hideEvent(QHideEvent*) {
    timer_.stop();
}

void ThinkingView::updateTimer() {
    if (animates_ && isVisible()) {
        if (!timer_.isActive()) timer_.start(frameIntervalMs(this));
    } else {
        timer_.stop();
    }
}

void ThinkingView::paintEvent(QPaintEvent*) {
    if (word_.isEmpty() || opacity_ <= 0) return;
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.setFont(font_);
    p.setOpacity(opacity_ * 0.9);
    const QFontMetricsF fm(font_);
    const double baseline = (height() + fm.ascent() - fm.descent()) / 2;
    drawPillText(p, QPointF(0, baseline), word_, colour_, shadowAlpha_);
    if (!animates_) return;
    // Three dots hop one after another.
    const double t = monotonicSeconds();
    const double r = std::max(1.2, fm.height() * 0.07);
    const double step = fm.height() * 0.3;
    double x = fm.horizontalAdvance(word_) + step * 0.6;
    p.setPen(Qt::NoPen);
    p.setBrush(colour_);
    for (int i = 0; i < 3; ++i) {
        const double hop = std::max(0.0, std::sin(2 * M_PI * (t * 1.3) - i * 0.8));
        const double y = baseline - r - hop * fm.height() * 0.22;
        p.drawEllipse(QPointF(x + r, y), r, r);
        x += step;
    }
}

#include "ui/WaveformView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QScreen>
#include <algorithm>
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

void WaveformView::paintEvent(QPaintEvent*) {
    if (opacity_ <= 0) return;
    ++frames_;
    if (model.heights.size() != static_cast<size_t>(std::max(model.count, 0)))
        model.heights.assign(static_cast<size_t>(std::max(model.count, 0)), 0.0);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    QColor c = dark_ ? QColor(Qt::black) : QColor(Qt::white);
    p.setOpacity(opacity_ * 0.92);
    p.setBrush(c);
    for (const QRectF& bar : model.bars(size()))
        p.drawRoundedRect(bar, bar.width() / 2, bar.width() / 2);
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

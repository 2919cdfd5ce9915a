#include "ui/LearnedNoticeView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "ui/HUDCopy.h"
#include "ui/HUDLayout.h"
#include "ui/HUDText.h"
#include "ui/HUDTuning.h"
#include "ui/WaveformModel.h"
#include "ui/WaveformView.h"

// ---- UndoRingButton

UndoRingButton::UndoRingButton(QWidget* parent) : QAbstractButton(parent) {
    timer_.setParent(this);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(HUDCopy::undo());
    setToolTip(HUDCopy::undo());
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        if (!isVisible() || remaining() <= 0) updateTimer();
        update();
    });
}

void UndoRingButton::reset(const QColor& colour) {
    colour_ = colour;
    running_ = false;
    frozenAt_ = 1;
    updateTimer();
    update();
}

void UndoRingButton::start(double seconds) {
    running_ = true;
    startedAt_ = monotonicSeconds();
    duration_ = std::max(seconds, 0.01);
    updateTimer();
    update();
}

void UndoRingButton::freeze() {
    frozenAt_ = remaining();
    running_ = false;
    updateTimer();
    update();
}

double UndoRingButton::remaining() const {
    if (!running_) return frozenAt_;
    return std::clamp(1 - (monotonicSeconds() - startedAt_) / duration_, 0.0, 1.0);
}

void UndoRingButton::showEvent(QShowEvent*) {
    updateTimer();
}

void UndoRingButton::hideEvent(QHideEvent*) {
    timer_.stop();
}

void UndoRingButton::updateTimer() {
    if (running_ && isVisible() && remaining() > 0) {
        if (!timer_.isActive()) timer_.start(frameIntervalMs(this));
    } else {
        timer_.stop();
    }
}

void UndoRingButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    QColor fill = colour_;
    fill.setAlphaF(isDown() ? 0.28f : (underMouse() ? 0.22f : 0.14f));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawEllipse(box);
    // The countdown: a ring that empties clockwise from the top.
    QColor track = colour_;
    track.setAlphaF(0.22f);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(track, 1.6));
    p.drawEllipse(box);
    const double left = remaining();
    if (left > 0) {
        QColor ring = colour_;
        ring.setAlphaF(0.9f);
        p.setPen(QPen(ring, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(box, 90 * 16, static_cast<int>(std::lround(left * 360 * 16)));
    }
    // The u-turn arrow, 9.5 px, bold.
    const QPointF c = QRectF(rect()).center();
    const double s = 9.5 / 10.0;
    QPainterPath arrow;
    arrow.moveTo(c + QPointF(3.8, 4.2) * s);
    arrow.lineTo(c + QPointF(3.8, 0.2) * s);
    arrow.cubicTo(c + QPointF(3.8, -2.6) * s, c + QPointF(2.2, -3.4) * s,
                  c + QPointF(0.0, -3.4) * s);
    arrow.lineTo(c + QPointF(-4.2, -3.4) * s);
    arrow.moveTo(c + QPointF(-1.6, -6.0) * s);
    arrow.lineTo(c + QPointF(-4.2, -3.4) * s);
    arrow.lineTo(c + QPointF(-1.6, -0.8) * s);
    p.setPen(QPen(colour_, 1.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(arrow.translated(0, 1));
}

// ---- LearnedNoticeView

LearnedNoticeView::LearnedNoticeView(QWidget* parent)
    : PillContentView(parent), undo_(new UndoRingButton(this)) {
    // Mouse events must reach the undo button inside.
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    undo_->hide();
    undo_->resize(24, 24);
    QObject::connect(undo_, &QAbstractButton::clicked, this, [this] {
        if (onUndo) onUndo();
    });
}

void LearnedNoticeView::setContent(const QStringList& words, bool undone) {
    words_ = words;
    undone_ = undone;
    update();
}

void LearnedNoticeView::applyTuning(const HUDTuning& t, bool dark, double textShadow) {
    wordFont_ = pillFont(t.learnedWordSize, t.learnedWordWeight);
    captionFont_ = pillFont(t.learnedCaptionSize, t.learnedTextWeight);
    colour_ = dark ? QColor(Qt::black) : QColor(Qt::white);
    textShadow_ = textShadow;
    textAlpha_ = t.learnedTextAlpha;
    captionAlpha_ = t.learnedCaptionAlpha;
    sepAlpha_ = t.learnedSepAlpha;
    lineGap_ = t.learnedLineGap;
    captionGap_ = t.learnedCaptionGap;
    padX_ = t.learnedPadX;
    padY_ = t.learnedPadY;
    tuningHeight_ = t.height;
    update();
}

QString LearnedNoticeView::separator() const {
    return QStringLiteral("  ·  ");
}

QString LearnedNoticeView::captionText() const {
    return undone_ ? HUDCopy::undoneText(words_) : HUDCopy::learnedCaption();
}

LearnedNoticeView::Layout LearnedNoticeView::layout(double maxWidth) const {
    const QFontMetricsF wfm(wordFont_), cfm(captionFont_);
    Layout l;
    l.lines = HUDText::wrapWords(words_, separator(), maxWidth,
                                 [&](const QString& s) { return wfm.horizontalAdvance(s); });
    // The notice never grows past the tallest pill: lines that do not fit are folded
    // into an ellipsis on the last one shown.
    const double roomy = HUDLayout::kMaxLearnedHeight - 2 * padY_ - captionGap_ - cfm.height();
    const int fit =
        std::max(1, static_cast<int>(std::floor((roomy + lineGap_) / (wfm.height() + lineGap_))));
    if (l.lines.size() > fit) {
        l.lines.resize(fit);
        l.lines.last().append(HUDText::ellipsis());
    }
    double w = std::min(cfm.horizontalAdvance(captionText()), maxWidth);
    for (const QStringList& line : l.lines)
        w = std::max(w, std::min(wfm.horizontalAdvance(line.join(separator())), maxWidth));
    const double h = l.lines.size() * wfm.height() + (l.lines.size() - 1) * lineGap_ + captionGap_ +
                     cfm.height();
    l.size = QSizeF(std::ceil(w), std::ceil(h));
    return l;
}

QSizeF LearnedNoticeView::noticeSize(double maxWidth) const {
    return layout(maxWidth).size;
}

void LearnedNoticeView::setUndoVisible(bool visible, double tuningHeight) {
    undoVisible_ = visible;
    tuningHeight_ = tuningHeight;
    undo_->setGeometry(HUDLayout::undoButtonRect(size(), tuningHeight_).toAlignedRect());
    undo_->setVisible(visible);
}

void LearnedNoticeView::resizeEvent(QResizeEvent*) {
    undo_->setGeometry(HUDLayout::undoButtonRect(size(), tuningHeight_).toAlignedRect());
}

void LearnedNoticeView::paintEvent(QPaintEvent*) {
    if (words_.isEmpty() || opacity_ <= 0) return;
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const double tail = HUDLayout::learnedTail(tuningHeight_, undoVisible_, padX_);
    const double maxWidth = std::max(10.0, width() - padX_ - tail);
    const Layout l = layout(maxWidth);
    const QFontMetricsF wfm(wordFont_), cfm(captionFont_);
    // The block is centred vertically in whatever height the pill has now.
    double y = (height() - l.size.height()) / 2;
    const double x0 = padX_;
    p.setFont(wordFont_);
    for (const QStringList& line : l.lines) {
        double x = x0;
        const double baseline = y + wfm.ascent();
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (i > 0) {
                p.setOpacity(opacity_ * sepAlpha_);
                drawPillText(p, QPointF(x, baseline), separator(), colour_, 0);
                x += wfm.horizontalAdvance(separator());
            }
            const QString word =
                wfm.elidedText(line[i], Qt::ElideRight, std::max(0.0, x0 + maxWidth - x));
            p.setOpacity(opacity_ * (undone_ ? textAlpha_ : 1.0));
            drawPillText(p, QPointF(x, baseline), word, colour_, textShadow_);
            const double w = wfm.horizontalAdvance(word);
            if (undone_ && word != HUDText::ellipsis()) {
                // Struck through: these words are not kept.
                p.setPen(QPen(colour_, 1.3));
                const double mid = baseline - wfm.xHeight() / 2;
                p.drawLine(QPointF(x, mid), QPointF(x + w, mid));
            }
            x += w;
        }
        y += wfm.height() + lineGap_;
    }
    y += captionGap_ - lineGap_;
    p.setFont(captionFont_);
    p.setOpacity(opacity_ * (undone_ ? textAlpha_ : captionAlpha_));
    const QString caption = cfm.elidedText(captionText(), Qt::ElideRight, maxWidth);
    drawPillText(p, QPointF(x0, y + cfm.ascent()), caption, colour_, textShadow_);
}

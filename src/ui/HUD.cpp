#include "ui/HUD.h"

#include <QCursor>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>
#include <QVariantAnimation>
#include <algorithm>
#include <cmath>

#include "core/Log.h"
#include "platform/Platform.h"
#include "ui/GlassPillView.h"
#include "ui/HUDCopy.h"
#include "ui/HUDLayout.h"
#include "ui/LearnedNoticeView.h"
#include "ui/PillContentView.h"
#include "ui/WaveformView.h"

namespace {

QString describeRect(const QRect& r) {
    return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QString describePoint(const QPoint& p) {
    return QStringLiteral("(%1,%2)").arg(p.x()).arg(p.y());
}

platform::Workspace* workspace() {
    return platform::Platform::installed() ? platform::Platform::current().workspace.get()
                                           : nullptr;
}

// A screen's rectangle in device pixels, the coordinates of the window system.
QRect deviceRect(const QScreen* s) {
    const QRect g = s->geometry();
    return {g.topLeft(), (QSizeF(g.size()) * s->devicePixelRatio()).toSize()};
}

}  // namespace

HUD::HUD()
    : model_(*this),
      panel_(std::make_unique<GlassPillView>()),
      appIcon_(new AppIconView(panel_->content())),
      marquee_(new TextLineView(panel_->content())),
      wave_(new WaveformView(panel_->content())),
      thinking_(new ThinkingView(panel_->content())),
      learnedView_(new LearnedNoticeView(panel_->content())),
      fade_(new QPropertyAnimation(panel_.get(), "windowOpacity", this)),
      crossfade_(new QVariantAnimation(this)) {
    for (QWidget* v : {static_cast<QWidget*>(marquee_), static_cast<QWidget*>(wave_),
                       static_cast<QWidget*>(thinking_), static_cast<QWidget*>(learnedView_)})
        v->hide();

    // Parented, so every timer of the pill can be found (an idle pill runs none).
    hideTimer_.setParent(this);
    widthTween_.setParent(this);
    hideTimer_.setSingleShot(true);
    connect(&hideTimer_, &QTimer::timeout, this, [this] {
        auto work = std::move(hideWork_);
        hideWork_ = nullptr;
        if (work) work();
    });
    connect(fade_, &QPropertyAnimation::finished, this, [this] {
        auto done = std::move(fadeDone_);
        fadeDone_ = nullptr;
        if (done) done();
    });

    crossfade_->setDuration(150);
    crossfade_->setStartValue(0.0);
    crossfade_->setEndValue(1.0);
    connect(crossfade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        const double t = v.toDouble();
        if (auto* in = dynamic_cast<PillContentView*>(currentView_)) in->setContentOpacity(t);
        if (auto* out = dynamic_cast<PillContentView*>(fadingOutView_))
            out->setContentOpacity(1 - t);
    });
    connect(crossfade_, &QVariantAnimation::finished, this, [this] {
        if (fadingOutView_ && fadingOutView_ != currentView_) fadingOutView_->hide();
        if (auto* out = dynamic_cast<PillContentView*>(fadingOutView_)) out->setContentOpacity(1);
        fadingOutView_ = nullptr;
    });

    widthTween_.setTimerType(Qt::PreciseTimer);
    widthTween_.setInterval(static_cast<int>(std::lround(1000.0 / HUDLayout::kAnimationHz)));
    connect(&widthTween_, &QTimer::timeout, this, [this] { tweenStep(); });

    model_.onUndo = [this](const QStringList& words) {
        if (onUndoLearned) onUndoLearned(words);
    };
    learnedView_->onUndo = [this] { model_.undoLearned(); };
    panel_->onHover = [this](bool inside) { model_.hoverChanged(inside); };

    // Screens coming, going or changing their usable area move a visible pill along.
    auto watch = [this](QScreen* screen) {
        connect(screen, &QScreen::availableGeometryChanged, this, [this] { screensChanged(); });
    };
    for (QScreen* s : QGuiApplication::screens()) watch(s);
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this, watch](QScreen* s) {
        watch(s);
        screensChanged();
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this] { screensChanged(); });
    connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, [this] { screensChanged(); });

    sub_ = HUDTuning::subscribe([this] {
        applyTuning();
        place(true);
        model_.redraw();
    });
    applyTuning();
}

HUD::~HUD() {
    hideTimer_.stop();
    widthTween_.stop();
    fade_->stop();
    crossfade_->stop();
}

QWidget* HUD::panel() const {
    return panel_.get();
}

// ---- public operations

void HUD::show(Mode mode, const QString& written, const QString& pending, const QString& partial,
               const std::optional<QString>& message, const std::optional<QStringList>& learned) {
    // Settings are read again at each appearance, whoever wrote them.
    if (!panel_->isVisible()) applyTuning();
    lastHideAfter_.reset();
    model_.show(mode, written, pending, partial, message, learned);
}

void HUD::hide(double afterSeconds) {
    lastHideAfter_ = afterSeconds;
    model_.hide(afterSeconds);
}

void HUD::setLevel(double rms) {
    model_.setLevel(rms);
}

void HUD::showLearned(const QStringList& words, bool undoable) {
    model_.showLearned(words, undoable);
}

void HUD::setContext(const std::optional<platform::RunningApp>& app, const QString& style,
                     const QIcon& icon) {
    app_ = app;
    style_ = style;
    QIcon shown = icon;
    if (shown.isNull() && app) {
        // The app's own icon from the icon theme, by the names desktops file it under.
        for (const QString& name :
             {app->bundleId, app->wmInstance.toLower(), app->wmClass.toLower()}) {
            if (name.isEmpty() || !QIcon::hasThemeIcon(name)) continue;
            shown = QIcon::fromTheme(name);
            break;
        }
    }
    contextIcon_ = shown;
    appIcon_->setIcon(shown);
}

void HUD::showPreview(const QString& extra) {
    show(Mode::listening, HUDCopy::previewWritten(), HUDCopy::previewPending(),
         HUDCopy::previewPartial() + extra);
    if (model_.tuning.content == PillContent::waveform)
        wave_->setLevelSource(&WaveformModel::previewLevel);
}

// ---- tuning

void HUD::applyTuning() {
    model_.tuning = HUDTuning::load();
    const HUDTuning& t = model_.tuning;
    const double margin = HUDLayout::shadowMargin(t);
    panel_->setPanel(HUDLayout::panelSize(t).toSize(), margin);
    wave_->applyTuning(t);
    const QFont font = pillFont(t.fontSize, 1);
    const QColor colour = t.textDark ? QColor(Qt::black) : QColor(Qt::white);
    marquee_->setStyle(font, colour, t.textShadow);
    thinking_->setStyle(font, colour, t.textShadow);
    appIcon_->setColour(colour);
    const bool own = t.learnedOwnGlass;
    learnedView_->applyTuning(t, own ? t.learnedTextDark : t.textDark,
                              own ? t.learnedTextShadow : t.textShadow);
    // Sizes are fitted again by the redraw that follows.
    targetW_ = targetH_ = 0;
}

// ---- redraw

QWidget* HUD::viewFor(Showing showing) const {
    switch (showing) {
        case Showing::text:
            return marquee_;
        case Showing::wave:
            return wave_;
        case Showing::thinking:
            return thinking_;
        case Showing::learned:
            break;
    }
    return learnedView_;
}

void HUD::redraw() {
    const HUDTuning& t = model_.tuning;
    const Showing showing = model_.showing;
    switch (showing) {
        case Showing::text: {
            const QStringList parts = model_.textParts();
            QList<double> alphas;
            if (model_.lastShown.message)
                alphas = {model_.lastShown.mode == HUDMode::error ? 0.95 : 0.9};
            else
                alphas = {1.0, t.pendingAlpha, t.partialAlpha};
            marquee_->setParts(parts, alphas);
            setWidth(HUDLayout::textFitting(marquee_->naturalWidth()));
            break;
        }
        case Showing::wave:
            setWidth(0);
            break;
        case Showing::thinking: {
            thinking_->setWord(model_.thinkingText(), model_.thinkingAnimates());
            setWidth(HUDLayout::textFitting(thinking_->naturalWidth()));
            break;
        }
        case Showing::learned: {
            const QStringList words = model_.learned.value_or(QStringList());
            learnedView_->setContent(words, model_.undone);
            const double tail = HUDLayout::learnedTail(t.height, !model_.undone, t.learnedPadX);
            const QSizeF notice =
                learnedView_->noticeSize(HUDLayout::learnedNoticeMaxWidth(tail, t.learnedPadX));
            const QSizeF size = HUDLayout::learnedSize(notice, tail, t);
            resize(size.width(), size.height());
            break;
        }
    }
    if (showing != Showing::thinking) thinking_->stopAnimation();

    const bool learned = showing == Showing::learned;
    GlassPillView::Glass glass;
    const bool own = learned && t.learnedOwnGlass;
    glass.light = own ? t.learnedTextDark : t.textDark;
    glass.tintOpacity = own ? t.learnedTintOpacity : t.tintOpacity;
    glass.shadowOpacity = own ? t.learnedShadowOpacity : t.shadowOpacity;
    glass.shadowRadius = own ? t.learnedShadowRadius : t.shadowRadius;
    glass.shadowOffsetY = own ? t.learnedShadowOffsetY : t.shadowOffsetY;
    glass.edgeHighlight = own ? t.learnedEdgeHighlight : t.edgeHighlight;
    panel_->setGlass(glass);

    switchView(showing);
    appIcon_->setVisible(!learned);
    learnedView_->setUndoVisible(model_.undoVisible(), t.height);
    applyPillGeometry();
}

void HUD::switchView(Showing showing) {
    QWidget* next = viewFor(showing);
    if (next == currentView_) {
        next->show();
        return;
    }
    QWidget* previous = currentView_;
    currentView_ = next;
    crossfade_->stop();
    if (fadingOutView_ && fadingOutView_ != next && fadingOutView_ != previous)
        fadingOutView_->hide();
    if (auto* v = dynamic_cast<PillContentView*>(fadingOutView_)) v->setContentOpacity(1);
    fadingOutView_ = nullptr;
    auto* nextView = dynamic_cast<PillContentView*>(next);
    if (panel_->isVisible() && previous) {
        // The content crossfades while the pill is on screen.
        fadingOutView_ = previous;
        nextView->setContentOpacity(0);
        next->show();
        crossfade_->start();
    } else {
        if (previous) previous->hide();
        nextView->setContentOpacity(1);
        next->show();
    }
}

// ---- sizes

void HUD::setWidth(double fitting) {
    const HUDTuning& t = model_.tuning;
    const double iconRight = HUDLayout::iconRight(t.height, t.iconSize);
    resize(HUDLayout::fittedWidth(fitting, iconRight, t.pillWidth()), t.height);
}

void HUD::resize(double width, double height) {
    width = std::ceil(width);
    height = std::ceil(height);
    if (HUDLayout::resizeIgnored(QSizeF(targetW_, targetH_), QSizeF(width, height))) return;
    targetW_ = width;
    targetH_ = height;
    widthTween_.stop();
    if (panel_->isVisible() && panel_->windowOpacity() > 0.05 && pillW_ > 0) {
        fromW_ = pillW_;
        fromH_ = pillH_;
        tweenStart_ = monotonicSeconds();
        widthTween_.start();
    } else {
        pillW_ = width;
        pillH_ = height;
        applyPillGeometry();
    }
}

void HUD::tweenStep() {
    const double t = (monotonicSeconds() - tweenStart_) / HUDLayout::kAnimationSeconds;
    const double e = HUDLayout::easeOutCubic(t);
    pillW_ = fromW_ + (targetW_ - fromW_) * e;
    pillH_ = fromH_ + (targetH_ - fromH_) * e;
    if (t >= 1 || !panel_->isVisible()) {
        pillW_ = targetW_;
        pillH_ = targetH_;
        widthTween_.stop();
    }
    applyPillGeometry();
}

void HUD::applyPillGeometry() {
    const QSizeF size(std::round(pillW_), std::round(pillH_));
    panel_->setPill(
        size, HUDLayout::cornerRadius(size, model_.tuning, model_.showing == Showing::learned));
    layoutContent();
}

void HUD::layoutContent() {
    const HUDTuning& t = model_.tuning;
    const QRectF pill(QPointF(0, 0), panel_->pillRect().size());
    const QRectF icon = HUDLayout::iconRect(pill.height(), t.iconSize);
    appIcon_->setGeometry(icon.toAlignedRect());
    const double textX = icon.right() + HUDLayout::kIconGap;
    const QRect textBox =
        QRectF(textX, 0, std::max(0.0, pill.width() - textX - HUDLayout::kTextTrailing),
               pill.height())
            .toAlignedRect();
    marquee_->setGeometry(textBox);
    thinking_->setGeometry(textBox);
    const double waveX = icon.right() + 4;
    wave_->setGeometry(QRectF(waveX, 11, std::max(0.0, pill.width() - waveX - 12),
                              std::max(0.0, pill.height() - 22))
                           .toAlignedRect());
    learnedView_->setGeometry(pill.toAlignedRect());
}

// ---- host: visibility, fades, mouse

bool HUD::panelVisible() const {
    return panel_->isVisible();
}

double HUD::panelOpacity() const {
    return panel_->windowOpacity();
}

void HUD::fadeIn(double seconds) {
    fadeDone_ = nullptr;
    fade_->stop();
    // Without a compositor window opacity is not blended: a fading pill shows as a
    // black block. It appears and goes at once instead.
    if (!composited_) {
        panel_->setWindowOpacity(1.0);
        return;
    }
    fade_->setDuration(static_cast<int>(std::lround(seconds * 1000)));
    fade_->setStartValue(panel_->windowOpacity());
    fade_->setEndValue(1.0);
    fade_->setEasingCurve(QEasingCurve::OutQuad);
    fade_->start();
}

void HUD::fadeOut(double seconds, std::function<void()> done) {
    fadeDone_ = nullptr;
    fade_->stop();
    if (!composited_) {
        if (done) done();
        return;
    }
    fadeDone_ = std::move(done);
    fade_->setDuration(static_cast<int>(std::lround(seconds * 1000)));
    fade_->setStartValue(panel_->windowOpacity());
    fade_->setEndValue(0.0);
    fade_->setEasingCurve(QEasingCurve::InQuad);
    fade_->start();
}

void HUD::removeFromScreen() {
    fadeDone_ = nullptr;
    fade_->stop();
    widthTween_.stop();
    crossfade_->stop();
    if (fadingOutView_ && fadingOutView_ != currentView_) fadingOutView_->hide();
    fadingOutView_ = nullptr;
    if (auto* v = dynamic_cast<PillContentView*>(currentView_)) v->setContentOpacity(1);
    pillW_ = targetW_;
    pillH_ = targetH_;
    panel_->hide();
    panel_->setWindowOpacity(1.0);
    setMouseEnabled(false);
    thinking_->stopAnimation();
    applyPillGeometry();
}

void HUD::setMouseEnabled(bool enabled) {
    panel_->setAcceptsMouse(enabled);
}

void HUD::resetUndoButton() {
    const HUDTuning& t = model_.tuning;
    learnedView_->undoButton()->reset((t.learnedOwnGlass ? t.learnedTextDark : t.textDark)
                                          ? QColor(Qt::black)
                                          : QColor(Qt::white));
}

void HUD::clearLevelSource() {
    wave_->setLevelSource(nullptr);
}

void HUD::feedLevel(double level, double now) {
    wave_->feed(level, now);
}

void HUD::startCountdown(double seconds) {
    learnedView_->undoButton()->start(seconds);
}

void HUD::freezeCountdown() {
    learnedView_->undoButton()->freeze();
}

void HUD::scheduleHide(double seconds, std::function<void()> work) {
    hideWork_ = std::move(work);
    hideTimer_.start(static_cast<int>(std::lround(seconds * 1000)));
}

void HUD::cancelHide() {
    hideTimer_.stop();
    hideWork_ = nullptr;
}

double HUD::now() const {
    return monotonicSeconds();
}

// ---- placement

void HUD::placeAndOrderFront() {
    place(false);
    orderFront();
}

void HUD::place(bool force) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty()) return;
    QList<QRect> rects;
    for (const QScreen* s : screens) rects << deviceRect(s);

    // The screen the user is looking at is the one with the pointer.
    std::optional<QPoint> pointer;
    const QPoint cursor = QCursor::pos();
    if (const QScreen* s = QGuiApplication::screenAt(cursor)) {
        const QPoint origin = s->geometry().topLeft();
        pointer = origin + ((QPointF(cursor - origin)) * s->devicePixelRatio()).toPoint();
    }
    int index = HUDLayout::pickScreen(rects, pointer);
    QScreen* screen = index >= 0 ? screens[index] : QGuiApplication::primaryScreen();
    if (!screen) return;

    if (!force && panel_->isVisible() && panel_->frameGeometry().intersects(screen->geometry()))
        return;
    if (panel_->screen() != screen) panel_->setScreen(screen);
    const HUDTuning& t = model_.tuning;
    panel_->move(HUDLayout::panelOrigin(screen->availableGeometry(), QSizeF(panel_->size()),
                                        t.bottomOffset, panel_->margin()));
}

void HUD::screensChanged() {
    if (!panel_->isVisible()) return;
    Log::write(QStringLiteral("HUD: screens changed while visible"));
    place(false);
    orderFront();
}

void HUD::orderFront() {
    const bool wasVisible = panel_->isVisible();
    if (!wasVisible) {
        // Checked at each appearance: a compositor may have started or stopped since.
        platform::Workspace* ws = workspace();
        composited_ = !ws || ws->compositing();
        panel_->setShaped(!composited_);
        // On whichever desktop the user switches to while it is up, and never as a
        // button in the taskbar.
        if (ws) {
            ws->showOnAllDesktops(panel_->winId());
            ws->keepOffTaskbar(panel_->winId());
            ws->neverFocus(panel_->winId());
        }
    }
    panel_->show();
    panel_->raise();
    if (!wasVisible)
        Log::write(QStringLiteral("HUD: shown win=") + QString::number(panel_->winId()) +
                   QStringLiteral(" frame=") + describeRect(panel_->frameGeometry()) +
                   QStringLiteral(" mouse=") + describePoint(QCursor::pos()));
}

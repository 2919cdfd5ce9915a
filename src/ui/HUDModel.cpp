#include "ui/HUDModel.h"

#include <algorithm>
#include <utility>

#include "core/Config.h"
#include "core/Log.h"
#include "ui/HUDCopy.h"
#include "ui/HUDText.h"

QString toString(HUDMode mode) {
    switch (mode) {
        case HUDMode::listening:
            return QStringLiteral("listening");
        case HUDMode::thinking:
            return QStringLiteral("thinking");
        case HUDMode::error:
            return QStringLiteral("error");
        case HUDMode::info:
            break;
    }
    return QStringLiteral("info");
}

QString toString(Showing showing) {
    switch (showing) {
        case Showing::text:
            return QStringLiteral("text");
        case Showing::wave:
            return QStringLiteral("wave");
        case Showing::thinking:
            return QStringLiteral("thinking");
        case Showing::learned:
            break;
    }
    return QStringLiteral("learned");
}

HUDModel::HUDModel(HUDHost& host) : host_(host), rng_(std::random_device{}()) {
    polishEnabled = [] { return Config::shared().polishEnabled(); };
}

void HUDModel::show(HUDMode mode, const QString& written, const QString& pending,
                    const QString& partial, const std::optional<QString>& message,
                    const std::optional<QStringList>& words) {
    host_.cancelHide();
    ++hideGen;
    // A fade-out that has not reached its first frame still reads full opacity: it must
    // be turned round all the same, or it ends with the pill on screen and invisible.
    const bool wasFading = std::exchange(fading, false);

    learned = words;
    learnedUndoable = false;
    if (learned && !learned->isEmpty()) {
        // A new notice starts undoable again, whatever happened to the last one.
        undone = false;
        host_.resetUndoButton();
    }
    host_.setMouseEnabled(learned.has_value());
    if (wasFading || host_.panelOpacity() < 1) host_.fadeIn(0.1);
    host_.clearLevelSource();

    const HUDMode previous = lastShown.mode;
    if (mode != HUDMode::listening) writeLevelLog();
    if (mode == HUDMode::thinking && (previous != HUDMode::thinking || thinkingWord.isEmpty()))
        thinkingWord =
            HUDText::pickThinkingWord(polishEnabled ? polishEnabled() : true, thinkingWord, rng_);
    if (mode == HUDMode::listening && previous != HUDMode::listening)
        meter.reset(tuning.barFloor, tuning.barRange);

    lastShown = ShownState{mode, written, pending, partial, message};
    redraw();
    host_.placeAndOrderFront();
}

void HUDModel::redraw() {
    showing = chooseShowing();
    host_.redraw();
}

Showing HUDModel::chooseShowing() const {
    if (learned) return Showing::learned;
    if (lastShown.message) return Showing::text;
    const bool nothingHeard =
        lastShown.written.isEmpty() && lastShown.pending.isEmpty() && lastShown.partial.isEmpty();
    if (lastShown.mode == HUDMode::thinking ||
        (lastShown.mode == HUDMode::listening && tuning.content == PillContent::transcript &&
         nothingHeard))
        return Showing::thinking;
    return tuning.content == PillContent::waveform ? Showing::wave : Showing::text;
}

QString HUDModel::thinkingText() const {
    return lastShown.mode == HUDMode::thinking ? thinkingWord : HUDCopy::listening();
}

bool HUDModel::thinkingAnimates() const {
    return lastShown.mode == HUDMode::thinking;
}

QStringList HUDModel::textParts() const {
    auto clean = [](const QString& s) { return HUDText::withoutStrayTokens(HUDText::oneLine(s)); };
    if (lastShown.message) return {HUDText::oneLine(*lastShown.message)};
    return {clean(lastShown.written), clean(lastShown.pending), clean(lastShown.partial)};
}

double HUDModel::learnedDuration(qsizetype n) {
    return std::min(4 + 0.4 * static_cast<double>(std::max<qsizetype>(n, 1) - 1), 6.0);
}

void HUDModel::hide(double after) {
    host_.cancelHide();
    writeLevelLog();
    const int g = ++hideGen;
    // A hidden pill has nothing to fade; leaving no timer behind keeps an idle pill idle.
    if (!host_.panelVisible()) return;
    host_.scheduleHide(std::max(after, 0.0), [this, g] { fadeOutFor(g); });
}

void HUDModel::fadeOutFor(int g) {
    if (hideGen != g || !host_.panelVisible()) return;
    fading = true;
    host_.fadeOut(0.2, [this, g] {
        if (hideGen != g) return;
        fading = false;
        host_.removeFromScreen();
    });
}

void HUDModel::setLevel(double rms) {
    if (lastShown.mode != HUDMode::listening || tuning.content != PillContent::waveform) return;
    const double now = host_.now();
    if (auto level = meter.feed(rms, now, tuning.barFloor, tuning.barRange))
        host_.feedLevel(*level, now);
}

void HUDModel::showLearned(const QStringList& words, bool undoable) {
    if (words.isEmpty()) return;
    show(HUDMode::info, {}, {}, {}, std::nullopt, words);
    learnedUndoable = undoable;
    const double d = learnedDuration(words.size());
    hide(d);
    host_.startCountdown(d);
}

void HUDModel::hoverChanged(bool inside) {
    if (showing != Showing::learned || !host_.panelVisible() || undone || fading) return;
    if (inside) {
        host_.cancelHide();
        host_.freezeCountdown();
    } else {
        hide(1.5);
        host_.startCountdown(1.5);
    }
}

void HUDModel::undoLearned() {
    if (showing != Showing::learned || undone || !learned || learned->isEmpty()) return;
    undone = true;
    host_.freezeCountdown();
    if (learnedUndoable && onUndo) onUndo(*learned);
    redraw();
    hide(1.6);
}

void HUDModel::writeLevelLog() {
    if (auto line = meter.takeLogLine(tuning.barFloor)) Log::write(*line);
}

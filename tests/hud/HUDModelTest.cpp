// The pill's decisions without a display: views, hide generations, fades, the
// learned notice, undo and hover, the level meter feeding the bars.
#include <gtest/gtest.h>

#include "ui/HUDCopy.h"
#include "ui/HUDModel.h"
#include "ui/StatusItem.h"

using namespace Qt::StringLiterals;

namespace {

// Records what the model asks of the window; time and timers are driven by hand.
struct FakeHost : HUDHost {
    bool visible = false;
    double opacity = 1;
    bool mouse = false;
    int fadeIns = 0, fadeOuts = 0, redraws = 0, removals = 0, undoResets = 0, levelSourceClears = 0;
    std::function<void()> fadeDone;
    std::function<void()> hideWork;
    double hideDelay = -1;
    double countdown = -1;
    bool frozen = false;
    double clock = 100;
    std::vector<double> levels;

    bool panelVisible() const override { return visible; }
    double panelOpacity() const override { return opacity; }
    void fadeIn(double) override {
        ++fadeIns;
        fadeDone = nullptr;
        opacity = 1;
    }
    void fadeOut(double, std::function<void()> done) override {
        ++fadeOuts;
        opacity = 0.5;  // partway
        fadeDone = std::move(done);
    }
    void removeFromScreen() override {
        ++removals;
        visible = false;
        opacity = 1;
        mouse = false;
    }
    void setMouseEnabled(bool on) override { mouse = on; }
    void resetUndoButton() override { ++undoResets; }
    void clearLevelSource() override { ++levelSourceClears; }
    void feedLevel(double level, double) override { levels.push_back(level); }
    void redraw() override { ++redraws; }
    void placeAndOrderFront() override { visible = true; }
    void startCountdown(double s) override {
        countdown = s;
        frozen = false;
    }
    void freezeCountdown() override { frozen = true; }
    void scheduleHide(double s, std::function<void()> work) override {
        hideDelay = s;
        hideWork = std::move(work);
    }
    void cancelHide() override {
        hideDelay = -1;
        hideWork = nullptr;
    }
    double now() const override { return clock; }

    // The pending hide's delay passes.
    void elapseHide() {
        auto w = std::move(hideWork);
        hideWork = nullptr;
        hideDelay = -1;
        ASSERT_TRUE(w);
        w();
    }
    void finishFade() {
        auto d = std::move(fadeDone);
        fadeDone = nullptr;
        if (d) d();
    }
};

struct Pill {
    FakeHost host;
    HUDModel model{host};
    Pill() {
        model.polishEnabled = [] { return true; };
    }
    void listen(const QString& written = {}, const QString& pending = {},
                const QString& partial = {}) {
        model.show(HUDMode::listening, written, pending, partial, std::nullopt, std::nullopt);
    }
};

QStringList words(int n) {
    QStringList out;
    for (int i = 0; i < n; ++i) out << u"w%1"_s.arg(i);
    return out;
}

}  // namespace

TEST(HUDModel, ViewChoiceFollowsModeMessageLearnedAndContent) {
    Pill p;
    p.listen();
    EXPECT_EQ(p.model.showing, Showing::thinking);  // nothing heard yet
    EXPECT_EQ(p.model.thinkingText(), HUDCopy::listening());
    EXPECT_FALSE(p.model.thinkingAnimates());

    p.listen(u"hello"_s);
    EXPECT_EQ(p.model.showing, Showing::text);

    p.model.show(HUDMode::thinking, u"hello"_s, {}, {}, std::nullopt, std::nullopt);
    EXPECT_EQ(p.model.showing, Showing::thinking);
    EXPECT_TRUE(p.model.thinkingAnimates());
    EXPECT_TRUE(HUDCopy::thinkingWords().contains(p.model.thinkingText()));

    p.model.show(HUDMode::error, {}, {}, {}, HUDCopy::lostConnection(), std::nullopt);
    EXPECT_EQ(p.model.showing, Showing::text);
    EXPECT_EQ(p.model.textParts(), QStringList{HUDCopy::lostConnection()});

    // A message wins over thinking; a notice wins over everything.
    p.model.show(HUDMode::thinking, {}, {}, {}, u"note"_s, QStringList{u"Qwen"_s});
    EXPECT_EQ(p.model.showing, Showing::learned);
    EXPECT_TRUE(p.host.mouse);  // only the notice takes the mouse
    p.listen(u"x"_s);
    EXPECT_FALSE(p.host.mouse);

    p.model.tuning.content = PillContent::waveform;
    p.listen();
    EXPECT_EQ(p.model.showing, Showing::wave);  // the bars show even before words come
    p.model.show(HUDMode::thinking, {}, {}, {}, std::nullopt, std::nullopt);
    EXPECT_EQ(p.model.showing, Showing::thinking);
}

TEST(HUDModel, ThinkingWordPickedOnEnteringThinkingAndPlainWithoutCleanup) {
    Pill p;
    QString previous;
    for (int i = 0; i < 20; ++i) {
        p.listen(u"a"_s);
        p.model.show(HUDMode::thinking, {}, {}, {}, std::nullopt, std::nullopt);
        const QString word = p.model.thinkingWord;
        EXPECT_NE(word, previous);
        // Staying in thinking keeps the word.
        p.model.show(HUDMode::thinking, u"more"_s, {}, {}, std::nullopt, std::nullopt);
        EXPECT_EQ(p.model.thinkingWord, word);
        previous = word;
    }
    p.model.polishEnabled = [] { return false; };
    for (int i = 0; i < 5; ++i) {
        p.listen(u"a"_s);
        p.model.show(HUDMode::thinking, {}, {}, {}, std::nullopt, std::nullopt);
        EXPECT_EQ(p.model.thinkingWord, u"Thinking"_s);
    }
}

TEST(HUDModel, HideFadesThenRemovesAndNewerShowsWin) {
    Pill p;
    p.model.hide(1.2);  // hiding a hidden pill leaves no timer
    EXPECT_FALSE(p.host.hideWork);
    p.listen(u"a"_s);
    p.model.hide(2);
    EXPECT_DOUBLE_EQ(p.host.hideDelay, 2);
    p.host.elapseHide();
    EXPECT_TRUE(p.model.fading);
    EXPECT_EQ(p.host.fadeOuts, 1);
    p.host.finishFade();
    EXPECT_FALSE(p.model.fading);
    EXPECT_FALSE(p.host.visible);
    EXPECT_EQ(p.host.removals, 1);

    // hide(2) then show within 2 s: the stale fade-out finds a newer generation.
    p.listen(u"b"_s);
    p.model.hide(2);
    auto stale = p.host.hideWork;
    p.listen(u"c"_s);
    EXPECT_FALSE(p.host.hideWork);  // cancelled
    stale();
    EXPECT_EQ(p.host.fadeOuts, 1);
    EXPECT_TRUE(p.host.visible);
    EXPECT_FALSE(p.model.fading);
}

TEST(HUDModel, ShowDuringFadeOutCancelsIt) {
    // Partway through the fade, and before its first frame (the window still reads opaque).
    for (double opacityWhenShown : {0.5, 1.0}) {
        SCOPED_TRACE(opacityWhenShown);
        Pill p;
        p.listen(u"a"_s);
        p.model.hide(0);
        EXPECT_DOUBLE_EQ(p.host.hideDelay, 0);
        p.host.elapseHide();
        ASSERT_TRUE(p.model.fading);
        p.host.opacity = opacityWhenShown;
        auto staleEnd = p.host.fadeDone;
        p.model.show(HUDMode::thinking, u"a"_s, {}, {}, std::nullopt, std::nullopt);
        EXPECT_FALSE(p.model.fading);
        EXPECT_EQ(p.host.fadeIns, 1);  // the fade is turned round
        EXPECT_FALSE(p.host.fadeDone);
        EXPECT_DOUBLE_EQ(p.host.opacity, 1);
        staleEnd();  // a fade that still reports its end changes nothing
        EXPECT_TRUE(p.host.visible);
        EXPECT_EQ(p.host.removals, 0);
    }
}

TEST(HUDModel, LearnedNoticeDurationGrowsWithWordsUpToSixSeconds) {
    const std::pair<int, double> cases[] = {{1, 4.0}, {2, 4.4}, {5, 5.6}, {6, 6.0}, {10, 6.0}};
    for (auto [n, d] : cases) {
        Pill p;
        p.model.showLearned(words(n), true);
        EXPECT_NEAR(p.host.hideDelay, d, 1e-9) << n;
        EXPECT_NEAR(p.host.countdown, d, 1e-9) << n;
        EXPECT_EQ(p.model.showing, Showing::learned);
        EXPECT_TRUE(p.model.learnedUndoable);
        EXPECT_TRUE(p.host.mouse);
    }
    Pill empty;
    empty.model.showLearned({}, true);
    EXPECT_FALSE(empty.host.visible);
    EXPECT_EQ(empty.host.redraws, 0);
}

TEST(HUDModel, UndoCallsBackOnceOnlyWhenUndoable) {
    Pill p;
    QList<QStringList> calls;
    p.model.onUndo = [&](const QStringList& w) { calls << w; };
    p.model.showLearned({u"Velmora"_s, u"Qwen"_s}, true);
    p.model.undoLearned();
    EXPECT_TRUE(p.model.undone);
    EXPECT_TRUE(p.host.frozen);
    EXPECT_DOUBLE_EQ(p.host.hideDelay, 1.6);
    EXPECT_FALSE(p.model.undoVisible());
    p.model.undoLearned();  // a second press does nothing
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0], (QStringList{u"Velmora"_s, u"Qwen"_s}));
    EXPECT_EQ(HUDCopy::undoneText(calls[0]), u"Got it, won't learn 2 words"_s);
    EXPECT_EQ(HUDCopy::undoneText({u"Qwen"_s}), u"Got it, won't learn Qwen"_s);
    // A new notice after an undo can be undone again.
    p.model.showLearned({u"b"_s}, true);
    EXPECT_FALSE(p.model.undone);
    EXPECT_TRUE(p.model.undoVisible());
    p.model.undoLearned();
    EXPECT_EQ(calls.size(), 2);
    EXPECT_GE(p.host.undoResets, 2);

    // A sample notice: undo shows as done but tells no one.
    Pill sample;
    int told = 0;
    sample.model.onUndo = [&](const QStringList&) { ++told; };
    sample.model.showLearned({u"x"_s}, false);
    sample.model.undoLearned();
    EXPECT_TRUE(sample.model.undone);
    EXPECT_EQ(told, 0);

    // Undo means nothing outside the notice.
    Pill other;
    other.model.onUndo = [&](const QStringList&) { ++told; };
    other.listen(u"a"_s);
    other.model.undoLearned();
    EXPECT_FALSE(other.model.undone);
    EXPECT_EQ(told, 0);
}

TEST(HUDModel, HoverHoldsTheNoticeAndLeavingGivesOneAndAHalfSeconds) {
    Pill p;
    p.model.showLearned(words(3), true);
    p.model.hoverChanged(true);
    EXPECT_FALSE(p.host.hideWork);
    EXPECT_TRUE(p.host.frozen);
    p.model.hoverChanged(false);
    EXPECT_DOUBLE_EQ(p.host.hideDelay, 1.5);
    EXPECT_DOUBLE_EQ(p.host.countdown, 1.5);
    EXPECT_FALSE(p.host.frozen);

    // Ignored once undone, while fading, or for other views.
    p.model.undoLearned();
    p.model.hoverChanged(true);
    EXPECT_DOUBLE_EQ(p.host.hideDelay, 1.6);
    Pill fading;
    fading.model.showLearned(words(1), true);
    fading.host.elapseHide();
    ASSERT_TRUE(fading.model.fading);
    fading.model.hoverChanged(true);
    EXPECT_TRUE(fading.host.fadeDone);  // still fading out
    Pill text;
    text.listen(u"a"_s);
    text.model.hide(3);
    text.model.hoverChanged(true);
    EXPECT_DOUBLE_EQ(text.host.hideDelay, 3);
}

TEST(HUDModel, LevelsReachTheBarsOnlyWhileListeningWithTheWaveform) {
    Pill p;
    p.listen();
    p.model.setLevel(0.1);
    EXPECT_TRUE(p.host.levels.empty());  // transcript content
    p.model.tuning.content = PillContent::waveform;
    p.model.show(HUDMode::thinking, {}, {}, {}, std::nullopt, std::nullopt);
    p.model.setLevel(0.1);
    EXPECT_TRUE(p.host.levels.empty());  // not listening
    p.listen();
    p.model.setLevel(0.1);
    EXPECT_EQ(p.host.levels.size(), 1u);
    p.model.setLevel(std::nan(""));
    EXPECT_EQ(p.host.levels.size(), 1u);
    // A new listening starts the meter's peak afresh.
    p.model.setLevel(1.0);
    p.model.show(HUDMode::thinking, {}, {}, {}, std::nullopt, std::nullopt);
    p.listen();
    EXPECT_DOUBLE_EQ(p.model.meter.peakDB, -37);
    EXPECT_TRUE(p.model.meter.heardDB.empty());
}

// The idle tray icon takes the tone opposite the panel's; listening is blue on either.
TEST(StatusIcon, InkFollowsThePanel) {
    auto ink = [](const QImage& img) {
        int darkest = 255, lightest = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QRgb p = img.pixel(x, y);
                if (qAlpha(p) < 255) continue;
                darkest = std::min(darkest, qGray(p));
                lightest = std::max(lightest, qGray(p));
            }
        return std::pair{darkest, lightest};
    };
    const auto onLight = ink(StatusItem::render(false, false, 32, false));
    const auto onDark = ink(StatusItem::render(false, false, 32, true));
    EXPECT_LT(onLight.second, 80);
    EXPECT_GT(onDark.first, 200);
    EXPECT_EQ(StatusItem::render(true, false, 32, false),
              StatusItem::render(true, false, 32, true));
}

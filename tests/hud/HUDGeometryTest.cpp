// The pill's text and geometry decisions without a display: widths for a text,
// the cut of a long line, clip labels, placement, the level meter's mapping and the
// bars' motion, and bad tuning values.
#include <gtest/gtest.h>

#include <cmath>

#include "core/Config.h"
#include "core/Log.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"
#include "ui/HUDLayout.h"
#include "ui/HUDText.h"
#include "ui/HUDTuning.h"
#include "ui/LevelMeter.h"
#include "ui/WaveformModel.h"

using namespace Qt::StringLiterals;

namespace {
// Ten pixels for every UTF-16 unit: easy to reason about.
double tenEach(const QString& s) {
    return 10.0 * static_cast<double>(s.size());
}
double dbToRms(double db) {
    return std::pow(10.0, db / 20);
}
}  // namespace

// ---- widths

TEST(HUDLayout, WidthForATextGrowsFromTheRestingWidthUpToTheCap) {
    const double iconRight = HUDLayout::iconRight(46, 30);
    // Short text: never narrower than the resting width.
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(100, iconRight, 240), 240);
    // 300 + 48 + 16.
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(300, iconRight, 240), 364);
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(300.2, iconRight, 240), 365);
    // Long text stops at 420, or at a wider resting width.
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(1000, iconRight, 240), 420);
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(1000, iconRight, 500), 500);
    // The waveform (f = 0) and nonsense widths take the resting width.
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(0, iconRight, 116), 116);
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(-5, iconRight, 116), 116);
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(std::nan(""), iconRight, 116), 116);
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(30, iconRight, 116), 116);
    EXPECT_DOUBLE_EQ(HUDLayout::fittedWidth(80, iconRight, 116), 144);
}

TEST(HUDLayout, PlacementOnThePointersScreen) {
    HUDTuning t;
    const double m = HUDLayout::shadowMargin(t);
    const QSizeF panel = HUDLayout::panelSize(t);
    EXPECT_GE(panel.width(), 420 + 2 * m);
    EXPECT_GE(panel.height(), 150 + 2 * m);
    // A second screen with a taskbar: bottomOffset above its usable area's bottom, centred.
    const QRect second(1280, 0, 1920, 1080 - 40);
    const QRectF there = HUDLayout::pillRectInPanel(panel, QSizeF(240, 46), m)
                             .translated(HUDLayout::panelOrigin(second, panel, 32, m));
    EXPECT_DOUBLE_EQ(there.bottom(), 1040 - 32);
    EXPECT_NEAR(there.center().x(), 1280 + 960, 0.5);

    // The pointer's screen, else the primary.
    const QList<QRect> screens = {QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
    EXPECT_EQ(HUDLayout::pickScreen(screens, QPoint(1300, 10)), 1);
    EXPECT_EQ(HUDLayout::pickScreen(screens, QPoint(1279, 799)), 0);
    EXPECT_EQ(HUDLayout::pickScreen(screens, QPoint(-500, 0)), 0);  // off every screen
    EXPECT_EQ(HUDLayout::pickScreen(screens, std::nullopt), 0);
    EXPECT_EQ(HUDLayout::pickScreen({}, QPoint(1, 1)), -1);
}

// ---- text

TEST(HUDText, OneLineAndClipLabels) {
    EXPECT_EQ(HUDText::oneLine(u"a\nb\r\nc\rd\u2028e"_s), u"a b c d e"_s);
    EXPECT_EQ(HUDText::clipToken(u"短语"_s, 2), u"⟦短语2⟧"_s);

    const QList<HUDText::ClipLabel> clips = {
        {HUDText::clipToken(u"链接"_s, 1), u"🔗 example.com"_s},
        {HUDText::clipToken(u"短语"_s, 2), u"📋 hello"_s},
    };
    EXPECT_EQ(HUDText::withClipLabels(u"see⟦链接1⟧ and ⟦短语2⟧⟦链接1⟧."_s, clips),
              u"see 🔗 example.com  and  📋 hello  🔗 example.com ."_s);
    // Token 12 is not token 1 followed by a 2.
    EXPECT_EQ(HUDText::withClipLabels(u"⟦链接12⟧"_s, clips), u"⟦链接12⟧"_s);
    EXPECT_EQ(HUDText::withoutStrayTokens(u"a⟦链接12⟧b⟦段落3⟧"_s), u"a 🔗 b 📋 "_s);
    EXPECT_EQ(HUDText::withoutStrayTokens(u"⟦not a token⟧"_s), u"⟦not a token⟧"_s);
}

TEST(HUDText, TailOfALongLineKeepsTheLatestWords) {
    const QString text = u"abcdefghij"_s;  // 100 px
    EXPECT_EQ(HUDText::tailStart(text, 100, tenEach), 0);
    EXPECT_EQ(HUDText::tailStart(QString(), 0, tenEach), 0);
    // 55 px: the ellipsis takes 10, four characters (40 px) fit after it.
    const qsizetype start = HUDText::tailStart(text, 55, tenEach);
    EXPECT_EQ(start, 6);
    EXPECT_LE(tenEach(HUDText::ellipsis() + text.mid(start)), 55);
    EXPECT_GT(tenEach(HUDText::ellipsis() + text.mid(start - 1)), 55);
    // No room even for the ellipsis and one character: nothing of the text.
    EXPECT_EQ(HUDText::tailStart(text, 5, tenEach), text.size());
    // An emoji (two UTF-16 units) is never cut in half.
    const QString emoji = u"ab😀cd"_s;
    for (double w = 0; w <= 70; w += 5) {
        const qsizetype s = HUDText::tailStart(emoji, w, tenEach);
        EXPECT_NE(s, 3) << w;
        EXPECT_FALSE(emoji.mid(s).startsWith(QChar(0xDE00))) << w;
    }
}

TEST(HUDText, WrapWords) {
    const QStringList w = {u"aaa"_s, u"bb"_s, u"cccccccccccc"_s, u"d"_s};
    const auto lines = HUDText::wrapWords(w, u" · "_s, 90, tenEach);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], (QStringList{u"aaa"_s, u"bb"_s}));  // 80 px
    EXPECT_EQ(lines[1], QStringList{u"cccccccccccc"_s});    // too wide, alone
    EXPECT_EQ(lines[2], QStringList{u"d"_s});
    EXPECT_TRUE(HUDText::wrapWords({}, u" "_s, 10, tenEach).isEmpty());
}

// ---- the meter and the bars

TEST(LevelMeter, FloorZeroDbfsAndBeyond) {
    LevelMeter m;
    m.reset(-55, 18);
    EXPECT_DOUBLE_EQ(m.peakDB, -37);
    EXPECT_NEAR(*m.feed(dbToRms(-55), 1.0, -55, 18), 0, 1e-12);   // the floor
    EXPECT_NEAR(*m.feed(dbToRms(-70), 1.0, -55, 18), 0, 1e-12);   // below it
    EXPECT_NEAR(*m.feed(dbToRms(-46), 1.0, -55, 18), 0.5, 1e-9);  // half way up the range
    EXPECT_NEAR(*m.feed(dbToRms(-37), 1.0, -55, 18), 1, 1e-9);    // the top of the range
    EXPECT_NEAR(*m.feed(1.0, 1.0, -55, 18), 1, 1e-12);            // 0 dBFS
    EXPECT_NEAR(m.peakDB, 0, 1e-9);
    // The range widened to the peak: -37 is no longer full.
    EXPECT_NEAR(*m.feed(dbToRms(-37), 1.0, -55, 18), 18.0 / 55, 1e-9);
    // Beyond full scale (a hot float signal): still 1, the peak follows.
    EXPECT_NEAR(*m.feed(2.0, 1.0, -55, 18), 1, 1e-12);
    EXPECT_NEAR(m.peakDB, 20 * std::log10(2.0), 1e-9);
    // Silence (and zero) sits at -120 dBFS: level 0, no NaN.
    EXPECT_NEAR(*m.feed(0, 1.0, -55, 18), 0, 1e-12);
    EXPECT_DOUBLE_EQ(m.heardDB.back(), -120);
    // Values that are not numbers are dropped without touching the peak.
    const double peak = m.peakDB;
    EXPECT_FALSE(m.feed(std::nan(""), 1.0, -55, 18));
    EXPECT_FALSE(m.feed(INFINITY, 1.0, -55, 18));
    EXPECT_DOUBLE_EQ(m.peakDB, peak);
}

TEST(LevelMeter, PeakDecaysSixDbASecondCountingAtMostAFifth) {
    LevelMeter m;
    m.reset(-55, 18);
    m.feed(dbToRms(-10), 10.0, -55, 18);
    EXPECT_NEAR(m.peakDB, -10, 1e-9);
    m.feed(0, 10.1, -55, 18);  // 0.1 s later: 0.6 dB down
    EXPECT_NEAR(m.peakDB, -10.6, 1e-9);
    m.feed(0, 20.0, -55, 18);  // long gap: counts as 0.2 s
    EXPECT_NEAR(m.peakDB, -11.8, 1e-9);
    m.feed(0, 5.0, -55, 18);  // a clock that went back counts as nothing
    EXPECT_NEAR(m.peakDB, -11.8, 1e-9);
    for (int i = 0; i < 200; ++i) m.feed(0, 5.0 + 0.2 * (i + 1), -55, 18);
    EXPECT_DOUBLE_EQ(m.peakDB, -37);  // never below floor + range
}

TEST(WaveformModel, LevelsDecayAndBarsFollow) {
    WaveformModel w;
    w.tick(1.0);
    ASSERT_EQ(w.heights.size(), 5u);
    for (double h : w.heights) EXPECT_DOUBLE_EQ(h, 0);

    w.feed(0.3, 1.0);
    w.feed(0.8, 1.0);  // the loudest since the last frame counts
    w.tick(1.016);
    EXPECT_DOUBLE_EQ(w.level, 0.8);
    EXPECT_FALSE(w.gotLevel);
    EXPECT_DOUBLE_EQ(w.incoming, 0);
    for (int i = 0; i < 30; ++i) w.tick(1.016 + 0.016 * (i + 1));  // no reports, but only 0.5 s
    EXPECT_LT(w.level, 0.8);
    double high = 0;
    for (double h : w.heights) high = std::max(high, h);
    EXPECT_GT(high, 0.05);
    for (int i = 0; i < 200; ++i) w.tick(2.0 + 0.016 * i);
    EXPECT_LT(w.level, 1e-6);
    for (double h : w.heights) EXPECT_LT(h, 1e-3);

    w.count = 3;
    w.tick(10);
    EXPECT_EQ(w.heights.size(), 3u);
    // A huge gap between frames is clamped: one frame cannot jump to the target.
    w.levelSource = [](double) { return 1.0; };
    w.tick(100);
    for (double h : w.heights) EXPECT_LE(h, 1.0);
}

TEST(WaveformModel, BarGeometryCentredAndSqueezed) {
    WaveformModel w;
    w.heights = {0, 0, 1, 0, 0};
    const auto bars = w.bars(QSizeF(62, 24));
    ASSERT_EQ(bars.size(), 5u);
    EXPECT_DOUBLE_EQ(bars[0].left(), (62 - 40) / 2.0);  // 5 bars of 4 with 4 gaps of 5
    EXPECT_DOUBLE_EQ(bars[4].right(), 62 - (62 - 40) / 2.0);
    EXPECT_DOUBLE_EQ(bars[0].height(), 4);   // a resting bar is a dot
    EXPECT_DOUBLE_EQ(bars[2].height(), 24);  // a full bar spans the view
    EXPECT_DOUBLE_EQ(bars[2].center().y(), 12);
    // Too narrow for the pitch: the bars share the width.
    const auto narrow = w.bars(QSizeF(20, 24));
    ASSERT_EQ(narrow.size(), 5u);
    EXPECT_DOUBLE_EQ(narrow[0].width(), std::min(4.0, 0.55 * 4));
    EXPECT_GE(narrow[0].left(), 0);
    EXPECT_LE(narrow[4].right(), 20);
    EXPECT_TRUE(w.bars(QSizeF(0, 24)).empty());
}

// ---- tuning

// Stored values of the wrong kind or out of range fall back, with a log line; a save tells
// the live subscribers only.
TEST(HUDTuning, BadStoredValuesAndSubscribers) {
    const auto s = Config::d();
    for (const QString& n : HUDTuning::names()) s->remove("hud." + n);
    EXPECT_EQ(HUDTuning::load().content, PillContent::transcript);
    s->setValue("hud.content", "waveform");
    s->setValue("hud.barRange", 0);  // would divide by zero
    s->setValue("hud.barCount", 100000);
    s->setValue("hud.fontSize", "big");
    HUDTuning t = HUDTuning::load();
    EXPECT_EQ(t.content, PillContent::waveform);
    EXPECT_DOUBLE_EQ(t.pillWidth(), 116);
    EXPECT_DOUBLE_EQ(t.barRange, 1);
    EXPECT_EQ(t.bars(), 64);
    EXPECT_DOUBLE_EQ(t.fontSize, 15);
    Log::flush();
    EXPECT_TRUE(QString::fromUtf8(testenv::readFile(Log::path()))
                    .contains(R"(HUD: tuning "hud.barRange" is 0, using 1)"));
    s->setValue("hud.content", "subtitles");
    EXPECT_EQ(HUDTuning::load().content, PillContent::transcript);

    int told = 0;
    auto sub = HUDTuning::subscribe([&] { ++told; });
    t.width = 300;
    t.save();
    EXPECT_DOUBLE_EQ(HUDTuning::load().width, 300);
    EXPECT_TRUE(harness::waitUntil([&] { return told == 1; }, "the subscriber told"));
    EXPECT_TRUE(HUDTuning::set("barSpeed", 2.5));
    EXPECT_FALSE(HUDTuning::set("noSuchKnob", 1));
    EXPECT_TRUE(harness::waitUntil([&] { return told == 2; }, "the subscriber told again"));
    sub.reset();  // unsubscribed: no more calls, though a later subscriber is told
    int later = 0;
    auto second = HUDTuning::subscribe([&] { ++later; });
    HUDTuning().save();
    EXPECT_TRUE(harness::waitUntil([&] { return later == 1; }, "the later subscriber told"));
    EXPECT_EQ(told, 2);
    for (const QString& n : HUDTuning::names()) s->remove("hud." + n);
}

#include <gtest/gtest.h>

#include "core/CommandLine.h"

namespace {

using Mode = LaunchOptions::Mode;

LaunchOptions parse(std::initializer_list<const char*> words) {
    QStringList args{QStringLiteral("/usr/bin/velmora")};
    for (const char* w : words) args << QString::fromUtf8(w);
    return LaunchOptions::parse(args);
}

TEST(CommandLine, TestModesNeedTheirArgument) {
    EXPECT_EQ(parse({}).mode, Mode::normal);
    EXPECT_EQ(parse({"--test-asr"}).mode, Mode::normal);  // no file: normal start
    const auto asr = parse({"--test-asr", "a.wav", "extra"});
    EXPECT_EQ(asr.mode, Mode::testAsr);
    EXPECT_EQ(asr.wavPath, QStringLiteral("a.wav"));
    EXPECT_EQ(parse({"--test-polish"}).mode, Mode::normal);
    const auto polish = parse({"--test-polish", "hello there"});
    EXPECT_EQ(polish.mode, Mode::testPolish);
    EXPECT_EQ(polish.polishText, QStringLiteral("hello there"));
    EXPECT_TRUE(polish.polishStyle.isEmpty());
    EXPECT_EQ(parse({"--test-polish", "x", "mail"}).polishStyle, QStringLiteral("mail"));
    EXPECT_EQ(parse({"--probe-url"}).mode, Mode::probeUrl);
}

TEST(CommandLine, FirstArgumentMatchesExactly) {
    EXPECT_EQ(parse({"--test-asr=a.wav", "b"}).mode, Mode::normal);
    EXPECT_EQ(parse({"--TEST-ASR", "a.wav"}).mode, Mode::normal);
    EXPECT_EQ(parse({"--preview", "x"}).mode, Mode::normal);
    EXPECT_EQ(parse({"--unknown", "--preview-hud"}).mode, Mode::normal);  // only argument 1 counts
    EXPECT_EQ(parse({"--preview-hudx"}).mode, Mode::normal);
}

TEST(CommandLine, PreviewHudModifiersAnywhereAfterTheSwitch) {
    const auto o =
        parse({"--preview-hud", "--junk", "--thinking", "--seconds", "2.5", "--nothing"});
    EXPECT_EQ(o.mode, Mode::previewHud);
    EXPECT_TRUE(o.thinking);
    EXPECT_TRUE(o.nothing);
    EXPECT_FALSE(o.wave);
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds", "soon"}).seconds, 5);
    EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds"}).seconds, 5);
    EXPECT_DOUBLE_EQ(parse({"--preview-hud"}).seconds, 5);
    EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds", "inf"}).seconds, 5);
    EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds", "0"}).seconds, 0);
}

TEST(CommandLine, PreviewWindowPagesAndStates) {
    EXPECT_EQ(parse({"--preview-window"}).page, QStringLiteral("home"));
    EXPECT_EQ(parse({"--preview-window", "--page", "settings"}).page, QStringLiteral("settings"));
    EXPECT_EQ(parse({"--preview-window", "--page", "nowhere"}).page, QStringLiteral("home"));
    EXPECT_EQ(parse({"--preview-window", "--page"}).page, QStringLiteral("home"));
    const auto o = parse({"--preview-window", "--pro", "--update", "downloading", "--signed-out"});
    EXPECT_TRUE(o.pro);
    EXPECT_TRUE(o.signedOut);
    EXPECT_FALSE(o.pending);
    EXPECT_EQ(o.updateState, QStringLiteral("downloading"));
}

}  // namespace

#include <gtest/gtest.h>

#include "core/CommandLine.h"

using namespace Qt::StringLiterals;

namespace {

using Mode = LaunchOptions::Mode;

LaunchOptions parse(const std::vector<const char*>& words) {
    QStringList args{u"/usr/bin/velmora"_s};
    for (const char* w : words) args << QString::fromUtf8(w);
    return LaunchOptions::parse(args);
}

// Only the first argument names a mode, exactly, and a mode without its argument is a normal
// start.
TEST(CommandLine, ModesAndTheirArguments) {
    struct Case {
        std::vector<const char*> words;
        Mode mode;
    } cases[] = {
        {{}, Mode::normal},
        {{"--test-asr"}, Mode::normal},
        {{"--test-polish"}, Mode::normal},
        {{"--test-asr=a.wav", "b"}, Mode::normal},
        {{"--TEST-ASR", "a.wav"}, Mode::normal},
        {{"--preview", "x"}, Mode::normal},
        {{"--unknown", "--preview-hud"}, Mode::normal},
        {{"--preview-hudx"}, Mode::normal},
        {{"--probe-url"}, Mode::probeUrl},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.words).mode, c.mode) << c.words.size();
    const auto asr = parse({"--test-asr", "a.wav", "extra"});
    EXPECT_EQ(asr.mode, Mode::testAsr);
    EXPECT_EQ(asr.wavPath, "a.wav");
    const auto polish = parse({"--test-polish", "hello there"});
    EXPECT_EQ(polish.mode, Mode::testPolish);
    EXPECT_EQ(polish.polishText, "hello there");
    EXPECT_TRUE(polish.polishStyle.isEmpty());
    EXPECT_EQ(parse({"--test-polish", "x", "mail"}).polishStyle, "mail");
}

// The pill preview's options come anywhere after the switch; a time that is no finite number
// falls back. (The window preview's flags are read by every main window test.)
TEST(CommandLine, PreviewHudOptions) {
    const auto o =
        parse({"--preview-hud", "--junk", "--thinking", "--seconds", "2.5", "--nothing"});
    EXPECT_EQ(o.mode, Mode::previewHud);
    EXPECT_TRUE(o.thinking && o.nothing && !o.wave);
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    for (const char* bad : {"soon", "inf", ""})
        EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds", bad}).seconds, 5) << bad;
    EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds"}).seconds, 5);
    EXPECT_DOUBLE_EQ(parse({"--preview-hud", "--seconds", "0"}).seconds, 0);
}

}  // namespace

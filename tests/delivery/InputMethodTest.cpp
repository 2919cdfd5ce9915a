// The input method named in the typing log line is asked off the main thread: a hung
// IBus tool never holds typing up, and a switch of engine shows up at a later dictation.
#include <gtest/gtest.h>

#include <QFile>

#include "harness/Wait.h"
#include "platform/linux/XKeySynth.h"
#include "support/TestEnv.h"

namespace {

using namespace platform::x11;

// An `ibus` tool whose `engine` answer is the file next to it, or that hangs while "hang" exists.
void writeTool(const QString& dir) {
    const QString script = QStringLiteral(
                               "#!/bin/sh\n"
                               "while [ -e '%1/hang' ]; do read -t 1 x; done\n"
                               "cat '%1/engine'\n")
                               .arg(dir);
    ASSERT_TRUE(testenv::writeFile(dir + QStringLiteral("/ibus"), script.toUtf8()));
    QFile::setPermissions(dir + QStringLiteral("/ibus"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST(InputMethod, AskedInTheBackgroundAndFollowed) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display";
    const QString dir = testenv::home() + QStringLiteral("/im");
    writeTool(dir);
    ASSERT_TRUE(testenv::writeFile(dir + QStringLiteral("/hang"), ""));
    ASSERT_TRUE(testenv::writeFile(dir + QStringLiteral("/engine"), "xkb:fr::fra\n"));
    qputenv("PATH", (dir + QStringLiteral(":") + qEnvironmentVariable("PATH")).toUtf8());
    qputenv("GTK_IM_MODULE", "ibus");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");  // no Fcitx

    XKeySynth keys(openDisplay());
    // The tool hangs: the answer is the keyboard layout, at once.
    EXPECT_TRUE(keys.inputSource().startsWith(QStringLiteral("xkb:")));
    QFile::remove(dir + QStringLiteral("/hang"));
    EXPECT_TRUE(harness::waitUntil(
        [&] { return keys.inputSource() == QStringLiteral("ibus:xkb:fr::fra"); }, "the engine"));
    // The user switches engines: a later look sees it.
    ASSERT_TRUE(testenv::writeFile(dir + QStringLiteral("/engine"), "pinyin\n"));
    EXPECT_TRUE(harness::waitUntil(
        [&] { return keys.inputSource() == QStringLiteral("ibus:pinyin"); }, "the new engine"));
}

}  // namespace

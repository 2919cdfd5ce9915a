// Real speech end to end: flite speaks, the built `velmora --test-asr` streams
// it to a velmora-server started here, whose pocketsphinx engine must hear it.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "harness/Wait.h"
#include "harness/WordShare.h"
#include "support/TestEnv.h"

namespace {

struct Result {
    int status = -1;
    QStringList lines;
};

class Speech : public ::testing::Test {
  protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("flite").isEmpty() ||
            QStandardPaths::findExecutable("sox").isEmpty())
            GTEST_SKIP() << "flite and sox are needed";
        ASSERT_TRUE(dir_.isValid());
        server_.setProgram(testenv::binaryDir() + "/server/velmora-server");
        server_.setArguments({"--listen", "127.0.0.1:0", "--token", "speech-token", "--workers",
                              "1", "--asr-decoders", "1"});
        server_.setProcessChannelMode(QProcess::SeparateChannels);
        server_.start();
        ASSERT_TRUE(server_.waitForStarted(5000)) << "velmora-server did not start";
        static const QRegularExpression listening(R"(listening on http://127\.0\.0\.1:(\d+))");
        ASSERT_TRUE(serverSays(listening));
        port_ = listening.match(serverLog_).captured(1).toInt();
    }
    void TearDown() override {
        if (server_.state() == QProcess::NotRunning) return;
        server_.terminate();
        if (!server_.waitForFinished(5000)) {
            server_.kill();
            server_.waitForFinished(2000);
        }
    }

    QString path(const QString& name) const { return dir_.filePath(name); }

    // Waits for a line of the server's log.
    ::testing::AssertionResult serverSays(const QRegularExpression& line) {
        auto r = harness::waitUntil(
            [&] {
                serverLog_ += QString::fromUtf8(server_.readAllStandardError());
                return line.match(serverLog_).hasMatch();
            },
            QStringLiteral("the server to log ") + line.pattern());
        if (!r) r << "\n" << serverLog_.toStdString();
        return r;
    }

    bool speak(const QString& text, const QString& file) {
        return QProcess::execute("flite", {"-voice", "slt", "-t", text, "-o", file}) == 0;
    }

    Result testAsr(const QString& file, const QStringList& extraEnv = {}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir_.path());
        env.insert("XDG_CONFIG_HOME", dir_.filePath(".config"));
        env.insert("XDG_STATE_HOME", dir_.filePath(".state"));
        env.insert("XDG_DATA_HOME", dir_.filePath(".data"));
        env.insert("VQ_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(port_));
        env.insert("VQ_SERVER_TOKEN", "speech-token");
        env.remove("VQ_TEST_REALTIME");
        for (const QString& kv : extraEnv) env.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(env);
        p.start(testenv::binaryDir() + "/src/app/velmora", {"--test-asr", file});
        Result r;
        if (!p.waitForFinished(90000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return r;
    }

    static QString rawText(const Result& r) {
        for (const QString& l : r.lines)
            if (l.startsWith("[raw] (")) return l.section(") ", 1);
        return {};
    }

    QTemporaryDir dir_;
    QProcess server_;
    QString serverLog_;
    int port_ = 0;
};

TEST_F(Speech, SpokenSentenceComesBackThroughPocketsphinx) {
    const QString spoken =
        QStringLiteral("Please send the quarterly report to the finance team by Friday.");
    ASSERT_TRUE(speak(spoken, path("spoken.wav")));
    const Result r = testAsr(path("spoken.wav"), {"VQ_HOTWORDS=Friday,Velmora"});
    ASSERT_EQ(r.status, 0) << r.lines.join('\n').toStdString() << "\n" << serverLog_.toStdString();
    ASSERT_FALSE(r.lines.isEmpty());
    EXPECT_TRUE(r.lines.first().startsWith("[test] "));
    EXPECT_TRUE(r.lines.first().endsWith(
        QStringLiteral(" ms of audio through http://127.0.0.1:%1").arg(port_)));
    const QString heard = rawText(r);
    EXPECT_GE(harness::wordShare(spoken, heard), 0.7) << "heard: " << heard.toStdString();
    if (heard.contains("friday", Qt::CaseInsensitive)) {
        EXPECT_TRUE(heard.contains("Friday")) << "hotword spelling";
    }
    // The reference server cleans up locally (rules) when no LLM is configured.
    EXPECT_TRUE(r.lines.last().startsWith("[polished by="));
    EXPECT_FALSE(r.lines.last().startsWith("[polished by=failed]")) << r.lines.last().toStdString();
    EXPECT_TRUE(serverSays(QRegularExpression(
        QRegularExpression::escape(R"(words spelled out by letter-to-sound: "Velmora")"))));
}

TEST_F(Speech, OtherFormatsAreConvertedFirst) {
    const QString spoken = QStringLiteral("Turn the lights off in the kitchen.");
    ASSERT_TRUE(speak(spoken, path("mono.wav")));
    ASSERT_EQ(
        QProcess::execute("sox", {path("mono.wav"), "-r", "44100", "-c", "2", path("stereo.wav")}),
        0);
    const Result r = testAsr(path("stereo.wav"));
    ASSERT_EQ(r.status, 0) << r.lines.join('\n').toStdString();
    EXPECT_GE(harness::wordShare(spoken, rawText(r)), 0.6) << "heard: " << rawText(r).toStdString();
}

TEST_F(Speech, SilenceAndUnreadableFiles) {
    ASSERT_EQ(QProcess::execute("sox", {"-n", "-r", "16000", "-c", "1", "-b", "16",
                                        path("silence.wav"), "trim", "0", "1.5"}),
              0);
    const Result quiet = testAsr(path("silence.wav"));
    EXPECT_EQ(quiet.status, 1);
    ASSERT_FALSE(quiet.lines.isEmpty());
    EXPECT_TRUE(quiet.lines.last().startsWith("[raw] (") &&
                quiet.lines.last().endsWith("ms total) "))
        << quiet.lines.last().toStdString();

    ASSERT_EQ(QProcess::execute("sox", {"-n", "-r", "16000", "-c", "1", "-b", "16",
                                        path("empty.wav"), "trim", "0", "0"}),
              0);
    const Result empty = testAsr(path("empty.wav"));
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.lines, QStringList{"cannot read " + path("empty.wav")});

    testenv::writeFile(path("junk.wav"), "this is not a sound file");
    const Result junk = testAsr(path("junk.wav"));
    EXPECT_EQ(junk.status, 2);
    EXPECT_EQ(junk.lines, QStringList{"cannot read " + path("junk.wav")});

    const Result missing = testAsr(path("missing.wav"));
    EXPECT_EQ(missing.status, 2);
}

}  // namespace

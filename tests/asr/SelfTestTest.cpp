// "--test-asr" in-process: its output lines, pacing and exit statuses against
// the scripted endpoint, with a converter and cleanup the test controls.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtEndian>

#include "AsrTestUtil.h"
#include "core/AppStyle.h"
#include "core/SelfTest.h"
#include "harness/LogReader.h"
#include "platform/AudioFileConverter.h"
#include "support/TestEnv.h"

namespace {

using namespace asrtest;

QByteArray wav(const QByteArray& pcm) {
    QByteArray h(44, '\0');
    auto put32 = [&](int at, quint32 v) { qToLittleEndian<quint32>(v, h.data() + at); };
    auto put16 = [&](int at, quint16 v) { qToLittleEndian<quint16>(v, h.data() + at); };
    h.replace(0, 4, "RIFF");
    put32(4, quint32(36 + pcm.size()));
    h.replace(8, 8, "WAVEfmt ");
    put32(16, 16);
    put16(20, 1);
    put16(22, 1);
    put32(24, 16000);
    put32(28, 32000);
    put16(32, 2);
    put16(34, 16);
    h.replace(36, 4, "data");
    put32(40, quint32(pcm.size()));
    return h + pcm;
}

class FakeConverter : public platform::AudioFileConverter {
  public:
    QByteArray output;
    std::optional<QString> failure;
    QStringList outputs;
    std::optional<QString> convertToPcm16kWav(const QString&, const QString& out) override {
        outputs << out;
        if (failure) return failure;
        testenv::writeFile(out, output);
        return std::nullopt;
    }
};

class SelfTestRun : public ::testing::Test {
  protected:
    void serve(const std::string& script) {
        service_ = std::make_unique<Service>(script);
        qputenv("VQ_SERVER", serverUrl().toUtf8());
        qputenv("VQ_SERVER_TOKEN", "test-token");
    }
    void TearDown() override {
        qunsetenv("VQ_SERVER");
        qunsetenv("VQ_SERVER_TOKEN");
        qunsetenv("VQ_TEST_REALTIME");
    }
    QString serverUrl() const {
        return QStringLiteral("http://127.0.0.1:%1").arg(service_->port());
    }

    int run(const QByteArray& pcm) {
        converter.output = wav(pcm);
        SelfTest::Options o;
        o.converter = &converter;
        o.print = [this](const QString& line) { lines << line; };
        o.cleanup = cleanup;
        o.warmWaitMs = warmWaitMs;
        return SelfTest::run(QStringLiteral("/any/input.m4a"), o);
    }
    QStringList matching(const QString& prefix) const {
        QStringList out;
        for (const QString& l : lines)
            if (l.startsWith(prefix)) out << l;
        return out;
    }

    std::unique_ptr<Service> service_;
    FakeConverter converter;
    SelfTest::Cleanup cleanup;
    int warmWaitMs = 20000;
    QStringList lines;
};

const char* kSpoken = R"({"connections":[{"steps":[{"at_ms":200,"partial":"hi"},
    {"at_ms":500,"final":"Hi there.","end_ms":500},{"at_finish":true,"final":"More."}]}]})";

TEST_F(SelfTestRun, PrintsEachStepAndExitsZeroAfterTheCleanup) {
    serve(kSpoken);
    int warms = 0;
    QString style, app;
    cleanup.warm = [&](std::function<void()> done) {
        ++warms;
        done();
    };
    cleanup.polish = [&](const QString& text, const QString& s, const QString& a,
                         std::function<void(const QString&, const QString&)> done) {
        style = s;
        app = a;
        done(text.toUpper(), QStringLiteral("stub"));
    };
    EXPECT_EQ(run(pattern(32000)), 0);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.first(), QStringLiteral("[test] 1000 ms of audio through ") + serverUrl());
    EXPECT_TRUE(lines.contains("[partial] hi"));
    EXPECT_FALSE(lines.contains("[partial] ")) << "empty partials are not printed";
    EXPECT_EQ(matching("[sentence] "), (QStringList{"[sentence] Hi there.", "[sentence] More."}));
    EXPECT_TRUE(matching("[final-latency]").isEmpty());
    const QStringList raw = matching("[raw] ");
    ASSERT_EQ(raw.size(), 1);
    EXPECT_TRUE(
        QRegularExpression(R"(^\[raw\] \(\d+ms after last byte, \d+ms total\) Hi there\. More\.$)")
            .match(raw.first())
            .hasMatch())
        << raw.first().toStdString();
    EXPECT_EQ(lines.last(), QStringLiteral("[polished by=stub] HI THERE. MORE."));
    EXPECT_EQ(warms, 2);
    EXPECT_EQ(style, QStringLiteral("generic"));
    EXPECT_EQ(app, QStringLiteral("备忘录"));
    // The converted copy is not left behind.
    ASSERT_EQ(converter.outputs.size(), 1);
    EXPECT_TRUE(converter.outputs.first().startsWith(QDir::tempPath() + "/vq-"));
    EXPECT_FALSE(QFile::exists(converter.outputs.first()));
}

TEST_F(SelfTestRun, RealTimePacingAddsLatencyLinesOnlyForExactlyOne) {
    serve(kSpoken);
    qputenv("VQ_TEST_REALTIME", "1");
    EXPECT_EQ(run(pattern(32000)), 0);
    const QStringList latency = matching("[final-latency] ");
    ASSERT_EQ(latency.size(), 1);
    EXPECT_TRUE(
        QRegularExpression(
            R"(^\[final-latency\] -?\d+ms after this sentence's audio ended \(end_time=500\)$)")
            .match(latency.first())
            .hasMatch())
        << latency.first().toStdString();
    const auto total = QRegularExpression(R"((\d+)ms total)")
                           .match(matching("[raw] ").value(0))
                           .captured(1)
                           .toInt();
    EXPECT_GE(total, 950) << "real time: 1 s of audio takes a second";
    EXPECT_EQ(lines.last(), QStringLiteral("[polished by=failed] Hi there. More."))
        << "no cleanup: as a failed one";

    lines.clear();
    serve(kSpoken);
    qputenv("VQ_TEST_REALTIME", "yes");
    EXPECT_EQ(run(pattern(32000)), 0);
    EXPECT_TRUE(matching("[final-latency]").isEmpty());
}

// A recogniser error, before or while finishing, is the last line, exit 1, and no cleanup.
TEST_F(SelfTestRun, RecogniserErrorIsTheLastLineAndExitsOne) {
    for (const char* script :
         {R"({"connections":[{"steps":[{"at_ms":100,"fail":"Bad","message":"nope"}]}]})",
          R"({"connections":[{"steps":[{"at_ms":200,"final":"Heard."},
              {"at_finish":true,"fail":"Bad","message":"nope"}]}]})"}) {
        serve(script);
        lines.clear();
        bool polished = false;
        cleanup.polish = [&](const QString&, const QString&, const QString&,
                             std::function<void(const QString&, const QString&)>) {
            polished = true;
        };
        EXPECT_EQ(run(pattern(32000)), 1);
        EXPECT_EQ(lines.last(), QStringLiteral("[error] Bad: nope"));
        EXPECT_TRUE(matching("[raw]").isEmpty());
        EXPECT_FALSE(polished);
    }
}

TEST(SelfTestPolishStyle, NamedByLabelElseGeneric) {
    const AppStyle mail = AppStyle::named(QStringLiteral("邮件")).value_or(AppStyle::generic());
    ASSERT_NE(mail.id, QStringLiteral("generic"));
    const struct {
        QString name, id;
    } cases[] = {{mail.label, mail.id},
                 {QString(), QStringLiteral("generic")},
                 {QStringLiteral("no such style"), QStringLiteral("generic")},
                 // An id is not a name.
                 {mail.id, QStringLiteral("generic")}};
    for (const auto& c : cases)
        EXPECT_EQ(SelfTest::polishStyleId(c.name), c.id) << c.name.toStdString();
}

TEST_F(SelfTestRun, EmptyTranscriptExitsOneWithoutCleanup) {
    serve(R"({"connections":[{}]})");
    bool polished = false;
    cleanup.polish = [&](const QString&, const QString&, const QString&,
                         std::function<void(const QString&, const QString&)>) { polished = true; };
    EXPECT_EQ(run(QByteArray(16000, '\0')), 1);
    ASSERT_FALSE(matching("[raw] ").isEmpty());
    EXPECT_TRUE(lines.last().startsWith("[raw] (") && lines.last().endsWith("ms total) "))
        << lines.last().toStdString();
    EXPECT_FALSE(polished);
}

TEST_F(SelfTestRun, UnreadableFilesExitTwo) {
    serve(kSpoken);
    converter.failure = QStringLiteral("not audio");
    SelfTest::Options o;
    o.converter = &converter;
    o.print = [this](const QString& line) { lines << line; };
    EXPECT_EQ(SelfTest::run(QStringLiteral("/data/broken.mp3"), o), 2);
    EXPECT_EQ(lines, QStringList{"cannot read /data/broken.mp3"});

    lines.clear();
    converter.failure.reset();
    EXPECT_EQ(run(QByteArray()), 2) << "a file of just the 44-byte header holds no audio";
    EXPECT_EQ(lines, QStringList{"cannot read /any/input.m4a"});
}

TEST_F(SelfTestRun, AWarmUpThatNeverEndsIsWaitedForOnlyUpToTheLimit) {
    serve(kSpoken);
    cleanup.warm = [](std::function<void()>) {};
    warmWaitMs = 300;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(run(pattern(16000)), 0);
    EXPECT_GE(t.elapsed(), 300);
}

}  // namespace

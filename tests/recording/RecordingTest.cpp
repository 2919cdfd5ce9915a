// The recordings archive with the real AAC encoder: what turns it on, the manifest line, the
// audio decoded back, dropping, the size cap, and what a crash leaves for the next launch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <cmath>
#include <memory>
#include <numbers>

#include "core/Recording.h"
#include "harness/LogReader.h"
#include "support/TestEnv.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

using harness::LogReader;

QByteArray tone(qint64 bytes) {
    QByteArray pcm(bytes, '\0');
    auto* s = reinterpret_cast<qint16*>(pcm.data());
    for (qint64 i = 0; i < bytes / 2; ++i)
        s[i] = static_cast<qint16>(
            8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 16000));
    return pcm;
}

struct Decoded {
    QString error;
    int rate = 0, channels = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    qint64 samples = 0;
};

// Owners for libav's handles, whose frees take the address of the pointer.
struct CloseInput {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct FreeCodec {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FreePacket {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FreeFrame {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};

// Decodes a whole file with libavformat and libavcodec.
Decoded decode(const QString& path) {
    Decoded d;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) {
        d.error = QStringLiteral("can't open");
        return d;
    }
    const std::unique_ptr<AVFormatContext, CloseInput> fmt(opened);
    if (avformat_find_stream_info(fmt.get(), nullptr) < 0 || fmt->nb_streams < 1) {
        d.error = QStringLiteral("no stream");
        return d;
    }
    const AVCodecParameters* par = fmt->streams[0]->codecpar;
    d.codec = par->codec_id;
    d.rate = par->sample_rate;
    d.channels = par->ch_layout.nb_channels;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    const std::unique_ptr<AVCodecContext, FreeCodec> ctx(avcodec_alloc_context3(codec));
    const std::unique_ptr<AVPacket, FreePacket> pkt(av_packet_alloc());
    const std::unique_ptr<AVFrame, FreeFrame> frame(av_frame_alloc());
    if (!codec || !ctx || !pkt || !frame || avcodec_parameters_to_context(ctx.get(), par) < 0 ||
        avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        d.error = QStringLiteral("no decoder");
        return d;
    }
    auto receive = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) d.samples += frame->nb_samples;
    };
    while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
        if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) d.error = QStringLiteral("bad packet");
        av_packet_unref(pkt.get());
        receive();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    receive();
    return d;
}

QString manifest() {
    return Recording::folder() + QStringLiteral("/manifest.jsonl");
}
QString audio(const QString& id) {
    return Recording::folder() + QStringLiteral("/audio/") + id + QStringLiteral(".aac");
}
QList<QByteArray> manifestLines() {
    QList<QByteArray> lines = testenv::readFile(manifest()).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}
unsigned mode(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

class RecordingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qputenv("VQ_KEEP_AUDIO", "1");
        Recording::drain();
        QDir(Recording::folder()).removeRecursively();
        Recording::setCap(Recording::kCap);
        Recording::forgetSize();
        log.mark();
    }
    void TearDown() override {
        qunsetenv("VQ_KEEP_AUDIO");
        qunsetenv("VQ_HOTWORDS");
    }
    // One dictation of `bytes` bytes of tone, kept.
    QString record(qint64 bytes, const QString& outcome = QStringLiteral("typed")) {
        auto r = Recording::start(QStringLiteral("Kate"), QStringLiteral("org.kde.kate"),
                                  QStringLiteral("code"));
        EXPECT_TRUE(r);
        if (!r) return {};
        r->append(tone(bytes));
        r->keep(outcome, QStringLiteral("raw"), QStringLiteral("final"), {});
        Recording::drain();
        return r->id();
    }
    LogReader log;
};

TEST_F(RecordingTest, OnlyExactlyOneTurnsItOn) {
    for (const char* value : {"", "0", "true", "yes", " 1", "1 "}) {
        qputenv("VQ_KEEP_AUDIO", value);
        EXPECT_FALSE(Recording::start(std::nullopt, std::nullopt, QStringLiteral("generic")))
            << value;
        Recording::announce();
    }
    qunsetenv("VQ_KEEP_AUDIO");
    EXPECT_FALSE(Recording::start(std::nullopt, std::nullopt, QStringLiteral("generic")));
    Recording::drain();
    EXPECT_FALSE(QDir(Recording::folder()).exists());
    EXPECT_TRUE(log.text().isEmpty()) << log.text().toStdString();
}

TEST_F(RecordingTest, KeptDictationDecodesBackAndHasItsManifestLine) {
    qputenv("VQ_HOTWORDS", "Velmora,Kubernetes:3");
    Recording::announce();
    auto r = Recording::start(std::nullopt, QStringLiteral("org.gnome.TextEditor"),
                              QStringLiteral("notes"));
    ASSERT_TRUE(r);
    // 2.345 s (75,040 bytes) in uneven chunks: an odd chunk loses its last byte, a one-byte
    // chunk is nothing.
    const QByteArray pcm = tone(75040);
    r->append(pcm.left(3201) + "x");
    r->append(QByteArray(1, 'x'));
    r->append(pcm.mid(3202, 40000 - 3202));
    r->append(pcm.mid(40000));
    r->keep(QStringLiteral("typed"), QStringLiteral("hello a/b"), QStringLiteral("Hello, a/b."),
            {{QStringLiteral("polish_ms"), QVariant()},
             {QStringLiteral("e2e_ms"), 812},
             {QStringLiteral("by"), QStringLiteral("llm")},
             {QStringLiteral("style"), QStringLiteral("chat")}});
    r->append(pcm);  // after keep: the recording is over
    Recording::drain();

    const QList<QByteArray> lines = manifestLines();
    ASSERT_EQ(lines.size(), 1);
    const QByteArray& line = lines[0];
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    // Compact, sorted keys, "/" unescaped: the line is what a sorted serialiser writes.
    EXPECT_EQ(QJsonDocument(o).toJson(QJsonDocument::Compact), line);
    EXPECT_TRUE(line.contains("\"raw\":\"hello a/b\""));
    QStringList keys = o.keys();
    EXPECT_EQ(keys, (QStringList{"at", "audio", "bundle", "by", "dur", "e2e_ms", "final",
                                 "hotwords", "id", "outcome", "raw", "src", "style", "version"}));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^l-[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$"))
                    .match(o["id"].toString())
                    .hasMatch());
    EXPECT_EQ(o["id"].toString(), r->id());
    EXPECT_EQ(o["audio"].toString(), QStringLiteral("audio/") + r->id() + QStringLiteral(".aac"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"))
                    .match(o["at"].toString())
                    .hasMatch())
        << o["at"].toString().toStdString();
    EXPECT_EQ(o["dur"].toDouble(), 2.34);
    EXPECT_EQ(o["src"].toString(), QStringLiteral("velmora"));
    EXPECT_EQ(o["style"].toString(), QStringLiteral("chat")) << "`more` is merged last";
    EXPECT_EQ(o["e2e_ms"].toInt(), 812);
    EXPECT_EQ(o["hotwords"].toObject(), (QJsonObject{{"Velmora", 50}, {"Kubernetes", 3}}));

    const Decoded d = decode(audio(r->id()));
    EXPECT_TRUE(d.error.isEmpty()) << d.error.toStdString();
    EXPECT_EQ(d.codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(d.rate, 16000);
    EXPECT_EQ(d.channels, 1);
    // 37,520 samples, plus the encoder's priming and the last frame's padding.
    EXPECT_GE(d.samples, 37520);
    EXPECT_LE(d.samples, 37520 + 3 * 1024);

    EXPECT_EQ(mode(Recording::folder()), 0700u);
    EXPECT_EQ(mode(Recording::folder() + QStringLiteral("/audio")), 0700u);
    EXPECT_EQ(mode(manifest()), 0600u);
    EXPECT_EQ(mode(audio(r->id())), 0600u);
}

TEST_F(RecordingTest, DroppedRecordingsLeaveNothing) {
    auto discarded = Recording::start(std::nullopt, std::nullopt, QStringLiteral("generic"));
    auto abandoned = Recording::start(std::nullopt, std::nullopt, QStringLiteral("generic"));
    ASSERT_TRUE(discarded && abandoned);
    discarded->append(tone(32000));
    abandoned->append(tone(32000));
    Recording::drain();
    ASSERT_TRUE(QFile::exists(audio(discarded->id())));
    const QString abandonedId = abandoned->id();
    discarded->discard();
    discarded->keep(QStringLiteral("typed"), {}, {}, {});  // over: no line
    abandoned.reset();  // let go without keep or discard, as a torn-down dictation may
    Recording::drain();
    EXPECT_FALSE(QFile::exists(audio(discarded->id())));
    EXPECT_FALSE(QFile::exists(audio(abandonedId)));
    EXPECT_FALSE(QFile::exists(manifest()));
}

TEST_F(RecordingTest, OldestGoFirstPastTheCap) {
    const QString first = record(32000);
    const qint64 one = QFileInfo(audio(first)).size();
    ASSERT_GT(one, 1000);
    // Room for about two and a half.
    Recording::setCap(one * 5 / 2);
    const QString second = record(32000);
    const QString third = record(32000);
    EXPECT_FALSE(QFile::exists(audio(first)));
    EXPECT_TRUE(QFile::exists(audio(second)));
    EXPECT_TRUE(QFile::exists(audio(third)));
    const QList<QByteArray> lines = manifestLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(second.toUtf8()));
    EXPECT_TRUE(lines[1].contains(third.toUtf8()));
    EXPECT_EQ(mode(manifest()), 0600u);
}

TEST_F(RecordingTest, AFullArchiveRecordsNothingNew) {
    const QString only = record(64000);
    const qint64 size = QFileInfo(audio(only)).size();
    // A new process over an archive of exactly the cap: the one kept entry cannot go.
    Recording::setCap(size);
    Recording::forgetSize();
    log.mark();
    auto r = Recording::start(std::nullopt, std::nullopt, QStringLiteral("generic"));
    ASSERT_TRUE(r);
    r->append(tone(32000));
    r->keep(QStringLiteral("typed"), {}, {}, {});
    Recording::drain();
    EXPECT_TRUE(log.has(QStringLiteral("keeping no more"))) << log.text().toStdString();
    EXPECT_FALSE(QFile::exists(audio(r->id())));
    EXPECT_EQ(manifestLines().size(), 1);
}

TEST_F(RecordingTest, WhatACrashLeavesIsMendedAtTheNextLaunch) {
    const QString kept = record(16000);
    // The crash: one recording's audio complete but never given its line, another torn
    // mid-write, and the manifest torn in the middle of a line.
    const QString unlisted = QStringLiteral("l-00000000-0000-0000-0000-000000000001");
    const QString torn = QStringLiteral("l-00000000-0000-0000-0000-000000000002");
    ASSERT_TRUE(QFile::copy(audio(kept), audio(unlisted)));
    ASSERT_TRUE(testenv::writeFile(audio(torn), testenv::readFile(audio(kept)).left(100)));
    QFile m(manifest());
    ASSERT_TRUE(m.open(QIODevice::Append));
    m.write("{\"at\":\"2026-01-01T00:00:00.000Z\",\"audio\":\"audio/" + torn.toUtf8() + ".aac");
    m.close();

    Recording::forgetSize();
    Recording::announce();
    const QString next = record(16000);
    EXPECT_FALSE(QFile::exists(audio(unlisted)));
    EXPECT_FALSE(QFile::exists(audio(torn)));
    // Every line is whole and names audio that is there.
    const QList<QByteArray> lines = manifestLines();
    ASSERT_EQ(lines.size(), 2);
    for (const QByteArray& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        ASSERT_FALSE(o.isEmpty()) << line.toStdString();
        EXPECT_TRUE(QFile::exists(Recording::folder() + QLatin1Char('/') + o["audio"].toString()));
    }
    EXPECT_TRUE(lines[1].contains(next.toUtf8()));
}

}  // namespace

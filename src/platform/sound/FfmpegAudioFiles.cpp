#include "platform/sound/FfmpegAudioFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace platform::sound {

namespace {

QString describe(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return QString::fromUtf8(text);
}

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
// Closes the file (when open) and frees the muxer.
struct FormatFree {
    void operator()(AVFormatContext* f) const {
        if (f->pb) avio_closep(&f->pb);
        avformat_free_context(f);
    }
};

bool syncToDisk(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && ::fsync(f.handle()) == 0;
}

class AacWriter : public AudioFileWriter {
  public:
    static std::unique_ptr<AacWriter> create(const QString& path, int rate, int channels,
                                             int bitRate, QString* error) {
        std::unique_ptr<AacWriter> w(new AacWriter);
        if (auto problem = w->init(path, rate, channels, bitRate)) {
            *error = *problem;
            w->format_.reset();
            QFile::remove(path);
            return nullptr;
        }
        return w;
    }

    std::optional<QString> write(const qint16* samples, qsizetype frames) override {
        if (closed_) return QStringLiteral("the file is closed");
        const int ch = codec_->ch_layout.nb_channels;
        for (qsizetype i = 0; i < frames; ++i) {
            for (int c = 0; c < ch; ++c)
                pending_[static_cast<size_t>(c)].push_back(static_cast<float>(samples[i * ch + c]) /
                                                           32768.0f);
            if (static_cast<int>(pending_[0].size()) == codec_->frame_size) {
                if (auto problem = encodePending()) return problem;
            }
        }
        return std::nullopt;
    }

    std::optional<QString> close() override {
        if (closed_) return std::nullopt;
        closed_ = true;
        if (!pending_[0].empty())
            if (auto problem = encodePending()) return problem;
        if (auto problem = encode(nullptr)) return problem;
        if (const int err = av_write_trailer(format_.get()); err < 0) return describe(err);
        format_.reset();  // closes the file
        if (!syncToDisk(path_)) return QStringLiteral("can't sync to disk");
        return std::nullopt;
    }

  private:
    AacWriter() = default;

    std::optional<QString> init(const QString& path, int rate, int channels, int bitRate) {
        path_ = path;
        const QByteArray file = QFile::encodeName(path);
        // Made owner-only before the muxer opens (and truncates) it.
        QFile made(path);
        if (!made.open(QIODevice::WriteOnly | QIODevice::Truncate,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
            !made.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return made.errorString();
        made.close();

        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) return QStringLiteral("no AAC encoder");
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_) return QStringLiteral("out of memory");
        codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec_->sample_rate = rate;
        av_channel_layout_default(&codec_->ch_layout, channels);
        codec_->bit_rate = bitRate;
        codec_->time_base = AVRational{1, rate};

        AVFormatContext* raw = nullptr;
        if (const int err = avformat_alloc_output_context2(&raw, nullptr, "adts", file.constData());
            err < 0 || !raw)
            return describe(err);
        format_.reset(raw);
        if (format_->oformat->flags & AVFMT_GLOBALHEADER)
            codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (const int err = avcodec_open2(codec_.get(), codec, nullptr); err < 0)
            return describe(err);
        AVStream* st = avformat_new_stream(format_.get(), nullptr);
        if (!st) return QStringLiteral("out of memory");
        st->time_base = codec_->time_base;
        if (const int err = avcodec_parameters_from_context(st->codecpar, codec_.get()); err < 0)
            return describe(err);
        if (const int err = avio_open(&format_->pb, file.constData(), AVIO_FLAG_WRITE); err < 0)
            return describe(err);
        if (const int err = avformat_write_header(format_.get(), nullptr); err < 0)
            return describe(err);

        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!frame_ || !packet_) return QStringLiteral("out of memory");
        pending_.resize(static_cast<size_t>(channels));
        for (auto& p : pending_) p.reserve(static_cast<size_t>(codec_->frame_size));
        return std::nullopt;
    }

    // Encodes the buffered samples as one frame (the last one may be short).
    std::optional<QString> encodePending() {
        const int n = static_cast<int>(pending_[0].size());
        const bool shortOk = codec_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
        const int frameSamples = shortOk ? n : codec_->frame_size;
        av_frame_unref(frame_.get());
        frame_->nb_samples = frameSamples;
        frame_->format = codec_->sample_fmt;
        frame_->sample_rate = codec_->sample_rate;
        if (const int err = av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout); err < 0)
            return describe(err);
        if (const int err = av_frame_get_buffer(frame_.get(), 0); err < 0) return describe(err);
        for (size_t c = 0; c < pending_.size(); ++c) {
            auto* out = reinterpret_cast<float*>(frame_->data[c]);
            std::copy(pending_[c].begin(), pending_[c].end(), out);
            std::fill(out + n, out + frameSamples, 0.0f);
            pending_[c].clear();
        }
        frame_->pts = samples_;
        samples_ += frameSamples;
        return encode(frame_.get());
    }

    // Sends a frame (null: the end) and writes every packet the encoder gives back.
    std::optional<QString> encode(AVFrame* frame) {
        if (const int err = avcodec_send_frame(codec_.get(), frame); err < 0) return describe(err);
        for (;;) {
            const int got = avcodec_receive_packet(codec_.get(), packet_.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return std::nullopt;
            if (got < 0) return describe(got);
            packet_->stream_index = 0;
            av_packet_rescale_ts(packet_.get(), codec_->time_base, format_->streams[0]->time_base);
            const int err = av_write_frame(format_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (err < 0) return describe(err);
        }
    }

    QString path_;
    std::unique_ptr<AVCodecContext, CodecFree> codec_;
    std::unique_ptr<AVFormatContext, FormatFree> format_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
    std::unique_ptr<AVPacket, PacketFree> packet_;
    std::vector<std::vector<float>> pending_;
    int64_t samples_ = 0;
    bool closed_ = false;
};

class FfmpegAudioFiles : public AudioFiles {
  public:
    FfmpegAudioFiles() {
        // FFmpeg's own chatter would go to standard error; failures come back as values.
        static std::once_flag quiet;
        std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    }
    std::unique_ptr<AudioFileWriter> createAac(const QString& path, int sampleRate, int channels,
                                               int bitRate, QString* error) override {
        QString problem;
        auto w = AacWriter::create(path, sampleRate, channels, bitRate, &problem);
        if (!w && error) *error = problem;
        return w;
    }
};

}  // namespace

std::unique_ptr<AudioFiles> makeAudioFiles() {
    return std::make_unique<FfmpegAudioFiles>();
}

}  // namespace platform::sound

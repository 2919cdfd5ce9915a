#include "platform/sound/SoundFile.h"

#include <sndfile.h>

namespace platform::sound {

void SoundFileReader::Closer::operator()(SNDFILE* file) const {
    sf_close(file);
}

std::unique_ptr<SoundFileReader> SoundFileReader::open(const QString& path, QString* error) {
    SF_INFO info{};
    const QByteArray name = path.toLocal8Bit();
    std::unique_ptr<SNDFILE, Closer> f(sf_open(name.constData(), SFM_READ, &info));
    if (!f) {
        if (error) *error = QString::fromUtf8(sf_strerror(nullptr));
        return nullptr;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        if (error) *error = QStringLiteral("no audio in the file");
        return nullptr;
    }
    // Integer files come out scaled to [-1, 1); float files are passed through as they are.
    sf_command(f.get(), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    std::unique_ptr<SoundFileReader> r(new SoundFileReader);
    r->file_ = std::move(f);
    r->format_ =
        AudioFormat{static_cast<double>(info.samplerate), info.channels, SampleType::float32, true};
    r->declared_ = info.frames;
    return r;
}

SoundFileReader::~SoundFileReader() = default;

qint64 SoundFileReader::read(float* dst, qint64 frames) {
    const sf_count_t n = sf_readf_float(file_.get(), dst, frames);
    if (n < 0 || (n < frames && sf_error(file_.get()) != SF_ERR_NO_ERROR)) {
        error_ = QString::fromUtf8(sf_strerror(file_.get()));
        return -1;
    }
    return n;
}

std::optional<DecodedSound> readSoundFile(const QString& path, QString* error, qint64 maxFrames) {
    auto reader = SoundFileReader::open(path, error);
    if (!reader) return std::nullopt;
    DecodedSound sound;
    sound.format = reader->format();
    const int ch = sound.format.channels;
    constexpr qint64 kBlock = 8192;
    qint64 total = 0;
    for (;;) {
        if (total >= maxFrames) {
            if (error) *error = QStringLiteral("file longer than %1 frames").arg(maxFrames);
            return std::nullopt;
        }
        sound.samples.resize(static_cast<size_t>((total + kBlock) * ch));
        const qint64 n = reader->read(sound.samples.data() + total * ch, kBlock);
        if (n < 0) {
            if (error) *error = reader->error();
            return std::nullopt;
        }
        total += n;
        if (n == 0) break;
    }
    sound.samples.resize(static_cast<size_t>(total * ch));
    return sound;
}

}  // namespace platform::sound

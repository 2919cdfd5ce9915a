#include "platform/sound/SndfileFileConverter.h"

#include <QSaveFile>
#include <QtEndian>
#include <cstring>
#include <vector>

#include "core/Log.h"
#include "platform/sound/SoundFile.h"
#include "platform/sound/SoxrResampler.h"

namespace platform::sound {

namespace {
constexpr quint32 kMaxData = 0xFFFFFFFFu - 36;  // what a RIFF size field can describe

void put32(char* p, quint32 v) {
    qToLittleEndian(v, p);
}
void put16(char* p, quint16 v) {
    qToLittleEndian(v, p);
}
}  // namespace

QByteArray canonicalWavHeader(quint32 dataBytes) {
    QByteArray h(44, '\0');
    char* p = h.data();
    std::memcpy(p, "RIFF", 4);
    put32(p + 4, 36 + dataBytes);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    put32(p + 16, 16);     // fmt chunk size
    put16(p + 20, 1);      // PCM
    put16(p + 22, 1);      // mono
    put32(p + 24, 16000);  // sample rate
    put32(p + 28, 32000);  // byte rate
    put16(p + 32, 2);      // block align
    put16(p + 34, 16);     // bits per sample
    std::memcpy(p + 36, "data", 4);
    put32(p + 40, dataBytes);
    return h;
}

std::optional<QString> SndfileFileConverter::convertToPcm16kWav(const QString& input,
                                                                const QString& output) {
    auto fail = [&](const QString& reason) -> std::optional<QString> {
        Log::write(QStringLiteral("Audio file: couldn't convert ") + input + QStringLiteral(" (") +
                   reason + QStringLiteral(")"));
        return reason;
    };
    QString error;
    auto reader = SoundFileReader::open(input, &error);
    if (!reader) return fail(error);
    auto resampler = SoxrResampler::create(reader->format(), SoxrResampler::Channels::mix, &error);
    if (!resampler) return fail(error);

    QSaveFile out(output);  // nothing appears at `output` unless the whole file was written
    const auto cantWrite = [&] {
        return fail(QStringLiteral("can't write ") + output + QStringLiteral(": ") +
                    out.errorString());
    };
    if (!out.open(QIODevice::WriteOnly)) return cantWrite();
    if (out.write(canonicalWavHeader(0)) != 44) return cantWrite();

    const int ch = reader->format().channels;
    constexpr qint64 kBlock = 4096;
    std::vector<float> block(static_cast<size_t>(kBlock * ch));
    const void* planes[1] = {block.data()};
    QByteArray pcm;
    quint64 dataBytes = 0;
    qint64 frames = 0;
    for (bool more = true; more;) {
        pcm.clear();
        const qint64 n = reader->read(block.data(), kBlock);
        if (n < 0)
            return fail(
                QStringLiteral("damaged after %1 s: %2")
                    .arg(static_cast<double>(frames) / reader->format().sampleRate, 0, 'f', 2)
                    .arg(reader->error()));
        if (n == 0) {
            if (!resampler->finish(pcm)) return fail(resampler->lastError());
            more = false;
        } else {
            frames += n;
            const AudioBuffer buf{reader->format(), static_cast<int>(n), planes};
            if (!resampler->convert(buf, pcm)) return fail(resampler->lastError());
        }
        dataBytes += static_cast<quint64>(pcm.size());
        if (dataBytes > kMaxData) return fail(QStringLiteral("too long for a WAVE file"));
        if (!pcm.isEmpty() && out.write(pcm) != pcm.size()) return cantWrite();
    }
    const qint64 declared = reader->declaredFrames();
    if (declared > 0 && declared < (qint64(1) << 62) && frames < declared)
        Log::write(QStringLiteral("Audio file: ") + input +
                   QStringLiteral(" ends early (%1 of %2 frames), converted what was there")
                       .arg(frames)
                       .arg(declared));
    if (!out.seek(0) || out.write(canonicalWavHeader(static_cast<quint32>(dataBytes))) != 44)
        return cantWrite();
    if (!out.commit()) return cantWrite();
    return std::nullopt;
}

std::unique_ptr<AudioFileConverter> makeAudioFileConverter() {
    return std::make_unique<SndfileFileConverter>();
}

}  // namespace platform::sound

#pragma once
#include <memory>

#include "platform/AudioFileConverter.h"

namespace platform::sound {

// Any file libsndfile reads → canonical WAVE (44-byte header, 16 kHz, mono, s16le), through
// the same soxr conversion as the microphone, with the channels averaged. Needs no display.
// Thread: any; each conversion is independent.
class SndfileFileConverter : public AudioFileConverter {
  public:
    std::optional<QString> convertToPcm16kWav(const QString& input, const QString& output) override;
};

std::unique_ptr<AudioFileConverter> makeAudioFileConverter();

// The canonical 44-byte header for `dataBytes` bytes of 16 kHz mono s16le.
QByteArray canonicalWavHeader(quint32 dataBytes);

}  // namespace platform::sound

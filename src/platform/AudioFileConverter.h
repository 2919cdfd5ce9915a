#pragma once
#include <QString>
#include <optional>

namespace platform {

// Turns any sound file the platform can read into a canonical WAVE file: a
// 44-byte header, 16 kHz, mono, signed 16-bit little-endian. Thread: any.
class AudioFileConverter {
  public:
    virtual ~AudioFileConverter() = default;
    // Empty on success, else a reason text.
    virtual std::optional<QString> convertToPcm16kWav(const QString& input,
                                                      const QString& output) = 0;
};

}  // namespace platform

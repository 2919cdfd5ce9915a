#pragma once
#include "platform/AudioFileConverter.h"

namespace platform::x11 {

// Stand-in converter until the libsndfile/libsoxr one is in this build: runs
// the `sox` command-line tool and checks that what it wrote is the canonical
// 44-byte-header 16 kHz mono 16-bit WAVE file the callers rely on.
class SoxCliConverter : public AudioFileConverter {
  public:
    std::optional<QString> convertToPcm16kWav(const QString& input, const QString& output) override;
};

// True when `header` (at least 44 bytes) is a canonical 16 kHz mono 16-bit PCM WAVE header.
bool isCanonicalPcm16kHeader(const QByteArray& header);

}  // namespace platform::x11

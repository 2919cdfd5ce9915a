#pragma once
#include <QByteArray>

#include "platform/AudioEngine.h"

namespace platform {

// A streaming sample-rate converter to the app's PCM: 16,000 Hz, one channel, signed 16-bit
// little-endian. It keeps its filter state between calls, so consecutive buffers come out as
// one continuous stream whose length never drifts from input length × 16,000 ÷ input rate.
// Multi-channel input keeps channel 0 (the capture's rule). One thread at a time.
class AudioConverter {
  public:
    virtual ~AudioConverter() = default;
    virtual const AudioFormat& inputFormat() const = 0;
    // Appends the samples for `in` (which must be in inputFormat()) to `out`; may append
    // nothing while the filter fills. False on error, `out` unchanged.
    virtual bool convert(const AudioBuffer& in, QByteArray& out) = 0;
    // End of the stream: appends what the filter still holds. The converter is spent.
    virtual bool finish(QByteArray& out) = 0;
};

}  // namespace platform

#pragma once
#include <QString>
#include <memory>
#include <type_traits>
#include <vector>

#include "platform/AudioConverter.h"

typedef struct soxr* soxr_t;

namespace platform::sound {

// libsoxr behind the AudioConverter seam: any rate, any channel count, float or integer,
// interleaved or planar in; 16 kHz mono s16le out. Channel 0 is kept (the capture's rule) or
// all channels are averaged (for files). soxr tracks the exact rational position itself, so
// the output length stays input × 16,000 ÷ rate however long the stream runs.
// Thread: any, one at a time (the capture's delivery thread, or a file conversion's).
class SoxrResampler : public AudioConverter {
  public:
    enum class Channels { first, mix };
    static constexpr double kOutputRate = 16000.0;

    // Null with a reason when the format is unusable or soxr refuses it.
    static std::unique_ptr<SoxrResampler> create(const AudioFormat& from, Channels mode,
                                                 QString* error = nullptr);
    ~SoxrResampler() override;
    SoxrResampler(const SoxrResampler&) = delete;
    SoxrResampler& operator=(const SoxrResampler&) = delete;

    const AudioFormat& inputFormat() const override { return from_; }
    bool convert(const AudioBuffer& in, QByteArray& out) override;
    bool finish(QByteArray& out) override;

    // Samples the filter holds back at the moment (at the output rate).
    double delaySamples() const;
    QString lastError() const { return lastError_; }

  private:
    struct Deleter {
        void operator()(soxr_t soxr) const;
    };
    using Soxr = std::unique_ptr<std::remove_pointer_t<soxr_t>, Deleter>;

    SoxrResampler(const AudioFormat& from, Channels mode, Soxr soxr);
    // The buffer as mono float: a pointer into `in` when it is already mono float, else scratch.
    const float* monoOf(const AudioBuffer& in);
    bool run(const float* in, size_t frames, bool flush, QByteArray& out);

    AudioFormat from_;
    Channels mode_;
    Soxr soxr_;
    bool finished_ = false;
    std::vector<float> mono_;
    std::vector<short> outScratch_;
    QString lastError_;
};

}  // namespace platform::sound

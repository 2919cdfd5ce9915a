#pragma once
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "platform/AudioEngine.h"

typedef struct sf_private_tag SNDFILE;

namespace platform::sound {

// A sound file read through libsndfile (WAV, FLAC, Ogg/Vorbis, Opus, AIFF, ...), block by
// block, as interleaved float samples in [-1, 1] at the file's own rate and channel count.
// Thread: any, one at a time.
class SoundFileReader {
  public:
    // Null with a reason when libsndfile cannot read the file.
    static std::unique_ptr<SoundFileReader> open(const QString& path, QString* error);
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    // Float, interleaved, the file's rate and channels.
    const AudioFormat& format() const { return format_; }
    // Frames the header announces (may be more than the file holds when it was cut short).
    qint64 declaredFrames() const { return declared_; }
    // Reads up to `frames` frames into dst (frames × channels floats). 0 at the end; -1 on a
    // decoding error (see error()).
    qint64 read(float* dst, qint64 frames);
    QString error() const { return error_; }

  private:
    struct Closer {
        void operator()(SNDFILE* file) const;
    };
    SoundFileReader() = default;
    std::unique_ptr<SNDFILE, Closer> file_;
    AudioFormat format_;
    qint64 declared_ = 0;
    QString error_;
};

// A whole sound file in memory.
struct DecodedSound {
    AudioFormat format;          // float, interleaved
    std::vector<float> samples;  // frames × channels
    qint64 frames() const {
        return format.channels ? static_cast<qint64>(samples.size()) / format.channels : 0;
    }
};

// Reads a whole file; a reason text instead when it cannot be read or decoding fails.
std::optional<DecodedSound> readSoundFile(const QString& path, QString* error,
                                          qint64 maxFrames = qint64(1) << 31);

}  // namespace platform::sound

#pragma once
#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

namespace platform {

// One compressed audio file being written from 16-bit integer, interleaved PCM.
// Thread: one at a time.
class AudioFileWriter {
  public:
    virtual ~AudioFileWriter() = default;
    // `frames` frames of interleaved samples; empty on success, else the error's description.
    virtual std::optional<QString> write(const qint16* samples, qsizetype frames) = 0;
    // Encodes what is still buffered, ends the file and puts it on the disk; empty on success.
    // A writer dropped without close leaves an unfinished file behind.
    virtual std::optional<QString> close() = 0;
};

// Makes audio files. Thread: any.
class AudioFiles {
  public:
    virtual ~AudioFiles() = default;
    // A new AAC file (MPEG-4 AAC in ADTS framing) at `path`, owner-only (0600), replacing any
    // file there. Null with *error set when it cannot be made.
    virtual std::unique_ptr<AudioFileWriter> createAac(const QString& path, int sampleRate,
                                                       int channels, int bitRate,
                                                       QString* error) = 0;
};

}  // namespace platform

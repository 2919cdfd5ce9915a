#pragma once
#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace platform {
class AudioFileConverter;
}

// "--test-asr FILE": streams a sound file through the recogniser exactly as the
// microphone would, prints what comes back and how fast, has it cleaned, prints
// that, and gives the process's exit status.
namespace SelfTest {

// The cleanup calls the self-test makes (the cleanup client's warm-up and polish).
struct Cleanup {
    // A forced warm-up; `done` runs once it has finished, on any thread.
    std::function<void(std::function<void()> done)> warm;
    // `done(text, by)` runs on the main thread.
    std::function<void(const QString& text, const QString& style, const QString& appName,
                       std::function<void(const QString& text, const QString& by)> done)>
        polish;
};

// The real cleanup client's calls: forced warm-ups (a warm-up within the last 20 s must not
// stand in for the second) and its cleanup.
Cleanup polisherCleanup();

struct Options {
    platform::AudioFileConverter* converter = nullptr;
    Cleanup cleanup;
    // Where output lines go (without their line feed); standard output by default.
    std::function<void(const QString& line)> print;
    int warmWaitMs = 20000;
};

// Runs the test on the calling (main) thread's event loop; the exit status:
// 0 after the polished line, 1 after an error or an empty transcript, 2 when
// the file cannot be read.
int run(const QString& wavPath, const Options& options);

// The style id "--test-polish STYLE" cleans with: the application style whose label is
// `name`, else "generic" (an unknown name, or none).
QString polishStyleId(const QString& name);

// The file's audio as raw 16 kHz mono 16-bit PCM; none when it cannot be
// converted or holds nothing past the 44-byte header.
std::optional<QByteArray> loadPCM16k(const QString& path, platform::AudioFileConverter& converter);

}  // namespace SelfTest

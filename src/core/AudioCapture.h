#pragma once
#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace platform {
class AudioInput;
struct AudioBuffer;
}  // namespace platform

// The default microphone as a stream of 16 kHz mono signed 16-bit chunks (for the recogniser
// and the recordings) and of loudness levels, one per 20 ms (for the pill's waveform).
// Start, stop, warm-up, the silence watchdog and every engine rebuild run on one serial
// worker, "velmora.audio"; the public calls only post to it and never wait for it.
//
// Callback threads: onChunk on the engine's delivery thread; onLevel and onError on the
// main thread. No callback runs after stop() has returned (stop() waits out a chunk being
// handed over, so onChunk must not call stop()).
class AudioCapture {
  public:
    using LevelCallback = std::function<void(float rms)>;
    using ChunkCallback = std::function<void(const QByteArray& pcm)>;
    using ErrorCallback = std::function<void(const QString& message)>;

    static constexpr int kTapBufferFrames = 1024;
    static constexpr int kWatchdogMs = 900;
    static constexpr int kSlowStartMs = 301;
    static inline const char* const kCantReach = "Can't reach the mic, try relaunching me";
    static inline const char* const kGoneQuiet = "The mic's gone quiet, try relaunching me";

    AudioCapture();  // the installed platform's microphone
    explicit AudioCapture(platform::AudioInput& input);
    ~AudioCapture();  // stops and waits for the worker
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Opens the input device once with a throw-away engine so the first dictation starts fast.
    void warmUp();
    void start(LevelCallback onLevel, ChunkCallback onChunk, ErrorCallback onError);
    void stop();
    // Whether the microphone can be used: asked off the main thread, answered on it (not at
    // all when the platform is replaced first). Called on the main thread.
    static void requestPermission(std::function<void(bool granted)> completion);

    // Blocks until the work posted so far to "velmora.audio" has run (tests, shutdown).
    void waitForQueue();

    // One level: the RMS of a window that starts `offset` frames into the buffer.
    struct Level {
        int offset = 0;
        float rms = 0;
    };
    // 20 ms windows; a tail shorter than half a window joins the window before it.
    static std::vector<Level> levels(const float* mono, int frames, double rate);
    // Channel 0 of a buffer as mono float: a pointer into the buffer when it is float and the
    // channel is contiguous already, else into `scratch`. Null when the buffer has no samples.
    static const float* channel0Mono(const platform::AudioBuffer& in, std::vector<float>& scratch);

  private:
    struct Impl;
    std::shared_ptr<Impl> d;
};

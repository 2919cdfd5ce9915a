#pragma once
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

class AudioConverter;

enum class SampleType { float32, int16, int32 };

// The layout of a stream of samples as a device (or a file) hands it over.
struct AudioFormat {
    double sampleRate = 0;
    int channels = 0;
    SampleType sampleType = SampleType::float32;
    bool interleaved = true;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
    bool isValid() const { return sampleRate > 0 && channels > 0; }
    int bytesPerSample() const { return sampleType == SampleType::int16 ? 2 : 4; }
    // Planes a buffer in this format has: one when interleaved, else one per channel.
    int planeCount() const { return interleaved ? 1 : channels; }
};

// One buffer of captured audio. The sample memory belongs to the engine and is valid only
// during the tap call. Interleaved: planes[0] holds frames × channels samples. Planar:
// planes[c] holds the frames of channel c.
struct AudioBuffer {
    AudioFormat format;
    int frames = 0;
    const void* const* planes = nullptr;
};

// One input device session, modelled on a pull-free capture graph: install a tap on the
// input, prepare, start; buffers then arrive on the engine's own delivery thread.
// Calls come from one thread at a time (the capture's serial worker).
class AudioEngine {
  public:
    using Tap = std::function<void(const AudioBuffer&)>;
    virtual ~AudioEngine() = default;

    // The format of the default input device; opens the device as a side effect, which is
    // what a warm-up wants. A reason text when no input can be reached.
    virtual std::optional<AudioFormat> inputFormat(QString* error = nullptr) = 0;
    // The tap receives every buffer in the device's own format; bufferFrames is a wish.
    virtual void installTap(int bufferFrames, Tap tap) = 0;
    // After this returns the tap is not running and is never called again.
    virtual void removeTap() = 0;
    virtual void prepare() = 0;
    // Empty on success, else the error's description.
    virtual std::optional<QString> start() = 0;
    virtual bool isRunning() const = 0;
    virtual void stop() = 0;
    // Called at most once per engine, on any thread, when the input's configuration changed
    // under it: another default device, a new format, the device gone. The engine is then
    // stale and should be replaced. Setting it to null waits for a running call to end.
    virtual void setConfigurationChangeHandler(std::function<void()> handler) = 0;
};

// Makes engines and the converters that turn their audio into the app's PCM.
// Thread: any.
class AudioInput {
  public:
    virtual ~AudioInput() = default;
    virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
    // A streaming converter from `from` to 16 kHz mono signed 16-bit; null when `from` is
    // not something it can convert.
    virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from) = 0;
};

}  // namespace platform

#pragma once
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/AudioConverter.h"
#include "platform/AudioEngine.h"

// A scripted microphone for tests and headless runs. It plays a sound file (read through the
// same libsndfile layer as file conversion) or generated samples, in any format, at real time
// or faster, and can be told to stay silent, drop out, fail to start or die.
namespace platform::fake {

struct FakeMicScript {
    // What the device delivers. `audio` is interleaved float at format's rate and channels;
    // it is converted to format's sample type and layout on delivery. After its end the
    // device goes on with silence (or starts over with `loop`).
    AudioFormat format{48000, 1, SampleType::float32, false};
    std::vector<float> audio;
    bool loop = false;
    double speed = 1.0;  // 1 = real time, 4 = four times as fast

    bool noDevice = false;      // no input at all: inputFormat and start fail
    int failStarts = 0;         // the next N starts fail
    int startDelayMs = 0;       // every start takes this long (a slow device)
    bool silent = false;        // started engines deliver nothing
    bool emptyBuffers = false;  // started engines deliver only buffers of zero frames
    // Stretches of stream time, [from, to) in ms since start, in which no buffer arrives.
    std::vector<std::pair<qint64, qint64>> dropouts;
    // The device dies this long after start: buffers stop, the engine reports a configuration
    // change, and the input counts as gone (noDevice) from then on. -1: never.
    qint64 dieAfterMs = -1;
};

// Sine samples, interleaved, the same in every channel.
std::vector<float> tone(double hz, double amplitude, double rate, int channels, double seconds);

// Thread: any. The script and the engine list are guarded by one mutex; each started
// engine delivers on a thread of its own, like a real device.
class FakeAudioInput : public AudioInput {
  public:
    FakeAudioInput();
    ~FakeAudioInput() override;

    std::unique_ptr<AudioEngine> makeEngine() override;
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from) override;

    FakeMicScript script() const;
    void setScript(FakeMicScript s);
    void update(const std::function<void(FakeMicScript&)>& change);
    // Plays a sound file in its own rate and channels, as float; a reason when unreadable.
    std::optional<QString> playFile(const QString& path, double speed = 1.0);

    // Tells every running engine that the configuration changed (a new default device).
    // Engines made afterwards use the script as it then is.
    void changeConfiguration();
    // The running engines switch to `format` without any notification (a device that
    // changes its buffers under the app).
    void changeFormatInPlace(const AudioFormat& format);

    // Counters, for tests.
    std::atomic<int> enginesMade{0};
    std::atomic<int> formatReads{0};
    std::atomic<int> startsTried{0};
    std::atomic<int> startsFailed{0};
    std::atomic<int> liveEngines{0};
    std::atomic<int> runningEngines{0};
    std::atomic<qint64> buffersDelivered{0};

    class Engine;

  private:
    friend class Engine;
    void enroll(Engine* e);
    void leave(Engine* e);

    mutable std::mutex mutex_;
    FakeMicScript script_;
    std::set<Engine*> engines_;
};

}  // namespace platform::fake

#pragma once
#include <memory>

#include "platform/AudioOutput.h"

namespace platform::x11 {

// The speakers on PulseAudio: the default sink. One connection, kept between calls and made
// again when the server went away, driven by a main loop of its own on the calling thread,
// so each call is a few round trips with a time limit and no thread. A sink is playing when
// its state is running; its mute switch always exists; element 0 is its whole volume (usable
// when its channels are level, so that setting it keeps the balance), element n its n-th
// channel.
// Thread: one at a time.
class PulseAudioOutput : public AudioOutput {
  public:
    explicit PulseAudioOutput(int timeoutMs = 1000);
    ~PulseAudioOutput() override;

    std::optional<quint32> defaultDevice() override;
    std::optional<bool> isPlaying(quint32 device) override;
    std::optional<bool> mute(quint32 device) override;
    int setMute(quint32 device, bool on) override;
    std::optional<float> volume(quint32 device, quint32 element) override;
    int setVolume(quint32 device, quint32 element, float value) override;
    QString deviceName(quint32 device) override;
    std::optional<quint32> deviceNamed(const QString& name) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace platform::x11

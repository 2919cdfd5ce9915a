#pragma once
#include <QString>
#include <memory>
#include <optional>

#include "platform/AudioEngine.h"

namespace platform::x11 {

// The microphone on PulseAudio: each engine has its own threaded main loop and connection,
// records the default source in its native rate, channels and sample type, and reports a
// configuration change when the default source moves, its stream is moved or killed, the
// source disappears or the server goes away. Converters are soxr's.
class PulseAudioInput : public AudioInput {
  public:
    std::unique_ptr<AudioEngine> makeEngine() override;
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from) override;
};

// What the permission check needs: a server answering and a default source behind it.
struct PulseSourceProbe {
    bool reachable = false;
    QString source;  // the default source's name
    QString error;   // why not, when not reachable
};
PulseSourceProbe probeDefaultSource(int timeoutMs = 2000);

}  // namespace platform::x11

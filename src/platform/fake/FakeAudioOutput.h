#pragma once
#include <QList>
#include <QString>
#include <array>
#include <map>
#include <optional>

#include "platform/AudioOutput.h"

// Scripted speakers: tests say which devices exist, which one is the default, what plays,
// which switches and volumes can be used, and which writes fail; every write is counted.
namespace platform::fake {

struct FakeOutputDevice {
    QString name;
    bool playing = false;
    std::optional<bool> mute = false;  // none: no usable mute switch
    std::array<std::optional<float>, 3> volume{1.0f, std::nullopt, std::nullopt};
    int failWrites = 0;  // the status the next writes fail with (0: they succeed)
};

// Thread: one at a time, like the real one.
class FakeAudioOutput : public AudioOutput {
  public:
    std::map<quint32, FakeOutputDevice> devices;
    std::optional<quint32> defaultId;
    int writes = 0;  // successful and failed writes alike

    std::optional<quint32> defaultDevice() override { return defaultId; }
    std::optional<bool> isPlaying(quint32 device) override;
    std::optional<bool> mute(quint32 device) override;
    int setMute(quint32 device, bool on) override;
    std::optional<float> volume(quint32 device, quint32 element) override;
    int setVolume(quint32 device, quint32 element, float value) override;
    QString deviceName(quint32 device) override;
    std::optional<quint32> deviceNamed(const QString& name) override;
};

}  // namespace platform::fake

#pragma once
#include <QString>
#include <QtGlobal>
#include <optional>

namespace platform {

// The sound output the app silences while the user dictates. Devices are numbered by the
// sound server for its lifetime; their names outlive it (and the app), so a record of a
// change made by an earlier run names the device.
// Thread: one at a time (callers serialise).
class AudioOutput {
  public:
    virtual ~AudioOutput() = default;

    // The default output device; none when the server cannot be asked or has none.
    virtual std::optional<quint32> defaultDevice() = 0;
    // Whether something is playing through the device; none when it cannot be read.
    virtual std::optional<bool> isPlaying(quint32 device) = 0;
    // The mute switch, or none when the device has no switch that can be read and set.
    virtual std::optional<bool> mute(quint32 device) = 0;
    // 0 on success, else the server's numeric error status.
    virtual int setMute(quint32 device, bool on) = 0;
    // A volume scalar (0 to 1 is silent to full) of element 0 (the whole device) or 1, 2, …
    // (its channels); none when that element has no volume that can be read and set.
    virtual std::optional<float> volume(quint32 device, quint32 element) = 0;
    virtual int setVolume(quint32 device, quint32 element, float value) = 0;

    virtual QString deviceName(quint32 device) = 0;  // empty when unknown
    virtual std::optional<quint32> deviceNamed(const QString& name) = 0;
};

}  // namespace platform

#include "platform/fake/FakeAudioOutput.h"

namespace platform::fake {

std::optional<bool> FakeAudioOutput::isPlaying(quint32 device) {
    const auto it = devices.find(device);
    if (it == devices.end()) return std::nullopt;
    return it->second.playing;
}

std::optional<bool> FakeAudioOutput::mute(quint32 device) {
    const auto it = devices.find(device);
    if (it == devices.end()) return std::nullopt;
    return it->second.mute;
}

int FakeAudioOutput::setMute(quint32 device, bool on) {
    ++writes;
    const auto it = devices.find(device);
    if (it == devices.end() || !it->second.mute) return -1;
    if (it->second.failWrites) return it->second.failWrites;
    it->second.mute = on;
    return 0;
}

std::optional<float> FakeAudioOutput::volume(quint32 device, quint32 element) {
    const auto it = devices.find(device);
    if (it == devices.end() || element >= it->second.volume.size()) return std::nullopt;
    return it->second.volume[element];
}

int FakeAudioOutput::setVolume(quint32 device, quint32 element, float value) {
    ++writes;
    const auto it = devices.find(device);
    if (it == devices.end() || element >= it->second.volume.size() || !it->second.volume[element])
        return -1;
    if (it->second.failWrites) return it->second.failWrites;
    it->second.volume[element] = value;
    return 0;
}

QString FakeAudioOutput::deviceName(quint32 device) {
    const auto it = devices.find(device);
    return it == devices.end() ? QString() : it->second.name;
}

std::optional<quint32> FakeAudioOutput::deviceNamed(const QString& name) {
    for (const auto& [id, d] : devices)
        if (d.name == name) return id;
    return std::nullopt;
}

}  // namespace platform::fake

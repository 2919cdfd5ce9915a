#pragma once
#include <QString>
#include <optional>

namespace platform {

// The desktop's announcement that an assistive technology runs. Some toolkits (Qt,
// Chromium) publish their accessibility trees only while it is on. Properties are named
// as the desktop names them ("IsEnabled", "ScreenReaderEnabled"). Each call is bounded by
// a short time-out. Thread: main.
class AssistiveSwitch {
  public:
    virtual ~AssistiveSwitch() = default;
    // The property's value; none when it cannot be read.
    virtual std::optional<bool> get(const QString& property) = 0;
    // 0 on success, else the desktop's error code (nonzero).
    virtual int set(const QString& property, bool on) = 0;
};

}  // namespace platform

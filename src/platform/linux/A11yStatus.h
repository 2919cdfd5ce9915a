#pragma once
#include "platform/AssistiveSwitch.h"

namespace platform::x11 {

// org.a11y.Status on the session bus (served by the AT-SPI bus launcher at
// org.a11y.Bus /org/a11y/bus). Thread: main.
class A11yStatus : public AssistiveSwitch {
  public:
    static constexpr int kTimeoutMs = 300;
    std::optional<bool> get(const QString& property) override;
    int set(const QString& property, bool on) override;
};

}  // namespace platform::x11

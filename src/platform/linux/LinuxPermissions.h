#pragma once
#include "platform/Permissions.h"

namespace platform::x11 {

class LinuxPermissions : public Permissions {
public:
    bool microphoneUsable() override;
    bool accessibilityAvailable() override;
};

}  // namespace platform::x11

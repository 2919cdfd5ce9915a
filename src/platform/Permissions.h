#pragma once

namespace platform {

// What the app needs from the desktop before it can dictate. Thread: main.
class Permissions {
public:
    virtual ~Permissions() = default;
    // A sound server and a capture source are reachable.
    virtual bool microphoneUsable() = 0;
    // The accessibility bus is reachable, so focused fields can be inspected.
    virtual bool accessibilityAvailable() = 0;
};

}  // namespace platform

#pragma once
#include <functional>

namespace platform {

// What the app needs from the desktop before it can dictate. Thread: main.
class Permissions {
  public:
    virtual ~Permissions() = default;
    // Whether a sound server and a capture source are reachable. The server may be slow to
    // answer, so the answer comes later: once, on the main thread, and never after this
    // object is gone.
    virtual void checkMicrophone(std::function<void(bool usable)> completion) = 0;
    // The accessibility bus is reachable, so focused fields can be inspected.
    virtual bool accessibilityAvailable() = 0;
};

}  // namespace platform

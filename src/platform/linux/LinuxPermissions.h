#pragma once
#include <memory>

#include "platform/Permissions.h"

class SerialWorker;

namespace platform::x11 {

// Thread: main, but for microphoneUsable. The microphone check runs on a worker of its own,
// which the destructor waits for; its answer reaches the main thread only while this lives.
class LinuxPermissions : public Permissions {
  public:
    LinuxPermissions();
    ~LinuxPermissions() override;

    void checkMicrophone(std::function<void(bool usable)> completion) override;
    bool accessibilityAvailable() override;

    // The check itself: blocks while PulseAudio answers (about 2 s at most). Thread: any.
    static bool microphoneUsable();

  private:
    std::shared_ptr<bool> alive_;
    std::unique_ptr<SerialWorker> worker_;  // made by the first check
};

}  // namespace platform::x11

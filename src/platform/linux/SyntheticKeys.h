#pragma once
#include <array>
#include <chrono>
#include <mutex>

namespace platform::x11 {

// Key events this process fakes with XTest come back to the key monitor as raw events like
// the user's. The typist announces each one before sending it; the monitor drops what was
// announced, so typing (and lifting the user's held modifiers) never reads as the talk key
// going up or as a chord. An announcement not seen within a second is forgotten, so a lost
// one cannot hide a real key later. Thread: any.
class SyntheticKeys {
  public:
    static SyntheticKeys& shared();
    void expect(unsigned keycode, bool pressed);
    // True (and consumed) when this event is one announced.
    bool consume(unsigned keycode, bool pressed);
    // Drops every announcement: for a monitor that starts listening now.
    void forget();

  private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        int presses = 0;
        int releases = 0;
        Clock::time_point last{};
    };
    std::mutex mutex_;
    std::array<Pending, 256> keys_{};
};

}  // namespace platform::x11

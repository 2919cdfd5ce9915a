#include "platform/linux/SyntheticKeys.h"

namespace platform::x11 {

namespace {
constexpr auto kForgetAfter = std::chrono::seconds(1);
}

SyntheticKeys& SyntheticKeys::shared() {
    static SyntheticKeys keys;
    return keys;
}

void SyntheticKeys::expect(unsigned keycode, bool pressed) {
    if (keycode > 255) return;
    std::lock_guard lock(mutex_);
    Pending& p = keys_[keycode];
    const auto now = Clock::now();
    if (now - p.last > kForgetAfter) p = Pending{};
    ++(pressed ? p.presses : p.releases);
    p.last = now;
}

bool SyntheticKeys::consume(unsigned keycode, bool pressed) {
    if (keycode > 255) return false;
    std::lock_guard lock(mutex_);
    Pending& p = keys_[keycode];
    if (Clock::now() - p.last > kForgetAfter) p = Pending{};
    int& n = pressed ? p.presses : p.releases;
    if (n <= 0) return false;
    --n;
    return true;
}

void SyntheticKeys::forget() {
    std::lock_guard lock(mutex_);
    keys_.fill(Pending{});
}

}  // namespace platform::x11

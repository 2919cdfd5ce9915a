#include "platform/linux/Fd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace platform::x11 {

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        UniqueFd old(std::exchange(fd_, other.release()));
    }
    return *this;
}

int UniqueFd::release() {
    return std::exchange(fd_, -1);
}

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Wakeup::wake() const {
    if (!fd_) return;
    const uint64_t one = 1;
    // A full counter already means "wake up": nothing to retry.
    [[maybe_unused]] const ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void Wakeup::drain() const {
    if (!fd_) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_.get(), &count, sizeof count);
}

}  // namespace platform::x11

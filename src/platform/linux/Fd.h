#pragma once

namespace platform::x11 {

// A file descriptor with one owner, closed with it.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();

  private:
    int fd_ = -1;
};

// Wakes a thread that sleeps in poll(): any thread may call wake(); the sleeper polls fd()
// for reading and calls drain() when it woke. Wake-ups before the drain fold into one.
class Wakeup {
  public:
    Wakeup();
    // False when the kernel gave no descriptor; wake() then does nothing.
    bool ok() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    void wake() const;
    void drain() const;

  private:
    UniqueFd fd_;
};

}  // namespace platform::x11

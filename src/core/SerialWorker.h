#pragma once
#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// A serial queue on a thread of its own: work runs one piece at a time, in the order it was
// posted; delayed work runs when its time comes, between other work. Any thread may post.
class SerialWorker {
  public:
    explicit SerialWorker(const QString& label);
    // Runs what was already posted for immediate work, drops delayed work, joins the thread.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> fn);
    void postAfter(std::chrono::milliseconds delay, std::function<void()> fn);
    // Blocks until every piece posted before the call (not delayed ones) has run. Called on
    // the worker itself it returns at once.
    void drain();
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    const QString& label() const { return label_; }

  private:
    using Clock = std::chrono::steady_clock;
    void run();

    QString label_;
    std::mutex mutex_;
    std::condition_variable wake_, drained_;
    std::deque<std::function<void()>> now_;
    std::multimap<Clock::time_point, std::function<void()>> later_;
    uint64_t posted_ = 0, done_ = 0;
    bool quitting_ = false;
    std::thread thread_;
};

#include "core/SerialWorker.h"

#include <pthread.h>

SerialWorker::SerialWorker(const QString& label) : label_(label) {
    thread_ = std::thread([this] {
        const QByteArray name = label_.toUtf8().left(15);  // the kernel keeps 15 bytes
        pthread_setname_np(pthread_self(), name.constData());
        run();
    });
}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SerialWorker::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        if (quitting_) return;
        now_.push_back(std::move(fn));
        ++posted_;
    }
    wake_.notify_all();
}

void SerialWorker::postAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        if (quitting_) return;
        later_.emplace(Clock::now() + delay, std::move(fn));  // equal times keep posting order
    }
    wake_.notify_all();
}

void SerialWorker::drain() {
    if (isCurrent()) return;
    std::unique_lock lock(mutex_);
    const uint64_t target = posted_;
    drained_.wait(lock, [&] { return done_ >= target || !thread_.joinable(); });
}

void SerialWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::function<void()> job;
        bool counted = false;
        if (!later_.empty() && later_.begin()->first <= Clock::now() && !quitting_) {
            job = std::move(later_.begin()->second);
            later_.erase(later_.begin());
        } else if (!now_.empty()) {
            job = std::move(now_.front());
            now_.pop_front();
            counted = true;
        } else if (quitting_) {
            return;
        } else if (!later_.empty()) {
            wake_.wait_until(lock, later_.begin()->first);
            continue;
        } else {
            wake_.wait(lock);
            continue;
        }
        lock.unlock();
        job();
        job = nullptr;  // release what the job captured outside the lock
        lock.lock();
        if (counted) {
            ++done_;
            drained_.notify_all();
        }
    }
}

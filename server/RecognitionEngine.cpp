#include "RecognitionEngine.h"

#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cstring>

namespace vserver {

WorkerTask::WorkerTask(boost::asio::thread_pool& pool,
                       std::shared_ptr<RecognitionListener> listener)
    : strand_(boost::asio::make_strand(pool.get_executor())), listener_(std::move(listener)) {}

void WorkerTask::feed(std::string pcm) {
    if (pcm.empty()) return;
    std::lock_guard lock(mutex_);
    if (cancelled_ || finishAsked_) return;
    queued_ += pcm.size();
    queue_.push_back(std::move(pcm));
    if (runnable_ && !pumping_) schedule();
}

void WorkerTask::finish() {
    std::lock_guard lock(mutex_);
    if (cancelled_ || finishAsked_) return;
    finishAsked_ = true;
    if (runnable_ && !pumping_) schedule();
}

void WorkerTask::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        queue_.clear();
        queued_ = 0;
        listener_.reset();  // the listener usually owns this task: break the cycle
    }
    // Resources go back on the strand, after any hook still running there.
    boost::asio::post(strand_, [self = shared_from_this()] { self->release(); });
}

size_t WorkerTask::backlogBytes() const {
    std::lock_guard lock(mutex_);
    return queued_;
}

bool WorkerTask::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void WorkerTask::runnable() {
    std::lock_guard lock(mutex_);
    if (cancelled_ || runnable_) return;
    runnable_ = true;
    if (!pumping_ && (!queue_.empty() || finishAsked_)) schedule();
}

void WorkerTask::schedule() {
    pumping_ = true;
    boost::asio::post(strand_, [self = shared_from_this()] { self->pump(); });
}

void WorkerTask::pump() {
    // Recognition yields to request handling when the cores are short.
    thread_local const bool yielding = setpriority(PRIO_PROCESS, gettid(), 5) == 0;
    (void)yielding;
    std::string slice;
    bool doEnd = false;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            pumping_ = false;
            return;
        }
        if (queue_.empty()) {
            if (finishAsked_ && !ended_) {
                ended_ = true;
                doEnd = true;
            } else {
                pumping_ = false;
                return;
            }
        } else {
            // At most one slice per turn, so a long replay does not starve other tasks.
            std::string& front = queue_.front();
            if (front.size() <= kSliceBytes) {
                slice = std::move(front);
                queue_.pop_front();
            } else {
                slice = front.substr(0, kSliceBytes);
                front.erase(0, kSliceBytes);
            }
            queued_ -= slice.size();
        }
    }
    if (doEnd) {
        end();
        release();
        std::lock_guard lock(mutex_);
        pumping_ = false;
        return;
    }
    std::vector<int16_t> samples(slice.size() / 2);
    std::memcpy(samples.data(), slice.data(), samples.size() * 2);
    process(samples.data(), samples.size());
    std::lock_guard lock(mutex_);
    if (!cancelled_ && (!queue_.empty() || (finishAsked_ && !ended_)))
        boost::asio::post(strand_, [self = shared_from_this()] { self->pump(); });
    else
        pumping_ = false;
}

std::shared_ptr<RecognitionListener> WorkerTask::listenerFor(Report report) {
    std::lock_guard lock(mutex_);
    if (cancelled_ || reportedEnd_) return nullptr;
    if (report == Report::ongoing) return listener_;
    reportedEnd_ = true;
    if (report == Report::failed) {
        queue_.clear();
        queued_ = 0;
    }
    return std::move(listener_);
}

void WorkerTask::reportReady() {
    if (auto l = listenerFor(Report::ongoing)) l->ready();
}

void WorkerTask::reportSentence(const Sentence& s) {
    if (auto l = listenerFor(Report::ongoing)) l->sentence(s);
}

void WorkerTask::reportWire(const WireAction& a) {
    if (auto l = listenerFor(Report::ongoing)) l->wire(a);
}

void WorkerTask::reportFinished() {
    if (auto l = listenerFor(Report::finished)) l->finished();
}

void WorkerTask::reportFailed(const std::string& code, const std::string& message) {
    if (auto l = listenerFor(Report::failed)) l->failed(code, message);
}

}  // namespace vserver

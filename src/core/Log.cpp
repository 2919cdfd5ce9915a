#include "core/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/Paths.h"

namespace {

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// The serial queue "velmora.log": one thread, lines written whole and in order.
class Writer {
public:
    Writer() : path_(Paths::logFile()) {
        QDir().mkpath(Paths::logDir());  // a failure is ignored; the writes then fail
        pathBytes_ = path_.toStdString();
        thread_ = std::thread([this] { run(); });
        thread_.detach();  // lives for the whole process; flush() drains it at exit
        std::atexit([] { Log::flush(); });
    }

    void submit(std::string line) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(line));
            ++submitted_;
        }
        wake_.notify_one();
    }

    void flush() {
        std::unique_lock lock(mutex_);
        const uint64_t target = submitted_;
        drained_.wait(lock, [&] { return written_ >= target; });
    }

    const QString& path() const { return path_; }
    std::atomic<bool> mirror{true};

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            std::string line = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            if (mirror.load(std::memory_order_relaxed)) writeAll(STDERR_FILENO, line);
            // Opened and closed per line: a crash never loses a line already written,
            // and a deleted file is recreated by the next line.
            const int fd = ::open(pathBytes_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                writeAll(fd, line);
                ::close(fd);
            }
            lock.lock();
            ++written_;
            drained_.notify_all();
        }
    }

    QString path_;
    std::string pathBytes_;
    std::mutex mutex_;
    std::condition_variable wake_, drained_;
    std::deque<std::string> queue_;
    uint64_t submitted_ = 0, written_ = 0;
    std::thread thread_;
};

Writer& writer() {
    static Writer* w = new Writer;  // never destroyed: log calls may come during exit
    return *w;
}

}  // namespace

namespace Log {

void write(const QString& message) {
    // Timestamp on the caller's thread: the time of the call, not of the write.
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    std::string line = (stamp + QLatin1Char(' ') + message).toStdString();
    line.push_back('\n');
    writer().submit(std::move(line));
}

QString path() {
    return writer().path();
}

void flush() {
    writer().flush();
}

void setMirrorToStderr(bool on) {
    writer().mirror = on;
}

}  // namespace Log

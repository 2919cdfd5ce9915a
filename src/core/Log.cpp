#include "core/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/Paths.h"

namespace {

// The log holds dictated text: only its owner may read it.
constexpr QFileDevice::Permissions kFileMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kDirMode =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
// Straight to the file: one line, one write.
constexpr QIODevice::OpenMode kAppend =
    QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;

// The folder, created when missing and closed to others; failures are ignored (the
// writes that follow then fail).
void ensureFolder(const QString& dir) {
    QDir().mkpath(dir);
    QFile::setPermissions(dir, kDirMode);
}

// The serial queue "velmora.log": one thread, lines written whole and in order.
class Writer {
  public:
    Writer() : dir_(Paths::logDir()), path_(Paths::logFile()) {
        ensureFolder(dir_);
        // A log left by an older version may be readable by others.
        if (QFile::exists(path_)) QFile::setPermissions(path_, kFileMode);
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
            if (mirror.load(std::memory_order_relaxed)) {
                std::fwrite(line.data(), 1, line.size(), stderr);
                std::fflush(stderr);
            }
            append(line);
            lock.lock();
            ++written_;
            drained_.notify_all();
        }
    }

    // Opened and closed per line: a crash never loses a line already written, and a
    // deleted file is recreated (owner-only, in an owner-only folder) by the next line.
    void append(const std::string& line) {
        QFile file(path_);
        if (!file.open(kAppend | QIODevice::ExistingOnly)) {
            ensureFolder(dir_);
            if (!file.open(kAppend, kFileMode)) return;
        }
        file.write(line.data(), static_cast<qint64>(line.size()));
    }

    QString dir_, path_;
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

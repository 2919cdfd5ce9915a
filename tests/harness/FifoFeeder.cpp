#include "harness/FifoFeeder.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

QString pipeSource(const QString& name, const QString& fifo, const char* format, int rate,
                   int channels) {
    return QStringLiteral(
               "load-module module-pipe-source source_name=%1 file=%2 format=%3 rate=%4 "
               "channels=%5")
        .arg(name, fifo, QString::fromLatin1(format))
        .arg(rate)
        .arg(channels);
}

FifoFeeder::FifoFeeder(const QString& fifo, int rate, int bytesPerFrame)
    : rate_(rate), frameBytes_(bytesPerFrame) {
    ::signal(SIGPIPE, SIG_IGN);  // a daemon that dies must not kill the test
    // Non-blocking: a source nobody records from stops reading, and then the audio is
    // lost as it would be in a microphone's overflowing buffer.
    fd_ = platform::x11::UniqueFd(
        ::open(fifo.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd_) thread_ = std::thread([this] { run(); });
}
FifoFeeder::~FifoFeeder() {
    {
        std::lock_guard lock(m_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void FifoFeeder::queue(const QByteArray& pcm) {
    std::lock_guard lock(m_);
    pending_ += pcm;
}
bool FifoFeeder::drained() {
    std::lock_guard lock(m_);
    return pending_.isEmpty();
}

void FifoFeeder::run() {
    const auto t0 = std::chrono::steady_clock::now();
    const qsizetype step = static_cast<qsizetype>(rate_ / 100) * frameBytes_;
    const qsizetype most = 50 * step;  // half a second waiting in our own buffer at most
    QByteArray out;
    for (long k = 1;; ++k) {
        {
            std::unique_lock lock(m_);
            if (wake_.wait_until(lock, t0 + std::chrono::milliseconds(10 * k),
                                 [&] { return quit_; }))
                return;
            const QByteArray piece = pending_.left(step);
            pending_.remove(0, piece.size());
            out += piece;
            if (piece.size() < step) out.append(step - piece.size(), '\0');
        }
        // Whole frames only ever leave or get dropped, so the stream stays aligned.
        if (out.size() > most) out.remove(0, out.size() - most);
        const ssize_t n = ::write(fd_.get(), out.constData(), static_cast<size_t>(out.size()));
        if (n < 0 && errno != EAGAIN) return;
        if (n > 0) {
            const qsizetype whole = n - n % frameBytes_;
            out.remove(0, whole);
            if (whole != n) {  // finish the split frame at once
                const qsizetype rest = frameBytes_ - (n - whole);
                if (::write(fd_.get(), out.constData() + (n - whole), static_cast<size_t>(rest)) !=
                    rest)
                    return;
                out.remove(0, frameBytes_);
            }
        }
    }
}

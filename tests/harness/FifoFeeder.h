#pragma once
#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/linux/Fd.h"

// The line of a PulseAudio startup script that makes a pipe source reading `fifo`.
QString pipeSource(const QString& name, const QString& fifo, const char* format, int rate,
                   int channels);

// Writes raw PCM into a pipe source's FIFO at real-time pace, 10 ms at a time: queued
// audio first, silence (zeros) whenever the queue is empty, so the source behaves like a
// microphone in a quiet room.
class FifoFeeder {
  public:
    FifoFeeder(const QString& fifo, int rate, int bytesPerFrame);
    ~FifoFeeder();
    FifoFeeder(const FifoFeeder&) = delete;
    FifoFeeder& operator=(const FifoFeeder&) = delete;

    bool ok() const { return static_cast<bool>(fd_); }
    void queue(const QByteArray& pcm);
    bool drained();

  private:
    void run();

    int rate_, frameBytes_;
    platform::x11::UniqueFd fd_;
    std::mutex m_;
    std::condition_variable wake_;
    QByteArray pending_;
    bool quit_ = false;
    std::thread thread_;
};

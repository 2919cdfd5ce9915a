#pragma once
#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <condition_variable>
#include <mutex>
#include <thread>

// A PulseAudio daemon of the test's own: its own runtime folder, home and script, reached
// through PULSE_SERVER by this process and by the pactl/paplay it runs. Stopped by its PID;
// a watchdog kills it and fails the test process if the test hangs.
class PrivatePulse {
  public:
    // `script` is the daemon's startup script after the native protocol module.
    explicit PrivatePulse(const QStringList& script, int watchdogSeconds = 120);
    ~PrivatePulse();
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    pid_t pid() const { return pid_; }
    QString dir() const { return dir_; }

    // Runs a PulseAudio tool against this daemon; its exit status (-1 when it did not run
    // or was killed at the time limit), output in *out.
    int run(const QString& program, const QStringList& args, QString* out = nullptr,
            int timeoutMs = 10000);
    // Kills the daemon at once, as a crash would.
    void crash();

  private:
    void stopDaemon();

    QString dir_, error_;
    pid_t pid_ = -1;
    QByteArray oldServer_, oldConfig_;
    bool hadServer_ = false, hadConfig_ = false;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread watchdog_;
};

#include "harness/PrivatePulse.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "harness/Wait.h"
#include "platform/linux/Fd.h"
#include "platform/linux/PulseAudioInput.h"
#include "support/TestEnv.h"

PrivatePulse::PrivatePulse(const QStringList& script, int watchdogSeconds) {
    dir_ = testenv::home() + QStringLiteral("/pulse-%1").arg(QDateTime::currentMSecsSinceEpoch());
    for (const char* sub : {"/run", "/home", "/config", "/state"})
        QDir().mkpath(dir_ + QLatin1String(sub));
    const QString socket = dir_ + QStringLiteral("/run/native");
    QStringList lines{
        QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 socket=") +
        socket};
    lines += script;
    testenv::writeFile(dir_ + QStringLiteral("/default.pa"),
                       lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    testenv::writeFile(dir_ + QStringLiteral("/client.conf"), "autospawn = no\n");

    const QString exe = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (exe.isEmpty()) {
        error_ = QStringLiteral("pulseaudio is not installed");
        return;
    }
    // Everything the child needs is built before fork: after it only exec-safe calls.
    std::vector<QByteArray> argv = {exe.toLocal8Bit(),
                                    "-n",
                                    "--daemonize=no",
                                    "--exit-idle-time=-1",
                                    "--system=false",
                                    "--disallow-exit",
                                    "--use-pid-file=false",
                                    "--realtime=no",
                                    "--high-priority=no",
                                    "--log-target=stderr",
                                    "--log-level=info",
                                    "-F",
                                    (dir_ + QStringLiteral("/default.pa")).toLocal8Bit()};
    std::vector<QByteArray> envv = {
        "HOME=" + (dir_ + QStringLiteral("/home")).toLocal8Bit(),
        "XDG_RUNTIME_DIR=" + (dir_ + QStringLiteral("/run")).toLocal8Bit(),
        "XDG_CONFIG_HOME=" + (dir_ + QStringLiteral("/config")).toLocal8Bit(),
        "XDG_STATE_HOME=" + (dir_ + QStringLiteral("/state")).toLocal8Bit(),
        "PATH=/usr/bin:/bin",
        "LANG=C"};
    std::vector<char*> args, env;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : envv) env.push_back(e.data());
    env.push_back(nullptr);
    const QByteArray logPath = (dir_ + QStringLiteral("/daemon.log")).toLocal8Bit();
    const platform::x11::UniqueFd daemonLog(
        ::open(logPath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
        if (getppid() != parent) _exit(127);
        if (daemonLog) {
            dup2(daemonLog.get(), 1);
            dup2(daemonLog.get(), 2);
        }
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    if (pid_ < 0) {
        error_ = QStringLiteral("fork failed");
        return;
    }
    watchdog_ = std::thread([this, watchdogSeconds] {
        std::unique_lock lock(mutex_);
        if (done_.wait_for(lock, std::chrono::seconds(watchdogSeconds), [&] { return finished_; }))
            return;
        std::fprintf(stderr, "PrivatePulse: test still running after %d s, killing pulseaudio %d\n",
                     watchdogSeconds, static_cast<int>(pid_));
        ::kill(pid_, SIGKILL);
        std::abort();
    });

    // This process and the tools it starts find the daemon through the environment.
    hadServer_ = qEnvironmentVariableIsSet("PULSE_SERVER");
    oldServer_ = qgetenv("PULSE_SERVER");
    hadConfig_ = qEnvironmentVariableIsSet("PULSE_CLIENTCONFIG");
    oldConfig_ = qgetenv("PULSE_CLIENTCONFIG");
    qputenv("PULSE_SERVER", "unix:" + socket.toLocal8Bit());
    qputenv("PULSE_CLIENTCONFIG", (dir_ + QStringLiteral("/client.conf")).toLocal8Bit());

    bool exited = false;
    const bool up = harness::waitUntil(
        [&] {
            exited = waitpid(pid_, nullptr, WNOHANG) == pid_;
            return exited ||
                   (QFile::exists(socket) && platform::x11::probeDefaultSource(1000).reachable);
        },
        QStringLiteral("pulseaudio to come up"));
    if (exited) {
        pid_ = -1;
        error_ =
            QStringLiteral("pulseaudio exited at start: ") +
            QString::fromLocal8Bit(testenv::readFile(QString::fromLocal8Bit(logPath)).right(2000));
    } else if (!up) {
        error_ = QStringLiteral("pulseaudio did not come up");
    }
}

PrivatePulse::~PrivatePulse() {
    stopDaemon();
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
    if (hadServer_)
        qputenv("PULSE_SERVER", oldServer_);
    else
        qunsetenv("PULSE_SERVER");
    if (hadConfig_)
        qputenv("PULSE_CLIENTCONFIG", oldConfig_);
    else
        qunsetenv("PULSE_CLIENTCONFIG");
}

void PrivatePulse::stopDaemon() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (harness::waitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; },
                           QStringLiteral("pulseaudio to end"), std::chrono::seconds(3))) {
        pid_ = -1;
        return;
    }
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void PrivatePulse::crash() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int PrivatePulse::run(const QString& program, const QStringList& args, QString* out,
                      int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000)) return -1;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return -1;
    }
    if (out) *out = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

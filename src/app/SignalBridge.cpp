#include "app/SignalBridge.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {
// Open for the whole process, never closed: a signal may arrive at any moment, even while a
// bridge is being destroyed, and its handler must not write to a descriptor reused meanwhile.
int gPipe[2] = {-1, -1};
void handler(int sig) {
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(gPipe[1], &b, 1);
}
}  // namespace

SignalBridge::SignalBridge(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char b = 0;
        while (::read(gPipe[0], &b, 1) == 1)
            if (onSignal_) onSignal_(b);
    });
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

SignalBridge::~SignalBridge() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

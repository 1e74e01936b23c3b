#include "platform/interrupt_notifier.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kestrun {

namespace {

// The write end of the pipe the handler signals through; only async-signal-safe calls there.
volatile std::sig_atomic_t writeFd = -1;

extern "C" void handleInterrupt(int) {
    const int fd = writeFd;
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
    }
}

} // namespace

InterruptNotifier::InterruptNotifier(std::function<void()> onInterrupt, bool alsoTermination)
    : onInterrupt_(std::move(onInterrupt)), alsoTermination_(alsoTermination) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readFd_ = fds[0];
    writeFd = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { deliverPending(); });
    struct sigaction action {};
    action.sa_handler = &handleInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    if (alsoTermination_)
        ::sigaction(SIGTERM, &action, nullptr);
}

InterruptNotifier::~InterruptNotifier() {
    ::signal(SIGINT, SIG_DFL);
    if (alsoTermination_)
        ::signal(SIGTERM, SIG_DFL);
    notifier_.reset();
    const int fd = writeFd;
    writeFd = -1;
    if (fd >= 0)
        ::close(fd);
    if (readFd_ >= 0)
        ::close(readFd_);
}

bool InterruptNotifier::deliverPending() {
    if (readFd_ < 0)
        return false;
    char buffer[64];
    bool any = false;
    while (::read(readFd_, buffer, sizeof buffer) > 0)
        any = true;
    if (any && onInterrupt_)
        onInterrupt_();
    return any;
}

} // namespace kestrun

#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace kestrun {

// Turns the terminal's interrupt (Ctrl-C, SIGINT) into a call on the main thread's event loop,
// for a program whose window may not be reachable (no display). While the object lives the
// process is not ended by the interrupt; afterwards the default action is back. One at a time.
// With alsoTermination the request to end (SIGTERM, a service manager's stop) comes the same way.
class InterruptNotifier {
public:
    explicit InterruptNotifier(std::function<void()> onInterrupt, bool alsoTermination = false);
    ~InterruptNotifier();
    InterruptNotifier(const InterruptNotifier&) = delete;
    InterruptNotifier& operator=(const InterruptNotifier&) = delete;

    // Calls the handler now for an interrupt that has arrived but not yet been dispatched by
    // the event loop (the loop may be about to dispatch something else first). True when there
    // was one; the loop then does not call the handler for it again.
    bool deliverPending();

    std::function<void()> onInterrupt_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int readFd_ = -1;
    bool alsoTermination_ = false;
};

} // namespace kestrun

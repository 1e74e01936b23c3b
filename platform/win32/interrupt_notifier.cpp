#include "platform/interrupt_notifier.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <windows.h>

#include <atomic>

namespace kestrun {

namespace {

// The console's Ctrl-C arrives on a thread of its own; the notifier in charge is called on
// the main thread's event loop through a queued call.
std::atomic<InterruptNotifier*> current{nullptr};
std::atomic<bool> pending{false};

BOOL WINAPI handleControl(DWORD event) {
    InterruptNotifier* notifier = current.load();
    const bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!notifier || (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
                      !(ending && notifier->alsoTermination_)))
        return FALSE;
    pending = true;
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app,
            [] {
                if (InterruptNotifier* n = current.load())
                    n->deliverPending();
            },
            Qt::QueuedConnection);
    return TRUE;
}

} // namespace

InterruptNotifier::InterruptNotifier(std::function<void()> onInterrupt, bool alsoTermination)
    : onInterrupt_(std::move(onInterrupt)), alsoTermination_(alsoTermination) {
    current = this;
    ::SetConsoleCtrlHandler(&handleControl, TRUE);
}

InterruptNotifier::~InterruptNotifier() {
    ::SetConsoleCtrlHandler(&handleControl, FALSE);
    current = nullptr;
    pending = false;
}

bool InterruptNotifier::deliverPending() {
    if (!pending.exchange(false))
        return false;
    if (onInterrupt_)
        onInterrupt_();
    return true;
}

} // namespace kestrun

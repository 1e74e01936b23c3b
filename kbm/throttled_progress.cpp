#include "kbm/throttled_progress.h"

namespace kestrun {

ThrottledProgress::ThrottledProgress(RunProgress& window, Clock& clock)
    : window_(window), clock_(clock) {}

void ThrottledProgress::setOverall(int percent) {
    overall_.wanted = percent;
    if (dirty() && due())
        show();
}

void ThrottledProgress::setTransfer(int percent) {
    transfer_.wanted = percent;
    if (dirty() && due())
        show();
}

void ThrottledProgress::setStatus(const std::string& text) {
    status_.wanted = text;
    if (dirty() && due())
        show();
}

void ThrottledProgress::pump() {
    if (dirty() && due())
        show();
    // The window repaints and handles its waiting events only after it was given something
    // new to show.
    if (pumpOwed_) {
        pumpOwed_ = false;
        window_.pump();
    }
}

void ThrottledProgress::flush() {
    if (dirty())
        show();
}

bool ThrottledProgress::due() {
    return !lastShownMs_ || clock_.monotonicMs() - *lastShownMs_ >= kIntervalMs;
}

void ThrottledProgress::show() {
    if (overall_.dirty())
        window_.setOverall(*overall_.wanted);
    if (transfer_.dirty())
        window_.setTransfer(*transfer_.wanted);
    if (status_.dirty())
        window_.setStatus(*status_.wanted);
    overall_.shown = overall_.wanted;
    transfer_.shown = transfer_.wanted;
    status_.shown = status_.wanted;
    lastShownMs_ = clock_.monotonicMs();
    pumpOwed_ = true;
}

} // namespace kestrun

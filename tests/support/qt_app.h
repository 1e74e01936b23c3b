#pragma once

#include <QApplication>
#include <QElapsedTimer>

#include <functional>

namespace kestrun::test {

// Widget tests link kestrun_qt_test_main, whose main() creates the application object.
inline QApplication& qtApp() {
    return *qApp;
}

// Processes events until the condition holds or the wall-time limit passes; returns whether it
// holds. Used to wait for other threads and processes, never for a schedule.
inline bool processEventsUntil(const std::function<bool()>& done, int limitMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace kestrun::test

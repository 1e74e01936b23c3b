#include "kestrun/update/local_wait.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QThread>

#include <exception>
#include <thread>

namespace kestrun {

namespace {

bool onMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool onGuiMainThread() {
    return onMainThread() && qobject_cast<QGuiApplication*>(QCoreApplication::instance());
}

} // namespace

void runWhileServingEvents(const std::function<void()>& work) {
    if (!onMainThread()) {
        work();
        return;
    }
    QEventLoop loop;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued: the loop ends on its own thread, also when the work ended before it ran.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

ScopedWaitCursor::ScopedWaitCursor() {
    if (onGuiMainThread()) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        shown_ = true;
    }
}

ScopedWaitCursor::~ScopedWaitCursor() {
    if (shown_)
        QGuiApplication::restoreOverrideCursor();
}

} // namespace kestrun

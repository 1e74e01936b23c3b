#include "kestrun/update/engine_wait.h"

#include "platform/clock.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace kestrun {

bool waitOnSocket(QAbstractSocket& socket, SocketEvent event, std::chrono::milliseconds limit) {
    const int ms = static_cast<int>(std::max<std::int64_t>(0, limit.count()));
    switch (event) {
    case SocketEvent::Connected:
        return socket.waitForConnected(ms);
    case SocketEvent::ReadyRead:
        return socket.waitForReadyRead(ms);
    case SocketEvent::BytesWritten:
        return socket.waitForBytesWritten(ms);
    }
    return false;
}

void EventLoopWait::wait(std::chrono::milliseconds duration) {
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        clock_.sleepFor(duration);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

bool EventLoopWait::waitForSocket(QAbstractSocket& socket, SocketEvent event,
                                  std::chrono::milliseconds limit) {
    return waitOnSocket(socket, event, limit);
}

} // namespace kestrun

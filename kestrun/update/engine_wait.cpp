#include "kestrun/update/engine_wait.h"

#include "platform/clock.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

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

namespace {

bool onMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool alreadyThere(const QAbstractSocket& socket, SocketEvent event) {
    switch (event) {
    case SocketEvent::Connected:
        return socket.state() == QAbstractSocket::ConnectedState;
    case SocketEvent::ReadyRead:
        return socket.bytesAvailable() > 0;
    case SocketEvent::BytesWritten:
        return socket.bytesToWrite() == 0;
    }
    return false;
}

} // namespace

void EventLoopWait::wait(std::chrono::milliseconds duration) {
    if (!onMainThread()) {
        clock_.sleepFor(duration);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

bool EventLoopWait::waitForSocket(QAbstractSocket& socket, SocketEvent event,
                                  std::chrono::milliseconds limit) {
    if (!onMainThread())
        return waitOnSocket(socket, event, limit);
    if (alreadyThere(socket, event))
        return true;
    if (limit.count() <= 0 || socket.state() == QAbstractSocket::UnconnectedState)
        return false;
    // The wait ends on the event, on the end of the connection, or at the limit.
    QEventLoop loop;
    bool came = false;
    const auto arrived = [&] {
        came = true;
        loop.quit();
    };
    switch (event) {
    case SocketEvent::Connected:
        QObject::connect(&socket, &QAbstractSocket::connected, &loop, arrived);
        break;
    case SocketEvent::ReadyRead:
        QObject::connect(&socket, &QIODevice::readyRead, &loop, arrived);
        break;
    case SocketEvent::BytesWritten:
        QObject::connect(&socket, &QIODevice::bytesWritten, &loop, [&] {
            if (socket.bytesToWrite() == 0)
                arrived();
        });
        break;
    }
    QObject::connect(&socket, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(std::min(limit, std::chrono::milliseconds(std::numeric_limits<int>::max())));
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return came;
}

} // namespace kestrun

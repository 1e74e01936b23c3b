#pragma once

#include "kestrun/update/engine_wait.h"
#include "platform/clock.h"
#include "tests/peers/scripted_server.h"

#include <QAbstractSocket>
#include <QHostAddress>

#include <atomic>

namespace kestrun::test {

// The engine's waits in virtual time: a pause advances the test clock at once; a socket wait
// waits for the real peer for at most a short real slice and, when nothing came, lets the
// whole limit pass on the test clock.
class VirtualTimeWait final : public EngineWait {
public:
    explicit VirtualTimeWait(TestClock& clock,
                             std::chrono::milliseconds realSlice = std::chrono::milliseconds(700))
        : clock_(clock), slice_(realSlice) {}

    Clock& clock() override { return clock_; }
    void wait(std::chrono::milliseconds duration) override {
        pausedMs += duration.count();
        clock_.sleepFor(duration);
    }
    bool waitForSocket(QAbstractSocket& socket, SocketEvent event,
                       std::chrono::milliseconds limit) override {
        const bool ready = waitOnSocket(socket, event, std::min(limit, slice_));
        for (std::int64_t most = mostBuffered; socket.bytesAvailable() > most;)
            mostBuffered.compare_exchange_weak(most, socket.bytesAvailable());
        if (ready)
            return true;
        if (breakSilentReads && event == SocketEvent::ReadyRead &&
            socket.error() == QAbstractSocket::SocketTimeoutError) {
            // The connection fails with an error of its own instead of a close by the peer.
            socket.abort();
            socket.connectToHost(QHostAddress::LocalHost, closedPort());
            socket.waitForConnected(1000);
            return false;
        }
        if (socket.error() == QAbstractSocket::SocketTimeoutError ||
            socket.state() == QAbstractSocket::ConnectingState ||
            socket.state() == QAbstractSocket::HostLookupState)
            clock_.advance(limit);
        return false;
    }

    std::atomic<std::int64_t> pausedMs{0};     // the pauses alone, without socket waits
    std::atomic<std::int64_t> mostBuffered{0}; // the most bytes a socket held after a wait
    // A read that waits in vain ends with a failed connection instead of letting time pass.
    std::atomic<bool> breakSilentReads{false};

private:
    TestClock& clock_;
    std::chrono::milliseconds slice_;
};

} // namespace kestrun::test

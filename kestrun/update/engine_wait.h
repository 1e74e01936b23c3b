#pragma once

#include <chrono>

class QAbstractSocket;

namespace kestrun {

class Clock;

// What a socket wait of the update client waits for.
enum class SocketEvent { Connected, ReadyRead, BytesWritten };

// Every wait of the update engine: the pauses between its steps, the countdown's seconds, and
// the waits of its connections. All are measured on one clock, so a test clock runs whole
// countdowns and deadlines in virtual time.
class EngineWait {
public:
    virtual ~EngineWait() = default;

    virtual Clock& clock() = 0;
    // Waits the duration.
    virtual void wait(std::chrono::milliseconds duration) = 0;
    // Waits at most the limit for the socket event; false when it did not come (or the
    // connection ended first).
    virtual bool waitForSocket(QAbstractSocket& socket, SocketEvent event,
                               std::chrono::milliseconds limit) = 0;
};

// The program's waits, on the real clock. On the application's main thread every wait (a
// pause or a socket wait) runs a local event loop without user input: windows repaint and the
// update server answers while the handler waits. Elsewhere the waits block.
class EventLoopWait final : public EngineWait {
public:
    explicit EventLoopWait(Clock& clock) : clock_(clock) {}

    Clock& clock() override { return clock_; }
    void wait(std::chrono::milliseconds duration) override;
    bool waitForSocket(QAbstractSocket& socket, SocketEvent event,
                       std::chrono::milliseconds limit) override;

private:
    Clock& clock_;
};

// Blocks on the socket itself for at most the limit.
bool waitOnSocket(QAbstractSocket& socket, SocketEvent event, std::chrono::milliseconds limit);

} // namespace kestrun

#include "kestrun/update/update_socket.h"

#include "kestrun/update/engine_wait.h"
#include "kestrun/update/wire_protocol.h"
#include "platform/clock.h"

#include <QTcpSocket>

#include <algorithm>

namespace kestrun {

CUpdateSocket::CUpdateSocket(EngineWait& wait)
    : wait_(wait), socket_(std::make_unique<QTcpSocket>()) {
    // Bytes are taken from the system only as fast as they are read: what the peer sends
    // beyond the reads waits in the kernel's window, however large that has grown.
    socket_->setReadBufferSize(kReadBufferSize);
    arm();
}

CUpdateSocket::~CUpdateSocket() {
    if (socket_->state() == QAbstractSocket::ConnectedState)
        socket_->disconnectFromHost();
    socket_->abort();
}

void CUpdateSocket::arm() {
    armed_ = true;
    deadlineMs_ = wait_.clock().monotonicMs() + static_cast<std::uint64_t>(kDeadline.count());
}

std::chrono::milliseconds CUpdateSocket::remaining() const {
    if (!armed_)
        return std::chrono::milliseconds(0);
    const std::uint64_t now = wait_.clock().monotonicMs();
    return std::chrono::milliseconds(now >= deadlineMs_ ? 0 : deadlineMs_ - now);
}

std::chrono::milliseconds CUpdateSocket::replyRemaining() const {
    if (replyEndMs_ == 0)
        return std::chrono::milliseconds::max();
    const std::uint64_t now = wait_.clock().monotonicMs();
    return std::chrono::milliseconds(now >= replyEndMs_ ? 0 : replyEndMs_ - now);
}

bool CUpdateSocket::connectTo(const std::string& host, std::int64_t port) {
    if (port < 0 || port > 65535 || host.empty())
        return false;
    socket_->connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
    while (socket_->state() != QAbstractSocket::ConnectedState) {
        const auto left = remaining();
        if (left.count() <= 0 || socket_->state() == QAbstractSocket::UnconnectedState)
            break;
        if (wait_.waitForSocket(*socket_, SocketEvent::Connected, left))
            break;
    }
    if (socket_->state() == QAbstractSocket::ConnectedState)
        return true;
    armed_ = false; // the deadline fired, or the connect failed on its own
    socket_->abort();
    return false;
}

bool CUpdateSocket::send(std::string_view bytes) {
    if (socket_->state() != QAbstractSocket::ConnectedState)
        return false;
    if (socket_->write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size()))
        return false;
    arm(); // the write is bounded like a read
    replyEndMs_ = wait_.clock().monotonicMs() + static_cast<std::uint64_t>(replyLimit_.count());
    while (socket_->bytesToWrite() > 0) {
        const auto left = remaining();
        if (left.count() <= 0 || !wait_.waitForSocket(*socket_, SocketEvent::BytesWritten, left))
            break;
    }
    return socket_->bytesToWrite() == 0;
}

CUpdateSocket::ReadResult CUpdateSocket::read(std::size_t maxBytes,
                                              std::chrono::milliseconds waitAtMost) {
    arm();
    const std::uint64_t start = wait_.clock().monotonicMs();
    for (;;) {
        if (replyRemaining().count() <= 0)
            return {ReadStatus::Expired, {}};
        if (socket_->bytesAvailable() > 0 || socket_->state() != QAbstractSocket::ConnectedState)
            break;
        const auto waited = std::chrono::milliseconds(wait_.clock().monotonicMs() - start);
        const auto left = std::min({remaining(), waitAtMost - waited, replyRemaining()});
        if (left.count() <= 0) {
            if (remaining().count() <= 0)
                armed_ = false; // fired: it stays disarmed until the next read arms it
            return {ReadStatus::Failed, {}};
        }
        if (!wait_.waitForSocket(*socket_, SocketEvent::ReadyRead, left) &&
            socket_->error() != QAbstractSocket::SocketTimeoutError &&
            socket_->error() != QAbstractSocket::RemoteHostClosedError &&
            socket_->state() == QAbstractSocket::ConnectedState)
            return {ReadStatus::Failed, {}};
    }
    if (socket_->bytesAvailable() > 0) {
        std::string bytes(std::min<std::size_t>(maxBytes, socket_->bytesAvailable()), '\0');
        const qint64 n = socket_->read(bytes.data(), static_cast<qint64>(bytes.size()));
        if (n <= 0)
            return {ReadStatus::Failed, {}};
        bytes.resize(static_cast<std::size_t>(n));
        return {ReadStatus::Data, std::move(bytes)};
    }
    // The connection has ended: an orderly close reads as nothing, anything else failed.
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError ||
        socket_->error() == QAbstractSocket::UnknownSocketError)
        return {ReadStatus::Closed, {}};
    return {ReadStatus::Failed, {}};
}

bool CUpdateSocket::connected() const {
    return socket_->state() == QAbstractSocket::ConnectedState;
}

std::optional<std::string> CUpdateSocket::readUntilClosed(std::size_t limit) {
    std::string all;
    for (;;) {
        ReadResult piece = read(wire::kReadSize);
        if (piece.status == ReadStatus::Expired)
            return std::nullopt;
        if (piece.status != ReadStatus::Data)
            return all;
        if (piece.bytes.size() > limit - all.size())
            return std::nullopt;
        all += piece.bytes;
    }
}

} // namespace kestrun

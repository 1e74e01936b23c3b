#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QTcpSocket;

namespace kestrun {

class EngineWait;

// One connection of the update client, used for one request. Its deadline of 2000 ms is armed
// when it is created (covering the connect) and again before every read; a connect or read
// still waiting when the deadline passes is cancelled and fails, and the deadline stays
// disarmed until it is armed again.
// The whole reply has a limit of its own, counted from the request: a peer that trickles its
// reply a byte at a time holds the client no longer than that.
class CUpdateSocket {
public:
    static constexpr std::chrono::milliseconds kDeadline{2000};
    static constexpr std::chrono::milliseconds kReplyLimit{10000};
    // The most bytes held for the reads at any time.
    static constexpr std::int64_t kReadBufferSize = 64 * 1024;

    enum class ReadStatus {
        Data,    // bytes arrived
        Closed,  // the server closed without (more) bytes
        Failed,  // the read failed or the deadline cancelled it
        Expired, // the reply's limit has passed: nothing more is read
    };
    struct ReadResult {
        ReadStatus status = ReadStatus::Failed;
        std::string bytes;
    };

    explicit CUpdateSocket(EngineWait& wait);
    ~CUpdateSocket();
    CUpdateSocket(const CUpdateSocket&) = delete;
    CUpdateSocket& operator=(const CUpdateSocket&) = delete;

    void arm();
    // Connects to the host (a name or a dotted address); false when that fails or the deadline
    // passes first. A port outside 0..65535 never connects.
    bool connectTo(const std::string& host, std::int64_t port);
    // The time the reply may take from the request on (kReplyLimit unless set before send).
    void setReplyLimit(std::chrono::milliseconds limit) { replyLimit_ = limit; }
    // Writes the request in one write; false when it could not go out. The reply's limit
    // starts here.
    bool send(std::string_view bytes);
    // Re-arms and reads once, up to maxBytes. With waitAtMostMs the read also gives up when
    // that many milliseconds (on the engine's clock) have passed.
    ReadResult read(std::size_t maxBytes,
                    std::chrono::milliseconds waitAtMost = std::chrono::milliseconds::max());
    // Reads, re-arming before each read, until a read brings nothing or fails. nullopt when
    // the reply grows beyond limit bytes or outlasts its limit in time: it is not whole.
    std::optional<std::string> readUntilClosed(std::size_t limit);
    // Whether the connection is still up, so that a failed read may yet be followed by bytes.
    bool connected() const;

private:
    std::chrono::milliseconds remaining() const;
    std::chrono::milliseconds replyRemaining() const;

    EngineWait& wait_;
    bool armed_ = false;
    std::uint64_t deadlineMs_ = 0;
    std::chrono::milliseconds replyLimit_ = kReplyLimit;
    std::uint64_t replyEndMs_ = 0; // 0 until the request went out
    std::unique_ptr<QTcpSocket> socket_;
};

} // namespace kestrun

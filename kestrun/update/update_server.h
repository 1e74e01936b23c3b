#pragma once

#include "kestrun/update/peer_line_limit.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

class QFile;
class QTimer;

namespace kestrun {

class Clock;
class DropFolder;

// The pauses and bounds of the update server. Each pause is a timer of its connection: the
// thread never sleeps.
struct ServerTiming {
    std::chrono::milliseconds replyPause{1000}; // after a reply, before the close
    std::chrono::milliseconds piecePause{10};   // after each piece of a file
    std::chrono::milliseconds idleLimit{10000}; // a peer without request or progress is dropped
    // A file is read on only while fewer bytes than this wait to go out.
    std::int64_t unsentLimit = 16 * 1024;
    // A connection lives at most the idle limit, its pause and the time its reply takes at
    // this rate (bytes per second, a third of the server's own pace of 1024 bytes per 10 ms):
    // a peer that reads on, but too slowly, is dropped too.
    std::int64_t slowestRate = 32 * 1024;
    // Connections held at once, in all and from one address (an IPv6 network of /64 counting
    // as one address). A new connection beyond either cap takes the place of the connection
    // that has waited longest without a request (from that address, or from any); when every
    // connection has sent its request, a new one from an address at its cap is closed at
    // once, and while all are taken no more are accepted: they wait in the listen backlog.
    int maxConnections = 256;
    int maxPerAddress = 16;
    // After an accept failed (no descriptor left), the next try comes this much later.
    std::chrono::milliseconds acceptRetry{1000};
    // A real client sends its request as soon as it is connected: a connection without one
    // after this long (on the server's clock) is cut off.
    std::chrono::milliseconds requestLimit{2000};
    // How often the request limits and the minutes of the peers' log lines are looked at,
    // while any is running.
    std::chrono::milliseconds sweepEvery{250};
    // The kernel's send buffer of each connection (SO_SNDBUF): what a peer that reads slowly
    // still receives after the server is done with it.
    int sendBuffer = 64 * 1024;
};

// What the server reports, read at the moment of each request, where it logs, and its clock.
class UpdateServerHost {
public:
    virtual ~UpdateServerHost() = default;
    virtual std::string zelmoFile() = 0; // the Ufile setting, "?" suffix included
    virtual std::uint32_t upost() = 0;
    virtual std::uint32_t upull() = 0;
    virtual std::int32_t busy() = 0;
    virtual void log(std::string_view message) = 0;
    // What the request limits and the minutes of the peers' log lines are measured on.
    virtual Clock& clock() = 0;
};

// A peer's address as the log names it: dotted IPv4, also for an IPv4-mapped IPv6 peer.
std::string peerAddressText(const QHostAddress& address);
// The address a peer is counted under: its dotted IPv4 address, or for IPv6 the /64 network
// it lies in ("2001:db8:1:2::/64"), since one host may take any number of addresses of its
// network.
std::string peerGroupText(const QHostAddress& address);

// One accepted connection: it reads one request, answers it, pauses and closes, and deletes
// itself when the connection ends from either side.
class CClientSocket : public QTcpSocket {
    Q_OBJECT
public:
    // "Done" and "Fail" lines go through the limit of lines per peer.
    CClientSocket(UpdateServerHost& host, const DropFolder& drop, const ServerTiming& timing,
                  PeerLineLimit& lines, QObject* parent);
    ~CClientSocket() override;

    // Closes the connection at once, without a reply.
    void closeNow();
    // Cuts the connection off: it is reset, and nothing still queued for the peer goes out.
    void drop();

signals:
    // The request has come (it is served next).
    void requestReceived();

private:
    void onReceive();
    void serveFile(const std::string& name);
    void sendNextPiece();
    void onBytesWritten();
    void reply(const std::string& bytes);
    void pauseThenClose();
    // From now on the connection may live as long as a reply of this many bytes needs.
    void liveFor(std::int64_t replyBytes);

    UpdateServerHost& host_;
    const DropFolder& drop_;
    const ServerTiming& timing_;
    PeerLineLimit& lines_;
    QTimer* idle_ = nullptr;
    QTimer* lifetime_ = nullptr;
    bool received_ = false;
    bool waitingToDrain_ = false;
    std::unique_ptr<QFile> file_;
};

// The listening socket of the update server, on all addresses (IPv4 and IPv6).
class CListenSocket : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kListenBacklog = 1024;
    static constexpr int kMaxPending = 30; // the framework's default

    // Serves the files of the given drop folder (it need not exist yet).
    CListenSocket(UpdateServerHost& host, const std::filesystem::path& dropFolder,
                  ServerTiming timing = {}, QObject* parent = nullptr);
    ~CListenSocket() override;

    // False when the port cannot be taken (in use, no permission).
    bool start(std::uint16_t port, const QHostAddress& address = QHostAddress::Any);

    // Connections held now, in all.
    int connectionCount() const { return static_cast<int>(slots_.size()); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Slot {
        CClientSocket* connection = nullptr;
        std::string group; // peerGroupText of the peer
        std::uint64_t acceptedMs = 0;
        bool waiting = true; // no request yet
    };
    // Frees the place of the connection that has waited longest without a request, of the
    // group or of any when group is null; false when there is none.
    bool evictOldestWaiting(const std::string* group);
    void onRequest(std::uint64_t id);
    void release(std::uint64_t id);
    // Cuts off the connections whose request limit has passed and ends the log's minutes.
    void sweep();
    void watch();
    // Stops accepting while every place is taken by a connection that has sent its request,
    // and starts again once a place is free.
    void setAccepting(bool accepting);

    UpdateServerHost& host_;
    std::unique_ptr<DropFolder> drop_;
    ServerTiming timing_;
    PeerLineLimit lines_;
    std::map<std::uint64_t, Slot> slots_; // in the order of their accept
    std::uint64_t nextSlot_ = 0;
    int waitingCount_ = 0;
    std::map<std::string, int> perAddress_;
    QTimer* sweep_ = nullptr;
    bool full_ = false; // accepting stopped until a place is free
    QTimer* resume_ = nullptr;
    bool acceptFailing_ = false;   // logged once until an accept succeeds again
    bool acceptedInRound_ = false; // a connection came since the last accept error
};

} // namespace kestrun

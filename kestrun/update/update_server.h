#pragma once

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
    // Connections held at once, in all and from one address; a new one beyond either is
    // closed at once.
    int maxConnections = 256;
    int maxPerAddress = 16;
    // After an accept failed (no descriptor left), the next try comes this much later.
    std::chrono::milliseconds acceptRetry{1000};
};

// What the server reports, read at the moment of each request, and where it logs.
class UpdateServerHost {
public:
    virtual ~UpdateServerHost() = default;
    virtual std::string zelmoFile() = 0; // the Ufile setting, "?" suffix included
    virtual std::uint32_t upost() = 0;
    virtual std::uint32_t upull() = 0;
    virtual std::int32_t busy() = 0;
    virtual void log(std::string_view message) = 0;
};

// A peer's address as the log names it: dotted IPv4, also for an IPv4-mapped IPv6 peer.
std::string peerAddressText(const QHostAddress& address);

// One accepted connection: it reads one request, answers it, pauses and closes, and deletes
// itself when the connection ends from either side.
class CClientSocket : public QTcpSocket {
    Q_OBJECT
public:
    CClientSocket(UpdateServerHost& host, const DropFolder& drop, const ServerTiming& timing,
                  QObject* parent);
    ~CClientSocket() override;

    // Closes the connection at once, without a reply.
    void closeNow();

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

    // Serves the files of the given drop folder (it need not exist yet).
    CListenSocket(UpdateServerHost& host, const std::filesystem::path& dropFolder,
                  ServerTiming timing = {}, QObject* parent = nullptr);
    ~CListenSocket() override;

    // False when the port cannot be taken (in use, no permission).
    bool start(std::uint16_t port, const QHostAddress& address = QHostAddress::Any);

    // Connections held now, in all.
    int connectionCount() const { return connectionCount_; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void release(const std::string& peer);

    UpdateServerHost& host_;
    std::unique_ptr<DropFolder> drop_;
    ServerTiming timing_;
    int connectionCount_ = 0;
    std::map<std::string, int> perAddress_;
    QTimer* resume_ = nullptr;
    bool acceptFailing_ = false;   // logged once until an accept succeeds again
    bool acceptedInRound_ = false; // a connection came since the last accept error
};

} // namespace kestrun

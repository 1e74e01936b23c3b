// The update server under an office's load, on loopback, each workstation from a loopback
// address of its own: 500 workstations poll at once (each "getState", then "getVer", on new
// connections under the client's 2000 ms deadline), then 100 workstations fetch a 1 MB file at
// once. Beside each figure stands what the original single-threaded server would give: it
// serves one connection at a time and holds its window thread for the 1000 ms pause after
// every reply and 10 ms after every 1024-byte piece. Last, a workstation polls on while 20
// hostile peers hold 16 idle connections each and open a new one whenever one is closed
// (argument: for how many seconds, 30 unless given).

#include "kestrun/update/update_server.h"
#include "kestrun/update/wire_protocol.h"
#include "platform/clock.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

class BenchHost final : public UpdateServerHost {
public:
    explicit BenchHost(std::string program) : program_(std::move(program)) {}
    std::string zelmoFile() override { return program_; }
    std::uint32_t upost() override { return 60; }
    std::uint32_t upull() override { return 10; }
    std::int32_t busy() override { return 0; }
    void log(std::string_view) override {}
    Clock& clock() override { return clock_; }

private:
    std::string program_;
    SystemClock clock_;
};

struct Tally {
    std::atomic<int> answered{0};
    std::atomic<int> timedOut{0};
    std::atomic<int> refused{0};
    std::atomic<int> slowestMs{0}; // from the connect to the answer
};

// A connection from the given loopback address, under the client's deadline of 2000 ms, armed
// when it is made and again before each read.
class BenchConnection {
public:
    static constexpr int kDeadlineMs = 2000;

    BenchConnection(const std::string& source, std::uint16_t port) {
        socket_.bind(QHostAddress(QString::fromStdString(source)));
        socket_.connectToHost(QHostAddress::LocalHost, port);
        connected_ = socket_.waitForConnected(kDeadlineMs);
    }
    bool connected() const { return connected_; }
    void send(std::string_view bytes) {
        socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket_.waitForBytesWritten(kDeadlineMs);
    }
    // Whether the server has not closed it yet (an idle peer's check, without waiting).
    bool stillOpen() {
        socket_.waitForReadyRead(0);
        return socket_.state() == QAbstractSocket::ConnectedState;
    }
    // One read: what came within the deadline, empty when nothing did.
    std::string read() {
        if (socket_.bytesAvailable() == 0)
            socket_.waitForReadyRead(kDeadlineMs);
        return socket_.read(wire::kReadSize).toStdString();
    }

private:
    QTcpSocket socket_;
    bool connected_ = false;
};

// The loopback address of workstation i (127.0.1.1, 127.0.1.2, ...), 250 to a block.
std::string workstation(int i, int block = 1) {
    return "127.0." + std::to_string(block + i / 250) + "." + std::to_string(1 + i % 250);
}

// One request on a new connection, reading once, as the client's check does.
void askOnce(const std::string& source, std::uint16_t port, std::string_view request,
             Tally& tally) {
    const auto start = Steady::now();
    BenchConnection connection(source, port);
    if (!connection.connected()) {
        ++tally.refused;
        return;
    }
    connection.send(request);
    if (connection.read().empty()) {
        ++tally.timedOut;
        return;
    }
    ++tally.answered;
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count());
    for (int seen = tally.slowestMs; ms > seen && !tally.slowestMs.compare_exchange_weak(seen, ms);)
        ;
}

// A whole file on one connection, read in 1024-byte reads, as the language-file mirror does.
bool fetch(const std::string& source, std::uint16_t port, const std::string& name,
           std::size_t size) {
    BenchConnection connection(source, port);
    if (!connection.connected())
        return false;
    connection.send(wire::getFileRequest(name));
    std::size_t received = 0;
    while (received < size) {
        const std::string piece = connection.read();
        if (piece.empty())
            return false;
        received += piece.size();
    }
    return true;
}

// Peers that hold perSource idle connections from each of their addresses and open a new one
// as soon as one is closed, on a thread of their own until destroyed.
class IdleFlood {
public:
    IdleFlood(std::uint16_t port, int sources, int perSource) {
        thread_ = std::thread([this, port, sources, perSource] {
            std::vector<std::unique_ptr<BenchConnection>> held(
                static_cast<std::size_t>(sources * perSource));
            while (!stop_) {
                for (std::size_t i = 0; i < held.size(); ++i) {
                    if (held[i] && held[i]->connected() && held[i]->stillOpen())
                        continue;
                    held[i] = std::make_unique<BenchConnection>(
                        workstation(static_cast<int>(i) % sources, 3), port);
                    ++opened_;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~IdleFlood() {
        stop_ = true;
        thread_.join();
    }
    int opened() const { return opened_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> opened_{0};
    std::thread thread_;
};

double secondsSince(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

// Runs the jobs on threads of their own while the server's thread serves its events.
template <typename Job> double runAtOnce(int count, Job job) {
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    const auto start = Steady::now();
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            job(i);
            ++finished;
        });
    while (finished < count)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double seconds = secondsSince(start);
    for (std::thread& t : threads)
        t.join();
    return seconds;
}

int run(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const fs::path dir =
        fs::temp_directory_path() / ("kestrun-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir / "Drop");
    constexpr std::size_t kFileSize = 1024 * 1024;
    {
        std::ofstream out(dir / "Drop" / "big.ini", std::ios::binary);
        const std::string block(1024, 'z');
        for (std::size_t i = 0; i < kFileSize / block.size(); ++i)
            out << block;
    }
    const fs::path self = fs::canonical("/proc/self/exe");
    BenchHost host(self.string());
    CListenSocket server(host, dir / "Drop"); // as the program runs it, caps and all
    if (!server.start(0, QHostAddress::LocalHost)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const std::uint16_t port = server.serverPort();
    const int attackSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;

    constexpr int kPollers = 500;
    Tally polls;
    const double pollSeconds = runAtOnce(kPollers, [&](int i) {
        askOnce(workstation(i), port, wire::kGetState, polls);
        askOnce(workstation(i), port, wire::kGetVer, polls);
    });

    const double oneSeconds =
        runAtOnce(1, [&](int) { fetch(workstation(0), port, "big.ini", kFileSize); });
    constexpr int kFetchers = 100;
    std::atomic<int> fetched{0};
    const double manySeconds = runAtOnce(kFetchers, [&](int i) {
        if (fetch(workstation(i), port, "big.ini", kFileSize))
            ++fetched;
    });

    // A workstation polls, one request after the other, while the peers hold every place.
    constexpr int kPeers = 20, kPerPeer = 16;
    Tally attacked;
    int opened = 0;
    {
        const IdleFlood flood(port, kPeers, kPerPeer);
        runAtOnce(1, [&](int) {
            const auto end = Steady::now() + std::chrono::seconds(attackSeconds);
            while (Steady::now() < end)
                askOnce("127.0.4.1", port, wire::kGetState, attacked);
        });
        opened = flood.opened();
    }
    const int asked = attacked.answered + attacked.timedOut + attacked.refused;

    // The original: one request at a time, each holding the thread 1000 ms after its reply;
    // a client gives up 2000 ms after it connected, so about two requests are answered in
    // time, and serving all of them one after the other takes a second each.
    const int requests = 2 * kPollers;
    const double modelPieces = static_cast<double>(kFileSize) / 1024.0;
    const double modelFile = modelPieces * 0.010 + 1.0;
    std::fprintf(stderr, "update server on loopback, %d cores\n",
                 static_cast<int>(std::thread::hardware_concurrency()));
    // Rows of the one table: the single-threaded model is worked out, not run.
    std::printf("| update server: %d clients from %d addresses at once, getState + getVer (2000 ms "
                "deadline) | %d of %d answered (slowest %d ms), %d timed out, %d refused, %.2f s "
                "| single-threaded model: ~2 answered in time, %d s for all | |\n",
                kPollers, kPollers, polls.answered.load(), requests, polls.slowestMs.load(),
                polls.timedOut.load(), polls.refused.load(), pollSeconds, requests);
    std::printf("| update server: %d clients at once, a 1 MB file each | %d of %d complete, "
                "%.1f s (one client alone: %.1f s) | one after another: %.0f s | |\n",
                kFetchers, fetched.load(), kFetchers, manySeconds, oneSeconds,
                modelFile * kFetchers);
    std::printf("| update server: one client polling for %d s while %d peers hold %d idle "
                "connections each and reopen them | %d of %d answered (slowest %d ms), "
                "%d idle connections opened | | |\n",
                attackSeconds, kPeers, kPerPeer, attacked.answered.load(), asked,
                attacked.slowestMs.load(), opened);
    fs::remove_all(dir);
    return polls.answered == requests && fetched == kFetchers && attacked.answered == asked ? 0 : 1;
}

} // namespace
} // namespace kestrun

int main(int argc, char** argv) {
    return kestrun::run(argc, argv);
}

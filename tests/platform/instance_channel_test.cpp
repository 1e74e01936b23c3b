#include "platform/instance_channel.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <string>
#include <thread>

using kestrun::InstanceChannel;
using kestrun::test::processEventsUntil;
using kestrun::test::TempDir;
using Answer = InstanceChannel::Answer;
namespace fs = std::filesystem;

namespace {

// A raw peer of the channel (connected, or with `listen` a listener that never answers).
struct Peer {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    std::string received;

    explicit Peer(const fs::path& file, bool listen = false) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, file.c_str(), sizeof address.sun_path - 1);
        const auto* at = reinterpret_cast<const sockaddr*>(&address);
        EXPECT_EQ(listen ? ::bind(fd, at, sizeof address) + ::listen(fd, 1)
                         : ::connect(fd, at, sizeof address),
                  0);
    }
    ~Peer() { ::close(fd); }
    void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Serves the channel's events until it has closed this peer.
    bool waitClosed(int limitMs = 3000) {
        return processEventsUntil(
            [&] {
                char buffer[64];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0)
                    received.append(buffer, static_cast<std::size_t>(n));
                return n == 0 || (n < 0 && errno != EAGAIN);
            },
            limitMs);
    }
};

} // namespace

// Only the one line "show\n" is acted on and answered; anything else, too much or a peer that
// leaves early is closed without a word.
TEST(InstanceChannel, OnlyAShowLineIsServed) {
    struct Case {
        std::string bytes; // "|": a pause between two pieces
        bool served;
    };
    const Case cases[] = {
        {"show\n", true},   {"sh|ow\n", true},
        {"show", false},    {"SHOW\n", false},
        {"show \n", false}, {"show\nshow\n", false},
        {"shown\n", false}, {std::string(64, 's'), false},
        {"", false},
    };
    TempDir dir;
    int shown = 0;
    InstanceChannel channel(dir / "ch.sock", [&] { ++shown; });
    ASSERT_TRUE(channel.listening());
    EXPECT_EQ(fs::status(dir / "ch.sock").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        shown = 0;
        Peer peer(dir / "ch.sock");
        const auto cut = c.bytes.find('|');
        peer.send(c.bytes.substr(0, cut));
        if (cut != std::string::npos) {
            processEventsUntil([] { return false; }, 50);
            peer.send(c.bytes.substr(cut + 1));
        }
        ::shutdown(peer.fd, SHUT_WR); // a peer that stops sending gets no more wait
        ASSERT_TRUE(peer.waitClosed());
        EXPECT_EQ(shown, c.served ? 1 : 0);
        EXPECT_EQ(peer.received, c.served ? "shown\n" : "");
    }
}

// A few silent peers wait at a time, each for a second; when more come the one waiting
// longest goes, and a request that has come is served at once. So while the same user floods
// the channel with connections that never speak (each one the channel closes opened again),
// every later start is still answered.
TEST(InstanceChannel, SilentPeersNeverKeepALaterStartWaiting) {
    TempDir dir;
    int shown = 0;
    InstanceChannel channel(dir / "ch.sock", [&] { ++shown; });
    std::vector<std::unique_ptr<Peer>> silent;
    for (int i = 0; i <= InstanceChannel::kMaxPeers; ++i) {
        silent.push_back(std::make_unique<Peer>(dir / "ch.sock"));
        processEventsUntil([] { return false; }, 20);
    }
    EXPECT_TRUE(silent.front()->waitClosed(100)) << "the oldest silent peer stays";
    EXPECT_FALSE(silent.back()->waitClosed(100));
    Peer extra(dir / "ch.sock");
    extra.send("show\n");
    ASSERT_TRUE(extra.waitClosed(500));
    EXPECT_EQ(extra.received, "shown\n");
    for (auto& peer : silent)
        EXPECT_TRUE(peer->waitClosed(3000));

    std::atomic<bool> stop{false};
    std::thread flood([&] {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, (dir / "ch.sock").c_str(), sizeof address.sun_path - 1);
        std::vector<int> held(200, -1);
        while (!stop) {
            for (int& fd : held) {
                char byte;
                if (fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN)
                    continue;
                ::close(fd);
                fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (const int fd : held)
            ::close(fd);
    });
    for (int start = 0; start < 3; ++start) {
        auto asked = std::async(std::launch::async, [&] {
            return InstanceChannel::askToShow(dir / "ch.sock", std::chrono::seconds(2));
        });
        ASSERT_TRUE(processEventsUntil(
            [&] { return asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        EXPECT_EQ(asked.get(), Answer::Shown) << start;
    }
    stop = true;
    flood.join();
    EXPECT_EQ(shown, 4);
}

// The file an ended instance left is replaced; anything else there is left alone. The later
// start tells a missing listener from one that does not answer.
TEST(InstanceChannel, StaleSocketsAreReplacedOtherFilesKept) {
    TempDir dir;
    const fs::path stale = dir / "stale.sock";
    {
        Peer mute(stale, true);
        EXPECT_EQ(InstanceChannel::askToShow(stale, std::chrono::milliseconds(100)),
                  Answer::NoAnswer);
    }
    EXPECT_EQ(InstanceChannel::askToShow(stale, std::chrono::seconds(1)), Answer::NoListener);
    {
        InstanceChannel channel(stale, nullptr);
        EXPECT_TRUE(channel.listening());
    }
    EXPECT_FALSE(fs::exists(stale)); // removed with the channel

    kestrun::test::writeFile(dir / "file.sock", "mine");
    EXPECT_FALSE(InstanceChannel(dir / "file.sock", nullptr).listening());
    EXPECT_EQ(kestrun::test::readFile(dir / "file.sock"), "mine");
}

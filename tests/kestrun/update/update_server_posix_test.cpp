// The update server's cases that need POSIX: FIFOs and devices in the drop folder, the
// kernel's send queue of a socket, descriptors run out.
#include "tests/kestrun/update/server_fixture.h"

#include "platform/regular_file.h"

#include <fcntl.h>
#include <future>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using kestrun::CClientSocket;
using kestrun::ServerTiming;
using kestrun::test::pattern;
using kestrun::test::quickTiming;
using kestrun::test::rawExchange;
using kestrun::test::RawExchange;
using kestrun::test::ServerFixture;
using kestrun::test::writeFile;
using namespace std::chrono_literals;

class UpdateServer : public ServerFixture {};

TEST_F(UpdateServer, NamesThatLeadOutOfTheDropFolderGetNothing) {
    startServer({50ms, 1ms, 3000ms, 16 * 1024});
    writeFile(dir_ / "secret", "outside");
    writeFile(drop() / "de.ini", "inside");
    fs::create_directory(drop() / "sub");
    writeFile(drop() / "sub" / "x.ini", "in a subfolder");
    fs::create_symlink(dir_ / "secret", drop() / "link_out");
    fs::create_symlink("../secret", drop() / "relative_out");
    fs::create_directory_symlink(dir_.path(), drop() / "folder_out");
    fs::create_symlink("de.ini", drop() / "link_in");
    fs::create_symlink("/dev/zero", drop() / "device");
    ASSERT_EQ(mkfifo((drop() / "fifo").c_str(), 0600), 0);
    const std::string names[] = {
        "../secret",
        "..\\secret",
        (dir_ / "secret").string(), // absolute
        "/etc/passwd",
        ".\r\n./secret", // the CR LF goes, leaving "../secret"
        "..\r\n",
        "..",
        ".",
        "",
        "sub/x.ini",
        "sub\\x.ini",
        "./de.ini",
        "link_out",
        "relative_out",
        "folder_out",
        "sub",
        "device",
        "fifo",
    };
    for (const std::string& name : names) {
        for (const char* verb : {"getSize:", "getFile:"}) {
            const RawExchange x = exchange(verb + name + "\r\n");
            EXPECT_EQ(x.bytes(), "0\n") << verb << testing::PrintToString(name);
        }
    }
    EXPECT_EQ(exchange("getFile:link_in\r\n").bytes(), "inside"); // a link that stays inside
    const std::string list = exchange("getLang\r\n").bytes();
    EXPECT_NE(list.find("de.ini\t"), std::string::npos);
    EXPECT_NE(list.find("link_in\t"), std::string::npos);
    for (const char* hidden : {"link_out", "relative_out", "folder_out", "sub", "device", "fifo"})
        EXPECT_EQ(list.find(std::string(hidden) + "\t"), std::string::npos) << hidden;
}

TEST_F(UpdateServer, AClientThatStopsReadingDoesNotMakeTheServerBufferTheFile) {
    constexpr std::int64_t kLimit = 16 * 1024;
    startServer({50ms, 0ms, 8000ms, kLimit});
    const std::string content = pattern(24 * 1024 * 1024);
    writeFile(drop() / "big.ini", content);
    const std::uint16_t p = port();
    std::int64_t largestBacklog = 0;
    auto running = std::async(std::launch::async, [p] {
        // A small receive window and a long stop before reading.
        return kestrun::test::rawExchange(p, {"getFile:big.ini\r\n", 1500ms, 30000ms, 4096});
    });
    int largestQueue = 0; // what the kernel holds for the peer
    kestrun::test::serveEventsUntil([&] {
        for (const CClientSocket* c : server_->findChildren<CClientSocket*>()) {
            largestBacklog = std::max<std::int64_t>(largestBacklog, c->bytesToWrite());
            int queued = 0;
            if (::ioctl(static_cast<int>(c->socketDescriptor()), TIOCOUTQ, &queued) == 0)
                largestQueue = std::max(largestQueue, queued);
        }
        return running.wait_for(0ms) == std::future_status::ready;
    });
    const RawExchange x = running.get();
    EXPECT_EQ(x.bytes().size(), content.size());
    EXPECT_TRUE(x.bytes() == content);
    EXPECT_GT(largestBacklog, 0);
    EXPECT_LE(largestBacklog, kLimit + 1024);
    EXPECT_GT(largestQueue, 0);
    EXPECT_LE(largestQueue, 160 * 1024); // the send buffer of 64 KiB, which the kernel doubles
}

// With no descriptor left the server cannot accept: it says so once and takes the waiting
// client as soon as a descriptor is free again.
TEST_F(UpdateServer, AcceptingResumesWhenDescriptorsComeBack) {
    ServerTiming timing = quickTiming();
    timing.acceptRetry = 200ms;
    startServer(timing);
    const std::uint16_t p = port();
    std::future<RawExchange> running;
    { // every descriptor taken
        const kestrun::test::ScopedDescriptorLimit limit(32);
        std::vector<kestrun::FileDescriptor> filler;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
            filler.emplace_back(fd);
        filler.pop_back(); // the one the client's socket takes
        running = std::async(std::launch::async, [p] {
            return rawExchange(p, {"getState\r\n", 0ms, 10000ms});
        });
        kestrun::test::serveEventsUntil([&] {
            return !host_.lines.empty() || running.wait_for(0ms) == std::future_status::ready;
        });
        const auto until = std::chrono::steady_clock::now() + 700ms; // more tries fail meanwhile
        kestrun::test::serveEventsUntil([&] { return std::chrono::steady_clock::now() > until; });
    }
    kestrun::test::serveEventsUntil(
        [&] { return running.wait_for(0ms) == std::future_status::ready; });
    EXPECT_EQ(running.get().bytes(), "25;20;1\r");
    EXPECT_EQ(exchange("getState\r\n").bytes(), "25;20;1\r"); // and it goes on accepting
    EXPECT_EQ(host_.lines,
              std::vector<std::string>{"Update server can not accept: Out of resources"});
}

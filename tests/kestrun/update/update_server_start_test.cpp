#include "kestrun/update/update_server_handler.h"
#include "platform/clock.h"
#include "tests/kestrun/update/server_fixture.h"

#include <QTcpServer>

namespace fs = std::filesystem;
using kestrun::test::readLines;
using namespace std::chrono_literals;

namespace {

struct Started {
    kestrun::test::TempDir dir;
    kestrun::TestClock clock{kestrun::LocalDateTime::fromFields(2024, 3, 15, 10, 30, 0)};
    kestrun::Settings settings;
    std::atomic<std::int32_t> busy{0};
    kestrun::EventLog log{clock, dir.path()};
    kestrun::UpdateServerHandler handler{settings, busy, log, clock};

    std::vector<std::string> logLines() const {
        std::vector<std::string> messages;
        for (const std::string& line : readLines(log.file()))
            messages.push_back(line.substr(line.find('\t') + 1));
        return messages;
    }
};

} // namespace

TEST(UpdateServerStart, ServesTheWindowsSettingsAndBusyFlagAndMakesTheDropFolder) {
    Started s;
    s.settings.uport = 0; // any free port, on loopback only for the test
    s.settings.upost = 60;
    s.settings.upull = 10;
    s.settings.ufile = kestrun::test::testPe("zelmo_5_2_0_117.exe").string() + "?+";
    ASSERT_TRUE(
        s.handler.start(s.dir.path(), {100ms, 1ms, 3000ms, 16 * 1024}, QHostAddress::LocalHost));
    EXPECT_EQ(s.logLines(), std::vector<std::string>{"Update server started"});
    EXPECT_TRUE(fs::is_directory(s.dir / "Drop"));
    const std::uint16_t port = s.handler.listenSocket()->serverPort();
    const auto ask = [port](const std::string& request) {
        return kestrun::test::whileServing<std::string>(
            [port, request] { return kestrun::test::rawExchange(port, {request}).bytes(); });
    };
    EXPECT_EQ(ask("getState\r\n"), "60;10;0\r");
    s.busy = 1; // read at each request
    s.settings.upull = 20;
    EXPECT_EQ(ask("getState\r\n"), "60;20;1\r");
    EXPECT_EQ(ask("getVer\r\n"), "ZLM:5.2.0.117\r");
    kestrun::test::writeFile(s.dir / "Drop" / "de.ini", "abc");
    EXPECT_EQ(ask("getSize:de.ini\r\n"), "3\n");
    ask("Done\r\n");
    EXPECT_EQ(s.logLines(),
              (std::vector<std::string>{"Update server started", "127.0.0.1 ZLM client updated"}));
}

TEST(UpdateServerStart, APortInUseIsLoggedOnceAndTheDropFolderStillMade) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    Started s;
    kestrun::test::writeFile(s.dir / "Drop" / "keep.ini", "kept"); // an existing folder stays
    s.settings.uport = taken.serverPort();
    EXPECT_FALSE(s.handler.start(s.dir.path()));
    EXPECT_EQ(s.handler.listenSocket(), nullptr);
    EXPECT_EQ(s.logLines(), std::vector<std::string>{"Update server not started"});
    EXPECT_EQ(kestrun::test::readFile(s.dir / "Drop" / "keep.ini"), "kept");

    Started outOfRange;
    outOfRange.settings.uport = 70000;
    EXPECT_FALSE(outOfRange.handler.start(outOfRange.dir.path(), {}, QHostAddress::LocalHost));
    EXPECT_EQ(outOfRange.logLines(), std::vector<std::string>{"Update server not started"});
    EXPECT_TRUE(fs::is_directory(outOfRange.dir / "Drop"));
}

#include "kestrun/update/update_server_handler.h"
#include "platform/clock.h"
#include "tests/kestrun/update/server_fixture.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>

#include <sstream>
#include <sys/resource.h>
#include <thread>

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

namespace {

// The soft and hard limits of open descriptors of a running process.
std::pair<std::string, std::string> descriptorLimits(qint64 pid) {
    std::istringstream limits(kestrun::test::readFile("/proc/" + std::to_string(pid) + "/limits"));
    std::string word, soft, hard;
    while (limits >> word && word != "files") {
    }
    limits >> soft >> hard;
    return {soft, hard};
}

// Runs the real program as an update server with the given port, started with a soft
// descriptor limit of 64, until its log has `lines` lines; returns the log's messages.
// `whileRunning` talks to it meanwhile.
std::vector<std::string> runServerProgram(const kestrun::test::TempDir& dir, int port,
                                          std::size_t lines,
                                          const std::function<void(qint64 pid)>& whileRunning) {
    const auto work = dir / "work";
    fs::create_directories(work);
    fs::create_directories(dir / "config/Tavisoft");
    kestrun::test::writeFile(dir / "config/Tavisoft/Kestrun.conf",
                             "[General]\nUmode=1\nUport=" + std::to_string(port) + "\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* sub : {"xdg", "runtime", "appdata"}) {
        fs::create_directories(dir / sub);
    }
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((dir / "config").string()));
    env.insert("XDG_CONFIG_DIRS", QString::fromStdString((dir / "xdg").string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString((dir / "runtime").string()));
    env.insert("APPDATA", QString::fromStdString((dir / "appdata").string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess program;
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(QString::fromStdString(work.string()));
    program.setChildProcessModifier([] {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(64, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    program.start(QString::fromStdString((kestrun::test::binDir() / "kestrun").string()), {});
    EXPECT_TRUE(program.waitForStarted());
    const auto log = work / "Kestrun.log";
    EXPECT_TRUE(kestrun::test::waitUntil(
        [&] { return fs::exists(log) && readLines(log).size() >= lines; }, 10s));
    whileRunning(program.processId());
    program.kill();
    program.waitForFinished();
    std::vector<std::string> messages;
    for (const std::string& line : readLines(log))
        messages.push_back(line.substr(line.find('\t') + 1));
    return messages;
}

} // namespace

TEST(UpdateServerStart, TheProgramInServerModeStartsItsServerAfterProgramStarted) {
    kestrun::test::TempDir dir;
    QTcpServer probe; // a free port
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const int port = probe.serverPort();
    probe.close();
    std::string state;
    std::pair<std::string, std::string> limits;
    const auto messages = runServerProgram(dir, port, 2, [&](qint64 pid) {
        state =
            kestrun::test::rawExchange(static_cast<std::uint16_t>(port), {"getState\r\n"}).bytes();
        limits = descriptorLimits(pid);
    });
    ASSERT_FALSE(limits.second.empty());
    EXPECT_EQ(limits.first, limits.second) << "the soft limit is raised to the hard one";
    EXPECT_EQ(messages, (std::vector<std::string>{"Program started", "Update server started"}));
    EXPECT_EQ(state, "60;60;0\r");
    EXPECT_TRUE(fs::is_directory(dir / "work/Drop"));
}

TEST(UpdateServerStart, TheProgramWithItsPortTakenRunsOnWithoutServer) {
    kestrun::test::TempDir dir;
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    const auto messages = runServerProgram(dir, taken.serverPort(), 2,
                                           [](qint64) { std::this_thread::sleep_for(300ms); });
    EXPECT_EQ(messages, (std::vector<std::string>{"Program started", "Update server not started"}));
    EXPECT_TRUE(fs::is_directory(dir / "work/Drop"));
}

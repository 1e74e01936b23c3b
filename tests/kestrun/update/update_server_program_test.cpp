// The real program in server mode, started with its settings file and a low descriptor limit
// (POSIX: the settings file of XDG_CONFIG_HOME, the limits of /proc).
#include "tests/peers/raw_client.h"
#include "tests/support/test_support.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <sstream>
#include <sys/resource.h>
#include <thread>

namespace fs = std::filesystem;
using kestrun::test::readLines;
using namespace std::chrono_literals;

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
    program.start(QString::fromStdString(kestrun::test::builtProgram("kestrun").string()), {});
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

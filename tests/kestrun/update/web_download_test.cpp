#include "release/program_names.h"
#include "tests/kestrun/update/web_fixture.h"

#include <QTimer>

#include <chrono>
#include <thread>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

class WebDownloadTest : public WebFixture {
protected:
    std::string savedLine(std::size_t received, std::size_t announced, const std::string& local) {
        return "Update downloaded, size: " + std::to_string(received) + " of " +
               std::to_string(announced) +
               " bytes, version: 1.0.0.0, file: " + (work_ / local).string();
    }
    std::string cancelLine(std::size_t received, std::size_t announced, const std::string& local) {
        return "Update downloaded, size: " + std::to_string(received) + " of " +
               std::to_string(announced) + " bytes, file: " + (work_ / local).string() +
               ", but could not read version! cancelation!";
    }
    // The names in the working folder, apart from the event log.
    std::vector<std::string> workFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(work_.path()))
            if (entry.path().filename() != EventLog::kFileName)
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(WebDownloadTest, SavesEachKindUnderItsLocalName) {
    struct Kind {
        int kind;
        std::string remote;
        std::string local;
    };
    const auto own = [](int kind, std::string_view program) {
        return Kind{kind, "KSN/" + programFileName(program), downloadFileName(program)};
    };
    const Kind kinds[] = {
        {0, "Zelmov5/Zelmo.exe", "Zelmo.exe"},
        own(1, kKestrunProgram),
        own(2, kBackupProgram),
        own(3, kUpdaterProgram),
        {4, "Zelmov5/Zelmo_serv.exe", "Zelmo_serv.exe"},
    };
    startSite();
    const std::string program = versionedExecutable();
    ASSERT_GT(program.size(), 1000u);
    for (const Kind& k : kinds)
        publish(k.remote, program);

    for (const Kind& k : kinds) {
        ASSERT_TRUE(web_.download(k.kind)) << k.local;
        EXPECT_EQ(readFile(work_ / k.local), program) << k.local;
        const std::string& remote = k.remote;
        const auto slash = remote.find('/');
        EXPECT_EQ(requestedPaths().back(),
                  "/" + remote.substr(0, slash) + "//" + remote.substr(slash + 1));
        EXPECT_EQ(logMessages().back(), savedLine(program.size(), program.size(), k.local));
        const auto mode = fs::status(work_ / k.local).permissions();
        if (systemHasModeBits()) {
            EXPECT_NE(mode & fs::perms::owner_exec, fs::perms::none) << k.local;
            EXPECT_NE(mode & fs::perms::others_exec, fs::perms::none) << k.local;
        }
    }
    const std::size_t served = requestedPaths().size();
    EXPECT_FALSE(web_.download(-1));
    EXPECT_FALSE(web_.download(5));
    EXPECT_EQ(requestedPaths().size(), served);
    EXPECT_EQ(logMessages().size(), 5u);
    EXPECT_EQ(workFiles(), (std::vector<std::string>{"Zelmo.exe", "Zelmo_serv.exe",
                                                     downloadFileName(kBackupProgram),
                                                     downloadFileName(kKestrunProgram),
                                                     downloadFileName(kUpdaterProgram)}));
}

TEST_F(WebDownloadTest, SavesAnErrorPageButRejectsIt) {
    startSite();
    const std::string page = "<html><body><h1>404 Not Found</h1></body></html>";
    setRoutes(R"({"/Zelmov5//Zelmo.exe": {"status": 404, "body": ")" + page + "\"}}");
    EXPECT_FALSE(web_.download(0));
    EXPECT_EQ(readFile(work_ / "Zelmo.exe"), page);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{cancelLine(page.size(), page.size(), "Zelmo.exe")}));
}

TEST_F(WebDownloadTest, LogsTheBytesReceivedAndTheAnnouncedLength) {
    startSite();
    std::string million(1000000, '\0');
    for (std::size_t i = 0; i < million.size(); ++i)
        million[i] = static_cast<char>('a' + i % 26);
    publish("big.bin", million);
    const std::string program = versionedExecutable();
    publish("program", program);
    setRoutes(R"({"/Zelmov5//Zelmo.exe": {"file": "big.bin", "no_length": true},
                 "/Zelmov5//Zelmo_serv.exe": {"file": "program", "no_length": true}})");

    EXPECT_FALSE(web_.download(0));
    EXPECT_EQ(fs::file_size(work_ / "Zelmo.exe"), 1000000u);
    EXPECT_TRUE(web_.download(4));
    EXPECT_EQ(readFile(work_ / "Zelmo_serv.exe"), program);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{cancelLine(1000000, 0, "Zelmo.exe"),
                                        savedLine(program.size(), 0, "Zelmo_serv.exe")}));
}

TEST_F(WebDownloadTest, SavesTheBodyOfARedirectWithoutFollowingIt) {
    startSite();
    publish("Zelmov5/real.exe", versionedExecutable());
    setRoutes(R"({"/Zelmov5//Zelmo.exe": {"redirect": "/Zelmov5/real.exe", "body": "Moved"}})");
    EXPECT_FALSE(web_.download(0));
    EXPECT_EQ(readFile(work_ / "Zelmo.exe"), "Moved");
    EXPECT_EQ(requestedPaths(), (std::vector<std::string>{"/Zelmov5//Zelmo.exe"}));
    EXPECT_EQ(logMessages(), (std::vector<std::string>{cancelLine(5, 5, "Zelmo.exe")}));
}

// A body that stalls or ends before its announced length is logged with its sizes and not
// kept; a site that is gone logs nothing. The older file stays in every case.
TEST_F(WebDownloadTest, AFailedTransferKeepsTheOlderFile) {
    startSite();
    const std::string program = versionedExecutable();
    publish("program", program);
    writeFile(work_ / "Zelmo.exe", "older copy");
    constexpr std::int64_t kAny = WebUpdates::kMostDownloaded;
    // A stall, a body short of its length, a trickle past the whole limit, a body past the
    // size cap: each keeps nothing (received -1: whatever had arrived when it was cut).
    const struct {
        std::string route;
        long long received;
        std::size_t announced;
        std::int64_t most;
        const char* ending;
    } cases[] = {
        {R"({"file": "program", "stall_after": 100})", 100, program.size(), kAny, "incomplete"},
        {R"({"raw": "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nshort"})", 5, 1000, 1 << 20,
         "incomplete"},
        {R"({"file": "program", "slow_pieces": 12, "piece_delay": 0.8})", -1, program.size(), kAny,
         "incomplete"},
        {R"({"file": "program"})", -1, program.size(), 64, "too large"},
    };
    for (const auto& c : cases) {
        fs::remove(log_.file());
        setRoutes(R"({"/Zelmov5//Zelmo.exe": )" + c.route + "}");
        web_.setMostDownloaded(c.most);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(web_.download(0)) << c.route;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
        EXPECT_EQ(readFile(work_ / "Zelmo.exe"), "older copy");
        const std::vector<std::string> lines = logMessages();
        ASSERT_EQ(lines.size(), 1u) << c.route;
        const std::string tail = " of " + std::to_string(c.announced) +
                                 " bytes, file: " + (work_ / "Zelmo.exe").string() +
                                 ", but it is " + c.ending + "! cancelation!";
        const std::string head = "Update downloaded, size: ";
        EXPECT_TRUE(lines[0].starts_with(head) && lines[0].ends_with(tail)) << lines[0];
        if (c.received >= 0) {
            EXPECT_EQ(lines[0], head + std::to_string(c.received) + tail);
        }
    }
    web_.setMostDownloaded(WebUpdates::kMostDownloaded);

    fs::remove(log_.file());
    server_.reset(); // the site goes away: nothing answers on its port any more
    EXPECT_FALSE(web_.download(0));
    EXPECT_FALSE(web_.readWebVersion(0));
    EXPECT_EQ(readFile(work_ / "Zelmo.exe"), "older copy");
    EXPECT_TRUE(logMessages().empty());
    EXPECT_EQ(workFiles(), (std::vector<std::string>{"Zelmo.exe"}));
}

TEST_F(WebDownloadTest, ADownloadThatCannotTakeItsPlaceLeavesTheOldOneThere) {
    startSite();
    const std::string program = versionedExecutable();
    publish("Zelmov5/Zelmo.exe", program);
    // Something that is no file holds the name: the download cannot replace it.
    fs::create_directories(work_ / "Zelmo.exe");
    writeFile(work_ / "Zelmo.exe" / "inside", "kept");
    EXPECT_FALSE(web_.download(0));
    EXPECT_EQ(readFile(work_ / "Zelmo.exe" / "inside"), "kept");
    EXPECT_EQ(workFiles(), (std::vector<std::string>{"Zelmo.exe"}));
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{cancelLine(program.size(), program.size(), "Zelmo.exe")}));
}

TEST_F(WebDownloadTest, TheWindowThreadServesEventsWhileADownloadRuns) {
    startSite();
    const std::string program = versionedExecutable();
    publish("program", program);
    setRoutes(R"({"/KSN//)" + programFileName(kBackupProgram) +
              R"(": {"file": "program", "slow_pieces": 16, "piece_delay": 0.05}})");
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(10);

    EXPECT_TRUE(web_.download(2));
    const int ticksDuringDownload = ticks;
    timer.stop();
    // The download took about 0.8 s; the timer kept firing on this thread meanwhile, and the
    // call returned only once the file was complete.
    EXPECT_GE(ticksDuringDownload, 10);
    EXPECT_EQ(readFile(work_ / downloadFileName(kBackupProgram)), program);

    // The update worker downloads from a thread of its own, without an event loop.
    bool fromWorker = false;
    std::thread worker([&] { fromWorker = web_.download(2); });
    worker.join();
    EXPECT_TRUE(fromWorker);
}

} // namespace
} // namespace kestrun::test

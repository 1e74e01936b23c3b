#include "tests/kestrun/update/lan_client_fixture.h"

#include "kestrun/update/countdown.h"
#include "tests/support/qt_app.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <map>
#include <random>

namespace fs = std::filesystem;
using kestrun::kZelmoCountdownMessage;
using kestrun::test::LanClientFixture;
using kestrun::test::readFile;
using kestrun::test::ScriptedServer;
using kestrun::test::writeFile;
using Strings = std::vector<std::string>;
using Mode = ScriptedServer::Mode;
using namespace std::string_literals;

namespace {

class LanClientTest : public LanClientFixture {
public:
    const std::string& webBase() const { return settings_.uhttp; }
};

std::string warning(std::uint32_t seconds) {
    return kestrun::countdownText(kZelmoCountdownMessage, seconds);
}

// A peer that answers each request by a table, closing after the answer.
ScriptedServer::Script answers(std::map<std::string, std::string> replies) {
    return [replies](const std::string& request, const ScriptedServer::Connection& c) {
        const auto it = replies.find(request);
        if (it != replies.end())
            c.send(it->second);
    };
}

} // namespace

// The first connection of a check against every kind of unhelpful peer: what is logged and
// how much time the deadline let pass.
TEST_F(LanClientTest, PeersThatDoNotAnswer) {
    struct Case {
        const char* name;
        std::optional<Mode> mode; // none: nothing listens
        Strings lines;
        std::uint64_t virtualMs;
    } cases[] = {
        {"nothing listens", std::nullopt, {"Update server 1 is down: 127.0.0.1"}, 0},
        {"queue full", Mode::FullQueue, {"Update server 1 is down: 127.0.0.1"}, 2000},
        {"accepts and closes", Mode::AcceptAndClose, {"Update server 1 is busy: 127.0.0.1"}, 0},
        {"accepts, stays silent", Mode::Silent, {}, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(log_.file());
        std::unique_ptr<ScriptedServer> peer;
        if (c.mode) {
            peer = std::make_unique<ScriptedServer>(*c.mode);
            useScripted(*peer);
        } else {
            settings_.uport = kestrun::test::closedPort();
        }
        const std::uint64_t before = clock_.monotonicMs();
        runCheck();
        EXPECT_EQ(logMessages(), c.lines);
        EXPECT_EQ(clock_.monotonicMs() - before, c.virtualMs);
        EXPECT_EQ(settings_.upull, 10u);
    }
}

// State replies: what is taken over, and whether the check goes on to ask for the version.
TEST_F(LanClientTest, StateRepliesAreTakenOver) {
    struct Case {
        std::string reply;
        std::uint32_t upost, upull;
        bool asksVersion;
    } cases[] = {
        {"60\r", 60, 10, false},     // no second ";": Upost only
        {"30;40\r", 30, 10, false},  // no second ";" either: Upost only
        {"45;15;0\r", 45, 15, true}, // not busy: the version comes next
        {"garbage", 60, 10, false},  // no ";" at all: nothing
        // Upull within 0 (a poll at every beat) and a day: polls slow down, never stop.
        {"45;0;0\r", 45, 0, true},
        {"45;-1;0\r", 45, 0, true},
        {"45;86400;0\r", 45, 86400, true},
        {"45;86401;0\r", 45, 86400, true},
        {"45;2147483647;0\r", 45, 86400, true},
        {"45;4294967295;0\r", 45, 86400, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        settings_.upost = 60;
        settings_.upull = 10;
        ScriptedServer peer(Mode::Script, answers({{"getState\r\n", c.reply}}));
        useScripted(peer);
        runCheck();
        EXPECT_EQ(settings_.upost, c.upost);
        EXPECT_EQ(settings_.upull, c.upull);
        const Strings expected =
            c.asksVersion ? Strings{"getState\r\n", "getVer\r\n"} : Strings{"getState\r\n"};
        EXPECT_EQ(peer.requests(), expected);
    }
}

// A server that runs its own update: the countdown warns at every tenth second, the last
// balloon is removed, and the client application is closed by its name after Upost seconds.
TEST_F(LanClientTest, BusyServerCountsDownAndClosesTheProgram) {
    installProgram("117");
    ScriptedServer peer(Mode::Script, answers({{"getState\r\n", "25;20;1\r"}}));
    useScripted(peer);
    runCheck();
    EXPECT_EQ(balloons(), (Strings{warning(25), warning(15), warning(5), ""}));
    EXPECT_EQ(wait_.pausedMs, 25000);
    EXPECT_FALSE(programRunning());
    EXPECT_EQ(settings_.upull, 20u);
    EXPECT_EQ(peer.requests(), Strings{"getState\r\n"});
    EXPECT_TRUE(logMessages().empty());
}

// A server's countdown is capped: "-1" would keep the program closed for 136 years.
TEST_F(LanClientTest, HugeCountdownIsCapped) {
    installProgram("117");
    ScriptedServer peer(Mode::Script, answers({{"getState\r\n", "-1;0;1\r"}}));
    useScripted(peer);
    runCheck();
    EXPECT_EQ(wait_.pausedMs, 600000);
    EXPECT_EQ(balloons().front(), warning(600));
    EXPECT_FALSE(programRunning());
}

TEST_F(LanClientTest, CountdownLengths) {
    struct Case {
        std::uint32_t seconds;
        Strings shown;
    } cases[] = {
        {0, {""}},
        {1, {warning(1), ""}},
        {10, {warning(10), ""}},
        {11, {warning(11), warning(1), ""}},
    };
    for (const Case& c : cases) {
        Strings shown;
        const std::int64_t before = wait_.pausedMs;
        kestrun::runCountdown(
            c.seconds, kZelmoCountdownMessage, [&](const std::string& t) { shown.push_back(t); },
            wait_);
        EXPECT_EQ(shown, c.shown) << c.seconds;
        EXPECT_EQ(wait_.pausedMs - before, c.seconds * 1000) << c.seconds;
    }
}

// The whole update against our own server and the web site: the running program is closed,
// the old executable kept under its versioned name, the new one copied in with the old mode,
// the download removed and "Done" reported.
TEST_F(LanClientTest, UpdatesToTheServersVersion) {
    installProgram("117");
    startUpdateServer("118");
    publishWeb("5.2.0.118");
    const std::string versioned = program_ + ".5.2.0.117";
    const std::string downloaded = (work_ / "Zelmo.exe").string();
    runCheck();
    const Strings log = logMessages();
    ASSERT_EQ(log.size(), 4u) << ::testing::PrintToString(log);
    EXPECT_TRUE(log[0].starts_with("Update downloaded, size: "));
    EXPECT_EQ(log[1], "Renaming " + program_ + " to " + versioned);
    EXPECT_EQ(log[2], "Copiyng " + downloaded + " to " + program_);
    EXPECT_EQ(log[3], "Zelmo was updated");
    EXPECT_FALSE(programRunning());
    EXPECT_EQ(readFile(versioned), standIn("117"));
    EXPECT_EQ(readFile(program_), standIn("118"));
    if (kestrun::test::systemHasModeBits()) {
        EXPECT_EQ(fs::status(program_).permissions(), fs::perms(0750));
    }
    EXPECT_FALSE(fs::exists(downloaded));
    ASSERT_TRUE(kestrun::test::processEventsUntil([&] { return !host_.lines.empty(); }));
    EXPECT_EQ(host_.lines, Strings{"127.0.0.1 ZLM client updated"});
    // One second before the version request, two after the close.
    EXPECT_EQ(wait_.pausedMs, 3000);
}

// Cases that stop before anything changes: the log line and that the program is untouched.
TEST_F(LanClientTest, UpdatesThatStopEarly) {
    using namespace std::chrono_literals;
    std::unique_ptr<ScriptedServer> peer; // stands in for the update server where a row says
    const auto scripted = [&](std::map<std::string, std::string> replies) {
        peer = std::make_unique<ScriptedServer>(Mode::Script, answers(std::move(replies)));
        useScripted(*peer);
    };
    struct Case {
        const char* name;
        std::string local, server, web; // web empty: no site at all
        std::function<Strings(LanClientTest&)> lines;
        std::function<void(LanClientTest&)> prepare = {}; // after the servers are up
    } cases[] = {
        {"same version", "118", "118", "5.2.0.118", [](auto&) { return Strings{}; }},
        {"web behind the server", "117", "118", "5.2.0.119",
         [](LanClientTest& t) { return Strings{"Found old version on web: " + t.webBase()}; }},
        {"no web site", "117", "118", "",
         [](LanClientTest& t) { return Strings{"Could not connect: " + t.webBase()}; }},
        {"server gone before the version request", "117", "118", "5.2.0.118",
         [](auto&) { return Strings{"Update server 2 is down: 127.0.0.1"}; },
         [&](LanClientTest&) {
             scripted({{"getState\r\n", "1;10;0\r"}});
             // The pause before the second connection is when the server goes away.
             clock_.setSleepHook([&](std::chrono::milliseconds slept) {
                 if (slept == 1000ms)
                     peer.reset();
             });
         }},
        {"server closes without a version", "117", "118", "5.2.0.118",
         [](auto&) { return Strings{"Update server 2 is busy: 127.0.0.1"}; },
         [&](LanClientTest&) {
             scripted({{"getState\r\n", "1;10;0\r"}});
         }},
        {"download without a version", "117", "118", "5.2.0.118",
         [&](LanClientTest& t) {
             const std::string saved = (work_ / "Zelmo.exe").string();
             return Strings{"Update downloaded, size: 9 of 9 bytes, file: " + saved +
                                ", but could not read version! cancelation!",
                            "Error in downloading update from web: " + t.webBase()};
         },
         [&](LanClientTest&) { publish("Zelmov5/Zelmo.exe", "not a exe"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        installProgram(c.local);
        startUpdateServer(c.server);
        if (c.web.empty())
            settings_.uhttp =
                "http://127.0.0.1:" + std::to_string(kestrun::test::closedPort()) + "/Zelmov5";
        else
            publishWeb(c.web);
        if (c.prepare)
            c.prepare(*this);
        fs::remove(log_.file());
        runCheck();
        clock_.setSleepHook({});
        peer.reset();
        EXPECT_EQ(logMessages(), c.lines(*this));
        EXPECT_TRUE(programRunning());
        EXPECT_EQ(readFile(program_), standIn(c.local));
        EXPECT_EQ(filesBelow(zelmoDir_.path()), Strings{fs::path(program_).filename().string()});
        server_.reset();
        fs::remove(work_ / "Zelmo.exe");
    }
}

// Cases that stop after the program was closed: the downloaded file vanished, the new file
// cannot be written beside the program, or the program cannot be written. An old program
// moved aside is put back, "Done" is never sent, and the next poll does not try again.
TEST_F(LanClientTest, UpdatesThatStopAfterTheClose) {
    using namespace std::chrono_literals;
    const std::string versioned = program_ + ".5.2.0.117";
    const std::string downloaded = (work_ / "Zelmo.exe").string();
    const fs::path temporary = zelmoDir_ / ("." + fs::path(program_).filename().string() + ".new");
    const std::string aside = "Renaming " + program_ + " to " + versioned;
    const std::string back = "Renaming " + versioned + " to " + program_;
    struct Case {
        const char* name;
        std::function<void()> duringTheWait; // the wait after the close
        Strings lines;                       // after the download's own line
        bool downloadStays, putBack;
    } cases[] = {
        {"download gone",
         [&] { fs::remove(downloaded); },
         {aside, "Could not find uploaded file: " + downloaded, back},
         false,
         true},
        // A full disk, as far as the new file is concerned: it cannot be written.
        {"no new file beside the program",
         [&] { fs::create_directories(temporary / "in the way"); },
         {aside, "Could not copy new file: " + downloaded, back},
         true,
         true},
        // The versioned copy exists, so nothing is renamed, and a folder holds the name.
        {"program cannot be written",
         [&] {
             writeFile(versioned, standIn("117"));
             fs::remove(program_);
             fs::create_directory(program_);
         },
         {"Could not copy new file: " + downloaded},
         true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        installProgram("117");
        startUpdateServer("118");
        publishWeb("5.2.0.118");
        clock_.setSleepHook([&](std::chrono::milliseconds slept) {
            if (slept == 2000ms)
                c.duringTheWait();
        });
        fs::remove(log_.file());
        runCheck();
        clock_.setSleepHook({});
        runCheck(); // the same update is not tried again for a while
        Strings log = logMessages();
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log[0].starts_with("Update downloaded, size: ")) << log[0];
        log.erase(log.begin());
        EXPECT_EQ(log, c.lines);
        EXPECT_FALSE(programRunning());
        EXPECT_EQ(readFile(c.putBack ? program_ : versioned), standIn("117"));
        EXPECT_EQ(fs::exists(versioned), !c.putBack);
        EXPECT_EQ(fs::exists(downloaded), c.downloadStays);
        kestrun::test::processEventsUntil([&] { return !host_.lines.empty(); }, 300);
        EXPECT_TRUE(host_.lines.empty()) << "no Done without a new program";
        server_.reset();
        refusal_ = {};
        fs::remove_all(program_);
        fs::remove_all(temporary);
        fs::remove(versioned);
        fs::remove(downloaded);
    }
}

// A site whose file is not the version its manifest names: nothing is installed, the download
// goes, and the next poll does not fetch it again, until the server runs another version.
TEST_F(LanClientTest, InstallsOnlyTheServersVersion) {
    installProgram("117");
    startUpdateServer("119");
    publishWeb("5.2.0.119"); // but the file is 5.2.0.118
    const fs::path downloaded = work_ / "Zelmo.exe";
    runCheck();
    runCheck(); // nothing is fetched again: no second download line
    const Strings log = logMessages();
    ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[1],
              "Update not installed, version: 5.2.0.118, server version: 5.2.0.119, file: " +
                  downloaded.string());
    EXPECT_TRUE(programRunning());
    EXPECT_EQ(readFile(program_), standIn("117"));
    EXPECT_FALSE(fs::exists(downloaded));

    startUpdateServer("118");
    publishWeb("5.2.0.118");
    runCheck();
    EXPECT_EQ(logMessages().back(), "Zelmo was updated");
    EXPECT_EQ(readFile(program_), standIn("118"));
}

// An earlier update left the versioned copy: it stays as it is and the new file overwrites
// the program in place, keeping its mode.
TEST_F(LanClientTest, SecondUpdateKeepsTheFirstVersionedCopy) {
    installProgram("117");
    const std::string versioned = program_ + ".5.2.0.117";
    writeFile(versioned, "the first copy");
    startUpdateServer("118");
    publishWeb("5.2.0.118");
    runCheck();
    const Strings log = logMessages();
    ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
    EXPECT_TRUE(log[1].starts_with("Copiyng "));
    EXPECT_EQ(log[2], "Zelmo was updated");
    EXPECT_EQ(readFile(versioned), "the first copy");
    EXPECT_EQ(readFile(program_), standIn("118"));
    if (kestrun::test::systemHasModeBits()) {
        EXPECT_EQ(fs::status(program_).permissions(), fs::perms(0750));
    }
}

// Version replies that are not versions, and peers that send anything at all: the check logs
// the reply (one line, whatever it holds), never crashes and never writes a file.
TEST_F(LanClientTest, BadVersionRepliesAndNoise) {
    installProgram("117");
    for (const std::string& reply : {"ZLM:5.2\r"s, "zlm:5.2.0.118\r"s, "5.2.0.118"s}) {
        fs::remove(log_.file());
        ScriptedServer peer(Mode::Script,
                            answers({{"getState\r\n", "1;10;0\r"}, {"getVer\r\n", reply}}));
        useScripted(peer);
        runCheck();
        // The reply as it came, a control character in it written escaped.
        const std::string shown =
            reply.ends_with('\r') ? reply.substr(0, reply.size() - 1) + "\\r" : reply;
        EXPECT_EQ(logMessages(), Strings{"Error in getVer request: " + shown});
    }
    // Not std::mt19937: with MinGW, a copy of its refill from our objects replaces the one Qt's
    // static library was compiled against, and Qt's random generator then writes at random.
    std::minstd_rand random(7);
    for (int round = 0; round < 30; ++round) {
        std::string noise(random() % 3000, '\0');
        for (char& ch : noise)
            ch = static_cast<char>(random());
        std::replace(noise.begin(), noise.end(), ';', ','); // never a busy server's countdown
        if (round % 3 == 0)
            noise = "0;0;0\r" + noise; // a valid state, then noise as the version
        ScriptedServer peer(
            Mode::Script,
            [noise](const std::string&, const ScriptedServer::Connection& c) { c.send(noise); });
        useScripted(peer);
        runCheck();
    }
    EXPECT_TRUE(programRunning());
    EXPECT_EQ(filesBelow(zelmoDir_.path()), Strings{fs::path(program_).filename().string()});
    EXPECT_FALSE(fs::exists(work_ / "Zelmo.exe"));
}

// The program's pause on the main thread keeps serving events (the update server's sockets,
// repaints): a timer fires while the engine waits, and the wait still lasts its time.
TEST(EngineWaitTest, ProgramPauseServesEvents) {
    kestrun::SystemClock clock;
    kestrun::EventLoopWait wait(clock);
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    const auto start = std::chrono::steady_clock::now();
    wait.wait(std::chrono::milliseconds(300));
    EXPECT_TRUE(fired);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}

// The program's socket waits on the main thread serve events too: a server on the same
// thread accepts and answers while the client waits for its reply, and a wait for a reply
// that never comes ends at its limit.
TEST(EngineWaitTest, ProgramSocketWaitServesEvents) {
    using namespace std::chrono_literals;
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    int accepted = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* peer = server.nextPendingConnection()) {
            ++accepted;
            if (accepted == 1)
                peer->write("hello");
        }
    });
    kestrun::SystemClock clock;
    kestrun::EventLoopWait wait(clock);
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "answered" : "silent");
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        ASSERT_TRUE(wait.waitForSocket(socket, kestrun::SocketEvent::Connected, 2000ms));
        socket.write("getVer\r\n");
        EXPECT_TRUE(wait.waitForSocket(socket, kestrun::SocketEvent::BytesWritten, 2000ms));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(
            wait.waitForSocket(socket, kestrun::SocketEvent::ReadyRead, answered ? 2000ms : 200ms),
            answered);
        if (answered) {
            EXPECT_EQ(socket.readAll(), "hello");
        } else {
            EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);
            EXPECT_EQ(socket.state(), QAbstractSocket::ConnectedState);
        }
    }
    EXPECT_EQ(accepted, 2);
}

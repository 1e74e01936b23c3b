#include "kestrun/update/update_routine.h"
#include "kestrun/update/update_server_handler.h"
#include "platform/process_table.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/kestrun/update/web_fixture.h"
#include "tests/peers/raw_client.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using Symbol = RoutineUser::Symbol;

unsigned modeOf(const fs::path& file) {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    return ec ? 0 : static_cast<unsigned>(status.permissions()) & 07777;
}

// The administrator, played by the test: answers come from a queue, everything shown is
// recorded with the virtual time it was shown at.
class ScriptedUser final : public RoutineUser {
public:
    struct Question {
        std::string text;
        Symbol symbol;
        bool noIsDefault;
    };
    struct Shown {
        std::string text;
        std::uint64_t atMs;
    };
    explicit ScriptedUser(Clock& clock) : clock_(clock) {}

    bool acceptHistory() override {
        ++historiesShown;
        return accept;
    }
    bool askYesNo(const std::string& text, Symbol symbol, bool noIsDefault) override {
        questions.push_back({text, symbol, noIsDefault});
        if (answers.empty())
            return false;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    void tell(const std::string& text, Symbol symbol) override {
        std::lock_guard lock(mutex_);
        told.push_back({text, symbol, false});
    }
    void balloon(const std::string& text) override {
        std::lock_guard lock(mutex_);
        balloons.push_back({text, clock_.monotonicMs()});
    }

    bool accept = true;
    std::deque<bool> answers{true}; // Yes to the confirmation
    int historiesShown = 0;
    std::vector<Question> questions;
    std::vector<Question> told;
    std::vector<Shown> balloons;

private:
    Clock& clock_;
    std::mutex mutex_;
};

// Records which programs were closed, and when.
class RecordingProcesses final : public ProcessTable {
public:
    explicit RecordingProcesses(Clock& clock) : clock_(clock) {}
    std::optional<std::vector<ProcessInfo>> processes() override { return std::nullopt; }
    bool closeFirst(std::string_view name) override {
        std::lock_guard lock(mutex_);
        closed.push_back({std::string(name), clock_.monotonicMs()});
        return true;
    }
    std::vector<ScriptedUser::Shown> closed;

private:
    Clock& clock_;
    std::mutex mutex_;
};

const FileVersion kOld = version(5, 2, 0, 118);
const FileVersion kNew = version(5, 2, 0, 119);

class UpdateRoutineTest : public WebFixture {
protected:
    UpdateRoutineTest() {
        startSite();
        fs::create_directories(serverDir_);
        fs::create_directories(clientDir_);
        settings_.umode = 1;
        settings_.ufile = server().string() + "?x";
        settings_.ufile2 = client().string() + "?+";
        settings_.upost = 25;
        settings_.upull = 10;
        routine_.setDownloadLimits({std::chrono::seconds(10), std::chrono::seconds(2)});
        routine_.setManifestLimits({std::chrono::seconds(10), std::chrono::seconds(2)});
        startMs_ = clock_.monotonicMs();
    }

    fs::path server() const { return serverDir_ / "Zelmo_serv.exe"; }
    fs::path client() const { return clientDir_ / "Zelmo.exe"; }
    std::string wf() const { return work_.path().string(); }
    std::string inWf(const std::string& name) const { return (work_ / name).string(); }

    // Installed programs of the old version, a site offering the web version.
    void install(const FileVersion& installed, const FileVersion& offered) {
        installBuilt("kbm", installed, server(), 0750);
        installBuilt("kbm", installed, client(), 0700);
        oldServer_ = readFile(server());
        oldClient_ = readFile(client());
        publish("Zelmov5/ver.txt", "KSN:1.0.0.0\r\nZelmo:" + offered.text() + "\r\n");
        newServer_ = builtWithVersion("kbm", offered);
        publish("Zelmov5/Zelmo_serv.exe", newServer_);
        newClient_ = builtWithVersion("kvu", offered);
        publish("Zelmov5/Zelmo.exe", newClient_);
    }

    bool runToEnd() {
        const bool started = routine_.run();
        routine_.waitForWorkers();
        return started;
    }

    // The routine's own log lines: the download lines of the web operations left out.
    std::vector<std::string> routineLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : logMessages())
            if (line.rfind("Update downloaded", 0) != 0)
                lines.push_back(line);
        return lines;
    }
    std::uint64_t since(std::uint64_t ms) const { return ms - startMs_; }
    bool requested(const std::string& path) const {
        const auto paths = requestedPaths();
        return std::find(paths.begin(), paths.end(), path) != paths.end();
    }

    TempDir installDir_;
    fs::path serverDir_ = installDir_ / "ZLM_Server";
    fs::path clientDir_ = installDir_ / "ZLM_Client";
    std::atomic<std::int32_t> busy_{0};
    ScriptedUser user_{clock_};
    RecordingProcesses processes_{clock_};
    UpdateRoutine routine_{settings_, busy_, log_, work_.path(), clock_, processes_, user_};
    std::uint64_t startMs_ = 0;
    std::string oldServer_, oldClient_, newServer_, newClient_;
};

TEST(UpdateRoutineWait, IsOneAndAHalfTimesTheWrappedSum) {
    struct Case {
        std::uint32_t upost, upull;
        std::uint64_t seconds;
    };
    const Case cases[] = {
        {60, 60, 180}, {25, 10, 52},        {1, 0, 1},
        {0, 0, 0},     {0xFFFFFFFFu, 2, 1}, {0x80000000u, 0, 3221225472u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpdateRoutine::waitSeconds(c.upost, c.upull), c.seconds)
            << c.upost << " + " << c.upull;
}

TEST_F(UpdateRoutineTest, ModeOneCountsDownThenReplacesTheServerOnly) {
    settings_.upost = 60;
    settings_.upull = 60;
    install(kOld, kNew);
    ASSERT_TRUE(runToEnd());

    EXPECT_EQ(user_.historiesShown, 1);
    ASSERT_EQ(user_.questions.size(), 1u);
    EXPECT_EQ(user_.questions[0].text, UpdateRoutine::kConfirm);
    EXPECT_EQ(user_.questions[0].symbol, Symbol::Stop);
    EXPECT_TRUE(user_.questions[0].noIsDefault);
    EXPECT_TRUE(user_.told.empty());

    // The wait comes before each balloon: 180 seconds left is shown after one second.
    ASSERT_EQ(user_.balloons.size(), 19u);
    for (std::size_t k = 0; k < 18; ++k) {
        EXPECT_EQ(user_.balloons[k].text, "Zelmo server will be updated in " +
                                              std::to_string(180 - 10 * k) +
                                              " seconds. Please be patient.");
        EXPECT_EQ(since(user_.balloons[k].atMs), 1000 + 10000 * k) << k;
    }
    EXPECT_EQ(user_.balloons[18].text, "");
    EXPECT_EQ(since(user_.balloons[18].atMs), 180000u);
    ASSERT_EQ(processes_.closed.size(), 1u);
    EXPECT_EQ(processes_.closed[0].text, "Zelmo_serv.exe");
    EXPECT_EQ(since(processes_.closed[0].atMs), 180000u);
    EXPECT_EQ(since(clock_.monotonicMs()), 182000u);

    const std::string backup = server().string() + ".5.2.0.118";
    EXPECT_EQ(readFile(backup), oldServer_);
    EXPECT_EQ(readFile(server()), newServer_);
    if (systemHasModeBits()) {
        EXPECT_EQ(modeOf(server()), 0750u); // the mode of the program it replaces
    }
    EXPECT_FALSE(fs::exists(work_ / "Zelmo_serv.exe"));
    EXPECT_EQ(routineLines(), (std::vector<std::string>{
                                  "Renaming " + server().string() + " to " + backup,
                                  "Copiyng " + inWf("Zelmo_Serv.exe") + " to " + server().string(),
                                  "Zelmo server was updated"}));
    // The client executable is left alone in mode 1.
    EXPECT_EQ(readFile(client()), oldClient_);
    EXPECT_EQ(std::distance(fs::directory_iterator(clientDir_), fs::directory_iterator()), 1);
    EXPECT_FALSE(requested("/Zelmov5//Zelmo.exe"));
    EXPECT_EQ(busy_, 0);
}

TEST_F(UpdateRoutineTest, ModeThreeReplacesBothExecutables) {
    settings_.umode = 3;
    install(kOld, kNew);
    ASSERT_TRUE(runToEnd());

    ASSERT_EQ(processes_.closed.size(), 2u);
    EXPECT_EQ(processes_.closed[0].text, "Zelmo_serv.exe");
    EXPECT_EQ(processes_.closed[1].text, "Zelmo.exe");
    EXPECT_EQ(processes_.closed[1].atMs - processes_.closed[0].atMs, 2000u);
    const std::string serverBackup = server().string() + ".5.2.0.118";
    const std::string clientBackup = client().string() + ".5.2.0.118";
    EXPECT_EQ(readFile(server()), newServer_);
    EXPECT_EQ(readFile(client()), newClient_);
    EXPECT_EQ(readFile(serverBackup), oldServer_);
    EXPECT_EQ(readFile(clientBackup), oldClient_);
    if (systemHasModeBits()) {
        EXPECT_EQ(modeOf(client()), 0700u);
    }
    EXPECT_FALSE(fs::exists(work_ / "Zelmo.exe"));
    EXPECT_FALSE(fs::exists(work_ / "Zelmo_serv.exe"));
    const std::string s2 = inWf("Zelmo.exe");
    EXPECT_EQ(
        routineLines(),
        (std::vector<std::string>{
            "Renaming " + server().string() + " to " + serverBackup,
            "Copiyng " + inWf("Zelmo_Serv.exe") + " to " + server().string(),
            "Zelmo server was updated", "Renaming " + client().string() + " to " + clientBackup,
            "Copiyng " + s2 + " to " + client().string(), "Zelmo client was updated"}));
    EXPECT_TRUE(user_.told.empty());
    EXPECT_EQ(busy_, 0);
}

TEST_F(UpdateRoutineTest, AnExistingBackupNameIsKeptAndTheProgramOverwritten) {
    install(kOld, kNew);
    const fs::path backup = server().string() + ".5.2.0.118";
    writeFile(backup, "an older backup");
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(readFile(backup), "an older backup");
    EXPECT_EQ(readFile(server()), newServer_);
    if (systemHasModeBits()) {
        EXPECT_EQ(modeOf(server()), 0750u);
    }
    EXPECT_EQ(routineLines(), (std::vector<std::string>{"Copiyng " + inWf("Zelmo_Serv.exe") +
                                                            " to " + server().string(),
                                                        "Zelmo server was updated"}));
}

// Each way the manual part ends before the worker: what was asked and told, and that nothing
// was downloaded, replaced or flagged.
TEST_F(UpdateRoutineTest, TheManualPartEndsAtEachRefusal) {
    struct Case {
        const char* name;
        bool accept;
        std::deque<bool> answers;
        FileVersion installed, offered;
        bool publishManifest;
        std::vector<std::string> asked;
        std::vector<std::string> told;
        bool manifestRequested;
    };
    const std::string uhttp = server_->origin() + "/Zelmov5";
    const std::vector<Case> cases = {
        {"postponed", false, {true}, kOld, kNew, true, {}, {}, false},
        {"not confirmed", true, {false}, kOld, kNew, true, {UpdateRoutine::kConfirm}, {}, false},
        {"installed newer", true, {true}, kNew, kOld, true, {UpdateRoutine::kConfirm}, {}, true},
        {"latest, cancelled",
         true,
         {true, true},
         kOld,
         kOld,
         true,
         {UpdateRoutine::kConfirm, UpdateRoutine::kLatest},
         {},
         true},
        {"no manifest",
         true,
         {true},
         kOld,
         kNew,
         false,
         {UpdateRoutine::kConfirm},
         {UpdateRoutine::kNoInformation + uhttp},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUser user(clock_);
        user.accept = c.accept;
        user.answers = c.answers;
        UpdateRoutine routine(settings_, busy_, log_, work_.path(), clock_, processes_, user);
        fs::remove(site_ / "Zelmov5/ver.txt");
        install(c.installed, c.offered);
        if (!c.publishManifest)
            fs::remove(site_ / "Zelmov5/ver.txt");
        const std::size_t before = requestedPaths().size();

        EXPECT_FALSE(routine.run());
        routine.waitForWorkers();
        std::vector<std::string> asked, told;
        for (const auto& q : user.questions)
            asked.push_back(q.text);
        for (const auto& t : user.told)
            told.push_back(t.text);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(told, c.told);
        for (const auto& t : user.told)
            EXPECT_EQ(t.symbol, Symbol::Exclamation);
        const auto paths = requestedPaths();
        EXPECT_EQ(paths.size() - before, c.manifestRequested ? 1u : 0u);
        EXPECT_FALSE(fs::exists(work_ / "Zelmo_serv.exe"));
        EXPECT_EQ(readFile(server()), oldServer_);
        EXPECT_TRUE(processes_.closed.empty());
        EXPECT_TRUE(user.balloons.empty());
        EXPECT_EQ(busy_, 0);
    }
}

TEST_F(UpdateRoutineTest, TheLatestVersionGoesOnWhenTheUpdateIsNotCancelled) {
    install(kOld, kOld);
    user_.answers = {true, false};
    ASSERT_TRUE(runToEnd());
    ASSERT_EQ(user_.questions.size(), 2u);
    EXPECT_EQ(user_.questions[1].text, UpdateRoutine::kLatest);
    EXPECT_EQ(user_.questions[1].symbol, Symbol::Question);
    EXPECT_FALSE(user_.questions[1].noIsDefault);
    EXPECT_EQ(readFile(server()), newServer_);
}

TEST_F(UpdateRoutineTest, AFailedServerDownloadIsToldAndNothingStarts) {
    install(kOld, kNew);
    setRoutes(R"({"/Zelmov5//Zelmo_serv.exe": {"status": 404, "body": "not here"}})");
    EXPECT_FALSE(runToEnd());
    ASSERT_EQ(user_.told.size(), 1u);
    EXPECT_EQ(user_.told[0].text, UpdateRoutine::kDownloadError + settings_.uhttp);
    EXPECT_EQ(user_.told[0].symbol, Symbol::Exclamation);
    EXPECT_TRUE(user_.balloons.empty());
    EXPECT_EQ(readFile(server()), oldServer_);
    EXPECT_EQ(busy_, 0);
}

// Failures of the worker: the line, the failure message (or none for the client's download)
// and the flag cleared.
TEST_F(UpdateRoutineTest, WorkerFailuresAreLoggedAndTheFlagCleared) {
    // The download disappears during the countdown.
    install(kOld, kNew);
    clock_.setSleepHook([this](std::chrono::milliseconds) {
        std::error_code ignored;
        fs::remove(work_ / "Zelmo_serv.exe", ignored);
    });
    ASSERT_TRUE(runToEnd());
    clock_.setSleepHook({});
    EXPECT_EQ(routineLines().back(), "Could not find uploaded file: " + inWf("Zelmo_Serv.exe"));
    ASSERT_EQ(user_.told.size(), 1u);
    EXPECT_EQ(user_.told[0].text, UpdateRoutine::kFailed);
    EXPECT_EQ(user_.told[0].symbol, Symbol::Stop);
    EXPECT_EQ(busy_, 0);

    // The program's place cannot take a file.
    user_.told.clear();
    user_.answers = {true};
    fs::remove(server());
    fs::create_directories(server());
    writeFile(server().string() + ".0.0.0.0", "backup");
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(routineLines().back(), "Could not copy new file: " + inWf("Zelmo_Serv.exe"));
    ASSERT_EQ(user_.told.size(), 1u);
    EXPECT_EQ(user_.told[0].text, UpdateRoutine::kFailed);
    EXPECT_TRUE(fs::is_directory(server()));
    EXPECT_EQ(busy_, 0);
}

TEST_F(UpdateRoutineTest, AFailedClientDownloadInModeThreeIsOnlyLogged) {
    settings_.umode = 3;
    install(kOld, kNew);
    fs::remove(site_ / "Zelmov5/Zelmo.exe");
    ASSERT_TRUE(runToEnd());
    const auto lines = routineLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Zelmo server was updated");
    EXPECT_EQ(lines.back(), UpdateRoutine::kDownloadError + settings_.uhttp);
    EXPECT_TRUE(user_.told.empty());
    EXPECT_EQ(readFile(client()), oldClient_);
    EXPECT_EQ(readFile(server()), newServer_);
    EXPECT_EQ(busy_, 0);
}

// A client polling the real update server sees the flag up during the countdown and down
// once the worker has ended.
TEST_F(UpdateRoutineTest, ClientsSeeTheBusyFlagDuringTheCountdown) {
    install(kOld, kNew);
    settings_.uport = 0; // any free port
    UpdateServerHandler serverHandler(settings_, busy_, log_, clock_);
    ServerTiming timing;
    timing.replyPause = std::chrono::milliseconds(10);
    ASSERT_TRUE(serverHandler.start(work_.path(), timing, QHostAddress::LocalHost));
    const std::uint16_t port = serverHandler.listenSocket()->serverPort();

    std::vector<std::string> replies;
    int sleeps = 0;
    clock_.setSleepHook([&](std::chrono::milliseconds) {
        // The fifth second of the countdown and the wait after closing the server program.
        if (++sleeps == 5 || sleeps == 53)
            replies.push_back(rawExchange(port, {"getState\r\n"}).bytes());
    });
    ASSERT_TRUE(routine_.run());
    whileServing<bool>([this] {
        routine_.waitForWorkers();
        return true;
    });
    clock_.setSleepHook({});
    EXPECT_EQ(replies, (std::vector<std::string>{"25;10;1\r", "25;10;1\r"}));
    const std::string after =
        whileServing<std::string>([port] { return rawExchange(port, {"getState\r\n"}).bytes(); });
    EXPECT_EQ(after, "25;10;0\r");
}

} // namespace
} // namespace kestrun::test

#include "kvu/updater.h"
#include "platform/clock.h"
#include "platform/log_file.h"
#include "platform/program_launcher.h"
#include "platform/single_instance.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using Outcome = Updater::Outcome;

unsigned modeOf(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Stands in for the started Kestrun: records the start, tries Kestrun's instance lock as a new
// Kestrun would, and writes its "Program started" line unless told to stay silent. A silent one
// either goes on running (it keeps the lock) or has ended at once (it leaves the lock free).
class StandInLauncher final : public ProgramLauncher {
public:
    struct Start {
        std::string path;
        fs::path folder;
        bool lockFree;
        std::string content; // of the file started
    };
    StandInLauncher(Clock& clock, fs::path lockFolder) : clock_(clock), lockFolder_(lockFolder) {}
    std::optional<std::int64_t> start(const std::string& path, const std::string&,
                                      const fs::path& folder, bool) override {
        const bool ok = results.empty() || results.front();
        if (!results.empty())
            results.pop_front();
        bool lockFree = false;
        {
            const SingleInstanceLock lock(Updater::kInstanceName, {lockFolder_});
            lockFree = lock.acquired();
        }
        starts.push_back({path, folder, lockFree, fs::exists(path) ? readFile(path) : ""});
        if (!ok)
            return std::nullopt;
        if (reportStart)
            appendLogLine(folder / "Kestrun.log", clock_.now(), "Program started");
        else if (silentOneRuns)
            running = std::make_unique<SingleInstanceLock>(Updater::kInstanceName,
                                                           std::vector<fs::path>{lockFolder_});
        return 99;
    }
    std::vector<Start> starts;
    std::deque<bool> results; // one per start; none left: success
    bool reportStart = true;
    bool silentOneRuns = true;
    std::unique_ptr<SingleInstanceLock> running; // the lock of a silent one that runs

private:
    Clock& clock_;
    fs::path lockFolder_;
};

class UpdaterTest : public ::testing::Test {
protected:
    UpdaterTest() {
        fs::create_directories(work_);
        fs::create_directories(lockFolder_);
        fs::permissions(lockFolder_, fs::perms::owner_all, fs::perm_options::replace);
    }
    Outcome run(bool beforeServiceStart = false) {
        start_ = clock_.monotonicMs();
        return Updater({clock_,
                        launcher_,
                        work_,
                        {lockFolder_},
                        std::chrono::seconds(60),
                        std::chrono::seconds(60),
                        std::chrono::milliseconds(100),
                        beforeServiceStart})
            .run();
    }
    std::uint64_t elapsedMs() { return clock_.monotonicMs() - start_; }
    std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const std::string& line : readLines(work_ / "Kestrun.log"))
            result.push_back(line.substr(line.find('\t') + 1));
        return result;
    }
    void clearWork() {
        for (const auto& entry : fs::directory_iterator(work_))
            fs::remove_all(entry.path());
        launcher_.starts.clear();
        launcher_.results.clear();
        launcher_.reportStart = true;
        launcher_.silentOneRuns = true;
        launcher_.running.reset();
    }

    TempDir dir_;
    fs::path work_ = dir_ / "work";
    fs::path lockFolder_ = dir_ / "runtime";
    TestClock clock_{LocalDateTime::fromFields(2026, 3, 14, 9, 0, 0)};
    StandInLauncher launcher_{clock_, lockFolder_};
    std::uint64_t start_ = 0;
    const std::string oldProgram_ = "#!/bin/sh\n# the Kestrun before the update\n";
    const std::string newProgram_ = builtWithVersion("kvu", version(1, 2, 1, 4));
};

TEST_F(UpdaterTest, HandOverCases) {
    enum class Fresh { Good, Missing, NoVersion, Link };
    enum class Left { Old, New, None, AsItCame };
    struct Case {
        const char* what;
        bool oldPresent;
        Fresh fresh;
        std::deque<bool> startResults;
        bool newReports;
        Outcome outcome;
        Left installed;  // what "kestrun" holds afterwards
        Left kept;       // what "kestrun.old" holds afterwards
        Left downloaded; // what "kestrun~" holds afterwards
        unsigned mode;   // of "kestrun" afterwards
        std::size_t starts;
        const char* lastLine;
        bool silentOneRuns = true; // a new one that does not report goes on running
    };
    const Case cases[] = {
        {"new one replaces the old",
         true,
         Fresh::Good,
         {},
         true,
         Outcome::Replaced,
         Left::New,
         Left::None,
         Left::None,
         0750,
         1,
         "kvu: the new Kestrun runs, kestrun.old removed"},
        {"silent new one keeps the old file",
         true,
         Fresh::Good,
         {},
         false,
         Outcome::Replaced,
         Left::New,
         Left::Old,
         Left::None,
         0750,
         1,
         "kvu: the new Kestrun did not report its start, kestrun.old kept"},
        {"new one ends at once without reporting",
         true,
         Fresh::Good,
         {},
         false,
         Outcome::OldStarted,
         Left::Old,
         Left::None,
         Left::New,
         0750,
         2,
         "kvu: Kestrun started: kestrun",
         false},
        {"first install",
         false,
         Fresh::Good,
         {},
         true,
         Outcome::Replaced,
         Left::New,
         Left::None,
         Left::None,
         0755,
         1,
         "kvu: Kestrun started: kestrun"},
        {"missing download",
         true,
         Fresh::Missing,
         {},
         true,
         Outcome::OldStarted,
         Left::Old,
         Left::None,
         Left::None,
         0750,
         1,
         "kvu: Kestrun started: kestrun"},
        {"download without version",
         true,
         Fresh::NoVersion,
         {},
         true,
         Outcome::OldStarted,
         Left::Old,
         Left::None,
         Left::AsItCame,
         0750,
         1,
         "kvu: Kestrun started: kestrun"},
        {"link as download",
         true,
         Fresh::Link,
         {},
         true,
         Outcome::OldStarted,
         Left::Old,
         Left::None,
         Left::AsItCame,
         0750,
         1,
         "kvu: Kestrun started: kestrun"},
        {"new one fails to start",
         true,
         Fresh::Good,
         {false, true},
         true,
         Outcome::OldStarted,
         Left::Old,
         Left::None,
         Left::New,
         0750,
         2,
         "kvu: Kestrun started: kestrun"},
        {"nothing can start",
         true,
         Fresh::Missing,
         {false},
         true,
         Outcome::NothingStarted,
         Left::Old,
         Left::None,
         Left::None,
         0750,
         1,
         "kvu: Kestrun could not be started: kestrun"},
    };
    const fs::path outside = dir_ / "elsewhere";
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        clearWork();
        launcher_.results = k.startResults;
        launcher_.reportStart = k.newReports;
        launcher_.silentOneRuns = k.silentOneRuns;
        if (k.oldPresent) {
            writeFile(work_ / "kestrun", oldProgram_);
            fs::permissions(work_ / "kestrun", static_cast<fs::perms>(0750));
        }
        switch (k.fresh) {
        case Fresh::Good:
            writeFile(work_ / "kestrun~", newProgram_);
            fs::permissions(work_ / "kestrun~", static_cast<fs::perms>(0600));
            break;
        case Fresh::Missing:
            break;
        case Fresh::NoVersion:
            writeFile(work_ / "kestrun~", "<html>502</html>");
            break;
        case Fresh::Link:
            writeFile(outside, newProgram_);
            fs::permissions(outside, static_cast<fs::perms>(0600));
            fs::create_symlink(outside, work_ / "kestrun~");
            break;
        }

        EXPECT_EQ(run(), k.outcome);

        const auto holds = [&](const char* name, Left what) {
            const fs::path file = work_ / name;
            switch (what) {
            case Left::None:
                EXPECT_FALSE(fs::exists(fs::symlink_status(file))) << name;
                break;
            case Left::AsItCame:
                EXPECT_TRUE(fs::exists(fs::symlink_status(file))) << name;
                break;
            case Left::Old:
                EXPECT_EQ(readFile(file), oldProgram_) << name;
                break;
            case Left::New:
                EXPECT_EQ(readFile(file), newProgram_) << name;
                break;
            }
        };
        holds("kestrun", k.installed);
        holds("kestrun.old", k.kept);
        holds("kestrun~", k.downloaded);
        EXPECT_EQ(modeOf(work_ / "kestrun"), k.mode);
        if (k.fresh == Fresh::NoVersion) {
            EXPECT_EQ(readFile(work_ / "kestrun~"), "<html>502</html>") << "kept as it came";
        }
        if (k.fresh == Fresh::Link) {
            EXPECT_EQ(modeOf(outside), 0600u) << "nothing is changed through a link";
            EXPECT_TRUE(fs::is_symlink(work_ / "kestrun~"));
        }
        ASSERT_EQ(launcher_.starts.size(), k.starts);
        for (const auto& start : launcher_.starts) {
            EXPECT_EQ(start.path, (work_ / "kestrun").string());
            EXPECT_EQ(start.folder, work_);
            EXPECT_TRUE(start.lockFree) << "the lock is let go before Kestrun starts";
        }
        if (k.installed == Left::New) {
            EXPECT_EQ(launcher_.starts.back().content, newProgram_);
        }
        if (k.outcome == Outcome::OldStarted) {
            EXPECT_EQ(launcher_.starts.back().content, oldProgram_);
        }
        std::string last = k.lastLine;
        if (const auto at = last.find(": kestrun"); at != std::string::npos)
            last = last.substr(0, at + 2) + (work_ / "kestrun").string();
        const auto lines = messages();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "kvu: waiting for Kestrun to end");
        const auto lastOwn = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& l) {
            return l.starts_with("kvu: ");
        });
        EXPECT_EQ(*lastOwn, last);
        if (!k.newReports) {
            EXPECT_GE(elapsedMs(), 60000u) << "waits out the whole limit";
        } else {
            EXPECT_LT(elapsedMs(), 1000u);
        }
    }
}

TEST_F(UpdaterTest, StepsAreLoggedInOrder) {
    writeFile(work_ / "kestrun", oldProgram_);
    writeFile(work_ / "kestrun~", newProgram_);
    ASSERT_EQ(run(), Outcome::Replaced);
    const std::string program = (work_ / "kestrun").string();
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "kvu: waiting for Kestrun to end",
                              "kvu: Kestrun has ended",
                              "kvu: kestrun~ carries version 1.2.1.4",
                              "kvu: kestrun renamed to kestrun.old",
                              "kvu: kestrun~ renamed to kestrun",
                              "Program started",
                              "kvu: Kestrun started: " + program,
                              "kvu: the new Kestrun runs, kestrun.old removed",
                          }));
    EXPECT_EQ(readLines(work_ / "Kestrun.log").front(),
              "14.03.2026 09:00:00\tkvu: waiting for Kestrun to end");
}

// While Kestrun holds its lock nothing is touched; the updater goes on once it is let go, and
// gives up without a change when the limit runs out.
TEST_F(UpdaterTest, WaitsForKestrunToEnd) {
    struct Case {
        const char* what;
        std::optional<std::uint64_t> endsAfterMs;
        Outcome outcome;
    };
    const Case cases[] = {
        {"ends after 5 s", 5000, Outcome::Replaced},
        {"ends just within the limit", 59950, Outcome::Replaced},
        {"never ends", std::nullopt, Outcome::KestrunStillRunning},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        clearWork();
        writeFile(work_ / "kestrun", oldProgram_);
        writeFile(work_ / "kestrun~", newProgram_);
        fs::permissions(work_ / "kestrun~", static_cast<fs::perms>(0600));
        std::optional<SingleInstanceLock> kestrun;
        kestrun.emplace(Updater::kInstanceName, std::vector<fs::path>{lockFolder_});
        ASSERT_TRUE(kestrun->acquired());
        const std::uint64_t begin = clock_.monotonicMs();
        clock_.setSleepHook([&](std::chrono::milliseconds) {
            EXPECT_EQ(readFile(work_ / "kestrun"), oldProgram_) << "touched while running";
            if (k.endsAfterMs && clock_.monotonicMs() - begin >= *k.endsAfterMs)
                kestrun.reset();
        });

        EXPECT_EQ(run(), k.outcome);
        clock_.setSleepHook(nullptr);

        if (k.outcome == Outcome::Replaced) {
            EXPECT_GE(elapsedMs(), *k.endsAfterMs);
            EXPECT_LT(elapsedMs(), *k.endsAfterMs + 200);
            EXPECT_EQ(readFile(work_ / "kestrun"), newProgram_);
        } else {
            EXPECT_GE(elapsedMs(), 60000u);
            EXPECT_LT(elapsedMs(), 60200u);
            EXPECT_EQ(readFile(work_ / "kestrun"), oldProgram_);
            EXPECT_EQ(readFile(work_ / "kestrun~"), newProgram_);
            EXPECT_EQ(modeOf(work_ / "kestrun~"), 0600u);
            EXPECT_TRUE(launcher_.starts.empty());
            EXPECT_EQ(messages(), (std::vector<std::string>{
                                      "kvu: waiting for Kestrun to end",
                                      "kvu: Kestrun did not end in time, nothing was replaced"}));
        }
    }
}

// Before a service start the updater neither waits nor starts: it puts only a newer kestrun~ in
// place, keeps kestrun.old (the new one starts after it), and without a download stays silent.
TEST_F(UpdaterTest, BeforeAServiceStartOnlyANewerDownloadIsPutInPlace) {
    const std::string v1215 = builtWithVersion("kvu", version(1, 2, 1, 5));
    enum class Fresh { Missing, Newer, Same, Older, NoVersion };
    struct Case {
        const char* what;
        std::string installed;
        Fresh fresh;
        bool kestrunRuns;
        bool shared; // the working folder is its group's
        Outcome outcome;
        bool swapped;
        std::vector<std::string> lines;
        unsigned mode = 0755; // of "kestrun" afterwards
    };
    const std::string found = "kvu: kestrun~ found before the service starts Kestrun";
    const std::string carries = "kvu: kestrun~ carries version 1.2.1.4";
    const Case cases[] = {
        {"no download", oldProgram_, Fresh::Missing, false, false, Outcome::NothingToDo, false, {}},
        {"newer download",
         oldProgram_,
         Fresh::Newer,
         false,
         false,
         Outcome::Replaced,
         true,
         {found, carries, "kvu: kestrun renamed to kestrun.old", "kvu: kestrun~ renamed to kestrun",
          "kvu: the service starts the new Kestrun, kestrun.old kept"}},
        {"newer download in a shared folder",
         oldProgram_,
         Fresh::Newer,
         false,
         true,
         Outcome::Replaced,
         true,
         {found, carries, "kvu: kestrun renamed to kestrun.old", "kvu: kestrun~ renamed to kestrun",
          "kvu: the service starts the new Kestrun, kestrun.old kept"},
         02775},
        {"same version",
         newProgram_,
         Fresh::Same,
         false,
         false,
         Outcome::LeftAsItIs,
         false,
         {found, carries, "kvu: kestrun~ is not newer than kestrun, kestrun left as it is"}},
        {"older than an upgrade",
         v1215,
         Fresh::Older,
         false,
         false,
         Outcome::LeftAsItIs,
         false,
         {found, carries, "kvu: kestrun~ is not newer than kestrun, kestrun left as it is"}},
        {"no version",
         oldProgram_,
         Fresh::NoVersion,
         false,
         false,
         Outcome::LeftAsItIs,
         false,
         {found, "kvu: kestrun~ has no version, kestrun left as it is"}},
        {"Kestrun runs",
         oldProgram_,
         Fresh::Newer,
         true,
         false,
         Outcome::KestrunStillRunning,
         false,
         {found, "kvu: Kestrun is running, nothing was replaced"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        clearWork();
        fs::permissions(work_, static_cast<fs::perms>(k.shared ? 02770 : 0700));
        writeFile(work_ / "kestrun", k.installed);
        fs::permissions(work_ / "kestrun", static_cast<fs::perms>(0755));
        std::string download;
        if (k.fresh == Fresh::NoVersion)
            download = "<html>Bad gateway</html>";
        else if (k.fresh != Fresh::Missing)
            download = newProgram_;
        if (k.fresh != Fresh::Missing)
            writeFile(work_ / "kestrun~", download);
        std::optional<SingleInstanceLock> kestrun;
        if (k.kestrunRuns)
            kestrun.emplace(Updater::kInstanceName, std::vector<fs::path>{lockFolder_});

        EXPECT_EQ(run(true), k.outcome);
        EXPECT_EQ(elapsedMs(), 0u) << "waited";
        EXPECT_TRUE(launcher_.starts.empty()) << "started a Kestrun";
        EXPECT_EQ(fs::exists(work_ / "Kestrun.log") ? messages() : std::vector<std::string>{},
                  k.lines);
        if (k.swapped) {
            EXPECT_EQ(readFile(work_ / "kestrun"), newProgram_);
            EXPECT_EQ(readFile(work_ / "kestrun.old"), k.installed);
            EXPECT_FALSE(fs::exists(work_ / "kestrun~"));
            EXPECT_EQ(modeOf(work_ / "kestrun") & 0777u, k.mode & 0777u);
        } else {
            EXPECT_EQ(readFile(work_ / "kestrun"), k.installed);
            EXPECT_FALSE(fs::exists(work_ / "kestrun.old"));
            if (k.fresh != Fresh::Missing) {
                EXPECT_EQ(readFile(work_ / "kestrun~"), download);
            }
        }
    }
}

} // namespace
} // namespace kestrun::test

#include "kvu/updater.h"
#include "platform/clock.h"
#include "platform/log_file.h"
#include "platform/program_launcher.h"
#include "platform/single_instance.h"
#include "release/handover_files.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/kestrun/update/self_update_names.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using Outcome = Updater::Outcome;

// Stands in for the started Kestrun: records the start, tries Kestrun's instance lock as a new
// Kestrun would, and writes its "Program started" line and runs its first check (its trial
// ends) unless told to stay silent. A silent one
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
    StartResult start(const std::string& path, const std::string&, const fs::path& folder,
                      bool) override {
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
        if (reportStart) {
            appendLogLine(folder / "Kestrun.log", clock_.now(), "Program started");
            fs::remove(folder / trialMarkerName());
        } else if (silentOneRuns)
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
        trustKey();
    }
    // The working folder trusts the test's release key, as an office that mirrors the site.
    void trustKey() { writeFile(work_ / "kestrun-release.pem", readFile(key_.publicKey)); }
    // A download as Kestrun leaves it: its signature, made by the key, beside it (every signed
    // download is the new program, 1.2.1.4).
    void writeSigned(const std::string& content) {
        writeFile(work_ / kDownload, content);
        ASSERT_TRUE(signRelease(key_, work_ / kDownload, "kestrun", "1.2.1.4"));
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
                        beforeServiceStart,
                        afterCheck_})
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
        trustKey();
        launcher_.starts.clear();
        launcher_.results.clear();
        launcher_.reportStart = true;
        launcher_.silentOneRuns = true;
        launcher_.running.reset();
    }

    TempDir dir_;
    fs::path work_ = dir_ / "work";
    fs::path lockFolder_ = dir_ / "runtime";
    ReleaseKey key_ = makeReleaseKey(dir_.path(), "release");
    TestClock clock_{LocalDateTime::fromFields(2026, 3, 14, 9, 0, 0)};
    StandInLauncher launcher_{clock_, lockFolder_};
    std::uint64_t start_ = 0;
    std::function<void()> afterCheck_; // changes kestrun~ once it has been checked
    const std::string oldProgram_ = "#!/bin/sh\n# the Kestrun before the update\n";
    const std::string newProgram_ = builtWithVersion("kvu", version(1, 2, 1, 4));
};

TEST_F(UpdaterTest, HandOverCases) {
    enum class Fresh { Good, Missing, NoVersion, Link, Unsigned, Changed, BytesAlone, SignedAsKvu };
    enum class Left { Old, New, None, AsItCame };
    enum class Extra {
        None,
        OlderDownload,
        OpenDownload,
        RolledBackBefore,
        OpenFolder,
        ChangedAfterCheck,
        OpenInstalled
    };
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
        const char* lastLine;      // "@work" stands for the working folder
        bool silentOneRuns = true; // a new one that does not report goes on running
        Extra extra = Extra::None;
        const char* alsoLogged = nullptr;
    };
    // clang-format off
    const Case cases[] = {
        {"new one replaces the old", true, Fresh::Good, {}, true, Outcome::Replaced, Left::New,
         Left::None, Left::None, 0750, 1,
         "kvu: the new Kestrun has run its first check, kestrun.old removed"},
        {"silent new one keeps the old file", true, Fresh::Good, {}, false, Outcome::Replaced,
         Left::New, Left::Old, Left::None, 0750, 1,
         "kvu: the new Kestrun has not run its first check yet, kestrun.old kept"},
        {"new one ends at once without reporting", true, Fresh::Good, {}, false,
         Outcome::OldStarted, Left::Old, Left::None, Left::New, 0750, 2,
         "kvu: Kestrun started: kestrun", false},
        {"first install", false, Fresh::Good, {}, true, Outcome::Replaced, Left::New, Left::None,
         Left::None, 0755, 1, "kvu: Kestrun started: kestrun"},
        {"missing download", true, Fresh::Missing, {}, true, Outcome::OldStarted, Left::Old,
         Left::None, Left::None, 0750, 1, "kvu: Kestrun started: kestrun"},
        {"download without version", true, Fresh::NoVersion, {}, true, Outcome::OldStarted,
         Left::Old, Left::None, Left::AsItCame, 0750, 1, "kvu: Kestrun started: kestrun"},
        {"link as download", true, Fresh::Link, {}, true, Outcome::OldStarted, Left::Old,
         Left::None, Left::AsItCame, 0750, 1, "kvu: Kestrun started: kestrun"},
        {"new one fails to start", true, Fresh::Good, {false, true}, true, Outcome::OldStarted,
         Left::Old, Left::None, Left::New, 0750, 2, "kvu: Kestrun started: kestrun"},
        {"nothing can start", true, Fresh::Missing, {false}, true, Outcome::NothingStarted,
         Left::Old, Left::None, Left::None, 0750, 1, "kvu: Kestrun could not be started: kestrun"},
        {"older download", true, Fresh::Good, {}, true, Outcome::OldStarted, Left::Old, Left::None,
         Left::New, 0750, 1, "kvu: Kestrun started: kestrun", true, Extra::OlderDownload,
         "kvu: kestrun~ 1.2.1.4 is not newer than kestrun 1.2.1.5, starting the old Kestrun"},
        {"download others may write", true, Fresh::Good, {}, true, Outcome::OldStarted, Left::Old,
         Left::None, Left::New, 0750, 1, "kvu: Kestrun started: kestrun", true, Extra::OpenDownload,
         "kvu: others may change kestrun~, starting the old Kestrun"},
        {"the version rolled back before", true, Fresh::Good, {}, true, Outcome::OldStarted,
         Left::Old, Left::None, Left::New, 0750, 1, "kvu: Kestrun started: kestrun", true,
         Extra::RolledBackBefore,
         "kvu: kestrun~ 1.2.1.4 is not newer than the Kestrun 1.2.1.4 that was rolled back, "
         "starting the old Kestrun"},
        {"folder anyone may write", true, Fresh::Good, {}, true, Outcome::Refused, Left::Old,
         Left::None, Left::New, 0750, 0,
         "kvu: others may change the working folder @work, nothing was replaced or started", true,
         Extra::OpenFolder},
        {"download without signature", true, Fresh::Unsigned, {}, true, Outcome::OldStarted,
         Left::Old, Left::None, Left::New, 0750, 1, "kvu: Kestrun started: kestrun", true,
         Extra::None, "kvu: kestrun~ has no signature kestrun~.sig, starting the old Kestrun"},
        {"changed after signing", true, Fresh::Changed, {}, true, Outcome::OldStarted, Left::Old,
         Left::None, Left::AsItCame, 0750, 1, "kvu: Kestrun started: kestrun", true, Extra::None,
         "kvu: kestrun~ is refused, no trusted key signed it as kestrun 1.2.1.4, starting the old "
         "Kestrun"},
        {"signed as the updater", true, Fresh::SignedAsKvu, {}, true, Outcome::OldStarted,
         Left::Old, Left::None, Left::New, 0750, 1, "kvu: Kestrun started: kestrun", true,
         Extra::None,
         "kvu: kestrun~ is refused, no trusted key signed it as kestrun 1.2.1.4, starting the old "
         "Kestrun"},
        {"signed over its bytes alone", true, Fresh::BytesAlone, {}, true, Outcome::OldStarted,
         Left::Old, Left::None, Left::New, 0750, 1, "kvu: Kestrun started: kestrun", true,
         Extra::None,
         "kvu: kestrun~ is refused, its signature covers its bytes alone, the release must be "
         "re-signed with its name and version, starting the old Kestrun"},
        {"download changed after its check", true, Fresh::Good, {}, true, Outcome::Replaced,
         Left::New, Left::None, Left::None, 0750, 1,
         "kvu: the new Kestrun has run its first check, kestrun.old removed", true,
         Extra::ChangedAfterCheck},
        {"installed one others may write", true, Fresh::Missing, {}, true, Outcome::NothingStarted,
         Left::Old, Left::None, Left::None, 0757, 0,
         "kvu: Kestrun is not started: others may change @work/kestrun", true,
         Extra::OpenInstalled},
    };
    // clang-format on
    const std::string v1215 = builtWithVersion("kvu", version(1, 2, 1, 5));
    const fs::path outside = dir_ / "elsewhere";
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        // Others' rights are mode bits here; Windows weighs access lists, which modes leave be.
        const bool byMode = k.extra == Extra::OpenDownload || k.extra == Extra::OpenFolder ||
                            k.extra == Extra::OpenInstalled;
        if ((byMode && !systemHasModeBits()) || (k.fresh == Fresh::Link && !systemMakesLinks()))
            continue;
        fs::permissions(work_, fs::perms::owner_all, fs::perm_options::replace);
        clearWork();
        const std::string old = k.extra == Extra::OlderDownload ? v1215 : oldProgram_;
        launcher_.results = k.startResults;
        launcher_.reportStart = k.newReports;
        launcher_.silentOneRuns = k.silentOneRuns;
        if (k.oldPresent) {
            writeFile(work_ / kInstalled, old);
            fs::permissions(work_ / kInstalled, static_cast<fs::perms>(0750));
        }
        switch (k.fresh) {
        case Fresh::Good:
        case Fresh::Changed:
            writeSigned(newProgram_);
            if (k.fresh == Fresh::Changed)
                writeFile(work_ / kDownload, newProgram_ + "x");
            fs::permissions(work_ / kDownload, static_cast<fs::perms>(0600));
            break;
        case Fresh::Unsigned:
            writeFile(work_ / kDownload, newProgram_);
            break;
        case Fresh::BytesAlone:
        case Fresh::SignedAsKvu:
            writeFile(work_ / kDownload, newProgram_);
            ASSERT_TRUE(k.fresh == Fresh::BytesAlone
                            ? signBytesAlone(key_, work_ / kDownload)
                            : signRelease(key_, work_ / kDownload, "kvu", "1.2.1.4"));
            break;
        case Fresh::Missing:
            break;
        case Fresh::NoVersion:
            writeFile(work_ / kDownload, "<html>502</html>");
            break;
        case Fresh::Link:
            writeFile(outside, newProgram_);
            fs::permissions(outside, static_cast<fs::perms>(0600));
            fs::create_symlink(outside, work_ / kDownload);
            break;
        }
        if (k.extra == Extra::OpenDownload)
            fs::permissions(work_ / kDownload, static_cast<fs::perms>(0666));
        if (k.extra == Extra::RolledBackBefore)
            writeFile(work_ / failedReleaseName(), "1.2.1.4\n");
        if (k.extra == Extra::OpenFolder)
            fs::permissions(work_, fs::perms::all);
        afterCheck_ = nullptr;
        if (k.extra == Extra::ChangedAfterCheck)
            afterCheck_ = [&] {
                writeFile(work_ / kDownload, "#!/bin/sh\n# not what was checked\n");
            };
        if (k.extra == Extra::OpenInstalled)
            fs::permissions(work_ / kInstalled, static_cast<fs::perms>(0757));

        EXPECT_EQ(run(), k.outcome);

        const auto holds = [&](const std::string& name, Left what) {
            const fs::path file = work_ / name;
            switch (what) {
            case Left::None:
                EXPECT_FALSE(fs::exists(fs::symlink_status(file))) << name;
                break;
            case Left::AsItCame:
                EXPECT_TRUE(fs::exists(fs::symlink_status(file))) << name;
                break;
            case Left::Old:
                EXPECT_TRUE(readFile(file) == old) << name;
                break;
            case Left::New:
                EXPECT_TRUE(readFile(file) == newProgram_) << name;
                break;
            }
        };
        holds(kInstalled, k.installed);
        holds(kKept, k.kept);
        holds(kDownload, k.downloaded);
        if (systemHasModeBits()) {
            EXPECT_EQ(modeOf(work_ / kInstalled), k.mode);
        }
        if (k.fresh == Fresh::NoVersion) {
            EXPECT_EQ(readFile(work_ / kDownload), "<html>502</html>") << "kept as it came";
        }
        if (k.fresh == Fresh::Link) {
            EXPECT_EQ(modeOf(outside), 0600u) << "nothing is changed through a link";
            EXPECT_TRUE(fs::is_symlink(work_ / kDownload));
        }
        ASSERT_EQ(launcher_.starts.size(), k.starts);
        for (const auto& start : launcher_.starts) {
            EXPECT_EQ(start.path, (work_ / kInstalled).string());
            EXPECT_EQ(start.folder, work_);
            EXPECT_TRUE(start.lockFree) << "the lock is let go before Kestrun starts";
        }
        if (k.installed == Left::New) {
            EXPECT_EQ(launcher_.starts.back().content, newProgram_);
            EXPECT_FALSE(fs::exists(work_ / newSignatureName())) << "goes with its file";
        }
        if (k.outcome == Outcome::OldStarted) {
            EXPECT_TRUE(launcher_.starts.back().content == old);
        }
        // A new one that failed is remembered; one that is still on trial keeps its marker.
        const bool failed = k.starts == 2 || k.extra == Extra::RolledBackBefore;
        EXPECT_EQ(fs::exists(work_ / failedReleaseName()), failed);
        if (failed) {
            EXPECT_EQ(readFile(work_ / failedReleaseName()), "1.2.1.4\n");
        }
        EXPECT_EQ(fs::exists(work_ / trialMarkerName()),
                  k.outcome == Outcome::Replaced && k.kept == Left::Old);
        std::string last = named(k.lastLine);
        if (const auto at = last.find(": kestrun"); at != std::string::npos)
            last = last.substr(0, at + 2) + (work_ / kInstalled).string();
        if (const auto at = last.find("@work"); at != std::string::npos)
            last.replace(at, 5, work_.string());
        const auto lines = messages();
        ASSERT_FALSE(lines.empty());
        if (k.alsoLogged) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), named(k.alsoLogged)), lines.end());
        }
        if (k.outcome != Outcome::Refused) {
            EXPECT_EQ(lines.front(), "kvu: waiting for Kestrun to end");
        }
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
    writeFile(work_ / kInstalled, oldProgram_);
    writeSigned(newProgram_);
    ASSERT_EQ(run(), Outcome::Replaced);
    const std::string program = (work_ / kInstalled).string();
    EXPECT_EQ(messages(), named(std::vector<std::string>{
                              "kvu: waiting for Kestrun to end",
                              "kvu: Kestrun has ended",
                              "kvu: kestrun~ carries version 1.2.1.4",
                              "kvu: kestrun renamed to kestrun.old",
                              "kvu: kestrun~ copied to kestrun",
                              "Program started",
                              "kvu: Kestrun started: " + program,
                              "kvu: the new Kestrun has run its first check, kestrun.old removed",
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
        writeFile(work_ / kInstalled, oldProgram_);
        writeSigned(newProgram_);
        fs::permissions(work_ / kDownload, static_cast<fs::perms>(0600));
        std::optional<SingleInstanceLock> kestrun;
        kestrun.emplace(Updater::kInstanceName, std::vector<fs::path>{lockFolder_});
        ASSERT_TRUE(kestrun->acquired());
        const std::uint64_t begin = clock_.monotonicMs();
        clock_.setSleepHook([&](std::chrono::milliseconds) {
            EXPECT_EQ(readFile(work_ / kInstalled), oldProgram_) << "touched while running";
            if (k.endsAfterMs && clock_.monotonicMs() - begin >= *k.endsAfterMs)
                kestrun.reset();
        });

        EXPECT_EQ(run(), k.outcome);
        clock_.setSleepHook(nullptr);

        if (k.outcome == Outcome::Replaced) {
            EXPECT_GE(elapsedMs(), *k.endsAfterMs);
            EXPECT_LT(elapsedMs(), *k.endsAfterMs + 200);
            EXPECT_EQ(readFile(work_ / kInstalled), newProgram_);
        } else {
            EXPECT_GE(elapsedMs(), 60000u);
            EXPECT_LT(elapsedMs(), 60200u);
            EXPECT_EQ(readFile(work_ / kInstalled), oldProgram_);
            EXPECT_EQ(readFile(work_ / kDownload), newProgram_);
            if (systemHasModeBits()) {
                EXPECT_EQ(modeOf(work_ / kDownload), 0600u);
            }
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
        bool onTrial = false; // the Kestrun put in place last time ended before its check
        bool openFolder = false;
        bool noOld = false; // on trial without a kestrun.old: the rollback fails
    };
    const std::string found = "kvu: kestrun~ found before the service starts Kestrun";
    const std::string carries = "kvu: kestrun~ carries version 1.2.1.4";
    // clang-format off
    const Case cases[] = {
        {"no download", oldProgram_, Fresh::Missing, false, false, Outcome::NothingToDo, false, {}},
        {"newer download", oldProgram_, Fresh::Newer, false, false, Outcome::Replaced, true, {found,
         carries, "kvu: kestrun renamed to kestrun.old", "kvu: kestrun~ copied to kestrun",
         "kvu: the service starts the new Kestrun, kestrun.old kept"}},
        {"newer download in a shared folder", oldProgram_, Fresh::Newer, false, true,
         Outcome::Replaced, true, {found, carries, "kvu: kestrun renamed to kestrun.old",
         "kvu: kestrun~ copied to kestrun",
         "kvu: the service starts the new Kestrun, kestrun.old kept"}, 02775},
        {"same version", newProgram_, Fresh::Same, false, false, Outcome::LeftAsItIs, false, {found,
         carries,
         "kvu: kestrun~ 1.2.1.4 is not newer than kestrun 1.2.1.4, kestrun left as it is"}},
        {"older than an upgrade", v1215, Fresh::Older, false, false, Outcome::LeftAsItIs, false,
         {found, carries,
         "kvu: kestrun~ 1.2.1.4 is not newer than kestrun 1.2.1.5, kestrun left as it is"}},
        {"no version", oldProgram_, Fresh::NoVersion, false, false, Outcome::LeftAsItIs, false,
         {found, "kvu: kestrun~ has no version, kestrun left as it is"}},
        {"Kestrun runs", oldProgram_, Fresh::Newer, true, false, Outcome::KestrunStillRunning,
         false, {found, "kvu: Kestrun is running, nothing was replaced"}},
        {"folder anyone may write", oldProgram_, Fresh::Newer, false, false, Outcome::Refused,
         false, {found,
         "kvu: others may change the working folder " + work_.string() + ", nothing was replaced"},
         0755, false, true},
        {"new Kestrun ended before its first check", newProgram_, Fresh::Missing, false, false,
         Outcome::RolledBack, false,
         {"kvu: the new Kestrun 1.2.1.4 ended before its first check, the old Kestrun without "
          "a version is back in place"},
         0755, true},
        {"no kestrun.old to put back", newProgram_, Fresh::Newer, false, false,
         Outcome::RollbackFailed, false,
         {found, "kvu: the new Kestrun 1.2.1.4 ended before its first check, there is no "
          "kestrun.old to put back"},
         0755, true, false, true},
    };
    // clang-format on
    for (Case k : cases) {
        SCOPED_TRACE(k.what);
        // Root shares a folder with no group: it acts on none its group may write.
        if (k.openFolder && !systemHasModeBits())
            continue;
        k.lines = named(k.lines);
        if (k.shared && runsAsRoot()) {
            k.outcome = Outcome::Refused;
            k.swapped = false;
            k.lines = {found, "kvu: others may change the working folder " + work_.string() +
                                  ", nothing was replaced"};
        }
        clearWork();
        fs::permissions(work_, static_cast<fs::perms>(k.shared ? 02770 : 0700));
        writeFile(work_ / kInstalled, k.installed);
        if (k.onTrial) {
            if (!k.noOld)
                writeFile(work_ / kKept, oldProgram_);
            writeFile(work_ / trialMarkerName(), "1.2.1.4\n");
        }
        fs::permissions(work_ / kInstalled, static_cast<fs::perms>(0755));
        std::string download;
        if (k.fresh == Fresh::NoVersion)
            download = "<html>Bad gateway</html>";
        else if (k.fresh != Fresh::Missing)
            download = newProgram_;
        if (k.fresh == Fresh::NoVersion)
            writeFile(work_ / kDownload, download);
        else if (k.fresh != Fresh::Missing)
            writeSigned(download);
        std::optional<SingleInstanceLock> kestrun;
        if (k.kestrunRuns)
            kestrun.emplace(Updater::kInstanceName, std::vector<fs::path>{lockFolder_});
        if (k.openFolder)
            fs::permissions(work_, fs::perms::all);

        EXPECT_EQ(run(true), k.outcome);
        EXPECT_EQ(elapsedMs(), 0u) << "waited";
        EXPECT_TRUE(launcher_.starts.empty()) << "started a Kestrun";
        EXPECT_EQ(fs::exists(work_ / "Kestrun.log") ? messages() : std::vector<std::string>{},
                  k.lines);
        if (k.swapped) {
            EXPECT_EQ(readFile(work_ / kInstalled), newProgram_);
            EXPECT_EQ(readFile(work_ / kKept), k.installed);
            EXPECT_FALSE(fs::exists(work_ / kDownload));
            if (systemHasModeBits()) {
                EXPECT_EQ(modeOf(work_ / kInstalled) & 0777u, k.mode & 0777u);
            }
            EXPECT_EQ(readFile(work_ / trialMarkerName()), "1.2.1.4\n") << "on trial";
        } else if (k.onTrial && !k.noOld) {
            EXPECT_EQ(readFile(work_ / kInstalled), oldProgram_);
            EXPECT_FALSE(fs::exists(work_ / kKept));
            EXPECT_FALSE(fs::exists(work_ / trialMarkerName()));
            EXPECT_EQ(readFile(work_ / failedReleaseName()), "1.2.1.4\n");
        } else {
            EXPECT_EQ(readFile(work_ / kInstalled), k.installed);
            EXPECT_FALSE(fs::exists(work_ / kKept));
            if (k.fresh != Fresh::Missing) {
                EXPECT_EQ(readFile(work_ / kDownload), download);
            }
        }
    }
}

} // namespace
} // namespace kestrun::test

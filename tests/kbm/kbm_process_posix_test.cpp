#include "common/backup_outcome.h"
#include "kbm/paths.h"
#include "platform/file_lock.h"
#include "tests/kbm/kbm_process.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// Field `index` (from 3 on) of /proc/<pid>/stat; nothing once the process is gone.
std::optional<std::string> statField(qint64 pid, int index) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return std::nullopt;
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size())
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= index; ++i)
        if (!(fields >> field))
            return std::nullopt;
    return field;
}

std::optional<int> niceOf(qint64 pid) {
    const auto field = statField(pid, 19);
    if (!field)
        return std::nullopt;
    return std::atoi(field->c_str());
}

// Stops kbm (SIGSTOP) and waits until it is stopped; false when it ended first.
bool stopKbm(QProcess& kbm) {
    const qint64 pid = kbm.processId();
    ::kill(static_cast<pid_t>(pid), SIGSTOP);
    return waitUntil([&] { return statField(pid, 3).value_or("") == "T"; });
}

void resumeKbm(QProcess& kbm) {
    ::kill(static_cast<pid_t>(kbm.processId()), SIGCONT);
}

// Only what differs from Kestrun's defaults is stored: the default Folder=1 copies to Path.
// Each run ends with its summary and its outcome, in the log and in the record. Lists others
// may write are not used: nothing is backed up.
TEST(KbmProcessTest, EveryRunSumsUpAndSaysWhetherItsDestinationTookTheFiles) {
    struct Case {
        std::string settings, summary, last; // "<d>" stands for the destination folder
        bool listed = true;                  // one file of 7 bytes in backup.lst
        const char* openList = nullptr;      // a list anyone may write
    };
    const Case cases[] = {
        {"Path=<d>/", "0 files copied (0 bytes), 0 failed, to <d>", "Backup completed.", false},
        {"Path=<d>", "1 file copied (7 bytes), 0 failed, to <d>", "Backup completed."},
        {"Path=<d>/gone", "0 files copied (0 bytes), 1 failed, to <d>/gone",
         "Backup failed: destination <d>/gone not available"},
        {"Folder=0\nHost=", "0 files copied (0 bytes), 1 failed, to ftp://:21",
         "Backup failed: no FTP server set"},
        {"Folder=0\nPort=1", "0 files copied (0 bytes), 1 failed, to ftp://127.0.0.1:1",
         "Backup failed: FTP server 127.0.0.1:1 not reachable ("},
        {"Path=<d>", "0 files copied (0 bytes), 0 failed, to <d>",
         "Backup failed: others may change <w>/backup.lst", true, kIncludeListFile},
        {"Path=<d>", "0 files copied (0 bytes), 0 failed, to <d>",
         "Backup failed: others may change <w>/xbackup.lst", true, kExcludeListFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        KbmSandbox box;
        const auto place = [&](std::string text) {
            for (auto at = text.find("<d>"); at != std::string::npos; at = text.find("<d>"))
                text.replace(at, 3, box.dest.string());
            if (const auto at = text.find("<w>"); at != std::string::npos)
                text.replace(at, 3, box.work.string());
            return text;
        };
        const std::string file = box.source("p/a.txt", "payload");
        if (c.listed)
            writeFile(box.work / kIncludeListFile, file + "\t1\t1\r\n");
        if (c.openList) {
            if (!fs::exists(box.work / c.openList))
                writeFile(box.work / c.openList, "");
            fs::permissions(box.work / c.openList, fs::perms(0666));
        }
        writeFile(box.config / "Tavisoft" / "Kestrun.conf", place("[General]\n" + c.settings));
        EXPECT_EQ(runKbm(box), 1);
        const auto log = box.logMessages();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[log.size() - 2], "Backup summary: " + place(c.summary));
        EXPECT_TRUE(log.back().starts_with(place(c.last))) << log.back();
        // A file that did not arrive is tried again at the next run.
        EXPECT_EQ(fs::exists(box.marker(file)), fs::exists(box.mirrorCopy(file)));

        const fs::path record = backupOutcomeFile(box.data);
        EXPECT_EQ(modeOf(record), 0600u);
        const auto outcome = parseBackupOutcome(readFile(record));
        ASSERT_TRUE(outcome);
        EXPECT_EQ(backupSummaryLine(*outcome), log[log.size() - 2]);
        EXPECT_EQ(outcome->delivered ? "Backup completed." : "Backup failed: " + outcome->reason,
                  log.back());
        EXPECT_FALSE(fs::exists(record.string() + ".new"));
    }
}

TEST(KbmProcessTest, RunsTheListsIntoTheStoredDestinationAtIdlePriorityFromTheStart) {
    KbmSandbox box;
    const std::string file = box.source("p/a.txt", "payload");
    mirrorFolderSettings(box, box.src / "p");
    QProcess kbm;
    startKbm(box, kbm);
    // Already when the window is up, before the run begins, kbm works in the background.
    ASSERT_TRUE(waitUntil([&] { return logHas(box, "Backup started."); }));
    ASSERT_TRUE(stopKbm(kbm));
    EXPECT_EQ(niceOf(kbm.processId()), 19);
    const long ioPriority = syscall(SYS_ioprio_get, 1, static_cast<int>(kbm.processId()));
    EXPECT_EQ(ioPriority >> 13, 3) << ioPriority; // the idle class
    resumeKbm(kbm);
    EXPECT_EQ(finish(kbm), 1);
    EXPECT_EQ(readFile(box.mirrorCopy(file)), "payload");
    EXPECT_THAT(box.logMessages(),
                ElementsAre("Backup started.", summary(box, "1 file copied (7 bytes), 0 failed"),
                            "Backup completed."));
}

// The cancel (Ctrl-C) arrives while kbm is stopped and its run timer falls due meanwhile, so
// both wait together when it goes on: the cancel wins.
TEST(KbmProcessTest, CancelBeforeTheRunEndsTheProgramWithoutARun) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        KbmSandbox box;
        const std::string file = box.source("c/a.txt");
        mirrorFolderSettings(box, box.src / "c");
        QProcess kbm;
        startKbm(box, kbm);
        ASSERT_TRUE(waitUntil([&] { return logHas(box, "Backup started."); }));
        ASSERT_TRUE(stopKbm(kbm));
        if (runBegan(box)) { // too slow a machine: the run came before the stop
            resumeKbm(kbm);
            finish(kbm);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the run timer falls due
        ::kill(static_cast<pid_t>(kbm.processId()), SIGINT);
        resumeKbm(kbm);
        EXPECT_EQ(finish(kbm), 0);
        EXPECT_THAT(box.logMessages(), ElementsAre("Backup started."));
        EXPECT_FALSE(fs::exists(box.mirrorCopy(file)));
        EXPECT_FALSE(runBegan(box));
        return;
    }
    FAIL() << "the run began before kbm could be stopped, every time";
}

TEST(KbmProcessTest, AKillDuringACopyKeepsTheGoodCopyAndTheNextRunMakesTheNewOne) {
    KbmSandbox box;
    const std::string file = box.source("k/big.bin", "good copy");
    mirrorFolderSettings(box, box.src / "k");
    ASSERT_EQ(runKbm(box), 1);
    std::string big(1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 1000);
    writeFile(file, big);
    // Changed after the first run's marker, and before the second run's.
    const auto now = fs::file_time_type::clock::now();
    fs::last_write_time(box.marker(file), now - std::chrono::seconds(10));
    fs::last_write_time(file, now - std::chrono::seconds(5));
    // The file size limit ends kbm (SIGXFSZ) in the middle of writing the copy.
    EXPECT_EQ(runKbm(box, "ulimit -f 128"), -2);
    EXPECT_EQ(readFile(box.mirrorCopy(file)), "good copy");
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_EQ(readFile(box.mirrorCopy(file)), big);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(fs::path(box.mirrorCopy(file)).parent_path()))
        left.push_back(e.path().filename().string());
    EXPECT_THAT(left, ElementsAre("big.bin"));
}

TEST(KbmProcessTest, WhereNoLockCanBeTakenBesideTheQueueTheUsersOwnStandsIn) {
    KbmSandbox box;
    writeFile(box.work / kIncludeListFile, box.source("q/a.txt") + "\t1\t1\r\n");
    writeFile(box.work / kQueueFile, "/being/read\t1\r\n");
    fs::create_directories(box.data / "KBM");
    // Where no lock can be taken beside the queue (here a link, never used), the user's own
    // lock stands in.
    fs::remove(runLockFile(box.work));
    fs::create_symlink(box.root / "elsewhere.lock", runLockFile(box.work));
    const FileLock running(fallbackRunLockFile(box.data));
    ASSERT_TRUE(running.acquired());
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup already running."));
    EXPECT_EQ(box.queue(), "/being/read\t1\r\n");
}

// FIFOs, devices and links where kbm keeps its lists, queue, log and autodelete lists, or among
// its sources: none of them holds the run up, and nothing is written through a link.
TEST(KbmProcessTest, SpecialFilesInPlaceOfItsFilesNeverHoldTheRunUp) {
    const auto fifo = [](const fs::path& path) {
        fs::create_directories(path.parent_path());
        fs::remove(path);
        ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << path;
    };
    struct Case {
        const char* name;
        std::function<void(KbmSandbox&)> plant;
        std::function<void(KbmSandbox&)> check;
        std::string settings = ""; // added to the settings file
        std::string shellPrefix = "";
    };
    const auto copied = [](KbmSandbox& box) {
        EXPECT_EQ(readFile(box.mirrorCopy((box.src / "p/a.txt").string())), "data");
    };
    const auto nothingCopied = [](KbmSandbox& box) {
        EXPECT_FALSE(fs::exists(box.mirrorCopy((box.src / "p/a.txt").string())));
        EXPECT_THAT(box.logMessages(),
                    ElementsAre("Backup started.",
                                summary(box, "0 files copied (0 bytes), 0 failed"),
                                "Backup completed."));
    };
    const Case cases[] = {
        {"tobkp is a FIFO", [&](KbmSandbox& box) { fifo(box.work / kQueueFile); },
         [&](KbmSandbox& box) {
             copied(box);
             EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(box.work / kQueueFile)));
         }},
        {"tobkp links to another user's file",
         [](KbmSandbox& box) {
             const fs::path theirs = box.root / "theirs.txt";
             const auto plant = [&] {
                 writeFile(theirs, "their content");
                 fs::create_symlink(theirs, box.work / kQueueFile);
             };
             openToOthers(box.root.path());
             openToOthers(box.work);
             if (mayActAsOtherUser())
                 ASSERT_TRUE(asOtherUser(plant));
             else
                 plant();
         },
         [&](KbmSandbox& box) {
             copied(box);
             EXPECT_EQ(readFile(box.root / "theirs.txt"), "their content");
             EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(box.work / kQueueFile)));
         }},
        {"backup.lst is a FIFO", [&](KbmSandbox& box) { fifo(box.work / kIncludeListFile); },
         nothingCopied},
        {"backup.lst links to /dev/zero",
         [](KbmSandbox& box) {
             fs::remove(box.work / kIncludeListFile);
             fs::create_symlink("/dev/zero", box.work / kIncludeListFile);
         },
         nothingCopied, "", "ulimit -v 4000000"},
        {"xbackup.lst is a FIFO", [&](KbmSandbox& box) { fifo(box.work / kExcludeListFile); },
         copied},
        {"KbmBackup.log is a FIFO", [&](KbmSandbox& box) { fifo(box.log.file()); }, copied},
        {"an autodelete list is a FIFO",
         [&](KbmSandbox& box) {
             fifo(fs::path(autodeleteFolder(box.data)) / "20240101-120000.txt");
         },
         [&](KbmSandbox& box) {
             copied(box);
             EXPECT_THAT(box.logMessages(),
                         ElementsAre("Backup started.",
                                     summary(box, "1 file copied (4 bytes), 0 failed"),
                                     "Backup completed."));
         },
         "Autodelete=3\n"},
        {"sources that are FIFOs",
         [&](KbmSandbox& box) {
             fifo(box.src / "p/pipe.txt");
             fifo(box.src / "q/single.fifo");
             writeFile(box.work / kIncludeListFile, (box.src / "p").string() + "\t1\t0\r\n" +
                                                        (box.src / "q/single.fifo").string() +
                                                        "\t1\t1\r\n");
         },
         [&](KbmSandbox& box) {
             copied(box);
             const std::string single = (box.src / "q/single.fifo").string();
             EXPECT_THAT(
                 box.logMessages(),
                 ElementsAre("Backup started.",
                             "Can not backup file: " + single + " to " + box.mirrorCopy(single),
                             summary(box, "1 file copied (4 bytes), 1 failed"),
                             "Backup completed."));
         }},
        {"a FIFO source sent to the FTP server",
         [&](KbmSandbox& box) {
             fifo(box.src / "q/single.fifo");
             writeFile(box.work / kIncludeListFile,
                       (box.src / "q/single.fifo").string() + "\t1\t1\r\n");
         },
         [](KbmSandbox& box) {
             // Refused before any connection; the server, asked for its id, is not there.
             EXPECT_THAT(
                 box.logMessages(),
                 ElementsAre("Backup started.",
                             "Sending to FTP failed: " + (box.src / "q/single.fifo").string() +
                                 " (not a regular file that can be read)",
                             ::testing::EndsWith("1 failed, to ftp://127.0.0.1:1"),
                             ::testing::StartsWith("Backup failed: FTP server 127.0.0.1:1 not "
                                                   "reachable (")));
         },
         "Folder=0\nHost=127.0.0.1\nPort=1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KbmSandbox box;
        box.source("p/a.txt");
        mirrorFolderSettings(box, box.src / "p");
        if (!c.settings.empty()) {
            const fs::path conf = box.config / "Tavisoft" / "Kestrun.conf";
            writeFile(conf, readFile(conf) + c.settings);
        }
        c.plant(box);
        // A kbm held up by one of them fails here, within the bound.
        EXPECT_EQ(runKbm(box, c.shellPrefix, 20000), 1);
        c.check(box);
    }
}

} // namespace
} // namespace kestrun::test

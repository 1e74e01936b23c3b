#include "kbm/paths.h"
#include "platform/file_lock.h"
#include "tests/kbm/kbm_test_support.h"

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

// Starts the built kbm in the sandbox's working folder without a display, through a shell
// that first runs `shellPrefix` (for example a resource limit).
void startKbm(const KbmSandbox& box, QProcess& kbm, const std::string& shellPrefix = "") {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("APPDATA", QString::fromStdString(box.data.string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(box.config.string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(box.root.path().string()));
    kbm.setProcessEnvironment(env);
    kbm.setWorkingDirectory(QString::fromStdString(box.work.string()));
    const QString program = QString::fromStdString((binDir() / "kbm").string());
    if (shellPrefix.empty())
        kbm.start(program, {});
    else
        kbm.start("/bin/sh",
                  {"-c", QString::fromStdString(shellPrefix + "; exec \"$0\""), program});
}

// The exit code of a kbm that ran to its end; -2 when a signal ended it, -1 when it was still
// running after the time limit.
int finish(QProcess& kbm, int limitMs = 60000) {
    if (!kbm.waitForFinished(limitMs))
        return -1;
    return kbm.exitStatus() == QProcess::NormalExit ? kbm.exitCode() : -2;
}

int runKbm(const KbmSandbox& box, const std::string& shellPrefix = "", int limitMs = 60000) {
    QProcess kbm;
    startKbm(box, kbm, shellPrefix);
    return finish(kbm, limitMs); // a kbm still running then is killed with its QProcess
}

bool logHas(const KbmSandbox& box, const std::string& message) {
    const auto messages = box.logMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

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

// Whether kbm's run has begun: its first step makes the marker folder.
bool runBegan(const KbmSandbox& box) {
    return fs::exists(markerFolder(box.data));
}

void mirrorFolderSettings(const KbmSandbox& box, const fs::path& folder) {
    writeFile(box.work / kIncludeListFile, folder.string() + "\t1\t0\r\n");
    writeFile(box.config / "Tavisoft" / "Kestrun.conf",
              "[General]\nFolder=1\nPath=" + box.dest.string() + "/\n");
}

TEST(KbmProcessTest, WithoutListsTheLogGetsStartAndCompletionAndTheExitCodeIsOne) {
    KbmSandbox box;
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup completed."));
    EXPECT_EQ(box.queue(), "");
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
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup completed."));
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

TEST(KbmProcessTest, SecondProgramDuringARunLogsOnceAndLeavesTheQueueAlone) {
    KbmSandbox box;
    writeFile(box.work / kIncludeListFile, box.source("q/a.txt") + "\t1\t1\r\n");
    writeFile(box.work / kQueueFile, "/being/read\t1\r\n");
    fs::create_directories(box.data / "KBM");
    {
        // The lock beside the queue, which every user's kbm takes.
        const FileLock running(runLockFile(box.work), FileLock::Sharing::AnyUser);
        ASSERT_TRUE(running.acquired());
        EXPECT_EQ(runKbm(box), 1);
        EXPECT_THAT(box.logMessages(), ElementsAre("Backup already running."));
        EXPECT_EQ(box.queue(), "/being/read\t1\r\n");
    }
    // Where no lock can be taken beside the queue (here a link, never used), the user's own
    // lock stands in.
    fs::remove(runLockFile(box.work));
    fs::create_symlink(box.root / "elsewhere.lock", runLockFile(box.work));
    const FileLock running(fallbackRunLockFile(box.data));
    ASSERT_TRUE(running.acquired());
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_EQ(box.logMessages().size(), 2u);
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
        EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup completed."));
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
             EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup completed."));
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
             EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.",
                                                        "Can not backup file: " + single + " to " +
                                                            box.mirrorCopy(single),
                                                        "Backup completed."));
         }},
        {"a FIFO source sent to the FTP server",
         [&](KbmSandbox& box) {
             fifo(box.src / "q/single.fifo");
             writeFile(box.work / kIncludeListFile,
                       (box.src / "q/single.fifo").string() + "\t1\t1\r\n");
         },
         [](KbmSandbox& box) {
             // Nothing listens on port 1: the send fails once the source did not block it.
             EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.",
                                                        "Sending to FTP failed: " +
                                                            (box.src / "q/single.fifo").string(),
                                                        "Backup completed."));
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

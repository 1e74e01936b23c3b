#include "kbm/paths.h"
#include "platform/file_lock.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// Runs the built kbm in the sandbox's working folder without a display; returns its exit code.
int runKbm(const KbmSandbox& box) {
    QProcess kbm;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("APPDATA", QString::fromStdString(box.data.string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(box.config.string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(box.root.path().string()));
    kbm.setProcessEnvironment(env);
    kbm.setWorkingDirectory(QString::fromStdString(box.work.string()));
    kbm.start(QString::fromStdString((binDir() / "kbm").string()), {});
    if (!kbm.waitForFinished(60000))
        return -1;
    return kbm.exitStatus() == QProcess::NormalExit ? kbm.exitCode() : -2;
}

TEST(KbmProcessTest, WithoutListsTheLogGetsStartAndCompletionAndTheExitCodeIsOne) {
    KbmSandbox box;
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup completed."));
    EXPECT_EQ(box.queue(), "");
}

TEST(KbmProcessTest, RunsTheListsIntoTheStoredDestination) {
    KbmSandbox box;
    const std::string file = box.source("p/a.txt", "payload");
    writeFile(box.work / kIncludeListFile, (box.src / "p").string() + "\t1\t0\r\n");
    writeFile(box.config / "Tavisoft" / "Kestrun.conf",
              "[General]\nFolder=1\nPath=" + box.dest.string() + "/\n");
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_EQ(readFile(box.mirrorCopy(file)), "payload");
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup started.", "Backup completed."));
}

TEST(KbmProcessTest, SecondProgramDuringARunLogsOnceAndLeavesTheQueueAlone) {
    KbmSandbox box;
    writeFile(box.work / kIncludeListFile, box.source("q/a.txt") + "\t1\t1\r\n");
    writeFile(box.work / kQueueFile, "/being/read\t1\r\n");
    fs::create_directories(box.data / "KBM");
    const FileLock running(runLockFile(box.work), FileLock::Sharing::AnyUser);
    ASSERT_TRUE(running.acquired());
    EXPECT_EQ(runKbm(box), 1);
    EXPECT_THAT(box.logMessages(), ElementsAre("Backup already running."));
    EXPECT_EQ(box.queue(), "/being/read\t1\r\n");
}

} // namespace
} // namespace kestrun::test

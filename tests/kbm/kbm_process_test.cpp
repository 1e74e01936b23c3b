#include "common/backup_outcome.h"
#include "platform/file_lock.h"
#include "tests/kbm/kbm_process.h"

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// The built kbm itself, on every system (the cases that judge it through signals, /proc, links,
// FIFOs and the settings file are POSIX's).

TEST(KbmProcessTest, SecondProgramDuringARunLogsOnceAndLeavesTheQueueAlone) {
    KbmSandbox box;
    writeFile(box.work / kIncludeListFile, box.source("q/a.txt") + "\t1\t1\r\n");
    writeFile(box.work / kQueueFile, "/being/read\t1\r\n");
    fs::create_directories(box.data / "KBM");
    {
        // The lock beside the queue, which every user's kbm takes.
        const FileLock running(runLockFile(box.work), FileLock::Sharing::Writers);
        ASSERT_TRUE(running.acquired());
        EXPECT_EQ(runKbm(box), 1);
        EXPECT_THAT(box.logMessages(), ElementsAre("Backup already running."));
        EXPECT_EQ(box.queue(), "/being/read\t1\r\n");
        EXPECT_FALSE(fs::exists(backupOutcomeFile(box.data)));
    }
}

} // namespace
} // namespace kestrun::test

#include "kbm/copy_phase.h"
#include "kbm/file_copy.h"
#include "kbm/folder_walk.h"
#include "kbm/queue_file.h"
#include "kbm/scan_phase.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "platform/path_rules.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

bool hasSetFolder(const fs::path& dest) {
    for (const auto& e : fs::directory_iterator(dest))
        if (e.path().filename().string().size() == 15 && e.path().filename().string()[8] == '-')
            return true;
    return false;
}

TEST(BackupRunTest, FirstRunOfSmartFileEntryCopiesIntoTheRunsSet) {
    KbmSandbox box;
    const std::string doc = box.source("Work/report.doc", "first");
    // A file named twice is queued by the first entry only.
    box.run_.include = {{doc, 0, 1}, {(box.src / "Work").string(), 1, 0}};
    const LocalDateTime stamp = box.run();

    EXPECT_EQ(stamp, stampOf("2024-01-05 09:30:00"));
    EXPECT_EQ(box.queue(), doc + "\t0\r\n");
    EXPECT_TRUE(fs::exists(box.marker(doc)));
    EXPECT_EQ(fs::file_size(box.marker(doc)), 0u);
    EXPECT_EQ(readFile(box.setCopy(doc, stamp)), "first");
    EXPECT_NE(box.setCopy(doc, stamp).find(native("/20240105-093000/")), std::string::npos);
    EXPECT_FALSE(fs::exists(box.mirrorCopy(doc)));
    // Mode 0 copies are not recorded for deletion; the list is written anyway.
    ASSERT_TRUE(fs::exists(box.autodeleteList(stamp)));
    EXPECT_EQ(fs::file_size(box.autodeleteList(stamp)), 0u);
    EXPECT_TRUE(box.logMessages().empty());
}

TEST(BackupRunTest, SmartFolderEntryMirrorsAndNeverUsesASet) {
    KbmSandbox box;
    const std::string a = box.source("Data/a.txt", "A");
    const std::string b = box.source("Data/sub/b.txt", "B");
    box.run_.include = {{(box.src / "Data").string(), 0, 0}};
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(a)), "A");
    EXPECT_EQ(readFile(box.mirrorCopy(b)), "B");
    EXPECT_FALSE(hasSetFolder(box.dest));
    const auto lines = readLines(box.work / kQueueFile);
    EXPECT_EQ(lines.size(), 2u);
    for (const auto& line : lines)
        EXPECT_TRUE(line.ends_with("\t1")) << line;
}

TEST(BackupRunTest, SecondRunWithoutChangesCopiesNothingButWritesItsAutodeleteList) {
    KbmSandbox box;
    const std::string file = box.source("f/one.txt");
    box.source("d/two.txt");
    box.run_.include = {{file, 0, 1}, {(box.src / "d").string(), 1, 0}};
    const LocalDateTime first = box.run();
    EXPECT_TRUE(fs::exists(box.setCopy(file, first)));

    box.clock.advance(std::chrono::hours(12));
    int sleeps = 0;
    box.clock.setSleepHook([&](std::chrono::milliseconds) { ++sleeps; });
    const LocalDateTime second = box.run();
    EXPECT_EQ(box.queue(), "");
    EXPECT_EQ(sleeps, 0);
    EXPECT_FALSE(fs::exists(box.dest / second.format(kSetStampFormat)));
    ASSERT_TRUE(fs::exists(box.autodeleteList(second)));
    EXPECT_EQ(fs::file_size(box.autodeleteList(second)), 0u);
}

TEST(BackupRunTest, FullBackupCopiesOnEveryRunAndListsEachCopy) {
    KbmSandbox box;
    const std::string file = box.source("f/full.txt", "x");
    const std::string inFolder = box.source("g/in.txt", "y");
    box.run_.include = {{file, 2, 1}, {(box.src / "g").string(), 2, 0}};
    const LocalDateTime first = box.run();
    box.clock.advance(std::chrono::hours(12));
    const LocalDateTime second = box.run();
    EXPECT_EQ(box.queue(), file + "\t2\r\n" + inFolder + "\t2\r\n");
    for (const LocalDateTime& stamp : {first, second}) {
        EXPECT_EQ(readFile(box.setCopy(file, stamp)), "x");
        EXPECT_EQ(readFile(box.setCopy(inFolder, stamp)), "y");
        EXPECT_THAT(readLines(box.autodeleteList(stamp)),
                    ElementsAre(box.setCopy(file, stamp), box.setCopy(inFolder, stamp)));
    }
}

TEST(BackupRunTest, ExcludesMatchTheExactFolderPathOnly) {
    KbmSandbox box;
    box.source("d/Cache/skip.txt");
    box.source("d/Cache/deeper/skip2.txt");
    const std::string other = box.source("d/cache2/take.txt");
    const std::string keep = box.source("e/Cache/take.txt");
    box.run_.include = {{(box.src / "d").string(), 1, 0}, {(box.src / "e").string(), 1, 0}};
    box.run_.exclude = {{(box.src / "d/Cache").string(), 0, 0},
                        {(box.src / "e/cache").string(), 0, 0},
                        {(box.src / "d/cache2/take.txt").string(), 0, 0},
                        {"", 0, 0}};
    box.run();
    // Different letter case is another folder; files are never compared with excludes.
    EXPECT_EQ(box.queue(), other + "\t1\r\n" + keep + "\t1\r\n");

    // An excluded start folder yields nothing at all.
    std::vector<std::string> files;
    FolderWalker({{(box.src / "d").string(), 0, 0}}).walk((box.src / "d").string(), files);
    EXPECT_TRUE(files.empty());
}

TEST(BackupRunTest, FilesWithoutADotInTheirFullPathAreSkipped) {
    KbmSandbox box;
    box.source("plain/README");
    const std::string dotted = box.source("Ver.1/README");
    const std::string named = box.source("plain/notes.md");
    std::vector<std::string> files;
    FolderWalker({}).walk(box.src.string(), files);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{dotted, named}));
}

TEST(BackupRunTest, UnknownModeRefreshesMarkersAndQueuesNothing) {
    KbmSandbox box;
    const std::string file = box.source("m/seven.txt");
    box.run_.include = {{file, 7, 1}, {(box.src / "m").string(), -1, 0}};
    box.run();
    EXPECT_EQ(box.queue(), "");
    EXPECT_TRUE(fs::exists(box.marker(file)));
    EXPECT_TRUE(box.logMessages().empty());
}

TEST(BackupRunTest, FailedCopiesAreTriedAgainAtTheNextRun) {
    KbmSandbox box;
    const std::string smart = box.source("f/smart.txt", "S");
    const std::string mirrored = box.source("d/sub/mirror.txt", "M");
    const std::string full = box.source("g/full.txt", "F");
    const std::string missing = (box.src / "gone/none.txt").string();
    box.run_.include = {{smart, 0, 1},
                        {(box.src / "d").string(), 1, 0},
                        {full, 2, 1},
                        {missing, 0, 1},
                        {(box.src / "no-such-folder").string(), 1, 0}};
    // The backup disk is not mounted: its folder is missing and must not be made.
    fs::remove_all(box.dest);
    const LocalDateTime first = box.run();
    EXPECT_FALSE(fs::exists(box.dest));
    EXPECT_EQ(box.outcome.reason, "destination " + box.dest.string() + " not available");
    EXPECT_EQ(box.outcome.filesFailed, 4u);
    // Their markers are gone: the files count as new.
    for (const std::string& file : {smart, mirrored, full, missing})
        EXPECT_FALSE(fs::exists(box.marker(file))) << file;
    EXPECT_THAT(
        box.logMessages(),
        ElementsAre("Can not backup file: " + smart + " to " + box.setCopy(smart, first),
                    "Can not backup file: " + mirrored + " to " + box.mirrorCopy(mirrored),
                    "Can not backup file: " + full + " to " + box.setCopy(full, first),
                    "Can not backup file: " + missing + " to " + box.setCopy(missing, first)));

    fs::create_directories(box.dest);
    box.clock.advance(std::chrono::hours(12));
    const LocalDateTime second = box.run();
    EXPECT_EQ(readFile(box.setCopy(smart, second)), "S");
    EXPECT_EQ(readFile(box.mirrorCopy(mirrored)), "M");
    EXPECT_EQ(readFile(box.setCopy(full, second)), "F");
    EXPECT_EQ(box.outcome, (BackupOutcome{second, true, 3, 3, 1, box.dest.string(), ""}));
    // Copies that arrived leave empty markers: the third run queues only what still fails.
    EXPECT_EQ(fs::file_size(box.marker(smart)), 0u);
    box.clock.advance(std::chrono::hours(12));
    box.run();
    EXPECT_EQ(box.queue(), full + "\t2\r\n" + missing + "\t0\r\n");
    EXPECT_EQ(box.logMessages().size(), 6u);
}

TEST(BackupRunTest, ProgressAndPausesFollowTheQueue) {
    KbmSandbox box;
    const std::string a = box.source("p/a.txt");
    const std::string b = box.source("p/b.txt");
    box.run_.include = {{(box.src / "p").string(), 1, 0}, {box.source("q/c.txt"), 0, 1}};
    std::vector<std::chrono::milliseconds> sleeps;
    box.clock.setSleepHook([&](std::chrono::milliseconds d) { sleeps.push_back(d); });
    box.run();
    EXPECT_EQ(sleeps, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(500)));
    // Two include entries: the scan's end mark is 2 * 100 / 3.
    ASSERT_FALSE(box.progress.transfer.empty());
    EXPECT_EQ(box.progress.transfer.back(), 66);
    // After each line: characters so far * 100 / (queue bytes + 1).
    const auto lines = readLines(box.work / kQueueFile);
    const auto total = static_cast<std::int64_t>(fs::file_size(box.work / kQueueFile));
    std::vector<int> expected;
    std::int64_t done = 0;
    for (const auto& line : lines) {
        done += static_cast<std::int64_t>(line.size());
        expected.push_back(static_cast<int>(done * 100 / (total + 1)));
    }
    EXPECT_EQ(box.progress.overall, expected);
    EXPECT_LT(expected.back(), 100);
}

TEST(BackupRunTest, MirrorReplacesThePreviousCopyAndNeverDeletes) {
    KbmSandbox box;
    const std::string a = box.source("s/a.txt", "old");
    const std::string b = box.source("s/b.txt", "bee");
    // A name as long as the file system allows still backs up.
    const std::string longName = box.source("s/" + std::string(251, 'n') + ".txt", "long");
    box.run_.include = {{(box.src / "s").string(), 1, 0}};
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(longName)), "long");
    writeFile(a, "new content");
    setModifiedRelative(a, box.marker(a), 2);
    fs::remove(b);
    // What an interrupted copy of a left behind is replaced by the next copy of a.
    const fs::path mirrorFolder = fs::path(box.mirrorCopy(a)).parent_path();
    writeFile(mirrorFolder / copyTemporaryName("a.txt"), "half a cop");
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(a)), "new content");
    EXPECT_EQ(readFile(box.mirrorCopy(b)), "bee");
    // Copies keep the source's modification time and leave no temporary files.
    EXPECT_EQ(fs::last_write_time(box.mirrorCopy(a)), fs::last_write_time(a));
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(mirrorFolder))
        entries.push_back(e.path().filename().string());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries,
              (std::vector<std::string>{"a.txt", "b.txt", fs::path(longName).filename().string()}));
}

TEST(BackupRunTest, TheRunsOwnFoldersInsideASourceAreNeverBackedUp) {
    KbmSandbox box;
    const std::string file = box.source("home/ann/a.txt", "A");
    box.run_.dataFolder = box.src / "home/ann/.local/share";
    box.run_.settings.destination = (box.src / "home/ann/backup.d").string() + "/";
    fs::create_directories(box.run_.settings.destination);
    box.run_.include = {{(box.src / "home").string(), 1, 0}};
    box.run();
    EXPECT_EQ(box.queue(), file + "\t1\r\n");
    box.clock.advance(std::chrono::hours(12));
    box.run();
    EXPECT_EQ(box.queue(), "");
    // However the source spells its way to them.
    box.clock.advance(std::chrono::hours(12));
    box.run_.include = {{(box.src / "home/ann/.").string(), 1, 0},
                        {(box.src / "home/./ann/../ann").string(), 1, 0}};
    box.run();
    EXPECT_EQ(box.queue(), "");
}

TEST(BackupRunTest, DestinationThatLostItsFilesIsFilledAgain) {
    KbmSandbox box;
    const std::string a = box.source("d/a.txt", "A");
    const std::string b = box.source("d/sub/b.txt", "B");
    box.run_.include = {{(box.src / "d").string(), 1, 0}};
    box.run();
    const fs::path id = box.dest / ".kbm-destination";
    if (systemHasModeBits()) {
        EXPECT_EQ(modeOf(id), 0644u); // users who share the destination share its id
    }
    EXPECT_TRUE(box.logMessages().empty());

    fs::remove_all(box.dest);
    fs::create_directories(box.dest);
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(a)) + readFile(box.mirrorCopy(b)), "AB");
    EXPECT_THAT(box.logMessages(),
                ElementsAre("Backup destination was emptied or replaced, every file is copied "
                            "again: " +
                            box.dest.string()));
    // A new disk that appears during a run that found none takes that run's copies, but its id
    // only from a run that fills it.
    fs::remove_all(box.dest);
    box.source("d/c.txt", "C");
    box.clock.setSleepHook([&](std::chrono::milliseconds) { fs::create_directories(box.dest); });
    box.run();
    box.clock.setSleepHook({});
    EXPECT_FALSE(fs::exists(id));
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(a)) + readFile(box.mirrorCopy(b)), "AB");
    // A run to the FTP server leaves the markers saying nothing of the folder.
    box.run_.settings.destinationIsFolder = 0;
    box.run();
    box.run_.settings.destinationIsFolder = 1;
    box.run();
    EXPECT_EQ(box.logMessages().back(),
              "New backup destination, every file is copied again: " + box.dest.string());
}

// A source that changes while it is copied or sent, and a run cut off before its copies: the
// next run copies the file again, and says why.
TEST(BackupRunTest, TornOrCutOffCopiesAreMadeAgain) {
    struct ChangingSender final : FileSender {
        bool send(const std::string& source, const std::string&) override {
            if (changes-- > 0)
                writeFile(source, "A, changed");
            return true;
        }
        int changes = 1;
    };
    for (const bool toFolder : {true, false}) {
        SCOPED_TRACE(toFolder ? "folder" : "FTP");
        KbmSandbox box;
        ChangingSender sender;
        box.run_.settings.destinationIsFolder = toFolder;
        const std::string a = box.source("t/a.txt", "A");
        const std::string b = box.source("t/b.txt", "B");
        box.run_.include = {{a, 1, 1}, {b, 1, 1}};
        int sleeps = 0;
        box.clock.setSleepHook([&](std::chrono::milliseconds) {
            if (sleeps++ == 0)
                writeFile(a, "A, changed");
        });
        box.run(&sender);
        EXPECT_THAT(box.logMessages(), ElementsAre("File changed while it was copied, it is "
                                                   "copied again at the next run: " +
                                                   a));
        EXPECT_EQ(fs::file_size(box.marker(a)), 2u); // pending on purpose
        EXPECT_EQ(fs::file_size(box.marker(b)), 0u);
        box.run(&sender);
        EXPECT_EQ(box.queue(), a + "\t1\r\n");
        EXPECT_EQ(box.logMessages().size(), 1u);

        // Cut off after the scan: pending markers, and a leftover of a copy in the mirror.
        writeFile(box.marker(a), "q");
        writeFile(box.marker(b), "q");
        const fs::path leftover =
            fs::path(box.mirrorCopy(a)).parent_path() / copyTemporaryName("gone.txt");
        writeFile(leftover, "half");
        box.run(&sender);
        EXPECT_EQ(box.queue(), a + "\t1\r\n" + b + "\t1\r\n");
        EXPECT_THAT(box.logMessages(),
                    ElementsAre(::testing::_,
                                "Previous backup did not complete, its files are copied again."));
        EXPECT_EQ(fs::exists(leftover), !toFolder); // no copy went into its folder
        EXPECT_EQ(fs::exists(box.mirrorCopy(a)), toFolder);
    }
}

// Bad input ------------------------------------------------------------------------------

TEST(BackupRunBadInputTest, FileVanishingBeforeItsCopyKeepsTheEarlierCopy) {
    KbmSandbox box;
    const std::string a = box.source("v/a.txt", "good copy");
    const std::string b = box.source("v/b.txt", "b");
    box.run_.include = {{(box.src / "v").string(), 1, 0}};
    box.run();
    writeFile(a, "changed");
    setModifiedRelative(a, box.marker(a), 2);
    writeFile(b, "b2");
    setModifiedRelative(b, box.marker(b), 2);
    // a disappears during the pause before its copy.
    box.clock.setSleepHook([&](std::chrono::milliseconds) { fs::remove(a); });
    box.run();
    EXPECT_THAT(box.logMessages(),
                ElementsAre("Can not backup file: " + a + " to " + box.mirrorCopy(a)));
    EXPECT_EQ(readFile(box.mirrorCopy(a)), "good copy");
    EXPECT_EQ(readFile(box.mirrorCopy(b)), "b2");
}

// A file that became a folder and a folder that became a file, in the mirror and in sets: the
// stale markers in the way are replaced, and earlier mirror copies in the way go aside whole.
TEST(BackupRunTest, FilesThatBecameFoldersAndFoldersThatBecameFilesAreBackedUp) {
    for (const std::int32_t mode : {1, 2}) {
        SCOPED_TRACE(mode);
        KbmSandbox box;
        const std::string was = box.source("s/was.txt", "file");
        const std::string old = box.source("s/dir.d/old.txt", "old");
        box.run_.include = {{(box.src / "s").string(), mode, 0}};
        box.run();
        fs::remove(was);
        const std::string inner = box.source("s/was.txt/inner.txt", "inner");
        fs::remove_all(box.src / "s/dir.d");
        const std::string now = box.source("s/dir.d", "now a file");
        std::string aside; // below the destination, named by the run that met the change
        for (int run = 0; run < 2; ++run) {
            box.clock.advance(std::chrono::hours(1));
            const LocalDateTime stamp = box.run();
            if (aside.empty())
                aside = box.dest.string() +
                        native("/.kbm-replaced/" + stamp.format(kSetStampFormat) + "/");
            const auto copy = [&](const std::string& file) {
                return mode == 1 ? box.mirrorCopy(file) : box.setCopy(file, stamp);
            };
            EXPECT_EQ(readFile(copy(inner)), "inner");
            EXPECT_EQ(readFile(copy(now)), "now a file");
        }
        if (mode == 2) {
            EXPECT_TRUE(box.logMessages().empty());
            continue;
        }
        const std::string folder = *relativePath(now);
        EXPECT_THAT(box.logMessages(),
                    ::testing::UnorderedElementsAre(
                        "Moved aside: " + box.mirrorCopy(was) + " to " + aside + *relativePath(was),
                        "Moved aside: " + box.mirrorCopy(now) + " to " + aside + folder));
        EXPECT_EQ(readFile(aside + *relativePath(was)), "file");
        EXPECT_EQ(readFile(aside + *relativePath(old)), "old");
    }
}

// A destination emptied meanwhile is filled by the first run that can write its queue.
TEST(BackupRunBadInputTest, QueueFileThatCannotBeCreatedIsReported) {
    KbmSandbox box;
    const std::string file = box.source("x/y.txt");
    box.run_.include = {{(box.src / "x").string(), 1, 0}};
    box.run();
    fs::remove_all(box.dest);
    fs::create_directories(box.dest);
    fs::remove(box.work / kQueueFile);
    fs::create_directories(box.work / kQueueFile);
    const LocalDateTime stamp = box.run();
    EXPECT_THAT(box.logMessages(), ElementsAre(::testing::_, "Can not create the result file"));
    EXPECT_TRUE(fs::exists(box.autodeleteList(stamp)));
    fs::remove(box.work / kQueueFile);
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(file)), "data");
}

TEST(BackupRunBadInputTest, QueueLinesWithoutTabsOrWithExtraCrAreHandled) {
    KbmSandbox box;
    const std::string a = box.source("q/a.txt", "A");
    const std::string b = box.source("q/b.txt", "B");
    const std::string c = box.source("q/c.txt", "C");
    const std::string d = box.source("q/d.txt", "D");
    const std::string longLine(50000, 'z');
    // Lines may also end in a lone CR.
    writeFile(box.work / kQueueFile, "no tab here\r\n\r\n" + a + "\t1\r\r\n" + longLine + "\r\n" +
                                         b + "\t2 trailing\r\n" + a + "\t9\r\n" +
                                         "/outside/../x.txt\t1\r\n" + c + "\t1\r" + d + "\t1\r");
    NullProgress progress;
    NoSend noSend;
    CopyPhase::Config cfg{box.work / kQueueFile, autodeleteFolder(box.data), true,
                          box.dest.string(), markerFolder(box.data)};
    const LocalDateTime stamp = CopyPhase(cfg, box.clock, box.log, progress, noSend).run();
    EXPECT_EQ(readFile(box.mirrorCopy(a)), "A");
    EXPECT_EQ(readFile(box.setCopy(b, stamp)), "B");
    EXPECT_EQ(readFile(box.mirrorCopy(c)), "C");
    EXPECT_EQ(readFile(box.mirrorCopy(d)), "D");
    EXPECT_THAT(readLines(box.autodeleteList(stamp)), ElementsAre(box.setCopy(b, stamp)));
    EXPECT_THAT(box.logMessages(), ElementsAre("Can not backup file: /outside/../x.txt to " +
                                               joinPath(box.dest.string(), "outside/../x.txt")));
}

TEST(BackupRunBadInputTest, EmptyDestinationCopiesNothing) {
    KbmSandbox box;
    const std::string a = box.source("e/a.txt", "A");
    box.run_.settings.destination = "";
    box.run_.include = {{a, 1, 1}};
    box.run();
    // The target is the source's relative path at the root (the source itself on POSIX).
    EXPECT_THAT(box.logMessages(), ElementsAre("Can not backup file: " + a + " to " +
                                               pathSeparator() + *relativePath(a)));
    EXPECT_EQ(readFile(a), "A");
}

} // namespace
} // namespace kestrun::test

#include "kbm/copy_phase.h"
#include "kbm/file_copy.h"
#include "kbm/folder_walk.h"
#include "kbm/queue_file.h"
#include "kbm/scan_phase.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include <unistd.h>

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
    EXPECT_NE(box.setCopy(doc, stamp).find("/20240105-093000/"), std::string::npos);
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

// Sets a file's modification time exactly.
void setModified(const std::string& file, const FileTime& time) {
    const timespec at{static_cast<time_t>(time.second), static_cast<long>(time.nanosecond)};
    const timespec times[2] = {at, at};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

// Every change after a file's marker is seen, however its times read; an unchanged file is
// not copied again, even against a marker the nearest after its last status change.
TEST(BackupRunTest, EveryChangeAfterTheMarkerIsSeen) {
    struct Case {
        const char* name;
        std::function<void(const std::string& file, const std::string& marker)> change;
        bool copied = true;
    };
    const auto older = [](const std::string& file, const std::string& marker) {
        writeFile(file, "v2");
        setModifiedRelative(file, marker, -100);
    };
    const std::vector<Case> cases{
        {"unchanged", [](const std::string&, const std::string&) {}, false},
        {"unchanged, whole-second marker just after its status change",
         [](const std::string& file, const std::string& marker) {
             setModified(marker, {fileStatus(file)->changedSecond + 1, 0});
         },
         false},
        {"status changed in the marker's own instant",
         [](const std::string& file, const std::string& marker) {
             setModified(marker, fileStatus(file)->changed());
         }},
        {"modified a nanosecond after its marker (a time ahead of the clock)",
         [](const std::string& file, const std::string& marker) {
             const FileTime ahead{fileStatus(marker)->modifiedSecond + 100, 500};
             setModified(file, ahead);
             setModified(marker, {ahead.second, ahead.nanosecond - 1});
         }},
        {"touched a second later",
         [](const std::string& file, const std::string& marker) {
             writeFile(file, "v2");
             setModifiedRelative(file, marker, 1);
         }},
        {"rewritten in the marker's own instant",
         [](const std::string& file, const std::string& marker) {
             writeFile(file, "v2");
             fs::last_write_time(file, fs::last_write_time(marker));
         }},
        {"time put back (touch -r)", older},
        // Made and given its old time before the marker; only the move is later.
        {"older file moved over it",
         [](const std::string& file, const std::string&) {
             fs::rename(fs::path(file).parent_path().parent_path() / "spare/file.txt", file);
         }},
        {"chmod",
         [](const std::string& file, const std::string&) {
             fs::permissions(file, fs::perms::owner_read, fs::perm_options::replace);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KbmSandbox box;
        const std::string file = box.source("d/file.txt", "v1");
        setModifiedRelative(box.source("spare/file.txt", "v0"), file, -100);
        box.run_.include = {{(box.src / "d").string(), 1, 0}};
        box.run();
        c.change(file, box.marker(file));
        box.clock.advance(std::chrono::hours(1));
        box.run();
        EXPECT_EQ(box.queue(), c.copied ? file + "\t1\r\n" : "");
        EXPECT_EQ(readFile(box.mirrorCopy(file)), readFile(file));
        EXPECT_EQ(modeOf(box.mirrorCopy(file)), modeOf(file));
    }
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

TEST(BackupRunTest, LinkedFoldersAreWalkedOnceAndLinkedFilesTakenAsFiles) {
    KbmSandbox box;
    box.source("elsewhere/data/a.txt", "A");
    const std::string target = box.source("elsewhere/file.txt", "F");
    const std::string w = (box.src / "w").string();
    const std::string b = box.source("w/x/real2/b.txt", "B");
    const std::string c = box.source("w/y/real/c.txt", "C");
    fs::create_directory_symlink(box.src / "elsewhere/data", w + "/linked");
    fs::create_directory_symlink(box.src / "elsewhere/data", w + "/again");
    fs::create_directory_symlink(w, w + "/loop");
    fs::create_symlink(target, w + "/file-link.txt");
    // Links into the tree, one met before the folder it leads to and one after, whichever of
    // x and y the walk lists first.
    fs::create_directory_symlink(w + "/y/real", w + "/x/alias");
    fs::create_directory_symlink("../x/real2", w + "/y/alias2");
    std::vector<std::string> files;
    FolderWalker({}).walk(w, files);
    std::sort(files.begin(), files.end());
    // The real folder behind two links leading out is walked once, under whichever link came
    // first; links into the tree are not followed, their folders are walked at their own paths.
    ASSERT_EQ(files.size(), 4u);
    const std::string a = files[0].ends_with("/a.txt") ? files[0] : files[1];
    EXPECT_THAT(files, ::testing::UnorderedElementsAre(w + "/file-link.txt", b, c, a));
    EXPECT_TRUE(a == w + "/linked/a.txt" || a == w + "/again/a.txt") << a;
    box.run_.include = {{w, 1, 0}};
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(w + "/file-link.txt")), "F");
    EXPECT_EQ(readFile(box.mirrorCopy(a)), "A");
    EXPECT_EQ(readFile(box.mirrorCopy(b)), "B");
    EXPECT_FALSE(fs::is_symlink(box.mirrorCopy(w + "/file-link.txt")));
    EXPECT_FALSE(fs::exists(box.mirrorCopy(w + "/x/alias")));
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

// Nothing can go there: the run fails, and its files stay due for the next one.
TEST(BackupRunTest, DestinationThatCanTakeNothingFailsTheRun) {
    KbmSandbox box;
    const std::string a = box.source("n/a.txt");
    box.run_.include = {{a, 1, 1}};
    const bool readOnly =
        ::mount(box.dest.c_str(), box.dest.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
        ::mount(nullptr, box.dest.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    const std::pair<std::string, std::string> cases[] = {
        {"", "no destination folder set"},
        {a, "destination " + a + " not available"},
        {readOnly ? box.dest.string() : "",
         readOnly ? "destination " + box.dest.string() + " can not be written"
                  : "no destination folder set"}};
    for (const auto& [destination, reason] : cases) {
        box.run_.settings.destination = destination;
        box.run();
        EXPECT_EQ(box.outcome.reason, reason);
        EXPECT_FALSE(fs::exists(box.marker(a)));
    }
    ::umount2(box.dest.c_str(), MNT_DETACH);
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
    EXPECT_EQ(modeOf(id), 0644u); // users who share the destination share its id
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

    // Another destination, whose id is a link to someone's file: never written through.
    const fs::path other = box.root / "other";
    fs::create_directories(other);
    writeFile(box.root / "victim", "keep");
    fs::create_symlink(box.root / "victim", other / ".kbm-destination");
    box.run_.settings.destination = other.string() + "/";
    box.run();
    EXPECT_EQ(readFile(other / *relativePath(b)), "B");
    EXPECT_EQ(box.logMessages().back(),
              "New backup destination, every file is copied again: " + other.string());
    EXPECT_EQ(readFile(box.root / "victim"), "keep");
    EXPECT_FALSE(fs::is_symlink(other / ".kbm-destination"));
    box.run();
    EXPECT_EQ(box.queue(), "");
}

TEST(BackupRunTest, UnmountedDestinationDiskIsNotFilled) {
    KbmSandbox box;
    const fs::path disk = box.root / "disk";
    fs::create_directories(disk);
    if (::mount(disk.c_str(), box.dest.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "a bind mount needs root";
    const std::string a = box.source("d/a.txt", "A");
    box.run_.include = {{(box.src / "d").string(), 1, 0}};
    box.run();
    ASSERT_EQ(::umount2(box.dest.c_str(), 0), 0);
    writeFile(a, "A2");
    box.run();
    EXPECT_TRUE(fs::is_empty(box.dest));
    EXPECT_THAT(box.logMessages(),
                ElementsAre("Backup destination is not mounted: " + box.dest.string(),
                            "Can not backup file: " + a + " to " + box.mirrorCopy(a)));
    ASSERT_EQ(::mount(disk.c_str(), box.dest.c_str(), nullptr, MS_BIND, nullptr), 0);
    box.run();
    EXPECT_EQ(readFile(disk / *relativePath(a)), "A2");
    EXPECT_EQ(box.logMessages().size(), 2u);

    // Unmounted during a run that refills the disk: nothing goes into the bare folder, then or
    // later.
    writeFile(a, "A3");
    fs::remove(disk / ".kbm-destination");
    box.clock.setSleepHook([&](std::chrono::milliseconds) { ::umount2(box.dest.c_str(), 0); });
    box.run();
    box.clock.setSleepHook({});
    box.run();
    ::umount2(box.dest.c_str(), MNT_DETACH);
    EXPECT_TRUE(fs::is_empty(box.dest));
    const std::string failed = "Can not backup file: " + a + " to " + box.mirrorCopy(a);
    EXPECT_THAT(box.logMessages(),
                ElementsAre(::testing::_, ::testing::_, ::testing::HasSubstr("emptied"), failed,
                            "Backup destination is not mounted: " + box.dest.string(), failed));
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

TEST(BackupRunBadInputTest, NamesThatCannotBeQueueLinesAreReportedAndTheRestGoesOn) {
    KbmSandbox box;
    box.source("t/tab\tname.txt");
    box.source("t/line\nbreak.txt");
    box.source("t/sub\r/c\\r.txt");
    const std::string fine = box.source("t/fine.txt");
    const std::string folder = (box.src / "t").string();
    box.run_.include = {{folder, 1, 0}, {"/", 1, 1}, {"/a/../../etc/x.txt", 1, 1}};
    box.run();
    EXPECT_EQ(box.queue(), fine + "\t1\r\n");
    // A name found in a folder is named in the line, its odd bytes escaped.
    const std::string failed = "Copying failed: " + folder + ": " + folder;
    EXPECT_THAT(box.logMessages(), ::testing::UnorderedElementsAre(
                                       failed + "/tab\\tname.txt", failed + "/line\\nbreak.txt",
                                       failed + "/sub\\r/c\\\\r.txt", "Copying failed: /",
                                       "Copying failed: /a/../../etc/x.txt"));
    EXPECT_FALSE(fs::exists(box.data / "etc"));
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
                aside = box.dest.string() + "/.kbm-replaced/" + stamp.format(kSetStampFormat) + "/";
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

// A folder that is there but cannot be read, and a file whose marker cannot be made, are named
// in the log and the rest goes on. Root reads every folder, but not one whose path is longer
// than the system takes; a folder closed to its owner counts only for others. A marker is made
// folder by folder, so one whose path is longer than the system takes is made all the same.
TEST(BackupRunBadInputTest, FoldersThatCannotBeReadAndMarkersThatCannotBeMadeAreNamed) {
    KbmSandbox box;
    const std::string entry = (box.src / "u").string();
    const std::string fine = box.source("u/fine.txt");
    const std::string closed = box.source("u/closed/in.txt");
    const std::string part(200, 'n');
    std::string deep = entry;
    while (deep.size() < 3850)
        deep += "/" + part;
    // Its path is still taken, its marker's (below the data folder) no longer.
    const std::string deepFile = box.source(deep.substr(box.src.string().size() + 1) + "/" +
                                            std::string(4085 - deep.size(), 'm') + ".txt");
    const FolderHandle parent = FolderHandle::open(deep);
    const FolderHandle tooLong = parent.childCreating(part, 0700);
    ASSERT_TRUE(tooLong.createFile("hidden.txt", 0600));
    fs::permissions(fs::path(closed).parent_path(), fs::perms::none);
    const std::string unmarkable = box.source("u/locked/in.txt");
    const fs::path lockedMarkers = fs::path(box.marker(unmarkable)).parent_path();
    fs::create_directories(lockedMarkers);
    fs::permissions(lockedMarkers, fs::perms::owner_read | fs::perms::owner_exec);
    // Loops of links, one in the tree and one the entry itself; a link leading nowhere is none.
    const std::string loop = (box.src / "loop.d").string();
    fs::create_symlink("loop.d", loop);
    fs::create_symlink("loop.d", entry + "/loop.d");
    fs::create_symlink("nowhere.txt", entry + "/dangling.txt");
    box.run_.include = {{entry, 1, 0}, {loop, 1, 0}};
    box.run();
    fs::permissions(fs::path(closed).parent_path(), fs::perms::owner_all);
    fs::permissions(lockedMarkers, fs::perms::owner_all);
    tooLong.removeFile("hidden.txt");
    parent.removeFolder(part);

    std::vector<std::string> expected = {"Copying failed: " + entry + ": " + deep + "/" + part,
                                         "Copying failed: " + entry + ": " + entry + "/loop.d",
                                         "Copying failed: " + loop};
    if (::geteuid() != 0) {
        expected.push_back("Copying failed: " + entry + ": " + entry + "/closed");
        expected.push_back("Copying failed: " + entry + ": " + unmarkable);
    }
    EXPECT_THAT(box.logMessages(), ::testing::UnorderedElementsAreArray(expected));
    EXPECT_NE(box.queue().find(fine + "\t1"), std::string::npos);
    EXPECT_NE(box.queue().find(deepFile + "\t1"), std::string::npos);
    // Its copy settled its marker: the next run leaves it.
    box.run();
    EXPECT_EQ(box.queue().find(deepFile + "\t1"), std::string::npos);
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

// A sender for a run to a folder, which sends nothing.
struct NoSend final : FileSender {
    bool send(const std::string&, const std::string&) override {
        ADD_FAILURE();
        return false;
    }
};

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
                                               box.dest.string() + "/outside/../x.txt"));
}

// A link put in the queue's place between the phases leads the copy nowhere.
TEST(BackupRunBadInputTest, QueueReplacedByALinkCopiesNothing) {
    KbmSandbox box;
    const std::string a = box.source("l/a.txt", "A");
    writeFile(box.work / "elsewhere", a + "\t1\r\n");
    fs::create_symlink(box.work / "elsewhere", box.work / kQueueFile);
    NullProgress progress;
    NoSend noSend;
    CopyPhase::Config cfg{box.work / kQueueFile, autodeleteFolder(box.data), true,
                          box.dest.string(), markerFolder(box.data)};
    CopyPhase(cfg, box.clock, box.log, progress, noSend).run();
    EXPECT_FALSE(fs::exists(box.mirrorCopy(a)));
    EXPECT_TRUE(fs::is_symlink(box.work / kQueueFile));
}

TEST(BackupRunBadInputTest, EmptyDestinationCopiesNothing) {
    KbmSandbox box;
    const std::string a = box.source("e/a.txt", "A");
    box.run_.settings.destination = "";
    box.run_.include = {{a, 1, 1}};
    box.run();
    EXPECT_THAT(box.logMessages(), ElementsAre("Can not backup file: " + a + " to " + a));
    EXPECT_EQ(readFile(a), "A");
}

TEST(BackupRunBadInputTest, FolderEntriesThatAreNoFoldersYieldNothing) {
    KbmSandbox box;
    const std::string file = box.source("n/file.txt");
    const std::string tooLong = box.src.string() + "/" + std::string(5000, 'x') + ".txt";
    // An empty folder path (a hand-edited list) walks nothing, not the current folder.
    ScopedCwd cwd(box.src / "n");
    box.run_.include = {
        {file, 1, 0}, {(box.src / "missing").string(), 1, 0}, {tooLong, 1, 0}, {"", 1, 0}};
    box.run();
    EXPECT_EQ(box.queue(), "");
    // Only the folder that cannot be reached by its path is reported, and counts as failed.
    EXPECT_THAT(box.logMessages(), ElementsAre("Copying failed: " + tooLong));
    EXPECT_EQ(box.outcome.filesFailed, 1u);

    // A file entry whose marker cannot exist (name too long) is reported, not queued.
    box.run_.include = {{tooLong, 1, 1}, {file, 1, 1}};
    box.run();
    EXPECT_EQ(box.queue(), file + "\t1\r\n");
    EXPECT_THAT(box.logMessages(), ElementsAre(::testing::_, "Copying failed: " + tooLong));
}

} // namespace
} // namespace kestrun::test

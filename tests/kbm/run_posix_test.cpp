#include "kbm/copy_phase.h"
#include "kbm/file_copy.h"
#include "kbm/folder_walk.h"
#include "kbm/queue_file.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

// The runs' cases that need POSIX: status change times, links, mounts, names with control
// characters, folders closed by their mode bits and paths longer than the system takes (Windows
// takes 32767 characters, and Wine reports an overlong name as missing).

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

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

// Another destination, whose id is a link to someone's file: never written through.
TEST(BackupRunTest, DestinationWhoseIdIsALinkIsNeverWrittenThrough) {
    KbmSandbox box;
    const std::string b = box.source("d/sub/b.txt", "B");
    box.run_.include = {{(box.src / "d").string(), 1, 0}};
    box.run();
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

TEST(BackupRunBadInputTest, FolderEntriesThatAreNoFoldersYieldNothing) {
    KbmSandbox box;
    const std::string file = box.source("n/file.txt");
    const std::string tooLong = (box.src / (std::string(5000, 'x') + ".txt")).string();
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

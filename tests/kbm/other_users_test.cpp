#include "kbm/retention.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// The first folder of a source's relative path ("tmp" for a source below /tmp).
std::string firstFolder(const std::string& source) {
    return fs::path(*relativePath(source)).begin()->string();
}

class OtherUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!mayActAsOtherUser())
            GTEST_SKIP() << "acting as another user needs root";
        openToOthers(box.root.path());
        openToOthers(box.dest);
    }

    // A folder of the other user's, holding their file and an empty folder.
    fs::path theirFolder() {
        const fs::path theirs = box.root / "theirs";
        EXPECT_TRUE(asOtherUser([&] {
            writeFile(theirs / "x/a.txt", "theirs");
            fs::create_directories(theirs / "empty");
            fs::permissions(theirs / "x/a.txt", fs::perms::all & ~fs::perms::owner_exec &
                                                    ~fs::perms::group_exec &
                                                    ~fs::perms::others_exec);
        }));
        return theirs;
    }

    // The other user plants a link (making the folders above it).
    void plantLink(const fs::path& target, const fs::path& link) {
        ASSERT_TRUE(asOtherUser([&] {
            fs::create_directories(link.parent_path());
            fs::create_symlink(target, link);
        })) << link;
    }

    KbmSandbox box;
};

// Links another user planted below the destination: a copy never goes through one, and what
// they point at stays as it was; the link stays too.
TEST_F(OtherUserTest, CopiesNeverGoThroughALinkBelowTheDestination) {
    std::string stamp; // the set of the coming run
    struct Case {
        const char* name;
        std::int32_t mode; // 1: the mirror; 0: the run's set
        std::function<fs::path(const KbmSandbox&, const std::string& source)> link;
        bool toTheirFile; // the link leads to their file, not their folder
    };
    const Case cases[] = {
        {"dest/sub -> their folder", 1,
         [](const KbmSandbox& b, const std::string& s) { return b.dest / firstFolder(s); }, false},
        {"dest/stamp -> their folder", 0,
         [&](const KbmSandbox& b, const std::string&) { return b.dest / stamp; }, false},
        {"dest/stamp/tmp -> their folder", 0,
         [&](const KbmSandbox& b, const std::string& s) { return b.dest / stamp / firstFolder(s); },
         false},
        {"the copy's own folder -> their folder", 1,
         [](const KbmSandbox& b, const std::string& s) {
             return fs::path(b.mirrorCopy(s)).parent_path();
         },
         false},
        {"the copy itself -> their file", 1,
         [](const KbmSandbox& b, const std::string& s) { return fs::path(b.mirrorCopy(s)); }, true},
    };
    const std::string source = box.source("m/a.txt", "mine");
    const fs::path theirs = theirFolder();
    const std::string before = treeSnapshot(theirs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(box.dest);
        fs::create_directories(box.dest);
        openToOthers(box.dest);
        fs::remove(box.log.file());
        fs::remove_all(box.data);
        stamp = box.clock.now().format(kSetStampFormat);
        const fs::path link = c.link(box, source);
        plantLink(c.toTheirFile ? theirs / "x/a.txt" : theirs, link);
        box.run_.include = {{source, c.mode, 1}};
        const LocalDateTime runStamp = box.run();
        const std::string target =
            c.mode == 1 ? box.mirrorCopy(source) : box.setCopy(source, runStamp);
        EXPECT_THAT(box.logMessages(),
                    ElementsAre("Can not backup file: " + source + " to " + target));
        EXPECT_EQ(treeSnapshot(theirs), before);
        EXPECT_TRUE(fs::is_symlink(link));
    }

    // The destination itself may be a link (a disk mounted elsewhere).
    fs::remove_all(box.dest);
    fs::create_directories(box.dest);
    fs::remove_all(box.data);
    fs::create_directory_symlink(box.dest, box.root / "mounted");
    box.run_.settings.destination = (box.root / "mounted").string();
    box.run_.include = {{source, 1, 1}};
    box.run();
    EXPECT_EQ(readFile(box.mirrorCopy(source)), "mine");
}

// Retention removes listed copies only where no link lies between the set's parent and the
// copy, and takes a set folder that is a link away as a link.
TEST_F(OtherUserTest, RetentionNeverDeletesThroughALinkBelowTheDestination) {
    const std::string set = "20240101-120000";
    const fs::path list = fs::path(autodeleteFolder(box.data)) / (set + ".txt");
    struct Case {
        const char* name;
        std::string linkBelowSet; // "" for the set folder itself
        bool linkStays;
    };
    const Case cases[] = {
        {"dest/set/tmp -> their folder", "tmp", true},
        {"dest/set -> their folder", "", false},
    };
    const fs::path theirs = theirFolder();
    const std::string before = treeSnapshot(theirs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(box.log.file());
        const fs::path link =
            c.linkBelowSet.empty() ? box.dest / set : box.dest / set / c.linkBelowSet;
        plantLink(theirs, link);
        const std::string copy = (link / "x/a.txt").string();
        writeFile(list, copy + "\r\n");
        removeExpiredSets(3, stampOf("2024-02-01 00:00:00"), box.dest.string(),
                          autodeleteFolder(box.data), box.log);
        EXPECT_EQ(treeSnapshot(theirs), before);
        ASSERT_FALSE(box.logMessages().empty());
        EXPECT_EQ(box.logMessages()[0], "Can not delete file: " + copy);
        EXPECT_EQ(fs::is_symlink(link), c.linkStays);
        fs::remove_all(box.dest / set);
    }

    // Links above the set folder are the destination's own and are followed.
    const fs::path oldDisk = box.root / "old-disk";
    writeFile(oldDisk / set / "x/a.txt", "copy");
    fs::create_directory_symlink(oldDisk, box.root / "old-mount");
    writeFile(list, (box.root / "old-mount" / set / "x/a.txt").string() + "\r\n");
    removeExpiredSets(3, stampOf("2024-02-01 00:00:00"), box.dest.string(),
                      autodeleteFolder(box.data), box.log);
    EXPECT_FALSE(fs::exists(oldDisk / set));
}

// Folders made for copies are as private as the source folders they stand for, and they and
// the copies are never writable by others; the run's own files are the user's alone.
TEST_F(OtherUserTest, CopiesAndTheRunsOwnFilesKeepTheirPrivacy) {
    const std::string secret = box.source("home/ann/private/secret.txt", "s");
    const std::string open = box.source("home/ann/shared/open.txt", "o");
    const std::string plan = box.source("home/ann/team/plan.txt", "p");
    const std::string drop = box.source("home/ann/drop/note.txt", "n");
    const std::string crew = box.source("home/ann/crew/roster.txt", "r");
    const std::string diary = box.source("set/private/diary.txt", "d");
    const std::string scratch = box.source("set/tmp/scratch.txt", "x");
    // Every source folder gets its mode here, so the umask of the run plays no part.
    const std::pair<fs::path, unsigned> sourceModes[] = {
        {box.src / "home/ann/private", 0700},
        {box.src / "home/ann/shared", 0755},
        {box.src / "home/ann/team", 0751},
        {box.src / "home/ann/drop", 01777},
        {box.src / "home/ann/crew", 0750},
        {box.src / "set/private", 0700},
        {box.src / "set/tmp", 0777},
        {plan, 0640},
        {crew, 0640},
        {scratch, 0666},
    };
    for (const auto& [path, mode] : sourceModes)
        fs::permissions(path, static_cast<fs::perms>(mode), fs::perm_options::replace);
    // A group the run's user has nothing to do with owns the crew's folder and file.
    constexpr gid_t kCrew = 4321;
    ASSERT_EQ(::chown((box.src / "home/ann/crew").c_str(), static_cast<uid_t>(-1), kCrew), 0);
    ASSERT_EQ(::chown(crew.c_str(), static_cast<uid_t>(-1), kCrew), 0);
    box.run_.include = {{(box.src / "home").string(), 1, 0}, {diary, 0, 1}, {scratch, 0, 1}};
    const LocalDateTime stamp = box.run();
    ASSERT_TRUE(box.logMessages().empty());

    const auto folderOf = [](const std::string& file) { return fs::path(file).parent_path(); };
    const std::pair<fs::path, unsigned> modes[] = {
        {folderOf(box.mirrorCopy(secret)), 0700},
        {folderOf(box.mirrorCopy(open)), 0755},
        {folderOf(box.mirrorCopy(plan)), 0751},
        {box.mirrorCopy(plan), 0640},
        {folderOf(box.mirrorCopy(drop)), 01775}, // others never write a backup folder
        {folderOf(box.mirrorCopy(crew)), 0750},
        {box.mirrorCopy(crew), 0640},
        {folderOf(box.setCopy(diary, stamp)), 0700},
        {folderOf(box.setCopy(scratch, stamp)), 0775},
        {box.setCopy(scratch, stamp), 0664}, // nor a copy
        {box.data / "KBM", 0700},
        {box.data / "KBM/tmp", 0700},
        {box.data / "KBM/del", 0700},
        {folderOf(box.marker(secret)), 0700},
        {box.marker(secret), 0600},
        {box.autodeleteList(stamp), 0600},
        {box.work / kQueueFile, 0600},
    };
    for (const auto& [path, mode] : modes)
        EXPECT_EQ(modeOf(path), mode) << path;
    // The group bits of the crew's copies are for the crew, not for the run's own group.
    const auto groupOf = [](const fs::path& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_gid : gid_t(0);
    };
    EXPECT_EQ(groupOf(folderOf(box.mirrorCopy(crew))), kCrew);
    EXPECT_EQ(groupOf(box.mirrorCopy(crew)), kCrew);

    // The other user reads the shared copy, not the private ones.
    const auto readable = [](const std::string& file) {
        return asOtherUser([&] {
            if (!std::ifstream(file))
                throw std::runtime_error("unreadable");
        });
    };
    EXPECT_TRUE(readable(box.mirrorCopy(open)));
    EXPECT_FALSE(readable(box.mirrorCopy(secret)));
    EXPECT_FALSE(readable(box.setCopy(diary, stamp)));
    EXPECT_FALSE(readable(box.work / kQueueFile));
}

} // namespace
} // namespace kestrun::test

#include "common/text_file.h"
#include "platform/list_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kestrun::test::readFile;
using kestrun::test::TempDir;
using kestrun::test::writeFile;

namespace {

ino_t fileInode(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

TEST(ListFile, ReplaceKeepsPermissionsFollowsLinksAndSparesReadOnlyFiles) {
    TempDir dir;
    const auto target = dir / "real/progs.lst";
    writeFile(target, "old\r\n");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace);
    fs::create_symlink(target, dir / "progs.lst");

    ASSERT_TRUE(kestrun::replaceFile(dir / "progs.lst", "new\r\n"));
    EXPECT_TRUE(fs::is_symlink(dir / "progs.lst"));
    EXPECT_EQ(readFile(target), "new\r\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    fs::permissions(target, fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_FALSE(kestrun::replaceFile(target, "lost"));
    EXPECT_EQ(readFile(target), "new\r\n");
    EXPECT_FALSE(kestrun::replaceFile(dir / "missing-folder/x.lst", "x"));
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 1);
}

// A link another user planted in the list's place: the save replaces the link, never the file
// it names.
TEST(ListFile, ReplaceNeverFollowsAnotherUsersLink) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a link of another user's needs root to make";
    TempDir dir;
    const auto precious = dir / "home/.profile";
    writeFile(precious, "mine\n");
    fs::create_symlink(precious, dir / "progs.lst");
    ASSERT_EQ(::lchown((dir / "progs.lst").c_str(), 65534, 65534), 0);
    ASSERT_TRUE(kestrun::replaceFile(dir / "progs.lst", "new\r\n"));
    EXPECT_EQ(readFile(precious), "mine\n");
    EXPECT_FALSE(fs::is_symlink(dir / "progs.lst"));
    EXPECT_EQ(readFile(dir / "progs.lst"), "new\r\n");
}

// Only LF or CR LF ends a line; every other CR belongs to the line (a file name may hold one).
TEST(ListFile, LinesEndAtLfOrCrLfOnly) {
    using Lines = std::vector<std::string>;
    const struct {
        const char* text;
        Lines lines;
    } cases[] = {
        {"one\r\ntwo\n\nlast", {"one", "two", "", "last"}},
        {"/home/ann/Old\rProjects\t0\t0\r\n", {"/home/ann/Old\rProjects\t0\t0"}},
        {"two\r\r\nthree\r\r\r\n", {"two\r", "three\r\r"}},
        {"only\rcr\r", {"only\rcr\r"}},
        {"a\r\n\r", {"a", "\r"}},
        {"\r\n", {""}},
        {"", {}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir / "a.lst", c.text);
        EXPECT_EQ(kestrun::readListLines(dir / "a.lst"), c.lines) << c.text;
    }
    EXPECT_FALSE(kestrun::readListLines(dir / "none.lst"));
}

// Only regular files of a bounded size are read: a FIFO (whose open would wait for a writer) or
// a huge file is a list that cannot be opened. The reads run in a child with an alarm, so a
// reader that waits fails the test within seconds.
TEST(ListFile, ReadsOnlyRegularFilesOfABoundedSize) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo.lst").c_str(), 0600), 0);
    fs::create_symlink(dir / "fifo.lst", dir / "link.lst");
    writeFile(dir / "huge.lst", "");
    fs::resize_file(dir / "huge.lst", kestrun::kMaxTextFileBytes + 1); // sparse: no disk used
    writeFile(dir / "fits.lst", "a\r\n");
    fs::resize_file(dir / "fits.lst", kestrun::kMaxTextFileBytes);
    for (const char* name : {"fifo.lst", "link.lst", "huge.lst", "fits.lst"}) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(30); // a FIFO that is opened blocks until then
            const auto lines = kestrun::readListLines(dir / name);
            _exit(!lines ? 0 : lines->at(0) == "a" ? 1 : 2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << name << " was still being read";
        EXPECT_EQ(WEXITSTATUS(status), std::string(name) == "fits.lst" ? 1 : 0) << name;
    }
}

// A user who may write a list file but not its machine-wide folder still saves it, in place;
// where the folder is writable the file is replaced whole.
TEST(ListFile, ReplaceInAFolderTheUserMayNotWriteOverwritesInPlace) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    struct Case {
        const char* name;
        fs::perms folder;
        fs::perms file;
        bool saved;
        bool sameFile;
    };
    const auto rw = fs::perms::owner_read | fs::perms::owner_write;
    const auto shared = rw | fs::perms::group_read | fs::perms::group_write |
                        fs::perms::others_read | fs::perms::others_write;
    const auto openFolder = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec;
    const Case cases[] = {
        {"writable folder", fs::perms::all, shared, true, false},
        {"machine folder, writable file", openFolder, shared, true, true},
        {"machine folder, foreign file", openFolder, rw | fs::perms::others_read, false, true},
    };
    TempDir dir;
    fs::permissions(dir.path(), openFolder, fs::perm_options::replace);
    for (const Case& c : cases) {
        const fs::path folder = dir / c.name;
        const fs::path file = folder / "backup.lst";
        writeFile(file, "a much longer old content\r\n");
        fs::permissions(file, c.file, fs::perm_options::replace);
        fs::permissions(folder, c.folder, fs::perm_options::replace);
        const ino_t inode = fileInode(file);
        // The save runs in a child process as an unprivileged user.
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            _exit(kestrun::replaceFile(file, "new\r\n") ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << c.name;
        ASSERT_NE(WEXITSTATUS(status), 2) << c.name;
        EXPECT_EQ(WEXITSTATUS(status) == 0, c.saved) << c.name;
        EXPECT_EQ(readFile(file), c.saved ? "new\r\n" : "a much longer old content\r\n") << c.name;
        EXPECT_EQ(fileInode(file) == inode, c.sameFile) << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
            << c.name;
    }
}

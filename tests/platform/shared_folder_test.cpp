// The modes of the files the programs make in their working folder: private in a folder of the
// user's own, the group's in a folder its group shares, whatever the umask.
#include "kbm/queue_file.h"
#include "kestrun/update/download_file.h"
#include "kestrun/update/drop_folder.h"
#include "platform/list_file.h"
#include "platform/log_file.h"
#include "platform/shared_folder.h"
#include "release/companion_copy.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

struct Status {
    unsigned mode = 0;
    gid_t group = 0;
};

Status statusOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
    return {static_cast<unsigned>(st.st_mode & 07777), st.st_gid};
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t old_;
};

// A group the running user may give files that is not the group its new files get: root may
// give any group; anyone else needs a second group of their own.
std::optional<gid_t> otherGroup() {
    if (::geteuid() == 0)
        return gid_t(65534) == ::getegid() ? gid_t(100) : gid_t(65534);
    gid_t groups[64];
    const int n = ::getgroups(64, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] != ::getegid())
            return groups[i];
    return std::nullopt;
}

const LocalDateTime kWhen = LocalDateTime::fromFields(2026, 3, 14, 9, 0, 0);

TEST(WorkingFolderModes, EveryWriterSharesWithTheFoldersGroupAndNoOtherFolder) {
    // One file each writer makes or replaces in the working folder; returns what it made.
    struct Writer {
        const char* what;
        std::function<fs::path(const fs::path& folder)> make;
        unsigned privateMode; // under the umask 077 below
        unsigned sharedMode;
    };
    const auto program = [](const fs::path& folder) {
        writeFile(folder / "kbm~", "#!/bin/sh\n");
        return folder / "kbm~";
    };
    const Writer writers[] = {
        {"new log",
         [](const fs::path& f) {
             appendLogLine(f / "Kestrun.log", kWhen, "Program started");
             return f / "Kestrun.log";
         },
         0600, 0660},
        {"an own private log of before",
         [](const fs::path& f) {
             // Made 0600 in the folder's group, as an earlier version made its logs.
             writeFile(f / "KbmBackup.log", "");
             EXPECT_EQ(
                 ::chown((f / "KbmBackup.log").c_str(), static_cast<uid_t>(-1), statusOf(f).group),
                 0);
             fs::permissions(f / "KbmBackup.log", fs::perms(0600));
             appendLogLine(f / "KbmBackup.log", kWhen, "Backup started.");
             return f / "KbmBackup.log";
         },
         0600, 0660},
        {"new list",
         [](const fs::path& f) {
             EXPECT_TRUE(replaceFile(f / "progs.lst", "1\r\n"));
             return f / "progs.lst";
         },
         0600, 0664},
        {"list replacing a private one",
         [](const fs::path& f) {
             writeFile(f / "backup.lst", "old\r\n");
             fs::permissions(f / "backup.lst", fs::perms(0600));
             EXPECT_TRUE(replaceFile(f / "backup.lst", "new\r\n"));
             EXPECT_EQ(readFile(f / "backup.lst"), "new\r\n");
             return f / "backup.lst";
         },
         0600, 0660},
        {"list replacing a shared one",
         [](const fs::path& f) {
             writeFile(f / "xbackup.lst", "old\r\n");
             fs::permissions(f / "xbackup.lst", fs::perms(0640));
             EXPECT_TRUE(replaceFile(f / "xbackup.lst", "new\r\n"));
             return f / "xbackup.lst";
         },
         0640, 0660},
        {"queue file",
         [](const fs::path& f) {
             EXPECT_TRUE(createQueueFile(f / "tobkp"));
             return f / "tobkp";
         },
         0600, 0660},
        {"download",
         [](const fs::path& f) {
             DownloadFile download(f / "kestrun~");
             download.write("\x7f"
                            "ELF");
             EXPECT_TRUE(download.commit());
             return f / "kestrun~";
         },
         0755, 0775},
        {"companion put in place",
         [&](const fs::path& f) {
             EXPECT_TRUE(copyProgramInPlace(program(f), f / "kbm"));
             return f / "kbm";
         },
         0755, 0775},
        {"drop folder",
         [](const fs::path& f) {
             EXPECT_TRUE(DropFolder(f / "Drop").create());
             return f / "Drop";
         },
         0700, 02770},
    };

    struct Folder {
        const char* what;
        unsigned mode;
        bool otherGroup; // the folder's group is not the one new files get
        bool shared;
    };
    const std::optional<gid_t> other = otherGroup();
    std::vector<Folder> folders = {
        {"the user's own", 0700, false, false},
        {"open to all users", 01777, false, false},
        {"its group's, setgid", 02770, false, true},
        {"its group's, readable by all", 02775, false, true},
    };
    if (other) {
        folders.push_back({"another group's, setgid", 02770, true, true});
        folders.push_back({"another group's, no setgid", 0770, true, true});
        folders.push_back({"writable by another group and all", 0777, true, false});
    }

    const ScopedUmask umask(077);
    for (const Folder& folder : folders) {
        for (const Writer& writer : writers) {
            SCOPED_TRACE(std::string(folder.what) + ": " + writer.what);
            TempDir dir;
            const fs::path work = dir / "work";
            fs::create_directory(work);
            if (folder.otherGroup) {
                ASSERT_EQ(::chown(work.c_str(), static_cast<uid_t>(-1), *other), 0);
            }
            ASSERT_EQ(::chmod(work.c_str(), folder.mode), 0);
            EXPECT_EQ(isGroupShared(work), folder.shared);
            const fs::path made = writer.make(work);
            const Status status = statusOf(made);
            EXPECT_EQ(status.mode, folder.shared ? writer.sharedMode : writer.privateMode)
                << std::oct << status.mode;
            if (folder.shared) {
                EXPECT_EQ(status.group, statusOf(work).group) << "not the folder's group";
            }
        }
    }
}

// A file of another group in a shared folder is not given the folder's group by the log: that
// would take it from the group it has.
TEST(WorkingFolderModes, AnotherGroupsLogKeepsItsGroupAndMode) {
    const auto other = otherGroup();
    if (!other)
        GTEST_SKIP() << "the user has no second group";
    TempDir dir;
    const fs::path work = dir / "work";
    fs::create_directory(work);
    ASSERT_EQ(::chmod(work.c_str(), 02770), 0);
    const fs::path log = work / "Kestrun.log";
    writeFile(log, "");
    ASSERT_EQ(::chown(log.c_str(), static_cast<uid_t>(-1), *other), 0);
    ASSERT_EQ(::chmod(log.c_str(), 0600), 0);
    appendLogLine(log, kWhen, "Program started");
    EXPECT_EQ(statusOf(log).mode, 0600u);
    EXPECT_EQ(statusOf(log).group, *other);
    EXPECT_EQ(readFile(log), "14.03.2026 09:00:00\tProgram started\r\n");
}

// Judged by nobody (in its own group only): a folder of another user's is one others may
// change whatever its mode, since that user may open it at any time.
TEST(WorkingFolderModes, AFolderOfAnotherUsersIsOneOthersMayChange) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can make folders of other users'";
    constexpr uid_t kNobody = 65534;
    struct Case {
        uid_t owner;
        gid_t group;
        unsigned mode;
        bool othersMayChange;
    };
    const Case cases[] = {{kNobody, kNobody, 0755, false},
                          {0, kNobody, 0775, false},
                          {65533, 65533, 0755, true},
                          {65533, kNobody, 0775, true},
                          {0, 100, 0775, true}};
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    for (const Case& k : cases) {
        const fs::path folder = dir / ("work" + std::to_string(k.owner) + std::to_string(k.group));
        fs::create_directory(folder);
        ASSERT_EQ(::chown(folder.c_str(), k.owner, k.group) | ::chmod(folder.c_str(), k.mode), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const gid_t groups[] = {kNobody};
            const bool asNobody =
                ::setgroups(1, groups) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
            ::_exit(asNobody ? othersMayChange(folder) : 2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(status, k.othersMayChange ? 256 : 0) << folder;
    }
}

// Judged by nobody, whose own group lets it write what nobody owns: an entry of an access list
// that lets another user or a group it is not in write a folder or a file makes it one others
// may change, whatever the mode shows; read access, or write the list's mask takes away, does
// not. A link is judged by the file it leads to and that file's folder.
TEST(WorkingFolderModes, AccessListsDecideWhoElseMayChangeAFile) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can make files of other users'";
    constexpr uid_t kNobody = 65534;
    struct Case {
        const char* name;
        bool folder;
        bool group; // the entry names a group, not a user
        unsigned id;
        unsigned access;    // 0: no entry
        unsigned modeAfter; // 0: the mode as made; else a chmod, which sets the list's mask
        bool othersMayChange;
    };
    const Case cases[] = {
        {"folder, no list", true, false, 0, 0, 0, false},
        {"folder, another user may write", true, false, 65533, 7, 0, true},
        {"folder, another user may read", true, false, 65533, 5, 0, false},
        {"folder, another group may write", true, true, 4321, 7, 0, true},
        {"file, no list", false, false, 0, 0, 0, false},
        {"file, another user may write", false, false, 65533, 6, 0, true},
        {"file, its owner's own entry", false, false, kNobody, 6, 0, false},
        {"file, write masked away", false, false, 65533, 6, 0644, false},
        {"file, another group may write", false, true, 4321, 2, 0, true},
    };
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const fs::path folder = dir / ("work" + std::to_string(&k - cases));
        const fs::path file = folder / "progs.lst";
        fs::create_directory(folder);
        writeFile(file, "");
        const fs::path judged = k.folder ? folder : file;
        ASSERT_EQ(::chmod(folder.c_str(), 0775) | ::chmod(file.c_str(), 0664), 0);
        ASSERT_EQ(
            ::chown(folder.c_str(), kNobody, kNobody) | ::chown(file.c_str(), kNobody, kNobody), 0);
        if (k.access) {
            ASSERT_TRUE(grantAccess(judged, k.group, k.id, k.access));
        }
        if (k.modeAfter) {
            ASSERT_EQ(::chmod(judged.c_str(), k.modeAfter), 0);
        }
        // Through a link of nobody's beside it, the file counts the same.
        const fs::path link = dir / (folder.filename().string() + ".lnk");
        fs::create_symlink(file, link);
        ASSERT_EQ(::lchown(link.c_str(), kNobody, kNobody), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const gid_t groups[] = {kNobody};
            if (::setgroups(1, groups) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(9);
            const bool mayChange = k.folder ? othersMayChange(judged) : othersMayChangeFile(judged);
            ::_exit((mayChange ? 1 : 0) | (othersMayChangeTarget(link) ? 2 : 0));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), k.othersMayChange ? 3 : 0);
    }
}

} // namespace
} // namespace kestrun::test

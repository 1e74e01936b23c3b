#include "platform/data_folder.h"
#include "platform/single_instance.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kestrun::SingleInstanceLock;
using kestrun::test::ScopedEnv;
using kestrun::test::TempDir;

TEST(SingleInstanceLock, SecondHolderIsRefusedUntilTheFirstEnds) {
    TempDir dir;
    ScopedEnv env("XDG_RUNTIME_DIR", dir.path().string());
    {
        SingleInstanceLock first("KESTRUN_1.0");
        ASSERT_TRUE(first.acquired());
        EXPECT_EQ(first.file(), dir.path() / "KESTRUN_1.0.lock");
        // Another process is refused while the first holds the lock.
        const pid_t child = fork();
        if (child == 0)
            _exit(SingleInstanceLock("KESTRUN_1.0").acquired() ? 1 : 0);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    SingleInstanceLock again("KESTRUN_1.0");
    EXPECT_TRUE(again.acquired());
}

// Only folders of the user's own that no one else may write can hold the lock.
TEST(SingleInstanceLock, LockFoldersArePrivateFoldersOfTheUser) {
    TempDir dir;
    const auto makeFolder = [&](const std::string& name, fs::perms perms, uid_t owner) {
        fs::create_directories(dir / name);
        fs::permissions(dir / name, perms, fs::perm_options::replace);
        EXPECT_EQ(chown((dir / name).c_str(), owner, getgid()), 0);
        return dir / name;
    };
    const auto own = makeFolder("own", fs::perms::owner_all, getuid());
    const auto readable =
        makeFolder("readable",
                   fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                       fs::perms::others_read | fs::perms::others_exec,
                   getuid());
    const auto shared = makeFolder("shared", fs::perms::all | fs::perms::sticky_bit, getuid());
    const auto groupWritable =
        makeFolder("group", fs::perms::owner_all | fs::perms::group_all, getuid());
    const auto foreign = makeFolder("foreign", fs::perms::owner_all, 65534);
    const auto missing = dir / "missing";
    const auto cache = dir / "home/.cache/kestrun";

    struct Case {
        std::optional<std::string> runtime;
        fs::path userRuntime;
        std::vector<fs::path> expected;
    };
    const Case cases[] = {
        {own.string(), readable, {own, readable, cache}},
        {std::nullopt, own, {own, cache}},
        {"relative/run", missing, {cache}},
        {shared.string(), shared, {cache}},
        {groupWritable.string(), foreign, {cache}},
        {foreign.string(), missing, {cache}},
        {missing.string(), own, {own, cache}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SingleInstanceLock::lockFolders(c.runtime, c.userRuntime, cache), c.expected)
            << c.runtime.value_or("(unset)") << " " << c.userRuntime;
}

TEST(SingleInstanceLock, WithoutTheRuntimeVariableTheLockIsFoundFromTheUserAlone) {
    TempDir dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnv home("HOME", (dir / "home").string());
    const auto folders = SingleInstanceLock::lockFolders();
    ASSERT_FALSE(folders.empty());
    // The environment's HOME does not move the lock, and no shared folder holds it.
    EXPECT_EQ(folders.back(), kestrun::passwordDatabaseHome() / ".cache/kestrun");
    for (const fs::path& folder : folders) {
        EXPECT_NE(folder.string().rfind("/tmp", 0), 0u) << folder;
        EXPECT_NE(folder.string().rfind(dir.path().string(), 0), 0u) << folder;
    }
}

TEST(SingleInstanceLock, InstancesMeetInTheFirstUsableFolderAndMakeTheCacheFolderPrivate) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all, fs::perm_options::replace);
    // A lock file that cannot be used (here a folder) passes the lock on to the next folder.
    fs::create_directories(dir / "run/KESTRUN_1.0.lock");
    const std::vector<fs::path> folders{dir / "run", dir / "home/.cache/kestrun"};
    SingleInstanceLock first("KESTRUN_1.0", folders);
    EXPECT_TRUE(first.acquired());
    EXPECT_EQ(first.file(), dir / "home/.cache/kestrun/KESTRUN_1.0.lock");
    EXPECT_EQ(fs::status(dir / "home/.cache/kestrun").permissions() & fs::perms::all,
              fs::perms::owner_all);
    SingleInstanceLock second("KESTRUN_1.0", folders);
    EXPECT_FALSE(second.acquired());

    // A folder others may write is passed over; with no private folder at all the program
    // runs unguarded.
    fs::create_directories(dir / "open");
    fs::permissions(dir / "open", fs::perms::all, fs::perm_options::replace);
    SingleInstanceLock unguarded("KESTRUN_1.0", {dir / "open"});
    EXPECT_TRUE(unguarded.acquired());
    EXPECT_TRUE(unguarded.file().empty());
    EXPECT_FALSE(fs::exists(dir / "open/KESTRUN_1.0.lock"));
}

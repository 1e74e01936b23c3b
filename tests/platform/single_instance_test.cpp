#include "platform/single_instance.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using kestrun::SingleInstanceLock;

TEST(SingleInstanceLock, SecondHolderIsRefusedUntilTheFirstEnds) {
    kestrun::test::TempDir dir;
    kestrun::test::ScopedEnv env("XDG_RUNTIME_DIR", dir.path().string());
    EXPECT_EQ(SingleInstanceLock::lockFile("KESTRUN_1.0"), dir.path() / "KESTRUN_1.0.lock");
    {
        SingleInstanceLock first("KESTRUN_1.0");
        ASSERT_TRUE(first.acquired());
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

TEST(SingleInstanceLock, MissingRuntimeFolderFallsBackToTmp) {
    kestrun::test::TempDir dir;
    kestrun::test::ScopedEnv env("XDG_RUNTIME_DIR", (dir.path() / "missing").string());
    SingleInstanceLock first("KESTRUN_TEST_FALLBACK");
    EXPECT_TRUE(first.acquired());
    EXPECT_TRUE(
        std::filesystem::exists(SingleInstanceLock::fallbackLockFile("KESTRUN_TEST_FALLBACK")));
    SingleInstanceLock second("KESTRUN_TEST_FALLBACK");
    EXPECT_FALSE(second.acquired());
}

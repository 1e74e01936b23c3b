#include "platform/connection_close.h"
#include "platform/data_folder.h"
#include "platform/file_lock.h"
#include "platform/interrupt_notifier.h"
#include "platform/process_priority.h"
#include "platform/regular_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <csignal>
#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

TEST(DataFolderTest, AppDataThenXdgDataHomeThenHome) {
    ScopedEnv appData("APPDATA", "/a/appdata");
    ScopedEnv xdg("XDG_DATA_HOME", "/x/data");
    ScopedEnv home("HOME", "/home/ann");
    EXPECT_EQ(userDataFolder(), fs::path("/a/appdata"));
    {
        ScopedEnv empty("APPDATA", "");
        EXPECT_EQ(userDataFolder(), fs::path("/x/data"));
        ScopedEnv noXdg("XDG_DATA_HOME", std::nullopt);
        EXPECT_EQ(userDataFolder(), fs::path("/home/ann/.local/share"));
    }
}

TEST(FileLockTest, OneHolderAtATimeAndReleasedWithTheObject) {
    TempDir dir;
    const fs::path file = dir / "run.lock";
    {
        FileLock first(file);
        EXPECT_EQ(first.state(), FileLock::State::Acquired);
        FileLock second(file);
        EXPECT_EQ(second.state(), FileLock::State::Busy);
        EXPECT_FALSE(second.acquired());
    }
    FileLock again(file);
    EXPECT_TRUE(again.acquired());
    EXPECT_EQ(FileLock(dir / "missing" / "run.lock").state(), FileLock::State::Unavailable);
}

// In a child that has become another user: the state of its lock on the file.
int lockStateAsOtherUser(const fs::path& file, FileLock::Sharing sharing) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(99);
        _exit(static_cast<int>(FileLock(file, sharing).state()));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FileLockTest, ASharedLockServesEveryUserOfTheFolderButNeverALink) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all, fs::perm_options::replace);
    const fs::path file = dir / "tobkp.lock";
    const mode_t oldMask = umask(077);
    {
        FileLock held(file, FileLock::Sharing::AnyUser);
        umask(oldMask);
        ASSERT_TRUE(held.acquired());
        // Every user may open it, whatever the creator's umask.
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_read, fs::perms::others_read);
        EXPECT_EQ(FileLock(file, FileLock::Sharing::AnyUser).state(), FileLock::State::Busy);
        if (getuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
        // Another user's program sees the lock held...
        EXPECT_EQ(lockStateAsOtherUser(file, FileLock::Sharing::AnyUser),
                  static_cast<int>(FileLock::State::Busy));
    }
    // ... and takes it once it is free, while a private lock never uses another's file.
    EXPECT_EQ(lockStateAsOtherUser(file, FileLock::Sharing::AnyUser),
              static_cast<int>(FileLock::State::Acquired));
    EXPECT_EQ(lockStateAsOtherUser(file, FileLock::Sharing::OwnerOnly),
              static_cast<int>(FileLock::State::Unavailable));
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    EXPECT_EQ(FileLock(file, FileLock::Sharing::AnyUser).state(), FileLock::State::Acquired);
    EXPECT_EQ(FileLock(file).state(), FileLock::State::Unavailable);

    // A link or a FIFO in its place is never used (and never blocks).
    const fs::path link = dir / "link.lock";
    fs::create_symlink(file, link);
    const fs::path fifo = dir / "fifo.lock";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    for (const auto sharing : {FileLock::Sharing::AnyUser, FileLock::Sharing::OwnerOnly}) {
        EXPECT_EQ(FileLock(link, sharing).state(), FileLock::State::Unavailable);
        EXPECT_EQ(FileLock(fifo, sharing).state(), FileLock::State::Unavailable);
    }
}

TEST(FileLockTest, StartedProgramsDoNotInheritTheLock) {
    TempDir dir;
    const fs::path file = dir / "run.lock";
    FileLock held(file);
    ASSERT_TRUE(held.acquired());
    // A program started meanwhile sees no open descriptor of the lock file.
    const std::string command = "ls -l /proc/self/fd | grep -q '" + file.string() + "'";
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1); // grep found nothing
}

TEST(ProcessPriorityTest, IdlePriorityLowersCpuAndIoClass) {
    // In a child, so the test process keeps its priority.
    const pid_t child = fork();
    if (child == 0) {
        const bool ok = setIdleProcessPriority();
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, 0);
        const long io = syscall(SYS_ioprio_get, 1, 0);
        _exit(ok && nice == 19 && (io >> 13) == 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// An interrupt that arrived is handed over once: on request before the event loop gets to it,
// or by the loop; meanwhile the process is not ended by it.
TEST(InterruptNotifierTest, AnInterruptThatArrivedIsDeliveredOnceOnRequestOrByTheLoop) {
    static int argc = 1;
    static char name[] = "kbm-platform-test";
    static char* argv[] = {name, nullptr};
    const QCoreApplication app(argc, argv);
    int calls = 0;
    {
        InterruptNotifier notifier([&] { ++calls; });
        EXPECT_FALSE(notifier.deliverPending());
        ASSERT_EQ(::raise(SIGINT), 0);
        ASSERT_EQ(::raise(SIGINT), 0);
        EXPECT_EQ(calls, 0);
        EXPECT_TRUE(notifier.deliverPending());
        EXPECT_EQ(calls, 1);
        QCoreApplication::processEvents();
        EXPECT_FALSE(notifier.deliverPending());
        EXPECT_EQ(calls, 1);

        ASSERT_EQ(::raise(SIGINT), 0);
        EXPECT_TRUE(waitUntil([&] {
            QCoreApplication::processEvents();
            return calls == 2;
        }));
    }
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

// An upload ends while the peer sends what is never asked for (a TLS 1.3 server's session
// tickets), and most of it still waits in our system's buffer: the peer gets every byte.
TEST(ConnectionCloseTest, ThePeerGetsEveryByteThoughItSentWhatWasNotRead) {
    const FileDescriptor listener(::socket(AF_INET, SOCK_STREAM, 0));
    const int small = 16 * 1024;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    FileDescriptor client(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const FileDescriptor server(::accept(listener.get(), nullptr, nullptr));
    const std::string data(4 << 20, 'd');
    const long queued = ::send(client.get(), data.data(), data.size(), MSG_DONTWAIT);
    ASSERT_GT(queued, 1 << 20);
    ASSERT_EQ(::send(server.get(), "ticket", 6, 0), 6);
    pollfd arrived{client.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 5000), 1);
    std::thread closing([fd = client.release()] { EXPECT_TRUE(closeConnection(fd, 5000)); });
    long received = 0;
    char buffer[65536];
    for (long got; (got = ::recv(server.get(), buffer, sizeof buffer, 0)) > 0;)
        received += got;
    ::shutdown(server.get(), SHUT_RDWR);
    closing.join();
    EXPECT_EQ(received, queued);
}

} // namespace
} // namespace kestrun::test

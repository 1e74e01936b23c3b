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
#include <optional>
#include <poll.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
int lockStateAsOtherUser(const fs::path& file, FileLock::Sharing sharing, uid_t user = 65534) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(user) != 0 || setuid(user) != 0)
            _exit(99);
        _exit(static_cast<int>(FileLock(file, sharing).state()));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A lock of the folder's writers is theirs alone: made 0600, or 0660 for the group of a folder
// it shares, whatever the umask; another user can neither open nor hold it. A link or a FIFO
// in its place is never used (and never blocks).
TEST(FileLockTest, AWritersLockIsOpenToTheFoldersUsersOnly) {
    const mode_t oldMask = umask(0);
    for (const unsigned folderMode : {0777u, 02775u}) {
        TempDir dir;
        fs::permissions(dir.path(), fs::perms::all, fs::perm_options::replace);
        const fs::path work = dir / "work";
        fs::create_directory(work);
        ASSERT_EQ(chmod(work.c_str(), folderMode), 0);
        const fs::path file = work / "tobkp.lock";
        {
            FileLock held(file, FileLock::Sharing::Writers);
            ASSERT_TRUE(held.acquired());
            EXPECT_EQ(fs::status(file).permissions(), fs::perms(folderMode == 0777u ? 0600 : 0660));
            EXPECT_EQ(FileLock(file, FileLock::Sharing::Writers).state(), FileLock::State::Busy);
        }
        if (getuid() == 0) {
            EXPECT_EQ(lockStateAsOtherUser(file, FileLock::Sharing::Writers),
                      static_cast<int>(FileLock::State::Unavailable));
        }
        const fs::path link = work / "link.lock";
        fs::create_symlink(file, link);
        const fs::path fifo = work / "fifo.lock";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
        for (const auto sharing : {FileLock::Sharing::Writers, FileLock::Sharing::OwnerOnly}) {
            EXPECT_EQ(FileLock(link, sharing).state(), FileLock::State::Unavailable);
            EXPECT_EQ(FileLock(fifo, sharing).state(), FileLock::State::Unavailable);
        }
    }
    umask(oldMask);
}

// Another user holds a lock they could open (read-only is enough for flock): where the folder
// lets us, a fresh lock of ours takes its place and they are out; where it does not (their
// file in a sticky folder, met by a third user), the lock is unavailable and the caller's
// private one stands in.
TEST(FileLockTest, ALockOthersCouldOpenIsReplacedWhereTheFolderAllows) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    constexpr uid_t kOther = 65534;
    struct Case {
        const char* name;
        unsigned folderMode;
        uid_t owner;
        unsigned mode;
        bool aclRead; // an access list entry lets the other user read it
        FileLock::State state;
        uid_t as = 0; // who takes the lock
    };
    const Case cases[] = {
        {"mine, readable by all", 0755, 0, 0644, false, FileLock::State::Acquired},
        {"mine, writable by all", 0755, 0, 0666, false, FileLock::State::Acquired},
        {"mine, readable through an access list", 0755, 0, 0600, true, FileLock::State::Acquired},
        {"theirs in a sticky folder", 01777, kOther, 0644, false, FileLock::State::Unavailable,
         65533},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        fs::permissions(dir.path(), fs::perms(c.folderMode), fs::perm_options::replace);
        const fs::path file = dir / "tobkp.lock";
        writeFile(file, "");
        ASSERT_EQ(chown(file.c_str(), c.owner, c.owner) | chmod(file.c_str(), c.mode), 0);
        if (c.aclRead) {
            ASSERT_TRUE(grantAccess(file, false, kOther, 4));
        }
        struct stat before {};
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        // The other user takes it first, and holds it while we try.
        int ready[2], release[2];
        ASSERT_EQ(pipe(ready) | pipe(release), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            close(release[1]);
            const int fd =
                setgid(kOther) == 0 && setuid(kOther) == 0 ? open(file.c_str(), O_RDONLY) : -1;
            const char held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
            char byte;
            _exit(write(ready[1], &held, 1) == 1 && read(release[0], &byte, 1) >= 0 ? 0 : 1);
        }
        char held = '?';
        ASSERT_EQ(read(ready[0], &held, 1), 1);
        EXPECT_EQ(held, '1');
        {
            std::optional<FileLock> lock;
            if (c.as == 0)
                lock.emplace(file, FileLock::Sharing::Writers);
            EXPECT_EQ(lock ? static_cast<int>(lock->state())
                           : lockStateAsOtherUser(file, FileLock::Sharing::Writers, c.as),
                      static_cast<int>(c.state));
            struct stat after {};
            ASSERT_EQ(stat(file.c_str(), &after), 0);
            EXPECT_EQ(after.st_ino != before.st_ino, c.state == FileLock::State::Acquired);
            if (c.state == FileLock::State::Acquired) {
                EXPECT_EQ(after.st_mode & 07777, 0600u);
                EXPECT_LT(getxattr(file.c_str(), "system.posix_acl_access", nullptr, 0), 0);
                EXPECT_EQ(lockStateAsOtherUser(file, FileLock::Sharing::Writers),
                          static_cast<int>(FileLock::State::Unavailable));
            }
        }
        close(release[1]);
        int status = 0;
        waitpid(holder, &status, 0);
        close(ready[0]), close(ready[1]), close(release[0]);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
            << "a temporary file is left";
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

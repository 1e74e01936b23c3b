#include "platform/log_file.h"
#include "platform/regular_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using kestrun::LocalDateTime;
using kestrun::test::readFile;
using kestrun::test::TempDir;

namespace {
const LocalDateTime kWhen = LocalDateTime::fromFields(2021, 3, 5, 14, 7, 9);
}

TEST(LogWriter, CreatesThenAppendsLinesWithStampTabAndCrLf) {
    TempDir dir;
    const auto log = dir / "Kestrun.log";
    kestrun::appendLogLine(log, kWhen, "Program started");
    EXPECT_EQ(readFile(log), "05.03.2021 14:07:09\tProgram started\r\n");
    kestrun::appendLogLine(log, kWhen, "");
    kestrun::appendLogLine(log, kWhen, "Backup started: ");
    kestrun::appendLogLine(log, LocalDateTime(), "x");
    // A message is one line whatever it holds: a file name with a line feed, a peer's NUL or
    // terminal escape; tabs and bytes above 0x7F stay.
    using namespace std::string_literals;
    kestrun::appendLogLine(log, kWhen, "a\0b\r\nc\x1b[2J\x7f\tt\xc3\xa9"s);
    EXPECT_EQ(readFile(log), "05.03.2021 14:07:09\tProgram started\r\n"
                             "05.03.2021 14:07:09\t\r\n"
                             "05.03.2021 14:07:09\tBackup started: \r\n"
                             "Invalid DateTime\tx\r\n"
                             "05.03.2021 14:07:09\ta\\0b\\r\\nc\\x1B[2J\\x7F\tt\xc3\xa9\r\n");
}

TEST(LogWriter, NewLogIsPrivateAndAnExistingLogKeepsItsMode) {
    TempDir dir;
    const auto fresh = dir / "KbmBackup.log";
    kestrun::appendLogLine(fresh, kWhen, "Backup started.");
    EXPECT_EQ(std::filesystem::status(fresh).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto shared = dir / "Kestrun.log";
    kestrun::test::writeFile(shared, "");
    std::filesystem::permissions(shared, std::filesystem::perms(0664));
    kestrun::appendLogLine(shared, kWhen, "Program started");
    EXPECT_EQ(std::filesystem::status(shared).permissions(), std::filesystem::perms(0664));
    EXPECT_EQ(readFile(shared), "05.03.2021 14:07:09\tProgram started\r\n");
}

// A FIFO, or a link to one, in the log's place drops the line at once instead of blocking the
// program until someone reads the other end.
TEST(LogWriter, SpecialFileInTheLogsPlaceDropsTheLineWithoutWaiting) {
    TempDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(fifo, dir / "Kestrun.log");
    for (const auto& log : {fifo, dir / "Kestrun.log"}) {
        auto append =
            std::async(std::launch::async, [&] { kestrun::appendLogLine(log, kWhen, "lost"); });
        if (append.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Release the blocked writer before failing, so the test ends.
            const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            append.wait();
            ::close(reader);
            FAIL() << log << " blocked the append";
        }
        EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    }
}

TEST(LogWriter, ReadOnlyFileOrMissingFolderDropsTheLine) {
    TempDir dir;
    const auto log = dir / "Kestrun.log";
    kestrun::test::writeFile(log, "old\r\n");
    std::filesystem::permissions(log, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::group_read);
    kestrun::appendLogLine(log, kWhen, "lost");
    EXPECT_EQ(readFile(log), "old\r\n");
    kestrun::appendLogLine(dir / "missing" / "Kestrun.log", kWhen, "lost");
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

// In a shared working folder another user may plant a link in a log's place: the line then
// goes nowhere. A link of the user's own is followed to an existing log, but a dangling one
// never makes its target.
TEST(LogWriter, OnlyTheUsersOwnLinkLeadsTheLinesElsewhere) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a link of another user's needs root to make";
    TempDir dir;
    const auto target = dir / "target.log";
    kestrun::test::writeFile(target, "");
    const auto own = dir / "Own.log";
    const auto theirs = dir / "Theirs.log";
    const auto dangling = dir / "Dangling.log";
    std::filesystem::create_symlink(target, own);
    std::filesystem::create_symlink(target, theirs);
    std::filesystem::create_symlink(dir / "made.log", dangling);
    ASSERT_EQ(::lchown(theirs.c_str(), 65534, 65534), 0);
    kestrun::appendLogLine(theirs, kWhen, "planted");
    kestrun::appendLogLine(dangling, kWhen, "dangling");
    kestrun::appendLogLine(own, kWhen, "own");
    EXPECT_EQ(readFile(target), "05.03.2021 14:07:09\town\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "made.log"));
    EXPECT_TRUE(std::filesystem::is_symlink(theirs));
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
}

TEST(LogWriter, ConcurrentWritersLoseAndMixNoLine) {
    TempDir dir;
    const auto log = dir / "Kestrun.log";
    constexpr int kLines = 2000;
    auto writer = [&](char tag) {
        for (int i = 0; i < kLines; ++i)
            kestrun::appendLogLine(log, kWhen, std::string(100, tag) + std::to_string(i));
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    const auto lines = kestrun::test::readLines(log);
    ASSERT_EQ(lines.size(), 2u * kLines);
    int countA = 0, countB = 0;
    for (const auto& line : lines) {
        const std::string prefix = "05.03.2021 14:07:09\t";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        const char tag = line[prefix.size()];
        ASSERT_EQ(line.substr(prefix.size(), 100), std::string(100, tag)) << line;
        (tag == 'a' ? countA : countB)++;
    }
    EXPECT_EQ(countA, kLines);
    EXPECT_EQ(countB, kLines);
}

// Readers of lists, queues and settings take only regular files: a FIFO or a device (a list
// linked to /dev/zero) reads as a file that cannot be opened, at once.
TEST(RegularFile, ReadsRegularFilesOnlyAndNeverWaitsOnAFifo) {
    TempDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir / "zero.lst");
    std::filesystem::create_symlink(fifo, dir / "fifo.lst");
    kestrun::test::writeFile(dir / "real", std::string("a\0b\r\n", 5));
    std::filesystem::create_symlink(dir / "real", dir / "real.lst");
    EXPECT_EQ(kestrun::readRegularFile(dir / "real.lst"), std::string("a\0b\r\n", 5));
    for (const auto& special : {fifo, dir / "fifo.lst", dir / "zero.lst", dir / "missing"})
        EXPECT_EQ(kestrun::readRegularFile(special), std::nullopt) << special;
}

// What is plainly no regular file is not even opened: opening a device or a FIFO has effects
// of its own, here releasing a writer that waits for the FIFO's reader.
TEST(RegularFile, NeverOpensWhatIsNoRegularFile) {
    TempDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::promise<pid_t> writerThread;
    auto writer = std::async(std::launch::async, [&] {
        writerThread.set_value(::gettid());
        return ::open(fifo.c_str(), O_WRONLY);
    });
    // Waits until the writer is inside its open, blocked there.
    const std::string call =
        "/proc/self/task/" + std::to_string(writerThread.get_future().get()) + "/syscall";
    while (readFile(call).rfind(std::to_string(SYS_openat) + " ", 0) != 0)
        std::this_thread::yield();
    EXPECT_EQ(kestrun::readRegularFile(fifo), std::nullopt);
    EXPECT_FALSE(kestrun::openRegularForAppend(fifo, 0600));
    const bool released =
        writer.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // releases the writer
    ::close(writer.get());
    ::close(reader);
    EXPECT_FALSE(released) << "the FIFO was opened";
}

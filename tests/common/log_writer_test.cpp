#include "common/log_writer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

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
    EXPECT_EQ(readFile(log), "05.03.2021 14:07:09\tProgram started\r\n"
                             "05.03.2021 14:07:09\t\r\n"
                             "05.03.2021 14:07:09\tBackup started: \r\n"
                             "Invalid DateTime\tx\r\n");
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

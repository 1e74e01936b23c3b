#include "common/backup_outcome.h"
#include "common/local_date_time.h"
#include "common/number.h"

#include <gtest/gtest.h>

using namespace kestrun;

TEST(LocalDateTime, FormatsTheThreePatternsAndInvalid) {
    const auto t = LocalDateTime::fromFields(2021, 3, 5, 14, 7, 9);
    EXPECT_EQ(t.format("%d.%m.%Y %X"), "05.03.2021 14:07:09");
    EXPECT_EQ(t.format("%Y%m%d-%H%M%S"), "20210305-140709");
    EXPECT_EQ(t.format("%y%m%d%H%M%S"), "210305140709");
    EXPECT_EQ(LocalDateTime().format("%d.%m.%Y %X"), "Invalid DateTime");
    EXPECT_EQ(LocalDateTime::fromFields(2021, 2, 29, 0, 0, 0).format("%Y"), "Invalid DateTime");
}

TEST(LocalDateTime, DayArithmeticCrossesMonthsYearsAndLeapDays) {
    const auto t = LocalDateTime::fromFields(2024, 2, 28, 23, 59, 59);
    EXPECT_EQ(t.addSeconds(1), LocalDateTime::fromFields(2024, 2, 29, 0, 0, 0));
    EXPECT_EQ(t.addDays(2), LocalDateTime::fromFields(2024, 3, 1, 23, 59, 59));
    EXPECT_EQ(LocalDateTime::fromFields(2023, 12, 31, 12, 0, 0).addDays(1),
              LocalDateTime::fromFields(2024, 1, 1, 12, 0, 0));
    EXPECT_EQ(t.addDays(-365 * 4 - 1), LocalDateTime::fromFields(2020, 2, 28, 23, 59, 59));
    // Leaving the years 100..9999 gives an invalid value, as does arithmetic on one.
    EXPECT_FALSE(t.addDays(3615897).valid());
    EXPECT_FALSE(LocalDateTime().addDays(1).valid());
}

TEST(LocalDateTime, WeekdaysAndDifferences) {
    EXPECT_EQ(LocalDateTime::fromFields(2024, 1, 1, 0, 0, 0).weekdayFromMonday(), 0);   // Monday
    EXPECT_EQ(LocalDateTime::fromFields(2026, 12, 13, 0, 0, 0).weekdayFromMonday(), 6); // Sunday
    EXPECT_EQ(LocalDateTime().weekdayFromMonday(), -1);
    const auto a = LocalDateTime::fromFields(2019, 1, 1, 0, 0, 0);
    const auto b = LocalDateTime::fromFields(2019, 1, 2, 0, 1, 30);
    EXPECT_EQ(kestrun::secondsBetween(a, b), 86490);
    EXPECT_EQ(kestrun::secondsBetween(b, a), -86490);
    EXPECT_EQ(kestrun::wholeMinutes(86490), 1441);
    EXPECT_EQ(kestrun::wholeMinutes(-119), -1);
    EXPECT_FALSE(kestrun::secondsBetween(a, LocalDateTime()).has_value());
    EXPECT_EQ(kestrun::roundSeconds(2.5), 3);
    EXPECT_EQ(kestrun::roundSeconds(-2.5), -3);
    EXPECT_EQ(kestrun::roundSeconds(2.49), 2);
}

TEST(Number, AtoiPrefixReadsLikeAtoi) {
    EXPECT_EQ(kestrun::atoiPrefix("  42abc"), 42);
    EXPECT_EQ(kestrun::atoiPrefix("-17\r"), -17);
    EXPECT_EQ(kestrun::atoiPrefix("+8"), 8);
    EXPECT_EQ(kestrun::atoiPrefix("x1"), 0);
    EXPECT_EQ(kestrun::atoiPrefix(""), 0);
    EXPECT_EQ(kestrun::atoiPrefix("-"), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(kestrun::atoiPrefix("-1")), 4294967295u);
    EXPECT_EQ(kestrun::atoiPrefix("99999999999999999999"), 2147483647);
    EXPECT_EQ(kestrun::atoiPrefix("-99999999999999999999"), -2147483647 - 1);
}

TEST(Number, ParseWord32AcceptsOnlyWholeNumbersInRange) {
    EXPECT_EQ(kestrun::parseWord32("4294967295"), 4294967295u);
    EXPECT_EQ(kestrun::parseWord32("-1"), 4294967295u);
    EXPECT_EQ(kestrun::parseWord32("-2147483648"), 2147483648u);
    EXPECT_FALSE(kestrun::parseWord32("4294967296"));
    EXPECT_FALSE(kestrun::parseWord32("-2147483649"));
    EXPECT_FALSE(kestrun::parseWord32("12x"));
    EXPECT_FALSE(kestrun::parseWord32(""));
    EXPECT_FALSE(kestrun::parseWord32(" 5"));
}

// The record kbm leaves for Kestrun reads back as written, whatever its texts hold, and a
// damaged one is refused rather than read as a success.
TEST(BackupOutcome, RecordReadsBackAndTellsTheOutcome) {
    BackupOutcome o;
    o.started = LocalDateTime::fromFields(2026, 12, 10, 7, 31, 5);
    o.filesCopied = 47;
    o.bytesCopied = 1048576;
    o.destination = "/media/usb\r\n=x";
    EXPECT_EQ(parseBackupOutcome(formatBackupOutcome(o)), o);
    EXPECT_EQ(lastBackupText(o), "Last backup 10.12.2026 07:31: 47 files copied");
    EXPECT_EQ(backupSummaryLine(o),
              "Backup summary: 47 files copied (1048576 bytes), 0 failed, to /media/usb\r\n=x");
    o.filesFailed = 2;
    EXPECT_EQ(lastBackupText(o), "Last backup 10.12.2026 07:31: 47 files copied, 2 failed");
    EXPECT_FALSE(o.succeeded());
    o.delivered = false;
    o.reason = "destination /media/usb not available";
    EXPECT_EQ(parseBackupOutcome(formatBackupOutcome(o)), o);
    EXPECT_EQ(lastBackupText(o), "Last backup failed: destination /media/usb not available");

    for (const char* bad :
         {"", "Started=20261210-073105\n", "Result=completed\n",
          "Started=2026121-0073105\nResult=completed\n",
          "Started=20261310-073105\nResult=completed\n", "Started=20261210-073105\nResult=maybe\n",
          "Started=20261210-073105\nResult=completed\nCopied=-1\n"})
        EXPECT_FALSE(parseBackupOutcome(bad)) << bad;
}

#include "common/backup_list.h"
#include "platform/list_file.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kestrun {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

// Both lists as the programs save them: each file replaced whole with its list's text.
void saveBackupLists(const test::TempDir& dir, const BackupList& include,
                     const BackupList& exclude) {
    replaceFile(dir / kIncludeListFile, includeListText(include));
    replaceFile(dir / kExcludeListFile, excludeListText(exclude));
}

TEST(BackupListTest, IncludeLinesParseAsTheFileFormatSays) {
    const auto doc = parseIncludeLine("/home/ann/Work/report.doc\t2\t1");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->path, "/home/ann/Work/report.doc");
    EXPECT_EQ(doc->mode, static_cast<std::int32_t>(BackupMode::FullBackupWithAutodelete));
    EXPECT_TRUE(doc->isFile());

    // Numbers are decimal prefixes: blanks, sign, trailing text and further tabs are fine.
    const auto loose = parseIncludeLine("\t 1x\t-3\tmore");
    ASSERT_TRUE(loose);
    EXPECT_EQ(loose->path, "");
    EXPECT_EQ(loose->mode, 1);
    EXPECT_EQ(loose->kind, -3);
    EXPECT_TRUE(loose->isFile());
    const auto noDigits = parseIncludeLine("/a\tx\t");
    ASSERT_TRUE(noDigits);
    EXPECT_EQ(noDigits->mode, 0);
    EXPECT_EQ(noDigits->kind, 0);

    EXPECT_FALSE(parseIncludeLine("/a single tab\t1"));
    EXPECT_FALSE(parseIncludeLine("no tab at all"));
    EXPECT_FALSE(parseIncludeLine(""));
}

TEST(BackupListTest, LoadSkipsMalformedLinesAndKeepsPathsUnchanged) {
    TempDir dir;
    writeFile(dir / kIncludeListFile, "/data/Sync me\t1\t0\r\n"
                                      "only\tone tab\r\n"
                                      "\r\n"
                                      "/x/a -> Smart backup.txt\t0\t1\n"
                                      "/cr/inside\t1\t1\r"
                                      "/last/without/end\t2\t1");
    BackupList include;
    appendIncludeEntries(readListLines(dir / kIncludeListFile), include);
    ASSERT_EQ(include.size(), 3u);
    EXPECT_EQ(include[0], (BackupEntry{"/data/Sync me", 1, 0}));
    EXPECT_EQ(include[1], (BackupEntry{"/x/a -> Smart backup.txt", 0, 1}));
    // A lone CR ends no line: the number before it ends at the CR.
    EXPECT_EQ(include[2], (BackupEntry{"/cr/inside", 1, 1}));
}

TEST(BackupListTest, ExcludeLinesAreWholePathsEvenWhenEmpty) {
    TempDir dir;
    writeFile(dir / kExcludeListFile, "/data/skip\r\n\r\n/with\ttab\n");
    BackupList exclude;
    appendExcludeEntries(readListLines(dir / kExcludeListFile), exclude);
    ASSERT_EQ(exclude.size(), 3u);
    EXPECT_EQ(exclude[0].path, "/data/skip");
    EXPECT_EQ(exclude[1].path, "");
    EXPECT_EQ(exclude[2].path, "/with\ttab");
}

TEST(BackupListTest, MissingFilesLeaveTheListsEmpty) {
    TempDir dir;
    BackupList include, exclude;
    appendIncludeEntries(readListLines(dir / kIncludeListFile), include);
    appendExcludeEntries(readListLines(dir / kExcludeListFile), exclude);
    EXPECT_TRUE(include.empty());
    EXPECT_TRUE(exclude.empty());
}

// A CR in a path (a legal file name character) is kept through a load, a save and a load.
TEST(BackupListTest, SaveWritesCrLfLinesAndReadsBack) {
    TempDir dir;
    writeFile(dir / kIncludeListFile, "/data/Sync\t1\t0\r\n/home/ann/Old\rProjects\t0\t0\r\n");
    writeFile(dir / kExcludeListFile, "/data/Sync/tmp\r\n\r\n/a\rb\r\r\n/end\r");
    BackupList include, exclude;
    appendIncludeEntries(readListLines(dir / kIncludeListFile), include);
    appendExcludeEntries(readListLines(dir / kExcludeListFile), exclude);
    EXPECT_EQ(include, (BackupList{{"/data/Sync", 1, 0}, {"/home/ann/Old\rProjects", 0, 0}}));
    ASSERT_EQ(exclude.size(), 4u);
    EXPECT_EQ(exclude[1].path, "");
    EXPECT_EQ(exclude[2].path, "/a\rb\r");
    EXPECT_EQ(exclude[3].path, "/end\r");

    saveBackupLists(dir, include, exclude);
    EXPECT_EQ(readFile(dir / kIncludeListFile),
              "/data/Sync\t1\t0\r\n/home/ann/Old\rProjects\t0\t0\r\n");
    EXPECT_EQ(readFile(dir / kExcludeListFile), "/data/Sync/tmp\r\n\r\n/a\rb\r\r\n/end\r\r\n");
    BackupList include2, exclude2;
    appendIncludeEntries(readListLines(dir / kIncludeListFile), include2);
    appendExcludeEntries(readListLines(dir / kExcludeListFile), exclude2);
    EXPECT_EQ(include2, include);
    EXPECT_EQ(exclude2, exclude);
}

TEST(BackupListTest, SavingEmptyListsGivesZeroLengthFiles) {
    TempDir dir;
    writeFile(dir / kIncludeListFile, "/old\t0\t0\r\n");
    saveBackupLists(dir, {}, {});
    EXPECT_TRUE(std::filesystem::exists(dir / kIncludeListFile));
    EXPECT_EQ(std::filesystem::file_size(dir / kIncludeListFile), 0u);
    EXPECT_EQ(std::filesystem::file_size(dir / kExcludeListFile), 0u);
}

TEST(BackupListTest, ReadOnlyListKeepsItsContentAndTheOtherIsStillWritten) {
    TempDir dir;
    writeFile(dir / kIncludeListFile, "/kept\t0\t0\r\n");
    std::filesystem::permissions(dir / kIncludeListFile, std::filesystem::perms::owner_read,
                                 std::filesystem::perm_options::replace);
    saveBackupLists(dir, {{"/new", 1, 1}}, {{"/x", 0, 0}});
    EXPECT_EQ(readFile(dir / kIncludeListFile), "/kept\t0\t0\r\n");
    EXPECT_EQ(readFile(dir / kExcludeListFile), "/x\r\n");
    // No temporary files are left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 2);
}

TEST(BackupListTest, VeryLongLinesLoad) {
    TempDir dir;
    const std::string longPath = "/" + std::string(100000, 'p') + ".txt";
    writeFile(dir / kIncludeListFile, longPath + "\t0\t1\r\n/next\t1\t0\r\n");
    BackupList include;
    appendIncludeEntries(readListLines(dir / kIncludeListFile), include);
    ASSERT_EQ(include.size(), 2u);
    EXPECT_EQ(include[0].path, longPath);
    EXPECT_EQ(include[1].path, "/next");
}

} // namespace
} // namespace kestrun

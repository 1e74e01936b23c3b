#include "common/file_version.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

using kestrun::FileVersion;
using kestrun::readFileVersion;
namespace fs = std::filesystem;

namespace {

fs::path peFile(const std::string& name) {
    return fs::path(KESTRUN_TEST_PE_DIR) / name;
}

// What pefile, an independent reader, says about an executable (see pe_facts.py).
std::map<std::string, std::string> peFacts(const fs::path& file) {
    const std::string command =
        "/usr/bin/python3 '" + (kestrun::test::sourceDir() / "tests/data/pe/pe_facts.py").string() +
        "' '" + file.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::map<std::string, std::string> facts;
    if (!pipe)
        return facts;
    std::array<char, 256> line{};
    while (fgets(line.data(), line.size(), pipe.get())) {
        std::istringstream in(line.data());
        std::string key, value;
        in >> key >> value;
        facts[key] = value;
    }
    return facts;
}

std::string versionText(const std::optional<FileVersion>& v) {
    return v ? v->text() : "none";
}

void patch32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    ASSERT_LE(offset + 4, bytes.size());
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace

TEST(FileVersion, ComparesAsUnsignedTuplesLeftmostFirstAndFormats) {
    const FileVersion a{{1, 2, 1, 3}};
    EXPECT_LT(a, (FileVersion{{1, 10, 0, 0}}));
    EXPECT_LT((FileVersion{{1, 2, 1, 3}}), (FileVersion{{1, 2, 1, 0x80000000u}}));
    EXPECT_LT((FileVersion{{1, 2, 9, 9}}), (FileVersion{{1, 3, 0, 0}}));
    EXPECT_EQ(a, (FileVersion{{1, 2, 1, 3}}));
    EXPECT_EQ(a.text(), "1.2.1.3");
}

TEST(FileVersion, VersionTextsSplitAtThreeDotsWithAtoiNumbers) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"5.2.0.117", "5.2.0.117"},
        {"5.2.0.117\r", "5.2.0.117"}, // the reply's CR ends the last number
        {"5.2.0.117.9", "5.2.0.117"}, // the revision is everything after the third dot
        {" 7.x.3.4", "7.0.3.4"},      // no digits give 0
        {"1.2.3.", "1.2.3.0"},
        {"...", "0.0.0.0"},
        {"5.2", "none"},
        {"5.2.0", "none"},
        {"", "none"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(versionText(kestrun::parseVersionText(c.text)), c.expected) << c.text;
    // A negative part is its unsigned 32-bit value and compares above every positive one.
    const auto negative = kestrun::parseVersionText("1.-1.0.0");
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->parts[1], 0xFFFFFFFFu);
    EXPECT_GT(*negative, (FileVersion{{1, 65535, 0, 0}}));
}

TEST(FileVersion, ExecutablePathEndsBeforeTheFirstQuestionMark) {
    EXPECT_EQ(kestrun::executablePath("/opt/Plenart/ZLM_Client/Zelmo.exe?+"),
              "/opt/Plenart/ZLM_Client/Zelmo.exe");
    EXPECT_EQ(kestrun::executablePath("/a/b?c?d"), "/a/b");
    EXPECT_EQ(kestrun::executablePath("/a/Zelmo.exe"), "/a/Zelmo.exe");
    EXPECT_EQ(kestrun::executablePath("?"), "");
}

// Executables made by the MinGW-w64 binutils from .rc files: our reading agrees with pefile's.
TEST(FileVersion, ReadsPeVersionResourcesAsPefileDoes) {
    const struct {
        const char* file;
        const char* expected;
    } cases[] = {
        {"zelmo_5_2_0_117.exe", "5.2.0.117"},
        {"zelmo32_5_2_0_118.exe", "5.2.0.118"}, // 32-bit, as the client application is
        {"largest_parts.exe", "65535.65534.65533.65532"},
        {"other_resources.exe", "1.2.3.4"}, // behind an RCDATA and a string table
        {"no_version.exe", "none"},
    };
    for (const auto& c : cases) {
        const auto facts = peFacts(peFile(c.file));
        ASSERT_EQ(facts.count("version"), 1u) << "pefile could not read " << c.file;
        EXPECT_EQ(facts.at("version"), c.expected) << c.file;
        EXPECT_EQ(versionText(readFileVersion(peFile(c.file))), c.expected) << c.file;
    }
    // The "?" suffix is the caller's to cut: a path with it names no file.
    EXPECT_FALSE(readFileVersion(peFile("zelmo_5_2_0_117.exe?+")));
}

TEST(FileVersion, ReadsTheNoteOfOurExecutableAndNothingFromOtherFiles) {
    EXPECT_EQ(versionText(readFileVersion(kestrun::test::binDir() / "kestrun")), "1.2.1.3");
    EXPECT_EQ(versionText(readFileVersion("/bin/sh")), "none");
    kestrun::test::TempDir dir;
    kestrun::test::writeFile(dir / "garbage", std::string("\x7f"
                                                          "ELF\2\1",
                                                          6) +
                                                  std::string(100, '\xff'));
    kestrun::test::writeFile(dir / "text", "ZLM:5.2.0.117\r\n");
    kestrun::test::writeFile(dir / "mz", "MZ");
    fs::create_directory(dir / "folder");
    for (const char* name : {"garbage", "text", "mz", "folder", "missing"})
        EXPECT_EQ(versionText(readFileVersion(dir / name)), "none") << name;
}

TEST(FileVersion, TruncatedCopiesOfAnExecutableNeverYieldAWrongVersion) {
    const std::string whole = kestrun::test::readFile(peFile("zelmo_5_2_0_117.exe"));
    const auto facts = peFacts(peFile("zelmo_5_2_0_117.exe"));
    ASSERT_TRUE(facts.count("version_block_end"));
    // The whole version block must be there, as the platform's own reader maps it whole.
    const std::size_t versionEnd = std::stoul(facts.at("version_block_end"));
    kestrun::test::TempDir dir;
    for (std::size_t length = 0; length < whole.size(); length += 7) {
        kestrun::test::writeFile(dir / "cut.exe", whole.substr(0, length));
        const auto v = readFileVersion(dir / "cut.exe");
        EXPECT_EQ(versionText(v), length >= versionEnd ? "5.2.0.117" : "none") << length;
    }
}

TEST(FileVersion, DamagedStructuresGiveNoVersion) {
    const fs::path original = peFile("zelmo_5_2_0_117.exe");
    const std::string whole = kestrun::test::readFile(original);
    auto facts = peFacts(original);
    for (const char* key :
         {"pe_header", "section_count", "rsrc_raw_pointer", "root_directory", "version_type_entry",
          "version_language_entry", "version_data_entry", "fixed_info"})
        ASSERT_TRUE(facts.count(key)) << key;
    const auto at = [&](const char* key) { return std::stoul(facts.at(key)); };
    const std::uint32_t root = static_cast<std::uint32_t>(at("root_directory"));

    const struct {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
    } damages[] = {
        {"PE header beyond the end", 0x3C, 0xFFFFFFF0u},
        {"PE header at 2 GB", 0x3C, 0x80000000u},
        {"resource section's data beyond the end", at("rsrc_raw_pointer"), 0x7FFFFFF0u},
        // the bytes are still in the file, but no longer the section's
        {"resource section's raw size cut to 16 bytes", at("rsrc_raw_pointer") - 4, 16},
        {"version type pointing back at the root", at("version_type_entry") + 4, 0x80000000u},
        {"language entry pointing back at the root as a folder", at("version_language_entry") + 4,
         0x80000000u},
        {"language entry pointing at the root as data", at("version_language_entry") + 4, 0},
        {"data address beyond every section", at("version_data_entry"), 0xFFFFFF00u},
        {"data size of 4 GB", at("version_data_entry") + 4, 0xFFFFFFFFu},
        {"fixed information without its signature", at("fixed_info"), 0xFEEF04BCu},
        {"root claiming 65535 entries of each kind", root + 12, 0xFFFFFFFFu},
    };
    kestrun::test::TempDir dir;
    for (const auto& d : damages) {
        std::string bytes = whole;
        patch32(bytes, d.offset, d.value);
        kestrun::test::writeFile(dir / "bad.exe", bytes);
        const auto v = readFileVersion(dir / "bad.exe");
        EXPECT_EQ(versionText(v), "none") << d.what;
    }
    // The count of sections at its largest: the table runs off the end of the file.
    std::string bytes = whole;
    bytes[at("section_count")] = '\xFF';
    bytes[at("section_count") + 1] = '\xFF';
    kestrun::test::writeFile(dir / "bad.exe", bytes);
    EXPECT_EQ(versionText(readFileVersion(dir / "bad.exe")), "none");
}

TEST(FileVersion, AHugeFileIsReadOnlyWhereItsStructuresAre) {
    kestrun::test::TempDir dir;
    // 2.5 GB, sparse: reading it whole would take memory and time the test would not survive.
    fs::copy_file(peFile("zelmo_5_2_0_117.exe"), dir / "big.exe");
    fs::resize_file(dir / "big.exe", 2'500'000'000ull);
    EXPECT_EQ(versionText(readFileVersion(dir / "big.exe")), "5.2.0.117");
    std::string bytes = kestrun::test::readFile(peFile("zelmo_5_2_0_117.exe"));
    patch32(bytes, 0x3C, 0x90000000u); // the PE header lies in the zeros 2.4 GB in
    kestrun::test::writeFile(dir / "far.exe", bytes);
    fs::resize_file(dir / "far.exe", 2'500'000'000ull);
    EXPECT_EQ(versionText(readFileVersion(dir / "far.exe")), "none");
}

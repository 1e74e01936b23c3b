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

void put(std::string& bytes, std::size_t offset, std::uint32_t value, std::size_t size = 4) {
    bytes.resize(std::max(bytes.size(), offset + size));
    for (std::size_t i = 0; i < size; ++i)
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A PE32+ image whose last of `sections` sections holds a resource tree made here:
// `otherTypes` types before the version type, which has `names` names of `languages` languages.
// Every version block is damaged but the last (1.2.3.4); with `shared`, all names but the last
// lead to the first name's language folder.
std::string craftedPe(std::uint32_t sections, std::uint32_t otherTypes, std::uint32_t names,
                      std::uint32_t languages, bool shared) {
    std::string r; // the resources, at address 0x1000
    const auto folder = [&r](std::uint32_t entries) {
        const auto at = static_cast<std::uint32_t>(r.size());
        put(r, at + 14, entries, 2);
        r.resize(at + 16 + 8 * entries);
        return at;
    };
    const auto entry = [&r](std::uint32_t at, std::uint32_t i, std::uint32_t id, std::uint32_t to) {
        put(r, at + 16 + 8 * i, id);
        put(r, at + 20 + 8 * i, to);
    };
    const std::uint32_t root = folder(otherTypes + 1), type = folder(names);
    for (std::uint32_t i = 0; i < otherTypes; ++i)
        entry(root, i, 3, 0);
    entry(root, otherTypes, 16, type | 0x80000000u);
    std::uint32_t language = 0;
    for (std::uint32_t n = 0; n < names; ++n) {
        if (!shared || n == 0 || n + 1 == names) {
            language = folder(languages);
            for (std::uint32_t l = 0; l < languages; ++l) {
                const auto block = static_cast<std::uint32_t>(r.size());
                put(r, block, 92 | 52 << 16); // its length and the fixed information's
                for (std::uint32_t i = 0; i < 15; ++i)
                    put(r, block + 6 + 2 * i, static_cast<unsigned char>("VS_VERSION_INFO"[i]), 2);
                const bool good = n + 1 == names && l + 1 == languages;
                put(r, block + 40, good ? 0xFEEF04BDu : 0xFEEF04BCu);
                put(r, block + 48, 0x00010002u);
                put(r, block + 52, 0x00030004u);
                put(r, block + 92, 0x1000 + block); // the data entry follows its block
                put(r, block + 96, 92);
                r.resize(block + 108);
                entry(language, l, 0x409, block + 92);
            }
        }
        entry(type, n, n + 1, language | 0x80000000u);
    }
    const std::uint32_t pe = 0x40, optional = pe + 24, table = optional + 240;
    const std::uint32_t raw = (table + 40 * sections + 0x1FF) & ~0x1FFu, size = r.size();
    std::string b = "MZ";
    for (const auto& [at, value] : {std::pair{0x3Cu, pe},
                                    {pe, 0x4550u},
                                    {pe + 6, sections},
                                    {pe + 20, 240u},
                                    {optional, 0x20Bu},
                                    {optional + 108, 16u},
                                    {optional + 128, 0x1000u},
                                    {optional + 132, size}})
        put(b, at, value);
    for (std::uint32_t i = 0; i + 1 < sections; ++i) // empty sections elsewhere
        put(b, table + 40 * i + 12, 0x100000 + 0x1000 * i);
    const std::uint32_t last = table + 40 * (sections - 1);
    for (const auto& [at, value] :
         {std::pair{last + 8, size}, {last + 12, 0x1000u}, {last + 16, size}, {last + 20, raw}})
        put(b, at, value);
    b.resize(raw);
    return b + r;
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
        const std::string bytes = kestrun::test::readFile(peFile(c.file));
        EXPECT_EQ(versionText(kestrun::contentFileVersion(bytes)), c.expected) << c.file;
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
        EXPECT_EQ(kestrun::contentFileVersion(whole.substr(0, length)), v) << length;
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

// Crafted images whose walk would read thousands of structures: beyond the bounds of the walk
// they give no version, within them the version is found.
TEST(FileVersion, TheWalkOfSectionsAndResourcesIsBounded) {
    const struct {
        const char* what;
        std::uint32_t sections, otherTypes, names, languages;
        bool shared;
        const char* expected;
    } cases[] = {
        {"plain", 1, 0, 1, 1, false, "1.2.3.4"},
        {"a few of everything", 12, 20, 4, 3, false, "1.2.3.4"},
        {"3000 sections", 3000, 0, 1, 1, false, "none"},
        {"a language folder reached twice", 1, 0, 3, 1, true, "none"},
        {"64 names of 64 languages", 1, 0, 64, 64, false, "none"},
        {"20 version blocks", 1, 0, 20, 1, false, "none"},
        {"2000 types before the version", 1, 2000, 1, 1, false, "none"},
    };
    kestrun::test::TempDir dir;
    for (const auto& c : cases) {
        kestrun::test::writeFile(dir / "crafted.exe", craftedPe(c.sections, c.otherTypes, c.names,
                                                                c.languages, c.shared));
        EXPECT_EQ(versionText(readFileVersion(dir / "crafted.exe")), c.expected) << c.what;
    }
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

#include "tests/kestrun/update/version_copy.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestrun::test {

namespace {

void putWord(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string word(std::uint32_t value) {
    std::string bytes(4, '\0');
    putWord(bytes, 0, value);
    return bytes;
}

// Where the four version numbers start: in a PE file at its fixed version information, whose
// signature follows the key of its version block (VS_VERSION_INFO in UTF-16, 40 bytes before
// the value; our own reader's code holds the signature too); in an ELF file after our note's
// header: name size 4, descriptor size 16, type 1, the name "KSN". npos when not found once.
std::size_t versionAt(const std::string& executable, bool pe) {
    std::string key;
    for (const char c : std::string("VS_VERSION_INFO"))
        key += std::string{c, '\0'};
    const std::string header =
        pe ? word(0xFEEF04BD) : word(4) + word(16) + word(1) + std::string("KSN\0", 4);
    std::vector<std::size_t> found;
    for (auto at = executable.find(header); at != std::string::npos;
         at = executable.find(header, at + 1))
        if (!pe || (at >= 34 && executable.compare(at - 34, key.size(), key) == 0))
            found.push_back(pe ? at + 8 : at + header.size());
    EXPECT_EQ(found.size(), 1u) << "version notes";
    return found.size() == 1 ? found.front() : std::string::npos;
}

} // namespace

FileVersion version(unsigned major, unsigned minor, unsigned build, unsigned revision) {
    return FileVersion{{major, minor, build, revision}};
}

std::string withVersion(const std::string& executable, const FileVersion& wanted) {
    const bool pe = executable.compare(0, 2, "MZ") == 0;
    const auto at = versionAt(executable, pe);
    if (at == std::string::npos)
        return executable;
    std::string copy = executable;
    if (pe) { // the file's version, then the product's
        const auto& v = wanted.parts;
        for (const std::size_t offset : {0, 8}) {
            putWord(copy, at + offset, v[0] << 16 | (v[1] & 0xFFFF));
            putWord(copy, at + offset + 4, v[2] << 16 | (v[3] & 0xFFFF));
        }
        return copy;
    }
    for (std::size_t i = 0; i < 4; ++i)
        putWord(copy, at + 4 * i, wanted.parts[i]);
    return copy;
}

std::string builtWithVersion(const std::string& name, const FileVersion& wanted) {
    return withVersion(readFile(builtProgram(name)), wanted);
}

void installBuilt(const std::string& name, const FileVersion& wanted,
                  const std::filesystem::path& file, unsigned mode) {
    writeFile(file, builtWithVersion(name, wanted));
    std::filesystem::permissions(file, static_cast<std::filesystem::perms>(mode));
    ASSERT_EQ(readFileVersion(file), wanted) << file;
}

} // namespace kestrun::test

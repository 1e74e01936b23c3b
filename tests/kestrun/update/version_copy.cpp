#include "tests/kestrun/update/version_copy.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

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

} // namespace

FileVersion version(unsigned major, unsigned minor, unsigned build, unsigned revision) {
    return FileVersion{{major, minor, build, revision}};
}

std::string withVersion(const std::string& executable, const FileVersion& wanted) {
    const bool pe = executable.compare(0, 2, "MZ") == 0;
    // A PE file's fixed version information starts with its signature, an ELF file's note
    // with its header: name size 4, descriptor size 16, type 1, the name "KSN".
    const std::string header =
        pe ? word(0xFEEF04BD) : word(4) + word(16) + word(1) + std::string("KSN\0", 4);
    const auto at = executable.find(header);
    EXPECT_NE(at, std::string::npos) << "no version note";
    EXPECT_EQ(executable.find(header, at + 1), std::string::npos) << "two version notes";
    if (at == std::string::npos)
        return executable;
    std::string copy = executable;
    if (pe) { // after the structure's version: the file's and the product's versions
        const auto& v = wanted.parts;
        for (const std::size_t offset : {8, 16}) {
            putWord(copy, at + offset, v[0] << 16 | (v[1] & 0xFFFF));
            putWord(copy, at + offset + 4, v[2] << 16 | (v[3] & 0xFFFF));
        }
        return copy;
    }
    for (std::size_t i = 0; i < 4; ++i)
        putWord(copy, at + header.size() + 4 * i, wanted.parts[i]);
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

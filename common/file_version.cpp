#include "common/file_version.h"

#include <cstring>
#include <fstream>
#include <vector>

namespace kestrun {

std::string FileVersion::text() const {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += '.';
        out += std::to_string(static_cast<std::int32_t>(parts[i]));
    }
    return out;
}

namespace {

constexpr const char* kNoteSection = ".note.fileversion";
constexpr std::uint32_t kNoteType = 1;
constexpr std::size_t kMaxFileSize = 512u * 1024u * 1024u;

template <typename T> bool readAt(const std::vector<char>& data, std::uint64_t off, T& out) {
    if (off > data.size() || data.size() - off < sizeof(T))
        return false;
    std::memcpy(&out, data.data() + off, sizeof(T));
    return true;
}

// Finds the named section in a little-endian ELF image; returns offset and size.
std::optional<std::pair<std::uint64_t, std::uint64_t>> findElfSection(const std::vector<char>& data,
                                                                      const char* wanted) {
    if (data.size() < 64 ||
        std::memcmp(data.data(),
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        data[5] != 1) // little endian only
        return std::nullopt;
    const bool is64 = data[4] == 2;
    std::uint64_t shoff = 0;
    std::uint16_t shentsize = 0, shnum = 0, shstrndx = 0;
    if (is64) {
        if (!readAt(data, 0x28, shoff) || !readAt(data, 0x3A, shentsize) ||
            !readAt(data, 0x3C, shnum) || !readAt(data, 0x3E, shstrndx))
            return std::nullopt;
    } else {
        std::uint32_t off32 = 0;
        if (!readAt(data, 0x20, off32) || !readAt(data, 0x2E, shentsize) ||
            !readAt(data, 0x30, shnum) || !readAt(data, 0x32, shstrndx))
            return std::nullopt;
        shoff = off32;
    }
    if (shentsize < (is64 ? 64 : 40) || shstrndx >= shnum)
        return std::nullopt;
    auto section = [&](std::uint16_t index, std::uint32_t& name, std::uint64_t& off,
                       std::uint64_t& size) {
        const std::uint64_t base = shoff + std::uint64_t{index} * shentsize;
        if (is64)
            return readAt(data, base, name) && readAt(data, base + 0x18, off) &&
                   readAt(data, base + 0x20, size);
        std::uint32_t o = 0, s = 0;
        const bool ok = readAt(data, base, name) && readAt(data, base + 0x10, o) &&
                        readAt(data, base + 0x14, s);
        off = o;
        size = s;
        return ok;
    };
    std::uint32_t strName = 0;
    std::uint64_t strOff = 0, strSize = 0;
    if (!section(shstrndx, strName, strOff, strSize) || strOff > data.size() ||
        data.size() - strOff < strSize)
        return std::nullopt;
    for (std::uint16_t i = 0; i < shnum; ++i) {
        std::uint32_t name = 0;
        std::uint64_t off = 0, size = 0;
        if (!section(i, name, off, size) || name >= strSize)
            continue;
        const char* n = data.data() + strOff + name;
        const std::size_t maxLen = strSize - name;
        if (strnlen(n, maxLen) < maxLen && std::strcmp(n, wanted) == 0) {
            if (off > data.size() || data.size() - off < size)
                return std::nullopt;
            return std::make_pair(off, size);
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<FileVersion> readFileVersion(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxFileSize)
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<char> data(size);
    if (!in.read(data.data(), static_cast<std::streamsize>(size)))
        return std::nullopt;
    const auto sec = findElfSection(data, kNoteSection);
    if (!sec || sec->second < 12 + 4 + 16)
        return std::nullopt;
    std::uint32_t namesz = 0, descsz = 0, type = 0;
    readAt(data, sec->first, namesz);
    readAt(data, sec->first + 4, descsz);
    readAt(data, sec->first + 8, type);
    const std::uint64_t descOff = sec->first + 12 + ((namesz + 3u) & ~3u);
    if (type != kNoteType || descsz < 16 || descOff + 16 > sec->first + sec->second)
        return std::nullopt;
    FileVersion v;
    for (std::size_t i = 0; i < 4; ++i)
        readAt(data, descOff + 4 * i, v.parts[i]);
    return v;
}

} // namespace kestrun

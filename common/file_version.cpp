#include "common/file_version.h"

#include "common/binary_reader.h"
#include "common/number.h"
#include "common/pe_version.h"

#include <cstring>

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

std::optional<FileVersion> parseVersionText(std::string_view text) {
    FileVersion version;
    for (std::size_t i = 0; i < 3; ++i) {
        const auto dot = text.find('.');
        if (dot == std::string_view::npos)
            return std::nullopt;
        version.parts[i] = static_cast<std::uint32_t>(atoiPrefix(text.substr(0, dot)));
        text.remove_prefix(dot + 1);
    }
    version.parts[3] = static_cast<std::uint32_t>(atoiPrefix(text));
    return version;
}

std::string executablePath(std::string_view setting) {
    return std::string(setting.substr(0, setting.find('?')));
}

namespace {

constexpr const char* kNoteSection = ".note.fileversion";
constexpr std::uint32_t kNoteType = 1;
// Longer section names than ours are never the one we look for.
constexpr std::size_t kMaxSectionName = 64;

struct ElfSection {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

bool isElf(BinaryReader& file) {
    const auto magic = file.bytes(0, 6);
    // 64- or 32-bit, little endian
    return magic &&
           magic->compare(0, 4,
                          "\x7f"
                          "ELF") == 0 &&
           ((*magic)[4] == 1 || (*magic)[4] == 2) && (*magic)[5] == 1;
}

// Finds a section by name through the section headers and their name table.
std::optional<ElfSection> findElfSection(BinaryReader& file, const char* wanted) {
    const auto elfClass = file.bytes(4, 1);
    const bool is64 = elfClass && (*elfClass)[0] == 2;
    std::optional<std::uint64_t> tableOffset;
    if (is64)
        tableOffset = file.number<std::uint64_t>(0x28);
    else if (const auto off32 = file.number<std::uint32_t>(0x20))
        tableOffset = *off32;
    const auto entrySize = file.number<std::uint16_t>(is64 ? 0x3A : 0x2E);
    const auto count = file.number<std::uint16_t>(is64 ? 0x3C : 0x30);
    const auto namesIndex = file.number<std::uint16_t>(is64 ? 0x3E : 0x32);
    if (!tableOffset || !entrySize || !count || !namesIndex || *entrySize < (is64 ? 64 : 40) ||
        *namesIndex >= *count)
        return std::nullopt;
    auto section = [&](std::uint16_t index) -> std::optional<std::pair<std::uint32_t, ElfSection>> {
        const std::uint64_t base = *tableOffset + std::uint64_t{index} * *entrySize;
        const auto name = file.number<std::uint32_t>(base);
        if (!name)
            return std::nullopt;
        if (is64) {
            const auto off = file.number<std::uint64_t>(base + 0x18);
            const auto size = file.number<std::uint64_t>(base + 0x20);
            if (!off || !size)
                return std::nullopt;
            return std::make_pair(*name, ElfSection{*off, *size});
        }
        const auto off = file.number<std::uint32_t>(base + 0x10);
        const auto size = file.number<std::uint32_t>(base + 0x14);
        if (!off || !size)
            return std::nullopt;
        return std::make_pair(*name, ElfSection{*off, *size});
    };
    const auto names = section(*namesIndex);
    if (!names)
        return std::nullopt;
    const std::size_t wantedLength = std::strlen(wanted);
    for (std::uint16_t i = 0; i < *count; ++i) {
        const auto s = section(i);
        if (!s || s->first >= names->second.size)
            continue;
        const std::uint64_t nameAt = names->second.offset + s->first;
        const std::size_t available = static_cast<std::size_t>(
            std::min<std::uint64_t>(names->second.size - s->first, kMaxSectionName));
        if (available <= wantedLength)
            continue;
        const auto name = file.bytes(nameAt, wantedLength + 1);
        if (name && name->compare(0, wantedLength, wanted) == 0 && (*name)[wantedLength] == '\0')
            return s->second;
    }
    return std::nullopt;
}

// Our note: namesz, descsz, type, the name padded to 4 bytes, then four 32-bit numbers.
std::optional<FileVersion> readElfVersion(BinaryReader& file) {
    const auto note = findElfSection(file, kNoteSection);
    if (!note || note->size < 12 + 4 + 16)
        return std::nullopt;
    std::uint32_t header[3] = {};
    if (!file.read(note->offset, header, sizeof header))
        return std::nullopt;
    const std::uint64_t descOffset = 12 + ((std::uint64_t{header[0]} + 3u) & ~std::uint64_t{3});
    if (header[2] != kNoteType || header[1] < 16 || descOffset + 16 > note->size)
        return std::nullopt;
    FileVersion version;
    if (!file.read(note->offset + descOffset, version.parts.data(), 16))
        return std::nullopt;
    return version;
}

std::optional<FileVersion> readVersion(BinaryReader& reader) {
    if (!reader.ok())
        return std::nullopt;
    if (looksLikePe(reader))
        return readPeVersion(reader);
    if (isElf(reader))
        return readElfVersion(reader);
    return std::nullopt;
}

} // namespace

std::optional<FileVersion> readFileVersion(const std::filesystem::path& file) {
    BinaryReader reader(file);
    return readVersion(reader);
}

std::optional<FileVersion> contentFileVersion(std::string_view content) {
    BinaryReader reader = BinaryReader::overBytes(content);
    return readVersion(reader);
}

} // namespace kestrun

#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// An executable's version: major.minor.build.revision, each an unsigned 32-bit number,
// compared leftmost first.
struct FileVersion {
    std::array<std::uint32_t, 4> parts{};

    auto operator<=>(const FileVersion&) const = default;
    // "%d.%d.%d.%d"
    std::string text() const;
};

// A version text "a.b.c.d": the text before the first "." is major, before the second minor,
// before the third build, and everything after the third is the revision, each read like
// atoi. Fewer than three "." make it unreadable.
std::optional<FileVersion> parseVersionText(std::string_view text);

// An executable path setting may carry a suffix that starts with "?"; the path is the text
// before the first "?".
std::string executablePath(std::string_view setting);

// Reads the version an executable carries: a PE file's fixed file information from its version
// resource, or the ".note.fileversion" note our own ELF programs are built with. Anything
// else, a damaged file or one that cannot be read has no version. Only the few structures
// needed are read, each bounded, whatever the file's size.
std::optional<FileVersion> readFileVersion(const std::filesystem::path& file);
// The same for the bytes of an executable already read.
std::optional<FileVersion> contentFileVersion(std::string_view content);

} // namespace kestrun

#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// An executable's version: major.minor.build.revision, compared leftmost first.
struct FileVersion {
    std::array<std::uint32_t, 4> parts{};

    auto operator<=>(const FileVersion&) const = default;
    // "%d.%d.%d.%d"
    std::string text() const;
};

// Reads the version an executable carries: for ELF files the ".note.fileversion" note that
// our own programs are built with. Anything else, or an unreadable file, has no version.
std::optional<FileVersion> readFileVersion(const std::filesystem::path& file);

} // namespace kestrun

#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// Random access to a file's bytes by offset: every read names its size, and a read that
// would run past the end fails instead of returning fewer bytes. Used to pick a few small
// structures out of executables of any size.
class BinaryReader {
public:
    explicit BinaryReader(const std::filesystem::path& file);
    // Over bytes already in memory, which must outlive the reader.
    static BinaryReader overBytes(std::string_view content);

    bool ok() const { return ok_; }
    std::uint64_t size() const { return size_; }

    bool read(std::uint64_t offset, void* out, std::size_t count);
    // A little-endian number (the host of this port is little-endian, as are PE and the ELF
    // files we read).
    template <typename T> std::optional<T> number(std::uint64_t offset) {
        T value{};
        if (!read(offset, &value, sizeof value))
            return std::nullopt;
        return value;
    }
    std::optional<std::string> bytes(std::uint64_t offset, std::size_t count);

private:
    BinaryReader() = default;

    std::ifstream in_;
    std::optional<std::string_view> memory_; // set when the bytes are in memory
    std::uint64_t size_ = 0;
    bool ok_ = false;
};

} // namespace kestrun

#include "kbm/file_copy.h"

#include <cstdint>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryPrefix = ".kbm-";
constexpr std::size_t kHashDigits = 16;

std::uint64_t nameHash(std::string_view name) { // FNV-1a, 64 bits
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

} // namespace

std::string copyTemporaryName(std::string_view targetName) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name(kTemporaryPrefix);
    const std::uint64_t hash = nameHash(targetName);
    for (std::size_t i = 0; i < kHashDigits; ++i)
        name += kDigits[(hash >> (4 * (kHashDigits - 1 - i))) & 0xF];
    return name;
}

bool isCopyTemporaryName(std::string_view name) {
    if (name.size() != kTemporaryPrefix.size() + kHashDigits || !name.starts_with(kTemporaryPrefix))
        return false;
    for (const char c : name.substr(kTemporaryPrefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool copyFileAtomically(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    if (!fs::is_regular_file(source, ec) || target.filename().empty())
        return false;
    const fs::path temp = target.parent_path() / copyTemporaryName(target.filename().string());
    // A leftover of an interrupted copy (or anything else under that name, a link included)
    // goes first; the copy then makes a new file and never writes through a link.
    fs::remove(temp, ec);
    if (!fs::copy_file(source, temp, fs::copy_options::none, ec)) {
        fs::remove(temp, ec);
        return false;
    }
    std::error_code timeEc;
    const auto modified = fs::last_write_time(source, timeEc);
    if (!timeEc)
        fs::last_write_time(temp, modified, timeEc);
    fs::rename(temp, target, ec);
    if (ec) {
        std::error_code removeEc;
        fs::remove(temp, removeEc);
        return false;
    }
    return true;
}

} // namespace kestrun

#include "kestrun/update/companion_copy.h"

#include <array>
#include <fstream>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

bool isRegularFile(const fs::path& file) {
    std::error_code ec;
    return fs::symlink_status(file, ec).type() == fs::file_type::regular;
}

} // namespace

bool copyProgramInPlace(const fs::path& from, const fs::path& to) {
    if (!isRegularFile(from))
        return false;
    std::error_code ec;
    const fs::file_type existing = fs::symlink_status(to, ec).type();
    const bool fresh = existing == fs::file_type::not_found;
    if (!fresh && existing != fs::file_type::regular)
        return false;

    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    std::array<char, 65536> buffer{};
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got > 0 && !out.write(buffer.data(), got))
            return false;
    }
    if (in.bad())
        return false;
    out.close();
    if (out.fail())
        return false;
    if (fresh) {
        fs::permissions(to,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::replace, ec);
        if (ec)
            return false;
    }
    return true;
}

} // namespace kestrun

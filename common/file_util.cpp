#include "common/file_util.h"

namespace kestrun {

namespace fs = std::filesystem;

bool isReadOnlyFile(const fs::path& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st))
        return false;
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return (st.permissions() & write) == fs::perms::none;
}

bool isWritableFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && !isReadOnlyFile(path);
}

} // namespace kestrun

std::string kestrun::utf8Path(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

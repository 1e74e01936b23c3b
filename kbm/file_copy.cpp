#include "kbm/file_copy.h"

#include <atomic>
#include <random>
#include <string>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::path temporaryBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return target.parent_path() / ("." + target.filename().string() + ".kbm-" +
                                   std::to_string(salt) + "-" + std::to_string(++counter));
}

} // namespace

bool copyFileAtomically(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    if (!fs::is_regular_file(source, ec) || target.filename().empty())
        return false;
    const fs::path temp = temporaryBeside(target);
    if (!fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec)) {
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

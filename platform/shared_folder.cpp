#include "platform/shared_folder.h"

// The parts of the folder-sharing unit that are the same on every system.

namespace kestrun {

namespace fs = std::filesystem;

bool othersMayChangeTarget(const fs::path& file) {
    std::error_code ec;
    const auto status = fs::symlink_status(file, ec);
    if (ec || !fs::exists(status))
        return false;
    // Only a regular file is read: a FIFO or a device in its place is a file that cannot be
    // opened, which nobody changes.
    if (!fs::is_symlink(status))
        return fs::is_regular_file(status) && othersMayChangeFile(file);
    if (isOthersLink(file))
        return true;
    // Where it leads, the folder's trust decides who may put a file there (a dangling link
    // too: the file may come later).
    const fs::path target = fs::weakly_canonical(file, ec);
    if (ec || othersMayChange(target.parent_path()))
        return true;
    return fs::is_regular_file(fs::symlink_status(target, ec)) && othersMayChangeFile(target);
}

} // namespace kestrun

#include "kestrun/update/companion_copy.h"

#include "platform/regular_file.h"
#include "platform/shared_folder.h"

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kNewProgramMode = 0755;

bool isRegularFile(const fs::path& file) {
    std::error_code ec;
    return fs::symlink_status(file, ec).type() == fs::file_type::regular;
}

// The name the new content is written under before it takes the installed file's place.
fs::path temporaryBeside(const fs::path& to) {
    return to.parent_path() / ("." + to.filename().string() + ".new");
}

bool writeWhole(const fs::path& from, const fs::path& temp, unsigned mode) {
    const FileDescriptor in = openRegularForReading(from);
    if (!in)
        return false;
    const FileDescriptor out = openRegularForRewrite(temp, 0600);
    return out && copyContent(in, out) &&
           applyNewFileMode(out, newFileModeIn(temp.parent_path(), mode)) && syncToDisk(out);
}

} // namespace

bool copyProgramInPlace(const fs::path& from, const fs::path& to) {
    if (!isRegularFile(from))
        return false;
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(to, ec);
    const bool fresh = existing.type() == fs::file_type::not_found;
    if (!fresh && existing.type() != fs::file_type::regular)
        return false;
    const unsigned mode =
        fresh ? kNewProgramMode : static_cast<unsigned>(existing.permissions()) & 07777;

    const fs::path temp = temporaryBeside(to);
    if (writeWhole(from, temp, mode)) {
        fs::rename(temp, to, ec);
        if (!ec)
            return true;
    }
    fs::remove(temp, ec);
    return false;
}

} // namespace kestrun

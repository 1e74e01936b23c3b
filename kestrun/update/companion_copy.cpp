#include "kestrun/update/companion_copy.h"

#include "platform/regular_file.h"
#include "platform/shared_folder.h"

#include <cerrno>
#include <system_error>

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

bool copyProgramInPlace(const fs::path& from, const fs::path& to, std::optional<unsigned> mode) {
    if (!isRegularFile(from))
        return false;
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(to, ec);
    const bool fresh = existing.type() == fs::file_type::not_found;
    if (!fresh && existing.type() != fs::file_type::regular)
        return false;
    if (!mode)
        mode = fresh ? kNewProgramMode : static_cast<unsigned>(existing.permissions()) & 07777;

    const fs::path temp = temporaryBeside(to);
    if (writeWhole(from, temp, *mode)) {
        fs::rename(temp, to, ec);
        if (!ec)
            return true;
    }
    fs::remove(temp, ec);
    return false;
}

std::optional<std::string> replacementRefusal(const fs::path& folder) {
    const fs::path made = folder / ".kestrun-replace-probe";
    const fs::path renamed = folder / ".kestrun-replace-probe.new";
    std::error_code ec;
    fs::remove(made, ec); // a probe of a run that was killed
    fs::remove(renamed, ec);
    if (!createNewRegularFile(made, 0600)) {
        const std::error_code why(errno, std::generic_category());
        return "no file can be made in " + folder.string() + " (" + why.message() + ")";
    }
    fs::rename(made, renamed, ec);
    std::error_code removed;
    fs::remove(ec ? made : renamed, removed);
    if (ec)
        return "no file can be renamed in " + folder.string() + " (" + ec.message() + ")";
    return std::nullopt;
}

} // namespace kestrun

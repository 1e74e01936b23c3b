#include "platform/list_file.h"

#include "common/file_util.h"
#include "common/text_file.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"

#include <fstream>
#include <random>

namespace kestrun {

namespace fs = std::filesystem;

std::optional<std::vector<std::string>> readListLines(const fs::path& file) {
    // The type is checked on the open file, which is opened without waiting for a writer, so
    // a FIFO put in the file's place at any moment cannot hold the reader; the read stops at
    // the bound in case the file grows meanwhile.
    const auto content = readRegularFile(file, kMaxTextFileBytes);
    if (!content)
        return std::nullopt;
    return splitListLines(*content);
}

namespace {

// The mode of a list written anew: the replaced file's bits, or for a new one what the umask
// leaves of 0644; in a folder its group shares, the group may always do what the owner may.
std::optional<NewFileMode> replacementMode(const fs::path& file) {
    std::error_code ec;
    const auto old = fs::status(file, ec);
    const bool replacing = !ec && fs::exists(old);
    const fs::path folder = file.parent_path();
    if (replacing)
        return newFileModeIn(folder, static_cast<unsigned>(old.permissions()) & 07777u);
    if (isGroupShared(folder))
        return newFileModeIn(folder, 0644);
    return std::nullopt;
}

// Writes the content under a temporary name beside the file and renames it into place.
// nullopt when no temporary file can be made there (the folder is not writable).
std::optional<bool> replaceAtomically(const fs::path& file, const std::string& content) {
    std::random_device random;
    const fs::path temp =
        file.parent_path() / ("." + file.filename().string() + ".tmp" + std::to_string(random()));
    {
        const FileDescriptor out = openRegularForRewrite(temp, 0644);
        if (!out)
            return std::nullopt;
        const auto mode = replacementMode(file);
        if (!writeAll(out, content) || (mode && !applyNewFileMode(out, *mode))) {
            std::error_code ec;
            fs::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, file, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

// Overwrites an existing file where it is, for a user who may write the file but not its
// folder.
bool overwriteInPlace(const fs::path& file, const std::string& content) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return false;
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    if (!out)
        return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out)
        return false;
    fs::resize_file(file, content.size(), ec);
    return !ec;
}

} // namespace

bool replaceFile(const fs::path& link, const std::string& content) {
    if (isReadOnlyFile(link))
        return false;
    // A linked list file is replaced where the link points, and keeps its permissions; but a
    // link of another user's (planted in a folder its group shares) is replaced by the list
    // itself, so it never leads the save into a file of the user's elsewhere.
    if (isOthersLink(link))
        return replaceAtomically(link, content).value_or(false);
    std::error_code linkEc;
    fs::path file = link;
    if (fs::is_symlink(link, linkEc)) {
        file = fs::weakly_canonical(link, linkEc);
        if (linkEc)
            return false;
    }
    if (const auto replaced = replaceAtomically(file, content))
        return *replaced;
    return overwriteInPlace(file, content);
}

} // namespace kestrun

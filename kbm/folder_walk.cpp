#include "kbm/folder_walk.h"

#include "platform/file_status.h"
#include "platform/path_rules.h"

#include <filesystem>
#include <system_error>

namespace kestrun {

namespace fs = std::filesystem;

// An exclude names a folder as it is spelt, letter case and all, on every system (a folder
// written in other letters is not excluded); only the separators' spelling is folded.
FolderWalker::FolderWalker(const BackupList& excludes) {
    for (const BackupEntry& entry : excludes)
        excluded_.insert(withForwardSlashes(entry.path));
}

FolderWalker::FolderWalker(const BackupList& excludes, const std::vector<std::string>& skipFolders)
    : FolderWalker(excludes) {
    for (const std::string& folder : skipFolders)
        if (!folder.empty())
            skipFolders_.push_back(withoutTrailingSeparators(folder));
}

bool FolderWalker::isSkipFolder(const std::string& folder) const {
    for (const std::string& skip : skipFolders_) {
        std::error_code ec;
        if (folder == skip || fs::equivalent(folder, skip, ec))
            return true;
    }
    return false;
}

void FolderWalker::walk(const std::string& folder, const Visitor& visit,
                        const Visitor& unreadable) const {
    if (folder.empty())
        return;
    std::error_code ec;
    const fs::path tree = fs::canonical(fs::path(folder), ec);
    Walk state{{}, ec ? std::string() : tree.string(), visit, unreadable};
    walkInto(folder, folder.find('.') != std::string::npos, state);
}

void FolderWalker::walk(const std::string& folder, std::vector<std::string>& files) const {
    walk(folder, [&files](const std::string& file) { files.push_back(file); });
}

namespace {

// Whether a folder that could not be listed has simply gone (removed, or replaced by a file,
// while the walk went on): nothing is lost then.
bool gone(const std::error_code& ec) {
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
}

// Whether the folder a link leads to lies in the tree (the start folder, links resolved).
bool leadsIntoTree(const std::string& link, const std::string& tree) {
    if (tree.empty())
        return false;
    std::error_code ec;
    const std::string target = fs::canonical(fs::path(link), ec).string();
    return !ec && isPathWithin(target, tree);
}

} // namespace

void FolderWalker::walkInto(const std::string& folder, bool folderHasDot, Walk& walk) const {
    if (excluded_.contains(withForwardSlashes(folder)) || isSkipFolder(folder))
        return;
    std::error_code ec;
    const auto cannotRead = [&] {
        if (!gone(ec) && walk.unreadable)
            walk.unreadable(folder);
    };
    const auto status = fileStatus(folder);
    if (!status) {
        // A folder that cannot be reached by its path (one too long for the system, one
        // closed to us, a loop of links) cannot be read either; a missing one is no failure.
        static_cast<void>(fs::status(fs::path(folder), ec));
        cannotRead();
        return;
    }
    if (!walk.visited.insert({status->device, status->inode}).second)
        return;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec)
        return cannotRead();
    const std::string prefix = isPathSeparator(folder.back()) ? folder : folder + pathSeparator();
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            return cannotRead();
        const std::string name = it->path().filename().string();
        const std::string full = prefix + name;
        std::error_code typeEc;
        const bool isFolder = it->is_directory(typeEc); // follows a link to its target
        if (typeEc) {
            // What it is cannot be told (a loop of links, a link into a closed folder); a
            // link leading nowhere is no failure.
            if (!gone(typeEc) && walk.unreadable)
                walk.unreadable(full);
            continue;
        }
        if (isFolder) {
            // A link into the tree would hide the folder it leads to: that one is walked at
            // its own path, before or after the link is met.
            if (!it->is_symlink(typeEc) || !leadsIntoTree(full, walk.tree))
                walkInto(full, folderHasDot || name.find('.') != std::string::npos, walk);
            continue;
        }
        if (!it->is_regular_file(typeEc))
            continue;
        if (folderHasDot || name.find('.') != std::string::npos)
            walk.visit(full);
    }
}

} // namespace kestrun

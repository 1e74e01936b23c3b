#include "kbm/folder_walk.h"

#include "platform/file_status.h"

#include <filesystem>

namespace kestrun {

namespace fs = std::filesystem;

FolderWalker::FolderWalker(const BackupList& excludes) {
    for (const BackupEntry& entry : excludes)
        excluded_.insert(entry.path);
}

FolderWalker::FolderWalker(const BackupList& excludes, const std::vector<std::string>& skipFolders)
    : FolderWalker(excludes) {
    for (std::string folder : skipFolders) {
        while (folder.size() > 1 && folder.ends_with('/'))
            folder.pop_back();
        if (!folder.empty())
            skipFolders_.push_back(std::move(folder));
    }
}

bool FolderWalker::isSkipFolder(const std::string& folder) const {
    for (const std::string& skip : skipFolders_) {
        std::error_code ec;
        if (folder == skip || fs::equivalent(folder, skip, ec))
            return true;
    }
    return false;
}

void FolderWalker::walk(const std::string& folder, const Visitor& visit) const {
    if (folder.empty())
        return;
    Visited visited;
    walkInto(folder, folder.find('.') != std::string::npos, visited, visit);
}

void FolderWalker::walk(const std::string& folder, std::vector<std::string>& files) const {
    walk(folder, [&files](const std::string& file) { files.push_back(file); });
}

void FolderWalker::walkInto(const std::string& folder, bool folderHasDot, Visited& visited,
                            const Visitor& visit) const {
    if (excluded_.contains(folder) || isSkipFolder(folder))
        return;
    const auto status = fileStatus(folder);
    if (!status || !visited.insert({status->device, status->inode}).second)
        return;
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec)
        return;
    const std::string prefix = folder.ends_with('/') ? folder : folder + '/';
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const std::string name = it->path().filename().string();
        const std::string full = prefix + name;
        std::error_code typeEc;
        if (it->is_directory(typeEc)) { // follows a link to its target
            walkInto(full, folderHasDot || name.find('.') != std::string::npos, visited, visit);
            continue;
        }
        if (!it->is_regular_file(typeEc))
            continue;
        if (folderHasDot || name.find('.') != std::string::npos)
            visit(full);
    }
}

} // namespace kestrun

#pragma once

#include "common/backup_list.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace kestrun {

// Collects the files below a folder, depth first in the order the directory listing gives.
// A folder (the start folder or any subfolder) whose full path equals an exclude entry's path
// byte for byte is skipped with everything in it. A file is taken only when its full path
// holds a "." somewhere. Only regular files (or links to them) are taken; links to folders are
// not followed, so a walk always ends. Unreadable folders contribute nothing, and so does an
// empty start folder. The skip folders are recognised by identity, however their path is
// spelled (".", "..", links).
class FolderWalker {
public:
    explicit FolderWalker(const BackupList& excludes);
    // Also skips these folders (compared after dropping a trailing "/").
    FolderWalker(const BackupList& excludes, const std::vector<std::string>& skipFolders);

    void walk(const std::string& folder, std::vector<std::string>& files) const;

private:
    void walkInto(const std::string& folder, bool folderHasDot,
                  std::vector<std::string>& files) const;

    bool isSkipFolder(const std::string& folder) const;

    std::unordered_set<std::string> excluded_;
    std::vector<std::string> skipFolders_;
};

} // namespace kestrun

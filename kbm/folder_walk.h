#pragma once

#include "common/backup_list.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kestrun {

// Collects the files below a folder, depth first in the order the directory listing gives.
// A folder (the start folder or any subfolder) whose full path equals an exclude entry's path
// is skipped with everything in it: letter for letter, in the same letter case on every system
// (only "\" and "/" count as one separator on Windows). A file is taken only when its full
// path holds a "." somewhere. A link to a file is taken as that file. A link to a folder inside
// the walked tree is not followed: that folder is walked at its own path, never hidden behind
// another name. A link to a folder outside the tree is walked under the link's name; each real
// folder (device and inode) is walked at most once per walk, so a link loop still ends. A
// folder that cannot be read contributes nothing and is reported, and so does an empty start
// folder (without a report). The skip folders are recognised by identity, however their path
// is spelled (".", "..", links).
class FolderWalker {
public:
    explicit FolderWalker(const BackupList& excludes);
    // Also skips these folders (compared after dropping a trailing separator).
    FolderWalker(const BackupList& excludes, const std::vector<std::string>& skipFolders);

    // Calls the visitor with each file's full path as the walk finds it, and `unreadable` with
    // each folder that is there but cannot be listed or reached, and each entry whose kind
    // cannot be told (a start folder that is missing or no folder, a folder that went while it
    // was walked and a link leading nowhere are not reported).
    using Visitor = std::function<void(const std::string&)>;
    void walk(const std::string& folder, const Visitor& visit,
              const Visitor& unreadable = {}) const;
    // Appends the files to the list.
    void walk(const std::string& folder, std::vector<std::string>& files) const;

private:
    struct Walk {
        std::set<std::pair<std::uint64_t, std::uint64_t>> visited;
        std::string tree; // the start folder without links, "" when unknown
        const Visitor& visit;
        const Visitor& unreadable;
    };

    void walkInto(const std::string& folder, bool folderHasDot, Walk& walk) const;

    bool isSkipFolder(const std::string& folder) const;

    std::unordered_set<std::string> excluded_;
    std::vector<std::string> skipFolders_;
};

} // namespace kestrun

#pragma once

#include "platform/file_status.h"
#include "platform/regular_file.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// An open folder. Names below it are single components (no "/", never "." or "..") reached
// without following a link, so nothing is read, written or deleted through a link that lies
// below the folder, and a folder swapped for a link after it was opened makes no difference.
// The folder itself may have been reached through links (a backup disk mounted by a link).
class FolderHandle {
public:
    FolderHandle() = default;

    // Opens a folder by its path, links in the path followed. Invalid when it is no folder.
    static FolderHandle open(const std::filesystem::path& folder);

    explicit operator bool() const { return static_cast<bool>(fd_); }
    const FileDescriptor& descriptor() const { return fd_; }

    // The status of an entry as it is (a link is a link); nullopt when it is missing.
    std::optional<FileStatus> entryStatus(const std::string& name) const;

    // A subfolder; invalid when it is missing, a link or no folder.
    FolderHandle child(const std::string& name) const;

    // The subfolder, made with exactly these permission bits when it is missing (it is
    // private while it is being made). Invalid when it cannot be made or something else (a
    // link, a file) stands in its place. `created` tells whether it was made now.
    FolderHandle childCreating(const std::string& name, unsigned permissions,
                               bool* created = nullptr) const;

    // A new regular file under a name that is free (never an existing file or link), made with
    // the mode bits less the umask.
    FileDescriptor createFile(const std::string& name, unsigned mode) const;

    // A regular file below the folder opened for writing, what it holds kept, or made with the
    // mode bits (less the umask) when it is missing. Invalid when a link, a folder or anything
    // but a regular file is in its place: nothing is written through a link.
    FileDescriptor openFileForUpdate(const std::string& name, unsigned mode) const;

    // Removes an entry that is not a folder; a link goes as a link, its target stays.
    bool removeFile(const std::string& name) const;
    // Removes an empty subfolder.
    bool removeFolder(const std::string& name) const;
    // Renames an entry within the folder, replacing what the new name held (a link is replaced
    // itself, never written through).
    bool rename(const std::string& from, const std::string& to) const;

    // Moves an entry (a folder with all it holds) into another open folder on the same file
    // system, only when the new name is free there.
    bool moveTo(const std::string& from, const FolderHandle& target, const std::string& to) const;

    // The names in the folder without "." and ".."; nullopt when it cannot be listed.
    std::optional<std::vector<std::string>> names() const;

private:
    explicit FolderHandle(FileDescriptor fd) : fd_(std::move(fd)) {}

    FileDescriptor fd_;
};

} // namespace kestrun

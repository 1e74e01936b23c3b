#pragma once

#include "platform/regular_file.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestrun {

// How a file the programs make in a folder is shared. A folder its group may write (and others
// may not) is shared by that group, as an installation folder of several users is: what is
// made there belongs to the folder's group, and the group may do with it what its owner may
// (a log 0660, a program 0775, a folder 2770). In any other folder a new file keeps exactly
// the private mode its writer asks for.
struct NewFileMode {
    unsigned permissions = 0600;
    std::optional<std::uint32_t> group; // set when the folder is shared: the group to give
};

// Whether the folder (links followed) is shared by its group as described above.
bool isGroupShared(const std::filesystem::path& folder);

// Whether users this user does not share the folder with may change what lies in it: anyone
// may write it, another user than this one or root owns it, its group may write it and this
// user is not in that group, or an entry of its access list lets another user or such a group
// write it; for root, a folder of another user's or one its group may write (root shares with
// nobody).
bool othersMayChange(const std::filesystem::path& folder);

// Whether such users may change a file, or put another in its place through its folder's
// trust: true unless it is a regular file (not a link) of this user's or root's, or one that a
// member made in a folder its group shares, and no one else may write it, by its mode or by
// its access list.
bool othersMayChangeFile(const std::filesystem::path& file);

// The same for a file that is read through a link as well (a list, a program): a link of this
// user's or root's is judged by the file it leads to and by that file's folder. A file that is
// missing, or no regular file (which is never read), is nothing anyone changed.
bool othersMayChangeTarget(const std::filesystem::path& file);

// The mode for a new file in the folder, from the mode its writer would give it privately.
NewFileMode newFileModeIn(const std::filesystem::path& folder, unsigned privateMode);
// The same for a new subfolder: in a shared folder it is also setgid, so the files made in it
// belong to the group as well.
NewFileMode newFolderModeIn(const std::filesystem::path& folder, unsigned privateMode);

// Gives an open file (or folder) the mode exactly, whatever the umask. When the folder's group
// cannot be given, the group bits are cleared instead, so no other group gains access.
bool applyNewFileMode(const FileDescriptor& fd, const NewFileMode& mode);

// For a file already there: when it is this user's own, lies in a shared folder and its group
// lacks what its owner may do, the group gets it (a log made before the folder was shared).
void shareOwnFileIn(const FileDescriptor& fd, const std::filesystem::path& folder);

} // namespace kestrun

#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>

namespace kestrun::posix {

// Access bits as the mode and the POSIX access lists give them.
inline constexpr unsigned kMayRead = 4;
inline constexpr unsigned kMayWrite = 2;

// Whether this user belongs to the group; false when the groups cannot be read.
bool inGroup(gid_t group);

// The group of a folder its group may write and others may not (links followed); nullopt for
// any other.
std::optional<gid_t> sharingGroup(const std::filesystem::path& folder);

// Where the access list of a file or folder is read from: its open descriptor, or its path
// with or without following a link in its own place.
struct AclSource {
    int fd = -1;
    const char* path = nullptr;
    bool followLink = false;
};

// The access (kMayRead, kMayWrite) that users outside this user's trust have to a file or
// folder through its mode bits and its POSIX access list: the other bits; the owning group's
// when this user is not in it; an entry naming another user than this one and root, or a group
// this user is not in, with the access the list's mask leaves it. Root trusts no other user
// and no group. `alsoTrusted` is a group trusted all the same (the group that shares a folder,
// for what belongs to all its users). A list that cannot be read, or that makes no sense,
// grants everything. The owner is not weighed here.
unsigned outsiderAccess(const struct stat& st, const AclSource& acl,
                        std::optional<gid_t> alsoTrusted = std::nullopt);

// Whether the owner of a file is outside this user's trust: another user than this one and
// root, unless the file belongs to the group that shares its folder and this user is in it
// (not being root), as a member's file in an installation folder does. With `folderUsers` any
// member's file there counts, whoever this user is: what the folder's users share.
bool ownerOutside(const struct stat& st, const std::filesystem::path& folder,
                  bool folderUsers = false);

} // namespace kestrun::posix

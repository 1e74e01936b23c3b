#include "platform/shared_folder.h"

#include <algorithm>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

namespace {

// The group of a folder its group may write and others may not; nullopt for any other.
std::optional<std::uint32_t> sharingGroup(const std::filesystem::path& folder) {
    struct stat st {};
    const std::filesystem::path at = folder.empty() ? std::filesystem::path(".") : folder;
    if (::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    if ((st.st_mode & S_IWGRP) == 0 || (st.st_mode & S_IWOTH) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(st.st_gid);
}

// Whether this user belongs to the group; false when the groups cannot be read.
bool inGroup(gid_t group) {
    if (group == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) != count)
        return false;
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// The owner's bits repeated for the group.
unsigned withGroupLikeOwner(unsigned mode) {
    return mode | ((mode & 0700u) >> 3);
}

} // namespace

bool isGroupShared(const std::filesystem::path& folder) {
    return sharingGroup(folder).has_value();
}

bool othersMayChange(const std::filesystem::path& folder) {
    struct stat st {};
    const std::filesystem::path at = folder.empty() ? std::filesystem::path(".") : folder;
    if (::stat(at.c_str(), &st) != 0)
        return false; // a missing folder holds nothing to change
    const uid_t self = ::geteuid();
    if ((st.st_mode & S_IWOTH) != 0)
        return true; // even with the sticky bit, anyone may add a list that is missing
    if (self == 0)
        return st.st_uid != 0 || (st.st_mode & S_IWGRP) != 0;
    // Its owner may give anyone the right to write it at any time.
    if (st.st_uid != self && st.st_uid != 0)
        return true;
    return (st.st_mode & S_IWGRP) != 0 && !inGroup(st.st_gid);
}

bool othersMayChangeFile(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    const uid_t self = ::geteuid();
    if (st.st_uid != self && st.st_uid != 0) {
        const auto group = sharingGroup(file.parent_path());
        if (self == 0 || !group || *group != st.st_gid || !inGroup(st.st_gid))
            return true;
    }
    if ((st.st_mode & S_IWOTH) != 0)
        return true;
    if ((st.st_mode & S_IWGRP) != 0)
        return self == 0 || !inGroup(st.st_gid);
    return false;
}

NewFileMode newFileModeIn(const std::filesystem::path& folder, unsigned privateMode) {
    const auto group = sharingGroup(folder);
    if (!group)
        return {privateMode & 07777u, std::nullopt};
    return {withGroupLikeOwner(privateMode & 07777u), group};
}

NewFileMode newFolderModeIn(const std::filesystem::path& folder, unsigned privateMode) {
    NewFileMode mode = newFileModeIn(folder, privateMode);
    if (mode.group)
        mode.permissions |= S_ISGID;
    return mode;
}

bool applyNewFileMode(const FileDescriptor& fd, const NewFileMode& mode) {
    if (!fd)
        return false;
    return mode.group ? setGroupAndPermissions(fd, mode.group, mode.permissions)
                      : setPermissions(fd, mode.permissions);
}

void shareOwnFileIn(const FileDescriptor& fd, const std::filesystem::path& folder) {
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid())
        return;
    const unsigned current = st.st_mode & 07777u;
    if (withGroupLikeOwner(current) == current)
        return;
    // Only a file that already belongs to the folder's group: giving it that group could take
    // access from the group it has.
    const NewFileMode mode = newFileModeIn(folder, current);
    if (mode.group && *mode.group == static_cast<std::uint32_t>(st.st_gid))
        applyNewFileMode(fd, mode);
}

} // namespace kestrun

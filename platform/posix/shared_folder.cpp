#include "platform/shared_folder.h"

#include "platform/posix/file_trust.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

namespace {

using posix::inGroup;
using posix::sharingGroup;

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
    // Its owner may give anyone the right to write it at any time.
    if (st.st_uid != self && st.st_uid != 0)
        return true;
    // Even with the sticky bit, anyone who may write it may add a list that is missing; an
    // access list may let users in whom the mode keeps out.
    return (posix::outsiderAccess(st, {-1, at.c_str(), true}) & posix::kMayWrite) != 0;
}

bool othersMayChangeFile(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    return posix::ownerOutside(st, file.parent_path()) ||
           (posix::outsiderAccess(st, {-1, file.c_str(), false}) & posix::kMayWrite) != 0;
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

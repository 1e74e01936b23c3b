#include "platform/shared_folder.h"

#include "platform/win32/win32_util.h"

#include <aclapi.h>

namespace kestrun {

namespace fs = std::filesystem;
using win32::Handle;

namespace {

// Whether the access rules of an open file or folder let anyone but this user, the
// administrators and the system change it (write a file, add or delete in a folder, or change
// the rules themselves). A missing rule list lets everyone; deny rules are not weighed, so
// the answer errs on the side of caution.
bool othersMayWrite(HANDLE handle, bool folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    const DWORD changing = WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                           (folder ? FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD
                                   : FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE);
    bool others = dacl == nullptr;
    for (DWORD i = 0; !others && dacl && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
            continue;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        others = (allowed->Mask & changing) != 0 && !win32::isSelfOrSystem(sid);
    }
    ::LocalFree(descriptor);
    return others;
}

} // namespace

// Windows shares folders through their inherited access rules, not through a group owner:
// a file made in any folder takes the folder's rules, so no folder counts as group-shared and
// new files keep the private mode their writers ask for.
bool isGroupShared(const fs::path&) {
    return false;
}

bool othersMayChange(const fs::path& folder) {
    const Handle handle =
        win32::openPath(folder.empty() ? fs::path(".") : folder, READ_CONTROL, OPEN_EXISTING);
    if (!handle)
        return false; // a missing folder holds nothing to change
    return othersMayWrite(handle.get(), true);
}

bool othersMayChangeFile(const fs::path& file) {
    const Handle handle =
        win32::openPath(file, READ_CONTROL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    const auto status = handle ? win32::statusOf(handle.get()) : std::nullopt;
    if (!status || !status->isRegular)
        return true;
    return win32::ownedByOthers(handle.get()) || othersMayWrite(handle.get(), false);
}

NewFileMode newFileModeIn(const fs::path&, unsigned privateMode) {
    return {privateMode & 07777u, std::nullopt};
}

NewFileMode newFolderModeIn(const fs::path&, unsigned privateMode) {
    return {privateMode & 07777u, std::nullopt};
}

bool applyNewFileMode(const FileDescriptor& fd, const NewFileMode& mode) {
    return fd && setPermissions(fd, mode.permissions);
}

void shareOwnFileIn(const FileDescriptor&, const fs::path&) {}

} // namespace kestrun

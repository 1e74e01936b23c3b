#include "platform/folder_handle.h"

#include "platform/win32/win32_util.h"

namespace kestrun {

namespace fs = std::filesystem;
using win32::Handle;

namespace {

bool isComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string::npos && !win32::isDeviceName(name);
}

// The open folder's path as it is named now, and an entry's below it. The folder is held open
// with every share mode, so it may be renamed meanwhile: its path is asked for each time.
std::optional<fs::path> entryPath(const FileDescriptor& folder, const std::string& name) {
    if (!folder || !isComponent(name))
        return std::nullopt;
    auto path = win32::pathOf(win32::osHandle(folder));
    if (!path)
        return std::nullopt;
    return *path / fs::path(win32::widen(name));
}

// Opens an entry itself: a link is opened as the link, never followed.
Handle openEntry(const fs::path& path, DWORD access) {
    return win32::openPath(path, access, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
}

} // namespace

FolderHandle FolderHandle::open(const fs::path& folder) {
    if (folder.empty())
        return {};
    Handle handle = win32::openPath(folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, OPEN_EXISTING);
    const auto status = handle ? win32::statusOf(handle.get()) : std::nullopt;
    if (!status || !status->isFolder)
        return {};
    return FolderHandle(win32::adoptHandle(std::move(handle)));
}

std::optional<FileStatus> FolderHandle::entryStatus(const std::string& name) const {
    const auto path = entryPath(fd_, name);
    if (!path)
        return std::nullopt;
    const Handle handle = openEntry(*path, 0);
    return handle ? win32::statusOf(handle.get()) : std::nullopt;
}

FolderHandle FolderHandle::child(const std::string& name) const {
    const auto path = entryPath(fd_, name);
    if (!path)
        return {};
    Handle handle = openEntry(*path, FILE_LIST_DIRECTORY | SYNCHRONIZE);
    const auto status = handle ? win32::statusOf(handle.get()) : std::nullopt;
    if (!status || !status->isFolder || status->isLink)
        return {};
    return FolderHandle(win32::adoptHandle(std::move(handle)));
}

FolderHandle FolderHandle::childCreating(const std::string& name, unsigned /*permissions*/,
                                         bool* created) const {
    if (created)
        *created = false;
    const auto path = entryPath(fd_, name);
    if (!path)
        return {};
    // The new folder takes the access rules its parent hands down.
    const bool made = ::CreateDirectoryW(path->c_str(), nullptr) != 0;
    if (!made && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return {};
    FolderHandle folder = child(name);
    if (folder && made && created)
        *created = true;
    return folder;
}

FileDescriptor FolderHandle::createFile(const std::string& name, unsigned mode) const {
    const auto path = entryPath(fd_, name);
    if (!path)
        return {};
    FileDescriptor fd = createNewRegularFile(*path, mode);
    if (fd && (mode & 0200u) == 0)
        setPermissions(fd, mode);
    return fd;
}

FileDescriptor FolderHandle::openFileForUpdate(const std::string& name, unsigned mode) const {
    const auto path = entryPath(fd_, name);
    return path ? openRegularForUpdate(*path, mode) : FileDescriptor();
}

bool FolderHandle::removeFile(const std::string& name) const {
    const auto path = entryPath(fd_, name);
    const auto status = path ? entryStatus(name) : std::nullopt;
    if (!status)
        return false;
    // A link to a folder is a folder entry on Windows; it goes as a link all the same.
    if (status->isFolder)
        return status->isLink && ::RemoveDirectoryW(path->c_str());
    if (::DeleteFileW(path->c_str()))
        return true;
    // A read-only file can be deleted on POSIX systems by whoever may write its folder.
    const DWORD attributes = ::GetFileAttributesW(path->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
           ::SetFileAttributesW(path->c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) &&
           ::DeleteFileW(path->c_str());
}

bool FolderHandle::removeFolder(const std::string& name) const {
    const auto path = entryPath(fd_, name);
    const auto status = path ? entryStatus(name) : std::nullopt;
    return status && status->isFolder && !status->isLink && ::RemoveDirectoryW(path->c_str());
}

bool FolderHandle::rename(const std::string& from, const std::string& to) const {
    const auto source = entryPath(fd_, from);
    const auto target = entryPath(fd_, to);
    // Written through: the new name is on the disk when the call returns.
    return source && target &&
           ::MoveFileExW(source->c_str(), target->c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool FolderHandle::moveTo(const std::string& from, const FolderHandle& target,
                          const std::string& to) const {
    const auto source = entryPath(fd_, from);
    const auto destination = entryPath(target.fd_, to);
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the new name is taken.
    return source && destination && ::MoveFileExW(source->c_str(), destination->c_str(), 0) != 0;
}

std::optional<std::vector<std::string>> FolderHandle::names() const {
    if (!fd_)
        return std::nullopt;
    const auto folder = win32::pathOf(win32::osHandle(fd_));
    if (!folder)
        return std::nullopt;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileExW((*folder / L"*").c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND
                   ? std::optional<std::vector<std::string>>(std::vector<std::string>{})
                   : std::nullopt;
    std::vector<std::string> names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(win32::narrow(name));
    } while (::FindNextFileW(search, &found));
    const bool complete = ::GetLastError() == ERROR_NO_MORE_FILES;
    ::FindClose(search);
    if (!complete)
        return std::nullopt;
    return names;
}

} // namespace kestrun

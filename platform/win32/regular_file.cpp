#include "platform/regular_file.h"

#include "platform/win32/win32_util.h"

#include <io.h>

namespace kestrun {

namespace fs = std::filesystem;
using win32::Handle;
using win32::osHandle;

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::_close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::_close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

// Opens a path and keeps it only when it is a regular file on a disk: a folder, a device or a
// pipe is refused (a device name is never opened at all). With noLink, a link in the file's own
// place is refused as well.
FileDescriptor openRegular(const fs::path& file, DWORD access, DWORD disposition, bool noLink) {
    Handle handle =
        win32::openPath(file, access, disposition, noLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    if (!handle)
        return {};
    const auto status = win32::statusOf(handle.get());
    if (!status || !status->isRegular)
        return {};
    return win32::adoptHandle(std::move(handle));
}

bool isLinkPlace(const fs::path& place, Handle* opened = nullptr) {
    Handle handle = win32::openPath(place, READ_CONTROL | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT);
    const auto status = handle ? win32::statusOf(handle.get()) : std::nullopt;
    const bool link = status && status->isLink;
    if (opened)
        *opened = std::move(handle);
    return link;
}

} // namespace

FileDescriptor openRegularForReading(const fs::path& file) {
    return openRegular(file, GENERIC_READ, OPEN_EXISTING, false);
}

FileDescriptor openRegularForReadingNoLink(const fs::path& file) {
    return openRegular(file, GENERIC_READ, OPEN_EXISTING, true);
}

bool isOthersLink(const fs::path& place) {
    Handle link;
    return isLinkPlace(place, &link) && win32::ownedByOthers(link.get());
}

FileDescriptor openRegularForAppend(const fs::path& file, unsigned /*createMode*/, bool* created) {
    if (created)
        *created = false;
    // A link is followed only when it is this user's own; a missing file is made new, never
    // through a link.
    Handle link;
    if (isLinkPlace(file, &link)) {
        if (win32::ownedByOthers(link.get()))
            return {};
        return openRegular(file, FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                           OPEN_EXISTING, false);
    }
    // Append access alone puts every write at the end, also against other processes.
    FileDescriptor fd =
        openRegular(file, FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, CREATE_NEW, true);
    if (fd) {
        if (created)
            *created = true;
        return fd;
    }
    return openRegular(file, FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, OPEN_EXISTING,
                       true);
}

FileDescriptor openRegularForRewrite(const fs::path& file, unsigned /*createMode*/) {
    FileDescriptor fd = openRegular(file, GENERIC_WRITE, OPEN_ALWAYS, true);
    if (fd && !::SetEndOfFile(osHandle(fd)))
        return {};
    return fd;
}

FileDescriptor openRegularForUpdate(const fs::path& file, unsigned /*createMode*/) {
    return openRegular(file, GENERIC_WRITE, OPEN_ALWAYS, true);
}

bool isOwnRegularFile(const fs::path& place) {
    Handle handle = win32::openPath(place, READ_CONTROL | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT);
    const auto status = handle ? win32::statusOf(handle.get()) : std::nullopt;
    return status && status->isRegular && !status->isLink && !win32::ownedByOthers(handle.get());
}

FileDescriptor createNewRegularFile(const fs::path& file, unsigned /*createMode*/) {
    // CREATE_NEW fails on any name in use, a link or a dangling link included.
    return openRegular(file, GENERIC_WRITE, CREATE_NEW, true);
}

long readSome(const FileDescriptor& fd, char* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(osHandle(fd), buffer, want, &got, nullptr))
        return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<long>(got);
}

bool writeAll(const FileDescriptor& fd, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD done = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(osHandle(fd), bytes.data(), want, &done, nullptr) || done == 0)
            return false;
        bytes.remove_prefix(done);
    }
    return true;
}

// A folder is open for listing only, which Windows refuses to flush, and needs no flush: the
// file system journals its entries, and a rename in it is written through (FolderHandle).
bool syncToDisk(const FileDescriptor& fd) {
    const HANDLE handle = osHandle(fd);
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return true;
    return ::FlushFileBuffers(handle) != 0;
}

bool closeFile(FileDescriptor& fd) {
    return fd && ::_close(fd.release()) == 0;
}

bool setFileSize(const FileDescriptor& fd, std::int64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return ::SetFileInformationByHandle(osHandle(fd), FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Windows keeps no permission bits: a file without the owner's write bit is marked read-only,
// any other has the mark taken away. Folders keep their attributes.
bool setPermissions(const FileDescriptor& fd, unsigned permissions) {
    const HANDLE handle = osHandle(fd);
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return true;
    DWORD attributes = basic.FileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
    if ((permissions & 0200u) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (attributes == basic.FileAttributes)
        return true;
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    // Zero times are left as they are.
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    return ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Files have no group owner on Windows: their access follows the folder's inherited rules.
std::optional<std::uint32_t> groupOwner(const FileDescriptor&) {
    return std::nullopt;
}

std::optional<std::uint32_t> groupOwner(const fs::path&) {
    return std::nullopt;
}

bool setGroupAndPermissions(const FileDescriptor& fd, std::optional<std::uint32_t>,
                            unsigned permissions) {
    return setPermissions(fd, permissions);
}

bool setModifiedTime(const FileDescriptor& fd, std::int64_t second, std::int64_t nanosecond) {
    const FILETIME time = win32::toFileTime(second, nanosecond);
    return ::SetFileTime(osHandle(fd), nullptr, &time, &time) != 0;
}

bool touchModifiedTime(const FileDescriptor& fd) {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return ::SetFileTime(osHandle(fd), nullptr, &now, &now) != 0;
}

} // namespace kestrun

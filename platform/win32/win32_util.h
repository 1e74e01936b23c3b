#pragma once

#include "platform/file_status.h"
#include "platform/regular_file.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun::win32 {

// UTF-8, the programs' own text, and UTF-16, the text of the wide Windows calls.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// A kernel handle, closed when the object goes.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : handle_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.release();
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset() {
        if (handle_)
            ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// The Windows handle below a descriptor; INVALID_HANDLE_VALUE for none.
HANDLE osHandle(const FileDescriptor& fd);
// A descriptor that owns the handle from now on (closing it closes the handle).
FileDescriptor adoptHandle(Handle handle);

// Every share mode: others may read, write, rename and delete what we hold open, as on POSIX.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a path for the access given, links followed unless the flags ask otherwise; folders
// open as well (backup semantics). A DOS device name (CON, NUL, COM1...) is never opened.
Handle openPath(const std::filesystem::path& path, DWORD access, DWORD disposition,
                DWORD flags = 0);

// Whether the last component names a DOS device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or
// without an extension): opening it would reach the device, not a file.
bool isDeviceName(const std::filesystem::path& path);

// The status of an open file or folder.
std::optional<FileStatus> statusOf(HANDLE handle);

// Seconds and nanoseconds since the Unix epoch of a FILETIME, and back.
FileTime fromFileTime(const FILETIME& time);
FILETIME toFileTime(std::int64_t second, std::int64_t nanosecond);

// The path of an open file or folder as the system names it now (a "\\?\" path).
std::optional<std::filesystem::path> pathOf(HANDLE handle);

// Whether the owner of an open file is someone other than this user, the administrators and
// the system (the Windows counterparts of root); false when the owner cannot be read.
bool ownedByOthers(HANDLE handle);

// Whether the security identifier names this user, the administrators or the system.
bool isSelfOrSystem(PSID sid);

// The user this process runs as; null when its token cannot be read.
PSID currentUser();

// Whether the process runs as this very user (its token's user is ours); false when that
// cannot be told, e.g. the process is another user's and may not be opened.
bool runsAsCurrentUser(DWORD processId);
// The same for a process opened with at least PROCESS_QUERY_LIMITED_INFORMATION.
bool runsAsCurrentUser(HANDLE process);

} // namespace kestrun::win32

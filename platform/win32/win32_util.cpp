#include "platform/win32/win32_util.h"

#include "common/text.h"

#include <aclapi.h>
#include <io.h>
#include <sddl.h>

#include <vector>

#include <fcntl.h>

namespace kestrun::win32 {

namespace fs = std::filesystem;

std::wstring widen(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                              size);
    return out;
}

std::string narrow(std::wstring_view utf16) {
    if (utf16.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(),
                              size, nullptr, nullptr);
    return out;
}

HANDLE osHandle(const FileDescriptor& fd) {
    return fd ? reinterpret_cast<HANDLE>(::_get_osfhandle(fd.get())) : INVALID_HANDLE_VALUE;
}

FileDescriptor adoptHandle(Handle handle) {
    if (!handle)
        return {};
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_BINARY);
    if (fd < 0)
        return {};
    handle.release();
    return FileDescriptor(fd);
}

bool isDeviceName(const fs::path& path) {
    std::string name = toLowerAscii(path.filename().string());
    name = name.substr(0, name.find('.'));
    while (!name.empty() && (name.back() == ' ' || name.back() == ':'))
        name.pop_back();
    if (name == "con" || name == "prn" || name == "aux" || name == "nul" || name == "conin$" ||
        name == "conout$")
        return true;
    return name.size() == 4 && (name.rfind("com", 0) == 0 || name.rfind("lpt", 0) == 0) &&
           name[3] >= '0' && name[3] <= '9';
}

Handle openPath(const fs::path& path, DWORD access, DWORD disposition, DWORD flags) {
    if (path.empty() || isDeviceName(path))
        return {};
    return Handle(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                disposition, flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochOffset = 116444736000000000LL;

std::int64_t ticksOf(const LARGE_INTEGER& value) {
    return static_cast<std::int64_t>(value.QuadPart);
}

FileTime fromTicks(std::int64_t ticks) {
    const std::int64_t sinceEpoch = ticks - kEpochOffset;
    std::int64_t second = sinceEpoch / 10000000;
    std::int64_t rest = sinceEpoch % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --second;
    }
    return {second, rest * 100};
}

} // namespace

FileTime fromFileTime(const FILETIME& time) {
    ULARGE_INTEGER v;
    v.LowPart = time.dwLowDateTime;
    v.HighPart = time.dwHighDateTime;
    return fromTicks(static_cast<std::int64_t>(v.QuadPart));
}

FILETIME toFileTime(std::int64_t second, std::int64_t nanosecond) {
    ULARGE_INTEGER v;
    v.QuadPart = static_cast<ULONGLONG>(second * 10000000 + nanosecond / 100 + kEpochOffset);
    FILETIME time;
    time.dwLowDateTime = v.LowPart;
    time.dwHighDateTime = v.HighPart;
    return time;
}

std::optional<FileStatus> statusOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    FileStatus status;
    const DWORD attributes = info.dwFileAttributes;
    status.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    status.isRegular =
        !status.isFolder && !status.isLink && ::GetFileType(handle) == FILE_TYPE_DISK;
    // Read-only takes the write bits; a folder may always be entered.
    status.permissions = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444u : 0666u;
    if (status.isFolder)
        status.permissions |= 0111u;
    status.size =
        static_cast<std::int64_t>((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    const FileTime modified = fromFileTime(info.ftLastWriteTime);
    status.modifiedSecond = modified.second;
    status.modifiedNanosecond = modified.nanosecond;
    // The change time of the file system, which no user can set back; where it is not kept,
    // the modification time stands in.
    FILE_BASIC_INFO basic{};
    const FileTime changed =
        ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
                ticksOf(basic.ChangeTime) != 0
            ? fromTicks(ticksOf(basic.ChangeTime))
            : modified;
    status.changedSecond = changed.second;
    status.changedNanosecond = changed.nanosecond;
    status.device = info.dwVolumeSerialNumber;
    status.inode = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return status;
}

std::optional<fs::path> pathOf(HANDLE handle) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n =
            ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return std::nullopt;
        if (n < buffer.size()) {
            buffer.resize(n);
            return fs::path(buffer);
        }
        buffer.assign(n + 1, L'\0');
    }
    return std::nullopt;
}

namespace {

// The user of a process's token; empty when the token cannot be read.
std::vector<unsigned char> userOf(HANDLE process) {
    std::vector<unsigned char> out;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
        return out;
    const Handle held(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return out;
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    out.assign(static_cast<unsigned char*>(user),
               static_cast<unsigned char*>(user) + ::GetLengthSid(user));
    return out;
}

// The user this process runs as; empty when its token cannot be read.
const std::vector<unsigned char>& currentUserSid() {
    static const std::vector<unsigned char> sid = userOf(::GetCurrentProcess());
    return sid;
}

} // namespace

PSID currentUser() {
    const auto& self = currentUserSid();
    return self.empty() ? nullptr : const_cast<unsigned char*>(self.data());
}

bool runsAsCurrentUser(HANDLE process) {
    std::vector<unsigned char> user = userOf(process);
    return !user.empty() && currentUser() && ::EqualSid(user.data(), currentUser());
}

bool runsAsCurrentUser(DWORD processId) {
    const Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    return process && runsAsCurrentUser(process.get());
}

bool isSelfOrSystem(PSID sid) {
    if (!sid || !::IsValidSid(sid))
        return false;
    const auto& self = currentUserSid();
    if (!self.empty() && ::EqualSid(sid, const_cast<unsigned char*>(self.data())))
        return true;
    return ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinCreatorOwnerSid);
}

bool ownedByOthers(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool others = owner && !isSelfOrSystem(owner);
    ::LocalFree(descriptor);
    return others;
}

} // namespace kestrun::win32

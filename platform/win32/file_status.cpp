#include "platform/file_status.h"

#include "platform/win32/win32_util.h"

namespace kestrun {

namespace fs = std::filesystem;

std::optional<FileStatus> fileStatus(const fs::path& path) {
    const win32::Handle handle = win32::openPath(path, 0, OPEN_EXISTING);
    return handle ? win32::statusOf(handle.get()) : std::nullopt;
}

std::optional<FileStatus> fileStatus(const std::string& path) {
    return fileStatus(fs::path(path));
}

std::optional<FileStatus> fileStatus(const FileDescriptor& fd) {
    return fd ? win32::statusOf(win32::osHandle(fd)) : std::nullopt;
}

// A drive's root, or a folder that a volume is mounted on, is the root of its volume.
std::optional<bool> isMountPoint(const fs::path& folder) {
    const auto status = fileStatus(folder);
    if (!status || !status->isFolder)
        return std::nullopt;
    std::error_code ec;
    fs::path full = fs::absolute(folder, ec);
    if (ec)
        return std::nullopt;
    wchar_t volume[MAX_PATH + 1];
    if (!::GetVolumePathNameW(full.c_str(), volume, MAX_PATH))
        return std::nullopt;
    const auto withoutSeparator = [](std::wstring p) {
        while (p.size() > 3 && (p.back() == L'\\' || p.back() == L'/'))
            p.pop_back();
        return p;
    };
    return _wcsicmp(withoutSeparator(volume).c_str(),
                    withoutSeparator(full.make_preferred().wstring()).c_str()) == 0;
}

} // namespace kestrun

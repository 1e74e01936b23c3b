#include "platform/version_resource.h"

#include <windows.h>

#include <vector>

namespace kestrun {

std::optional<FileVersion> systemFileVersion(const std::filesystem::path& program) {
    DWORD unused = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(program.c_str(), &unused);
    if (size == 0)
        return std::nullopt;
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(program.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        !fixed || length < sizeof *fixed || fixed->dwSignature != VS_FFI_SIGNATURE)
        return std::nullopt;
    FileVersion version;
    version.parts = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                     HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
    return version;
}

} // namespace kestrun

#include "platform/program_paths.h"

#include "common/text.h"
#include "platform/win32/win32_util.h"

#include <cstdlib>
#include <string_view>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// What Windows runs by itself: the suffixes of PATHEXT's usual value.
bool isExecutableName(const fs::path& p) {
    const std::string suffix = toLowerAscii(p.extension().string());
    return suffix == ".exe" || suffix == ".com" || suffix == ".bat" || suffix == ".cmd";
}

bool isWantedFile(const fs::path& p, bool executableOnly) {
    std::error_code ec;
    return !win32::isDeviceName(p) && fs::is_regular_file(p, ec) &&
           (!executableOnly || isExecutableName(p));
}

// A bare name is found as given, else with ".exe" added, as the shell looks it up.
std::optional<fs::path> wanted(const fs::path& dir, const std::string& name, bool executableOnly) {
    const fs::path plain = dir / fs::path(win32::widen(name));
    if (isWantedFile(plain, executableOnly))
        return plain;
    fs::path withExe = plain;
    withExe += L".exe";
    if (executableOnly && !isExecutableName(plain) && isWantedFile(withExe, true))
        return withExe;
    return std::nullopt;
}

} // namespace

fs::path currentExecutableDir() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            std::error_code ec;
            return fs::current_path(ec);
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            return fs::path(buffer).parent_path();
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<fs::path> locateFile(const std::string& name, const fs::path& folder,
                                   const fs::path& besideFolder, bool executableOnly) {
    for (const fs::path& dir : {folder, besideFolder})
        if (auto found = wanted(dir, name, executableOnly))
            return found;
    const wchar_t* path = _wgetenv(L"PATH");
    const std::string all = path ? win32::narrow(path) : std::string();
    std::string_view rest = all;
    while (!rest.empty()) {
        const auto semicolon = rest.find(';');
        const std::string_view dir = rest.substr(0, semicolon);
        if (!dir.empty())
            if (auto found = wanted(fs::path(win32::widen(dir)), name, executableOnly))
                return found;
        if (semicolon == std::string_view::npos)
            break;
        rest.remove_prefix(semicolon + 1);
    }
    return std::nullopt;
}

} // namespace kestrun

#include "platform/data_folder.h"

#include "platform/win32/win32_util.h"

#include <shlobj.h>

#include <cstdlib>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::path absoluteEnv(const char* name) {
    const wchar_t* value = _wgetenv(win32::widen(name).c_str());
    if (!value || !*value)
        return {};
    fs::path path(value);
    return path.is_absolute() ? path : fs::path();
}

fs::path knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    fs::path out;
    if (::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path) == S_OK && path)
        out = path;
    ::CoTaskMemFree(path);
    return out;
}

} // namespace

// The profile folder the system keeps for the user, whatever the environment says.
fs::path passwordDatabaseHome() {
    return knownFolder(FOLDERID_Profile);
}

fs::path userHomeFolder() {
    if (fs::path home = absoluteEnv("USERPROFILE"); !home.empty())
        return home;
    return passwordDatabaseHome();
}

fs::path xdgFolder(const char* variable) {
    return absoluteEnv(variable);
}

fs::path userDataFolder() {
    if (const wchar_t* appData = _wgetenv(L"APPDATA"); appData && *appData)
        return appData;
    return knownFolder(FOLDERID_RoamingAppData);
}

// Below the profile a new folder takes the profile's rules: the user's own, and the system's.
bool createPrivateFolders(const fs::path& folder) {
    if (folder.empty())
        return false;
    std::error_code ec;
    fs::create_directories(folder, ec);
    return fs::is_directory(folder, ec);
}

} // namespace kestrun

#include "platform/data_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::path absoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value)
        return {};
    fs::path path(value);
    return path.is_absolute() ? path : fs::path();
}

} // namespace

fs::path passwordDatabaseHome() {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return pw->pw_dir;
    return {};
}

fs::path userHomeFolder() {
    if (fs::path home = absoluteEnv("HOME"); !home.empty())
        return home;
    return passwordDatabaseHome();
}

fs::path xdgFolder(const char* variable) {
    return absoluteEnv(variable);
}

fs::path userDataFolder() {
    if (const char* appData = std::getenv("APPDATA"); appData && *appData)
        return appData;
    if (fs::path xdg = xdgFolder("XDG_DATA_HOME"); !xdg.empty())
        return xdg;
    if (fs::path home = userHomeFolder(); !home.empty())
        return home / ".local" / "share";
    return {};
}

bool createPrivateFolders(const fs::path& folder) {
    if (folder.empty())
        return false;
    fs::path path;
    for (const fs::path& part : folder) {
        path /= part;
        if (part.empty() || part == "/" || part == "." || part == "..")
            continue;
        ::mkdir(path.c_str(), 0700); // an existing folder (or any failure) shows below
    }
    std::error_code ec;
    return fs::is_directory(folder, ec);
}

} // namespace kestrun

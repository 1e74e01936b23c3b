#include "platform/data_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrun {

namespace {

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

} // namespace

std::filesystem::path userDataFolder() {
    if (const char* appData = nonEmptyEnv("APPDATA"))
        return appData;
    if (const char* xdg = nonEmptyEnv("XDG_DATA_HOME"))
        return xdg;
    if (const char* home = nonEmptyEnv("HOME"))
        return std::filesystem::path(home) / ".local" / "share";
    // Without HOME, the user's home folder from the password database; never a shared folder.
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return std::filesystem::path(pw->pw_dir) / ".local" / "share";
    return {};
}

} // namespace kestrun

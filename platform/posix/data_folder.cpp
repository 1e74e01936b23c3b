#include "platform/data_folder.h"

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
    const char* home = nonEmptyEnv("HOME");
    return std::filesystem::path(home ? home : "/tmp") / ".local" / "share";
}

} // namespace kestrun

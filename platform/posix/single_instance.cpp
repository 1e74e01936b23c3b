#include "platform/single_instance.h"

#include "platform/data_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// A folder of this user that no one else may write: a lock file in it cannot be planted,
// replaced or linked elsewhere by another user.
bool isPrivateFolder(const fs::path& folder) {
    struct stat st {};
    return !folder.empty() && folder.is_absolute() && ::stat(folder.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

std::vector<fs::path>
SingleInstanceLock::lockFolders(const std::optional<std::string>& runtimeVariable,
                                const fs::path& userRuntimeFolder,
                                const fs::path& homeCacheFolder) {
    std::vector<fs::path> folders;
    if (runtimeVariable && isPrivateFolder(*runtimeVariable))
        folders.emplace_back(*runtimeVariable);
    if (isPrivateFolder(userRuntimeFolder))
        folders.push_back(userRuntimeFolder);
    if (!homeCacheFolder.empty())
        folders.push_back(homeCacheFolder);
    return folders;
}

std::vector<fs::path> SingleInstanceLock::lockFolders() {
    std::optional<std::string> runtime;
    if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value && *value)
        runtime = value;
    const fs::path home = passwordDatabaseHome();
    return lockFolders(runtime, fs::path("/run/user") / std::to_string(::getuid()),
                       home.empty() ? fs::path() : home / ".cache" / "kestrun");
}

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : SingleInstanceLock(name, lockFolders()) {}

SingleInstanceLock::SingleInstanceLock(const std::string& name,
                                       const std::vector<fs::path>& folders) {
    for (const fs::path& folder : folders) {
        std::error_code ec;
        // The home cache folder is made on first use, private from the start.
        if (!fs::exists(folder, ec) && fs::create_directories(folder, ec))
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
        if (!isPrivateFolder(folder))
            continue;
        const fs::path file = folder / (name + ".lock");
        auto lock = std::make_unique<FileLock>(file);
        if (lock->state() != FileLock::State::Unavailable) {
            busy_ = lock->state() == FileLock::State::Busy;
            lock_ = std::move(lock);
            file_ = file;
            return;
        }
    }
}

} // namespace kestrun

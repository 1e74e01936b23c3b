#include "platform/settings_backend.h"

#include "platform/data_folder.h"
#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

namespace fs = std::filesystem;

fs::path IniSettingsStore::defaultFile() {
    fs::path base = xdgFolder("XDG_CONFIG_HOME");
    if (base.empty()) {
        const fs::path home = userHomeFolder();
        if (home.empty())
            return {};
        base = home / ".config";
    }
    return base / "Tavisoft" / "Kestrun.conf";
}

std::unique_ptr<IniSettingsStore::Impl> makeSettings(const fs::path& place) {
    return makeIniFileSettings(place);
}

bool writePrivateFile(const fs::path& file, const std::string& text) {
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        target = fs::weakly_canonical(file, ec);
        if (ec)
            return false;
    }
    fs::create_directories(target.parent_path(), ec);
    std::string temp =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    // mkostemp creates the file with mode 0600 before a byte is written.
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd)
        return false;
    const bool written = setPermissions(fd, S_IRUSR | S_IWUSR) && writeAll(fd, text) &&
                         syncToDisk(fd) && ::close(fd.release()) == 0;
    if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace kestrun

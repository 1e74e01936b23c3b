#pragma once

#include <filesystem>

namespace kestrun {

// The user's home folder: $HOME when it names an absolute path, else the home folder of the
// password database. Empty when neither names one; never a shared folder such as /tmp.
std::filesystem::path userHomeFolder();

// The home folder of the password database alone, whatever the environment says.
std::filesystem::path passwordDatabaseHome();

// An XDG folder variable's value when it names an absolute path, else empty (relative values
// are ignored, as the XDG base directory rules ask).
std::filesystem::path xdgFolder(const char* variable);

// The per-user data folder: $APPDATA when set and not empty, else $XDG_DATA_HOME, else
// ~/.local/share below userHomeFolder(). Empty when the user has no home folder: callers then
// keep their data below the current folder.
std::filesystem::path userDataFolder();

// Creates a folder of the user's own data and every missing folder above it, each readable by
// the user alone (0700); folders that exist keep their mode. True when the folder exists now.
bool createPrivateFolders(const std::filesystem::path& folder);

} // namespace kestrun

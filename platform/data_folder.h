#pragma once

#include <filesystem>

namespace kestrun {

// The per-user data folder: $APPDATA when set and not empty, else $XDG_DATA_HOME, else
// ~/.local/share (the home folder from HOME, else from the password database). Empty when the
// user has no home folder: callers then keep their data below the current folder.
std::filesystem::path userDataFolder();

} // namespace kestrun

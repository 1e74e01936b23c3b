#pragma once

#include <filesystem>

namespace kestrun {

// The per-user data folder: $APPDATA when set and not empty, else $XDG_DATA_HOME, else
// ~/.local/share.
std::filesystem::path userDataFolder();

} // namespace kestrun

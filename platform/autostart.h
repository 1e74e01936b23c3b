#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun {

// The autostart entry of Kestrun: its presence means the program starts with the
// desktop session, and the program path it holds names the working folder.
//
// The entry has one place in each of the machine's configuration folders, most important
// first, and the last place is the user's own. As the desktop reads them, the user's own entry
// is the one in force when it exists, else the first machine place that holds one; an entry in
// force that the desktop was told to skip (Hidden=true, X-GNOME-Autostart-enabled=false) means
// no autostart.
class AutostartEntry {
public:
    // An entry with a single place.
    explicit AutostartEntry(std::filesystem::path entryFile);
    // An entry read from its last place (the user's own) or else the first of the others that
    // holds it, and written to the first place that takes it.
    explicit AutostartEntry(std::vector<std::filesystem::path> places);

    // kestrun.desktop in the autostart folder of each absolute entry of $XDG_CONFIG_DIRS, in
    // order (/etc/xdg when the variable names none), then in the user's own autostart folder
    // ($XDG_CONFIG_HOME, else ~/.config).
    static std::vector<std::filesystem::path> defaultFile();

    bool exists() const;
    // The program path the entry starts; nullopt when the entry or its Exec line is missing
    // or when the path is 260 bytes or longer.
    std::optional<std::string> programPath() const;
    // The working folder the entry names: its own "Path" line when it has one (a program run
    // from a build folder works on a folder of its own), else the folder of its program;
    // nullopt without a program path.
    // On Windows the Run value names only the program: its folder.
    std::optional<std::string> workingFolder() const;
    // Writes the entry to the first place that takes it: the machine's folder where that is
    // permitted, else the user's own; false when no place can be written. A working folder other
    // than the program's own folder is written as the entry's "Path" (not on Windows).
    bool write(const std::string& programPath, const std::string& workingFolder = {}) const;
    // Deletes the entry from every place that holds it; true when one was deleted and none is
    // left.
    bool remove() const;

    // The file in force: the last place when it holds the entry, else the first place that
    // does, else the first place.
    std::filesystem::path file() const;

private:
    std::vector<std::filesystem::path> places_;
};

} // namespace kestrun

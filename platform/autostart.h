#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// The machine-wide autostart entry of Kestrun: its presence means the program starts with the
// desktop session, and the program path it holds names the working folder.
class AutostartEntry {
public:
    explicit AutostartEntry(std::filesystem::path entryFile);

    // kestrun.desktop in the autostart folder of the first entry of $XDG_CONFIG_DIRS
    // (default /etc/xdg).
    static std::filesystem::path defaultFile();

    bool exists() const;
    // The program path the entry starts; nullopt when the entry or its Exec line is missing
    // or when the path is 260 bytes or longer.
    std::optional<std::string> programPath() const;
    // Writes the entry; false when the folder is not writable (it needs root).
    bool write(const std::string& programPath) const;
    bool remove() const;

    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

} // namespace kestrun

#pragma once

#include "platform/clock.h"

#include <filesystem>
#include <string_view>

namespace kestrun {

inline constexpr const char* kBackupLogFile = "KbmBackup.log";

// "KbmBackup.log" in the working folder: one line per message, stamped with the clock's
// local time; a line that cannot be written is dropped silently.
class BackupLog {
public:
    BackupLog(const std::filesystem::path& workingFolder, Clock& clock)
        : file_(workingFolder / kBackupLogFile), clock_(clock) {}

    void write(std::string_view message);
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
    Clock& clock_;
};

} // namespace kestrun

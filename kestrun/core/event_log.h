#pragma once

#include <filesystem>
#include <string_view>

namespace kestrun {

class Clock;

// The event log "Kestrun.log" in the working folder: one line per event, appended and never
// read back. Safe to call from any thread.
class EventLog {
public:
    EventLog(Clock& clock, std::filesystem::path workingFolder);

    void log(std::string_view message) const;
    void setWorkingFolder(std::filesystem::path workingFolder) {
        file_ = workingFolder / kFileName;
    }
    const std::filesystem::path& file() const { return file_; }

    static constexpr const char* kFileName = "Kestrun.log";

private:
    Clock& clock_;
    std::filesystem::path file_;
};

} // namespace kestrun

#pragma once

#include "common/local_date_time.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// When a supervised program is started.
enum class ProgramMode : std::uint8_t {
    Always = 0,   // kept running
    Daily = 1,    // at its daily time
    Periodic = 2, // every so many minutes
};

// The last start every entry has after loading: 1 January 2019, 00:00:00, valid.
LocalDateTime initialLastStart();

// One supervised program.
struct ProgramEntry {
    // The executable's path, a marker ("?m" minimised, "?n" normal window), the parameters.
    std::string text;
    // Set by the program check while it decides which entries run.
    bool running = false;
    // Days a daily or periodic entry may start: bit 0 Monday ... bit 6 Sunday.
    std::uint8_t weekdays = 0;
    ProgramMode mode = ProgramMode::Always;
    // Daily: seconds since midnight, a whole number of minutes.
    std::int32_t dailyTime = 0;
    // Periodic: minutes between starts.
    std::uint32_t period = 0;
    // When the check last started the entry on its schedule.
    LocalDateTime lastStart = initialLastStart();
    // Kept in the list but not supervised.
    bool disabled = false;
    // ".jar" programs: checks in a row that did not see the program running.
    std::int32_t missCount = 0;

    friend bool operator==(const ProgramEntry&, const ProgramEntry&) = default;
};

// The supervised programs in file order (the order of the check); duplicates allowed.
using ProgramList = std::vector<ProgramEntry>;

inline constexpr const char* kProgramListFileName = "progs.lst";

// One line of the list file without its line end. Never fails: a line that does not follow the
// format becomes an always entry (the whole line without a tab, else the text before the tab).
ProgramEntry parseProgramLine(std::string_view line);
// The line of an entry with its CR LF: [blank]text TAB mode,weekdays,value.
std::string formatProgramLine(const ProgramEntry& entry);

// Reads "progs.lst" of the working folder; a missing or unreadable file gives an empty list.
ProgramList loadProgramList(const std::filesystem::path& workingFolder);
// Replaces "progs.lst" of the working folder as a whole. On failure the old file stays as it
// was and false is returned.
bool saveProgramList(const ProgramList& list, const std::filesystem::path& workingFolder);

// The parts of an entry's text.
struct ProgramCommand {
    std::string path;       // before the marker, case as given
    std::string parameters; // after the marker
    bool minimised = false; // the marker is "?m"
    std::string lowerPath;  // path lower-cased: how it is matched
    // Lower-cased, after the last separator of the system ("/"; "\" or "/" on Windows), or
    // the whole path without one.
    std::string fileName;
    // Case as given, before the last separator (a root keeps it: "/", "C:\"); empty without one.
    std::string folder;
};

// Splits a text at its marker: the first "?m", else the first "?n". nullopt when the text
// holds neither: such an entry is never supervised.
std::optional<ProgramCommand> splitProgramText(std::string_view text);

} // namespace kestrun

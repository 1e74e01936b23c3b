#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// One line of the queue file "tobkp": the source's full path, a tab, the queue code.
//   0: copy into the run's set (a smart-backup file entry)
//   1: copy into the mirror
//   2: copy into the run's set and record it for autodelete
struct QueueItem {
    std::string source;
    std::int32_t code = 0;
};

// "source\tcode\r\n"
std::string formatQueueLine(std::string_view source, std::int32_t code);
// Reads the next line without its line end: CR LF, LF or a lone CR ends a line (so CR CR LF
// gives the line and an empty one). False at the end of the stream.
bool readQueueLine(std::istream& in, std::string& line);
// A line without its line end; nullopt without a tab. The code is a decimal prefix.
std::optional<QueueItem> parseQueueLine(std::string_view line);

} // namespace kestrun

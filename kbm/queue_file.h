#pragma once

#include "platform/regular_file.h"

#include <cstdint>
#include <filesystem>
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

// Makes a new, empty queue file, the user's own (0600; in a folder its group shares, the
// group's too: 0660), and returns it open for writing: it is
// made under a temporary name beside it and renamed into place, so whatever stood in its place
// (a link to another file, a FIFO) is replaced, never written through or waited on. Invalid
// when it cannot be made; the old queue file is then left as it was.
FileDescriptor createQueueFile(const std::filesystem::path& queueFile);

// "source\tcode\r\n"
std::string formatQueueLine(std::string_view source, std::int32_t code);
// Reads the next line without its line end: CR LF, LF or a lone CR ends a line (so CR CR LF
// gives the line and an empty one). False at the end of the stream.
bool readQueueLine(std::istream& in, std::string& line);
// A line without its line end; nullopt without a tab. The code is a decimal prefix.
std::optional<QueueItem> parseQueueLine(std::string_view line);

} // namespace kestrun

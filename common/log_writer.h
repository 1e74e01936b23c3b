#pragma once

#include "common/local_date_time.h"

#include <string>
#include <string_view>

namespace kestrun {

// The log line of both programs: "%d.%m.%Y %X", a tab, the message, CR LF.
std::string formatLogLine(const LocalDateTime& when, std::string_view message);

// A message as one line: its control characters (a line feed in a file name, a NUL or an
// escape sequence in a peer's reply) written as \r, \n, \0 or \xNN, so that no message cuts a
// line in two or forges one; tabs and all other bytes stay as they are.
std::string printableLogMessage(std::string_view message);

} // namespace kestrun

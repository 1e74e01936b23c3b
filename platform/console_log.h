#pragma once

#include "common/local_date_time.h"

#include <string_view>

namespace kestrun {

// Where a program's log lines are also shown, besides its log file: on standard error when
// that is a terminal, with the time as in the file; in systemd's journal when standard error
// is the journal's stream (JOURNAL_STREAM names it), without the time, which the journal adds.
// Anywhere else (a file, a pipe, nothing) they are not shown. Decided once per process.
enum class Console { None, Terminal, Journal };
Console console();

// Shows one log line there, as one write (lines of two threads never mix).
void showLogLine(const LocalDateTime& when, std::string_view message);

} // namespace kestrun

#pragma once

#include "common/local_date_time.h"

#include <string_view>

namespace kestrun {

// The log line of both programs: "%d.%m.%Y %X", a tab, the message, CR LF.
std::string formatLogLine(const LocalDateTime& when, std::string_view message);

} // namespace kestrun

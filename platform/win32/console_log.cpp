#include "platform/console_log.h"

#include "common/log_writer.h"

#include <windows.h>

#include <string>

namespace kestrun {

// Windows has no journal: a program's lines are shown only in the console it was started from.
Console console() {
    static const Console where = [] {
        const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        return error && error != INVALID_HANDLE_VALUE && ::GetConsoleMode(error, &mode)
                   ? Console::Terminal
                   : Console::None;
    }();
    return where;
}

void showLogLine(const LocalDateTime& when, std::string_view message) {
    if (console() == Console::None)
        return;
    std::string line = formatLogLine(when, message);
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    ::WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace kestrun

#include "platform/console_log.h"

#include "common/log_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

namespace {

// JOURNAL_STREAM is "<device>:<inode>" of the stream systemd connected; a program that was
// handed the variable but whose standard error went elsewhere (redirected by a script) does
// not write to that stream.
bool standardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2)
        return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

} // namespace

Console console() {
    static const Console where = [] {
        if (standardErrorIsJournal())
            return Console::Journal;
        return ::isatty(STDERR_FILENO) ? Console::Terminal : Console::None;
    }();
    return where;
}

void showLogLine(const LocalDateTime& when, std::string_view message) {
    const Console where = console();
    if (where == Console::None)
        return;
    std::string line = where == Console::Terminal ? formatLogLine(when, message)
                                                  : printableLogMessage(message) + "\r\n";
    line.replace(line.size() - 2, 2, "\n"); // a terminal's and the journal's line end
    // The journal's stream is a socket: a journal that went away must not end the program
    // with SIGPIPE.
    bool socket = where == Console::Journal;
    for (std::size_t done = 0; done < line.size();) {
        const char* data = line.data() + done;
        const std::size_t size = line.size() - done;
        ssize_t n = socket ? ::send(STDERR_FILENO, data, size, MSG_NOSIGNAL) : -1;
        if (socket && n < 0 && errno == ENOTSOCK)
            socket = false;
        if (!socket)
            n = ::write(STDERR_FILENO, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nothing more to do for a closed or full stream
        done += static_cast<std::size_t>(n);
    }
}

} // namespace kestrun

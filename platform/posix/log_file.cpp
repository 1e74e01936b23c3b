#include "platform/log_file.h"

#include "common/file_util.h"
#include "common/log_writer.h"
#include "platform/regular_file.h"

#include <mutex>

namespace kestrun {

namespace {

std::mutex& appendMutex() {
    static std::mutex m;
    return m;
}

} // namespace

void appendLogLine(const std::filesystem::path& file, const LocalDateTime& when,
                   std::string_view message) {
    const std::string line = formatLogLine(when, message);
    std::lock_guard lock(appendMutex());
    // A file without write permission is read-only for this program even when the
    // process could override the bits.
    if (isReadOnlyFile(file))
        return;
    // Append mode keeps the content and positions every write at the end, also against
    // other processes appending to the same file; one write call keeps the line whole.
    const FileDescriptor fd = openRegularForAppend(file, 0600);
    if (fd)
        writeAll(fd, line);
}

} // namespace kestrun

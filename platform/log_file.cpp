#include "platform/log_file.h"

#include "common/file_util.h"
#include "common/log_writer.h"
#include "platform/console_log.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"

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
    // A new log is the user's own, or in a folder its group shares, the group's as well, so
    // every member's programs can append to it.
    const NewFileMode mode = newFileModeIn(file.parent_path(), 0600);
    bool created = false;
    const FileDescriptor fd = openRegularForAppend(file, mode.permissions & 0700, &created);
    if (!fd)
        return;
    if (created)
        applyNewFileMode(fd, mode);
    else
        shareOwnFileIn(fd, file.parent_path());
    writeAll(fd, line);
}

void logProgramEvent(const std::filesystem::path& file, const LocalDateTime& when,
                     std::string_view message) {
    appendLogLine(file, when, message);
    showLogLine(when, message);
}

} // namespace kestrun

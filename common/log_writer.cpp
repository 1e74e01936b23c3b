#include "common/log_writer.h"

#include "common/file_util.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace kestrun {

namespace {

std::mutex& appendMutex() {
    static std::mutex m;
    return m;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace

std::string formatLogLine(const LocalDateTime& when, std::string_view message) {
    std::string line = when.format(kLogStampFormat);
    line += '\t';
    line += message;
    line += "\r\n";
    return line;
}

void appendLogLine(const std::filesystem::path& file, const LocalDateTime& when,
                   std::string_view message) {
    const std::string line = formatLogLine(when, message);
    std::lock_guard lock(appendMutex());
    // A file without write permission is read-only for this program even when the
    // process could override the bits.
    if (isReadOnlyFile(file))
        return;
    // Append mode keeps the content and positions every write at the end, also against
    // other processes appending to the same file.
    FilePtr f(std::fopen(file.c_str(), "ab"));
    if (!f)
        return;
    std::fwrite(line.data(), 1, line.size(), f.get());
}

} // namespace kestrun

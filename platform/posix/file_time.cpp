#include "platform/file_time.h"

#include <ctime>
#include <sys/stat.h>

namespace kestrun {

std::optional<LocalDateTime> localModificationTime(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    const std::time_t t = st.st_mtime;
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr)
        return std::nullopt;
    const LocalDateTime when = LocalDateTime::fromFields(
        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (!when.valid())
        return std::nullopt;
    return when;
}

} // namespace kestrun

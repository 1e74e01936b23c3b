#include "platform/file_time.h"

#include <cerrno>
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

std::optional<std::int64_t> epochSecondsOfLocal(const LocalDateTime& when) {
    if (!when.valid())
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = when.year() - 1900;
    tm.tm_mon = when.month() - 1;
    tm.tm_mday = when.day();
    tm.tm_hour = when.hour();
    tm.tm_min = when.minute();
    tm.tm_sec = when.second();
    tm.tm_isdst = -1; // the zone's rules decide
    errno = 0;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && errno != 0)
        return std::nullopt;
    return static_cast<std::int64_t>(t);
}

} // namespace kestrun

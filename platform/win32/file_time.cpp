#include "platform/file_time.h"

#include "platform/file_status.h"
#include "platform/win32/win32_util.h"

namespace kestrun {

std::optional<LocalDateTime> localModificationTime(const std::filesystem::path& file) {
    const auto status = fileStatus(file);
    if (!status)
        return std::nullopt;
    // The zone's rules for that date decide, as they do for a local time shown anywhere else.
    const FILETIME utc = win32::toFileTime(status->modifiedSecond, 0);
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&utc, &universal) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return std::nullopt;
    const LocalDateTime when = LocalDateTime::fromFields(local.wYear, local.wMonth, local.wDay,
                                                         local.wHour, local.wMinute, local.wSecond);
    if (!when.valid())
        return std::nullopt;
    return when;
}

std::optional<std::int64_t> epochSecondsOfLocal(const LocalDateTime& when) {
    if (!when.valid())
        return std::nullopt;
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(when.year());
    local.wMonth = static_cast<WORD>(when.month());
    local.wDay = static_cast<WORD>(when.day());
    local.wHour = static_cast<WORD>(when.hour());
    local.wMinute = static_cast<WORD>(when.minute());
    local.wSecond = static_cast<WORD>(when.second());
    SYSTEMTIME universal{};
    FILETIME utc{};
    if (when.year() < 1601 || !::TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal) ||
        !::SystemTimeToFileTime(&universal, &utc))
        return std::nullopt;
    return win32::fromFileTime(utc).second;
}

} // namespace kestrun

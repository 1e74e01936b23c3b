#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// A calendar date and time of day to the second, in local time, with a validity flag.
// Arithmetic is plain calendar arithmetic (no time zones): the values come from the clock
// already converted to local time. The representable years are 100 to 9999; a result
// outside that range is invalid.
class LocalDateTime {
public:
    LocalDateTime() = default; // invalid
    static LocalDateTime fromFields(int year, int month, int day, int hour, int minute, int second);
    static LocalDateTime invalid() { return {}; }

    bool valid() const { return valid_; }
    int year() const { return year_; }
    int month() const { return month_; }
    int day() const { return day_; }
    int hour() const { return hour_; }
    int minute() const { return minute_; }
    int second() const { return second_; }
    // 0 = Monday ... 6 = Sunday; -1 when invalid.
    int weekdayFromMonday() const;

    LocalDateTime addDays(std::int64_t days) const;
    LocalDateTime addSeconds(std::int64_t seconds) const;

    // Seconds since 0001-01-01 00:00:00 (only meaningful when valid).
    std::int64_t serialSeconds() const;
    static LocalDateTime fromSerialSeconds(std::int64_t serial);

    // strftime-style formatting of %d %m %Y %y %H %M %S %X (always HH:MM:SS) and %%.
    // An invalid value formats as "Invalid DateTime".
    std::string format(std::string_view pattern) const;

    friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;

private:
    int year_ = 0, month_ = 0, day_ = 0, hour_ = 0, minute_ = 0, second_ = 0;
    bool valid_ = false;
};

// Difference to - from in seconds; nullopt when either side is invalid. Values are whole
// seconds already, so rounding to the nearest second (halves away from zero) is exact.
std::optional<std::int64_t> secondsBetween(const LocalDateTime& from, const LocalDateTime& to);

// Whole minutes of a difference in seconds: divided by 60 and truncated toward zero.
std::int64_t wholeMinutes(std::int64_t seconds);

// Rounds a fractional number of seconds to the nearest second, halves away from zero.
std::int64_t roundSeconds(double seconds);

inline constexpr const char* kLogStampFormat = "%d.%m.%Y %X";
inline constexpr const char* kSetStampFormat = "%Y%m%d-%H%M%S";
inline constexpr const char* kShortStampFormat = "%y%m%d%H%M%S";
inline constexpr const char* kInvalidDateTimeText = "Invalid DateTime";

} // namespace kestrun

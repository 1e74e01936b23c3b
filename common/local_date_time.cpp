#include "common/local_date_time.h"

#include <cmath>
#include <cstdio>

namespace kestrun {
namespace {

constexpr int kMinYear = 100;
constexpr int kMaxYear = 9999;
constexpr std::int64_t kSecondsPerDay = 86400;

bool isLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 (day 0) in the proleptic Gregorian calendar.
std::int64_t daysFromCivil(int y, int m, int d) {
    const std::int64_t yy = y - (m <= 2 ? 1 : 0);
    const std::int64_t era = yy / 400;
    const std::int64_t yoe = yy - era * 400;
    const std::int64_t mp = (m + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    // era-based count from 0000-03-01; shift so that 0001-01-01 is 0.
    return era * 146097 + doe - 306;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 306;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

void append2(std::string& out, int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    out += buf;
}

} // namespace

LocalDateTime LocalDateTime::fromFields(int year, int month, int day, int hour, int minute,
                                        int second) {
    LocalDateTime t;
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
        day > daysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return t;
    t.year_ = year;
    t.month_ = month;
    t.day_ = day;
    t.hour_ = hour;
    t.minute_ = minute;
    t.second_ = second;
    t.valid_ = true;
    return t;
}

int LocalDateTime::weekdayFromMonday() const {
    if (!valid_)
        return -1;
    // 0001-01-01 was a Monday.
    return static_cast<int>(daysFromCivil(year_, month_, day_) % 7);
}

std::int64_t LocalDateTime::serialSeconds() const {
    return daysFromCivil(year_, month_, day_) * kSecondsPerDay + hour_ * 3600 + minute_ * 60 +
           second_;
}

LocalDateTime LocalDateTime::fromSerialSeconds(std::int64_t serial) {
    std::int64_t days = serial / kSecondsPerDay;
    std::int64_t rest = serial % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    // Guard against values far outside any calendar before converting.
    if (days < daysFromCivil(kMinYear, 1, 1) || days > daysFromCivil(kMaxYear, 12, 31))
        return {};
    int y = 0, m = 0, d = 0;
    civilFromDays(days, y, m, d);
    return fromFields(y, m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                      static_cast<int>(rest % 60));
}

LocalDateTime LocalDateTime::addDays(std::int64_t days) const {
    if (!valid_ || days > 4'000'000 || days < -4'000'000)
        return {};
    return fromSerialSeconds(serialSeconds() + days * kSecondsPerDay);
}

LocalDateTime LocalDateTime::addSeconds(std::int64_t seconds) const {
    if (!valid_ || seconds > 4'000'000 * kSecondsPerDay || seconds < -4'000'000 * kSecondsPerDay)
        return {};
    return fromSerialSeconds(serialSeconds() + seconds);
}

std::string LocalDateTime::format(std::string_view pattern) const {
    if (!valid_)
        return kInvalidDateTimeText;
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%' || i + 1 == pattern.size()) {
            out += c;
            continue;
        }
        switch (pattern[++i]) {
        case 'd':
            append2(out, day_);
            break;
        case 'm':
            append2(out, month_);
            break;
        case 'Y':
            out += std::to_string(year_);
            break;
        case 'y':
            append2(out, year_ % 100);
            break;
        case 'H':
            append2(out, hour_);
            break;
        case 'M':
            append2(out, minute_);
            break;
        case 'S':
            append2(out, second_);
            break;
        case 'X':
            append2(out, hour_);
            out += ':';
            append2(out, minute_);
            out += ':';
            append2(out, second_);
            break;
        case '%':
            out += '%';
            break;
        default:
            out += '%';
            out += pattern[i];
        }
    }
    return out;
}

std::optional<std::int64_t> secondsBetween(const LocalDateTime& from, const LocalDateTime& to) {
    if (!from.valid() || !to.valid())
        return std::nullopt;
    return to.serialSeconds() - from.serialSeconds();
}

std::int64_t wholeMinutes(std::int64_t seconds) {
    return seconds / 60;
}

std::int64_t roundSeconds(double seconds) {
    return static_cast<std::int64_t>(std::round(seconds));
}

} // namespace kestrun

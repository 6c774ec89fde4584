#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace vigilo {

struct CivilTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// Renders with Windows picture letters: yyyy/yyy/yy, MM, dd, HH (24h), hh (12h, no marker),
// mm, ss; other characters copied. A picture under 3 characters drops its half.
std::string formatDateTime(const CivilTime& value, std::string_view datePicture, std::string_view timePicture,
                           bool force24);

// "yyy-MM-dd " + "hh:mm:ss" of the current local time.
std::string logTimestamp();

// "2026-12-11 09:14:56+08:00": the local date and time on the 24-hour clock with the zone's
// offset, for records read long after (the log's own stamp has neither the hour's half nor
// the zone).
std::string recordTimestamp(std::chrono::system_clock::time_point time);
std::string recordTimestamp();  // of wallNow()

// Which clock the hours of a shown time are on.
enum class ClockStyle { Locale = 0, TwelveHour = 1, TwentyFourHour = 2 };

// Seconds (10 digits, fixed UTC+8 base) or milliseconds (any other length, local zone) to
// "yyyy-MM-dd hh:mm:ss".
std::string formatTimestamp(std::string_view timestamp, ClockStyle clock = ClockStyle::Locale);

// The 12/24-hour choice of the user's LC_TIME locale: true when its time format (POSIX
// strftime form, e.g. "%I:%M:%S %p") puts the hours on the 12-hour clock.
bool localeUses12HourClock();
bool timeFormatIs12Hour(std::string_view posixTimeFormat);

// Calendar time of a count of seconds since 1970-01-01 00:00, with no zone applied.
CivilTime civilFromEpochSeconds(long long seconds);

// Replaceable clock for tests.
using WallClock = std::function<std::chrono::system_clock::time_point()>;
void setWallClock(WallClock clock);  // empty function restores the system clock
std::chrono::system_clock::time_point wallNow();

}  // namespace vigilo

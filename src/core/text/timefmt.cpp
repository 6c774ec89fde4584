#include "text/timefmt.h"

#include <langinfo.h>
#include <locale.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "text/strings.h"

namespace vigilo {

namespace {

long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool plausible(const CivilTime& t) {
    // The range the platform's calendar time covers.
    return t.year >= 1601 && t.year <= 30827 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= daysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

void appendNumber(std::string& out, long long value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", width, value);
    out += buf;
}

constexpr const char* kMonthShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kMonthLong[] = {"January", "February", "March",     "April",   "May",      "June",
                                      "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kDayLong[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// One half of a rendering: only the letters of that half are pictures, everything else
// (and text in single quotes) is copied.
std::string renderPicture(const CivilTime& t, std::string_view picture, bool date, bool force24) {
    std::string out;
    for (size_t i = 0; i < picture.size();) {
        const char c = picture[i];
        if (c == '\'') {
            size_t k = i + 1;
            for (; k < picture.size(); ++k) {
                if (picture[k] != '\'') {
                    out += picture[k];
                } else if (k + 1 < picture.size() && picture[k + 1] == '\'') {
                    out += '\'';
                    ++k;
                } else {
                    break;
                }
            }
            i = k + 1;
            continue;
        }
        size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c) ++run;
        const bool isPicture = date ? (c == 'y' || c == 'M' || c == 'd' || c == 'g')
                                    : (c == 'h' || c == 'H' || c == 'm' || c == 's' || c == 't');
        if (!isPicture) {
            out.append(picture.substr(i, run));
            i += run;
            continue;
        }
        const int width = run >= 2 ? 2 : 1;
        switch (c) {
            case 'y':
                if (run == 1)
                    appendNumber(out, t.year % 100, 1);
                else if (run == 2)
                    appendNumber(out, t.year % 100, 2);
                else
                    appendNumber(out, t.year, 4);
                break;
            case 'M':
                if (run <= 2)
                    appendNumber(out, t.month, width);
                else
                    out += (run == 3 ? kMonthShort : kMonthLong)[t.month - 1];
                break;
            case 'd':
                if (run <= 2) {
                    appendNumber(out, t.day, width);
                } else {
                    const long long days =
                        daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
                    const int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01: Thu
                    out += (run == 3 ? kDayShort : kDayLong)[weekday];
                }
                break;
            case 'g': out += "A.D."; break;
            case 'h':
                if (force24)
                    appendNumber(out, t.hour, width);
                else
                    appendNumber(out, t.hour % 12 == 0 ? 12 : t.hour % 12, width);
                break;
            case 'H': appendNumber(out, t.hour, width); break;
            case 'm': appendNumber(out, t.minute, width); break;
            case 's': appendNumber(out, t.second, width); break;
            case 't':
                if (!force24) out += run == 1 ? (t.hour < 12 ? "A" : "P") : (t.hour < 12 ? "AM" : "PM");
                break;
            default: break;
        }
        i += run;
    }
    return out;
}

std::mutex gClockMutex;
std::shared_ptr<const WallClock> gClock;  // null: the system clock

}  // namespace

CivilTime civilFromEpochSeconds(long long seconds) {
    long long days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    CivilTime t;
    t.year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
    t.month = static_cast<int>(m);
    t.day = static_cast<int>(d);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

std::string formatDateTime(const CivilTime& value, std::string_view datePicture, std::string_view timePicture,
                           bool force24) {
    if (datePicture.empty() && timePicture.empty()) return {};
    if (!plausible(value)) return {};
    std::string out;
    if (datePicture.size() >= 3) out = renderPicture(value, datePicture, true, force24);
    if (timePicture.size() >= 3) out += renderPicture(value, timePicture, false, force24);
    return out;
}

void setWallClock(WallClock clock) {
    auto next = clock ? std::make_shared<const WallClock>(std::move(clock)) : nullptr;
    std::lock_guard lock(gClockMutex);
    gClock = std::move(next);
}

std::chrono::system_clock::time_point wallNow() {
    std::shared_ptr<const WallClock> clock;
    {
        std::lock_guard lock(gClockMutex);
        clock = gClock;
    }
    return clock ? (*clock)() : std::chrono::system_clock::now();
}

std::string logTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(wallNow());
    std::tm local{};
    if (!localtime_r(&now, &local)) return {};
    CivilTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return formatDateTime(t, "yyy-MM-dd ", "hh:mm:ss", false);
}

std::string recordTimestamp(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return buffer;
}

std::string recordTimestamp() { return recordTimestamp(wallNow()); }

bool timeFormatIs12Hour(std::string_view posixTimeFormat) {
    for (size_t i = 0; i + 1 < posixTimeFormat.size(); ++i) {
        if (posixTimeFormat[i] != '%') continue;
        size_t k = i + 1;
        // Flags and modifiers that may sit between % and the conversion letter.
        while (k < posixTimeFormat.size() &&
               (posixTimeFormat[k] == 'E' || posixTimeFormat[k] == 'O' || posixTimeFormat[k] == '_' ||
                posixTimeFormat[k] == '-' || posixTimeFormat[k] == '0' || posixTimeFormat[k] == '^' ||
                posixTimeFormat[k] == '#'))
            ++k;
        if (k >= posixTimeFormat.size()) break;
        const char c = posixTimeFormat[k];
        if (c == 'I' || c == 'l' || c == 'r') return true;
        i = k;
    }
    return false;
}

bool localeUses12HourClock() {
    locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (!loc) return false;  // an unknown locale falls back to C, which is 24-hour
    const bool twelve = timeFormatIs12Hour(nl_langinfo_l(T_FMT, loc));
    freelocale(loc);
    return twelve;
}

std::string formatTimestamp(std::string_view timestamp, ClockStyle clock) {
    if (timestamp.size() == 10) {
        // The count is the value of the leading digits: "1.5e9abcde" is one second, and a
        // text without a leading digit is the zero.
        long long value = 0;
        for (const char c : timestamp) {
            if (c < '0' || c > '9') break;
            value = value * 10 + (c - '0');
        }
        // The count's zero is 1970-01-01 08:00:00, whatever zone this machine is in.
        const CivilTime t = civilFromEpochSeconds(value + 8 * 3600);
        const bool twelve =
            clock == ClockStyle::TwelveHour || (clock != ClockStyle::TwentyFourHour && localeUses12HourClock());
        return formatDateTime(t, "yyyy-MM-dd ", twelve ? "hh:mm:ss" : "HH:mm:ss", false);
    }
    // Any other length is a count of milliseconds, read as JavaScript's Date would take it
    // and shown in the local zone.
    if (trimJsSpace(timestamp).empty()) return {};
    const double ms = jsNumberFromText(timestamp);
    if (!std::isfinite(ms) || std::fabs(ms) > 8.64e15) return {};
    const double whole = std::trunc(ms);
    const std::time_t seconds = static_cast<std::time_t>(std::floor(whole / 1000));
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lld-%02d-%02d %02d:%02d:%02d", static_cast<long long>(local.tm_year) + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

}  // namespace vigilo

#include "text/timefmt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "support/environment.h"

namespace vigilo {
namespace {

using testing::ScopedEnv;

constexpr const char* kZones[] = {"UTC", "America/New_York", "Asia/Shanghai"};

TEST(FormatTimestamp, TenDigitsUseTheFixedUtcPlus8BaseInEveryZone) {
    const ScopedEnv locale("LC_ALL", "C");  // a 24-hour locale
    struct Case {
        std::string_view input;
        ClockStyle clock;
        std::string_view want;
    };
    const Case cases[] = {
        {"1619771234", ClockStyle::Locale, "2021-04-30 16:27:14"},
        {"1619771234", ClockStyle::TwentyFourHour, "2021-04-30 16:27:14"},
        {"1619771234", ClockStyle::TwelveHour, "2021-04-30 04:27:14"},  // 12-hour, no marker
        {"0000000000", ClockStyle::Locale, "1970-01-01 08:00:00"},
        {"1619712000", ClockStyle::TwelveHour, "2021-04-30 12:00:00"},  // midnight on the 12-hour clock
        {"9999999999", ClockStyle::TwentyFourHour, "2286-11-21 01:46:39"},
        {"abcdefghij", ClockStyle::TwentyFourHour, "1970-01-01 08:00:00"},  // not a number: counts as 0
        // Only the leading digits count, never a decimal point, an exponent or a sign.
        {"1.5e9abcde", ClockStyle::TwentyFourHour, "1970-01-01 08:00:01"},
        {"1e99999999", ClockStyle::TwentyFourHour, "1970-01-01 08:00:01"},
        {"16197712.4", ClockStyle::TwentyFourHour, "1970-07-07 19:21:52"},
        {"-9.99e+300", ClockStyle::Locale, "1970-01-01 08:00:00"},
        {" 161977123", ClockStyle::TwentyFourHour, "1970-01-01 08:00:00"},
    };
    for (const char* zone : kZones) {
        const ScopedEnv tz("TZ", zone);
        for (const auto& c : cases)
            EXPECT_EQ(formatTimestamp(c.input, c.clock), c.want)
                << c.input << " style " << static_cast<int>(c.clock) << " in " << zone;
    }
}

TEST(FormatTimestamp, OtherLengthsAreMillisecondsInTheLocalZone) {
    struct Case {
        std::string_view zone, input, want;
    };
    const Case cases[] = {
        {"UTC", "1619771234000", "2021-04-30 08:27:14"},
        {"America/New_York", "1619771234000", "2021-04-30 04:27:14"},
        {"UTC", "1619771234999", "2021-04-30 08:27:14"},  // fractions of a second dropped
        {"UTC", "161977123", "1970-01-02 20:59:37"},      // nine digits: January 1970
        {"America/New_York", "161977123", "1970-01-02 15:59:37"},
        {"UTC", "-1", "1969-12-31 23:59:59"},
        {"UTC", " 0x10 ", "1970-01-01 00:00:00"},
        {"America/New_York", "0", "1969-12-31 19:00:00"},
        {"UTC", "8640000000000000", "275760-09-13 00:00:00"},  // the last valid date
        {"UTC", "8640000000000001", ""},
        {"UTC", "", ""},
        {"UTC", "   ", ""},
        {"UTC", "12abc", ""},
        {"America/New_York", "", ""},
    };
    for (const auto& c : cases) {
        const ScopedEnv tz("TZ", std::string(c.zone).c_str());
        EXPECT_EQ(formatTimestamp(c.input), c.want) << c.input << " in " << c.zone;
        // The clock style does not apply to this path.
        EXPECT_EQ(formatTimestamp(c.input, ClockStyle::TwelveHour), c.want) << c.input << " in " << c.zone;
    }
}

TEST(ClockChoice, TwelveHourFormatsOfTheLocale) {
    struct Case {
        std::string_view format;
        bool twelve;
    };
    const Case cases[] = {
        {"%H:%M:%S", false}, {"%T", false},         {"", false},
        {"%%I", false},      {"%I:%M:%S %p", true}, {"%r", true},
        {"%l:%M %p", true},  {"%OI:%M", true},      {"%p %I时%M分%S秒", true},
    };
    for (const auto& c : cases) EXPECT_EQ(timeFormatIs12Hour(c.format), c.twelve) << c.format;

    const ScopedEnv locale("LC_ALL", "C");
    EXPECT_FALSE(localeUses12HourClock());
    const ScopedEnv unknown("LC_ALL", "xx_NOWHERE.UTF-8");
    EXPECT_FALSE(localeUses12HourClock());
}

TEST(FormatDateTime, WindowsPictureLetters) {
    const CivilTime afternoon{2021, 4, 30, 16, 5, 9};
    const CivilTime midnight{2021, 1, 2, 0, 7, 0};
    struct Case {
        CivilTime value;
        std::string_view date, time;
        bool force24;
        std::string_view want;
    };
    const Case cases[] = {
        {afternoon, "yyy-MM-dd ", "hh:mm:ss", false, "2021-04-30 04:05:09"},
        {afternoon, "yyyy-MM-dd ", "HH:mm:ss", false, "2021-04-30 16:05:09"},
        {afternoon, "", "hh:mm:ss", true, "16:05:09"},
        {afternoon, "yy/M/d", "", false, "21/4/30"},
        {afternoon, "dd", "HH:mm:ss", false, "16:05:09"},  // a short picture drops its half
        {afternoon, "yyyy-MM-dd", "hh", false, "2021-04-30"},
        {afternoon, "", "", false, ""},
        {afternoon, "ddd, MMM d yyyy ", "h:mm tt", false, "Fri, Apr 30 2021 4:05 PM"},
        {afternoon, "dddd MMMM", "H:m:s", false, "Friday April16:5:9"},
        {afternoon, "'Date:' yyyy ", "HH'h'mm", false, "Date: 2021 16h05"},
        {afternoon, "yyyy年M月d日 ", "HH时", false, "2021年4月30日 16时"},
        {midnight, "yyyy-MM-dd ", "hh:mm:ss", false, "2021-01-02 12:07:00"},
        {midnight, "yyyy-MM-dd ", "hh:mm:ss", true, "2021-01-02 00:07:00"},
        {{2021, 2, 29, 0, 0, 0}, "yyyy-MM-dd ", "HH:mm:ss", false, ""},  // no such day
        {{2020, 2, 29, 0, 0, 0}, "yyyy-MM-dd", "", false, "2020-02-29"},
        {{2021, 13, 1, 0, 0, 0}, "yyyy-MM-dd", "", false, ""},
        {{2021, 1, 1, 24, 0, 0}, "", "HH:mm", false, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatDateTime(c.value, c.date, c.time, c.force24), c.want) << c.date << "|" << c.time;
}

TEST(LogTimestamp, ReadsTheReplaceableClockInLocalTime) {
    using namespace std::chrono;
    const auto at = system_clock::time_point(seconds(1619798709));  // 2021-04-30 16:05:09 UTC
    setWallClock([at] { return at; });
    {
        const ScopedEnv tz("TZ", "UTC");
        EXPECT_EQ(logTimestamp(), "2021-04-30 04:05:09");
    }
    {
        const ScopedEnv tz("TZ", "America/New_York");
        EXPECT_EQ(logTimestamp(), "2021-04-30 12:05:09");
    }
    EXPECT_EQ(wallNow(), at);
    setWallClock({});
    const auto now = system_clock::now();
    EXPECT_LT(abs(duration_cast<seconds>(wallNow() - now).count()), 60);
}

}  // namespace
}  // namespace vigilo

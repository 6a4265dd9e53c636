// Date and time texts: checks, day numbers, conversions, day arithmetic and
// the current date and time, checked against std::chrono's calendar.
#include "core/dates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;

std::string DateText(year_month_day ymd) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return text;
}

std::string DateText(int y, int m, int d) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
    return text;
}

// A copy of the text in a heap block of exactly its size, so that reading
// past its NUL is caught by AddressSanitizer.
std::unique_ptr<char[]> Exact(const char* text) {
    const size_t n = std::strlen(text) + 1;
    auto copy = std::make_unique<char[]>(n);
    std::memcpy(copy.get(), text, n);
    return copy;
}

const sys_days kEpoch = sys_days{1980y / January / 1};
// Last day on which the module's calendar (every fourth year leap) and the
// real one agree: the module has a 29 February 2100, the real calendar not.
const sys_days kLastCommonDay = sys_days{2100y / February / 28};

// The date the module gives for a real calendar day: one day earlier from
// 1 March 2100 on, because of its extra 29 February 2100 (valid up to 2199).
std::string ModuleText(sys_days real) {
    if (real <= kLastCommonDay) return DateText(year_month_day{real});
    if (real == kLastCommonDay + days{1}) return "21000229";
    return DateText(year_month_day{real - days{1}});
}

// Expected result code of an addition or subtraction: the largest field that
// differs between the start and the result.
int ChangeCode(const std::string& from, const std::string& to) {
    if (from.compare(0, 2, to, 0, 2) != 0) return 4;
    if (from.compare(2, 2, to, 2, 2) != 0) return 3;
    if (from.compare(4, 2, to, 4, 2) != 0) return 2;
    return 1;
}

// ---------------------------------------------------------------------------
// The cases the module is known by.
// ---------------------------------------------------------------------------

TEST(DatesTest, CheckDateKnownCases) {
    struct Case { const char* text; int expected; };
    const Case cases[] = {
        {"20240229", 1},  {"20230229", -2}, {"20240230", -2}, {"20240231", -2},
        {"20240431", -1}, {"2024043a", -1}, {"21000229", 1},  {"20241231", 1},
        {"20240631", -1}, {"20240931", -1}, {"20241131", -1}, {"20240131", 1},
        {"00000229", 1},  {"99991231", 1},  {"20241301", -1}, {"20240001", -1},
        {"20240100", -1}, {"20240132", -1}, {"2024-1-1", -1}, {"2024 101", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(WCheckDate(c.text), c.expected) << c.text;
    EXPECT_EQ(WCheckDate(nullptr), -1);
    // Longer texts are read by their first eight characters.
    EXPECT_EQ(WCheckDate("20240229123456"), 1);
}

TEST(DatesTest, DateToDaysKnownCases) {
    EXPECT_EQ(WDateToDays("19800101"), 0);
    EXPECT_EQ(WDateToDays("19810101"), 366);
    EXPECT_EQ(WDateToDays("19840301"), 1521);
    EXPECT_EQ(WDateToDays("20230229"), -1);
    EXPECT_EQ(WDateToDays(nullptr), -1);
}

// Before 1980 and after century 39 the count is not defined: the formula
// would give 0 for 31 December 1979 and wrap around at year 4000. Refused.
TEST(DatesTest, DateToDaysRefusesDatesOutsideItsRange) {
    for (const char* text : {"19791231", "19791230", "19000101", "00000101", "18991231",
                             "40000101", "59991231", "99991231"})
        EXPECT_EQ(WDateToDays(text), -1) << text;
    const int last = WDateToDays("39991231");
    // The module's calendar has one extra leap day per skipped real one:
    // 2100, 2200, 2300, 2500 ... 3900 (15 of them by 3999).
    const int real = static_cast<int>((sys_days{3999y / December / 31} - kEpoch).count());
    EXPECT_EQ(last, real + 15);
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(WDiffDate("19791231", "19800101", out), -3);
    EXPECT_EQ(WDiffDate("19800101", "40000101", out), -3);
    EXPECT_EQ(out[0], 'x');
}

TEST(DatesTest, ConvertDateKinds) {
    struct Case { const char* input; int kind; const char* expected; };
    const Case cases[] = {
        {"31122024", 0, "20241231"},
        {"20241231", 1, "31122024"},
        {"241231", 2, "311224"},
        {"311224", 3, "241231"},
        {"311224", 2, "241231"},
        {"2024123199", 1, "31122024"},  // longer input: first characters only
    };
    for (const Case& c : cases) {
        char out[16];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(WConvertDate(out, c.input, c.kind), 1) << c.input;
        EXPECT_STREQ(out, c.expected) << c.input;  // a NUL follows the digits
        EXPECT_EQ(out[std::strlen(c.expected) + 1], 'x');
    }
    // The output may be the input itself.
    char same[] = "31122024";
    EXPECT_EQ(WConvertDate(same, same, 0), 1);
    EXPECT_STREQ(same, "20241231");
}

TEST(DatesTest, ConvertDateRefusesBadArguments) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    auto shortLong = Exact("3112202");
    auto shortSix = Exact("31122");
    EXPECT_EQ(WConvertDate(out, shortLong.get(), 0), -1);
    EXPECT_EQ(WConvertDate(out, shortLong.get(), 1), -1);
    EXPECT_EQ(WConvertDate(out, shortSix.get(), 2), -1);
    EXPECT_EQ(WConvertDate(out, shortSix.get(), 3), -1);
    EXPECT_EQ(WConvertDate(out, "31122024", 4), -1);
    EXPECT_EQ(WConvertDate(out, "31122024", -1), -1);
    EXPECT_EQ(WConvertDate(out, nullptr, 0), -1);
    EXPECT_EQ(WConvertDate(nullptr, "31122024", 0), -1);
    for (char c : out) EXPECT_EQ(c, 'x');
}

// ---------------------------------------------------------------------------
// Malformed texts: refused, read no further than their NUL.
// ---------------------------------------------------------------------------

TEST(DatesTest, MalformedTimesAreRefused) {
    const char* bad[] = {"24000", "", "1", "12345", "240000", "236000", "235960", "2a0000",
                         "12:000", " 12000", "-10000", "99999"};
    for (const char* text : bad) {
        auto exact = Exact(text);
        EXPECT_EQ(WCheckTime(exact.get()), -1) << text;
        char out[8];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(WDiffTime(exact.get(), "120000", out), -1) << text;
        EXPECT_EQ(WDiffTime("120000", exact.get(), out), -1) << text;
        EXPECT_EQ(out[0], 'x');
    }
    EXPECT_EQ(WCheckTime(nullptr), -1);
    for (const char* text : {"000000", "235959", "120000", "0959591"})
        EXPECT_EQ(WCheckTime(text), 1) << text;
}

TEST(DatesTest, MalformedDatesAreRefusedEverywhere) {
    const char* bad[] = {"", "2024", "2024010", "202401", "20241301", "20240001", "20240100",
                         "2024010a", "abcdefgh", "2024 1 1", "20240132", "20240431"};
    for (const char* text : bad) {
        auto exact = Exact(text);
        const char* t = exact.get();
        EXPECT_EQ(WCheckDate(t), -1) << text;
        EXPECT_EQ(WDateToDays(t), -1) << text;
        char out[16];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(WAddDays(t, "1", out), -1) << text;
        EXPECT_EQ(WSubtractDays(t, "1", out), -1) << text;
        EXPECT_EQ(WDiffDate(t, "20240101", out), -1) << text;
        EXPECT_EQ(WDiffDate("20240101", t, out), -2) << text;
        for (char c : out) EXPECT_EQ(c, 'x') << text;
    }
}

// ---------------------------------------------------------------------------
// Every day of 1980 to 2099 against the real calendar.
// ---------------------------------------------------------------------------

TEST(DatesTest, CheckDateAndDayNumberMatchTheCalendar) {
    for (int y = 1980; y <= 2099; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 0; d <= 32; ++d) {
                const std::string text = DateText(y, m, d);
                const year_month_day ymd{year{y}, month{static_cast<unsigned>(m)},
                                         day{static_cast<unsigned>(d)}};
                const int check = WCheckDate(text.c_str());
                if (ymd.ok()) {
                    ASSERT_EQ(check, 1) << text;
                    ASSERT_EQ(WDateToDays(text.c_str()), (sys_days{ymd} - kEpoch).count()) << text;
                } else {
                    // February 29 of a common year, 30 and 31: -2; the rest -1.
                    ASSERT_EQ(check, m == 2 && d >= 29 && d <= 31 ? -2 : -1) << text;
                    ASSERT_EQ(WDateToDays(text.c_str()), -1) << text;
                }
            }
        }
    }
}

// 2100 is not a leap year in the real calendar, but is one here.
TEST(DatesTest, Year2100CountsAsLeap) {
    EXPECT_FALSE((2100y / February / 29).ok());
    EXPECT_EQ(WCheckDate("21000229"), 1);
    EXPECT_EQ(WCheckDate("21000230"), -2);
    EXPECT_EQ(WDateToDays("21000229") - WDateToDays("21000228"), 1);
    EXPECT_EQ(WDateToDays("21000301"),
              (sys_days{2100y / March / 1} - kEpoch).count() + 1);
    char out[9] = {};
    EXPECT_EQ(WAddDays("21000228", "1", out), 1);
    EXPECT_EQ(std::string(out, 8), "21000229");
    EXPECT_EQ(WSubtractDays("21000301", "1", out), 2);
    EXPECT_EQ(std::string(out, 8), "21000229");
    EXPECT_EQ(WDiffDate("21000228", "21000301", out), 2);
    EXPECT_EQ(out[0], '2');
}

const int kCounts[] = {0, 1, 27, 28, 29, 30, 31, 59, 365, 366, 1000, 10000};

TEST(DatesTest, AddAndSubtractDaysMatchTheCalendar) {
    int checked = 0;
    // Every fifth day from 1980 to 2099: all days of the month and all
    // positions in the four-year cycle are reached.
    for (sys_days start = kEpoch; start <= sys_days{2099y / December / 31}; start += days{5}) {
        const std::string from = DateText(year_month_day{start});
        for (int n : kCounts) {
            const std::string count = std::to_string(n);
            char out[9];
            std::memset(out, 'x', sizeof out);
            const std::string added = ModuleText(start + days{n});
            ASSERT_EQ(WAddDays(from.c_str(), count.c_str(), out), ChangeCode(from, added))
                << from << " + " << n;
            ASSERT_EQ(std::string(out, 8), added) << from << " + " << n;
            ASSERT_EQ(out[8], 'x');  // no NUL after the eight characters

            const std::string subtracted = DateText(year_month_day{start - days{n}});
            ASSERT_EQ(WSubtractDays(from.c_str(), count.c_str(), out), ChangeCode(from, subtracted))
                << from << " - " << n;
            ASSERT_EQ(std::string(out, 8), subtracted) << from << " - " << n;
            ++checked;
        }
    }
    EXPECT_GT(checked, 100000);
}

TEST(DatesTest, DiffDateBothWaysMatchesTheCalendar) {
    for (sys_days start = kEpoch; start <= sys_days{2099y / December / 31}; start += days{7}) {
        const std::string d1 = DateText(year_month_day{start});
        for (int n : kCounts) {
            const sys_days other = start + days{n};
            if (other > sys_days{2099y / December / 31}) continue;
            const std::string d2 = DateText(year_month_day{other});
            const std::string digits = std::to_string(n);
            char out[16];
            std::memset(out, 'x', sizeof out);
            ASSERT_EQ(WDiffDate(d1.c_str(), d2.c_str(), out), n == 0 ? 0 : 2) << d1 << " " << d2;
            ASSERT_EQ(std::string(out, digits.size()), digits);
            ASSERT_EQ(out[digits.size()], 'x');  // no NUL after the digits
            std::memset(out, 'x', sizeof out);
            ASSERT_EQ(WDiffDate(d2.c_str(), d1.c_str(), out), n == 0 ? 0 : 1) << d2 << " " << d1;
            ASSERT_EQ(std::string(out, digits.size()), digits);
        }
    }
}

// ---------------------------------------------------------------------------
// Day arithmetic: known cases and limits.
// ---------------------------------------------------------------------------

TEST(DatesTest, AddAndSubtractKnownCases) {
    struct Case { bool add; const char* date; const char* count; int result; const char* expected; };
    const Case cases[] = {
        {true, "20241231", "1", 3, "20250101"},
        {true, "20990101", "365", 4, "21000101"},
        {true, "20240228", "1", 1, "20240229"},
        {true, "20240229", "1", 2, "20240301"},
        {true, "20240115", "0", 1, "20240115"},
        {true, "20240115", "000016", 1, "20240131"},
        {true, "99991230", "1", 1, "99991231"},
        {true, "19991231", "1", 4, "20000101"},
        {false, "20240301", "1", 2, "20240229"},
        {false, "20230301", "1", 2, "20230228"},
        {false, "20250101", "1", 3, "20241231"},
        {false, "20000101", "1", 4, "19991231"},
        {false, "00000102", "1", 1, "00000101"},
        {false, "00010101", "366", 3, "00000101"},  // year 0000 is a leap year
        {false, "20240315", "14", 1, "20240301"},
        {false, "20240315", "15", 2, "20240229"},
    };
    for (const Case& c : cases) {
        char out[9];
        std::memset(out, 'x', sizeof out);
        const int r = c.add ? WAddDays(c.date, c.count, out) : WSubtractDays(c.date, c.count, out);
        EXPECT_EQ(r, c.result) << c.date << (c.add ? " + " : " - ") << c.count;
        EXPECT_EQ(std::string(out, 8), c.expected) << c.date << (c.add ? " + " : " - ") << c.count;
        EXPECT_EQ(out[8], 'x');
    }
}

TEST(DatesTest, AddAndSubtractRefusalsWriteNothing) {
    struct Case { bool add; const char* date; const char* count; int result; };
    const Case cases[] = {
        {true, "20240101", nullptr, -1},     {false, "20240101", nullptr, -1},
        {true, "20240101", "-1", -1},        {false, "20240101", "-1", -1},
        {true, nullptr, "1", -1},            {false, nullptr, "1", -1},
        {true, "20230229", "1", -1},         {false, "20230229", "1", -1},
        {false, "00000101", "1", -5},        {false, "00010101", "367", -5},
        {false, "20240101", "2147483647", -5},
        {false, "20240101", "99999999999999999999", -5},
        // Past 9999-12-31 the eight characters cannot hold the date.
        {true, "99991231", "1", -1},         {true, "20240101", "2147483647", -1},
        {true, "20240101", "99999999999999999999", -1},
        {true, "20240101", "-2147483649", -1},
    };
    for (const Case& c : cases) {
        char out[9];
        std::memset(out, 'x', sizeof out);
        const int r = c.add ? WAddDays(c.date, c.count, out) : WSubtractDays(c.date, c.count, out);
        EXPECT_EQ(r, c.result) << (c.date ? c.date : "null") << " " << (c.count ? c.count : "null");
        for (char ch : out) EXPECT_EQ(ch, 'x');
    }
    EXPECT_EQ(WAddDays("20240101", "1", nullptr), -1);
    EXPECT_EQ(WSubtractDays("20240101", "1", nullptr), -1);
}

TEST(DatesTest, DiffDateKnownCases) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(WDiffDate("20240101", "20240102", out), 2);
    EXPECT_EQ(out[0], '1');
    EXPECT_EQ(out[1], 'x');
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(WDiffDate("20240101", "20240101", out), 0);
    EXPECT_EQ(out[0], '0');
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(WDiffDate("20240102", "20240101", nullptr), 1);
    EXPECT_EQ(WDiffDate(nullptr, "20240101", out), -1);
    EXPECT_EQ(WDiffDate("20240101", nullptr, out), -2);
    EXPECT_EQ(WDiffDate("20230229", "20230230", out), -1);
}

TEST(DatesTest, DiffTimeCases) {
    struct Case { const char* t1; const char* t2; int result; const char* text; };
    const Case cases[] = {
        {"235959", "000001", 1, "000002"}, {"120000", "120000", 0, "000000"},
        {"000000", "235959", 2, "235959"}, {"235959", "000000", 1, "000001"},
        {"101010", "111111", 2, "010101"}, {"111111", "101010", 1, "225859"},
        {"000001", "000000", 1, "235959"},
    };
    for (const Case& c : cases) {
        char out[8];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(WDiffTime(c.t1, c.t2, out), c.result) << c.t1 << " " << c.t2;
        EXPECT_EQ(std::string(out, 6), c.text) << c.t1 << " " << c.t2;
        EXPECT_EQ(out[6], 'x');  // no NUL after the six characters
    }
    EXPECT_EQ(WDiffTime("120000", "120001", nullptr), 2);
    EXPECT_EQ(WDiffTime(nullptr, "120000", nullptr), -1);
}

// ---------------------------------------------------------------------------
// Current date and time.
// ---------------------------------------------------------------------------

struct Stamp { std::string date, time; };

// The texts the clock shows for t, through the C library.
Stamp Expected(time_t t, bool local) {
    struct tm tm {};
    if (local) localtime_r(&t, &tm); else gmtime_r(&t, &tm);
    char date[64], time[64];
    std::snprintf(date, sizeof date, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    std::snprintf(time, sizeof time, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return {date, time};
}

// Calls the function within one second of the wall clock, so the result can
// be compared exactly (retries when the second changed during the call).
void CheckNow(int (*fn)(char*, char*), bool local) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const time_t before = std::time(nullptr);
        char date[9], time[7];
        std::memset(date, 'x', sizeof date);
        std::memset(time, 'x', sizeof time);
        ASSERT_EQ(fn(date, time), 1);
        if (std::time(nullptr) != before) continue;
        const Stamp want = Expected(before, local);
        EXPECT_STREQ(date, want.date.c_str());
        EXPECT_STREQ(time, want.time.c_str());
        return;
    }
    FAIL() << "the clock changed second during every attempt";
}

class LocalZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_) oldTz_ = tz;
        // A zone 5 h 30 min east of UTC, so local and UTC texts differ.
        setenv("TZ", "XYZ-05:30", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) setenv("TZ", oldTz_.c_str(), 1); else unsetenv("TZ");
        tzset();
    }
    bool hadTz_ = false;
    std::string oldTz_;
};

TEST_F(LocalZone, LocalAndGmtDateTime) {
    CheckNow(WGetLocalDateTime, true);
    CheckNow(WGetGmtDateTime, false);
    // Local is UTC + 5:30 here.
    char gmtDate[9], gmtTime[7], locDate[9], locTime[7];
    for (int attempt = 0; attempt < 5; ++attempt) {
        const time_t before = std::time(nullptr);
        ASSERT_EQ(WGetGmtDateTime(gmtDate, gmtTime), 1);
        ASSERT_EQ(WGetLocalDateTime(locDate, locTime), 1);
        if (std::time(nullptr) == before) break;
    }
    const int gmtSec = std::atoi(std::string(gmtTime, 2).c_str()) * 3600 +
                       std::atoi(std::string(gmtTime + 2, 2).c_str()) * 60 +
                       std::atoi(gmtTime + 4) + WDateToDays(gmtDate) * 86400;
    const int locSec = std::atoi(std::string(locTime, 2).c_str()) * 3600 +
                       std::atoi(std::string(locTime + 2, 2).c_str()) * 60 +
                       std::atoi(locTime + 4) + WDateToDays(locDate) * 86400;
    EXPECT_EQ(locSec - gmtSec, 5 * 3600 + 30 * 60);
    // Either output may be null.
    char only[9] = {};
    EXPECT_EQ(WGetLocalDateTime(only, nullptr), 1);
    EXPECT_EQ(std::strlen(only), 8u);
    EXPECT_EQ(WGetGmtDateTime(nullptr, nullptr), 1);
}

// ---------------------------------------------------------------------------
// Comparison with now.
// ---------------------------------------------------------------------------

std::string UtcDate(sys_days d) { return DateText(year_month_day{d}); }

TEST(DatesTest, CompareWithNow) {
    const auto now = floor<seconds>(system_clock::now());
    const sys_days today = floor<days>(now);
    const hh_mm_ss<seconds> clock{now - today};
    const int hour = static_cast<int>(clock.hours().count());
    char time[40];

    // One hour ahead of now (the same time tomorrow's date when that wraps).
    std::snprintf(time, sizeof time, "%02d%02d%02d", (hour + 1) % 24,
                  static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    const std::string aheadDate = UtcDate(hour == 23 ? today + days{1} : today);
    EXPECT_EQ(WCompareWithNow(aheadDate.c_str(), time, 0), 1);

    // One hour behind.
    std::snprintf(time, sizeof time, "%02d%02d%02d", (hour + 23) % 24,
                  static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    const std::string behindDate = UtcDate(hour == 0 ? today - days{1} : today);
    EXPECT_EQ(WCompareWithNow(behindDate.c_str(), time, 0), 2);

    // Dates against now moved by the offset.
    const std::string todayText = UtcDate(today);
    EXPECT_EQ(WCompareWithNow(todayText.c_str(), "120000", 1), 2);
    EXPECT_EQ(WCompareWithNow(todayText.c_str(), "120000", -1), 1);
    EXPECT_EQ(WCompareWithNow(UtcDate(today + days{3}).c_str(), "000000", 2), 1);
    EXPECT_EQ(WCompareWithNow(UtcDate(today - days{40}).c_str(), "235959", -39), 2);
    EXPECT_EQ(WCompareWithNow(UtcDate(today + days{400}).c_str(), "000000", 399), 1);

    // Errors.
    EXPECT_EQ(WCompareWithNow("20240230", "120000", 0), -1);
    EXPECT_EQ(WCompareWithNow(nullptr, "120000", 0), -1);
    EXPECT_EQ(WCompareWithNow(todayText.c_str(), "250000", 0), -1);
    EXPECT_EQ(WCompareWithNow(todayText.c_str(), nullptr, 0), -1);
    EXPECT_EQ(WCompareWithNow("19700101", "120000", 0), -3);
    EXPECT_LT(WCompareWithNow(todayText.c_str(), "120000", INT32_MIN), 0);
    EXPECT_LT(WCompareWithNow(todayText.c_str(), "120000", INT32_MAX), 0);
}

}  // namespace

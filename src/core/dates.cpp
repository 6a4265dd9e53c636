// Date and time arithmetic on fixed-width digit texts.
#include "core/dates.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace {

// Cumulative days before each month of a common year.
constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Reads n digits at text[pos..pos+n). False when one of them is not a digit
// (the text's NUL included, so a short text is never read past its end).
// The caller checks the earlier positions first, in order.
bool ReadDigits(const char* text, int pos, int n, int* value) {
    int v = 0;
    for (int i = pos; i < pos + n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

bool IsLeap(int century, int year) { return (century * 100 + year) % 4 == 0; }

int MonthLength(int century, int year, int month) {
    switch (month) {
        case 2: return IsLeap(century, year) ? 29 : 28;
        case 4: case 6: case 9: case 11: return 30;
        default: return 31;
    }
}

// Splits a date already accepted by WCheckDate.
void SplitDate(const char* date, int* century, int* year, int* month, int* day) {
    ReadDigits(date, 0, 2, century);
    ReadDigits(date, 2, 2, year);
    ReadDigits(date, 4, 2, month);
    ReadDigits(date, 6, 2, day);
}

// Seconds of an HHMMSS text already accepted by WCheckTime.
long TimeSeconds(const char* hhmmss) {
    int h = 0, m = 0, s = 0;
    ReadDigits(hhmmss, 0, 2, &h);
    ReadDigits(hhmmss, 2, 2, &m);
    ReadDigits(hhmmss, 4, 2, &s);
    return h * 3600L + m * 60L + s;
}

// The count text read as atoi would, without atoi's undefined behaviour on
// overflow: values beyond the int range are clamped.
long long ReadCount(const char* text) {
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return v;
}

void WriteDate(char* output, int century, int year, int month, int day) {
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d", century, year, month, day);
    std::memcpy(output, text, 8);
}

int CurrentDateTime(bool local, char* date, char* time) {
    const time_t now = static_cast<time_t>(plat::RealtimeMs() / 1000);
    struct tm tm {};
    if ((local ? localtime_r(&now, &tm) : gmtime_r(&now, &tm)) == nullptr) return -1;
    const int year = tm.tm_year + 1900;
    if (year < 0 || year > 9999) return -1;
    char text[64];
    if (date != nullptr) {
        std::snprintf(text, sizeof text, "%04d%02d%02d", year, tm.tm_mon + 1, tm.tm_mday);
        std::memcpy(date, text, 9);
    }
    if (time != nullptr) {
        std::snprintf(text, sizeof text, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        std::memcpy(time, text, 7);
    }
    return 1;
}

}  // namespace

int WCheckTime(const char* hhmmss) {
    if (hhmmss == nullptr) return -1;
    int h = 0, m = 0, s = 0;
    if (!ReadDigits(hhmmss, 0, 2, &h) || !ReadDigits(hhmmss, 2, 2, &m) ||
        !ReadDigits(hhmmss, 4, 2, &s))
        return -1;
    if (h > 23 || m > 59 || s > 59) return -1;
    return 1;
}

int WCheckDate(const char* yyyymmdd) {
    if (yyyymmdd == nullptr) return -1;
    int century = 0, year = 0, month = 0, day = 0;
    if (!ReadDigits(yyyymmdd, 0, 2, &century) || !ReadDigits(yyyymmdd, 2, 2, &year) ||
        !ReadDigits(yyyymmdd, 4, 2, &month) || !ReadDigits(yyyymmdd, 6, 2, &day))
        return -1;
    if (month < 1 || month > 12 || day < 1 || day > 31) return -1;
    if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) return -1;
    if (month == 2 && (day > 29 || (day == 29 && !IsLeap(century, year)))) return -2;
    return 1;
}

int WDateToDays(const char* yyyymmdd) {
    if (WCheckDate(yyyymmdd) != 1) return -1;
    int century = 0, year = 0, month = 0, day = 0;
    SplitDate(yyyymmdd, &century, &year, &month, &day);
    // The count is defined from 1980 on, for centuries 19 to 39: outside that
    // range the formula would give a negative or wrapped (wrong) day number.
    if (century < 19 || century > 39 || (century == 19 && year < 80)) return -1;
    const int a = century == 19 ? year - 80 : year + 20 + 100 * (century % 20);
    int days = 365 * a + a / 4 + kDaysBeforeMonth[month - 1] + day;
    if (month <= 2 && IsLeap(century, year)) days -= 1;
    return days;
}

int WConvertDate(char* output, const char* input, int kind) {
    if (output == nullptr || input == nullptr || kind < 0 || kind > 3) return -1;
    const size_t width = kind <= 1 ? 8 : 6;
    if (strnlen(input, width) < width) return -1;
    char text[9];
    switch (kind) {
        case 0:  // DDMMYYYY -> YYYYMMDD
            std::memcpy(text, input + 4, 4);
            std::memcpy(text + 4, input + 2, 2);
            std::memcpy(text + 6, input, 2);
            break;
        case 1:  // YYYYMMDD -> DDMMYYYY
            std::memcpy(text, input + 6, 2);
            std::memcpy(text + 2, input + 4, 2);
            std::memcpy(text + 4, input, 4);
            break;
        default:  // YYMMDD <-> DDMMYY
            std::memcpy(text, input + 4, 2);
            std::memcpy(text + 2, input + 2, 2);
            std::memcpy(text + 4, input, 2);
            break;
    }
    // Built aside first so that output and input may be the same text.
    text[width] = '\0';
    std::memcpy(output, text, width + 1);
    return 1;
}

int WGetLocalDateTime(char* date, char* time) { return CurrentDateTime(true, date, time); }

int WGetGmtDateTime(char* date, char* time) { return CurrentDateTime(false, date, time); }

int WDiffTime(const char* t1, const char* t2, char* output) {
    if (WCheckTime(t1) != 1 || WCheckTime(t2) != 1) return -1;
    long d = TimeSeconds(t2) - TimeSeconds(t1);
    int result;
    if (d < 0) {
        d += 86400;
        result = 1;
    } else {
        result = d > 0 ? 2 : 0;
    }
    if (output != nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "%02ld%02ld%02ld", d / 3600, d / 60 % 60, d % 60);
        std::memcpy(output, text, 6);
    }
    return result;
}

int WAddDays(const char* date, const char* count, char* output) {
    if (count == nullptr || output == nullptr) return -1;
    const long long n = ReadCount(count);
    if (n < 0 || WCheckDate(date) != 1) return -1;
    int century = 0, year = 0, month = 0, day0 = 0;
    SplitDate(date, &century, &year, &month, &day0);
    long long day = day0 + n;
    int result = 1;
    while (day > MonthLength(century, year, month)) {
        day -= MonthLength(century, year, month);
        if (result < 2) result = 2;
        if (++month > 12) {
            month = 1;
            if (result < 3) result = 3;
            if (++year > 99) {
                year = 0;
                result = 4;
                // Past 9999-12-31 the text cannot hold the date.
                if (++century > 99) return -1;
            }
        }
    }
    WriteDate(output, century, year, month, static_cast<int>(day));
    return result;
}

int WSubtractDays(const char* date, const char* count, char* output) {
    if (count == nullptr || output == nullptr) return -1;
    long long n = ReadCount(count);
    if (n < 0 || WCheckDate(date) != 1) return -1;
    int century = 0, year = 0, month = 0, day = 0;
    SplitDate(date, &century, &year, &month, &day);
    int result = 1;
    while (n >= day) {
        n -= day;
        if (result < 2) result = 2;
        if (--month < 1) {
            month = 12;
            if (result < 3) result = 3;
            if (--year < 0) {
                year = 99;
                result = 4;
                if (--century < 0) return -5;
            }
        }
        day = MonthLength(century, year, month);
    }
    WriteDate(output, century, year, month, day - static_cast<int>(n));
    return result;
}

int WDiffDate(const char* d1, const char* d2, char* output) {
    if (WCheckDate(d1) != 1) return -1;
    if (WCheckDate(d2) != 1) return -2;
    const int n1 = WDateToDays(d1);
    const int n2 = WDateToDays(d2);
    if (n1 < 0 || n2 < 0) return -3;
    if (output != nullptr) {
        char text[16];
        const int len = std::snprintf(text, sizeof text, "%d", n2 > n1 ? n2 - n1 : n1 - n2);
        std::memcpy(output, text, static_cast<size_t>(len));
    }
    if (n1 == n2) return 0;
    return n2 > n1 ? 2 : 1;
}

int WCompareWithNow(const char* date, const char* time, int offset) {
    char nowDate[9];
    char nowTime[7];
    if (WGetGmtDateTime(nowDate, nowTime) != 1) return -1;
    char moved[9] = {};
    char count[24];
    int r;
    if (offset >= 0) {
        std::snprintf(count, sizeof count, "%06d", offset);
        r = WAddDays(nowDate, count, moved);
    } else {
        std::snprintf(count, sizeof count, "%06lld", -static_cast<long long>(offset));
        r = WSubtractDays(nowDate, count, moved);
    }
    if (r < 0) return r;
    r = WDiffDate(date, moved, nullptr);
    if (r != 0) return r;
    char diff[6];
    return WDiffTime(time, nowTime, diff);
}

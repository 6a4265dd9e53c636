// Date and time arithmetic on fixed-width digit texts (YYYYMMDD, DDMMYYYY,
// YYMMDD, DDMMYY, HHMMSS) and the current local and UTC date and time.
//
// Every year divisible by 4 counts as a leap year (2100 included). Texts are
// read at their fixed positions; a text that ends (NUL) before its width is
// refused like a malformed one. Outputs are left untouched on every error.
#pragma once

// 1 when the six characters are digits with hours 0-23, minutes and seconds
// 0-59; -1 otherwise (null or short text included).
int WCheckTime(const char* hhmmss);

// 1 for a valid YYYYMMDD; -1 for non-digits, month outside 1-12, day outside
// 1-31 or day 31 of a 30-day month; -2 for 29 February of a year not divisible
// by 4 and for 30 or 31 February.
int WCheckDate(const char* yyyymmdd);

// Days since 1 January 1980 (day 0). -1 when WCheckDate is not 1, and for
// dates outside 1980-01-01 .. 3999-12-31 (the range the count is defined on).
int WDateToDays(const char* yyyymmdd);

// Reorders date fields into output: kind 0 DDMMYYYY -> YYYYMMDD, kind 1
// YYYYMMDD -> DDMMYYYY, kinds 2 and 3 swap the first and last pair of a
// six-digit date. The output gets a NUL after its 8 or 6 characters (so it
// needs 9 or 7 bytes). -1 for a null argument, an unknown kind or a short input.
int WConvertDate(char* output, const char* input, int kind);

// Current local date "YYYYMMDD" and time "HHMMSS", each NUL-terminated (9 and
// 7 bytes); either output may be null. 1, or -1 when the clock cannot be read.
int WGetLocalDateTime(char* date, char* time);
// The same in UTC.
int WGetGmtDateTime(char* date, char* time);

// Difference t2 - t1 written as six characters HHMMSS (no NUL) into output
// (skipped when null). 0 equal, 2 t2 later the same day, 1 t2 earlier (taken
// as the next day, 86400 s added); -1 for a bad time.
int WDiffTime(const char* t1, const char* t2, char* output);

// Adds the count (decimal text) of days to the date; output receives eight
// characters CCYYMMDD without a NUL. Result: the largest field changed,
// 1 day, 2 month, 3 year, 4 century; -1 for a null argument, a negative count,
// a bad date or a result after 9999-12-31 (nothing written).
int WAddDays(const char* date, const char* count, char* output);

// Subtracts the count of days; results as WAddDays, and -5 when the result
// would fall before year 0000 (nothing written).
int WSubtractDays(const char* date, const char* count, char* output);

// Compares two dates: 0 same day, 2 d2 later, 1 d1 later; -1 bad d1, -2 bad
// d2, -3 a date outside the day-number range. When output is not null it
// receives the absolute difference in days as decimal digits, without a NUL.
int WDiffDate(const char* d1, const char* d2, char* output);

// Compares a UTC date and time with the UTC time now moved by offset days:
// 1 the given moment is later, 2 earlier, 0 the same second; negative on error.
int WCompareWithNow(const char* date, const char* time, int offset);

// Trace and log core: the two trace entry points, logger thresholds, the
// output hook and the size-limited log file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

// Level of a trace message.
using WLogMessageLevel = int32_t;
constexpr WLogMessageLevel WLOG_TRACE = 5000;
constexpr WLogMessageLevel WLOG_DEBUG = 10000;
constexpr WLogMessageLevel WLOG_INFO = 20000;
constexpr WLogMessageLevel WLOG_WARN = 30000;
constexpr WLogMessageLevel WLOG_ERROR = 40000;
constexpr WLogMessageLevel WLOG_FATAL = 50000;
constexpr WLogMessageLevel WLOG_UNKNOWN = INT32_MIN;

// printf-style message whose first eleven characters name its level.
int WSysError(const char* format, ...) __attribute__((format(printf, 1, 2)));

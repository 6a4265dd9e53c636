// Application trace front end and exchange log.
//
// TraceLog writes one line: level banner, the category centred in 15 columns,
// ">>>>> " and the message. The exchange log is not written yet.
#pragma once

// Kinds of TraceLog: 0 error, 1 warning, 3 debug, anything else information.
constexpr int TRACE_ERROR = 0;
constexpr int TRACE_WARN = 1;
constexpr int TRACE_INFO = 2;
constexpr int TRACE_DEBUG = 3;

void TraceLog(int kind, const char* category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes one exchange-log entry (type 0 to the POS, 1 from the POS, 2 to a
// server, 3 from a server).
void LogExchange(int type, const char* message, const char* name, int limitKb);

// The application's debug level (0 switches TraceLog off); 1 until set.
void TraceFrontSetDebugLevel(int level);
// The trace-zone writer that TraceLog puts in place for its line, then puts
// back the standard hook. Null (the default) leaves the current hook alone.
using TraceZoneWriterFn = int (*)(const char* text);
void TraceFrontSetZoneWriter(TraceZoneWriterFn writer, TraceZoneWriterFn standardHook);
// Writes one finished line through the zone writer as TraceLog does.
void TraceFrontWriteLine(const char* line);

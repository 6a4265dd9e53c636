// Application trace front end, exchange log and log options.
//
// TraceLog writes one line: level banner, the category centred in 15 columns,
// ">>>>> " and the message. LogExchange keeps a masked, time-stamped copy of
// every message exchanged with the cash register and the servers in two
// size-limited files. ConfigureLogLevels applies the log options to the
// logger thresholds.
//
// The program's context is not reachable from here: what these services read
// from it (exchange-log streams, flags, options) comes through a binding the
// program installs at session opening. Without one they keep their own
// streams and read no option.
#pragma once
#include <cstdio>

#include "core/trace.h"

// Kinds of TraceLog: 0 error, 1 warning, 3 debug, anything else information.
constexpr int TRACE_ERROR = 0;
constexpr int TRACE_WARN = 1;
constexpr int TRACE_INFO = 2;
constexpr int TRACE_DEBUG = 3;

// Exchange-log directions.
constexpr int EXCHANGE_TO_POS = 0;
constexpr int EXCHANGE_FROM_POS = 1;
constexpr int EXCHANGE_TO_SERVER = 2;
constexpr int EXCHANGE_FROM_SERVER = 3;

// Limits of the exchange log: the whole name, its base (the name without its
// extension), card values, "DA8" values and display texts looked up in a
// message.
constexpr size_t kExchangeLogNameMax = 100;
constexpr size_t kExchangeLogBaseMax = 92;
constexpr size_t kExchangeCardValueMax = 50;
constexpr size_t kExchangePivotValueMax = 17;
constexpr size_t kExchangeDisplayValueMax = 512;
// Longest option key "LogLevel-<name>" read by ConfigureLogLevels.
constexpr size_t kLogLevelKeyMax = 80;

void TraceLog(int kind, const char* category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The head of a TraceLog line (level banner, the category centred in 15
// columns, ">>>>> ") into out, terminated; its length, or 0 when out has no
// room for it.
size_t TraceLogHead(int kind, const char* category, char* out, size_t size);

// "INFO", "WARN", "ERROR", "TRACE" (exact case) give their level; anything
// else, null included, gives WLOG_UNKNOWN (everything passes).
WLogMessageLevel ParseLogLevel(const char* word);

// Applies the options "LogLevel" (threshold of "wsyserror"), "LogLoggers"
// (names separated by ";") and "LogLevel-<name>" (threshold of each named
// logger) through the option reader of the binding.
void ConfigureLogLevels();

// Writes one exchange-log entry (type 0 to the POS, 1 from the POS, 2 to a
// server, 3 from a server): card values of the message are registered with
// the trace masking, tickets removed, sensitive values blotted out, then the
// stamped entry goes to the file of its side.
void LogExchange(int type, const char* message, const char* name, int limitKb);
// The file part: appends stamp and label then the text to the file of the
// type's side and moves the file to its backup once it reaches the limit.
void WriteExchangeLog(int type, const char* stampAndLabel, const char* text, const char* name,
                      int limitKb);
// File names of one exchange-log name: the side's file and its backup (empty
// texts when the name is refused). 1 done, -1 refused (null, empty or too
// long name or base).
int ExchangeLogFileNames(const char* name, int type, char* file, char* backup, size_t size);

// What the front end reads from the program. Every member may be null.
struct TraceFrontBinding {
    // The stream slot of a side (0 cash register, 1 servers); null when the
    // program has none at the moment.
    FILE** (*exchangeLogSlot)(int side) = nullptr;
    // Non-zero: close both exchange-log files after every entry.
    int (*closeEachWrite)() = nullptr;
    // Non-zero while a card number is keyed in by hand.
    int (*manualEntryActive)() = nullptr;
    // The text of one option, or null when absent.
    const char* (*readOption)(const char* key) = nullptr;
};
void TraceFrontBind(const TraceFrontBinding& binding);
// Replaces only the option reader of the binding.
void TraceFrontSetOptionReader(const char* (*readOption)(const char* key));
// Closes both exchange-log files (the bound slots, else the front end's own).
void TraceFrontCloseExchangeLogs();

// The application's debug level (0 switches TraceLog off); 1 until set.
void TraceFrontSetDebugLevel(int level);
// The trace-zone writer that TraceLog puts in place for its line, then puts
// back the standard hook. Null (the default) leaves the current hook alone.
using TraceZoneWriterFn = int (*)(const char* text);
void TraceFrontSetZoneWriter(TraceZoneWriterFn writer, TraceZoneWriterFn standardHook);
// Writes one finished line through the zone writer as TraceLog does.
void TraceFrontWriteLine(const char* line);
// Writes one stored record (WSysWriteRecord: never filtered by the logger
// thresholds, the head as it stands, the text masked) through the zone
// writer as TraceFrontWriteLine does.
void TraceFrontWriteRecord(const char* head, const char* text);

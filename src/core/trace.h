// Trace and log core: the two trace entry points, logger thresholds, the
// output hook and the size-limited log file.
//
// Every line goes through one process-wide recursive lock: filtering,
// formatting, masking of card data and the hook call all happen while it is
// held, so lines never interleave and the hook is never called concurrently.
#pragma once
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/file_stamp.h"

// Level of a trace message.
using WLogMessageLevel = int32_t;
constexpr WLogMessageLevel WLOG_TRACE = 5000;
constexpr WLogMessageLevel WLOG_DEBUG = 10000;
constexpr WLogMessageLevel WLOG_INFO = 20000;
constexpr WLogMessageLevel WLOG_WARN = 30000;
constexpr WLogMessageLevel WLOG_ERROR = 40000;
constexpr WLogMessageLevel WLOG_FATAL = 50000;
// Level not known; as a threshold, everything passes.
constexpr WLogMessageLevel WLOG_UNKNOWN = INT32_MIN;

// Size of the line buffer: a finished line holds at most 10239 characters.
constexpr size_t WSYS_TRACE_BUFFER_SIZE = 10240;

// Output hook: receives every finished, masked line. Its result is ignored.
using WSysTraceHook = int (*)(const char* text);

// Logger threshold table: logger name (compared byte by byte) -> minimum level.
using WSysLoggerLevels = std::map<std::string, WLogMessageLevel, std::less<>>;

// The process-wide trace lock (recursive, never destroyed). Modules that must
// keep several trace operations together (swapping hooks around a line) hold it.
std::recursive_mutex& WSysTraceLock();

// printf-style message whose first eleven characters name its level; logger
// "wsyserror". Always 0.
int WSysError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Message of a named logger at an explicit level. The process id, source file,
// function signature and line are accepted and not written.
void WSysLog(const char* logger, unsigned processId, WLogMessageLevel level, const char* sourceFile,
             const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 7, 8)));

// Traces `length` data bytes as lower-case hexadecimal behind a label:
// "<banner> [<logger>] <label> [<hex>]". Card data in the bytes is masked
// first (WSysMaskBytes): its bytes read 2d.
void WSysLogHex(const char* logger, unsigned processId, WLogMessageLevel level,
                const char* sourceFile, const char* function, int line, const void* data,
                size_t length, const char* label);

// Writes one stored record through the hook, whatever the logger thresholds
// say: the head as it stands (it must hold no clear card data, such as
// enciphered bytes in hexadecimal), then the text masked like every trace
// line, cut so that the whole stays within 10239 characters. Always 0.
int WSysWriteRecord(const char* head, const char* text);

// Level named by the first eleven characters of a text (WLOG_UNKNOWN if none).
WLogMessageLevel WSysTraceLevel(const char* text);

// Installs the output hook (null switches trace output off). Always 1.
int WSysSetTraceHook(WSysTraceHook hook);
// The hook currently installed.
WSysTraceHook WSysGetTraceHook();

// Hook present at load: writes the line between banners to standard error.
// Always 0.
int WSysDumpMessage(const char* text);
// Counter of WSysDumpMessage (0 to 31999); the reset is for tests.
int WSysDumpMessageCounter();
void WSysResetDumpMessageCounter();

// Thresholds. Every read and change of a table happens under the trace lock.
bool WSysLoggerEnabled(const char* logger, WLogMessageLevel level);
bool WSysLoggerEnabledIn(const WSysLoggerLevels* table, const char* logger,
                         WLogMessageLevel level);
void WSysSetLoggerLevel(const char* logger, WLogMessageLevel threshold);
void WSysSetErrorLevel(WLogMessageLevel threshold);
void WSysSetLevelIn(WSysLoggerLevels* table, const char* logger, WLogMessageLevel threshold);
// "wsyserror": everything; "root": 30000, or everything when the environment
// variable "TALVO.LOG.ENABLED_LOGGERS" is set.
void WSysInitLoggerLevels(WSysLoggerLevels* table);
// The process-wide table (null before start-up and after exit). Read or change
// it only through the functions above, or while holding WSysTraceLock().
WSysLoggerLevels* WSysProcessLoggerLevels();

// Start-up object: creates the process-wide table with its defaults before
// main, publishes it and destroys it at process exit.
class WSysLoggerLevelsHolder {
public:
    WSysLoggerLevelsHolder();
    ~WSysLoggerLevelsHolder();
    WSysLoggerLevelsHolder(const WSysLoggerLevelsHolder&) = delete;
    WSysLoggerLevelsHolder& operator=(const WSysLoggerLevelsHolder&) = delete;

private:
    WSysLoggerLevels* table_;
};

// Log file with a size limit: a file grown beyond the limit is moved to its
// backup name (last three characters replaced by "SPB") when next opened.
// Files are created with mode 0600: they can hold card data.
class WSysLogFile {
public:
    WSysLogFile(const char* path, int32_t limit);
    ~WSysLogFile();
    WSysLogFile(const WSysLogFile&) = delete;
    WSysLogFile& operator=(const WSysLogFile&) = delete;

    void open();
    // For a file written line after line: keeps the file already open while
    // it is still the file of its path (not moved or removed from outside)
    // and within the limit, else opens it again (rotating it as open()
    // does). While the file's directory is missing, no open is tried until
    // it appears. True when a line can be written.
    bool openKept();
    void log(const char* text);
    void writeLine(const char* text);
    void writeStamped(const char* text);
    void close();

    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }
    int32_t limit() const { return limit_; }

private:
    FILE* file_ = nullptr;
    std::string path_;
    int32_t limit_;
    uint64_t openedDevice_ = 0, openedInode_ = 0;
    bool directoryMissing_ = false;
    plat::FileStamp missingDirectory_;
};

// Writes the calling thread's OpenSSL error queue to the trace (logger
// "openssl", level 40000), one line per error, and empties it. Always 0.
int OpenSSLHelper_logErrorStack();

// Internal: formats, masks and hands one line to the hook. Called by WSysError
// and WSysLog with the trace lock held.
void WSysTrace(WLogMessageLevel level, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// Convenience for callers: pass the file, function and line. The process id
// is not written, so none is asked of the system (a filtered line then costs
// no system call): 0 stands for it.
#define WLOG(logger, level, fmt, ...)                                                       \
    WSysLog((logger), 0u, (level), __FILE__, __PRETTY_FUNCTION__, __LINE__,                  \
            fmt __VA_OPT__(, ) __VA_ARGS__)
#define WLOG_HEX(logger, level, data, length, label)                                        \
    WSysLogHex((logger), 0u, (level), __FILE__, __PRETTY_FUNCTION__, __LINE__, (data),      \
               (length), (label))

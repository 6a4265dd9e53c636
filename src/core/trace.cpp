// Trace and log core.
#include "core/trace.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>

#include "core/card_masking.h"
#include "core/helpers.h"
#include "platform/private_file.h"

namespace {

constexpr size_t kBannerLength = 11;
constexpr const char* kErrorLogger = "wsyserror";
constexpr const char* kRootLogger = "root";
constexpr const char* kEnabledLoggersVariable = "TALVO.LOG.ENABLED_LOGGERS";
constexpr int kDumpCounterModulo = 32000;

struct BannerLevel {
    const char* banner;
    WLogMessageLevel level;
};

// Banners recognised at the start of a WSysError format.
constexpr BannerLevel kRecognisedBanners[] = {
    {"## TRACE ##", WLOG_TRACE}, {"@@ DEBUG @@", WLOG_DEBUG}, {"** INFO. **", WLOG_INFO},
    {"<< WARN. >>", WLOG_WARN},  {"-- ERROR --", WLOG_ERROR}, {"!! FATAL !!", WLOG_FATAL},
};

// Banner WSysLog writes for a level.
const char* LogBanner(WLogMessageLevel level) {
    switch (level) {
        case WLOG_TRACE: return "@@ TRACE @@";
        case WLOG_DEBUG: return "@@ DEBUG @@";
        case WLOG_INFO: return "** INFO. **";
        case WLOG_WARN: return "<< WARN. >>";
        case WLOG_ERROR: return "-- ERROR --";
        case WLOG_FATAL: return "!! FATAL !!";
        default: return "?? UNKN. ??";
    }
}

// Guarded by the trace lock.
WSysTraceHook g_hook = WSysDumpMessage;
WSysLoggerLevels* g_levels = nullptr;
int g_dumpCounter = 0;

// Local time of day with milliseconds.
struct Stamp {
    int day, month, hour, minute, second, millis;
};

Stamp LocalStamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    return Stamp{t.tm_mday, t.tm_mon + 1, t.tm_hour, t.tm_min, t.tm_sec,
                 static_cast<int>(ts.tv_nsec / 1000000)};
}

// Formats one line (optional "<banner> [<logger>] " prefix, then the message)
// into a bounded stack buffer, masks it and hands it to the hook. The logger
// name is printed as an argument, never used as a format. Trace lock held.
__attribute__((format(printf, 3, 0))) void TraceLine(const char* banner, const char* logger,
                                                     const char* format, va_list args) {
    WSysTraceHook hook = g_hook;
    if (hook == nullptr) return;  // output off: no formatting, no masking

    char buffer[WSYS_TRACE_BUFFER_SIZE];
    size_t used = 0;
    buffer[0] = '\0';
    if (banner != nullptr) {
        int n = std::snprintf(buffer, sizeof buffer, "%s [%s] ", banner, logger);
        if (n > 0) used = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    }
    if (used < sizeof buffer - 1) {
        if (std::vsnprintf(buffer + used, sizeof buffer - used, format, args) < 0) buffer[used] = '\0';
    }
    buffer[sizeof buffer - 1] = '\0';

    WSysMaskLine(buffer, sizeof buffer - 1);
    hook(buffer);
}

bool EnabledIn(const WSysLoggerLevels* table, const char* logger, WLogMessageLevel level) {
    if (logger == nullptr) return false;
    auto it = table->find(std::string_view(logger));
    if (it == table->end()) it = table->find(std::string_view(kRootLogger));
    if (it == table->end()) return false;
    return level >= it->second;
}

FILE* OpenPrivate(const std::string& path, bool append) { return plat::OpenPrivateFile(path.c_str(), append); }

// Created before main by the first static initialiser that traces, or here.
WSysLoggerLevelsHolder g_levelsHolder;

}  // namespace

std::recursive_mutex& WSysTraceLock() {
    // Deliberately never destroyed: traces from static destructors stay safe.
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

WLogMessageLevel WSysTraceLevel(const char* text) {
    if (text == nullptr || ::strnlen(text, kBannerLength) < kBannerLength) return WLOG_UNKNOWN;
    for (const BannerLevel& b : kRecognisedBanners) {
        if (std::memcmp(text, b.banner, kBannerLength) == 0) return b.level;
    }
    return WLOG_UNKNOWN;
}

void WSysTrace(WLogMessageLevel level, const char* format, va_list args) {
    (void)level;
    if (format == nullptr) return;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    TraceLine(nullptr, nullptr, format, args);
}

int WSysWriteRecord(const char* head, const char* text) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    WSysTraceHook hook = g_hook;
    if (hook == nullptr) return 0;
    char buffer[WSYS_TRACE_BUFFER_SIZE];
    const size_t headLength = head != nullptr ? strnlen(head, sizeof buffer - 1) : 0;
    if (headLength > 0) std::memcpy(buffer, head, headLength);
    const size_t room = sizeof buffer - 1 - headLength;
    const size_t textLength = text != nullptr ? strnlen(text, room) : 0;
    if (textLength > 0) std::memcpy(buffer + headLength, text, textLength);
    buffer[headLength + textLength] = '\0';
    WSysMaskLine(buffer + headLength, room);
    hook(buffer);
    return 0;
}

int WSysError(const char* format, ...) {
    if (format == nullptr) return 0;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    WLogMessageLevel level = WSysTraceLevel(format);
    if (WSysLoggerEnabled(kErrorLogger, level)) {
        va_list args;
        va_start(args, format);
        WSysTrace(level, format, args);
        va_end(args);
    }
    return 0;
}

void WSysLog(const char* logger, unsigned processId, WLogMessageLevel level, const char* sourceFile,
             const char* function, int line, const char* format, ...) {
    (void)processId;
    (void)sourceFile;
    (void)function;
    (void)line;
    if (logger == nullptr || format == nullptr) return;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (!WSysLoggerEnabled(logger, level)) return;
    va_list args;
    va_start(args, format);
    TraceLine(LogBanner(level), logger, format, args);
    va_end(args);
}

void WSysLogHex(const char* logger, unsigned processId, WLogMessageLevel level,
                const char* sourceFile, const char* function, int line, const void* data,
                size_t length, const char* label) {
    if (logger == nullptr || (data == nullptr && length != 0)) return;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (!WSysLoggerEnabled(logger, level) || g_hook == nullptr) return;

    // Bytes beyond what a line can show are not converted.
    const size_t maxBytes = WSYS_TRACE_BUFFER_SIZE / 2;
    if (length > maxBytes) length = maxBytes;
    char* hex = static_cast<char*>(WAlloc(2 * length + 1));
    // The bytes' own card data is masked before they become digits: in
    // hexadecimal a packed card number reads as the number itself.
    auto* bytes = static_cast<unsigned char*>(WAlloc(length + 1));
    if (hex == nullptr || bytes == nullptr) {  // no memory: the line is dropped
        WFree(hex);
        WFree(bytes);
        return;
    }
    if (length > 0) std::memcpy(bytes, data, length);
    WSysMaskBytes(bytes, length);
    WBinToHex(hex, bytes, static_cast<int32_t>(length));
    hex[2 * length] = '\0';
    // The label is an argument, not part of the format.
    WSysLog(logger, processId, level, sourceFile, function, line, "%s [%s]", label ? label : "", hex);
    OPENSSL_cleanse(bytes, length + 1);
    WFree(bytes);
    WFree(hex);
}

int WSysSetTraceHook(WSysTraceHook hook) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    g_hook = hook;
    return 1;
}

WSysTraceHook WSysGetTraceHook() {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    return g_hook;
}

int WSysDumpMessage(const char* text) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    Stamp s = LocalStamp();
    // The whole message in one write: standard error is unbuffered.
    char head[96], stamp[40], tail[64];
    std::snprintf(head, sizeof head, "\n\n===== MESSAGE        -%d- ========>>\n", g_dumpCounter);
    std::snprintf(stamp, sizeof stamp, "[%02d-%02d/%02d:%02d:%02d,%03d]:", s.day, s.month, s.hour, s.minute,
                  s.second, s.millis);
    std::snprintf(tail, sizeof tail, "\n\n\n===== End Of MESSAGE -%d- ========\n", g_dumpCounter);
    try {
        std::string message = std::string(head) + stamp + (text ? text : "") + tail;
        std::fwrite(message.data(), 1, message.size(), stderr);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s%s%s%s", head, stamp, text ? text : "", tail);
    }
    std::fflush(stderr);
    g_dumpCounter = (g_dumpCounter + 1) % kDumpCounterModulo;
    return 0;
}

int WSysDumpMessageCounter() {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    return g_dumpCounter;
}

void WSysResetDumpMessageCounter() {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    g_dumpCounter = 0;
}

bool WSysLoggerEnabledIn(const WSysLoggerLevels* table, const char* logger,
                         WLogMessageLevel level) {
    if (table == nullptr) return false;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    return EnabledIn(table, logger, level);
}

bool WSysLoggerEnabled(const char* logger, WLogMessageLevel level) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (g_levels == nullptr) return true;
    return EnabledIn(g_levels, logger, level);
}

void WSysSetLevelIn(WSysLoggerLevels* table, const char* logger, WLogMessageLevel threshold) {
    if (table == nullptr || logger == nullptr) return;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    (*table)[std::string(logger)] = threshold;
}

void WSysSetLoggerLevel(const char* logger, WLogMessageLevel threshold) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    WSysSetLevelIn(g_levels, logger, threshold);
}

void WSysSetErrorLevel(WLogMessageLevel threshold) { WSysSetLoggerLevel(kErrorLogger, threshold); }

void WSysInitLoggerLevels(WSysLoggerLevels* table) {
    if (table == nullptr) return;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    WSysSetLevelIn(table, kErrorLogger, WLOG_UNKNOWN);
    WSysSetLevelIn(table, kRootLogger,
                   std::getenv(kEnabledLoggersVariable) != nullptr ? WLOG_UNKNOWN : WLOG_WARN);
}

WSysLoggerLevels* WSysProcessLoggerLevels() {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    return g_levels;
}

WSysLoggerLevelsHolder::WSysLoggerLevelsHolder() : table_(new WSysLoggerLevels) {
    WSysInitLoggerLevels(table_);
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    g_levels = table_;
}

WSysLoggerLevelsHolder::~WSysLoggerLevelsHolder() {
    {
        std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
        if (g_levels == table_) g_levels = nullptr;
    }
    delete table_;
}

WSysLogFile::WSysLogFile(const char* path, int32_t limit) : path_(path ? path : ""), limit_(limit) {}

WSysLogFile::~WSysLogFile() {
    if (file_ != nullptr) close();
}

void WSysLogFile::open() {
    if (file_ != nullptr || path_.empty()) return;
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || st.st_size <= static_cast<off_t>(limit_)) {
        file_ = OpenPrivate(path_, true);
        return;
    }
    // Grown beyond the limit: move it to the backup name and start afresh.
    // When no backup can be made the file keeps growing: lines are worth more
    // than the limit.
    bool rotated = false;
    if (path_.size() >= 3) {
        std::string backup = path_.substr(0, path_.size() - 3) + "SPB";
        if (backup != path_) {
            ::unlink(backup.c_str());
            rotated = ::rename(path_.c_str(), backup.c_str()) == 0;
        }
    }
    if (!rotated) {
        file_ = OpenPrivate(path_, true);
        return;
    }
    file_ = OpenPrivate(path_, false);
    if (file_ != nullptr) writeLine("** INFO. ** New log");
}

bool WSysLogFile::openKept() {
    if (path_.empty()) return false;
    if (file_ != nullptr) {
        const plat::FileStamp now = plat::StampOf(path_.c_str());
        if (now.exists && now.device == openedDevice_ && now.inode == openedInode_ &&
            now.size <= static_cast<int64_t>(limit_))
            return true;
        close();
    }
    const size_t slash = path_.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    if (directoryMissing_) {
        if (plat::StampOf(directory.c_str()) == missingDirectory_) return false;
        directoryMissing_ = false;
    }
    open();
    if (file_ == nullptr) {
        const int error = errno;
        const plat::FileStamp stamp = plat::StampOf(directory.c_str());
        if (error == ENOENT && !stamp.exists) {
            directoryMissing_ = true;
            missingDirectory_ = stamp;
        }
        return false;
    }
    const plat::FileStamp opened = plat::StampOfDescriptor(fileno(file_));
    openedDevice_ = opened.device;
    openedInode_ = opened.inode;
    return true;
}

void WSysLogFile::log(const char* text) {
    open();
    if (file_ != nullptr) writeLine(text);
}

void WSysLogFile::writeLine(const char* text) {
    if (text == nullptr) return;
    if (text[0] == '\x1B' && text[1] == 'H') {
        if (file_ == nullptr) return;
        std::fprintf(file_, "%s\r\n", text + 2);
        std::fflush(file_);
        return;
    }
    writeStamped(text);
}

void WSysLogFile::writeStamped(const char* text) {
    if (file_ == nullptr || text == nullptr) return;
    Stamp s = LocalStamp();
    std::fprintf(file_, "[%02d-%02d/%02d:%02d:%02d,%03d]:%s\r\n", s.day, s.month, s.hour, s.minute,
                 s.second, s.millis, text);
    // Each line reaches the file at once, so a crash does not lose the last lines.
    std::fflush(file_);
}

void WSysLogFile::close() {
    if (file_ == nullptr) return;
    std::fflush(file_);
    std::fclose(file_);
    file_ = nullptr;
}

int OpenSSLHelper_logErrorStack() {
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char text[256];
        std::memset(text, 0, sizeof text);
        ERR_error_string_n(code, text, sizeof text);
        WSysLog("openssl", static_cast<unsigned>(getpid()), WLOG_ERROR, __FILE__,
                __PRETTY_FUNCTION__, __LINE__, "code: %d, message: %s", static_cast<int>(code), text);
    }
    return 0;
}

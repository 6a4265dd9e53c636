#include "client/dll_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <new>

#include "client/instance.h"
#include "platform/card_data_rules.h"
#include "platform/clock.h"

namespace znpdll {
namespace {

constexpr std::string_view kWaitEntry = "_SZelApiWaitSynchro_";
constexpr std::string_view kNoMessage = "** INFO **  |DLLWAI| Aucun message recu";

std::string CurrentDirectory() {
    char buf[4096];
    if (getcwd(buf, sizeof buf) == nullptr) return ".";
    return buf;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

}  // namespace

std::string StringFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

bool IsSensitiveTag(std::string_view code) { return carddata::FindSensitiveTag(code) != nullptr; }

std::string MaskTagValues(std::string_view text) {
    std::string out(text);
    carddata::MaskLogText(out.data(), out.size(), '#');
    return out;
}

std::string FormatBody(std::string_view message) {
    std::string_view level;
    for (std::string_view word : {"FATAL", "ERROR", "WARNING", "INFO"}) {
        if (message.find(word) != std::string_view::npos) {
            level = word;
            break;
        }
    }
    std::string body(level);
    body += " - ";
    size_t first = message.find('|');
    size_t second = first == std::string_view::npos ? first : message.find('|', first + 1);
    if (second == std::string_view::npos) {
        body += " - ";
        body += message;
        return body;
    }
    body += message.substr(first + 1, second - first - 1);
    body += " - ";
    size_t rest = second + 1;
    if (rest < message.size() && message[rest] == ' ') ++rest;
    body += message.substr(rest);
    return body;
}

std::string LogDirectoryOf(const char* logFileName) {
    if (logFileName == nullptr) return ".";
    std::string_view name(logFileName);
    size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(name.substr(0, slash));
}

DllLogger& DllLogger::Get() {
    // Never destroyed, so that nothing torn down at exit logs into a dead
    // logger.
    static DllLogger* logger = new DllLogger();
    return *logger;
}

DllLogger::DllLogger() : directory_(CurrentDirectory()), initialDirectory_(directory_) {}

void DllLogger::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    CloseLogs();
    maxSizeKb_ = 4096;
    enabled_ = 0;
    directory_ = initialDirectory_;
    throttle_ = 0;
}

void DllLogger::SetEnabled(uint32_t logSwitch) {
    std::lock_guard<std::mutex> guard(lock_);
    enabled_ = logSwitch != 0 ? 1 : 0;
}

void DllLogger::SetMaxSizeKb(int32_t sizeKb) {
    std::lock_guard<std::mutex> guard(lock_);
    maxSizeKb_ = sizeKb;
}

void DllLogger::CloseLogs() {
    for (OpenLog& log : logs_) {
        if (log.fd >= 0) close(log.fd);
        log = OpenLog{};
    }
}

int DllLogger::FileFor(const std::string& path, bool named, unsigned long device, unsigned long inode) {
    for (OpenLog& log : logs_) {
        if (log.fd < 0 || log.path != path) continue;
        // Still the file of that name: written on.
        if (named && log.device == device && log.inode == inode) return log.fd;
        close(log.fd);
        log = OpenLog{};
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    OpenLog* slot = nullptr;
    for (OpenLog& log : logs_)
        if (slot == nullptr && log.fd < 0) slot = &log;
    if (slot == nullptr) {
        // All in use: the oldest opened makes room.
        slot = &logs_[nextLog_];
        nextLog_ = (nextLog_ + 1) % kOpenLogs;
        close(slot->fd);
    }
    try {
        *slot = OpenLog{path, fd, static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino)};
    } catch (const std::bad_alloc&) {
        *slot = OpenLog{};
        close(fd);
        return -1;
    }
    return fd;
}

void DllLogger::SetDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> guard(lock_);
    directory_ = directory.empty() ? "." : directory;
}

bool DllLogger::IsVerbose() const {
    std::lock_guard<std::mutex> guard(lock_);
    return enabled_ != 0;
}

void DllLogger::PathsFor(uint32_t instanceId, uint32_t posNumber, std::string* log,
                         std::string* backup) const {
    if (posNumber != 0) {
        *log = JoinPath(directory_, StringFormat("ZNP_DLL_%u.LOG", posNumber));
        *backup = JoinPath(directory_, StringFormat("ZNP_DLL_%u.LOB", posNumber));
    } else {
        *log = JoinPath(directory_, StringFormat("ZNP_DLL_x_%u.LOG", instanceId));
        *backup = *log;
    }
}

bool DllLogger::ThrottleSaysDot(std::string_view key) {
    if (key.find(kWaitEntry) != std::string_view::npos) {
        if (throttle_ == 2) {
            throttle_ = 3;
            return true;
        }
        throttle_ = 1;
        return false;
    }
    if (key.find(kNoMessage) != std::string_view::npos) {
        if (throttle_ == 3) {
            throttle_ = 2;
            return true;
        }
        throttle_ = throttle_ == 1 ? 2 : 0;
        return false;
    }
    throttle_ = 0;
    return false;
}

void DllLogger::Log(uint32_t instanceId, std::string_view message) { Write(instanceId, message, message); }

void DllLogger::Logf(uint32_t instanceId, const char* format, ...) {
    if (!IsVerbose()) return;
    va_list args;
    va_start(args, format);
    std::string message;
    try {
        message = VFormat(format, args);
    } catch (const std::bad_alloc&) {
        va_end(args);
        return;
    }
    va_end(args);
    Write(instanceId, message, format);
}

void DllLogger::Write(uint32_t instanceId, std::string_view message, std::string_view throttleKey) {
    // The instance table is asked before the log lock is taken, so the two
    // locks are never held together.
    const uint32_t pos = PosNumberOfInstance(instanceId);
    std::lock_guard<std::mutex> guard(lock_);
    if (enabled_ == 0) return;
    try {
        const bool dot = ThrottleSaysDot(throttleKey);
        std::string line;
        if (dot) {
            line = ".";
        } else {
            // Masking runs before anything is written: a line that cannot be
            // masked is never written in clear.
            std::string body = MaskTagValues(FormatBody(message));
            const int64_t ms = plat::RealtimeMs();
            const time_t seconds = static_cast<time_t>(ms / 1000);
            struct tm local {};
            localtime_r(&seconds, &local);
            // Each entry begins with CR LF (the file never ends with one).
            line = StringFormat("\r\n%d-%02d-%02d %02d:%02d:%02d,%03d - %ld - %u - ", local.tm_year + 1900,
                                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                                static_cast<int>(ms % 1000), static_cast<long>(gettid()), instanceId);
            line += body;
        }
        std::string log, backup;
        PathsFor(instanceId, pos, &log, &backup);
        // Rotation: a full log file moves to its backup name (replacing the
        // old backup); a file named after the instance id, whose backup name
        // is its own, is simply started again.
        struct stat st {};
        bool named = stat(log.c_str(), &st) == 0;
        if (named && st.st_size / 1024 >= maxSizeKb_) {
            if (backup == log) {
                unlink(log.c_str());
            } else {
                unlink(backup.c_str());
                rename(log.c_str(), backup.c_str());
            }
            named = false;
        }
        // The file stays open for the next lines.
        const int fd = FileFor(log, named, static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino));
        if (fd < 0) return;
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = write(fd, p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
    } catch (const std::bad_alloc&) {
        // Dropped: never written unmasked.
    }
}

}  // namespace znpdll

// The trace line of a stop by signal, built and written with
// async-signal-safe calls only (no allocation, no lock, no stdio).
#include "app/stop_notice.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "station/eft_context.h"
#include "station/server_box.h"

namespace {

constexpr size_t kPathRoom = 512;
constexpr size_t kLineRoom = 512;
constexpr int64_t kClockRefreshMs = 60000;

// Prepared before any signal can need them; read by the handler.
std::atomic<const int32_t*> g_guardPid{nullptr};
char g_tracePath[kPathRoom] = {};
std::atomic<bool> g_useTraceFile{false};
std::atomic<bool> g_silent{false};
std::atomic<long> g_utcOffsetSec{0};
int64_t g_clockRefreshedMs = -kClockRefreshMs;
char g_head[64] = {};
size_t g_headLength = 0;

// A tiny append-only text builder over a fixed buffer.
struct Text {
    char data[kLineRoom];
    size_t length = 0;
    void Add(const char* text) {
        while (*text != '\0' && length + 1 < sizeof data) data[length++] = *text++;
    }
    void Add(const char* text, size_t n) {
        for (size_t i = 0; i < n && length + 1 < sizeof data; ++i) data[length++] = text[i];
    }
    void Digits(long value, int width) {
        char reversed[24];
        int n = 0;
        const bool negative = value < 0;
        unsigned long magnitude = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            reversed[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0 && n < 22);
        while (n < width) reversed[n++] = '0';
        if (negative) Add("-");
        while (n > 0) Add(&reversed[--n], 1);
    }
};

// Year, month, day of a count of days since 1970-01-01 (proleptic
// Gregorian calendar).
void CivilFromDays(long days, long* year, int* month, int* day) {
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long dayOfEra = days - era * 146097;
    const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long shifted = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

// "[dd-mm/hh:mm:ss,mmm]:" as the trace file's lines begin.
void AddStamp(Text& line) {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long local = static_cast<long>(now.tv_sec) + g_utcOffsetSec.load(std::memory_order_relaxed);
    long days = local / 86400;
    long seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    long year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    line.Add("[");
    line.Digits(day, 2);
    line.Add("-");
    line.Digits(month, 2);
    line.Add("/");
    line.Digits(seconds / 3600, 2);
    line.Add(":");
    line.Digits(seconds / 60 % 60, 2);
    line.Add(":");
    line.Digits(seconds % 60, 2);
    line.Add(",");
    line.Digits(now.tv_nsec / 1000000, 3);
    line.Add("]:");
}

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written <= 0) return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

// The SIGTERM handler's notice.
void StopNotice(pid_t sender) {
    if (g_silent.load(std::memory_order_relaxed)) return;
    const int32_t* guard = g_guardPid.load(std::memory_order_acquire);
    const bool newer = sender > 0 && guard != nullptr && __atomic_load_n(guard, __ATOMIC_ACQUIRE) == sender;
    Text message;
    message.Add(g_head, g_headLength);
    message.Add(newer ? "Arret demande par une nouvelle instance du programme (processus "
                      : "Signal d'arret recu (processus ");
    message.Digits(sender, 1);
    message.Add("): arret du client monetique");

    Text line;
    AddStamp(line);
    line.Add(message.data, message.length);
    if (g_useTraceFile.load(std::memory_order_acquire)) {
        const int fd = open(g_tracePath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            line.Add("\r\n");
            WriteAll(fd, line.data, line.length);
            close(fd);
            return;
        }
    }
    // No trace file: the standard error, as the trace writer does then.
    Text block;
    block.Add("\n\n===== MESSAGE ========>>\n");
    block.Add(line.data, line.length);
    block.Add("\n\n\n===== End Of MESSAGE ========\n");
    WriteAll(STDERR_FILENO, block.data, block.length);
}

void RefreshClockNow() {
    const time_t now = time(nullptr);
    tm local {};
    if (localtime_r(&now, &local) != nullptr) g_utcOffsetSec.store(local.tm_gmtoff, std::memory_order_relaxed);
    g_clockRefreshedMs = plat::MonotonicMs();
}

}  // namespace

void ArmStopNotice(const int32_t* guardPid) {
    g_headLength = TraceLogHead(TRACE_INFO, "[TRV_71]", g_head, sizeof g_head);
    g_guardPid.store(guardPid, std::memory_order_release);
    RefreshClockNow();
    plat::SetTerminateNotice(&StopNotice);
}

void StopNoticeUseSession(const EFTCBox* context) {
    g_useTraceFile.store(false, std::memory_order_release);
    if (context == nullptr) return;
    g_silent.store(context->debugLevel == 0, std::memory_order_relaxed);
    const KT_TEXT_WINDOW* window = KTS_GetWindow(context->box, EFTOC_GetTraceZone());
    if (window == nullptr) return;
    const size_t length = strnlen(window->spoolPath, sizeof window->spoolPath);
    if (length == 0 || length >= sizeof g_tracePath) return;
    std::memcpy(g_tracePath, window->spoolPath, length);
    g_tracePath[length] = '\0';
    g_useTraceFile.store(true, std::memory_order_release);
}

void StopNoticeRefreshClock() {
    if (plat::MonotonicMs() - g_clockRefreshedMs >= kClockRefreshMs) RefreshClockNow();
}

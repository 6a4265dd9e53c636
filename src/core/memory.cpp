// Private heap: zeroed blocks rounded up to multiples of 16 bytes, every
// allocation and release under one process-wide lock; sleeping and time-out
// tests on the monotonic clock.
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"

namespace {

// The heap lock lives for the whole process (never destroyed, so blocks freed
// from static destructors of other modules still find it).
std::mutex& HeapLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

bool g_heapCreated = false;  // set by the first allocation, under the lock

}  // namespace

void* WInitAlloc(size_t size) {
    std::lock_guard<std::mutex> guard(HeapLock());
    g_heapCreated = true;
    // calloc(0) may return null; a block of one byte keeps "null = failure".
    return std::calloc(1, size == 0 ? 1 : size);
}

int WFreeAlloc(void* block) {
    if (block == nullptr) return 0;
    std::lock_guard<std::mutex> guard(HeapLock());
    if (!g_heapCreated) return 0;
    std::free(block);
    return 0;
}

void* WAlloc(size_t size) {
    // The rounded size must not wrap around to a small block.
    if (size > SIZE_MAX - 16) return nullptr;
    return WInitAlloc((size / 16 + 1) * 16);
}

int WFree(void* block) { return WFreeAlloc(block); }

void WSleep(uint32_t milliseconds) { plat::SleepMs(milliseconds); }

void WGetTimeStamp(WTimeStamp* stamp) {
    if (stamp == nullptr) return;
    *stamp = WGetTimeStamp();
}

WTimeStamp WGetTimeStamp() {
    int64_t ms = plat::MonotonicMs();
    WTimeStamp stamp;
    stamp.time = static_cast<int32_t>(ms / 1000);
    stamp.millitm = static_cast<uint16_t>(ms % 1000);
    return stamp;
}

int WIsTimeOut(const WTimeStamp& start, int32_t limitMs) {
    if (limitMs < 0) return 0;
    if (limitMs == 0) return 1;
    WTimeStamp now = WGetTimeStamp();
    int64_t elapsed = (static_cast<int64_t>(now.time) - start.time) * 1000 +
                      static_cast<int64_t>(now.millitm) - start.millitm;
    return (elapsed >= 0 && elapsed < limitMs) ? 0 : 1;
}

int WIsTimeOut(const WTimeStamp* start, int32_t limitMs) {
    if (start == nullptr) return limitMs < 0 ? 0 : 1;
    return WIsTimeOut(*start, limitMs);
}

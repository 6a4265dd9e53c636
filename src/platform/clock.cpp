#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace plat {
namespace {
std::atomic<ClockSource*> g_source{nullptr};

int64_t ReadClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

int64_t MonotonicMs() {
    if (ClockSource* s = g_source.load(std::memory_order_acquire)) return s->nowMs();
    return RealMonotonicMs();
}

void SleepMs(int64_t ms) {
    if (ClockSource* s = g_source.load(std::memory_order_acquire)) {
        s->sleepMs(ms);
        return;
    }
    if (ms < 0) ms = 0;
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&req, &req) == -1 && errno == EINTR) {
    }
}

ClockSource* SetClockSource(ClockSource* source) {
    return g_source.exchange(source, std::memory_order_acq_rel);
}

bool ClockReplaced() { return g_source.load(std::memory_order_acquire) != nullptr; }

int64_t ManualClock::nowMs() { return now_; }
void ManualClock::sleepMs(int64_t ms) {
    if (ms > 0) now_ += ms;
}
void ManualClock::advance(int64_t ms) { now_ += ms; }

int64_t RealtimeMs() { return ReadClock(CLOCK_REALTIME); }
int64_t RealMonotonicMs() { return ReadClock(CLOCK_MONOTONIC); }

}  // namespace plat

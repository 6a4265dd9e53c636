// Monotonic millisecond clock and sleeping, with a replaceable source so that
// tests covering long waits can run in simulated time.
#pragma once
#include <atomic>
#include <cstdint>

namespace plat {

// A time source: monotonic milliseconds and a sleep that advances it.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual int64_t nowMs() = 0;
    virtual void sleepMs(int64_t ms) = 0;
};

// Milliseconds of CLOCK_MONOTONIC (or of the installed source).
int64_t MonotonicMs();
// Sleeps the calling thread (or advances the installed source).
void SleepMs(int64_t ms);

// Installs a source for the whole process; nullptr restores the real clock.
// Returns the previous one.
ClockSource* SetClockSource(ClockSource* source);
// True while a source other than the real clock is installed: waits that the
// kernel times (poll) then look once and sleep on the source instead.
bool ClockReplaced();

// A manual clock for tests: time moves only when told to, sleeps advance it.
class ManualClock : public ClockSource {
public:
    explicit ManualClock(int64_t startMs = 1000000) : now_(startMs) {}
    int64_t nowMs() override;
    void sleepMs(int64_t ms) override;
    void advance(int64_t ms);

private:
    std::atomic<int64_t> now_;
};

// Installs a source for the lifetime of the object (tests).
class ScopedClock {
public:
    explicit ScopedClock(ClockSource* source) : previous_(SetClockSource(source)) {}
    ~ScopedClock() { SetClockSource(previous_); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    ClockSource* previous_;
};

// Wall clock: milliseconds since 1970 (CLOCK_REALTIME), never replaced.
int64_t RealtimeMs();
// Milliseconds of CLOCK_MONOTONIC itself, never replaced: for deadlines of
// waits the kernel times (condition variables, poll).
int64_t RealMonotonicMs();

}  // namespace plat

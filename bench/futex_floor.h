// The physical floor of the POS link benchmarks: a round trip between two
// processes that wake each other through futexes in shared memory (the
// parent bumps a word and sleeps on another, the child answers), measured
// per round trip. The link benchmarks measure it in their own run and report
// their times beside it.
#pragma once
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <chrono>
#include <vector>

#include "latency_counters.h"
#include "platform/wake_word.h"

namespace benchfloor {

struct PingPong {
    plat::WakeWord ping;
    plat::WakeWord pong;
    uint32_t stop;
};

// Sleeps on the word until its sequence moves past `seen`.
inline void AwaitMove(plat::WakeWord& word, uint32_t seen) {
    for (;;) {
        const uint32_t now = plat::Snapshot(word);
        if (now != seen) {
            plat::Cancel(word);
            return;
        }
        plat::Wait(word, now, 1000);
    }
}

// Microseconds of `count` round trips; empty when the child cannot be made.
inline std::vector<double> FutexRoundTrips(size_t count) {
    void* shared = mmap(nullptr, sizeof(PingPong), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return {};
    auto* pp = new (shared) PingPong{};
    const pid_t child = fork();
    if (child < 0) {
        munmap(shared, sizeof(PingPong));
        return {};
    }
    if (child == 0) {
        uint32_t seen = 0;
        for (;;) {
            AwaitMove(pp->ping, seen);
            seen = plat::SequenceOf(pp->ping);
            if (std::atomic_ref<uint32_t>(pp->stop).load(std::memory_order_acquire) != 0) _exit(0);
            plat::Bump(pp->pong);
        }
    }
    std::vector<double> micros;
    micros.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t seen = plat::SequenceOf(pp->pong);
        const auto t0 = std::chrono::steady_clock::now();
        plat::Bump(pp->ping);
        AwaitMove(pp->pong, seen);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    std::atomic_ref<uint32_t>(pp->stop).store(1, std::memory_order_release);
    plat::Bump(pp->ping);
    int status = 0;
    waitpid(child, &status, 0);
    munmap(shared, sizeof(PingPong));
    return micros;
}

// The latency counters of `micros` (median_us, p99_us, max_us), those of a
// futex round trip measured now (floor_median_us, floor_p99_us,
// floor_max_us) and the ratios of the medians and of the 99th percentiles.
inline void ReportAgainstFloor(benchmark::State& state, std::vector<double>& micros, size_t floorCount = 2000) {
    if (micros.empty()) return;
    std::vector<double> floor = FutexRoundTrips(floorCount);
    ReportLatency(state, micros);
    if (floor.empty()) return;
    const double median = state.counters["median_us"];
    const double p99 = state.counters["p99_us"];
    std::sort(floor.begin(), floor.end());
    const double floorMedian = floor[floor.size() / 2];
    const double floorP99 = floor[std::min(floor.size() - 1, floor.size() * 99 / 100)];
    state.counters["floor_median_us"] = floorMedian;
    state.counters["floor_p99_us"] = floorP99;
    state.counters["floor_max_us"] = floor.back();
    state.counters["ratio_median"] = median / floorMedian;
    state.counters["ratio_p99"] = p99 / floorP99;
}

}  // namespace benchfloor

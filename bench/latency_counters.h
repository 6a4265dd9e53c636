// Median, 99th percentile and longest of per-request times, as benchmark
// counters (the longest shows a wake-up missed and caught by a poll).
#pragma once
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

inline void ReportLatency(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["max_us"] = micros.back();
}

// Day number and day addition on date texts.
#include <benchmark/benchmark.h>

#include <string>

#include "core/dates.h"

static void BM_DateToDays(benchmark::State& state) {
    const char* dates[] = {"19800101", "20240229", "20991231", "20500615"};
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(WDateToDays(dates[i++ & 3]));
    }
}
BENCHMARK(BM_DateToDays);

// The cost grows with the count: the addition walks month by month.
static void BM_AddDays(benchmark::State& state) {
    const std::string count = std::to_string(state.range(0));
    char out[9];
    for (auto _ : state) {
        benchmark::DoNotOptimize(WAddDays("20240115", count.c_str(), out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AddDays)->Arg(1)->Arg(365)->Arg(10000);


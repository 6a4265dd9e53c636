// Costs of the most used helpers: heap blocks, range lists, Base64 and the
// wildcard search.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/helpers.h"

namespace {

void BM_WAllocWFree(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* block = WAlloc(size);
        benchmark::DoNotOptimize(block);
        WFree(block);
    }
}
BENCHMARK(BM_WAllocWFree)->Arg(15)->Arg(256)->Arg(8192);

void BM_WAllocWFreeThreads(benchmark::State& state) {
    for (auto _ : state) {
        void* block = WAlloc(64);
        benchmark::DoNotOptimize(block);
        WFree(block);
    }
}
BENCHMARK(BM_WAllocWFreeThreads)->Threads(1)->Threads(4);

void BM_WIsInRangeList(benchmark::State& state) {
    std::string list;
    for (int i = 0; i < state.range(0); ++i) list += std::to_string(i * 100) + "-" + std::to_string(i * 100 + 50) + ";";
    const int32_t missing = -1;  // not in the list: every item is read
    for (auto _ : state) benchmark::DoNotOptimize(WIsInRangeList(list.c_str(), missing));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WIsInRangeList)->Arg(4)->Arg(64);

void BM_WBase64Encode(benchmark::State& state) {
    std::string data(static_cast<size_t>(state.range(0)), '\x5a');
    for (auto _ : state) benchmark::DoNotOptimize(WBase64Encode(data));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WBase64Encode)->Arg(48)->Arg(4096);

void BM_WFindWildString(benchmark::State& state) {
    std::string text(static_cast<size_t>(state.range(0)), 'a');
    text += "F1234E";
    for (auto _ : state) benchmark::DoNotOptimize(WFindWildString(text.c_str(), "F????E", '?'));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WFindWildString)->Arg(64)->Arg(4096);

}  // namespace

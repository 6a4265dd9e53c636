// Tag-message buffer: building a 60-entry message, looking up its last code
// (the longest linear search) and walking it with GetNext.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "core/tag_buffer.h"

namespace {

constexpr int kEntries = 60;

void Code(int i, char* out, size_t size) { snprintf(out, size, "T%02d", i); }

void BuildMessage(ATAG_BUFFER* tags, char* message) {
    ATAG_InitWrite(tags, message, TAG_MESSAGE_MAX_CHARS, 1);
    char code[8];
    for (int i = 0; i < kEntries; ++i) {
        Code(i, code, sizeof code);
        ATAG_Set(tags, code, "0123456789abcdef0123456789abcdef");
    }
}

void BM_Build60(benchmark::State& state) {
    auto tags = std::make_unique<ATAG_BUFFER>();
    ATAG_Init(tags.get());
    auto message = std::make_unique<char[]>(TAG_MESSAGE_BUFFER_SIZE);
    for (auto _ : state) {
        BuildMessage(tags.get(), message.get());
        benchmark::DoNotOptimize(message.get());
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_Build60);

void BM_GetLast(benchmark::State& state) {
    auto tags = std::make_unique<ATAG_BUFFER>();
    ATAG_Init(tags.get());
    auto message = std::make_unique<char[]>(TAG_MESSAGE_BUFFER_SIZE);
    BuildMessage(tags.get(), message.get());
    ATAG_InitRead(tags.get(), message.get(), TAG_MESSAGE_MAX_CHARS, 0);
    char code[8];
    Code(kEntries - 1, code, sizeof code);
    char value[64];
    for (auto _ : state) {
        if (ATAG_Get(tags.get(), code, value, sizeof value, 1) != 1) state.SkipWithError("absent");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_GetLast);

void BM_GetNextWalk(benchmark::State& state) {
    auto tags = std::make_unique<ATAG_BUFFER>();
    ATAG_Init(tags.get());
    auto message = std::make_unique<char[]>(TAG_MESSAGE_BUFFER_SIZE);
    BuildMessage(tags.get(), message.get());
    char code[16];
    char value[64];
    for (auto _ : state) {
        ATAG_InitRead(tags.get(), message.get(), TAG_MESSAGE_MAX_CHARS, 0);
        int entries = 0;
        while (ATAG_GetNext(tags.get(), code, sizeof code, value, sizeof value) == 1) ++entries;
        if (entries != kEntries + 1) state.SkipWithError("wrong entry count");
        benchmark::DoNotOptimize(entries);
    }
    state.SetItemsProcessed(state.iterations() * (kEntries + 1));
}
BENCHMARK(BM_GetNextWalk);

}  // namespace

// Round trip of one request through the client library against a real
// trv_71, as a cash-register application does it: libznp_dll.so loaded with
// dlopen, one instance opened on a copy of the example configuration, then
// SZelApiSendMessage + SZelApiWaitSynchro + SZelApiGetMessage of s12/c25 per
// iteration. Reports the median and the 99th percentile in microseconds,
// beside a futex round trip between two processes measured in the same run
// (floor_*, ratio_*); the arguments switch the library log off (0) or on
// (1), and the program's trace file (trace_file 1: the spool directory of
// the example's run script exists, every request's line must reach the
// file). Run it from the source tree's root: the example configuration is
// copied from ./example.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "futex_floor.h"
#include "library_instance.h"

namespace {

void BM_LibraryRoundTrip(benchmark::State& state) { benchlib::MeasureLibraryRoundTrip(state, state.range(1) == 1); }
BENCHMARK(BM_LibraryRoundTrip)
    ->ArgNames({"log", "trace_file"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// The bare link benchmark's request (s3/c0, acknowledged 1 while idle) through
// SZelApiSendMessage alone: the library's own cost over the bare round trip.
void BM_LibraryAbortWhileIdle(benchmark::State& state) {
    benchlib::LibraryInstance instance(state, 0);
    if (!instance.ok()) return;
    std::vector<char> message(benchlib::kMessageCapacity);
    std::vector<double> micros;
    for (auto _ : state) {
        std::strcpy(message.data(), "{SV}s3{CD}c0{F}");
        const uint32_t cap = benchlib::kMessageCapacity;
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = instance.dll().Send(instance.id(), "s3", message.data(), &cap);
        const double elapsed = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        if (sent != 1) {
            state.SkipWithError("abort not acknowledged with 1");
            break;
        }
        micros.push_back(elapsed);
    }
    benchfloor::ReportAgainstFloor(state, micros);
}
BENCHMARK(BM_LibraryAbortWhileIdle)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

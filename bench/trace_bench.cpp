// Cost of a filtered-out trace, a written trace and a log-file line.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/trace.h"

namespace {

int NoOpHook(const char*) { return 0; }

void BM_WSysLogFilteredOut(benchmark::State& state) {
    WSysSetLoggerLevel("bench.filtered", WLOG_FATAL);
    for (auto _ : state) WLOG("bench.filtered", WLOG_DEBUG, "value %d %s", 42, "text");
}
BENCHMARK(BM_WSysLogFilteredOut);

void BM_WSysLogToNoOpHook(benchmark::State& state) {
    WSysTraceHook previous = WSysGetTraceHook();
    WSysSetTraceHook(NoOpHook);
    WSysSetLoggerLevel("bench.written", WLOG_UNKNOWN);
    for (auto _ : state) WLOG("bench.written", WLOG_INFO, "value %d %s", 42, "some text of a line");
    WSysSetTraceHook(previous);
}
BENCHMARK(BM_WSysLogToNoOpHook);

void BM_WSysLogFileLine(benchmark::State& state) {
    char dir[] = "/tmp/znp-trace-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(dir) + "/BENCH.LOG";
    {
        WSysLogFile file(path.c_str(), INT32_MAX);
        for (auto _ : state) file.log("** INFO. ** [bench] a trace line of ordinary length 0123456789");
    }
    unlink(path.c_str());
    rmdir(dir);
}
BENCHMARK(BM_WSysLogFileLine);

}  // namespace

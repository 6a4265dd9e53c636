// Start of a till's program, as the cash register waits for it:
//
// - BM_ExecToReady: trv_71 started 15 times as the client library starts it
//   (its options, events asked with -g1, the POS link block made first), on
//   a copy of the example configuration; from the fork to the program's
//   ready event "TRVOK<station>" set: the median and the longest start in
//   microseconds. Each start ends with SIGTERM (the program then ends by
//   itself and removes its named objects). Beside it, start for start, the
//   floor of a program that only loads the same libraries (load_floor,
//   built beside the benchmarks) from its fork to its end (floor_median_us,
//   ratio_median).
// - BM_SZelApiOpen: SZelApiOpen of the same tree through libznp_dll.so 15
//   times (each instance closed again), beside the program's exec-to-ready
//   measured in the same run, start for start (floor_median_us, ratio).
//
// Run it from the source tree's root: the example configuration is copied
// from ./example.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "latency_counters.h"
#include "platform/name_watch.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "support/config_tree.h"
#include "support/pos_peer.h"
#include "support/station_lock.h"
#include "support/znp_dll_loader.h"

namespace {

constexpr int kStarts = 15;
constexpr int64_t kReadyWaitMs = 10000;

// One till: a copy of the example tree with its own copy of the program.
struct Till {
    testsupport::ConfigTree dir;
    std::string program = dir.file("trv_71_start_bench");
    bool ok = dir.ok() && std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
};

// Microseconds from the fork of the program to its ready event, or -1 when
// it did not get ready. The program is ended and reaped before returning.
double ExecToReady(const Till& till, int station) {
    testsupport::PosPeer peer;  // the block first, as the library makes it
    if (!peer.Open(station)) return -1;
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d", poslink::kClientReadyEventPrefix, station);
    char arguments[6][64];
    std::snprintf(arguments[0], sizeof arguments[0], "-i%d", station);
    std::snprintf(arguments[1], sizeof arguments[1], "-r%d", station);
    std::snprintf(arguments[2], sizeof arguments[2], "-l0");
    std::snprintf(arguments[3], sizeof arguments[3], "-d2");
    std::snprintf(arguments[4], sizeof arguments[4], "-g1");
    std::snprintf(arguments[5], sizeof arguments[5], "-t0");
    const std::string path = "-p" + till.dir.str();
    plat::NameWatch watch;
    watch.Start(name);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stderr) == nullptr || freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        if (chdir(till.dir.str().c_str()) != 0) _exit(126);
        execl(till.program.c_str(), till.program.c_str(), arguments[0], arguments[1], arguments[2], arguments[3],
              "-fECHANGES.LOG", arguments[4], arguments[5], path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return -1;
    double micros = -1;
    plat::NamedEvent ready;
    const auto deadline = t0 + std::chrono::milliseconds(kReadyWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready.OpenExisting(name) == 0) break;
        watch.Wait(10);
    }
    if (ready.isOpen() && ready.Wait(kReadyWaitMs) == plat::EventWait::Signalled)
        micros = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    ready.Close();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return micros;
}

// Microseconds from the fork of load_floor to its end, or -1.
double LoadFloor() {
    const std::string program = testsupport::BinPath("load_floor");
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ExecToReady(benchmark::State& state) {
    Till till;
    if (!till.ok) {
        state.SkipWithError("cannot copy ./example and trv_71 (run from the source tree root)");
        return;
    }
    const int station = testsupport::UniqueStation();
    std::vector<double> micros, floor;
    for (auto _ : state) {
        const double started = ExecToReady(till, station);
        const double loaded = LoadFloor();
        if (started < 0 || loaded < 0) {
            state.SkipWithError("the program did not get ready, or load_floor did not run");
            return;
        }
        micros.push_back(started);
        floor.push_back(loaded);
    }
    ReportLatency(state, micros);
    std::sort(floor.begin(), floor.end());
    state.counters["floor_median_us"] = floor[floor.size() / 2];
    state.counters["ratio_median"] = state.counters["median_us"] / floor[floor.size() / 2];
}
BENCHMARK(BM_ExecToReady)->Iterations(kStarts)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SZelApiOpen(benchmark::State& state) {
    static testsupport::ZnpDll library;
    static const bool loaded = library.Load();
    if (!loaded) {
        state.SkipWithError("cannot load libznp_dll.so");
        return;
    }
    Till till;
    if (!till.ok) {
        state.SkipWithError("cannot copy ./example and trv_71 (run from the source tree root)");
        return;
    }
    const uint32_t pos = testsupport::UniquePosNumber();
    std::vector<double> opens, floor;
    for (auto _ : state) {
        // The program's own start first, on the same tree and station.
        const double started = ExecToReady(till, static_cast<int>(pos));
        uint32_t id = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const int opened = library.OpenStation(&id, pos, till.program, till.dir.file("ECHANGES.LOG"), 0);
        const auto t1 = std::chrono::steady_clock::now();
        if (opened != 0 || started < 0) {
            if (opened == 0) library.Close(id, 0);
            state.SkipWithError("SZelApiOpen failed or the program did not get ready");
            return;
        }
        library.Close(id, 0);
        opens.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        floor.push_back(started);
    }
    std::sort(floor.begin(), floor.end());
    ReportLatency(state, opens);
    state.counters["floor_median_us"] = floor[floor.size() / 2];
    state.counters["ratio_median"] = state.counters["median_us"] / floor[floor.size() / 2];
}
BENCHMARK(BM_SZelApiOpen)->Iterations(kStarts)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

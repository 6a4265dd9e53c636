// Round trip of a request through the POS link of a real trv_71: the peer
// writes s3/c0 and reads the "1" back. The peer either wakes the program and
// sleeps on the link's wake words, as the client library does (wakes:1), or
// plays a cash register that never wakes it (wakes:0), which the program
// polls. Reports the median and the 99th percentile of the round trip in
// microseconds beside a futex round trip between two processes measured in
// the same run (floor_*, ratio_*). The program runs on a copy of the example
// configuration: run it from the source tree's root.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "futex_floor.h"
#include "latency_counters.h"
#include "platform/clock.h"
#include "support/config_tree.h"
#include "support/pos_peer.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace {

void BM_RequestRoundTrip(benchmark::State& state) {
    const bool wakes = state.range(0) != 0;
    testsupport::ConfigTree dir;
    const std::string program = dir.file("trv_71_bench");
    if (!dir.ok() || !std::filesystem::copy_file(testsupport::BinPath("trv_71"), program)) {
        state.SkipWithError("cannot copy ./example and trv_71 (run from the source tree root)");
        return;
    }
    const int station = testsupport::UniqueStation();
    const std::string stationArg = "-i" + std::to_string(station);
    const std::string pathArg = "-p" + dir.str();
    // The peer's block first, as the library makes it before the program.
    testsupport::PosPeer peer;
    if (!peer.Open(station, wakes)) {
        state.SkipWithError("cannot map the POS link block");
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
        execl(program.c_str(), program.c_str(), stationArg.c_str(), pathArg.c_str(), "-d0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        state.SkipWithError("cannot start trv_71");
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        peer.Send("{SS}R{PS}1{SV}s3{CD}c0{F}", 5000);
        auto answer = peer.Receive(5000, 0);
        const auto t1 = std::chrono::steady_clock::now();
        if (!answer || *answer != "1") {
            state.SkipWithError("no answer");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    // A program that does not take the stop request is not waited for forever.
    if (!peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}", 5000) || !peer.Receive(5000)) kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    benchfloor::ReportAgainstFloor(state, micros);
}
BENCHMARK(BM_RequestRoundTrip)->ArgName("wakes")->Arg(1)->Arg(0)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The floor alone: two processes waking each other through futexes, 2000
// round trips.
void BM_FutexRoundTrip(benchmark::State& state) {
    std::vector<double> micros;
    for (auto _ : state) micros = benchfloor::FutexRoundTrips(2000);
    if (micros.empty()) state.SkipWithError("cannot fork");
    ReportLatency(state, micros);
}
BENCHMARK(BM_FutexRoundTrip)->Iterations(1)->Unit(benchmark::kMicrosecond);

}  // namespace

// Round trip of one request through the client library against a real
// trv_71, as a cash-register application does it: libznp_dll.so loaded with
// dlopen, one instance opened on a copy of the example configuration, then
// SZelApiSendMessage + SZelApiWaitSynchro + SZelApiGetMessage of s12/c25 per
// iteration. Reports the median and the 99th percentile in microseconds,
// beside a futex round trip between two processes measured in the same run
// (floor_*, ratio_*); the argument switches the library log off (0) or on
// (1). Run it from the source
// tree's root: the example configuration is copied from ./example.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "futex_floor.h"
#include "latency_counters.h"
#include "support/config_tree.h"
#include "support/station_lock.h"
#include "support/znp_dll_loader.h"

namespace {

constexpr uint32_t kCap = 10241;

// The library loaded and one instance opened on its own POS number; the
// benchmark is skipped with a reason when any step fails.
class OpenedInstance {
public:
    OpenedInstance(benchmark::State& state, uint32_t logSwitch) {
        static testsupport::ZnpDll library;
        static const bool loaded = library.Load();
        const std::string program = dir_.file("trv_71_client_bench");
        if (!loaded) {
            state.SkipWithError("cannot load libznp_dll.so");
        } else if (!dir_.ok() || !std::filesystem::copy_file(testsupport::BinPath("trv_71"), program)) {
            state.SkipWithError("cannot copy ./example and trv_71 (run from the source tree root)");
        } else if (library.OpenStation(&id_, testsupport::UniquePosNumber(), program, dir_.file("ECHANGES.LOG"),
                                       logSwitch) != 0) {
            state.SkipWithError("SZelApiOpen failed");
        } else {
            dll_ = &library;
        }
    }
    ~OpenedInstance() {
        if (dll_) dll_->Close(id_, 0);
    }
    bool ok() const { return dll_ != nullptr; }
    const testsupport::ZnpDll& dll() const { return *dll_; }
    uint32_t id() const { return id_; }

private:
    testsupport::ConfigTree dir_;
    testsupport::ZnpDll* dll_ = nullptr;
    uint32_t id_ = 0;
};

double MicrosSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

void BM_LibraryRoundTrip(benchmark::State& state) {
    OpenedInstance instance(state, static_cast<uint32_t>(state.range(0)));
    if (!instance.ok()) return;
    const testsupport::ZnpDll& dll = instance.dll();
    std::vector<char> message(kCap), answer(kCap);
    char service[4] = {};
    std::vector<double> micros;
    for (auto _ : state) {
        std::strcpy(message.data(), "{SV}s12{CD}c25{F}");  // the send rewrites it in place
        const uint32_t cap = kCap;
        uint32_t answerCap = kCap;
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = dll.Send(instance.id(), "s12", message.data(), &cap);
        const int waited = sent == 0 ? dll.Wait(instance.id(), 5000) : -1;
        const int got = waited == 0 ? dll.Get(instance.id(), service, answer.data(), &answerCap) : -1;
        const double elapsed = MicrosSince(t0);
        if (got != 0 || std::strcmp(service, "s12") != 0) {
            state.SkipWithError("request not served");
            break;
        }
        micros.push_back(elapsed);
    }
    benchfloor::ReportAgainstFloor(state, micros);
}
BENCHMARK(BM_LibraryRoundTrip)->ArgName("log")->Arg(0)->Arg(1)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The bare link benchmark's request (s3/c0, acknowledged 1 while idle) through
// SZelApiSendMessage alone: the library's own cost over the bare round trip.
void BM_LibraryAbortWhileIdle(benchmark::State& state) {
    OpenedInstance instance(state, 0);
    if (!instance.ok()) return;
    std::vector<char> message(kCap);
    std::vector<double> micros;
    for (auto _ : state) {
        std::strcpy(message.data(), "{SV}s3{CD}c0{F}");
        const uint32_t cap = kCap;
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = instance.dll().Send(instance.id(), "s3", message.data(), &cap);
        const double elapsed = MicrosSince(t0);
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

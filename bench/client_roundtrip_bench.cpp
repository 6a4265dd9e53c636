// Round trip of one request through the client library against a real
// trv_71, as a cash-register application does it: libznp_dll.so loaded with
// dlopen, one instance opened on a copy of the example configuration, then
// SZelApiSendMessage + SZelApiWaitSynchro + SZelApiGetMessage of s12/c25 per
// iteration. Reports the median and the 99th percentile in microseconds; the
// argument switches the library log off (0) or on (1). Run it from the source
// tree's root: the example configuration is copied from ./example.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/config_tree.h"
#include "support/station_lock.h"
#include "support/znp_dll_loader.h"

namespace {

constexpr uint32_t kCap = 10241;
constexpr const char* kRequest = "{SV}s12{CD}c25{F}";

testsupport::ZnpDll* Library() {
    static testsupport::ZnpDll dll;
    static const bool loaded = dll.Load();
    return loaded ? &dll : nullptr;
}

void BM_LibraryRoundTrip(benchmark::State& state) {
    testsupport::ZnpDll* dll = Library();
    if (dll == nullptr) {
        state.SkipWithError("cannot load libznp_dll.so");
        return;
    }
    testsupport::ConfigTree dir;
    const std::string program = dir.file("trv_71_client_bench");
    if (!dir.ok() || !std::filesystem::copy_file(testsupport::BinPath("trv_71"), program)) {
        state.SkipWithError("cannot copy ./example and trv_71 (run from the source tree root)");
        return;
    }
    const uint32_t pos = testsupport::UniquePosNumber();  // held by no test running beside us
    uint32_t id = 0;
    if (dll->OpenStation(&id, pos, program, dir.file("ECHANGES.LOG"), static_cast<uint32_t>(state.range(0))) != 0) {
        state.SkipWithError("SZelApiOpen failed");
        return;
    }
    std::vector<char> message(kCap), answer(kCap);
    char service[4] = {};
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        std::strcpy(message.data(), kRequest);  // the send rewrites it in place
        const uint32_t cap = kCap;
        uint32_t answerCap = kCap;
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = dll->Send(id, "s12", message.data(), &cap);
        const int waited = sent == 0 ? dll->Wait(id, 5000) : -1;
        const int got = waited == 0 ? dll->Get(id, service, answer.data(), &answerCap) : -1;
        const auto t1 = std::chrono::steady_clock::now();
        if (sent != 0 || waited != 0 || got != 0 || std::strcmp(service, "s12") != 0) {
            state.SkipWithError("request not served");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    dll->Close(id, 0);
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_LibraryRoundTrip)->ArgName("log")->Arg(0)->Arg(1)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The bare link benchmark's request (s3/c0, acknowledged 1 while idle) through
// SZelApiSendMessage alone: the library's own cost over the bare round trip.
void BM_LibraryAbortWhileIdle(benchmark::State& state) {
    testsupport::ZnpDll* dll = Library();
    testsupport::ConfigTree dir;
    const std::string program = dir.file("trv_71_client_bench");
    if (dll == nullptr || !dir.ok() || !std::filesystem::copy_file(testsupport::BinPath("trv_71"), program)) {
        state.SkipWithError("cannot load the library or copy ./example and trv_71 (run from the source tree root)");
        return;
    }
    const uint32_t pos = testsupport::UniquePosNumber();
    uint32_t id = 0;
    if (dll->OpenStation(&id, pos, program, dir.file("ECHANGES.LOG"), 0) != 0) {
        state.SkipWithError("SZelApiOpen failed");
        return;
    }
    std::vector<char> message(kCap);
    std::vector<double> micros;
    for (auto _ : state) {
        std::strcpy(message.data(), "{SV}s3{CD}c0{F}");
        const uint32_t cap = kCap;
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = dll->Send(id, "s3", message.data(), &cap);
        const auto t1 = std::chrono::steady_clock::now();
        if (sent != 1) {
            state.SkipWithError("abort not acknowledged with 1");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    dll->Close(id, 0);
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_LibraryAbortWhileIdle)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

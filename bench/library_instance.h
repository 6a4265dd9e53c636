// One till driven through the client library as a cash-register application
// drives it: libznp_dll.so loaded with dlopen, one instance opened on its own
// POS number on a copy of the example configuration (./example of the
// source tree) with trv_71 copied into it, and one request timed from
// SZelApiSendMessage to SZelApiGetMessage. The library round-trip benchmark
// runs it; the card payment benchmark runs the same round trip beside the
// payment.
#pragma once
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "futex_floor.h"
#include "support/config_tree.h"
#include "support/station_lock.h"
#include "support/znp_dll_loader.h"

namespace benchlib {

constexpr uint32_t kMessageCapacity = 10241;

// The instance; the benchmark is skipped with a reason when any step fails.
class LibraryInstance {
public:
    // With traceFile, the tree has the spool directory of the run script
    // ("WOut"), so the program writes its trace file as the example does.
    LibraryInstance(benchmark::State& state, uint32_t logSwitch, bool traceFile = false) {
        static testsupport::ZnpDll library;
        static const bool loaded = library.Load();
        const std::string program = dir_.file("trv_71_client_bench");
        std::error_code ec;
        if (traceFile) std::filesystem::create_directory(dir_.file("WOut"), ec);
        if (!loaded) {
            state.SkipWithError("cannot load libznp_dll.so");
        } else if (!dir_.ok() || ec || !std::filesystem::copy_file(testsupport::BinPath("trv_71"), program)) {
            state.SkipWithError("cannot copy ./example and trv_71 (run from the source tree root)");
        } else if (library.OpenStation(&id_, testsupport::UniquePosNumber(), program, dir_.file("ECHANGES.LOG"),
                                       logSwitch) != 0) {
            state.SkipWithError("SZelApiOpen failed");
        } else {
            dll_ = &library;
        }
    }
    ~LibraryInstance() {
        if (dll_) dll_->Close(id_, 0);
    }
    LibraryInstance(const LibraryInstance&) = delete;
    LibraryInstance& operator=(const LibraryInstance&) = delete;

    bool ok() const { return dll_ != nullptr; }
    // What the program wrote into its trace files so far ("WOut/CA*.SPO"
    // and their backups).
    std::string TraceText() const {
        std::string text;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.file("WOut"), ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("CA", 0) == 0) text += testsupport::ReadFileText(entry.path().string());
        }
        return text;
    }
    const testsupport::ZnpDll& dll() const { return *dll_; }
    uint32_t id() const { return id_; }

    // One request (a tag message such as "{SV}s12{CD}c25{F}") sent, its
    // answer awaited for at most waitMs and taken: microseconds from the
    // send to the answer taken, or -1 when it was not acknowledged with 0,
    // not answered in time or answered for another service. The answer's
    // text goes to *answer.
    double TimedRequest(const char* service, const std::string& request, uint32_t waitMs, std::string* answer) {
        if (request.size() >= kMessageCapacity) return -1;
        std::memcpy(message_.data(), request.c_str(), request.size() + 1);  // the send rewrites it in place
        char answered[4] = {};
        const uint32_t cap = kMessageCapacity;
        uint32_t answerCap = kMessageCapacity;
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = dll_->Send(id_, service, message_.data(), &cap);
        const int waited = sent == 0 ? dll_->Wait(id_, waitMs) : -1;
        const int got = waited == 0 ? dll_->Get(id_, answered, reply_.data(), &answerCap) : -1;
        const double elapsed =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        if (answer) *answer = reply_.data();
        return got == 0 && std::strcmp(answered, service) == 0 ? elapsed : -1;
    }

private:
    testsupport::ConfigTree dir_;
    testsupport::ZnpDll* dll_ = nullptr;
    uint32_t id_ = 0;
    std::vector<char> message_ = std::vector<char>(kMessageCapacity), reply_ = std::vector<char>(kMessageCapacity);
};

// The POS round trip: s12/c25 (answered by the program without the
// terminal or a server) through the library, per iteration, beside a futex
// round trip between two processes measured in the same run. The argument
// switches the library log off (0) or on (1); with traceFile the program
// writes its trace file (the example's trace settings: the spool directory
// "WOut" exists), which is then checked to hold every request's trace line.
inline void MeasureLibraryRoundTrip(benchmark::State& state, bool traceFile = false) {
    LibraryInstance instance(state, static_cast<uint32_t>(state.range(0)), traceFile);
    if (!instance.ok()) return;
    std::vector<double> micros;
    for (auto _ : state) {
        const double elapsed = instance.TimedRequest("s12", "{SV}s12{CD}c25{F}", 5000, nullptr);
        if (elapsed < 0) {
            state.SkipWithError("request not served");
            break;
        }
        micros.push_back(elapsed);
    }
    if (traceFile && !micros.empty()) {
        // Every request left its line in the trace file: none was lost.
        const std::string trace = instance.TraceText();
        size_t lines = 0;
        for (size_t at = trace.find("Requete a traiter"); at != std::string::npos;
             at = trace.find("Requete a traiter", at + 1))
            ++lines;
        state.counters["traced_requests"] = static_cast<double>(lines);
        if (lines < micros.size()) state.SkipWithError("request lines missing from the trace file");
    }
    benchfloor::ReportAgainstFloor(state, micros);
}

}  // namespace benchlib

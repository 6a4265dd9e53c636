// The remote interface exchange between two processes: the benchmark's
// engine as host, tools/interface_peer as the remote station on a pty, over
// one loopback TCP link of the message boxes. A DISPLAY batch of a 23-line
// window (23 command messages, the answer request, 23 answers) beside a bare
// message-box round trip on the same link (a message the peer sends back as
// it came), so that the batch reads against the floor of its 47 messages.
// Reports the median and the 99th percentile in microseconds.
#pragma once
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/trace.h"
#include "latency_counters.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "support/interface_link.h"

namespace interface_batch {

// A host console with a 23 x 78 window on remote resource 61, its engine
// streaming to a peer that also echoes net application "ECHO".
struct Host {
    testsupport::InterfacePeer peer;
    ConsoBox* console = nullptr;
    KT_TEXT_WINDOW* window = nullptr;
    bool ready = false;

    Host() {
        WSysSetTraceHook([](const char*) { return 0; });
        if (!peer.Start({"--echo", "ECHO"}, false)) return;
        const auto started = peer.NextEvent(10000);
        if (!started || started->rfind("ready", 0) != 0) return;
        console = KTCONSOL_NewConso(2, 1, "BENCH", peer.stream(), nullptr);
        if (console == nullptr || SAP_NewSAPbox(peer.stream(), console, 2, 1, 0) != 1) return;
        KTX_SetTimeOutAndModes(peer.stream(), 5000, 0, 0);
        KTCONSOL_AddFenetre(console, "R23", 23, 78);
        KTCONSOL_SetFenetreResource(console, "R23", 61);
        window = KTCONSOL_FindFenetre(console, "R23");
        if (ISAP_OpenWindowResource(window) != 0) return;
        std::string text;
        for (int i = 0; i < 23; ++i) text += "Ligne " + std::to_string(i) + " du lot de la console distante\n";
        TWI_WriteText(window, text.c_str(), 0);
        ready = true;
    }
    ~Host() {
        SAP_FreeSAPbox();
        if (console != nullptr) KTCONSOL_FreeConso(console);
        WSysSetTraceHook(nullptr);  // the default output again
    }
};

inline void BM_RemoteDisplayBatch23Lines(benchmark::State& state) {
    Host host;
    if (!host.ready) {
        state.SkipWithError("cannot start the interface peer");
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        ISAP_ClearAll();
        const bool fine = ISAP_SetDisplayCommand(host.window) == 0 && ISAP_GetDisplayResult(host.window) == 0;
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        host.peer.DiscardEvents();
        if (!fine) {
            state.SkipWithError("batch failed");
            break;
        }
    }
    state.counters["messages"] = 47;
    ReportLatency(state, micros);
}

inline void BM_BareMessageBoxRoundTripToThePeer(benchmark::State& state) {
    Host host;
    if (!host.ready) {
        state.SkipWithError("cannot start the interface peer");
        return;
    }
    // A body of the size of one DISPLAY row on the wire.
    const std::string body(11 + 100, 'b');
    KTM_WPRO* mess = host.peer.stream()->mess;
    KTM_PutArg(mess, 'A', "ECHO", 1);
    KTM_PutArg(mess, 'S', "XSAP/00000000/003/", 1);
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        std::memcpy(KTM_GetRequestMessage(mess), body.data(), body.size());
        mess->request->mLength = static_cast<uint32_t>(body.size());
        const int sent = KTX_SomeThingToSend(mess, 0);
        const char* type = KTX_SomeThingReceived(mess, 0);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (sent <= 0 || type == nullptr || std::strcmp(type, "ECHO") != 0 || mess->answer->mLength != body.size()) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    ReportLatency(state, micros);
}

BENCHMARK(BM_BareMessageBoxRoundTripToThePeer)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemoteDisplayBatch23Lines)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace interface_batch

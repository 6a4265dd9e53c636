// One server exchange of the program (TOC_ServerExchangeStep: context tags
// added to the request, request encoded, framed and sent, the answer read,
// decoded and routed, traces and exchange-log entries written) against the
// acquirer simulator over loopback TCP, in an open session of the program;
// beside the physical floor measured in the same run: a bare socket round
// trip of the same request and answer sizes. Reports the median and the 99th
// percentile in microseconds.
//
// Over TLS with session reuse: the same exchange once the TLS transport is
// in place (the resource's network type 4).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/eft_context.h"
#include "app/main_loop.h"
#include "app/net_resources.h"
#include "app/options.h"
#include "app/server_exchange.h"
#include "app/startup.h"
#include "bare_round_trip.h"
#include "latency_counters.h"
#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "netsim/tcp_link.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/station_lock.h"

namespace {

const std::string kRequest = "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{TT}3{D7V}ILOT{E6}12345678{F}";

// Frame sizes of the last exchange measured, for the floor.
size_t g_requestFrame = 0;
size_t g_answerFrame = 0;

void BM_ServerExchangeStep(benchmark::State& state) {
    std::string error;
    netsim::AcquirerSim sim(*netsim::AcquirerScenario::Parse("default answer 1400 reply\n", &error));
    if (!sim.start()) {
        state.SkipWithError("cannot start the acquirer simulator");
        return;
    }
    testsupport::ConfigTree tree;
    if (!tree.ok() || !testsupport::WriteNetFile(tree.str(), testsupport::LoopbackResource(0, sim.port()))) {
        state.SkipWithError("cannot make the till directory");
        return;
    }
    InitDefaultOptions();
    g_processOptions.station = testsupport::UniqueStation();
    g_processOptions.debugLevel = static_cast<int>(state.range(0));
    std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", tree.str().c_str());
    if (TOC_OpenSession() != 1) {
        state.SkipWithError("cannot open the session");
        return;
    }
    EFTCBox* context = GetEftContext();
    std::snprintf(context->exchangeLogName, sizeof context->exchangeLogName, "%s",
                  tree.file("EXCHANGES.LOG").c_str());
    context->logSizeKb = 100000;
    EFTOC_SetApplicationCode(context, "1400");
    TOC_EnableAllServers();
    if (TOC_ConnectServers(context) != 1) {
        state.SkipWithError("cannot connect the server");
        ShutdownClient();
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        std::memcpy(context->serverRequest, kRequest.c_str(), kRequest.size() + 1);
        const auto t0 = std::chrono::steady_clock::now();
        int result = TOC_ServerExchangeStep(context);
        while (result >= 0 && result < 20) result = TOC_ServerExchangeStep(context);
        const auto t1 = std::chrono::steady_clock::now();
        if (result < 20 || std::strstr(context->serverAnswer, "{RS}01") == nullptr) {
            state.SkipWithError("exchange failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const auto requests = sim.requests();
    if (!requests.empty()) {
        g_requestFrame = netsim::EncodeFrame(requests.back()).size();
        netsim::NetMessage answer = requests.back();
        answer.M = netsim::EncodeFieldBody(context->serverAnswer);
        g_answerFrame = netsim::EncodeFrame(answer).size();
    }
    Options.ConnectedMode = 0;
    TOC_CloseServer(context);
    ShutdownClient();
    sim.stop();
    ReportLatency(state, micros);
}
// Argument: the debug level (1: traces and exchange-log entries written as
// the program runs by default; 0: neither).
BENCHMARK(BM_ServerExchangeStep)->Arg(1)->Arg(0)->Iterations(3000)->Unit(benchmark::kMicrosecond);

void BM_BareSocketRoundTripOfTheSameSizes(benchmark::State& state) {
    if (g_requestFrame == 0) {
        state.SkipWithError("no exchange measured");
        return;
    }
    state.counters["request_bytes"] = static_cast<double>(g_requestFrame);
    state.counters["answer_bytes"] = static_cast<double>(g_answerFrame);
    RunBareRoundTrip(state, g_requestFrame, g_answerFrame);
}
BENCHMARK(BM_BareSocketRoundTripOfTheSameSizes)->Iterations(3000)->Unit(benchmark::kMicrosecond);

}  // namespace

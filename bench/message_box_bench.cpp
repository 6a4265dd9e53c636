// One message-box request and answer against the acquirer simulator over
// loopback TCP (frame built, body scrambled, sent, answer read, decoded and
// unscrambled), beside the physical floor measured in the same run: a bare
// socket round trip of the same sizes between the same two kinds of party.
// Reports the median and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "bare_round_trip.h"
#include "latency_counters.h"
#include "netsim/acquirer.h"
#include "netsim/tcp_link.h"

namespace {

const std::string kBody(200, 'b');

// Size of the request frame a box sends for kBody (K "1", A "1400").
size_t RequestFrameSize() { return 5 + 7 + 10 + 3 + kBody.size(); }

void BM_BareSocketRoundTrip(benchmark::State& state) {
    RunBareRoundTrip(state, RequestFrameSize(), RequestFrameSize());
}
BENCHMARK(BM_BareSocketRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond);

void BM_MessageBoxRoundTrip(benchmark::State& state) {
    std::string error;
    auto scenario = netsim::AcquirerScenario::Parse("default answer 1400 echo\n", &error);
    netsim::AcquirerSim sim(*scenario);
    if (!sim.start()) {
        state.SkipWithError("cannot start the acquirer simulator");
        return;
    }
    const std::string port = std::to_string(sim.port());
    KTX_WSERV* box = KTX_NewClientBox(1, 0);
    if (KTX_ClientNetStart(box, WNET_TYPE_TCP, port.c_str(), port.c_str(), "127.0.0.1", "127.0.0.1", "", "", 0, 0,
                           "", "") < 0) {
        state.SkipWithError("cannot connect the box");
        KTX_CloseClientBox(box, 1);
        return;
    }
    KTX_SetTimeOutAndModes(box, 5000, 0, 0);
    KTM_WPRO* mess = box->mess;
    KTM_PutArg(mess, 'K', "1", 1);
    KTM_PutArg(mess, 'A', "1400", 1);
    std::memcpy(KTM_GetRequestMessage(mess), kBody.data(), kBody.size());
    mess->request->mLength = static_cast<uint32_t>(kBody.size());
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const int sent = KTX_SomeThingToSend(mess, 0);
        const char* type = KTX_SomeThingReceived(mess, 0);
        const auto t1 = std::chrono::steady_clock::now();
        if (sent != static_cast<int>(RequestFrameSize()) || type == nullptr || std::strcmp(type, "1400") != 0 ||
            mess->answer->mLength != kBody.size()) {
            state.SkipWithError("exchange failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    KTX_CloseClientBox(box, 1);
    sim.stop();
    ReportLatency(state, micros);
}
BENCHMARK(BM_MessageBoxRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// The frame work of one exchange without any I/O: the request built and
// scrambled, the same bytes decoded and unscrambled as an answer.
void BM_NetFrameCodec(benchmark::State& state) {
    int32_t stamp = 1;
    KTM_WPRO* mess = KTM_NewMess(1, 1, nullptr, 0, &stamp);
    KTM_PutArg(mess, 'K', "1", 1);
    KTM_PutArg(mess, 'A', "1400", 1);
    std::memcpy(KTM_GetRequestMessage(mess), kBody.data(), kBody.size());
    mess->request->mLength = static_cast<uint32_t>(kBody.size());
    for (auto _ : state) {
        const int n = NET_MAP_Request(mess);
        const int m = NET_MapAnswer(mess, static_cast<uint32_t>(n));
        if (m != static_cast<int>(kBody.size())) {
            state.SkipWithError("codec failed");
            break;
        }
        benchmark::DoNotOptimize(mess->answer->M);
    }
    KTM_FreeMess(mess);
}
BENCHMARK(BM_NetFrameCodec)->Unit(benchmark::kMicrosecond);

}  // namespace

// One server exchange of the program (TOC_ServerExchangeStep: context tags
// added to the request, request encoded, framed and sent, the answer read,
// decoded and routed, traces and exchange-log entries written) against the
// acquirer simulator over loopback, in an open session of the program, over
// TCP and over TLS (network type 4, verified certificates made by the
// openssl command); and the whole server connection of a request (connect
// with its greeting, TLS session resumed, the exchange, the closing message
// and the close). Beside them, the physical floors measured in the same
// run: a bare socket round trip of the same request and answer sizes, in
// clear and over an open TLS connection, and "openssl s_time -reuse"
// against the same TLS simulator (a resumed connection of OpenSSL's own
// client, one request, the end of the link). Reports the median and the
// 99th percentile in microseconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "bare_round_trip.h"
#include "comm/network_dispatch.h"
#include "comm/tls_transport.h"
#include "latency_counters.h"
#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "netsim/tcp_link.h"
#include "s_time_reuse.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/station_lock.h"
#include "support/tls_pki.h"

namespace {

const std::string kRequest = "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{TT}3{D7V}ILOT{E6}12345678{F}";
constexpr int kSTimeSeconds = 3;

// Frame sizes of the last exchange measured, for the floors.
size_t g_requestFrame = 0;
size_t g_answerFrame = 0;
// Microseconds of one resumed connection of openssl s_time in this run.
double g_sTimeMicros = 0;

// Made once, removed at the end of the run.
testsupport::TestPki& Pki() {
    static testsupport::TestPki pki;
    return pki;
}

netsim::TlsSettings ServerTls() {
    netsim::TlsSettings tls;
    tls.certificate = Pki().path("localhost.crt");
    tls.key = Pki().path("server.key");
    return tls;
}

// The simulator of each transport, one for the whole run.
netsim::AcquirerSim* Simulator(int networkType) {
    static std::unique_ptr<netsim::AcquirerSim> sims[2];
    auto& sim = sims[networkType == WNET_TYPE_TLS ? 1 : 0];
    if (!sim) {
        std::string error;
        sim = std::make_unique<netsim::AcquirerSim>(*netsim::AcquirerScenario::Parse("default answer 1400 reply\n", &error));
        if ((networkType == WNET_TYPE_TLS && (!Pki().ok() || !sim->setTls(ServerTls(), &error))) || !sim->start()) {
            sim.reset();
            return nullptr;
        }
    }
    return sim.get();
}

// A session of the program in this process whose resource 0 is the
// simulator of the transport (over TLS: "localhost", verified against the
// root CA of the test certificates).
class Session {
public:
    ~Session() { close(); }
    // Empty when open; else why not.
    std::string open(int networkType, int debugLevel) {
        sim_ = Simulator(networkType);
        if (sim_ == nullptr) return "cannot start the acquirer simulator";
        std::vector<std::string> lines = testsupport::LoopbackResource(0, sim_->port());
        if (networkType == WNET_TYPE_TLS) {
            lines = testsupport::TlsResource(0, {{"localhost", sim_->port(), ""}});
            const auto certificates = testsupport::CertificateSettings(Pki().path("cadir/ca.crt"), 1, 1);
            lines.insert(lines.end(), certificates.begin(), certificates.end());
        }
        if (!tree_.ok() || !testsupport::WriteNetFile(tree_.str(), lines)) return "cannot make the till directory";
        InitDefaultOptions();
        g_processOptions.station = testsupport::UniqueStation();
        g_processOptions.debugLevel = debugLevel;
        std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", tree_.str().c_str());
        WSSLSetInterface(0);
        if (TOC_OpenSession() != 1) return "cannot open the session";
        open_ = true;
        context = GetEftContext();
        std::snprintf(context->exchangeLogName, sizeof context->exchangeLogName, "%s",
                      tree_.file("EXCHANGES.LOG").c_str());
        context->logSizeKb = 100000;
        EFTOC_SetApplicationCode(context, "1400");
        return "";
    }
    bool connect() {
        TOC_EnableAllServers();
        return TOC_ConnectServers(context) == 1;
    }
    void disconnect() {
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
    }
    // One request and its answer.
    bool exchange() {
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        std::memcpy(context->serverRequest, kRequest.c_str(), kRequest.size() + 1);
        int result = TOC_ServerExchangeStep(context);
        while (result >= 0 && result < 20) result = TOC_ServerExchangeStep(context);
        return result >= 20 && std::strstr(context->serverAnswer, "{RS}01") != nullptr;
    }
    // The frame sizes of the last exchange.
    void recordFrames() {
        const auto requests = sim_->requests();
        if (requests.empty()) return;
        g_requestFrame = netsim::EncodeFrame(requests.back()).size();
        netsim::NetMessage answer = requests.back();
        answer.M = netsim::EncodeFieldBody(context->serverAnswer);
        g_answerFrame = netsim::EncodeFrame(answer).size();
    }
    void close() {
        if (!open_) return;
        disconnect();
        ShutdownClient();
        open_ = false;
    }
    netsim::AcquirerSim& sim() { return *sim_; }

    EFTCBox* context = nullptr;

private:
    testsupport::ConfigTree tree_;
    netsim::AcquirerSim* sim_ = nullptr;
    bool open_ = false;
};

double Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

// Arguments: the debug level (1: traces and exchange-log entries written as
// the program runs by default; 0: neither) and the network type (2 TCP, 4
// TLS). The connection stays open: each iteration is one request and its
// answer.
void BM_ServerExchangeStep(benchmark::State& state) {
    Session session;
    const std::string why = session.open(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)));
    if (!why.empty() || !session.connect()) {
        state.SkipWithError(why.empty() ? "cannot connect the server" : why.c_str());
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!session.exchange()) {
            state.SkipWithError("exchange failed");
            break;
        }
        micros.push_back(Since(t0));
    }
    session.recordFrames();
    ReportLatency(state, micros);
}
BENCHMARK(BM_ServerExchangeStep)
    ->ArgNames({"debug", "net"})
    ->Args({1, WNET_TYPE_TCP})
    ->Args({0, WNET_TYPE_TCP})
    ->Args({1, WNET_TYPE_TLS})
    ->Args({0, WNET_TYPE_TLS})
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);

// Floor of the TLS connection: OpenSSL's own client resuming its session
// against the same simulator (which ends each link at the unreadable
// "GET"): microseconds of one resumed connection, from the rate over the
// run. It runs before the connection benchmark, which prints it beside its
// own time over TLS.
void BM_OpensslSTimeReuseAgainstTheSimulator(benchmark::State& state) {
    netsim::AcquirerSim* sim = Simulator(WNET_TYPE_TLS);
    if (sim == nullptr) {
        state.SkipWithError("cannot start the acquirer simulator");
        return;
    }
    MeasureSTimeReuse(state, sim->port(), Pki().path("ca.crt"), kSTimeSeconds);
    g_sTimeMicros = state.counters["us_per_connection"];
}
BENCHMARK(BM_OpensslSTimeReuseAgainstTheSimulator)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument: the network type. Each iteration is the server connection of
// one request as the program makes it (debug level 0): connect and greet
// (over TLS the session of the previous connection resumed), the request
// and its answer, the closing message and the close.
void BM_ServerConnectionAndExchange(benchmark::State& state) {
    Session session;
    const std::string why = session.open(static_cast<int>(state.range(0)), 0);
    if (!why.empty() || !session.connect() || !session.exchange()) {  // the first one makes the session
        state.SkipWithError(why.empty() ? "cannot exchange with the server" : why.c_str());
        return;
    }
    session.disconnect();
    const int handshakes = session.sim().tlsHandshakes();
    const int resumed = session.sim().tlsResumed();
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const bool done = session.connect() && session.exchange();
        session.disconnect();
        if (!done) {
            state.SkipWithError("connection or exchange failed");
            break;
        }
        micros.push_back(Since(t0));
    }
    if (state.range(0) == WNET_TYPE_TLS) {
        // The simulator counts a link once its handshake is done; the last
        // one may still be on its way.
        const int made = session.sim().tlsHandshakes() - handshakes;
        state.counters["resumed_share"] =
            made > 0 ? static_cast<double>(session.sim().tlsResumed() - resumed) / made : 0.0;
    }
    ReportLatency(state, micros);
    if (state.range(0) == WNET_TYPE_TLS && g_sTimeMicros > 0 && !micros.empty()) {
        state.counters["s_time_us"] = g_sTimeMicros;
        state.counters["ratio_median_to_s_time"] = state.counters["median_us"] / g_sTimeMicros;
    }
}
BENCHMARK(BM_ServerConnectionAndExchange)
    ->ArgName("net")
    ->Arg(WNET_TYPE_TCP)
    ->Arg(WNET_TYPE_TLS)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);


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

// The same round trip over one open TLS connection (OpenSSL on both sides,
// the simulator's certificate).
void BM_BareTlsRoundTripOfTheSameSizes(benchmark::State& state) {
    if (g_requestFrame == 0) {
        state.SkipWithError("no exchange measured");
        return;
    }
    netsim::TlsContext server, client;
    std::string error;
    netsim::TlsSettings trust;
    trust.caFile = Pki().path("ca.crt");
    if (!server.makeServer(ServerTls(), &error) || !client.makeClient(trust, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const BareTls tls{server.get(), client.get(), "localhost"};
    RunBareRoundTrip(state, g_requestFrame, g_answerFrame, &tls);
}
BENCHMARK(BM_BareTlsRoundTripOfTheSameSizes)->Iterations(3000)->Unit(benchmark::kMicrosecond);

}  // namespace

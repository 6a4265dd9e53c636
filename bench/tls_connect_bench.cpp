// TLS connect with session reuse against "openssl s_server -www", beside the
// physical floor measured in the same run against the same server: "openssl
// s_time -reuse" doing the same work per connection (resume the session,
// fetch the page, close). Each connection of ours goes through the
// transport's client open (certificate checks, cached session), one request,
// the reads until the server closes, and the close that caches the session
// again. Reports connections per second and microseconds per connection of
// both, and the ratio of the times (ours / s_time; 1.2 is the goal), each
// run measuring both.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "comm/shared_connections.h"
#include "comm/tls_transport.h"
#include "core/trace.h"
#include "s_time_reuse.h"
#include "support/openssl_peer.h"
#include "support/tls_pki.h"

namespace {

constexpr const char* kGet = "GET / HTTP/1.0\r\n\r\n";
constexpr int kSTimeSeconds = 3;

// Made once; at the end of the run the server is ended and the certificates
// removed.
struct Peers {
    Peers() {
        ok = pki.ok() &&
             server.Start({"-cert", pki.path("localhost.crt"), "-key", pki.path("server.key"), "-www"});
    }
    testsupport::TestPki pki;
    testsupport::OpensslServer server;
    bool ok = false;
};

Peers& ThePeers() {
    static Peers peers;
    return peers;
}

// One connection of ours: open (resuming), one page, close. False on
// failure; *resumed: the server says it resumed the session.
bool OneConnection(const std::string& service, const std::string& ca, bool* resumed = nullptr) {
    const int32_t h = WSSLImplOpenClientEx("localhost", service.c_str(), 0, ca.c_str(), "", 0, 0, nullptr, "", nullptr);
    if (h < 0) return false;
    bool ok = WSSLImplWrite(h, kGet, static_cast<uint32_t>(std::strlen(kGet))) > 0;
    std::string page;
    for (int n = 0; ok && n >= 0;) {
        char buffer[8192];
        n = WSSLImplRead(h, buffer, sizeof buffer);
        if (n > 0) page.append(buffer, static_cast<size_t>(n));
    }
    WSSLImplDisConnect(h);
    if (resumed != nullptr) *resumed = page.find("Reused, TLS") != std::string::npos;
    return ok && !page.empty();
}

// Each run measures the floor first, "openssl s_time -reuse" against the
// same server for a few seconds, then 500 connections of ours, so that
// every repetition (--benchmark_repetitions) holds both.
void BM_TlsConnectReuse(benchmark::State& state) {
    Peers& peers = ThePeers();
    if (!peers.ok) {
        state.SkipWithError("no test certificates or no s_server");
        return;
    }
    WShared_Initialize(7, 10);
    WSSLSetInterface(0);
    WSysSetTraceHook(nullptr);  // no trace output: the transport's own work is measured
    const std::string service = peers.server.service();
    const std::string ca = peers.pki.path("ca.crt");
    const STimeReuse floor = RunSTimeReuse(service, ca, kSTimeSeconds);
    if (!floor.error.empty()) {
        state.SkipWithError(floor.error.c_str());
        return;
    }
    if (!OneConnection(service, ca)) {  // the first one makes the session
        state.SkipWithError("cannot connect");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    int resumedCount = 0;
    for (auto _ : state) {
        bool resumed = false;
        if (!OneConnection(service, ca, &resumed)) {
            state.SkipWithError("connection failed");
            return;
        }
        resumedCount += resumed ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double perSecond = static_cast<double>(state.iterations()) / seconds;
    state.counters["connections_per_s"] = perSecond;
    state.counters["us_per_connection"] = 1e6 / perSecond;
    state.counters["resumed_share"] = static_cast<double>(resumedCount) / static_cast<double>(state.iterations());
    state.counters["s_time_per_s"] = floor.perSecond;
    state.counters["s_time_us_per_connection"] = 1e6 / floor.perSecond;
    state.counters["s_time_resumed_share"] = floor.resumedShare;
    state.counters["time_ratio_to_s_time"] = floor.perSecond / perSecond;
}
BENCHMARK(BM_TlsConnectReuse)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

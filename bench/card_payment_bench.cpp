// One chip card payment through the client library, as a cash register makes
// it: libznp_dll.so loaded with dlopen, a real trv_71 on a copy of the
// example configuration, its payment terminal the RUDA terminal simulator on
// a pseudo-terminal (a chip card inserted at each payment and removed at its
// end, the EMV card simulator behind it) and its payment server the
// acquirer simulator over TLS (certificates made with the openssl command,
// the session resumed from one payment to the next), both in this process
// and answering at once. Each iteration sends s0/c1 (5.00 EUR) and takes its
// answer, which must be RS "00"; the median and the 99th percentile in
// microseconds, and the share of resumed TLS sessions.
//
// Beside it, in the same run: the POS round trip through the library (s12/c25,
// answered by the program alone, with its futex floor) and "openssl s_time
// -reuse" against the same TLS server (a resumed connection and a request,
// OpenSSL's own client). The payment's time less these two floors and the
// terminal's exchanges is the program's own time. Run it from the source
// tree's root: the example configuration is copied from ./example.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "latency_counters.h"
#include "library_instance.h"
#include "linesim/line_sim.h"
#include "netsim/acquirer.h"
#include "rudasim/ruda_terminal.h"
#include "s_time_reuse.h"
#include "support/net_config.h"
#include "support/tls_pki.h"

namespace {

constexpr int kPayments = 100;
constexpr int kSTimeSeconds = 3;
constexpr uint32_t kAnswerWaitMs = 30000;
const std::string kPayment = "{SV}s0{CD}c1{D10}500{D0}978{F}";

// Figures of this run, for the program's own time at the end.
struct Figures {
    double paymentMedian = 0, paymentP99 = 0;
    double posMedian = 0, posP99 = 0;
    double tlsConnection = 0;
};
Figures g_figures;

// Made once, removed at the end of the run.
testsupport::TestPki& Pki() {
    static testsupport::TestPki pki;
    return pki;
}

// The payment server for the whole run: every payment approved at once.
netsim::AcquirerSim* PaymentServer() {
    static std::unique_ptr<netsim::AcquirerSim> sim;
    if (!sim) {
        std::string error;
        auto scenario = netsim::AcquirerScenario::Parse("default answer reply rs=00\n", &error);
        if (!scenario || !Pki().ok()) return nullptr;
        sim = std::make_unique<netsim::AcquirerSim>(*scenario);
        netsim::TlsSettings tls;
        tls.certificate = Pki().path("localhost.crt");
        tls.key = Pki().path("server.key");
        if (!sim->setTls(tls, &error) || !sim->start()) {
            sim.reset();
            return nullptr;
        }
    }
    return sim.get();
}

// The terminal: one chip card inserted and removed per payment (the
// warm-up's and the measured ones, with a few to spare).
std::unique_ptr<rudasim::RudaSim> Terminal() {
    std::string text = "card chip_card.scn\n";
    for (int i = 0; i < kPayments + 5; ++i) text += "event chip A0000000421010\nevent removal\n";
    std::string error;
    auto scenario = rudasim::RudaScenario::Parse(text, std::string(ZNP_SOURCE_DIR) + "/tools/cardsim/scenarios", &error);
    if (!scenario) return nullptr;
    auto sim = std::make_unique<rudasim::RudaSim>(std::move(*scenario));
    return sim->start() ? std::move(sim) : nullptr;
}

bool Approved(const std::string& answer) {
    return answer.find("{SV}s0") != std::string::npos && answer.find("{RS}00") != std::string::npos;
}

void BM_ChipPayment(benchmark::State& state) {
    netsim::AcquirerSim* server = PaymentServer();
    std::unique_ptr<rudasim::RudaSim> terminal = Terminal();
    if (server == nullptr || terminal == nullptr) {
        state.SkipWithError("cannot start the simulators (certificates, pseudo-terminal)");
        return;
    }
    // The till's resource 0 is the server over TLS ("localhost", verified
    // against the test root CA); its terminal line is the simulator's.
    const auto prepare = [&](const std::string& dir) -> std::string {
        std::vector<std::string> net = testsupport::TlsResource(0, {{"localhost", server->port(), ""}});
        const auto certificates = testsupport::CertificateSettings(Pki().path("cadir/ca.crt"), 1, 1);
        net.insert(net.end(), certificates.begin(), certificates.end());
        if (!testsupport::WriteNetFile(dir, net)) return "cannot write the network resources";
        const std::string why = linesim::SetDriver(dir + "/WCFG/pinpad.cfg", terminal->slaveName());
        return why.empty() ? "" : "cannot put the terminal's line: " + why;
    };
    benchlib::LibraryInstance instance(state, 0, prepare);
    if (!instance.ok()) return;
    std::string answer;
    // The first payment makes the TLS session that the others resume.
    if (instance.TimedRequest("s0", kPayment, kAnswerWaitMs, &answer) < 0 || !Approved(answer)) {
        state.SkipWithError(("first payment not approved: " + answer).c_str());
        return;
    }
    const int handshakes = server->tlsHandshakes();
    const int resumed = server->tlsResumed();
    const size_t exchanges = terminal->exchanges().size();
    std::vector<double> micros;
    for (auto _ : state) {
        const double elapsed = instance.TimedRequest("s0", kPayment, kAnswerWaitMs, &answer);
        if (elapsed < 0 || !Approved(answer)) {
            state.SkipWithError(("payment not approved: " + answer).c_str());
            break;
        }
        micros.push_back(elapsed);
    }
    if (micros.empty()) return;
    const int made = server->tlsHandshakes() - handshakes;
    state.counters["resumed_share"] = made > 0 ? static_cast<double>(server->tlsResumed() - resumed) / made : 0.0;
    state.counters["terminal_requests"] =
        static_cast<double>(terminal->exchanges().size() - exchanges) / static_cast<double>(micros.size());
    ReportLatency(state, micros);
    g_figures.paymentMedian = state.counters["median_us"];
    g_figures.paymentP99 = state.counters["p99_us"];
}
BENCHMARK(BM_ChipPayment)->Iterations(kPayments)->Unit(benchmark::kMillisecond)->UseRealTime();

// The POS round trip of the same library and program, without the card.
void BM_PosRoundTrip(benchmark::State& state) {
    benchlib::MeasureLibraryRoundTrip(state);
    g_figures.posMedian = state.counters["median_us"];
    g_figures.posP99 = state.counters["p99_us"];
}
BENCHMARK(BM_PosRoundTrip)->ArgName("log")->Arg(0)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// OpenSSL's own client resuming its session against the same server (which
// ends each link at the unreadable "GET"): microseconds of one resumed
// connection, from the rate over the run.
void BM_OpensslSTimeReuse(benchmark::State& state) {
    netsim::AcquirerSim* server = PaymentServer();
    if (server == nullptr) {
        state.SkipWithError("cannot start the payment server");
        return;
    }
    MeasureSTimeReuse(state, server->port(), Pki().path("ca.crt"), kSTimeSeconds);
    g_figures.tlsConnection = state.counters["us_per_connection"];
}
BENCHMARK(BM_OpensslSTimeReuse)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The program's own time in a payment: the payment less the POS round trip
// and one resumed TLS connection with its request (median and 99th
// percentile, microseconds). The terminal's exchanges are left in it: the
// simulator answers at once on a pseudo-terminal.
void BM_ProgramOwnTime(benchmark::State& state) {
    for (auto _ : state) {
    }
    if (g_figures.paymentMedian <= 0 || g_figures.posMedian <= 0 || g_figures.tlsConnection <= 0) {
        state.SkipWithError("the payment, the POS round trip and s_time must run first in this run");
        return;
    }
    state.counters["program_median_us"] = g_figures.paymentMedian - g_figures.posMedian - g_figures.tlsConnection;
    state.counters["program_p99_us"] = g_figures.paymentP99 - g_figures.posP99 - g_figures.tlsConnection;
}
BENCHMARK(BM_ProgramOwnTime)->Iterations(1);

}  // namespace

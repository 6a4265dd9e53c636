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
// OpenSSL's own client). The payment also holds one wait that a Part sets:
// the pad reset at its end reads terminal events in slices of 200 ms until
// one fails, and the simulator sends none, so one slice runs out; it is
// measured apart as the terminal's silence before the reset request (the
// longest gap between an answer of the terminal and the next request,
// terminal_wait_us). The payment's time less the POS round trip, the TLS
// connection and the 200 ms of that slice is the program's own time
// (BM_ProgramOwnTime; the terminal's exchanges, on a pseudo-terminal
// answered at once, stay in it). Run it from the source tree's root: the
// example configuration is copied from ./example.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "latency_counters.h"
#include "library_instance.h"
#include "s_time_reuse.h"
#include "support/payment_station.h"
#include "support/tls_pki.h"

namespace {

constexpr int kPayments = 100;
// The event-wait slice of the pad reset (a Part's time-out), run out once
// per payment.
constexpr double kPadResetSliceUs = 200000;
constexpr int kSTimeSeconds = 3;
constexpr uint32_t kAnswerWaitMs = 30000;
const testsupport::TagList kPayment = {{"SV", "s0"}, {"CD", "c1"}, {"D10", "500"}, {"D0", "978"}};

// Figures of this run, for the program's own time at the end.
struct Figures {
    double paymentMedian = 0, paymentP99 = 0;
    double posMedian = 0, posP99 = 0;
    double tlsConnection = 0;
    double terminalWaitMedian = 0;
};
Figures g_figures;

// Made once, removed at the end of the run.
testsupport::TestPki& Pki() {
    static testsupport::TestPki pki;
    return pki;
}

// The till of the run: its terminal has one chip card inserted and removed
// per payment (the warm-up's and the measured ones, with a few to spare),
// its one payment server over TLS approves every payment at once. Shared
// with the s_time run, which goes against the same server; null when it
// could not start (*error says why).
std::unique_ptr<testsupport::PaymentStation>& Till() {
    static std::unique_ptr<testsupport::PaymentStation> till;
    return till;
}
testsupport::PaymentStation* StartTill(std::string* error) {
    if (Till()) return Till().get();
    if (!Pki().ok()) {
        *error = "cannot make the test certificates";
        return nullptr;
    }
    testsupport::PaymentStationSetup setup;
    for (int i = 0; i < kPayments + 5; ++i) setup.terminal += "event chip A0000000421010\nevent removal\n";
    setup.servers = {"default answer reply rs=00"};
    setup.tls = &Pki();
    auto till = std::make_unique<testsupport::PaymentStation>(setup);
    if (!till->Start(error)) return nullptr;
    Till() = std::move(till);
    return Till().get();
}

// One payment: microseconds from the send to the answer taken, or -1 when
// it was not approved (*answer holds what came).
double Pay(testsupport::PaymentStation& till, std::string* answer, std::string* error) {
    int ack = -1;
    const auto t0 = std::chrono::steady_clock::now();
    const bool answered = till.Send(kPayment, &ack, error) && ack == 0 && till.WaitAnswer(kAnswerWaitMs, answer, error);
    const double elapsed = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    if (!answered || testsupport::PaymentStation::Tag(*answer, "SV") != "s0" ||
        testsupport::PaymentStation::Tag(*answer, "RS") != "00") {
        if (error->empty()) *error = "acknowledgement " + std::to_string(ack) + ", answer " + *answer;
        return -1;
    }
    return elapsed;
}

void BM_ChipPayment(benchmark::State& state) {
    std::string error, answer;
    testsupport::PaymentStation* till = StartTill(&error);
    if (till == nullptr) {
        state.SkipWithError(("cannot start the till: " + error).c_str());
        return;
    }
    netsim::AcquirerSim& server = till->server(0);
    // The first payment makes the TLS session that the others resume.
    if (Pay(*till, &answer, &error) < 0) {
        state.SkipWithError(("first payment not approved: " + error).c_str());
        return;
    }
    const int handshakes = server.tlsHandshakes();
    const int resumed = server.tlsResumed();
    const size_t exchanges = till->terminal().exchanges().size();
    std::vector<double> micros, waits;
    for (auto _ : state) {
        const size_t before = till->terminal().exchanges().size();
        const double elapsed = Pay(*till, &answer, &error);
        if (elapsed < 0) {
            state.SkipWithError(("payment not approved: " + error).c_str());
            break;
        }
        micros.push_back(elapsed);
        // The terminal's longest silence between an answer and the next
        // request of this payment: the pad reset's event slice.
        const std::vector<rudasim::Exchange> seen = till->terminal().exchanges();
        double longest = 0;
        for (size_t i = before + 1; i < seen.size(); ++i)
            longest = std::max(longest,
                               std::chrono::duration<double, std::micro>(seen[i].received - seen[i - 1].answered).count());
        waits.push_back(longest);
    }
    if (micros.empty()) return;
    std::sort(waits.begin(), waits.end());
    state.counters["terminal_wait_us"] = waits[waits.size() / 2];
    g_figures.terminalWaitMedian = waits[waits.size() / 2];
    const int made = server.tlsHandshakes() - handshakes;
    state.counters["resumed_share"] = made > 0 ? static_cast<double>(server.tlsResumed() - resumed) / made : 0.0;
    state.counters["terminal_requests"] =
        static_cast<double>(till->terminal().exchanges().size() - exchanges) / static_cast<double>(micros.size());
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
    std::string error;
    testsupport::PaymentStation* till = StartTill(&error);
    if (till == nullptr) {
        state.SkipWithError(("cannot start the till: " + error).c_str());
        return;
    }
    MeasureSTimeReuse(state, till->server(0).port(), Pki().path("ca.crt"), kSTimeSeconds);
    g_figures.tlsConnection = state.counters["us_per_connection"];
}
BENCHMARK(BM_OpensslSTimeReuse)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The program's own time in a payment: the payment less the POS round trip,
// one resumed TLS connection with its request and the pad reset's 200 ms
// event slice (median and 99th percentile, microseconds), beside those
// floors and the slice as the terminal's silence measured it. The terminal's
// exchanges are left in it: the simulator answers at once on a
// pseudo-terminal.
void BM_ProgramOwnTime(benchmark::State& state) {
    for (auto _ : state) {
    }
    if (g_figures.paymentMedian <= 0 || g_figures.posMedian <= 0 || g_figures.tlsConnection <= 0) {
        state.SkipWithError("the payment, the POS round trip and s_time must run first in this run");
        return;
    }
    state.counters["program_median_us"] =
        g_figures.paymentMedian - g_figures.posMedian - g_figures.tlsConnection - kPadResetSliceUs;
    state.counters["program_p99_us"] =
        g_figures.paymentP99 - g_figures.posP99 - g_figures.tlsConnection - kPadResetSliceUs;
    state.counters["pos_round_trip_us"] = g_figures.posMedian;
    state.counters["tls_connection_us"] = g_figures.tlsConnection;
    state.counters["terminal_wait_us"] = g_figures.terminalWaitMedian;
    Till().reset();  // the program ends, the simulators stop, the till's directory goes
}
BENCHMARK(BM_ProgramOwnTime)->Iterations(1);

}  // namespace

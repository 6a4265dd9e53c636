// One cheque read on a protocol-6 reader (D5500) through the terminal
// script engine and the simple-frame link, over a pseudo-terminal at
// 115,200 baud, against the cheque reader simulator answering at once: the
// read request sent, the reader's ENQ awaited, its line read into the
// card-read record. Beside it the line time of the bytes of both turns at
// 115,200 baud (10 bits a byte), which a real line could not beat: the
// program's ENQ, frame (6 bytes), EOT and its two ACKs of the reader's
// turn; the reader's two ACKs, ENQ, answer frame (message and 3) and EOT.
//
// Reports the median and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "chequesim/cheque_reader.h"
#include "latency_counters.h"
#include "periph/terminal_box.h"
#include "protocols/card_records.h"
#include "protocols/cheque/cheque_modules.h"
#include "protocols/pv_status.h"
#include "serial_station.h"
#include "support/cheque_operation.h"

namespace {

constexpr int kBaud = 115200;
// The reader's answer: "14010", the count, the 35-character line, a space.
constexpr size_t kAnswerLength = 5 + 2 + 35 + 1;

double LineMicros(size_t bytes) { return static_cast<double>(bytes) * 10.0 * 1e6 / kBaud; }


void BM_ChequeReadD5500(benchmark::State& state) {
    std::string error;
    auto scenario = chequesim::ChequeScenario::Parse("delay 1", &error);
    if (!scenario) {
        state.SkipWithError(error.c_str());
        return;
    }
    chequesim::ChequeReaderSim sim(6, *scenario);
    if (!sim.start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    SerialStation station(sim.slaveName(), {{"EFT_CM7", "D5500"}});
    if (!station.ok()) {
        state.SkipWithError("station not set up");
        return;
    }
    const size_t hostBytes = 1 + 6 + 1 + 2;
    const size_t readerBytes = 2 + 1 + (kAnswerLength + 3) + 1;
    std::vector<double> micros;
    size_t reads = 0;
    for (auto _ : state) {
        CardReadRecord r = testsupport::ChequeRecord(CHQ_OPTION_READ);
        const auto t0 = std::chrono::steady_clock::now();
        const int status = testsupport::RunChequeOperation(&r);
        const auto t1 = std::chrono::steady_clock::now();
        if (status != PV_ALL_FINE || r.eventLength != 35) {
            state.SkipWithError("the cheque was not read");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        // The reader's turn ends with its EOT once the record has the line.
        if (!sim.reader().waitAnswersDelivered(++reads, 2000)) {
            state.SkipWithError("the reader's turn did not end");
            break;
        }
    }
    ReportLatency(state, micros);
    state.counters["line_time_us"] = LineMicros(hostBytes + readerBytes);
    state.counters["line_bytes"] = static_cast<double>(hostBytes + readerBytes);
}
BENCHMARK(BM_ChequeReadD5500)->Iterations(100)->Unit(benchmark::kMicrosecond);

}  // namespace

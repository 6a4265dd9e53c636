// A 40-line ticket printed on a protocol-5 printer through the terminal
// script engine and the raw stack, over a pseudo-terminal at 115,200 baud,
// against the printer simulator: each line a print command (operation 13,
// kind 1), then the feed and cut (kind 2), sent in scripts of ten commands;
// timed until the printer has every byte. Beside it the line time of the
// same bytes at 115,200 baud (10 bits a byte), which a real line could not
// beat.
//
// Reports the median and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "chequesim/pzr_printer.h"
#include "latency_counters.h"
#include "periph/terminal_box.h"
#include "protocols/print_block.h"
#include "serial_station.h"

namespace {

constexpr int kBaud = 115200;
constexpr int kLines = 40;
constexpr int kLineLength = 41;  // 40 characters and LF
constexpr int kFeedAndCut = 6;
constexpr int kRowsPerScript = 10;
constexpr int kPrinter = 1;


// Line time of a number of bytes at 115,200 baud, in microseconds.
double LineMicros(size_t bytes) { return static_cast<double>(bytes) * 10.0 * 1e6 / kBaud; }

void BM_TicketPrint40Lines(benchmark::State& state) {
    chequesim::PzrSim sim{chequesim::PzrScenario{}};
    if (!sim.start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    SerialStation station(sim.slaveName(), {{"EFT_PRN", "PZR"}});
    if (!station.ok()) {
        state.SkipWithError("station not set up");
        return;
    }
    std::vector<std::string> lines;
    for (int i = 0; i < kLines; ++i) {
        char text[kLineLength + 1];
        std::snprintf(text, sizeof text, "%-28s%9d,%02d\n", "ARTICLE", 100 + i, i);
        lines.emplace_back(text);
    }
    std::vector<PrintCommandBlock> blocks;
    for (const std::string& l : lines)
        blocks.push_back({PRINT_KIND_TEXT, static_cast<int32_t>(l.size()),
                          reinterpret_cast<const unsigned char*>(l.data()), 0, 0});
    blocks.push_back({PRINT_KIND_CUT, 0, nullptr, 0, 0});
    const size_t ticketBytes = static_cast<size_t>(kLines) * kLineLength + kFeedAndCut;
    size_t printed = 0;
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        int failed = 0;
        for (size_t first = 0; first < blocks.size(); first += kRowsPerScript) {
            EPAP_ClearAll();
            for (size_t i = first; i < blocks.size() && i < first + kRowsPerScript; ++i)
                failed += EPAP_SetCommand(kPrinter, 13, &blocks[i]) != 0 ? 1 : 0;
            failed += EPAP_SendScriptCommands() != 0 ? 1 : 0;
        }
        printed += ticketBytes;
        const bool all = sim.printer().waitBytes(printed, 10000);
        const auto t1 = std::chrono::steady_clock::now();
        if (failed != 0 || !all) {
            state.SkipWithError("the ticket did not reach the printer");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    ReportLatency(state, micros);
    state.counters["line_time_us"] = LineMicros(ticketBytes);
    state.counters["ticket_bytes"] = static_cast<double>(ticketBytes);
}
BENCHMARK(BM_TicketPrint40Lines)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

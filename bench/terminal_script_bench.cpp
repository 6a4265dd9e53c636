// The terminal script engine over a pseudo-terminal at 115,200 baud:
//
// - a script of three 254-byte commands (display and card reader on one
//   line) sent and their three answers read, through the stub module's raw
//   link, against the raw terminal of the line simulator; beside it the line
//   time of the same bytes at 115,200 baud (10 bits a byte), which a real
//   line could not beat;
// - the delay from a byte written on the master side to RUDA_WaitEvent's
//   'A', beside the floor measured in the same run: the same byte written on
//   the master and seen by poll on the slave.
//
// Reports the median and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "latency_counters.h"
#include "linesim/line_sim.h"
#include "linesim/raw_terminal.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "serial_station.h"
#include "support/stub_module.h"

namespace {

constexpr int kPayload = 254;
constexpr int kBaud = 115200;
constexpr int kStubProtocol = 6;

// The display and the card reader on one line, served by the stub module.
class Station : public SerialStation {
public:
    explicit Station(const std::string& device) : SerialStation(device, {{"EFT_DSP", "D5500"}, {"EFT_CAM_1", "D5500"}}) {}
};

// Line time of a number of bytes at 115,200 baud, in microseconds.
double LineMicros(size_t bytes) { return static_cast<double>(bytes) * 10.0 * 1e6 / kBaud; }

void BM_ThreeCommandScript(benchmark::State& state) {
    auto handler = std::make_unique<linesim::RawTerminalHandler>();
    linesim::LineSim sim(std::move(handler));
    if (!sim.start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    testsupport::ScopedStubProtocol stub(kStubProtocol);
    Station station(sim.slaveName());
    if (!station.ok()) {
        state.SkipWithError("station not set up");
        return;
    }
    const std::string payload(kPayload, 'p');
    const int functions[3] = {0, 4, 0};
    const int commands[3] = {2, 100, 3};
    std::vector<double> micros;
    std::string out;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        EPAP_ClearAll();
        for (int i = 0; i < 3; ++i) EPAP_SetCommand(functions[i], commands[i], payload.c_str(), kPayload);
        int failed = 0;
        for (int i = 0; i < 3; ++i) failed += EPAP_GetResult(functions[i], commands[i], &out) != 0 ? 1 : 0;
        const auto t1 = std::chrono::steady_clock::now();
        if (failed != 0 || out.size() != payload.size()) {
            state.SkipWithError("a command failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    ReportLatency(state, micros);
    // Three requests and three answers, each a raw frame of the payload.
    state.counters["line_time_us"] = LineMicros(6 * (kPayload + linesim::kRawHeader + 1));
}
BENCHMARK(BM_ThreeCommandScript)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_PollWakeFloor(benchmark::State& state) {
    linesim::PtyPair pty;
    if (!pty.open()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::vector<double> micros;
    char byte = 'x';
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (write(pty.master(), &byte, 1) != 1) break;
        pollfd p{pty.slave(), POLLIN, 0};
        poll(&p, 1, 1000);
        const auto t1 = std::chrono::steady_clock::now();
        (void)!read(pty.slave(), &byte, 1);
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    ReportLatency(state, micros);
}
BENCHMARK(BM_PollWakeFloor)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_WaitEventWake(benchmark::State& state) {
    linesim::PtyPair pty;
    if (!pty.open()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    Station station(pty.slaveName());
    if (!station.ok() || PortVPSL(0, nullptr) != 0) {
        state.SkipWithError("station not set up");
        return;
    }
    KT_EPERIPH_API* box = EPAP_GetBox();
    KT_PERES* card = TWEP_FindFunction(box, 4, 1);
    std::vector<double> micros;
    char byte = 'x';
    for (auto _ : state) {
        char event = 0;
        const auto t0 = std::chrono::steady_clock::now();
        if (write(pty.master(), &byte, 1) != 1) break;
        const int result = RUDA_WaitEvent(box, card, 1000, &event);
        const auto t1 = std::chrono::steady_clock::now();
        unsigned char got = 0;
        PortRxCar(0, &got, 100);
        if (result != 0 || event != 'A') {
            state.SkipWithError("no event");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    PortClose(0);
    ReportLatency(state, micros);
}
BENCHMARK(BM_WaitEventWake)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

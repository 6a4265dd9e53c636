// The terminal relay: a READ RECORD relayed by the payment server to the
// chip card and the card's answer fetched back (server simulator over
// loopback TCP -> the program's server exchange step -> the RUDA terminal
// simulator on a pseudo-terminal, the EMV card simulator behind it -> the
// server), measured from the program's request to the server holding the
// card's answer: the request out, the command and the fetch back (one
// write), the command's blocks to the terminal, the acknowledgement to the
// server, the answer's blocks from the terminal and the answer to the
// server. Beside it, in the same run: the bare message-box round trip of the
// program (the same request answered at once by the simulator), a bare
// socket round trip of the same frame sizes, and the line time of the
// terminal's bytes at 115,200 baud (10 bits a byte), which a real line could
// not beat. The same relay to a DORAN terminal (the XA link, the DORAN
// terminal simulator): an operation 30 request and its fetch, which waits
// for the terminal's announcement, with the line time of its bytes at 9,600
// baud beside it. Reports the median and the 99th percentile in
// microseconds.
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
#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "latency_counters.h"
#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "platform/named_mutex.h"
#include "doransim/doran_terminal.h"
#include "rudasim/ruda_terminal.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/signed_file_writer.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace {

constexpr int kIterations = 300;
constexpr int kBaud = 115200;
const std::string kRequest = "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{F}";
const std::string kReadRecord = "00B2010C00";

size_t g_requestFrame = 0;
size_t g_relayFrames = 0;

double LineMicros(size_t bytes, int baud = kBaud) { return static_cast<double>(bytes) * 10.0 * 1e6 / baud; }

constexpr int kDoranBaud = 9600;
// Operation 30 for the card reader 0x2801, and the card data it answers.
const std::string kDoranRequest = "E01FC3022801E119C4020004E209DF8382180400000008" "5C08DF828000DF808400";
const std::string kDoranTerminal = "emv 5A0849701000123456785F240325123157124970100012345678D251220100000000000F\n";

double Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

// A session of the program in this process against the acquirer simulator
// playing a scenario, with the card reader of its terminal box on the RUDA
// simulator when asked.
class Station {
public:
    ~Station() { close(); }
    // terminal: "RUDA", "DORAN", or "" for none.
    std::string open(const std::string& scenario, const std::string& terminal) {
        std::string error;
        auto parsed = netsim::AcquirerScenario::Parse(scenario, &error);
        if (!parsed) return error;
        sim = std::make_unique<netsim::AcquirerSim>(*parsed);
        if (!sim->start()) return "cannot start the acquirer simulator";
        if (!tree_.ok() || !testsupport::WriteNetFile(tree_.str(), testsupport::LoopbackResource(0, sim->port())))
            return "cannot make the till directory";
        InitDefaultOptions();
        g_processOptions.station = testsupport::UniqueStation();
        g_processOptions.debugLevel = 0;
        std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", tree_.str().c_str());
        if (TOC_OpenSession() != 1) return "cannot open the session";
        open_ = true;
        context = GetEftContext();
        TOC_EnableAllServers();
        if (TOC_ConnectServers(context) != 1) return "cannot connect the server";
        TOC_SetEmptyPollCount(0);
        if (!terminal.empty()) return openTerminal(terminal);
        return "";
    }
    // One step series until a result of at least `wanted`.
    bool stepUntil(int wanted) {
        for (int i = 0; i < 50; ++i) {
            const int result = TOC_ServerExchangeStep(context);
            if (result < 0) return false;
            if (result >= wanted) return true;
        }
        return false;
    }
    void send() {
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        std::memcpy(context->serverRequest, kRequest.c_str(), kRequest.size() + 1);
    }
    void close() {
        if (!open_) return;
        TWEP_CloseSerialPorts(EPAP_GetBox());
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
        ShutdownClient();
        TWEP_ResetPortState();
        if (comId_ >= 0) {
            WCOM_UnlockResource(0);
            char name[64];
            std::snprintf(name, sizeof name, "(null)KT_SEM_COM_%03d%02d", comId_, 0);
            plat::NamedMutex::Unlink(name);
        }
        open_ = false;
    }

    EFTCBox* context = nullptr;
    std::unique_ptr<netsim::AcquirerSim> sim;
    std::unique_ptr<linesim::LineSim> line;
    rudasim::RudaBlockHandler* ruda = nullptr;
    doransim::XaLinkHandler* doran = nullptr;

private:
    std::string openTerminal(const std::string& protocol) {
        std::string error;
        std::unique_ptr<linesim::FrameHandler> handler;
        if (protocol == "DORAN") {
            auto scenario = doransim::Scenario::Parse(kDoranTerminal, &error);
            if (!scenario) return error;
            auto terminal = std::make_unique<doransim::XaLinkHandler>(*scenario);
            doran = terminal.get();
            handler = std::move(terminal);
        } else {
            auto scenario = rudasim::RudaScenario::FromFile(
                std::string(ZNP_SOURCE_DIR) + "/tools/rudasim/scenarios/ruda_terminal.scn", &error);
            if (!scenario) return error;
            auto terminal = std::make_unique<rudasim::RudaBlockHandler>(*scenario);
            ruda = terminal.get();
            handler = std::move(terminal);
        }
        line = std::make_unique<linesim::LineSim>(std::move(handler));
        if (!line->start()) return "no pseudo-terminal";
        comId_ = testsupport::ClaimStation(10000, 10999);
        const std::string config = dir_.file("port.cfg");
        if (!testsupport::WriteSignedParamFile(config, {"[Driver:" + line->slaveName() + "]", "[Vpsl:8018]"}) ||
            WCOM_CreateContext(comId_, 1, 0, 0, 0, 0) != 1 ||
            WCOM_CreateResource(WCOM_TYPE_SERIAL, "", config.c_str(), "") != 0 ||
            WCOM_SetResourceConnType(0, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE) < 0)
            return "cannot make the terminal's port";
        KT_EPERIPH_API* box = EPAP_GetBox();
        if (box == nullptr || EPAP_CreateFunctionProfile("EFT_CAM_1", 0, PAP_TRANSPORT_SERIAL, protocol.c_str()) != 0)
            return "no terminal box";
        KT_PERES* reader = TWEP_FindFunction(box, 4, 1);
        if (reader == nullptr) return "no card reader in the box";
        TWEP_SwitchToPort(box, 0);
        // As after the session's first command on the port.
        for (KT_PERES* r = TWEP_FindPort(box, 0, PAP_TRANSPORT_SERIAL, 1); r != nullptr;
             r = TWEP_FindPort(box, 0, PAP_TRANSPORT_SERIAL, 0)) {
            r->protocol = protocol == "DORAN" ? 2 : 16;
            r->dialServiceChar = PAP_OPERATION_SET;
        }
        EPAP_OpenLinks();
        if (doran != nullptr) {
            doran->setLineDescriptor(line->slaveDescriptor());
            PortVPSL(0, nullptr);
        }
        return reader->link != nullptr ? "" : "the terminal's link did not open";
    }

    testsupport::ConfigTree tree_;
    testsupport::TempDir dir_;
    int comId_ = -1;
    bool open_ = false;
};

void BM_RelayedReadRecordAndFetch(benchmark::State& state) {
    std::string scenario;
    for (int i = 0; i < kIterations + 2; ++i) scenario += "relay port=0 bodyhex=" + kReadRecord + " fetch\nsilent\nsilent\n";
    Station station;
    const std::string why = station.open(scenario, "RUDA");
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<double> micros;
    size_t expected = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        station.send();
        expected += 3;
        if (!station.stepUntil(11) || !station.stepUntil(10) || !station.sim->waitForRequests(expected, 5000)) {
            state.SkipWithError("relay failed");
            break;
        }
        micros.push_back(Since(t0));
    }
    const auto requests = station.sim->requests();
    const auto exchanges = station.ruda->exchanges();
    if (requests.size() >= 3 && !exchanges.empty()) {
        g_requestFrame = netsim::EncodeFrame(requests[0]).size();
        netsim::NetMessage command = requests[1];
        command.S = netsim::RelayDescriptor(0, "1000", 11);
        command.M = *netsim::HexToBytes(kReadRecord);
        netsim::NetMessage fetch = command;
        fetch.M.clear();
        g_relayFrames = netsim::EncodeFrame(command).size() + netsim::EncodeFrame(fetch).size();
        // The terminal's bytes: the command's blocks and the answer's.
        size_t lineBytes = 0;
        for (const auto& block : exchanges.back().blocks) lineBytes += block.size();
        const std::string answerBlocks = rudasim::Blocks(exchanges.back().nad, exchanges.back().answer, false);
        lineBytes += answerBlocks.size();
        state.counters["line_time_us"] = LineMicros(lineBytes);
        state.counters["line_bytes"] = static_cast<double>(lineBytes);
    }
    ReportLatency(state, micros);
}
BENCHMARK(BM_RelayedReadRecordAndFetch)->Iterations(kIterations)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The relay to a DORAN terminal: the command's request dialogue, the
// terminal's announcement, the fetch's receive dialogue, both to the server.
void BM_RelayedDoranRequestAndFetch(benchmark::State& state) {
    std::string scenario;
    for (int i = 0; i < kIterations + 2; ++i)
        scenario += "relay port=0 bodyhex=" + kDoranRequest + " fetch\nsilent\nsilent\n";
    Station station;
    const std::string why = station.open(scenario, "DORAN");
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<double> micros;
    size_t expected = 0;
    int done = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        station.send();
        expected += 3;
        if (!station.stepUntil(11) || !station.stepUntil(10) || !station.sim->waitForRequests(expected, 5000)) {
            state.SkipWithError("relay failed");
            break;
        }
        micros.push_back(Since(t0));
        ++done;
    }
    if (done > 0) {
        // Every byte of the line, both ways, per relay.
        size_t lineBytes = 0;
        for (const linesim::Record& r : station.line->records()) lineBytes += r.bytes.size();
        lineBytes /= static_cast<size_t>(done);
        state.counters["line_time_9600_us"] = LineMicros(lineBytes, kDoranBaud);
        state.counters["line_bytes"] = static_cast<double>(lineBytes);
    }
    ReportLatency(state, micros);
}
BENCHMARK(BM_RelayedDoranRequestAndFetch)->Iterations(kIterations)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MessageBoxRoundTrip(benchmark::State& state) {
    Station station;
    const std::string why = station.open("default answer 1400 reply\n", "");
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        station.send();
        if (!station.stepUntil(20)) {
            state.SkipWithError("exchange failed");
            break;
        }
        micros.push_back(Since(t0));
    }
    ReportLatency(state, micros);
}
BENCHMARK(BM_MessageBoxRoundTrip)->Iterations(kIterations)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The request's frame out, the command and fetch frames back.
void BM_BareSocketRoundTripOfTheSameSizes(benchmark::State& state) {
    if (g_requestFrame == 0 || g_relayFrames == 0) {
        state.SkipWithError("the relay benchmark gave no sizes");
        return;
    }
    RunBareRoundTrip(state, g_requestFrame, g_relayFrames);
}
BENCHMARK(BM_BareSocketRoundTripOfTheSameSizes)->Iterations(3000)->Unit(benchmark::kMicrosecond);

}  // namespace

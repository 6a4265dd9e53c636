// A DORAN event request and its answer: the event wait set on the card
// reader (a key event queued at the terminal), the script sent (the request
// dialogue of the XA link), the terminal's announcement waited for, the
// answer read (the receive dialogue) and decoded, over a pseudo-terminal
// whose far end is the DORAN terminal simulator. Beside it, in the same
// run, the floor a real line could not beat: the line time of the bytes of
// one round at 9,600 baud (10 bits a byte), plus the fixed waits of the
// link: none, or, with the pad set-up byte 1, 520 ms for each control frame
// the program sends (ENQ and EOT of each dialogue). Reports the median and
// the 99th percentile in microseconds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "doransim/doran_terminal.h"
#include "latency_counters.h"
#include "linesim/line_sim.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "platform/named_mutex.h"
#include "protocols/card_records.h"
#include "protocols/xpro/xa_link.h"
#include "support/signed_file_writer.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace {

constexpr int kBaud = 9600;
constexpr int kReader = 4;

double Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

int g_padFlag = 0;
int PadFlag() { return g_padFlag; }

// The card reader of a terminal box on the DORAN terminal simulator.
class Station {
public:
    ~Station() {
        XA_SetHooks(nullptr);
        PAP_FreePAPbox();
        TWEP_ResetPortState();
        if (comId_ >= 0) {
            WCOM_UnlockResource(0);
            char name[64];
            std::snprintf(name, sizeof name, "(null)KT_SEM_COM_%03d%02d", comId_, 0);
            plat::NamedMutex::Unlink(name);
        }
    }
    std::string open(int padFlag) {
        std::string error;
        auto scenario = doransim::Scenario::Parse("", &error);
        if (!scenario) return error;
        auto handler = std::make_unique<doransim::XaLinkHandler>(*scenario);
        terminal = handler.get();
        line = std::make_unique<linesim::LineSim>(std::move(handler));
        if (!line->start()) return "no pseudo-terminal";
        terminal->setLineDescriptor(line->slaveDescriptor());
        comId_ = testsupport::ClaimStation(10000, 10999);
        const std::string config = dir_.file("port.cfg");
        if (!testsupport::WriteSignedParamFile(config, {"[Driver:" + line->slaveName() + "]", "[Vpsl:4018]"}) ||
            WCOM_CreateContext(comId_, 1, 0, 0, 0, 0) != 1 ||
            WCOM_CreateResource(WCOM_TYPE_SERIAL, "", config.c_str(), "") != 0 ||
            WCOM_SetResourceConnType(0, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE) < 0)
            return "cannot make the terminal's port";
        if (PAP_NewPAPbox(comId_, testsupport::UniqueStation(), 0, nullptr) != 1 ||
            EPAP_CreateFunctionProfile("EFT_CAM_1", 0, PAP_TRANSPORT_SERIAL, "DORAN") != 0)
            return "no terminal box";
        KT_PERES* reader = TWEP_FindFunction(EPAP_GetBox(), kReader, 1);
        if (reader == nullptr) return "no card reader";
        reader->dialServiceChar = PAP_OPERATION_SET;
        EPAP_OpenLinks();
        if (reader->link == nullptr) return "the link did not open";
        PortVPSL(0, nullptr);
        g_padFlag = padFlag;
        static const XaHooks hooks{nullptr, PadFlag};
        XA_SetHooks(&hooks);
        return "";
    }
    // One event round: 0 when the key came back.
    int round(CardReadRecord* card) {
        terminal->pushEvent(doransim::KeyEvent('5'));
        *card = CardReadRecord{};
        card->keyAbortRequested = 1;
        card->keyAbortRequestedByte = 1;
        card->timeoutTenths = 300;
        EPAP_ClearAll();
        if (EPAP_SetCommand(kReader, 10, card) != 0 || EPAP_SendScriptCommands() != 0) return -1;
        char event = 0;
        for (int i = 0; i < 20 && !(EPAP_WaitEvent(kReader, 1000, &event) == 0 && event == 'A'); ++i) {
        }
        if (event != 'A') return -2;
        const int status = EPAP_GetResult(kReader, 10, card);
        return status == 0 && card->eventData[0] == '5' ? 0 : -3;
    }

    doransim::XaLinkHandler* terminal = nullptr;
    std::unique_ptr<linesim::LineSim> line;

private:
    testsupport::TempDir dir_;
    int comId_ = -1;
};

void BM_DoranEventRound(benchmark::State& state) {
    const int padFlag = static_cast<int>(state.range(0));
    auto station = std::make_unique<Station>();
    const std::string why = station->open(padFlag);
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    auto card = std::make_unique<CardReadRecord>();
    std::vector<double> micros;
    int rounds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (station->round(card.get()) != 0) {
            state.SkipWithError("event round failed");
            break;
        }
        micros.push_back(Since(t0));
        ++rounds;
    }
    if (rounds > 0) {
        size_t bytes = 0;
        for (const linesim::Record& r : station->line->records()) bytes += r.bytes.size();
        bytes /= static_cast<size_t>(rounds);
        // The control frames the program sends in one round: ENQ and EOT of
        // the request dialogue and of the fetch.
        constexpr int kControlFrames = 4;
        const double line = static_cast<double>(bytes) * 10.0 * 1e6 / kBaud;
        state.counters["line_bytes"] = static_cast<double>(bytes);
        state.counters["line_time_9600_us"] = line;
        state.counters["floor_us"] = line + (padFlag == 1 ? kControlFrames * XA_PAD_SPLIT_MS * 1000.0 : 0.0);
    }
    ReportLatency(state, micros);
}
BENCHMARK(BM_DoranEventRound)->Arg(0)->Iterations(200)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DoranEventRound)->Arg(1)->Iterations(3)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

// An EMV level-2 dialogue over the RUDA block link on a pseudo-terminal:
// SELECT, GET PROCESSING OPTIONS, three READ RECORD and GENERATE AC, each
// sent by the link's send callback and its answer joined by the receive
// callback, against the RUDA terminal simulator with the chip card
// simulator behind it. Beside it, the line time of the same bytes (both
// ways, 10 bits a byte) at 115,200 and 9,600 baud, which a real line could
// not beat, and the floor of the pseudo-terminal itself measured in the
// same run: the same bytes written on one side and read on the other.
//
// Reports the median and the 99th percentile of a whole dialogue in
// microseconds.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "core/shared_blocks.h"
#include "core/trace.h"
#include "latency_counters.h"
#include "linesim/line_sim.h"
#include "platform/named_mutex.h"
#include "protocols/ruda/ruda_module.h"
#include "protocols/xpro/xpro_context.h"
#include "rudasim/ruda_terminal.h"
#include "support/signed_file_writer.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace {

using cardsim::Bytes;

const bool kQuiet = [] {
    WSysSetTraceHook(nullptr);
    return true;
}();

const char* const kDialogue[] = {
    "00A4040007A000000042101000",
    "80A8000002830000",
    "00B2010C00",
    "00B2011400",
    "00B2021400",
    "80AE80001D 000000001000 000000000000 0250 0000000000 0978 000000 00 12345678 00",
};

// One serial resource whose "Driver" is the device, opened.
class Port {
public:
    explicit Port(const std::string& device) : id_(testsupport::ClaimStation(11000, 11999)) {
        const std::string config = dir_.file("port.cfg");
        ok_ = testsupport::WriteSignedParamFile(config, {"[Driver:" + device + "]", "[Vpsl:8018]"}) &&
              WCOM_CreateContext(id_, 1, 0, 0, 0, 1) == 1 &&
              WCOM_CreateResource(WCOM_TYPE_SERIAL, "", config.c_str(), "") == 0 && WComOpen2(0) == 0;
    }
    ~Port() {
        WComClose2(0);
        WCOM_UnlockResource(0);
        char name[64];
        std::snprintf(name, sizeof name, "%sKT_SEM_COM_%03d%02d", kSemNamePrefix, id_, 0);
        plat::NamedMutex::Unlink(name);
    }
    bool ok() const { return ok_; }

private:
    int id_;
    testsupport::TempDir dir_;
    bool ok_ = false;
};

std::vector<Bytes> Requests() {
    std::vector<Bytes> out;
    for (const char* hex : kDialogue) out.push_back(cardsim::ParseHex(hex).value());
    return out;
}

// Bytes of the last dialogue both ways, blocks included.
size_t g_dialogueBytes = 0;

void BM_Level2DialogueOverPty(benchmark::State& state) {
    std::string error;
    auto scenario = rudasim::RudaScenario::Parse(
        "card " ZNP_SOURCE_DIR "/tools/cardsim/scenarios/chip_card.scn\n", "", &error);
    if (!scenario) {
        state.SkipWithError(error.c_str());
        return;
    }
    rudasim::RudaSim sim(std::move(*scenario));
    if (!sim.start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    Port port(sim.slaveName());
    if (!port.ok()) {
        state.SkipWithError("port not opened");
        return;
    }
    auto* ctx = static_cast<KT_XPROT*>(RUDA_LinkOpen("XPRO/0/000/0001/RUDA/000/000/________/________/100/00/"));
    XPRO_SetPort(ctx, 0);
    const std::vector<Bytes> requests = Requests();
    std::vector<unsigned char> frame(65536);
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (const Bytes& r : requests) {
            Bytes copy = r;
            if (RUDA_LinkSend(ctx, copy.data(), static_cast<uint32_t>(copy.size()), 2000, 0) < 0 ||
                RUDA_LinkReceive(ctx, frame.data(), static_cast<uint32_t>(frame.size()), -1, 0) < 2) {
                state.SkipWithError("exchange failed");
                XA_LinkClose(ctx);
                return;
            }
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    XA_LinkClose(ctx);
    const std::vector<rudasim::Exchange> all = sim.exchanges();
    size_t bytes = 0;
    for (size_t i = all.size() - requests.size(); i < all.size(); ++i) {
        for (const Bytes& b : all[i].blocks) bytes += b.size();
        bytes += rudasim::Blocks(all[i].nad, all[i].answer, false).size();
    }
    g_dialogueBytes = bytes;
    ReportLatency(state, micros);
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["line_115200_us"] = static_cast<double>(bytes) * 10.0 * 1e6 / 115200;
    state.counters["line_9600_us"] = static_cast<double>(bytes) * 10.0 * 1e6 / 9600;
}
BENCHMARK(BM_Level2DialogueOverPty)->Iterations(200)->Unit(benchmark::kMicrosecond);

// The pseudo-terminal's own floor: the dialogue's bytes, in as many writes
// as it has blocks of requests and answers, written on the master and read
// on the slave.
void BM_PtyFloorSameBytes(benchmark::State& state) {
    linesim::PtyPair pty;
    if (!pty.open()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    const size_t total = g_dialogueBytes > 0 ? g_dialogueBytes : 1200;
    const size_t pieces = std::size(kDialogue) * 2;
    const std::string piece(total / pieces, 'x');
    std::vector<char> in(piece.size());
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < pieces; ++i) {
            if (write(pty.master(), piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
                state.SkipWithError("write failed");
                return;
            }
            size_t got = 0;
            while (got < piece.size()) {
                pollfd p{pty.slave(), POLLIN, 0};
                poll(&p, 1, 1000);
                const ssize_t n = read(pty.slave(), in.data() + got, in.size() - got);
                if (n <= 0) {
                    state.SkipWithError("read failed");
                    return;
                }
                got += static_cast<size_t>(n);
            }
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    ReportLatency(state, micros);
    state.counters["bytes"] = static_cast<double>(piece.size() * pieces);
}
BENCHMARK(BM_PtyFloorSameBytes)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

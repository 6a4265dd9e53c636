// Cutting a 12,700-byte APDU into RUDA blocks and joining them back through
// the block receiver, beside the floor of the same run: copying the same
// bytes once (every byte has to be touched at least that much). The line
// time of the bytes at 115,200 baud is given as a counter for scale.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "core/trace.h"
#include "protocols/ruda/ruda_link.h"

namespace {

constexpr int kApdu = 12700;

// The link's trace lines (one per answer) go nowhere: the figures are those
// of the cutting and joining.
const bool kQuiet = [] {
    WSysSetTraceHook(nullptr);
    return true;
}();

std::vector<unsigned char> Apdu() {
    std::vector<unsigned char> apdu(kApdu);
    for (size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<unsigned char>(i * 31);
    apdu[0] = 0xD0;  // a terminal command: NAD 01
    apdu[1] = 0xD6;
    apdu[kApdu - 2] = 0x90;  // ends like an answer: status word 9000
    apdu[kApdu - 1] = 0x00;
    return apdu;
}

std::vector<unsigned char> Wire(const std::vector<unsigned char>& apdu) {
    RUDAMessage* m = RUDA_BuildSendBlocks(apdu.data(), static_cast<int>(apdu.size()));
    int n = 0;
    const unsigned char* raw = RUDAMessage_raw(m, &n);
    std::vector<unsigned char> wire(raw, raw + n);
    RUDAMessage_free(m);
    return wire;
}

void LineTime(benchmark::State& state, size_t bytes) {
    // 10 bits a byte on the line (start, 8 data, stop).
    state.counters["line_ms_115200"] = static_cast<double>(bytes) * 10.0 * 1000.0 / 115200.0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_RudaCut12700(benchmark::State& state) {
    const std::vector<unsigned char> apdu = Apdu();
    size_t bytes = 0;
    for (auto _ : state) {
        RUDAMessage* m = RUDA_BuildSendBlocks(apdu.data(), kApdu);
        int n = 0;
        benchmark::DoNotOptimize(RUDAMessage_raw(m, &n));
        bytes = static_cast<size_t>(n);
        RUDAMessage_free(m);
    }
    LineTime(state, bytes);
}
BENCHMARK(BM_RudaCut12700);

void BM_RudaJoin12700(benchmark::State& state) {
    const std::vector<unsigned char> wire = Wire(Apdu());
    RudaBlockReceiver receiver;
    for (auto _ : state) {
        receiver.start(0);
        if (receiver.feed(wire.data(), static_cast<int>(wire.size()), 0) != RudaBlockReceiver::State::Done)
            state.SkipWithError("not joined");
        benchmark::DoNotOptimize(receiver.answer());
    }
    LineTime(state, wire.size());
}
BENCHMARK(BM_RudaJoin12700);

void BM_RudaJoin12700BytewiseFeed(benchmark::State& state) {
    const std::vector<unsigned char> wire = Wire(Apdu());
    RudaBlockReceiver receiver;
    for (auto _ : state) {
        receiver.start(0);
        for (unsigned char b : wire) receiver.feed(&b, 1, 0);
        if (receiver.state() != RudaBlockReceiver::State::Done) state.SkipWithError("not joined");
        benchmark::DoNotOptimize(receiver.answer());
    }
    LineTime(state, wire.size());
}
BENCHMARK(BM_RudaJoin12700BytewiseFeed);

// Floor: one copy of the line bytes.
void BM_FloorCopy12700(benchmark::State& state) {
    const std::vector<unsigned char> wire = Wire(Apdu());
    std::vector<unsigned char> out(wire.size());
    for (auto _ : state) {
        std::memcpy(out.data(), wire.data(), wire.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    LineTime(state, wire.size());
}
BENCHMARK(BM_FloorCopy12700);

}  // namespace

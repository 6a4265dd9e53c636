// Fuzz target of the XA link's reception on a serial line: the far end (a
// fake device) sends the input's bytes; the link reads frames from them one
// after the other, as each of its dialogue steps does, and takes apart the
// data and factory frames it got.
//
// Input: byte 0 chooses the application (bit 0: "1030", the factory
// exchange), the link flags (bits 1-2: 0x40, 0x10), a bare ACK expected
// (bit 3) and the phase (bits 4-6); the rest is the terminal's bytes.
//
// Whatever comes: every result is one of the frame results, the frame kept
// lies within the receive buffer, the step letter is one the link knows,
// the parts of a data frame lie within the frame, and a factory answer's
// data within it too.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "comm/com_resources.h"
#include "comm/com_channel.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "protocols/xpro/xa_link.h"
#include "support/serial_fake.h"

namespace {

// One table with one serial resource on a fake device, and a link context
// on it, made once.
struct Line {
    Line() {
        WSysSetTraceHook(nullptr);
        char pattern[] = "/tmp/znp-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        const std::string directory = pattern;
        const std::string config = directory + "/line.cfg";
        FILE* f = std::fopen(config.c_str(), "wb");
        std::fputs("[Driver:/dev/fuzz]\r\n[Vpsl:4018]\r\n", f);
        std::fclose(f);
        if (WCOM_CreateContext(991, 1, 0, 0, 0, 0) != 1) std::abort();
        port = WCOM_CreateResource(1, "", config.c_str(), "");
        const bool opened = port == 0 && WComOpen2(port) == 0;
        std::error_code ec;
        std::filesystem::remove_all(directory, ec);
        if (!opened) std::abort();
        ctx = Host_NewXProt(2, "1000", "0000000000000000", 0, port);
        if (ctx == nullptr) std::abort();
    }
    testsupport::ScopedFakeSerial fake;
    int port = -1;
    KT_XPROT* ctx = nullptr;
};

bool KnownLetter(int letter) {
    for (int l : {0, int('B'), int('D'), int('E'), int('F'), int('H'), int('L'), int('P'), int('R'), int('S'), int('T'), int('X')})
        if (letter == l) return true;
    return false;
}

const int kPhases[8] = {10, 11, 12, 13, 14, 15, 16, 19};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static Line line;
    if (size < 1 || size > 40000) return 0;
    KT_XPROT* ctx = line.ctx;
    const uint8_t choice = input[0];
    XPRO_SetApplication(ctx, (choice & 1) != 0 ? XA_FACTORY_APPLICATION : "1000");
    ctx->flags = ((choice & 2) != 0 ? XA_FLAG_ACK_EACH : 0) | ((choice & 4) != 0 ? XA_FLAG_ACK_LAST : 0);
    ctx->expectBareAck = (choice & 8) != 0 ? 1 : 0;
    ctx->phase = kPhases[(choice >> 4) & 7];
    ctx->party[0].exchangeNumber = 5;
    ctx->sequence1 = 0;
    line.fake.state->input.assign(reinterpret_cast<const char*>(input + 1), size - 1);
    line.fake.state->writes.clear();

    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    for (int frames = 0; frames < 64; ++frames) {
        const size_t before = line.fake.state->input.size();
        int length = -1;
        const int r = XA_ReceiveFrame(ctx, &length);
        Check(r >= -1 && r <= 3, "unknown frame result");
        Check(length >= 0 && length <= XPRO_FRAME_SIZE, "frame beyond the receive buffer");
        Check(KnownLetter(ctx->stepLetter), "unknown step letter");
        if (r == 2) {
            XaDataFrame f{};
            if (XA_ParseDataFrame(ctx->receiveFrame, length, &f) == 1) {
                Check(f.body >= ctx->receiveFrame && f.bodyLength >= 0 &&
                          f.body + f.bodyLength <= ctx->receiveFrame + length,
                      "body outside the frame");
            }
        } else if (r == 3) {
            const unsigned char* data = nullptr;
            int dataLength = 0;
            int letter = 0;
            const int a = XA_ParseFactoryAnswer(ctx->receiveFrame, length, (choice & 0x80) != 0, 0x42, &data,
                                                &dataLength, &letter);
            Check(a == -1 || a == 1 || a == 2, "unknown factory result");
            if (a == 2)
                Check(data >= ctx->receiveFrame && dataLength > 0 && data + dataLength <= ctx->receiveFrame + length,
                      "factory data outside the frame");
        }
        if (line.fake.state->input.empty() || line.fake.state->input.size() == before) break;
    }
    return 0;
}

// Fuzz target of the P21 receive: the first byte chooses the caller's room
// and whether a byte (the second) is held as a wait would hold it; the rest
// is decoded as a whole frame (no port) and then arrives on a fake serial
// line for the link's receive, frame after frame. Whatever comes, the
// message delivered lies within the room given (the buffer has exactly that
// size), a failure delivers nothing and names its step letter, and no read
// passes the context's receive buffer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "protocols/p21/p21_link.h"
#include "protocols/xpro/xpro_control.h"
#include "support/serial_fake.h"

namespace {

// One table with one serial resource on a fake device and a P21 link
// context on it, made once.
struct Line {
    Line() {
        WSysSetTraceHook(nullptr);  // the error lines would only slow it down
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
        ctx = XPRO_NewXProt(0, "1000", nullptr, port);
        if (ctx == nullptr) std::abort();
    }
    testsupport::ScopedFakeSerial fake;
    int port = -1;
    KT_XPROT* ctx = nullptr;
};

bool KnownLetter(int letter) {
    return letter == 'S' || letter == 'X' || letter == 'T' || letter == 'P' || letter == 'R' || letter == 'F';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static Line line;
    if (size < 2 || size > 20000) return 0;
    const uint8_t flags = input[0];
    // Rooms around the interesting sizes: tiny, a few bytes, the frame's.
    const int rooms[4] = {1, 2 + (flags >> 4), 64, P21_FRAME_MAX};
    const int room = rooms[flags & 3];
    const bool held = (flags & 4) != 0;
    const uint8_t* bytes = input + 2;
    const size_t n = size - 2;

    // The frame decoder alone.
    {
        std::vector<unsigned char> out(static_cast<size_t>(room));
        int length = -1;
        const int letter = P21_DecodeFrame(bytes, static_cast<int>(n), out.data(), room, &length);
        Check(letter == 0 || letter == 'S' || letter == 'X' || letter == 'F', "decoder letter");
        Check(length >= 0 && length <= room, "decoded length beyond the room");
        Check(letter == 0 || length == 0, "failure with a message");
    }

    // The link's receive on the line.
    line.fake.state->input.assign(reinterpret_cast<const char*>(bytes), n);
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    if (held) XPRO_HoldByte(line.ctx, input[1]);
    else XPRO_DropHeldByte(line.ctx);
    for (int frames = 0; frames < 16; ++frames) {
        std::vector<unsigned char> out(static_cast<size_t>(room));  // exact size: any overflow is seen
        int count = -1;
        const size_t before = line.fake.state->input.size();
        const int result = P21_ReceiveMessage(line.ctx, out.data(), room, &count);
        Check(result == 1 || result == -2, "receive result");
        Check(count >= 0 && count <= room, "message beyond the room");
        if (result == 1) {
            Check(line.ctx->stepLetter == 0 && line.ctx->status == 2, "success with a letter");
        } else {
            Check(count == 0, "failure with a message");
            Check(KnownLetter(line.ctx->stepLetter), "unknown step letter");
            Check(line.ctx->status == -1, "failure with a good status");
        }
        Check(line.ctx->phase == XPRO_PHASE_IDLE, "phase left busy");
        if (line.fake.state->input.empty() || line.fake.state->input.size() == before) break;
    }
    line.fake.state->input.clear();
    return 0;
}

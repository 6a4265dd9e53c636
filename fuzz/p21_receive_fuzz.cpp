// Fuzz target of the P21 receive: the first byte chooses the caller's room
// and whether a byte (the second) is held as a wait would hold it; the rest
// is decoded as a whole frame (no port) and then arrives on a fake serial
// line for the link's receive, frame after frame. Whatever comes, the
// message delivered lies within the room given (the buffer has exactly that
// size), a failure delivers nothing and names its step letter, and no read
// passes the context's receive buffer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "comm/port_api.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"
#include "platform/clock.h"
#include "protocols/p21/p21_link.h"
#include "protocols/xpro/xpro_control.h"

namespace {

// The fake line and a P21 link context on it, made once.
struct Line : FuzzSerialLine {
    Line() : FuzzSerialLine(991) {
        ctx = XPRO_NewXProt(0, "1000", nullptr, port);
        if (ctx == nullptr) std::abort();
    }
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

// Fuzz target of the simple-frame link's receive: the first byte chooses
// the caller's room; the rest is the device's side of turns on a fake
// serial line (its frames, ENQs, EOTs, noise), the link answering with its
// own ACKs, NAKs and EOTs into the fake's writes, turn after turn. Whatever
// comes, the message delivered lies within the room given less its NUL
// (the buffer has exactly that size) and is NUL-terminated, a failure
// delivers nothing and names its step letter, a turn ends (at most four bad
// frames NAKed, a bounded number of ACKs), and the phase is idle after it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "comm/port_api.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"
#include "platform/clock.h"
#include "protocols/xas/xas_link.h"
#include "protocols/xpro/xpro_control.h"

namespace {

// The fake line and a simple-frame link context on it, made once.
struct Line : FuzzSerialLine {
    Line() : FuzzSerialLine(993) {
        ctx = XPRO_NewXProt(0, "1000", nullptr, port);
        if (ctx == nullptr) std::abort();
    }
    KT_XPROT* ctx = nullptr;
};

bool KnownLetter(int letter) {
    return letter == 'S' || letter == 'X' || letter == 'T' || letter == 'P' || letter == 'R' || letter == 'F' ||
           letter == 'B' || letter == 'E';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static Line line;
    if (size < 1 || size > 20000) return 0;
    const uint8_t flags = input[0];
    // Rooms around the interesting sizes: tiny, a few bytes, the frame's.
    const int rooms[4] = {1, 2 + (flags >> 4), 64, XPRO_FRAME_SIZE};
    const int room = rooms[flags & 3];
    const uint8_t* bytes = input + 1;
    const size_t n = size - 1;

    // The payload extractor alone.
    {
        std::vector<unsigned char> out(static_cast<size_t>(room));
        int length = -1;
        const int letter = XAS_ExtractPayload(bytes, static_cast<int>(n), out.data(), room, &length);
        Check(letter == 0 || letter == 'S' || letter == 'F', "extractor letter");
        Check(length >= 0 && length < room, "extracted length beyond the room");
        Check(letter != 0 || out[static_cast<size_t>(length)] == 0, "message without its NUL");
        Check(letter == 0 || length == 0, "failure with a message");
    }

    // The link's receive on the line.
    line.fake.state->input.assign(reinterpret_cast<const char*>(bytes), n);
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    line.ctx->phase = XPRO_PHASE_IDLE;
    for (int turns = 0; turns < 16; ++turns) {
        std::vector<unsigned char> out(static_cast<size_t>(room));  // exact size: any overflow is seen
        int count = -1;
        const size_t before = line.fake.state->input.size();
        line.fake.state->writes.clear();
        const int result = XAS_ReceiveMessage(line.ctx, out.data(), room, &count);
        Check(result == 2 || result == -2, "receive result");
        Check(count >= 0 && count < room, "message beyond the room");
        if (result == 2) {
            Check(out[static_cast<size_t>(count)] == 0, "message without its NUL");
            Check(line.ctx->stepLetter == 0 && line.ctx->status == 2, "success with a letter");
        } else {
            Check(count == 0, "failure with a message");
            Check(KnownLetter(line.ctx->stepLetter), "unknown step letter");
            Check(line.ctx->status == -1, "failure with a good status");
        }
        int naks = 0;
        size_t written = 0;
        for (const std::string& w : line.fake.state->writes) {
            written += w.size();
            for (char c : w) naks += c == 0x15 ? 1 : 0;
        }
        Check(naks <= XAS_TRIES, "more NAKs than tries");
        Check(written <= 32, "a turn that does not end");
        Check(line.ctx->phase == XPRO_PHASE_IDLE, "phase left busy");
        if (line.fake.state->input.empty() || line.fake.state->input.size() == before) break;
    }
    line.fake.state->input.clear();
    return 0;
}

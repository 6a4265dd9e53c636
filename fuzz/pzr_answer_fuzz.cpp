// Fuzz target of the protocol-5 answers: the first byte chooses the cheque
// options of the record, the room of the receive and whether the second
// byte is held as a wait would hold it; the rest is decoded as a read
// answer, then arrives on a fake serial line for the raw stack's receive.
// Whatever comes, eventData stays terminated within its 100 characters and
// eventLength says its length (another option leaves it as it was), the
// busy word is 0, and the receive delivers only within the room given (the
// buffer has exactly that size).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/port_api.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"
#include "platform/clock.h"
#include "protocols/pzr/none_stack.h"
#include "protocols/pzr/wtm_module.h"
#include "protocols/xpro/xpro_control.h"

namespace {

// The fake line and a raw-stack context on it, made once.
struct Line : FuzzSerialLine {
    Line() : FuzzSerialLine(992) {
        ctx = NONE_NewXProt(0, port);
        if (ctx == nullptr) std::abort();
    }
    KT_XPROT* ctx = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static Line line;
    if (size < 2 || size > 20000) return 0;
    const uint8_t flags = input[0];
    const uint8_t options[4] = {0x10, 0x20, 0x40, 17};
    const uint32_t rooms[4] = {1, 16, 128, NONE_RECEIVE_MAX};
    const uint8_t* bytes = input + 2;
    const size_t n = size - 2;

    // The read decoder.
    {
        CardReadRecord r{};
        r.chequeOptions = options[flags & 3];
        std::memset(r.eventData, 'z', sizeof r.eventData);
        std::vector<unsigned char> payload(bytes, bytes + n);  // exact size
        const int busy = WTM_EVT_DealAnswer(payload.data(), static_cast<int>(payload.size()), &r);
        Check(busy == 0 && r.busy == 0, "busy word after a decoded answer");
        Check(r.status == 0x4000 || r.status == 0x8000 || r.status == 2 || r.status == 0, "status");
        if (r.chequeOptions == 17) {
            // Another option: an error answer, eventData left as it was.
            Check(r.status == 2 && r.eventData[0] == 'z' && r.eventData[kCardEventDataMax] == 'z', "other option");
        } else {
            const size_t length = strnlen(r.eventData, sizeof r.eventData);
            Check(length <= static_cast<size_t>(kCardEventDataMax), "eventData not terminated");
            Check(r.eventLength == static_cast<int32_t>(length), "eventLength");
        }
    }

    // The raw stack's receive on the line.
    line.fake.state->input.assign(reinterpret_cast<const char*>(bytes), n);
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    if ((flags & 4) != 0) XPRO_HoldByte(line.ctx, input[1]);
    else XPRO_DropHeldByte(line.ctx);
    const uint32_t room = rooms[(flags >> 3) & 3];
    for (int answers = 0; answers < 8; ++answers) {
        std::vector<unsigned char> out(room);  // exact size: any overflow is seen
        const size_t before = line.fake.state->input.size();
        const int got = NONE_LinkReceive(line.ctx, out.data(), room, -1, 0);
        Check(got >= 0 && static_cast<uint32_t>(got) <= room, "answer beyond the room");
        Check(got <= static_cast<int>(NONE_RECEIVE_MAX), "answer beyond the receive buffer");
        Check(line.ctx->phase == XPRO_PHASE_IDLE, "phase left busy");
        Check(line.ctx->held == 0, "held byte not taken");
        if (line.fake.state->input.empty() || line.fake.state->input.size() == before) break;
    }
    line.fake.state->input.clear();
    return 0;
}

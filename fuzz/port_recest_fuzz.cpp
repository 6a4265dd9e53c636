// Fuzz target of frame reception on a serial line: the far end sends the
// input's bytes; the first bytes choose the control byte, the room of the
// buffer, direct mode and PAD clear detection. Whatever comes, the frame
// kept lies within the room given (the buffer has exactly that size), the
// length never grows past it, and the result is one of the letters of a
// reception.
#include <cstdint>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"
#include "platform/clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static FuzzSerialLine line(990);
    if (size < 3 || size > 70000) return 0;
    const int control = input[0];
    const uint32_t room = input[1];
    const uint8_t flags = input[2];
    ComResource* r = WCOM_GetResourceByNum(line.port);
    r->directMode = flags & 1;
    r->padClearDetection = (flags >> 1) & 1;
    SeqLibPadReset();
    line.fake.state->input.assign(reinterpret_cast<const char*>(input + 3), size - 3);

    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    for (int frames = 0; frames < 64; ++frames) {
        std::vector<uint8_t> buffer(room);  // exact size: any overflow is seen
        uint32_t length = room;
        const size_t before = line.fake.state->input.size();
        const int result = PortRecest(line.port, buffer.data(), &length, control, 20);
        // A buffer of no room has no address: refused as a bad reception.
        Check(result == 0 || result == 'T' || result == 'P' || result == 'X' || (result == 'R' && room == 0),
              "unknown result letter");
        Check(length <= room, "length beyond the room");
        if (line.fake.state->input.empty() || line.fake.state->input.size() == before) break;
    }
    return 0;
}

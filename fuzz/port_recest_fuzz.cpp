// Fuzz target of frame reception on a serial line: the far end sends the
// input's bytes; the first bytes choose the control byte, the room of the
// buffer, direct mode and PAD clear detection. Whatever comes, the frame
// kept lies within the room given (the buffer has exactly that size), the
// length never grows past it, and the result is one of the letters of a
// reception.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "support/serial_fake.h"

namespace {

// One table with one serial resource on a fake device, made once.
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
        if (WCOM_CreateContext(990, 1, 0, 0, 0, 0) != 1) std::abort();
        port = WCOM_CreateResource(1, "", config.c_str(), "");
        const bool opened = port == 0 && WComOpen2(port) == 0;
        // The configuration is read at the opening only: nothing stays behind.
        std::error_code ec;
        std::filesystem::remove_all(directory, ec);
        if (!opened) std::abort();
    }
    testsupport::ScopedFakeSerial fake;
    int port = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static Line line;
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

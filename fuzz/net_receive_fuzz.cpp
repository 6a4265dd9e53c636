// Fuzz target of the message receiver: the input is a byte stream read in
// pieces whose sizes come from the stream itself, into a buffer whose
// capacity comes from it too. Messages are taken one after another until the
// stream runs dry. Whatever comes in, a message that is returned lies within
// the buffer and carries the own header of its length; nothing is ever read
// beyond what was asked.
#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/length_prefixed.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "platform/clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 3 || size > 140000) return 0;
    // Byte 0: piece size (0 = as much as asked); byte 1: capacity choice.
    const size_t piece = input[0];
    const uint32_t capacity = input[1] & 1 ? KTN_MAX_MESSAGE : 5 + input[1] * 64u;
    const uint8_t* data = input + 2;
    const size_t length = size - 2;

    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    size_t position = 0;
    int reads = 0;
    KtnReader reader = [&](void* into, uint32_t asked) -> int {
        Check(asked > 0, "read of nothing");
        if (++reads > 200000) return -2;
        if (position >= length) {
            clock.advance(100);
            return 0;
        }
        size_t n = length - position;
        if (piece != 0 && n > piece) n = piece;
        if (n > asked) n = asked;
        std::memcpy(into, data + position, n);
        position += n;
        return static_cast<int>(n);
    };

    for (int messages = 0; messages < 64 && position < length; ++messages) {
        std::vector<uint8_t> buffer(capacity);  // exact size: any overflow is seen
        const size_t before = position;
        const int r = KTN_ReceiveFrom(reader, 1, buffer.data(), capacity, 1000);
        Check(r >= -2, "result below -2");
        Check(position <= length, "read past the stream");
        if (r > 0) {
            Check(static_cast<uint32_t>(r) <= capacity, "message larger than the buffer");
            const KtnHeader h = KTN_ParseHeader(buffer.data());
            Check(h.framing == KtnFraming::Own && h.total == static_cast<uint32_t>(r), "header of the message");
            // A foreign message comes back wrapped: longer than what was read.
            const size_t consumed = position - before;
            if (static_cast<size_t>(r) > consumed) {
                Check(static_cast<size_t>(r) == consumed + 18, "wrapping adds header and tags");
                Check(std::memcmp(buffer.data() + 5, "<A>121", 6) == 0, "wrapped frame tags");
                Check(static_cast<uint32_t>(r) < capacity && buffer[static_cast<size_t>(r)] == 0, "wrapped frame end");
            } else {
                Check(static_cast<size_t>(r) == consumed, "message length is what was read");
            }
        }
        if (r < 0 || position == before) break;
    }
    return 0;
}

// Fuzz target of the RUDA block receiver fed a byte stream: the first byte
// chooses the options and the size of the pieces, the rest arrives piece by
// piece with a clock that sometimes jumps past the read time-out. The answer
// never passes the receive room, a failure leaves no answer, and the answer
// taken off its transport marker stays within it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "protocols/ruda/ruda_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 2 || size > 40000) return 0;
    const uint8_t options = input[0];
    const size_t piece = 1 + (input[1] & 0x3F);
    RudaReceiverOptions o;
    o.transportAdded = (options & 0x01) != 0;
    o.room = (options & 0x02) != 0 ? 300 : kRudaAnswerMax + kRudaTransportMarkerLength;
    RudaBlockReceiver receiver(o);
    int64_t now = 0;
    receiver.start(now);
    std::vector<unsigned char> copy(input + 2, input + size);
    size_t at = 0;
    RudaBlockReceiver::State state = receiver.state();
    while (at < copy.size() && state == RudaBlockReceiver::State::Waiting) {
        const int n = static_cast<int>(std::min(piece, copy.size() - at));
        // Now and then the next piece comes late.
        now += (copy[at] == 0xEE && (options & 0x04) != 0) ? o.readTimeoutMs + 1 : 1;
        int used = -1;
        state = receiver.feed(copy.data() + at, n, now, &used);
        Check(used >= 0 && used <= n, "bytes used");
        Check(receiver.length() >= 0 && receiver.length() <= o.room, "answer beyond the room");
        at += static_cast<size_t>(used);
        if (used < n) break;
    }
    if (state == RudaBlockReceiver::State::Waiting) state = receiver.poll(now + o.readTimeoutMs + 1);
    Check(state != RudaBlockReceiver::State::Waiting, "a silent line never ends the answer");
    if (state == RudaBlockReceiver::State::Failed) {
        Check(receiver.length() == 0, "failure with an answer");
        Check(receiver.letter() != 0, "failure without a letter");
        return 0;
    }
    if (o.transportAdded) Check(receiver.length() >= kRudaTransportMarkerLength, "marker missing");
    std::vector<unsigned char> answer(receiver.answer(), receiver.answer() + receiver.length());
    int length = static_cast<int>(answer.size());
    static const unsigned char kKey[kRudaStreamKeyLength] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                              13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    const int r = RUDA_UnwrapAnswer(answer.data(), &length, kKey, nullptr);
    Check(r == 0 || r == -2, "unwrap result");
    Check(length >= 0 && length <= receiver.length(), "unwrapped length");
    return 0;
}

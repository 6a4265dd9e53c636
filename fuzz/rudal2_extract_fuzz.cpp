// Fuzz target of the prevalidation extraction: the first byte chooses the
// operation and the room for candidates, the rest is the answer template's
// value. Candidate records stay within their room and their fields, and the
// record within its slots.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "pot_check.h"
#include "protocols/ruda/ruda_preval.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    auto pot = std::make_unique<POT>();
    const int operation = 181 + (input[0] & 0x03);
    const int room = (input[0] >> 2) & 0x0F;  // 0 to 15
    std::vector<unsigned char> value(input + 1, input + size);
    TlvNode node;
    node.tag = 0xE3;
    node.value = value.data();
    node.lg = static_cast<int>(value.size());
    // One record more than the room, to see that it stays untouched.
    std::vector<RudaCandidateRecord> candidates(static_cast<size_t>(room) + 1);
    std::memset(candidates.data(), 0, candidates.size() * sizeof(RudaCandidateRecord));
    const int r = RUDAL2_ExtractAllTag(&node, pot.get(), (input[0] & 0x40) != 0 ? nullptr : candidates.data(), room,
                                       operation);
    Check(r == 1 || r == -1, "extraction result");
    for (int i = 0; i <= room; ++i) {
        const RudaCandidateRecord& c = candidates[static_cast<size_t>(i)];
        Check(c.aidLength >= 0 && c.aidLength <= kRudal2AidMax, "AID length");
        Check(c.labelLength >= 0 && c.labelLength <= kRudal2LabelMax, "label length");
        Check(c.fciLength >= 0 && c.fciLength < kRudal2FciMax, "BF0C length");
        Check(c.priorityLength >= 0 && c.priorityLength <= kRudal2PriorityMax, "priority length");
        if (i >= room || i >= kRudal2CandidateMax) Check(c.found == 0, "candidate beyond the room");
    }
    CheckPot(*pot);
    int count = 0;
    RudaCandidatePiece pieces[kRudal2CandidateMax];
    RUDAL2_SplitCandidates(&node, pieces, kRudal2CandidateMax, &count);
    for (int i = 0; i < count; ++i)
        Check(pieces[i].start >= value.data() && pieces[i].start + pieces[i].length <= value.data() + value.size(),
              "piece outside the answer");
    return 0;
}

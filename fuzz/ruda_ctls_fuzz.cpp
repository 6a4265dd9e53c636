// Fuzz target of the card-reading answers: the first byte chooses the
// decoder (contactless start with or without restart, card status by mode,
// event, cancel, selection, presence, online PIN, prevalidation) and the
// request fields of the card-read record, the rest is the terminal's answer
// with its status word. Records keep their bounds; the removal check leaves
// a well-formed answer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "pot_check.h"
#include "protocols/ruda/ruda_card.h"

namespace {

void CheckRecords(const CardReadRecord& r, const TerminalResultArea& a) {
    Check(r.eventLength >= 0 && r.eventLength <= kCardEventDataMax + 1, "event length");
    Check(r.eventData[kCardEventDataMax] == '\0', "event data terminator");
    Check(r.track1Length >= 0 && r.track1Length <= kCardTrack1Max, "track 1 length");
    Check(r.track3Length >= 0 && r.track3Length <= kCardTrack3Max, "track 3 length");
    Check(r.ctlsData.length >= 0 && r.ctlsData.length <= kCtlsDataMax, "contactless data length");
    Check(a.candidateCount >= 0 && a.candidateCount <= kResultCandidates, "candidates");
    Check(a.labelCount >= 0 && a.labelCount <= kResultCandidates, "labels");
    Check(a.pdolCount >= 0 && a.pdolCount <= kResultCandidates, "PDOL texts");
    Check(a.fciCount >= 0 && a.fciCount <= kResultCandidates, "BF0C texts");
    Check(a.codeTableCount >= 0 && a.codeTableCount <= kResultCandidates, "code tables");
    Check(a.priorityCount >= 0 && a.priorityCount <= kResultCandidates, "priorities");
    Check(a.preferredNameCount >= 0 && a.preferredNameCount <= kResultCandidates, "preferred names");
    Check(a.ctlsTrack1Length >= 0 && a.ctlsTrack1Length <= kResultCtlsTrackMax, "contactless track 1");
    Check(a.ctlsTrack2Length >= 0 && a.ctlsTrack2Length <= kResultCtlsTrackMax, "track-2 image");
    Check(a.ff7fLength >= 0 && a.ff7fLength <= kResultFf7fMax, "FF7F");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    auto record = std::make_unique<CardReadRecord>();
    auto area = std::make_unique<TerminalResultArea>();
    auto pot = std::make_unique<POT>();
    auto pin = std::make_unique<RudaPinRecord>();
    const uint8_t choice = input[0];
    record->chipRequested = (choice >> 4) & 0x01;
    record->isoRequested = (choice >> 5) & 0x01;
    record->chipOptions = (choice & 0x40) != 0 ? 0x13 : 0x12;
    record->mode = static_cast<uint8_t>(1u << ((choice >> 6) & 0x03));
    std::vector<unsigned char> answer(input + 1, input + size);
    const int length = static_cast<int>(answer.size());
    int r = 0;
    switch (choice & 0x0F) {
        case 0: r = RUDA_DealStartCtlsAnswer(answer.data(), length, record.get(), area.get(), 0); break;
        case 1: r = RUDA_DealStartCtlsAnswer(answer.data(), length, record.get(), area.get(), 1); break;
        case 2: r = RUDA_DealRUDACARD_STATUSAnswer(answer.data(), length, record.get(), area.get(), 0); break;
        case 3: r = RUDA_DealEventAnswer(answer.data(), length, record.get()); break;
        case 4: r = RUDA_DealCancelCtlsAnswer(answer.data(), length, record.get(), area.get()); break;
        case 5: r = RUDA_DealSelectAnswer(answer.data(), length, area.get()); break;
        case 6: {
            int32_t inserted = -1;
            r = RUDA_DealRUDA_CheckCardInserted_Answer(answer.data(), length, &inserted);
            Check(inserted == 0 || inserted == 1, "presence flag");
            break;
        }
        case 7:
            r = RUDA_DealOnlinePinAnswer(answer.data(), length, pin.get());
            Check(pin->pinBlockLength >= 0 && pin->pinBlockLength <= kRudaPinBlockMax, "PIN block length");
            Check(pin->dfed03Length >= 0 && pin->dfed03Length <= kRudaPinDfed03Max, "DFED03 length");
            break;
        default: {
            RudaCandidateRecord candidates[kRudal2CandidateMax] = {};
            r = RUDA_DealPrevalAnswer(181 + (choice & 0x03), answer.data(), length, pot.get(), candidates,
                                      kRudal2CandidateMax);
            CheckPot(*pot);
            break;
        }
    }
    Check(r >= -1 && r <= 97, "status");
    CheckRecords(*record, *area);
    int cut = length;
    RUDA_CheckCardRemoval(answer.data(), &cut);
    Check(cut == length || cut == 2, "removal check length");
    return 0;
}

// Fuzz target of the DORAN answers: the card-reading path (DLE undoubling of
// a terminal answer, DORAN decoding into its parts, the track 2 equivalent
// data (57) inside DF808400 read as hexadecimal text of at most 40
// characters), then the decoder of one operation of the module, through its
// entry point, on the answer as a terminal frame.
//
// Input: byte 0 picks the operation; the rest is the terminal's answer.
//
// Whatever comes: the parts lie within the buffer, the entry point answers
// one of the statuses its decoders give, every record length stays within
// its area and every text of the records stays terminated. Each record is
// allocated to its exact size, so a write past it is seen.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "protocols/doran/doran_card_ops.h"
#include "protocols/doran/doran_module.h"
#include "protocols/doran/doran_syntax.h"
#include "protocols/module_contract.h"
#include "protocols/pot.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_dle.h"

namespace {

void CardReadingPath(const uint8_t* input, size_t size) {
    std::vector<unsigned char> work(size + 1);
    int n = XPRO_UndoubleDLE(work.data(), input, static_cast<int>(size));
    Check(n >= 0 && static_cast<size_t>(n) <= size, "undoubled length");
    work.resize(static_cast<size_t>(n));

    uint32_t peripheral = 0;
    int command = 0;
    int e2 = DRN_DecapsSyntax(work.data(), n, &peripheral, &command);
    TlvNode* data = DRN_DataPart();
    if (e2 < 0) {
        Check(data == nullptr, "parts left after a failed decoding");
        return;
    }
    Check(data != nullptr && data->lg == e2, "data part");
    Check(data->value >= work.data() && data->value + data->lg <= work.data() + work.size(),
          "data part outside the buffer");

    uint32_t result = 0;
    int flag = 1;
    TLV_GetULong(data, DRN_TAG_RESULT, &result, &flag);
    TlvNode* holder = TLV_Find(data->value, data->lg, 0xDF808400, nullptr);
    if (holder != nullptr) {
        char track[41];
        int length = sizeof track;
        int r = TLV_GetHex(holder, 0x57, track, &length);
        Check(r <= 0 || (length <= 40 && track[length] == '\0'), "track text");
        TLV_Free(holder, 'r');
    }
    DRN_FreeSyntax(1, 'r');
}

int Get(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, ...) {
    va_list args;
    va_start(args, frame);
    const int status = DRN_GetOneResult(box, resource, frame, args);
    va_end(args);
    return status;
}

template <typename Record>
void Decode(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, void (*check)(const Record&)) {
    auto record = std::make_unique<Record>();
    const int status = Get(box, resource, frame, record.get());
    Check(status == 0 || status == 1 || status == 2 || status == 32, "unknown status");
    check(*record);
}

bool Within(int32_t length, int capacity) { return length >= 0 && length <= capacity; }

void CheckCard(const CardReadRecord& r) {
    Check(Within(r.eventLength, kCardEventDataMax) && r.eventData[kCardEventDataMax] == 0, "event data");
    Check(Within(r.track1Length, kCardTrack1Max) && Within(r.track3Length, kCardTrack3Max), "tracks");
}
void CheckDisplay(const TermDisplayBlock& b) { Check(Within(b.resultLength, kTermDisplayResultMax), "entry"); }
void CheckArea(const TerminalResultArea& a) {
    Check(Within(a.candidateCount, kResultCandidates), "candidates");
    for (int i = 0; i < kResultCandidates; ++i) {
        Check(a.candidates[i][kResultAidMax] == 0 && a.labels[i][kResultLabelMax] == 0, "candidate texts");
        Check(Within(a.perCandidate[i].supplementLength, 512), "supplement");
    }
}
void CheckPin(const DrnOnlinePinRecord& r) { Check(Within(r.pinBlockLength, kDrnPinBlockMax), "PIN block"); }
void CheckCall61(const DrnTerminalCall61Record& r) { Check(Within(r.df848900Length, kDrnCall61AnswerMax), "call 61"); }
void CheckCall62(const DrnTerminalCall62Record& r) { Check(Within(r.df848c00Length, kDrnCall62DataMax), "call 62"); }
void CheckInfo(const DrnTerminalInfoRecord& r) {
    Check(Within(r.t9f50Length, 24) && Within(r.t9f51Length, 8), "9F50 / 9F51");
    Check(r.t9f05[12] == 0 && r.t9f00.text[32] == 0, "texts");
    for (const auto& list : r.lists) Check(Within(list.length, 5 * kDrnInfoListEntries), "lists");
}
void CheckRecord(const DrnRecordExchangeRecord& r) { Check(Within(r.dataFlag, kDrnRecordDataMax), "record data"); }
void CheckPot(const POT& p) {
    Check(p.pan.text[20] == 0 && p.serviceCode.text[4] == 0, "card texts");
    for (const auto& s : p.cardOps.shortSlots) Check(s.text[kPotCardShortText] == 0, "short slot");
    for (const auto& s : p.cardOps.longSlots) Check(s.text[kPotCardLongText] == 0, "long slot");
}

const uint32_t kCodes[] = {0,  1,  2,  3,  4,  5,  10, 11, 12, 20, 30, 40,
                           50, 51, 60, 70, 73, 74, 80, 81, 82, 90, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > 8192) return 0;
    CardReadingPath(input, size);
    if (size < 1) return 0;

    static auto box = std::make_unique<KT_EPERIPH_API>();
    static auto resource = std::make_unique<KT_PERES>();
    const uint32_t code = kCodes[input[0] % (sizeof kCodes / sizeof kCodes[0])];
    resource->command = static_cast<int32_t>(code);
    // The answer as the engine stores it: "%04X" of its length + 5, NUL, the
    // bytes, in a row's frame area.
    std::vector<char> frame(PAP_FRAME_MAX, 0);
    const size_t n = size - 1;
    std::snprintf(frame.data(), 5, "%04X", static_cast<unsigned>(n + 5));
    std::memcpy(frame.data() + 5, input + 1, n);
    switch (code) {
        case 0: case 1: case 2: case 3: case 4: case 5:
            Decode<TermDisplayBlock>(box.get(), resource.get(), frame.data(), CheckDisplay);
            break;
        case 10: Decode<CardReadRecord>(box.get(), resource.get(), frame.data(), CheckCard); break;
        case 11: case 12: Decode<TerminalResultArea>(box.get(), resource.get(), frame.data(), CheckArea); break;
        case 70: Decode<DrnOnlinePinRecord>(box.get(), resource.get(), frame.data(), CheckPin); break;
        case 73: Decode<DrnTerminalCall61Record>(box.get(), resource.get(), frame.data(), CheckCall61); break;
        case 74: Decode<DrnTerminalCall62Record>(box.get(), resource.get(), frame.data(), CheckCall62); break;
        case 80: Decode<DrnRecordExchangeRecord>(box.get(), resource.get(), frame.data(), CheckRecord); break;
        case 90: {
            auto info = std::make_unique<DrnTerminalInfoRecord>();
            info->listMode = input[0] & 0x80 ? 1 : 0;
            info->t9f53 = {1, static_cast<uint32_t>(input[0] & 0x0F)};
            const int status = Get(box.get(), resource.get(), frame.data(), info.get());
            Check(status == 0 || status == 1 || status == 32, "unknown status");
            CheckInfo(*info);
            break;
        }
        default: {
            auto pot = std::make_unique<POT>();
            pot->services[0].mask = input[0] & 0x80 ? 0x7FFFFFFF : 0x2;
            const int status = Get(box.get(), resource.get(), frame.data(), pot.get());
            Check(status == 0 || status == 1 || status == 2 || status == 32, "unknown status");
            CheckPot(*pot);
            POT_StartTransaction(pot.get());
            break;
        }
    }
    DRN_FreeSyntax(1, 'w');
    return 0;
}

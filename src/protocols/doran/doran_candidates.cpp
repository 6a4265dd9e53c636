// DORAN application list (11, read back as 11 or 12): the candidates of
// the card's applications, container by container, and the card's languages.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/tlv.h"
#include "protocols/doran/doran_module.h"
#include "protocols/doran/doran_slots.h"
#include "protocols/doran/doran_syntax.h"

namespace {

constexpr uint32_t kListCommand = 0x10;
constexpr unsigned int kCandidates = 0xDFF88304;
constexpr unsigned int kLanguages = 0x5F2D;
constexpr int kSupplementMax = 512;

// The containers of the candidates, in the order they are read, with the
// kernel of each.
struct Container {
    unsigned int tag;
    unsigned kernel;
};
constexpr Container kContainers[] = {
    {0xBFA001, 0x2001}, {0xBFA801, 0x2801}, {0xBFB001, 0x3001}, {0xBFB002, 0x3002}, {0xBFC001, 0x4001},
    {0xBFA002, 0x2002}, {0xBFE001, 0x6001}, {0xBFC002, 0x4002}, {0xBFF001, 0x6002}, {0xBFF801, 0x7001},
};

// The next element of a sequence: true with it, false at the end or on a
// malformed element.
bool NextElement(const unsigned char** at, const unsigned char* end, TlvNode* node) {
    if (*at >= end) return false;
    if (TLV_ParseElementEx(node, *at, static_cast<int>(end - *at)) != 1 || node->end == nullptr ||
        node->end <= *at || node->end > end)
        return false;
    *at = node->end;
    return true;
}

bool SameCode(const char* a, const char* b) {
    return std::tolower(static_cast<unsigned char>(a[0])) == std::tolower(static_cast<unsigned char>(b[0])) &&
           std::tolower(static_cast<unsigned char>(a[1])) == std::tolower(static_cast<unsigned char>(b[1]));
}

// Takes the codes of a 5F2D while the list has no first entry: each one
// not in the list yet (case ignored) into the first empty entry.
void TakeLanguages(const unsigned char* bytes, int length, TerminalResultArea* a) {
    if (a->languages[0].length != 0) return;
    TlvNode holder;
    holder.value = const_cast<unsigned char*>(bytes);
    holder.lg = length;
    unsigned char codes[9] = {};
    int got = sizeof codes;
    if (TLV_GetBytesNonZero(&holder, kLanguages, codes, &got) <= 0) return;
    for (int i = 0; i + 1 < got; i += 2) {
        const char code[2] = {static_cast<char>(codes[i]), static_cast<char>(codes[i + 1])};
        bool known = false;
        int free = -1;
        for (int k = 0; k < 4; ++k) {
            if (a->languages[k].length == 0) {
                if (free < 0) free = k;
            } else if (SameCode(a->languages[k].code, code)) {
                known = true;
            }
        }
        if (known || free < 0) continue;
        a->languages[free].length = 2;
        std::memcpy(a->languages[free].code, code, 2);
    }
}

// Raw bytes of a tag into an area of `capacity` bytes with its length;
// absent or too long: length 0 and the area cleared.
void Raw(TlvNode* e4, unsigned int tag, unsigned char* area, int capacity, int32_t* length) {
    std::memset(area, 0, static_cast<size_t>(capacity) + 1);
    *length = 0;
    int got = capacity + 1;
    if (TLV_GetBytes(e4, tag, area, &got) > 0) *length = got;
}

// Hexadecimal text of a tag into its area (cleared when absent or too long).
void Hex(TlvNode* e4, unsigned int tag, char* area, int capacity) {
    int got = capacity + 1;
    if (TLV_GetHex(e4, tag, area, &got) <= 0) std::memset(area, 0, static_cast<size_t>(capacity) + 1);
}

// Text of at most 40 bytes whose first byte is not 0 (cleared otherwise).
void Label(TlvNode* e4, unsigned int tag, char* area) {
    std::memset(area, 0, kResultLabelMax + 1);
    int got = kResultLabelMax + 1;
    if (TLV_GetBytesNonZero(e4, tag, reinterpret_cast<unsigned char*>(area), &got) <= 0)
        std::memset(area, 0, kResultLabelMax + 1);
}

// One candidate (an E4) at the next index: false when it has no AID (the
// candidate is refused).
bool TakeCandidate(TlvNode* e4, unsigned kernel, TerminalResultArea* a) {
    const int i = a->candidateCount;
    char* aid = a->candidates[i];
    int got = kResultAidMax + 1;
    if (TLV_GetHex(e4, 0x84, aid, &got) <= 0) {
        got = kResultAidMax + 1;
        if (TLV_GetHex(e4, 0x9F06, aid, &got) <= 0) {
            std::memset(aid, 0, kResultAidMax + 1);
            return false;
        }
    }
    ++a->candidateCount;
    ++a->kernelCount;
    ++a->priorityCount;
    ++a->codeTableCount;
    ++a->labelCount;
    ++a->preferredNameCount;
    ++a->pdolCount;
    ++a->fciCount;
    std::snprintf(a->kernels[i], sizeof a->kernels[i], "%04X", kernel);
    Label(e4, 0x50, a->labels[i]);
    Label(e4, 0x9F12, a->preferredNames[i]);
    uint16_t number = 0;
    int flag = 1;
    a->priorities[i] = TLV_GetUShort(e4, 0x87, &number, &flag) > 0 ? number : 15;
    flag = 1;
    a->codeTables[i] = TLV_GetUShort(e4, 0x9F11, &number, &flag) > 0 ? number : 0;
    Hex(e4, 0x9F38, a->pdols[i], kResultPdolMax);
    Hex(e4, 0xBF0C, a->fciDiscretionary[i], kResultFciMax);
    auto& c = a->perCandidate[i];
    Raw(e4, 0xE5, c.gpo, 256, &c.gpoLength);
    Raw(e4, 0xE6, c.readRecord, 1024, &c.readRecordLength);
    Raw(e4, 0xE7, c.generateAc, 256, &c.generateAcLength);
    Raw(e4, 0xE8, c.pdolData, 512, &c.pdolDataLength);
    Raw(e4, 0xE9, c.cdolData, 512, &c.cdolDataLength);
    Raw(e4, 0xEB, c.track1, 100, &c.track1Length);
    Raw(e4, 0xEA, c.track2, 100, &c.track2Length);
    // Every EC of the candidate, in order, while the block holds them.
    std::memset(c.supplement, 0, sizeof c.supplement);
    c.supplementLength = 0;
    const unsigned char* at = e4->value;
    for (;;) {
        TlvNode* ec = TLV_Find(e4->value, e4->lg, 0xEC, at);
        if (ec == nullptr) break;
        at = ec->end;
        const int n = ec->lg;
        const bool fits = c.supplementLength + n <= kSupplementMax;
        if (fits) {
            std::memcpy(c.supplement + c.supplementLength, ec->value, static_cast<size_t>(n));
            c.supplementLength += n;
        }
        TLV_Free(ec, 'r');
        // The element that would pass the block ends it.
        if (!fits || at == nullptr || at >= e4->value + e4->lg) break;
    }
    TakeLanguages(e4->value, e4->lg, a);
    return true;
}

}  // namespace

const unsigned char* DRN_SetApplicationList(int* length, TerminalResultArea* area) {
    if (length != nullptr) *length = 0;
    if (area == nullptr) return nullptr;
    area->busy = 1;
    static const unsigned int kTags[] = {DRN_TAG_RESULT, kCandidates};
    const unsigned char* message =
        drn::BuildMessage(DRN_PERIPHERAL_TERMINAL, kListCommand, nullptr, drn::TagList(kTags, 2), length);
    if (message != nullptr) area->busy = 0;
    return message;
}

int DRN_DealApplicationList(const unsigned char* answer, int length, TerminalResultArea* a) {
    if (a == nullptr) return 1;
    a->busy = 1;
    a->result = 255;
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    if (data == nullptr || peripheral != DRN_PERIPHERAL_TERMINAL || !drn::ReadResult(data, &a->result)) {
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    TlvNode list;
    if (!drn::FindValue(data->value, data->lg, kCandidates, &list)) {
        DRN_FreeSyntax(1, 'r');
        a->busy = 0;
        return 0;
    }
    TlvNode e3;
    if (drn::FindValue(list.value, list.lg, 0xE3, &e3)) TakeLanguages(e3.value, e3.lg, a);
    bool lastRefused = false;
    for (const Container& c : kContainers) {
        TlvNode container;
        if (!drn::FindValue(list.value, list.lg, c.tag, &container)) continue;
        lastRefused = false;
        const unsigned char* at = container.value;
        const unsigned char* end = container.value + container.lg;
        TlvNode e4;
        // At most the ten places of the area.
        while (a->candidateCount < kResultCandidates && NextElement(&at, end, &e4)) {
            if (e4.tag != 0xE4) continue;
            if (!TakeCandidate(&e4, c.kernel, a)) {
                lastRefused = true;
                break;
            }
        }
    }
    DRN_FreeSyntax(1, 'r');
    if (lastRefused) return 1;
    a->busy = 0;
    return 0;
}

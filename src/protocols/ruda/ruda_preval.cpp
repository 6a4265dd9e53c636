// RUDA prevalidation answer extraction.
#include "protocols/ruda/ruda_preval.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/trace.h"
#include "protocols/ruda/ruda_level2.h"

namespace {

constexpr int kElementRoom = 1024;

void ExtractFailed(unsigned int tag) { WSysError("-- ERROR -- [RUDAL2_ExtractAllTag] Extract %X", tag); }

// The element's value as lower-case hexadecimal text (room 1024 characters):
// 1 found, 0 absent, -1 malformed or longer than the room.
int ReadHex(TlvNode* in, unsigned int tag, std::string& text, int room = kElementRoom) {
    text.assign(static_cast<size_t>(room) + 2, '\0');
    int length = room + 1;
    int r = TLV_GetHex(in, tag, text.data(), &length);
    if (r == 2) r = 1;  // the first occurrence counts
    text.resize(r > 0 ? static_cast<size_t>(length) : 0);
    return r;
}

void Upper(std::string& text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void Refused(unsigned int tag, size_t length, int width) {
    WSysError("<< WARN. >> [RUDAL2_ExtractAllTag] %X de %d caracteres refuse (au plus %d)", tag,
              static_cast<int>(length), width);
}

template <int N>
void StoreText(unsigned int tag, const std::string& text, PotText<N>& slot) {
    if (static_cast<int>(text.size()) > N) {
        Refused(tag, text.size(), N);
        return;
    }
    std::memset(slot.text, 0, sizeof slot.text);
    std::memcpy(slot.text, text.data(), text.size());
    slot.length = static_cast<int32_t>(text.size());
}

template <int N>
void StoreBytesFromHex(unsigned int tag, const std::string& text, PotBytes<N>& slot) {
    if (static_cast<int>(text.size()) > 2 * N) {
        Refused(tag, text.size(), 2 * N);
        return;
    }
    std::memset(slot.bytes, 0, sizeof slot.bytes);
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        slot.bytes[i / 2] = static_cast<unsigned char>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    slot.length = static_cast<int32_t>(text.size() / 2);
}

void StoreDecimal(const std::string& text, PotNumber& slot) {
    int64_t v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || v > 99999999999LL) break;
        v = v * 10 + (c - '0');
    }
    slot = PotNumber{1, v};
}

void StoreHexNumber(const std::string& text, PotNumber& slot) {
    slot = PotNumber{1, text.size() <= 16 ? static_cast<int64_t>(std::strtoull(text.c_str(), nullptr, 16)) : 0};
}

// Reads the element and hands its text to the store; -1 only for a missing
// input.
template <typename Store>
int Extract(TlvNode* in, unsigned int tag, Store store) {
    if (in == nullptr) return -1;
    std::string text;
    if (ReadHex(in, tag, text) > 0) store(text);
    return 1;
}

int ExtractPan(TlvNode* in, POT* pot, int operation) {
    if (in == nullptr || pot == nullptr) return -1;
    if (operation > 182 && pot->pan.length > 0 && pot->pan.length <= PotText<20>::kCapacity) return 1;
    std::string text;
    if (ReadHex(in, 0x5A, text) <= 0) return 1;
    Upper(text);
    if (text.size() > 19 && text.find_first_not_of('F', 19) == std::string::npos) text.resize(19);
    StoreText(0x5A, text, pot->pan);
    return 1;
}

// The element's inner elements, each into its slot.
template <int N>
void InnerText(TlvNode* outer, unsigned int tag, PotText<N>& slot) {
    std::string text;
    if (ReadHex(outer, tag, text) > 0) StoreText(tag, text, slot);
}

int ExtractConstructed(TlvNode* in, unsigned int tag, POT* pot) {
    if (in == nullptr) return -1;
    TlvNode outer;
    if (TLV_SearchTag(&outer, in->value, in->lg, tag, nullptr) != 1) return 1;
    if (tag == 0xFF7C) {
        InnerText(&outer, 0xDF837F, pot->ff7cDf837f);
    } else {
        InnerText(&outer, 0xDFDF10, pot->ff7fDfdf10);
        InnerText(&outer, 0xDFDF11, pot->ff7fDfdf11);
        InnerText(&outer, 0xDFDF12, pot->ff7fDfdf12);
    }
    return 1;
}

// Where the parsed element whose value starts at `value` begins.
const unsigned char* ElementStart(const unsigned char* floor, const unsigned char* value) {
    for (int k = 1; k <= 3; ++k) {
        const unsigned char* tag = value - k - 2;
        if (tag < floor) break;
        if (tag[0] == 0x9F && tag[1] == 0x06 && (k == 1 ? tag[2] < 0x80 : tag[2] == 0x80 + (k - 1)))
            return tag;
    }
    return nullptr;
}

int ExtractCandidate(const RudaCandidatePiece& piece, RudaCandidateRecord& c) {
    TlvNode in;
    in.value = const_cast<unsigned char*>(piece.start);
    in.lg = piece.length;
    std::memset(&c, 0, sizeof c);
    int length = kRudal2AidMax + 1;
    int r = TLV_GetBytes(&in, 0x9F06, c.aid, &length);
    if (r < 0) {
        ExtractFailed(0x9F06);
        return 0;
    }
    if (r > 0) {
        c.aidLength = length;
        c.found = 1;
    }
    length = kRudal2LabelMax + 1;
    r = TLV_GetBytes(&in, 0x50, c.label, &length);
    if (r < 0) {
        ExtractFailed(0x50);
        return 0;
    }
    if (r > 0) c.labelLength = length;
    std::string text;
    r = ReadHex(&in, 0x87, text, kRudal2PriorityMax);
    if (r < 0) {
        ExtractFailed(0x87);
        return -1;
    }
    std::memcpy(c.priority, text.data(), text.size());
    c.priorityLength = static_cast<int32_t>(text.size());
    length = kRudal2FciMax;
    r = TLV_GetBytes(&in, 0xBF0C, c.fci, &length);
    if (r < 0) {
        ExtractFailed(0xBF0C);
        return -1;
    }
    if (r > 0) c.fciLength = length;
    return 1;
}

}  // namespace

int RUDAL2_CheckSwAnswer(POT* pot, int sw) {
    if (pot == nullptr) return 1;
    switch (sw) {
        case 0x9000: return 0;
        case 0x6985: pot->services[0].state = RUDA_OUTCOME_SW_6985; return 0;
        case 0x9F23: pot->services[0].state = RUDA_OUTCOME_CARD_GONE; return 0;
        case 0x9F28: pot->services[0].state = RUDA_OUTCOME_SW_9F28; return 0;
        case 0x9F41: pot->services[8].state = 5; return 1;
        default:
            WSysError("-- ERROR -- [RUDAL2_CheckSwAnswer] Autre erreur : SW1-SW2 : %x", sw);
            return 1;
    }
}

int RUDAL2_CheckTypeAnswer(POT* pot, uint8_t type) {
    if (pot == nullptr) return 32;
    switch (type) {
        case 0xE0: pot->services[0].state = RUDA_OUTCOME_CARD_GONE; return 32;
        case 0xE2: return 0;
        case 0xE3: pot->authorisationMode = PotNumber{1, 64}; return 0;
        case 0xE4: pot->authorisationMode = PotNumber{1, 128}; return 0;
        case 0xE5: pot->authorisationMode = PotNumber{1, 0}; return 0;
        case 0xE6: return 64;
        default: pot->services[0].state = RUDA_OUTCOME_SW_REFUSED; return 32;
    }
}

int RUDAL2_SplitCandidates(TlvNode* answer, RudaCandidatePiece* pieces, int room, int* count) {
    if (count != nullptr) *count = 0;
    if (answer == nullptr || answer->lg < 0 || (answer->lg > 0 && answer->value == nullptr)) return -1;
    const unsigned char* data = answer->value;
    const unsigned char* end = data + answer->lg;
    int n = 0;
    bool any = false;
    const unsigned char* from = data;
    const unsigned char* previous = nullptr;
    while (from < end) {
        TlvNode found;
        if (TLV_SearchTag(&found, data, answer->lg, 0x9F06, from) != 1) break;
        const unsigned char* start = ElementStart(data, found.value);
        from = found.end;
        if (start == nullptr) continue;
        any = true;
        if (previous != nullptr && pieces != nullptr && n < room)
            pieces[n++] = RudaCandidatePiece{previous, static_cast<int>(start - previous)};
        previous = start;
    }
    if (previous != nullptr && pieces != nullptr && n < room)
        pieces[n++] = RudaCandidatePiece{previous, static_cast<int>(end - previous)};
    if (count != nullptr) *count = n;
    return any ? 1 : 0;
}

int RUDAL2_ExtractAllTag(TlvNode* answer, POT* pot, RudaCandidateRecord* candidates, int room,
                         int operation) {
    if (answer == nullptr || pot == nullptr) {
        WSysError("-- ERROR -- [RUDAL2_ExtractAllTag] Extract 57");
        return -1;
    }
    if (candidates != nullptr) {
        if (room > kRudal2CandidateMax) room = kRudal2CandidateMax;
        RudaCandidatePiece pieces[kRudal2CandidateMax];
        int count = 0;
        RUDAL2_SplitCandidates(answer, pieces, room, &count);
        for (int i = 0; i < count; ++i) {
            const int r = ExtractCandidate(pieces[i], candidates[i]);
            if (r < 0) return -1;
            if (r == 0) break;
        }
    }

    const bool second = operation == 184;
    struct Step {
        unsigned int tag;
        int (*run)(TlvNode*, POT*, int);
    };
#define TEXT(tag, member) \
    {tag, [](TlvNode* in, POT* p, int) { return Extract(in, tag, [p](const std::string& t) { StoreText(tag, t, p->member); }); }}
#define UPPER(tag, member)                                                                   \
    {tag, [](TlvNode* in, POT* p, int) {                                                     \
         return Extract(in, tag, [p](std::string t) { Upper(t); StoreText(tag, t, p->member); }); \
     }}
#define BYTES(tag, member) \
    {tag, [](TlvNode* in, POT* p, int) { return Extract(in, tag, [p](const std::string& t) { StoreBytesFromHex(tag, t, p->member); }); }}
#define DECIMAL(tag, member) \
    {tag, [](TlvNode* in, POT* p, int) { return Extract(in, tag, [p](const std::string& t) { StoreDecimal(t, p->member); }); }}
#define HEXNUMBER(tag, member) \
    {tag, [](TlvNode* in, POT* p, int) { return Extract(in, tag, [p](const std::string& t) { StoreHexNumber(t, p->member); }); }}
    static const Step kSteps[] = {
        UPPER(0x57, track2Equivalent),
        {0x5A, [](TlvNode* in, POT* p, int op) { return ExtractPan(in, p, op); }},
        TEXT(0x82, aip),
        TEXT(0x8C, cdol1),
        TEXT(0x8D, cdol2),
        TEXT(0x8E, cvmList),
        TEXT(0x8F, caKeyIndex),
        TEXT(0x93, signedStaticData),
        TEXT(0x95, tvr),
        TEXT(0x9B, tsi),
        DECIMAL(0x9C, transactionType),
        TEXT(0x5F20, cardholderNameHex),
        TEXT(0x5F24, expiryDate),
        TEXT(0x5F25, effectiveDate),
        DECIMAL(0x5F28, countryCode),
        DECIMAL(0x5F2A, currencyCode),
        TEXT(0x5F30, serviceCode),
        {0x5F34, [](TlvNode* in, POT* p, int) {
             return Extract(in, 0x5F34, [p](const std::string& t) {
                 p->panSequenceNumber = PotNumberLen{1, std::strtol(t.c_str(), nullptr, 16), static_cast<int32_t>(t.size() / 2)};
             });
         }},
        TEXT(0x9F05, tag9f05),
        TEXT(0x9F07, tag9f07),
        TEXT(0x9F08, applicationVersion),
        BYTES(0x9F0B, tag9f0b),
        TEXT(0x9F0D, iacDefault),
        TEXT(0x9F0E, iacDenial),
        TEXT(0x9F0F, iacOnline),
        TEXT(0x9F10, issuerApplicationData),
        {0x9F26, [](TlvNode*, POT*, int) { return 1; }},  // by operation, below
        {0x9F27, [](TlvNode*, POT*, int) { return 1; }},
        UPPER(0x9F33, terminalCapabilities),
        TEXT(0x9F34, cvmResults),
        DECIMAL(0x9F35, terminalType),
        {0x9F36, [](TlvNode* in, POT* p, int) {
             return Extract(in, 0x9F36, [p](const std::string& t) {
                 p->atc = PotNumberLen{1, std::strtol(t.c_str(), nullptr, 16), static_cast<int32_t>(t.size() / 2)};
             });
         }},
        HEXNUMBER(0x9F37, unpredictableNumber),
        DECIMAL(0x9F42, tag9f42),
        DECIMAL(0x9F44, tag9f44),
        TEXT(0x9F49, ddol),
        TEXT(0x9F4B, df809000),
        {0xFF7F, [](TlvNode* in, POT* p, int) { return ExtractConstructed(in, 0xFF7F, p); }},
        {0xFF7C, [](TlvNode* in, POT* p, int) { return ExtractConstructed(in, 0xFF7C, p); }},
        BYTES(0x9F24, tag9f24),
        TEXT(0x9F19, tag9f19),
        BYTES(0x9F25, tag9f25),
    };
#undef TEXT
#undef UPPER
#undef BYTES
#undef DECIMAL
#undef HEXNUMBER
    for (const Step& s : kSteps) {
        int r = 1;
        if (s.tag == 0x9F26)
            r = Extract(answer, 0x9F26, [&](const std::string& t) {
                StoreText(0x9F26, t, second ? pot->cryptogram2 : pot->cryptogram1);
            });
        else if (s.tag == 0x9F27)
            r = Extract(answer, 0x9F27, [&](const std::string& t) {
                StoreText(0x9F27, t, second ? pot->cryptogramInfo2 : pot->cryptogramInfo1);
            });
        else
            r = s.run(answer, pot, operation);
        if (r < 0) {
            ExtractFailed(s.tag);
            if (s.tag != 0x5F30) return -1;
        }
    }
    return 1;
}

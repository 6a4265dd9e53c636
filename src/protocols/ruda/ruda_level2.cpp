// RUDA EMV level 2: requests per step, analysis of the answers, FCI and AFL
// checks, the read-records area.
#include "protocols/ruda/ruda_level2.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/helpers.h"
#include "core/sha1.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/doran/doran_emv.h"
#include "protocols/ruda/ruda_apdu.h"

namespace {

// ---------------------------------------------------------------------------
// State of the card in hand
// ---------------------------------------------------------------------------

constexpr int kRecordsRoomStart = 128;
constexpr int kRecordRoom = 254;

RudaDecipherHook* g_hook = nullptr;
unsigned char* g_records = nullptr;
int g_recordsFilled = 0;
int g_recordsRoom = kRecordsRoomStart;  // of the card in hand, from its AFL
// Elements of the redundancy check already seen in the card's records.
const unsigned int kRedundancyTags[] = {0x93,   0x8F,   0x90,   0x92,   0x9F32, 0x9F46, 0x9F48,
                                        0x9F47, 0x9F2D, 0x9F2F, 0x9F2E, 0x9F4A, 0x5F24};
constexpr int kRedundancyCount = sizeof kRedundancyTags / sizeof kRedundancyTags[0];
bool g_seen[kRedundancyCount] = {};

void FreeRecords() {
    if (g_records != nullptr) {
        std::memset(g_records, 0, static_cast<size_t>(g_recordsRoom));
        WFree(g_records);
    }
    g_records = nullptr;
    g_recordsFilled = 0;
    for (bool& s : g_seen) s = false;
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

int32_t& StepState(POT* pot) { return pot->services[0].state; }

bool Present(const PotNumber& n) { return n.flag == 1; }

template <int N>
bool TextToBytes(const PotText<N>& t, RudaBytes& out) {
    out.clear();
    if (t.length <= 0) return true;
    if (t.length > N) return false;
    return RUDA_HexToBytes(t.text, t.length, out);
}

template <int N>
void StoreHex(PotText<N>& slot, const unsigned char* bytes, int count) {
    std::memset(slot.text, 0, sizeof slot.text);
    if (2 * count > N) {
        slot.length = 0;
        return;
    }
    WBinToHex(slot.text, bytes, count);
    slot.length = 2 * count;
}

template <int N>
void StoreBytes(PotBytes<N>& slot, const unsigned char* bytes, int count) {
    std::memset(slot.bytes, 0, sizeof slot.bytes);
    if (count > N) {
        slot.length = 0;
        return;
    }
    std::memcpy(slot.bytes, bytes, static_cast<size_t>(count));
    slot.length = count;
}

bool OnlyPadding(const unsigned char* p, const unsigned char* end) {
    for (; p < end; ++p)
        if (*p != 0x00 && *p != 0xFF) return false;
    return true;
}

// The first top-level element of the data (filler skipped).
bool FirstElement(const unsigned char* data, int length, TlvNode* element) {
    return TLV_ParseElementEx(element, data, length) == 1;
}

// The template at the start of the data with only filler after it.
bool TemplateAlone(const unsigned char* data, int length, unsigned int tag, TlvNode* element) {
    return FirstElement(data, length, element) && element->tag == tag &&
           OnlyPadding(element->end, data + length);
}

int Occurrences(const unsigned char* data, int length, unsigned int tag) {
    int count = 0;
    const unsigned char* from = data;
    TlvNode found;
    while (from < data + length && TLV_SearchTag(&found, const_cast<unsigned char*>(data), length, tag, from) == 1) {
        ++count;
        from = found.end;
    }
    return count;
}

void CopySw(RudaCallerBuffer* caller, int sw) {
    if (caller == nullptr || caller->statusWord == nullptr) return;
    caller->statusWord[0] = static_cast<unsigned char>(sw >> 8);
    caller->statusWord[1] = static_cast<unsigned char>(sw);
}

// Whole answer into the caller's buffer; false (buffer cleared, traced) when
// it does not fit.
bool CopyToCaller(RudaCallerBuffer* caller, const unsigned char* answer, int length, const char* message) {
    if (caller == nullptr || caller->buffer == nullptr || caller->size < length) {
        if (caller != nullptr && caller->buffer != nullptr && caller->size > 0)
            std::memset(caller->buffer, 0, static_cast<size_t>(caller->size));
        if (caller != nullptr && caller->length != nullptr) *caller->length = 0;
        WSysError("%s", message);
        return false;
    }
    std::memcpy(caller->buffer, answer, static_cast<size_t>(length));
    if (caller->length != nullptr) *caller->length = length;
    return true;
}

void Load(POT* pot, const unsigned char* data, int length) {
    if (DATA_to_POT(data, length, pot) < 0)
        WSysError("<< WARN. >> RUDA_AnalyseResponse(): DATA_to_POT() returned an error, data not loaded in POT");
}

// ---------------------------------------------------------------------------
// FCI and AFL
// ---------------------------------------------------------------------------

struct FciCounts {
    int a5 = 0;
    int df84 = 0;
    int label = 0;
    int bf0c = 0;
};

bool CheckFciLevel(const unsigned char* data, int length, unsigned int parent, FciCounts& counts, int depth) {
    if (depth > kTlvMaxDepth) return false;
    if (length > 0 && (WIsFilledWith(data, length, '\xFF') || WIsFilledWith(data, length, '\0'))) return true;
    const unsigned char* p = data;
    const unsigned char* end = data + length;
    while (p < end) {
        if (OnlyPadding(p, end)) return true;
        TlvNode e;
        if (TLV_ParseElementEx(&e, p, static_cast<int>(end - p)) != 1) return false;
        switch (e.tag) {
            case 0xA5: ++counts.a5; break;
            case 0x50: ++counts.label; break;
            case 0xBF0C:
                if (e.lg > 0) ++counts.bf0c;
                break;
            default: break;
        }
        const bool nested = e.tag == 0x6F || e.tag == 0xA5 || e.tag == 0xBF0C;
        if (nested && e.lg > 0 && !CheckFciLevel(e.value, e.lg, e.tag, counts, depth + 1)) return false;
        switch (e.tag) {
            case 0x50:
            case 0x87:
            case 0x5F2D:
            case 0x9F11:
            case 0x9F12:
            case 0x9F38:
                if (parent != 0xA5) return false;
                break;
            case 0x84:
                if (parent != 0x6F) return false;
                ++counts.df84;
                break;
            default:
                if (parent == 0 && e.tag != 0x6F) return false;
                break;
        }
        p = e.end;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// Loads the records read so far and forgets them.
void FlushRecords(POT* pot, const RudaStepArgument* argument) {
    if (g_records == nullptr || g_recordsFilled == 0 ||
        (argument != nullptr && argument->recordFlag == RUDA_RECORD_NOT_STORED)) {
        FreeRecords();
        return;
    }
    int32_t* slots[] = {&pot->pan.length,   &pot->expiryDate.length, &pot->applicationVersion.length,
                        &pot->cdol1.length, &pot->cdol2.length,      &pot->track2Equivalent.length};
    for (int32_t* s : slots) *s = kPotAsked;
    Load(pot, g_records, g_recordsFilled);
    FreeRecords();
}

void KeepAnswer(RudaAnswerHolder* holder, const unsigned char* answer, int length) {
    if (holder == nullptr) return;
    std::memset(holder->bytes, 0, sizeof holder->bytes);
    holder->length = 0;
    if (answer == nullptr || length <= 0 || length > kRudaAnswerHolderMax) return;
    std::memcpy(holder->bytes, answer, static_cast<size_t>(length));
    holder->length = length;
}

// 0 when every listed element appears at most once across the card's
// records, else the state 21 with its trace.
bool RecordRedundancy(const TlvNode& record70) {
    int counts[kRedundancyCount] = {};
    const unsigned char* p = record70.value;
    const unsigned char* end = record70.value + record70.lg;
    while (p < end && !OnlyPadding(p, end)) {
        TlvNode e;
        if (TLV_ParseElementEx(&e, p, static_cast<int>(end - p)) != 1) break;
        for (int i = 0; i < kRedundancyCount; ++i)
            if (e.tag == kRedundancyTags[i]) ++counts[i];
        p = e.end;
    }
    for (int i = 0; i < kRedundancyCount; ++i) {
        if (counts[i] >= 2) {
            WSysError("** INFO. ** Read record : Redondance Tag %x (In a same record)", kRedundancyTags[i]);
            return true;
        }
        if (counts[i] == 1 && g_seen[i]) {
            WSysError("** INFO. ** Read record : Redondance Tag %x (In different records)", kRedundancyTags[i]);
            return true;
        }
    }
    for (int i = 0; i < kRedundancyCount; ++i)
        if (counts[i] == 1) g_seen[i] = true;
    return false;
}

int AnalyseReadRecord(POT* pot, const unsigned char* answer, int length, const RudaStepArgument* argument) {
    if (argument != nullptr) KeepAnswer(argument->holder, answer, length);
    const int recordFlag = argument != nullptr ? argument->recordFlag : RUDA_RECORD_MORE;
    int32_t& state = StepState(pot);
    int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        state = RUDA_OUTCOME_SW_REFUSED;
        FlushRecords(pot, argument);
        return 1;
    }
    if (recordFlag == RUDA_RECORD_NOT_STORED) return 1;

    std::string copy(reinterpret_cast<const char*>(answer), static_cast<size_t>(length));
    auto* data = reinterpret_cast<unsigned char*>(copy.data());
    int n = length;
    if (g_hook != nullptr) {
        if (!g_hook->decipher(data, &n, 1) || n < 0 || n > length) return -1;
        if (RUDA_GetSw(data, n) != 0x9000) {
            state = RUDA_OUTCOME_MALFORMED;
            FlushRecords(pot, argument);
            return 1;
        }
    }

    if (g_records == nullptr) {
        g_records = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(g_recordsRoom)));
        g_recordsFilled = 0;
        RUDA_SetRecordSlots(pot, 0);
        if (g_records == nullptr) {
            state = RUDA_OUTCOME_NO_ROOM;
            WSysError("-- ERROR -- Read Records: Echec Allocation Memoire BuffRR!");
            return 1;
        }
    }
    if (n == 2) {
        state = RUDA_OUTCOME_MISSING;
        FlushRecords(pot, argument);
        return 1;
    }

    // The record template: first element, nothing but filler after it.
    const int dataLength = n - 2;
    TlvNode first;
    const bool parsed = FirstElement(data, dataLength, &first);
    const bool has70 = parsed && first.tag == 0x70;
    if (!parsed || (has70 && !OnlyPadding(first.end, data + dataLength))) {
        state = RUDA_OUTCOME_MALFORMED;
        FlushRecords(pot, argument);
        return 1;
    }
    if (!has70) {
        const int sfi = (argument != nullptr ? argument->p2 : 0) >> 3;
        if (sfi >= 1 && sfi <= 10) {
            state = RUDA_OUTCOME_MALFORMED;
            FlushRecords(pot, argument);
            return 1;
        }
    }

    if (g_recordsFilled + n > g_recordsRoom) {
        state = RUDA_OUTCOME_NO_ROOM;
        FlushRecords(pot, argument);
        return 1;
    }
    std::memcpy(g_records + g_recordsFilled, data, static_cast<size_t>(n));
    g_recordsFilled += n;

    if (has70 && RecordRedundancy(first)) {
        state = RUDA_OUTCOME_INCONSISTENT;
        FlushRecords(pot, argument);
        return 1;
    }
    if (recordFlag != RUDA_RECORD_LAST) return 1;

    RUDA_SetRecordSlots(pot, kPotAsked);
    state = RUDA_OUTCOME_DONE;
    Load(pot, g_records, g_recordsFilled);
    FreeRecords();
    return 1;
}

// ---------------------------------------------------------------------------
// Answers by step
// ---------------------------------------------------------------------------

int AnalyseSelect(POT* pot, const unsigned char* answer, int length, int sw, RudaCallerBuffer* caller) {
    int32_t& state = StepState(pot);
    CopySw(caller, sw);
    if (sw != 0x9000) {
        state = RUDA_OUTCOME_SW_REFUSED;
        return 1;
    }
    FciCounts counts;
    const int data = length - 2;
    if (!CheckFciLevel(answer, data, 0, counts, 0) || counts.a5 != 1 || counts.df84 != 1 || counts.label > 1) {
        state = RUDA_OUTCOME_MALFORMED;
        return 1;
    }
    state = RUDA_OUTCOME_DONE;
    if (pot->pdol.length == 0 && (counts.bf0c > 0 || pot->pdolWanted == 1)) pot->pdol.length = kPotAsked;
    Load(pot, answer, length);
    return 1;
}

void GpoRedundancy(POT* pot, unsigned int tag) {
    POT_MarkServiceFailed(pot, POT_SERVICE_AIP_AFL);
    WSysError("** INFO. ** Get Processing Options : Redondance Tag %x", tag);
}

// 9F24 (29 bytes), 9F19 (6) and 9F25 (4) of a format 2 answer, when present.
void LoadProximity(POT* pot, TlvNode* in) {
    unsigned char value[30];
    int n = sizeof value;
    if (TLV_GetBytes(in, 0x9F24, value, &n) > 0 && n == 29) StoreBytes(pot->tag9f24, value, n);
    n = sizeof value;
    if (TLV_GetBytes(in, 0x9F19, value, &n) > 0 && n == 6) StoreHex(pot->tag9f19, value, n);
    n = sizeof value;
    if (TLV_GetBytes(in, 0x9F25, value, &n) > 0 && n == 4) StoreBytes(pot->tag9f25, value, n);
}

int AnalyseGpo(POT* pot, const unsigned char* answer, int length, int sw) {
    int32_t& state = StepState(pot);
    pot->aip.length = kPotAsked;
    pot->afl.length = kPotAsked;
    const auto fail = [&](int32_t outcome) {
        pot->aip.length = 0;
        pot->afl.length = 0;
        state = outcome;
        return 1;
    };
    if (sw == 0x6985) return fail(RUDA_OUTCOME_SW_6985);
    if (sw != 0x9000) return fail(RUDA_OUTCOME_SW_REFUSED);
    const int data = length - 2;
    if (data < 1 || (answer[0] != 0x80 && answer[0] != 0x77)) return fail(RUDA_OUTCOME_MISSING);

    TlvNode element;
    const unsigned char* aip = nullptr;
    const unsigned char* afl = nullptr;
    int aflLength = 0;
    if (answer[0] == 0x80) {
        if (!FirstElement(answer, data, &element) || element.lg < 6 || (element.lg - 2) % 4 != 0)
            return fail(RUDA_OUTCOME_MALFORMED);
        if (Occurrences(answer, data, 0x80) > 1) GpoRedundancy(pot, 0x80);
        aip = element.value;
        afl = element.value + 2;
        aflLength = element.lg - 2;
    } else {
        if (!TemplateAlone(answer, data, 0x77, &element)) return fail(RUDA_OUTCOME_MALFORMED);
        TlvNode e82;
        TlvNode e94;
        if (TLV_SearchTag(&e82, element.value, element.lg, 0x82, nullptr) != 1 || e82.lg != 2)
            return fail(RUDA_OUTCOME_MALFORMED);
        if (Occurrences(element.value, element.lg, 0x82) > 1) GpoRedundancy(pot, 0x82);
        if (TLV_SearchTag(&e94, element.value, element.lg, 0x94, nullptr) != 1 || e94.lg % 4 != 0)
            return fail(RUDA_OUTCOME_MALFORMED);
        if (Occurrences(element.value, element.lg, 0x94) > 1) GpoRedundancy(pot, 0x94);
        aip = e82.value;
        afl = e94.value;
        aflLength = e94.lg;
    }
    if (RUDA_CheckAfl(afl, aflLength) != 1 || 2 * aflLength > PotText<252>::kCapacity)
        return fail(RUDA_OUTCOME_MALFORMED);
    StoreHex(pot->aip, aip, 2);
    StoreHex(pot->afl, afl, aflLength);
    if (answer[0] == 0x77) LoadProximity(pot, &element);
    state = RUDA_OUTCOME_DONE;
    return 1;
}

void AnalysePinTryCounter(POT* pot, const unsigned char* answer, int length, int sw) {
    int32_t& state = StepState(pot);
    if (sw == 0x6A81 || sw == 0x6A88) {
        state = RUDA_OUTCOME_DONE;
        return;
    }
    if (sw == 0x9000 && length == 6 && answer[0] == 0x9F && answer[1] == 0x17 && answer[2] == 0x01) {
        pot->df81811a = PotNumber{1, answer[3]};
        state = answer[3] != 0 ? RUDA_OUTCOME_DONE : RUDA_OUTCOME_PIN_BLOCKED;
        return;
    }
    state = RUDA_OUTCOME_MALFORMED;
}

int AnalyseGenerateAc(POT* pot, const unsigned char* answer, int length, int sw, bool first) {
    int32_t& state = StepState(pot);
    if (sw != 0x9000) {
        state = RUDA_OUTCOME_SW_REFUSED;
        return 1;
    }
    std::string copy(reinterpret_cast<const char*>(answer), static_cast<size_t>(length));
    auto* data = reinterpret_cast<unsigned char*>(copy.data());
    int n = length;
    if (g_hook != nullptr && (!g_hook->decipher(data, &n, 2) || n < 2 || n > length)) return -1;
    TlvNode element;
    const int dataLength = n - 2;
    const bool format80 = dataLength > 0 && data[0] == 0x80;
    if (!format80 && !TemplateAlone(data, dataLength, 0x77, &element)) {
        state = RUDA_OUTCOME_MISSING;
        return 1;
    }
    if (first) {
        pot->cryptogramInfo1.length = kPotAsked;
        pot->cryptogram1.length = kPotAsked;
    } else {
        pot->cryptogramInfo2.length = kPotAsked;
        pot->cryptogram2.length = kPotAsked;
    }
    pot->issuerApplicationData.length = kPotAsked;
    pot->atc.flag = kPotAsked;
    state = RUDA_OUTCOME_DONE;
    if (format80)
        Load(pot, data, n);
    else
        Load(pot, element.value, element.lg);
    return 1;
}

void AnalyseInternalAuth(POT* pot, const unsigned char* answer, int length, int sw) {
    int32_t& state = StepState(pot);
    pot->df809000.length = kPotAsked;
    TlvNode element;
    const int data = length - 2;
    if (sw == 0x9000 && data > 0 && answer[0] == 0x80 && FirstElement(answer, data, &element) &&
        2 * element.lg <= PotText<496>::kCapacity) {
        StoreHex(pot->df809000, element.value, element.lg);
        state = RUDA_OUTCOME_DONE;
        return;
    }
    if (sw == 0x9000 && TemplateAlone(answer, data, 0x77, &element)) {
        TlvNode signedData;
        pot->df809000.length = 0;
        if (TLV_SearchTag(&signedData, element.value, element.lg, 0x9F4B, nullptr) == 1)
            StoreHex(pot->df809000, signedData.value, signedData.lg);
        LoadProximity(pot, &element);
        state = RUDA_OUTCOME_DONE;
        return;
    }
    pot->df809000.length = 0;
    state = RUDA_OUTCOME_MISSING;
}

int AnalyseGetData(POT* pot, const unsigned char* answer, int length, int sw, uint16_t tag) {
    int32_t& state = StepState(pot);
    if (tag != 0x9F17 && tag != 0x9F36) {
        if (sw == 0x6A81 || sw == 0x6A88) {
            state = RUDA_OUTCOME_SW_REFUSED;
            return 1;
        }
        if (sw != 0x9000) {
            state = RUDA_OUTCOME_DONE;
            return 1;
        }
    }
    switch (tag) {
        case 0x9F17: AnalysePinTryCounter(pot, answer, length, sw); break;
        case 0x9F13:
            pot->tag9f13.flag = kPotAsked;
            state = RUDA_OUTCOME_DONE;
            Load(pot, answer, length);
            break;
        case 0x9F36:
            pot->atc.flag = kPotAsked;
            state = RUDA_OUTCOME_DONE;
            Load(pot, answer, length);
            break;
        default: break;
    }
    return 1;
}

bool AutomatedVerifyPin() {
#ifdef ZNP_AUTOMATED_VERIFY_PIN
    const char* value = std::getenv("TALVO.RUDA.AUTOMATED_VERIFY_PIN");
    return value != nullptr && std::strcmp(value, "1") == 0;
#else
    // Production builds never send a PIN in clear, whatever the environment says.
    return false;
#endif
}

void AnalyseVerifyPin(POT* pot, const unsigned char* answer, int length, int sw) {
    int32_t& state = StepState(pot);
    if (sw != 0x9000) {
        state = RUDA_OUTCOME_MISSING;
        return;
    }
    if (AutomatedVerifyPin()) {
        state = RUDA_OUTCOME_DONE;
        return;
    }
    const int result = length > 2 ? answer[0] : -1;
    switch (result) {
        case 1: state = 8; break;
        case 2: state = RUDA_OUTCOME_DONE; break;
        case 3: state = 22; break;
        case 6: state = 7; break;
        case 7:
        case 8: state = 5; break;
        case 9: state = 6; break;
        case 10: state = 34; break;
        default: state = RUDA_OUTCOME_MISSING; break;
    }
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

int Apdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data, bool le,
         unsigned char** apdu, int* length) {
    static const unsigned char kMarker = 0x00;
    const int r = RUDA_BuildApdu(cla, ins, p1, p2, data.empty() ? nullptr : data.data(),
                                 static_cast<int>(data.size()), le ? &kMarker : nullptr, 0, apdu, length);
    return r == RUDA_APDU_BUILT ? 1 : 0;
}

template <int N>
bool HexData(const PotText<N>& text, RudaBytes& out, const char* what) {
    if (!TextToBytes(text, out)) {
        WSysError("-- ERROR -- RUDA_BuildEmvApdu(): %s non hexadecimal", what);
        return false;
    }
    return true;
}

// Data of 256 bytes or more cannot go in one short APDU: refused, never cut.
bool FitsShort(const RudaBytes& data, const char* what) {
    if (static_cast<int>(data.size()) <= kRudaShortDataMax) return true;
    WSysError("-- ERROR -- RUDA_BuildEmvApdu(): %s de %d octets refuse", what, static_cast<int>(data.size()));
    return false;
}

int BuildGpo(POT* pot, unsigned char** apdu, int* length) {
    RudaBytes pdol;
    if (!HexData(pot->pdolData, pdol, "PDOL")) return 0;
    RudaBytes data;
    RUDA_AppendElement(data, 0x83, pdol.data(), static_cast<int>(pdol.size()));
    if (!FitsShort(data, "GPO")) return 0;
    return Apdu(0x80, 0xA8, 0x00, 0x00, data, true, apdu, length);
}

int BuildGenerateAc(POT* pot, unsigned char** apdu, int* length) {
    RudaBytes data;
    if (!HexData(pot->cdolData, data, "CDOL")) return 0;
    if (pot->hashFlag != 0) {
        RudaBytes input;
        if (!HexData(pot->hashInput, input, "Hash")) return 0;
        const int at = pot->hashPosition;
        if (at < 0 || at + static_cast<int>(SHA1_DIGEST_SIZE) > static_cast<int>(data.size())) {
            WSysError("-- ERROR -- RUDA_BuildEmvApdu(): hash en position %d hors des %d octets du CDOL", at,
                      static_cast<int>(data.size()));
            return 0;
        }
        uint8_t digest[SHA1_DIGEST_SIZE];
        Sha1_Compute(input.data(), input.size(), digest, nullptr);
        std::memcpy(data.data() + at, digest, SHA1_DIGEST_SIZE);
    }
    if (!FitsShort(data, "CDOL")) return 0;
    const uint8_t p1 = Present(pot->authorisationMode) ? static_cast<uint8_t>(pot->authorisationMode.value) : 0;
    return Apdu(0x80, 0xAE, p1, 0x00, data, true, apdu, length);
}

int AddBcd1(RudaBytes& out, unsigned int tag, int64_t value) {
    if (value < 0 || value > 99) return 1;
    const unsigned char b = static_cast<unsigned char>((value / 10) << 4 | (value % 10));
    return RUDA_AppendElement(out, tag, &b, 1) ? 0 : 1;
}

template <int N>
void AddKeyExponent(RudaBytes& e, unsigned int tag, const PotText<N>& t) {
    char text[N + 1];
    int length = t.length;
    std::memcpy(text, t.text, sizeof text);
    if (length == 6 && std::strtol(text, nullptr, 16) == 3) {
        std::strcpy(text, "03");
        length = 2;
    }
    RudaBytes value;
    if (RUDA_HexToBytes(text, length, value))
        RUDA_AppendElement(e, tag, value.data(), static_cast<int>(value.size()));
}

int BuildVerifyPin(POT* pot, const RudaStepArgument* argument, unsigned char** apdu, int* length) {
    const bool enciphered = argument != nullptr && argument->pinEnciphered != 0;
    RudaBytes e;
    RUDA_AddAmount(e, Present(pot->amount), pot->amount.value);
    if (pot->dfa20e.flag != 0) AddBcd1(e, 0xDFA20E, pot->dfa20e.value);
    if (!Present(pot->df81811a)) pot->df81811a = PotNumber{1, 3};
    AddBcd1(e, 0x9F17, pot->df81811a.value);
    if (pot->secondLabel.length > 0 && pot->secondLabel.length <= PotBytes<44>::kCapacity)
        RUDA_AddAppLabel(e, pot->secondLabel.length, pot->secondLabel.bytes);
    else if (pot->applicationLabel.length > 0 && pot->applicationLabel.length <= PotBytes<44>::kCapacity)
        RUDA_AddAppLabel(e, pot->applicationLabel.length, pot->applicationLabel.bytes);
    RUDA_AddCurrencyCode(e, Present(pot->currencyCode), static_cast<int>(pot->currencyCode.value));
    if (enciphered) {
        if (pot->tag9f2e.length > 0 && pot->tag9f2e.length <= 6)
            AddKeyExponent(e, 0x9F2E, pot->tag9f2e);
        else if (pot->tag9f47.length > 0 && pot->tag9f47.length <= 6)
            AddKeyExponent(e, 0x9F47, pot->tag9f47);
    }
    AddBcd1(e, 0xDFA215, pot->dfa215.flag == 1 ? pot->dfa215.value : 1);
    if (Present(pot->currencyExponent)) AddBcd1(e, 0x5F36, pot->currencyExponent.value);
    RudaBytes data;
    RUDA_AppendElement(data, 0xE0, e.data(), static_cast<int>(e.size()));
    if (!FitsShort(data, "VERIFY")) return 0;
    return Apdu(0xDE, 0xD7, enciphered ? 0x04 : 0x01, 0x00, data, false, apdu, length);
}

#ifdef ZNP_AUTOMATED_VERIFY_PIN
// Test terminals only: VERIFY with a plaintext PIN block made of the four
// digits at positions 12 to 15 of the card number.
int BuildAutomatedVerifyPin(POT* pot, unsigned char** apdu, int* length) {
    WSysError("<< WARN. >> Automated verify PIN enabled, for test only");
    if (pot->pan.length < 16 || pot->pan.length > PotText<20>::kCapacity) return 0;
    RudaBytes block = {0x24};
    if (!RUDA_HexToBytes(pot->pan.text + 12, 4, block)) return 0;
    block.insert(block.end(), 5, 0xFF);
    return Apdu(0x00, 0x20, 0x00, 0x80, block, false, apdu, length);
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

void RUDA_SetDecipherHook(RudaDecipherHook* hook) { g_hook = hook; }

int RUDA_BuildEmvApdu(POT* pot, const RudaStepArgument* argument, unsigned char** apdu, int* length) {
    if (apdu != nullptr) *apdu = nullptr;
    if (length != nullptr) *length = 0;
    if (pot == nullptr || apdu == nullptr || length == nullptr) return 0;
    const RudaStepArgument none;
    const RudaStepArgument& arg = argument != nullptr ? *argument : none;
    RudaBytes data;
    switch (pot->services[0].mask) {
        case RUDA_STEP_SELECT:
            if (!HexData(pot->selectedAid, data, "AID")) return 0;
            return Apdu(0x00, 0xA4, 0x04, 0x00, data, true, apdu, length);
        case RUDA_STEP_GPO: return BuildGpo(pot, apdu, length);
        case RUDA_STEP_READ_RECORD:
            return Apdu(0x00, 0xB2, arg.p1, static_cast<uint8_t>(arg.p2), data, true, apdu, length);
        case RUDA_STEP_PIN_TRY_COUNTER: return Apdu(0x80, 0xCA, 0x9F, 0x17, data, true, apdu, length);
        case RUDA_STEP_FIRST_AC:
        case RUDA_STEP_SECOND_AC: return BuildGenerateAc(pot, apdu, length);
        case RUDA_STEP_EXTERNAL_AUTH:
            if (!HexData(pot->issuerAuthenticationData, data, "91") || !FitsShort(data, "91")) return 0;
            return Apdu(0x00, 0x82, 0x00, 0x00, data, false, apdu, length);
        case RUDA_STEP_CALLER_APDU:
        case RUDA_STEP_CALLER_APDU_2: {
            if (arg.apdu == nullptr || arg.apduLength < 5) {
                WSysError("-- ERROR -- RUDA_BuildEmvApdu(): APDU de %d octets refusee", arg.apduLength);
                return 0;
            }
            data.assign(arg.apdu + 5, arg.apdu + arg.apduLength);
            if (!FitsShort(data, "APDU")) return 0;
            return Apdu(arg.apdu[0], arg.apdu[1], arg.apdu[2], arg.apdu[3], data, true, apdu, length);
        }
        case RUDA_STEP_INTERNAL_AUTH:
            if (!HexData(pot->ddolData, data, "DDOL") || !FitsShort(data, "DDOL")) return 0;
            return Apdu(0x00, 0x88, 0x00, 0x00, data, true, apdu, length);
        case RUDA_STEP_GET_DATA:
            return Apdu(0x80, 0xCA, static_cast<uint8_t>(arg.tag >> 8), static_cast<uint8_t>(arg.tag), data,
                        true, apdu, length);
        case RUDA_STEP_VERIFY_PIN:
#ifdef ZNP_AUTOMATED_VERIFY_PIN
            if (AutomatedVerifyPin()) return BuildAutomatedVerifyPin(pot, apdu, length);
#endif
            return BuildVerifyPin(pot, &arg, apdu, length);
        case RUDA_STEP_SELECT_GIVEN:
            if (arg.aidLength < 0 || arg.aidLength > kRudaShortDataMax || (arg.aidLength > 0 && arg.aid == nullptr))
                return 0;
            data.assign(arg.aid, arg.aid + arg.aidLength);
            return Apdu(0x00, 0xA4, 0x04, arg.nextOccurrence != 0 ? 0x02 : 0x00, data, true, apdu, length);
        case RUDA_STEP_READ_BINARY:
            return RUDA_BuildApdu(0x00, 0xB0, static_cast<uint8_t>(arg.p1 - 0x80), static_cast<uint8_t>(arg.p2),
                                  nullptr, 0, nullptr, arg.expectedLength, apdu, length) == RUDA_APDU_BUILT;
        case RUDA_STEP_GET_RESPONSE:
            return RUDA_BuildApdu(0x00, 0xC0, 0x00, 0x00, nullptr, 0, nullptr, arg.expectedLength, apdu,
                                  length) == RUDA_APDU_BUILT;
        default: return 0;
    }
}

int RUDA_AnalyseResponse(POT* pot, const unsigned char* answer, int length,
                         const RudaStepArgument* argument, RudaCallerBuffer* caller) {
    if (pot == nullptr || answer == nullptr || length < 2) return -1;
    const int data = length - 2;
    const int sw = RUDA_GetSw(answer, length);
    const int32_t step = pot->services[0].mask;
    int32_t& state = StepState(pot);

    TlvNode e0;
    if (TLV_SearchTag(&e0, const_cast<unsigned char*>(answer), data, 0xE0, nullptr) == 1) {
        uint16_t key = 0;
        int flag = 1;
        if (TLV_GetUShort(&e0, 0xDFA205, &key, &flag) > 0 && key == 27) return -1;
        unsigned char status[257];
        int n = sizeof status;
        if (TLV_GetBytes(&e0, 0x48, status, &n) > 0) return (status[0] & 0x01) != 0 ? 1 : -1;
    }
    TlvNode other;
    if (TLV_SearchTag(&other, const_cast<unsigned char*>(answer), data, 0xE6, nullptr) == 1 &&
        TLV_SearchTag(&other, const_cast<unsigned char*>(answer), data, 0xC3, nullptr) == 1)
        return 1;
    if (sw == 0x9F23 || sw == 0x9F0D) {
        state = RUDA_OUTCOME_CARD_GONE;
        if (step == RUDA_STEP_READ_RECORD) FlushRecords(pot, argument);
        return 1;
    }

    switch (step) {
        case RUDA_STEP_SELECT: return AnalyseSelect(pot, answer, length, sw, caller);
        case RUDA_STEP_GPO: return AnalyseGpo(pot, answer, length, sw);
        case RUDA_STEP_READ_RECORD: return AnalyseReadRecord(pot, answer, length, argument);
        case RUDA_STEP_PIN_TRY_COUNTER: AnalysePinTryCounter(pot, answer, length, sw); return 1;
        case RUDA_STEP_FIRST_AC:
        case RUDA_STEP_SECOND_AC:
            return AnalyseGenerateAc(pot, answer, length, sw, step == RUDA_STEP_FIRST_AC);
        case RUDA_STEP_EXTERNAL_AUTH:
            state = sw == 0x9000 ? RUDA_OUTCOME_DONE : RUDA_OUTCOME_EXTERNAL_AUTH;
            return 1;
        case RUDA_STEP_CALLER_APDU:
        case RUDA_STEP_CALLER_APDU_2: {
            const int sw1 = sw >> 8;
            state = sw1 == 0x62 || sw1 == 0x63 || sw1 == 0x90 ? RUDA_OUTCOME_DONE : RUDA_OUTCOME_SW_REFUSED;
            return 1;
        }
        case RUDA_STEP_INTERNAL_AUTH: AnalyseInternalAuth(pot, answer, length, sw); return 1;
        case RUDA_STEP_GET_DATA:
            return AnalyseGetData(pot, answer, length, sw, argument != nullptr ? argument->tag : 0);
        case RUDA_STEP_VERIFY_PIN: AnalyseVerifyPin(pot, answer, length, sw); return 1;
        case RUDA_STEP_SELECT_GIVEN:
            return CopyToCaller(caller, answer, length,
                                "-- ERROR -- RUDA_AnalyseResponse: Not enougth place to store select response")
                       ? 1
                       : -1;
        case RUDA_STEP_READ_BINARY:
        case RUDA_STEP_GET_RESPONSE: {
            state = (sw >> 8) == 0x9F || sw == 0x9000 ? RUDA_OUTCOME_DONE : RUDA_OUTCOME_SW_REFUSED;
            const char* message =
                step == RUDA_STEP_READ_BINARY
                    ? "-- ERROR -- EMV_AnalyseResponseReadBinary: Not enougth place to store Read binary response"
                    : "-- ERROR -- EMV_AnalyseResponseGetResponse: Not enougth place to store Get Response response";
            return CopyToCaller(caller, answer, length, message) ? 1 : -1;
        }
        default: return -1;
    }
}

int RUDA_DealEmvAnswer(POT* pot, const unsigned char* answer, int length,
                       const RudaStepArgument* argument, RudaCallerBuffer* caller) {
    if (pot == nullptr) return 32;
    pot->busy = 1;
    pot->result = 0;
    if (RUDA_AnalyseResponse(pot, answer, length, argument, caller) < 0) return 32;
    pot->busy = 0;
    return 0;
}

int DATA_to_POT(const unsigned char* data, int length, POT* pot) {
    if (pot == nullptr || data == nullptr || length < 0) return -1;
    RudaBytes element;
    if (!RUDA_AppendElement(element, DRN_TAG_CARD_DATA, data, length)) return -1;
    const int r = DRN_DealEMVAnswerDatas(element.data(), static_cast<int>(element.size()), pot);
    std::memset(element.data(), 0, element.size());
    return r == 0 ? 1 : -1;
}

int RUDA_CheckAfl(const unsigned char* afl, int length) {
    if (length < 4) {
        g_recordsRoom = kRecordsRoomStart;
        return 1;
    }
    if (afl == nullptr || length % 4 != 0) return 0;
    long room = kRecordsRoomStart;
    for (int at = 0; at < length; at += 4) {
        const int sfi = afl[at] >> 3;
        const int first = afl[at + 1];
        const int last = afl[at + 2];
        const int offline = afl[at + 3];
        if (sfi < 1 || sfi > 30 || first == 0 || last < first || offline > last - first + 1) return 0;
        room += static_cast<long>(last - first + 1) * kRecordRoom;
    }
    // The area of a card already being read keeps its size.
    if (g_records == nullptr) g_recordsRoom = static_cast<int>(room);
    return 1;
}

int RUDA_CheckFci(const unsigned char* data, int length) {
    FciCounts counts;
    if (data == nullptr || length < 0 || !CheckFciLevel(data, length, 0, counts, 0) || counts.a5 != 1 ||
        counts.df84 != 1 || counts.label > 1)
        return RUDA_OUTCOME_MALFORMED;
    return 0;
}

void RUDA_SetRecordSlots(POT* pot, int32_t value) {
    if (pot == nullptr) return;
    int32_t* slots[] = {
        &pot->expiryDate.length,      &pot->pan.length,
        &pot->applicationVersion.length, &pot->cdol1.length,
        &pot->cdol2.length,           &pot->track2Equivalent.length,
        &pot->tag9f14.flag,           &pot->tag9f23.flag,
        &pot->tag9f42.flag,           &pot->tag9f44.flag,
        &pot->tag9f05.length,         &pot->effectiveDate.length,
        &pot->panSequenceNumber.flag, &pot->tag9f07.length,
        &pot->cardholderName.length,  &pot->tag9f0b.length,
        &pot->cvmList.length,         &pot->iacDefault.length,
        &pot->iacDenial.length,       &pot->iacOnline.length,
        &pot->countryCode.flag,       &pot->serviceCode.length,
        &pot->tdol.length,            &pot->ddol.length,
        &pot->caKeyIndex.length,      &pot->tag9f2d.length,
        &pot->tag9f2e.length,         &pot->tag9f2f.length,
        &pot->tag9f46.length,         &pot->tag9f47.length,
        &pot->tag9f48.length,         &pot->issuerKeyCertificate.length,
        &pot->tag9f32.length,         &pot->issuerKeyRemainder.length,
        &pot->tag9f1f.length,         &pot->tag9f20.length,
        &pot->signedStaticData.length, &pot->tag9f4a.length,
    };
    for (int32_t* s : slots) *s = value;
    for (int i = 0; i < 4; ++i) {
        pot->currencyCodes9f3b[i].flag = value;
        pot->exponents9f43[i].flag = value;
    }
    // Read from GET PROCESSING OPTIONS already: only when not filled.
    int32_t* proximity[] = {&pot->tag9f24.length, &pot->tag9f19.length, &pot->tag9f25.length};
    for (int32_t* s : proximity)
        if (*s == 0 || *s > 0xFFFE) *s = value;
}

namespace {

// The AFL of the record as bytes, when it is there and passes the check.
bool AflBytes(const POT* pot, RudaBytes& afl) {
    if (pot == nullptr || pot->afl.length <= 0 || pot->afl.length > PotText<252>::kCapacity) return false;
    afl.clear();
    if (!RUDA_HexToBytes(pot->afl.text, pot->afl.length, afl) || afl.size() % 4 != 0) return false;
    for (size_t at = 0; at < afl.size(); at += 4) {
        const int sfi = afl[at] >> 3;
        if (sfi < 1 || sfi > 30 || afl[at + 1] == 0 || afl[at + 2] < afl[at + 1]) return false;
    }
    return true;
}

}  // namespace

int RUDA_AflRecordCount(const POT* pot) {
    RudaBytes afl;
    if (!AflBytes(pot, afl)) return 0;
    int count = 0;
    for (size_t at = 0; at < afl.size(); at += 4) count += afl[at + 2] - afl[at + 1] + 1;
    return count;
}

bool RUDA_AflRecord(const POT* pot, int index, RudaStepArgument* argument) {
    RudaBytes afl;
    if (argument == nullptr || index < 0 || !AflBytes(pot, afl)) return false;
    const int total = RUDA_AflRecordCount(pot);
    int seen = 0;
    for (size_t at = 0; at < afl.size(); at += 4) {
        const int records = afl[at + 2] - afl[at + 1] + 1;
        if (index < seen + records) {
            argument->p1 = static_cast<uint8_t>(afl[at + 1] + (index - seen));
            argument->p2 = (afl[at] & 0xF8) | 0x04;
            argument->recordFlag = index == total - 1 ? RUDA_RECORD_LAST : RUDA_RECORD_MORE;
            return true;
        }
        seen += records;
    }
    return false;
}

void RUDA_ResetCardDialogue() {
    FreeRecords();
    g_recordsRoom = kRecordsRoomStart;
}

int RUDA_RecordsRoom() { return g_records != nullptr ? g_recordsRoom : 0; }
int RUDA_RecordsFilled() { return g_records != nullptr ? g_recordsFilled : -1; }

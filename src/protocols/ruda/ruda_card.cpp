// RUDA card reading: requests and answers.
#include "protocols/ruda/ruda_card.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/ruda/ruda_extract.h"

namespace {

const unsigned char kLe = 0x00;

int Apdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data, bool le,
         unsigned char** apdu, int* length) {
    return RUDA_BuildApdu(cla, ins, p1, p2, data.empty() ? nullptr : data.data(), static_cast<int>(data.size()),
                          le ? &kLe : nullptr, 0, apdu, length) == RUDA_APDU_BUILT
               ? 1
               : 0;
}

int Sw(const unsigned char* answer, int length) { return RUDA_GetSw(answer, length); }

// The answer's data (without its status word) as a node.
TlvNode DataNode(const unsigned char* answer, int length) {
    TlvNode n;
    n.value = const_cast<unsigned char*>(answer);
    n.lg = length >= 2 ? length - 2 : 0;
    return n;
}

bool FindIn(const TlvNode& in, unsigned int tag, TlvNode* out) {
    return in.lg > 0 && TLV_SearchTag(out, in.value, in.lg, tag, nullptr) == 1;
}

// The template of an answer: the element whose tag is the answer's first
// byte, or the whole answer data as the value of `fallbackTag`.
TlvNode AnswerTemplate(const unsigned char* answer, int length, unsigned int fallbackTag) {
    TlvNode data = DataNode(answer, length);
    TlvNode first;
    if (data.lg > 0 && TLV_ParseElementEx(&first, data.value, data.lg) == 1 && first.value > data.value &&
        first.tag == answer[0])
        return first;
    data.tag = fallbackTag;
    return data;
}

void SetEventText(CardReadRecord* r, const char* text, int length) {
    std::memset(r->eventData, 0, sizeof r->eventData);
    std::strncpy(r->eventData, text, kCardEventDataMax);
    r->eventLength = length;
}

bool Has(TlvNode* t, unsigned int tag) {
    TlvNode found;
    return FindIn(*t, tag, &found);
}

bool StartsWith(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string HexOf(TlvNode* t, unsigned int tag, int room) {
    std::string text(static_cast<size_t>(room) + 2, '\0');
    int length = room + 1;
    if (TLV_GetHex(t, tag, text.data(), &length) <= 0) return {};
    text.resize(static_cast<size_t>(length));
    return text;
}

// DFC037, the contactless kernel's word: "26" card expired, "279000" card
// not genuine, "42" collision.
void KernelWords(TlvNode* t, CardReadRecord* r) {
    const std::string word = HexOf(t, 0xDFC037, 10);
    WSysError("** INFO. ** DFC037 = %s", word.c_str());
    if (word.rfind("26", 0) == 0)
        SetEventText(r, "EXPCARD", 8);
    else if (word.rfind("279000", 0) == 0)
        SetEventText(r, "CNG", 4);
    else if (word.rfind("42", 0) == 0)
        SetEventText(r, "COLL", 5);
}

// Keeps the contactless answer: its leading byte and the template's value.
bool StoreCtls(CardReadRecord* r, const TlvNode& t, uint8_t leading) {
    std::memset(&r->ctlsData, 0, sizeof r->ctlsData);
    if (t.lg > kCtlsDataMax) {
        WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 : Pas assez de place pour stocker la reponse de la carte");
        return false;
    }
    r->ctlsData.outcome = leading;
    if (t.lg > 0) std::memcpy(r->ctlsData.bytes, t.value, static_cast<size_t>(t.lg));
    r->ctlsData.length = t.lg;
    return true;
}

void ExtractCtls(TlvNode* t, CardReadRecord* r, TerminalResultArea* a, bool candidatesOnlyWhenNone) {
    RUDA_LogCtlsResult(t, r);
    if (!candidatesOnlyWhenNone || a->candidateCount == 0) RUDA_AddCandidateFrom84(t, a);
    if (a->candidateCount == 0) RUDA_AddCandidateFrom4F(t, a);
    if (a->candidateCount == 0) RUDA_AddCandidateFrom9F06(t, a);
    RUDA_AddCandidateLabel(t, a);
    RUDA_GetPreferredName(t, a);
    RUDA_AddPriorityIndicator(t, a);
    RUDA_AddCodeTableIndex(t, a);
    RUDA_GetLanguagePreference(t, a);
    RUDA_AddPdol(t, a);
    RUDA_AddFciDiscretionary(t, a);
    a->peripheralFlag = 1;
    std::memcpy(a->peripheralCode, "7001", 5);
}

void CtlsTracks(TlvNode* t, TerminalResultArea* a) {
    RUDA_GetCtlsTrack1(t, a);
    if (RUDA_GetCtlsTrack2(t, a) != 0) RUDA_GetTrack2Equivalent(t, a);
    RUDA_GetFF7F(t, a);
}

void Present(CardReadRecord* r, int32_t status) {
    r->technology = CARD_TECH_CONTACTLESS;
    r->presentCount = 1;
    r->status = status;
    r->answerValid = 1;
}

int NoFallback(CardReadRecord* r, const char* warning) {
    SetEventText(r, "NOFB", 5);
    Present(r, 2);
    WSysError("%s", warning);
    return RUDA_STATUS_NOT_YET;
}

std::string FirstAid(const TerminalResultArea* a) { return a->candidateCount > 0 ? a->candidates[0] : ""; }

// The card of this one combination of answers is refused without fallback
// (kernel 99 on a card known to need it), whatever else it carries.
bool KernelNinetyNineCard(TlvNode* t, const TerminalResultArea* a) {
    uint32_t kernel = 0;
    return RUDA_GetDF61(t, &kernel) == 0 && kernel == 0x99 && a->candidateCount > 0 &&
           StartsWith(a->candidates[0], "A000000004") && strcasecmp(HexOf(t, 0x5A, 32).c_str(), "5071009999501905") == 0 &&
           strcasecmp(HexOf(t, 0x9F07, 32).c_str(), "AB00") == 0 &&
           strcasecmp(HexOf(t, 0x94, 100).c_str(), "080101001001020118010400") == 0;
}

int DebugWord(TlvNode* t) {
    unsigned char word[2];
    if (RUDA_GetCtlsDebugData(t, word, 0, 2) != 0) return -1;
    return word[0] << 8 | word[1];
}

int FirstGroup(const unsigned char* answer, int length, int sw, TlvNode* t, CardReadRecord* r,
               TerminalResultArea* a) {
    if (length <= 2) return RUDA_STATUS_NOT_YET;
    r->presentCount = r->dataValid = r->origin = r->answerValid = 1;
    r->technology = CARD_TECH_CONTACTLESS;
    r->status = 0;
    r->errorSource = 0;
    r->busy = 0;
    KernelWords(t, r);
    if (!StoreCtls(r, *t, answer[0])) return RUDA_STATUS_INTERNAL;
    std::memset(a, 0, sizeof *a);
    ExtractCtls(t, r, a, false);
    CtlsTracks(t, a);

    uint32_t kernel = 0;
    const bool kernel99 = RUDA_GetDF61(t, &kernel) == 0 && kernel == 0x99;
    if (sw == 0x9000 && answer[0] == 0xE3 && KernelNinetyNineCard(t, a))
        return NoFallback(r, "<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9000 mais KERNEL ID a 99");
    if (sw == 0x9F33 || sw == 0x9F34) {
        if (kernel99)
            return NoFallback(r, "<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F34 ou 9F33 : KERNEL ID a 99, Refus de la transaction");
        const bool noCardData = !Has(t, 0x5A) && !Has(t, 0x57) && !Has(t, 0x5F21) && !Has(t, 0x5F22) &&
                                !Has(t, 0x9F6B);
        if (StartsWith(FirstAid(a).c_str(), "A000000042") && !Has(t, 0x9F2A) && !Has(t, 0xDF61) && noCardData) {
            const int word = DebugWord(t);
            if (word == 0x6984 || word == 0x6985 || word == 0x6986 || word == 0x0000) {
                Present(r, 2);
                WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F33 et SW1SW2 DEBUG CTLS = 6984 ou 6985 ou 6986 ou 0000 : On passe a un autre type de lecture");
            } else {
                Present(r, 4);
                WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F34 ou 9F33 : 9F2A et DF61 sont absents, on redemarre la transaction");
            }
            return RUDA_STATUS_NOT_YET;
        }
        if (RUDA_Has5A(t) == 0 && RUDA_HasDF25(t) != 0) {
            WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F33 ou 9f34 : LE PAN est present donc on se connecte au serveur");
            return RUDA_STATUS_DONE;
        }
        if (RUDA_HasDF25(t) == 0) {
            WSysError("@@ DEBUG @@ Mobile magstripe interdit + pas de repli");
            SetEventText(r, "NOFB", 5);
        }
        Present(r, 2);
        WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F33 : On passe a un autre type de lecture");
        return RUDA_STATUS_NOT_YET;
    }
    if (RUDA_HasDF25(t) == 0) {
        WSysError("@@ DEBUG @@ Mobile magstripe interdit + pas de repli");
        SetEventText(r, "NOFB", 5);
        Present(r, 2);
        return RUDA_STATUS_NOT_YET;
    }
    WSysError("@@ DEBUG @@ Reponse Start CTLS TRS SW1-SW2 9000");
    return RUDA_STATUS_DONE;
}

int Accepted(TlvNode* t, CardReadRecord* r, TerminalResultArea* a) {
    r->dataValid = r->origin = r->answerValid = 1;
    r->status = 0;
    r->errorSource = 0;
    r->busy = 0;
    KernelWords(t, r);
    if (!StoreCtls(r, *t, 0xE5)) return RUDA_STATUS_INTERNAL;
    ExtractCtls(t, r, a, true);
    RUDA_GetFF7F(t, a);
    return RUDA_STATUS_DONE;
}

int NoCandidateGroup(int sw, TlvNode* t, CardReadRecord* r, TerminalResultArea* a, int restart) {
    r->technology = CARD_TECH_CONTACTLESS;
    r->presentCount = 1;
    r->answerValid = 1;
    if (restart >= 1 && sw == 0x9F28) {
        r->status = 4;
        return RUDA_STATUS_NOT_YET;
    }
    r->status = 2;
    if (sw == 0x9F28) {
        // One candidate of this identifier with kernel 10 and a card number.
        TerminalResultArea found{};
        RUDA_AddCandidateFrom84(t, &found);
        RUDA_AddCandidateFrom4F(t, &found);
        RUDA_AddCandidateFrom9F06(t, &found);
        uint32_t kernel = 0;
        if (found.candidateCount == 1 && strcasecmp(found.candidates[0], "A0000000420104") == 0 &&
            RUDA_GetDFC036(t, &kernel) == 0 && kernel == 0x10 && RUDA_Has5A(t) == 0)
            return Accepted(t, r, a);

        if (a->candidateCount == 0) RUDA_AddCandidateFrom84(t, a);
        if (a->candidateCount == 0) RUDA_AddCandidateFrom4F(t, a);
        if (a->candidateCount == 0) RUDA_AddCandidateFrom9F06(t, a);
        if (StartsWith(FirstAid(a).c_str(), "A000000004") && RUDA_GetTrack2Equivalent(t, a) == 0) {
            if (DebugWord(t) == 0x6985)
                WSysError("<< WARN. >> 9F28 et Magstripe : Tag DF4B absent mais 9f6B present et SW1SW2 DEBUG CTLS =  6985 : On change les mots d'états pour faire un fallback par le serveur");
            WSysError("<< WARN. >> 9F28 et Magstripe : Tag DF4B absent mais 9f6B present on part au serveur");
            r->dataValid = r->origin = 1;
            return Accepted(t, r, a);
        }
        if (a->candidateCount > 0 && !StartsWith(FirstAid(a).c_str(), "A000000042")) {
            if (RUDA_CheckMandatoryData(t) != 0) {
                WSysError("<< WARN. >> Missing mandatory data: On relance la transaction");
                r->status = 4;
                return RUDA_STATUS_NOT_YET;
            }
        } else if (RUDA_Has5A(t) == 0 || RUDA_Has48(t) == 0) {
            WSysError("<< WARN. >> 9F28 mais PAN donc on part au serveur");
            r->dataValid = r->origin = 1;
            return Accepted(t, r, a);
        } else if (a->candidateCount == 0) {
            WSysError("<< WARN. >> 9F28 sans AID donc on redémarre la transaction");
            r->status = 4;
            return RUDA_STATUS_NOT_YET;
        }
    }
    if (RUDA_GetTrack2Equivalent(t, a) == 0 || RUDA_GetCtlsTrack2(t, a) == 0 || RUDA_GetChipTrack2(t, a) == 0)
        return Accepted(t, r, a);
    KernelWords(t, r);
    if (sw == 0x9F31) SetEventText(r, "COLL", 5);
    WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F28/9F34/9F31 :  On passe a un autre type de lecture");
    return RUDA_STATUS_NOT_YET;
}

int KeyCode(TlvNode* e0, CardReadRecord* r) {
    char letter = '\0';
    TlvNode key;
    if (!FindIn(*e0, 0xDFA205, &key) || RUDA_GetKeyCode(e0, &letter) != 1) return -1;
    std::memset(r->eventData, 0, sizeof r->eventData);
    r->eventData[0] = letter;
    r->eventLength = 1;
    r->technology = CARD_TECH_KEYBOARD;
    r->presentCount = 1;
    return RUDA_STATUS_DONE;
}

int CancelledByHolder(CardReadRecord* r) {
    r->answerValid = 1;
    r->status = 1;
    r->errorSource = 10;
    return RUDA_STATUS_INTERNAL;
}

bool KeyProblem(int sw) { return sw == 0x9F55 || sw == 0x9F54 || sw == 0x9F53 || sw == 0x9F51; }

}  // namespace

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

int RUDA_BuildCardStatusRequest(CardReadRecord* record, bool event, unsigned char** apdu, int* length) {
    if (record == nullptr) return -1;
    if (event) record->mode = 1;
    const RudaBytes none;
    switch (record->mode) {
        case 1: {
            uint8_t p1 = 0x81;
            if (record->chipRequested == 1) p1 = (record->chipOptions & 0x10) != 0 ? 0x03 : 0x01;
            if (record->isoRequested != 1)
                p1 |= 0x40;
            else if ((record->isoOptions & 0x10) != 0)
                p1 |= 0x1C;
            const uint8_t p2 = record->keyAbortRequested == 1 && record->keyAbortRequestedByte == 1 ? 0x01 : 0x00;
            return Apdu(0xD0, 0x60, p1, p2, none, false, apdu, length);
        }
        case 2: return Apdu(0xD0, 0x60, 0x02, 0x00, none, false, apdu, length);
        case 4: return Apdu(0xD0, 0x61, 0x03, 0x00, none, false, apdu, length);
        case 8: return Apdu(0xD0, 0x61, 0x00, 0x00, none, false, apdu, length);
        default: return Apdu(0xD0, 0x60, 0x00, 0x00, none, false, apdu, length);
    }
}

int RUDA_BuildSelectAidRequest(unsigned char** apdu, int* length) {
    unsigned char aid[16];
    int n = 0;
    RUDA_NextCandidateAid(aid, &n);
    return Apdu(0x00, 0xA4, 0x04, 0x00, RudaBytes(aid, aid + n), true, apdu, length);
}

int RUDA_BuildFixedRequest(int operation, int number, unsigned char** apdu, int* length) {
    const RudaBytes none;
    switch (operation) {
        case 14: return Apdu(0xD0, 0xFF, 0x00, 0x00, none, false, apdu, length);
        case 130: return Apdu(0xC0, 0x01, 0x00, 0x00, none, false, apdu, length);
        case 132: return Apdu(0xC0, 0xC0, 0x00, 0x00, none, false, apdu, length);
        case 159: return Apdu(0xD0, 0x5F, static_cast<uint8_t>(number), 0x00, none, false, apdu, length);
        case 180: return Apdu(0xD0, 0x60, 0x02, 0x00, none, false, apdu, length);
        default: return 0;
    }
}

int RUDA_BuildCtlsStartRequest(const CtlsTransactionData* data, int country, unsigned char** apdu,
                               int* length) {
    RudaBytes e0;
    if (data == nullptr || RUDA_BuildAmountTemplate(e0, data, country) != 0) return 0;
    if (e0.size() > static_cast<size_t>(kRudaShortDataMax)) return 0;
    return Apdu(0xC0, 0xA0, 0x01, 0x00, e0, false, apdu, length);
}

int RUDA_BuildPrevalRequest(int operation, POT* pot, const RudaCandidateEntry* candidates,
                            const RudaContinueValues* values, unsigned char** apdu, int* length) {
    if (pot == nullptr) return 0;
    RudaBytes e0;
    int r = 1;
    uint8_t ins = 0xD2;
    switch (operation) {
        case 181:
            ins = 0xD1;
            r = RUDA_BuildPrevalTemplate(e0, pot);
            break;
        case 182:
            if (candidates == nullptr) return 0;
            r = RUDA_BuildCandidateTemplate(e0, pot, candidates);
            break;
        case 183:
            if (values == nullptr) return 0;
            r = RUDA_BuildContinueTemplate(e0, pot, values->version, values->floorLimit, values->first,
                                           values->second, values->third);
            break;
        case 184: r = RUDA_BuildOnlineResultTemplate(e0, pot); break;
        default: return 0;
    }
    if (r != 0 || e0.size() > static_cast<size_t>(kRudaShortDataMax)) return 0;
    return Apdu(0xDE, ins, 0x00, 0x00, e0, false, apdu, length);
}

int RUDA_BuildOnlinePinRequest(RudaPinRecord* record, unsigned char** apdu, int* length) {
    if (record == nullptr) return 0;
    record->status = 1;
    RudaBytes e;
    const unsigned char dfec05 = record->dfec05;
    RUDA_AppendElement(e, 0xDFEC05, &dfec05, 1);
    const auto bcd = [&](unsigned int tag, int64_t value, int digits) {
        char text[16];
        if (value < 0 || std::snprintf(text, sizeof text, "%0*lld", digits, static_cast<long long>(value)) != digits)
            return;
        RudaBytes b;
        if (RUDA_HexToBytes(text, digits, b)) RUDA_AppendElement(e, tag, b.data(), static_cast<int>(b.size()));
    };
    bcd(0xDFED0D, record->dfed0d, 4);
    bcd(0xDF17, record->amount, 12);
    bcd(0xDF24, record->df24, 4);
    const unsigned char df1c = record->df1c;
    RUDA_AppendElement(e, 0xDF1C, &df1c, 1);
    const size_t panLength = strnlen(record->pan, sizeof record->pan);
    const size_t altLength = strnlen(record->alternative, sizeof record->alternative);
    RudaBytes hex;
    if (record->panSelector == 0 && panLength > 0 && RUDA_HexToBytes(record->pan, static_cast<int>(panLength), hex))
        RUDA_AppendElement(e, 0x5A, hex.data(), static_cast<int>(hex.size()));
    else if (record->panSelector == 1 && altLength > 0 &&
             RUDA_HexToBytes(record->alternative, static_cast<int>(altLength), hex))
        RUDA_AppendElement(e, 0xDFEC7C, hex.data(), static_cast<int>(hex.size()));
    if (record->dfed08Flag != 0) RUDA_AppendElement(e, 0xDFED08, &record->dfed08, 1);
    const unsigned char four = 0x04;
    RUDA_AppendElement(e, 0xDFED04, &four, 1);
    if (record->dfed05 > 0) {
        const unsigned char b = static_cast<unsigned char>(record->dfed05);
        RUDA_AppendElement(e, 0xDFED05, &b, 1);
    }
    if (record->dfa20e > 0 && record->dfa20e < 10000) bcd(0xDFA20E, record->dfa20e, 4);
    RudaBytes e0;
    RUDA_AppendElement(e0, 0xE0, e.data(), static_cast<int>(e.size()));
    const uint8_t p1 = record->p1Flag != 0 ? record->p1 : 0x02;
    const int built = e0.size() <= static_cast<size_t>(kRudaShortDataMax) ? Apdu(0xDE, 0xD6, p1, 0x00, e0, false, apdu, length) : 0;
    record->status = 0;
    return built;
}

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

int RUDA_CheckCardRemoval(unsigned char* answer, int* length) {
    if (answer == nullptr || length == nullptr) return 0;
    TlvNode data = DataNode(answer, *length);
    TlvNode e0;
    if (!FindIn(data, 0xE0, &e0) || RUDA_Has48(&e0) != 0) return 0;
    std::memset(answer, 0, static_cast<size_t>(*length));
    answer[0] = 0x9F;
    answer[1] = 0x0D;
    *length = 2;
    WSysError("** INFO. ** [analyseDetectionRetraitCarte] Retrait carte detecte");
    return 1;
}

int RUDA_DealEventAnswer(const unsigned char* answer, int length, CardReadRecord* record) {
    if (record == nullptr) return RUDA_STATUS_INTERNAL;
    const int sw = Sw(answer, length);
    if (sw == 0x9F41) return CancelledByHolder(record);
    if (sw != 0x9000) return RUDA_STATUS_INTERNAL;
    TlvNode data = DataNode(answer, length);
    TlvNode e0;
    if (!FindIn(data, 0xE0, &e0)) {
        WSysError("** INFO. ** RUDA_DealRUDACARD_STATUSAnswer Tag E0 non trouve");
        return RUDA_STATUS_PROTO_ERROR;
    }
    if (KeyCode(&e0, record) == RUDA_STATUS_DONE) return RUDA_STATUS_DONE;
    const int r = RUDA_DecodeCardStatus(&e0, record);
    if (r == 0) {
        RUDA_GetTrack2(&e0, record);
        RUDA_GetTrack1(&e0, record);
        RUDA_GetTrack3(&e0, record);
    }
    return r;
}

int RUDA_DealRUDACARD_STATUSAnswer(const unsigned char* answer, int length, CardReadRecord* record,
                                   TerminalResultArea* area, int restart) {
    if (record == nullptr || area == nullptr) return RUDA_STATUS_INTERNAL;
    const int sw = Sw(answer, length);
    if (sw == 0x9F41) return CancelledByHolder(record);
    if (KeyProblem(sw)) {
        record->status = 6;
        record->answerValid = 1;
        record->errorSource = 2;
        return RUDA_STATUS_ENCKEY;
    }
    const bool goesOn = sw == 0x9000 || sw == 0x9F28 || sw == 0x9F31 || (sw >= 0x9F33 && sw <= 0x9F37);
    if (!goesOn) return RUDA_STATUS_INTERNAL;
    if (record->mode != 1 && record->mode != 2 && record->mode != 4) return RUDA_STATUS_DONE;

    TlvNode data = DataNode(answer, length);
    TlvNode e0;
    if (!FindIn(data, 0xE0, &e0)) {
        WSysError("** INFO. ** RUDA_DealRUDACARD_STATUSAnswer Tag E0 non trouve");
        WSysError("** INFO. ** RUDA_DealRUDACARD_STATUSAnswer On regarde alors si on fait du CTL");
        return RUDA_DealStartCtlsAnswer(answer, length, record, area, restart);
    }
    if (KeyCode(&e0, record) == RUDA_STATUS_DONE) return RUDA_STATUS_DONE;
    const int r = RUDA_DecodeCardStatus(&e0, record);
    if (r != 0) return r;
    area->peripheralFlag = 1;
    std::memcpy(area->peripheralCode, "2801", 5);
    if (record->technology >= CARD_TECH_ISO1 && record->technology <= CARD_TECH_ISO3) {
        record->dataValid = 1;
        record->origin = 3;
        RUDA_GetTrack1(&e0, record);
        RUDA_GetTrack2(&e0, record);
        RUDA_GetTrack3(&e0, record);
        RUDA_AddFciDiscretionary(&e0, area);
        RUDA_AddCandidateLabel(&e0, area);
        RUDA_AddCodeTableIndex(&e0, area);
        RUDA_AddPriorityIndicator(&e0, area);
        RUDA_AddPdol(&e0, area);
        RUDA_GetLanguagePreference(&e0, area);
        RUDA_GetFF7F(&e0, area);
        return RUDA_STATUS_DONE;
    }
    record->dataValid = 1;
    record->origin = 1;
    return RUDA_GetTag63(&e0, record);
}

int RUDA_DealSelectAnswer(const unsigned char* answer, int length, TerminalResultArea* area) {
    if (area == nullptr) return RUDA_STATUS_INTERNAL;
    RUDA_AdvanceCandidateIndex();
    const int sw = Sw(answer, length);
    if (sw != 0x9000) return RUDA_STATUS_DONE;
    TlvNode data = DataNode(answer, length);
    TlvNode fci;
    TlvNode a5;
    if (!FindIn(data, 0x6F, &fci)) {
        WSysError("-- ERROR -- Reponse Select : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
        return RUDA_STATUS_PROTO_ERROR;
    }
    if (RUDA_AddCandidateFrom84(&fci, area) != 0 || !FindIn(fci, 0xA5, &a5)) return RUDA_STATUS_PROTO_ERROR;
    area->peripheralFlag = 1;
    std::memcpy(area->peripheralCode, "2801", 5);
    RUDA_AddFciDiscretionary(&a5, area);
    RUDA_AddCandidateLabel(&a5, area);
    RUDA_AddCodeTableIndex(&a5, area);
    RUDA_AddPriorityIndicator(&a5, area);
    RUDA_AddPdol(&a5, area);
    RUDA_GetLanguagePreference(&a5, area);
    return RUDA_STATUS_DONE;
}

int RUDA_DealAbortAnswer(const unsigned char* answer, int length) {
    const int sw = Sw(answer, length);
    if (sw == 0x9000) return RUDA_STATUS_DONE;
    if (sw == 0x9F50) {
        WSysError("-- ERROR -- Terminal bloque (cadenas)");
        return RUDA_STATUS_BLOCKED;
    }
    WSysError("-- ERROR -- Reponse ABORT : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
    return RUDA_STATUS_INTERNAL;
}

int RUDA_DealOpenCtlsAnswer(const unsigned char* answer, int length) {
    const int sw = Sw(answer, length);
    if (sw == 0x9000) return RUDA_STATUS_DONE;
    WSysError("-- ERROR -- Reponse OpenInit : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
    return RUDA_STATUS_INTERNAL;
}

int RUDA_DealPowerAnswer(const unsigned char* answer, int length) {
    if (Sw(answer, length) == 0x9000) return RUDA_STATUS_DONE;
    WSysError("-- ERROR -- Reponse Reset Device : cannot power ON/OFF card reader");
    return RUDA_STATUS_INTERNAL;
}

int RUDA_DealRUDA_CheckCardInserted_Answer(const unsigned char* answer, int length, int32_t* inserted) {
    if (inserted != nullptr) *inserted = 0;
    if (Sw(answer, length) != 0x9000) return RUDA_STATUS_INTERNAL;
    TlvNode data = DataNode(answer, length);
    TlvNode e0;
    if (!FindIn(data, 0xE0, &e0)) {
        WSysError("** INFO. ** RUDA_DealRUDA_CheckCardInserted_Answer No ATR");
        return RUDA_STATUS_DONE;
    }
    unsigned char status[257];
    int n = sizeof status;
    if (inserted != nullptr && TLV_GetBytes(&e0, 0x48, status, &n) > 0 && n > 0) *inserted = status[0] & 0x01;
    return RUDA_STATUS_DONE;
}

int RUDA_DealCancelCtlsAnswer(const unsigned char* answer, int length, CardReadRecord* record,
                              TerminalResultArea* area) {
    const int sw = Sw(answer, length);
    if (sw == 0x9FFF) return RUDA_STATUS_BUSY;
    const bool goesOn = sw == 0x9000 || sw == 0x9F28 || sw == 0x9F31 || (sw >= 0x9F33 && sw <= 0x9F37);
    if (!goesOn) {
        WSysError("-- ERROR -- Reponse Cancel CTLS TRS : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
        return RUDA_STATUS_INTERNAL;
    }
    if (length <= 2) return RUDA_STATUS_NOT_YET;
    TlvNode data = DataNode(answer, length);
    if (length > 7 && area != nullptr) {
        TlvNode key;
        if (FindIn(data, 0xDFA205, &key)) return RUDA_STATUS_TRY_OTHER;
        return RUDA_DealStartCtlsAnswer(answer, length, record, area, -1);
    }
    TlvNode result;
    if (FindIn(data, 0xDFDF30, &result)) RUDA_LogCtlsResult(&data, record);
    return RUDA_STATUS_DONE;
}

int RUDA_DealStartCtlsAnswer(const unsigned char* answer, int length, CardReadRecord* record,
                             TerminalResultArea* area, int restart) {
    if (record == nullptr) return -1;
    if (area == nullptr || answer == nullptr || length < 2) return RUDA_STATUS_INTERNAL;
    const int sw = Sw(answer, length);
    TlvNode t = AnswerTemplate(answer, length, 0xE9);
    switch (sw) {
        case 0x9000:
        case 0x9F33:
        case 0x9F34: return FirstGroup(answer, length, sw, &t, record, area);
        case 0x9F51:
        case 0x9F53:
        case 0x9F54:
        case 0x9F55:
            WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 %02X%02X : Key Exchange must be done", sw >> 8,
                      sw & 0xFF);
            return RUDA_STATUS_ENCKEY;
        case 0x9F35:
        case 0x9F37: {
            Present(record, 4);
            TlvNode whole = DataNode(answer, length);
            whole.tag = 0xE9;
            if (RUDA_Has5A(&whole) == 0 || RUDA_Has57(&whole) == 0) {
                if (!StoreCtls(record, whole, answer[0])) return RUDA_STATUS_INTERNAL;
                ExtractCtls(&whole, record, area, false);
                CtlsTracks(&whole, area);
            }
            RUDA_GetDFC03B(&whole, record);
            WSysError(sw == 0x9F35 ? "<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F35 : CTLS Voir Mobile"
                                   : "<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F37 : Carte retiree trop vite");
            return RUDA_STATUS_NOT_YET;
        }
        case 0x9F28:
        case 0x9F31: return NoCandidateGroup(sw, &t, record, area, restart);
        case 0x9F11:
            WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F11 : CTLS non actif");
            return RUDA_STATUS_CTLS_INACTIVE;
        case 0x9F21:
            WSysError("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9F21 : CTLS Erreur de syntaxe");
            return RUDA_STATUS_CTLS_INACTIVE;
        case 0x9F24: return RUDA_STATUS_OUT_OF_SEQUENCE;
        case 0x9F36:
            WSysError("** INFO. ** Reponse 9F36 : Retrait de la carte demande et attente nouveau message de RUDA");
            Present(record, 7);
            return RUDA_STATUS_NOT_YET;
        default:
            WSysError("-- ERROR -- Reponse Start CTLS TRS Autre erreur : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
            return RUDA_STATUS_INTERNAL;
    }
}

int RUDA_DealOnlinePinAnswer(const unsigned char* answer, int length, RudaPinRecord* record) {
    if (record == nullptr || answer == nullptr || length < 2) return RUDA_STATUS_INTERNAL;
    record->status = 1;
    record->after = 255;
    const int sw = Sw(answer, length);
    TlvNode data = DataNode(answer, length);
    unsigned char value[257];
    int n = sizeof value;
    if (sw == 0x9F41) {
        if (TLV_GetBytes(&data, 0xDFDF30, value, &n) > 0 && n > 0) {
            record->status = RUDA_PrintStatusResult(value, n);
        } else {
            WSysError("-- ERROR -- Deal OnlinePin answer : Recuperation du 0xDFDF30 echoue");
            record->status = RUDA_STATUS_PROTO_ERROR;
        }
        return record->status;
    }
    if (sw != 0x9000) {
        if (TLV_GetBytes(&data, 0xDFEC30, value, &n) > 0 && n > 0)
            RUDA_LogPinResult(value, n);
        else
            WSysError("-- ERROR -- Deal OnlinePin answer : Recuperation du DFEC30 echoue");
        WSysError("-- ERROR -- Deal OnlinePin answer : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
        record->status = RUDA_STATUS_PROTO_ERROR;
        return record->status;
    }
    // The PIN block goes to the record only, never to a trace; one longer
    // than the record's area is refused.
    std::memset(record->pinBlock, 0, sizeof record->pinBlock);
    record->pinBlockLength = 0;
    n = kRudaPinBlockMax + 1;
    unsigned char block[kRudaPinBlockMax + 1];
    if (TLV_GetBytes(&data, 0xDFED6C, block, &n) <= 0 || n == 0) {
        WSysError("-- ERROR -- Deal OnlinePin answer PIN BLOCK absent");
        std::memset(block, 0, sizeof block);
        record->status = RUDA_STATUS_PROTO_ERROR;
        return record->status;
    }
    std::memcpy(record->pinBlock, block, static_cast<size_t>(n));
    std::memset(block, 0, sizeof block);
    record->pinBlockLength = n;
    record->status = 0;
    unsigned char extra[kRudaPinDfed03Max + 1];
    n = sizeof extra;
    if (TLV_GetBytes(&data, 0xDFED03, extra, &n) > 0) {
        std::memcpy(record->dfed03, extra, static_cast<size_t>(n));
        record->dfed03Length = n;
    }
    return record->status;
}

int RUDA_DealPrevalAnswer(int operation, const unsigned char* answer, int length, POT* pot,
                          RudaCandidateRecord* candidates, int room) {
    if (pot == nullptr) {
        if (operation == 182) WSysError("-- ERROR -- [RUDA_DealRUDA_PrevalContinueTransaction_Answer] contexte incoherent");
        return RUDA_STATUS_INTERNAL;
    }
    if ((operation == 181 || operation == 182) && candidates == nullptr) return RUDA_STATUS_INTERNAL;
    if (answer == nullptr || length < 2) return RUDA_STATUS_PROTO_ERROR;
    const int sw = Sw(answer, length);
    const bool second = operation == 184;
    if (RUDAL2_CheckSwAnswer(pot, sw) != 0) {
        if (second)
            WSysError("-- ERROR -- RUDA_DealRUDA_SecondContinueTransaction_Answer(): erreur grave (%x)", sw);
        else
            WSysError("-- ERROR -- [RUDAL2_CheckSwAnswer] erreur grave (%x)", sw);
        return RUDA_STATUS_PROTO_ERROR;
    }
    const int kind = RUDAL2_CheckTypeAnswer(pot, answer[0]);
    if (kind == RUDA_STATUS_NOT_YET) return RUDA_STATUS_NOT_YET;
    if (kind != 0) {
        if (second)
            WSysError("-- ERROR -- RUDA_DealRUDA_SecondContinueTransaction_Answer(): erreur grave (%c)", answer[0]);
        else if (operation == 181)
            WSysError("-- ERROR -- [RUDAL2_CheckTypeAnswer] erreur grave (%x)", answer[0]);
        else
            WSysError("-- ERROR -- [RUDAL2_CheckTypeAnswer] erreur grave (%c)", answer[0]);
        return RUDA_STATUS_PROTO_ERROR;
    }
    TlvNode t = AnswerTemplate(answer, length, answer[0]);
    if (t.lg <= 0) {
        if (second)
            WSysError("-- ERROR -- RUDA_DealRUDA_SecondContinueTransaction_Answer(): pas de tlv, tag: %X, length: %d",
                      answer[0], length);
        else
            WSysError("-- ERROR -- [RUDA_DealRUDA_PrevalContinueTransaction_Answer] pas de tlv");
        return RUDA_STATUS_PROTO_ERROR;
    }
    const bool withCandidates = operation == 181 || operation == 182;
    if (RUDAL2_ExtractAllTag(&t, pot, withCandidates ? candidates : nullptr, room, operation) < 0)
        return RUDA_STATUS_PROTO_ERROR;
    return RUDA_STATUS_DONE;
}

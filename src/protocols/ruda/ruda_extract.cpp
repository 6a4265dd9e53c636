// RUDA answer extractors.
#include "protocols/ruda/ruda_extract.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <string>

#include "core/trace.h"
#include "protocols/ruda/ruda_apdu.h"

namespace {

constexpr int kCandidateHexRoom = 32;

// Bytes of an element of at most `room` bytes into out (room + 1 bytes, a
// zero byte behind); the getter's result, *length set.
int Bytes(TlvNode* tmpl, unsigned int tag, int room, unsigned char* out, int* length) {
    *length = room + 1;
    return TLV_GetBytes(tmpl, tag, out, length);
}

// Hexadecimal text of an element of at most `room` characters.
int Hex(TlvNode* tmpl, unsigned int tag, int room, std::string& text) {
    text.assign(static_cast<size_t>(room) + 2, '\0');
    int length = room + 1;
    const int r = TLV_GetHex(tmpl, tag, text.data(), &length);
    text.resize(r > 0 ? static_cast<size_t>(length) : 0);
    return r;
}

// Copies a text into a field of `width` characters and a NUL, cut to the
// field (with a warning line); the characters copied.
int CopyCut(char* field, int width, const char* text, int length, const char* what) {
    if (length > width) {
        WSysError("<< WARN. >> [RUDA] %s : %d caracteres, coupe a %d", what, length, width);
        length = width;
    }
    std::memset(field, 0, static_cast<size_t>(width) + 1);
    std::memcpy(field, text, static_cast<size_t>(length));
    return length;
}

void CardPresent(CardReadRecord* r) {
    r->presentCount = 1;
    r->dataValid = 1;
    r->origin = 0;
    r->answerValid = 1;
}

void ReplaceFirst(std::string& text, char from, char to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text[at] = to;
}

// Track-2 image: separators replaced, begins with 'B', ends with 'F'.
void FrameTrack2(std::string& text, bool fromBytes) {
    ReplaceFirst(text, ';', 'B');
    ReplaceFirst(text, '=', 'D');
    ReplaceFirst(text, '?', 'F');
    if (fromBytes) {
        ReplaceFirst(text, 'f', 'F');
        ReplaceFirst(text, 'd', 'D');
    }
    if (text.empty() || text.front() != 'B') text.insert(text.begin(), 'B');
    if (text.back() != 'F') text.push_back('F');
}

int StoreTrack2Image(TerminalResultArea* area, std::string& text, bool fromBytes) {
    FrameTrack2(text, fromBytes);
    area->ctlsTrack2Length = CopyCut(area->ctlsTrack2, kResultCtlsTrackMax, text.data(),
                                     static_cast<int>(text.size()), "Image piste 2");
    return 0;
}

int AddCandidate(TlvNode* tmpl, TerminalResultArea* area, unsigned int tag) {
    if (tmpl == nullptr || area == nullptr) return 1;
    if (area->candidateCount < 0 || area->candidateCount >= kResultCandidates) return 1;
    std::string text;
    if (Hex(tmpl, tag, kCandidateHexRoom, text) <= 0) return 1;
    char* entry = area->candidates[area->candidateCount];
    CopyCut(entry, kResultAidMax, text.data(), static_cast<int>(text.size()), "AID");
    ++area->candidateCount;
    return 0;
}

int Presence(TlvNode* tmpl, unsigned int tag, int room) {
    unsigned char value[257];
    int length = 0;
    if (Bytes(tmpl, tag, room, value, &length) <= 0 || length == 0) return 1;
    return value[0] != 0 ? 0 : 1;
}

int Number(TlvNode* tmpl, unsigned int tag, uint32_t* number) {
    if (tmpl == nullptr || number == nullptr) return 1;
    int flag = 1;
    return TLV_GetULong(tmpl, tag, number, &flag) > 0 ? 0 : 1;
}

int Number2(TlvNode* tmpl, unsigned int tag, uint32_t* number) {
    if (tmpl == nullptr || number == nullptr) return 1;
    uint16_t v = 0;
    int flag = 1;
    if (TLV_GetUShort(tmpl, tag, &v, &flag) <= 0) return 1;
    *number = v;
    return 0;
}

int HexInto(TlvNode* tmpl, unsigned int tag, int maxRoom, char* out, int room) {
    if (tmpl == nullptr || out == nullptr || room <= 0) return 1;
    std::string text;
    if (Hex(tmpl, tag, maxRoom, text) <= 0 || static_cast<int>(text.size()) > room) return 1;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

}  // namespace

void RUDA_ReplaceTrackSeparators(char* text) {
    if (text == nullptr) return;
    std::string t(text);
    ReplaceFirst(t, ';', 'B');
    ReplaceFirst(t, '=', 'D');
    ReplaceFirst(t, '?', 'F');
    std::memcpy(text, t.data(), t.size());
}

// ---------------------------------------------------------------------------
// Key and card status
// ---------------------------------------------------------------------------

int RUDA_GetKeyCode(TlvNode* tmpl, char* letter) {
    if (letter != nullptr) *letter = '\0';
    uint16_t key = 0;
    int flag = 1;
    const int r = TLV_GetUShort(tmpl, 0xDFA205, &key, &flag);
    if (r == 0) return 0;
    if (r < 0) return 1;
    char l = '\0';
    switch (key) {
        case 8:
            l = 'C';
            WSysError("** INFO. ** Touche C appuyee");
            break;
        case 13:
            l = 'V';
            WSysError("** INFO. ** Touche V appuyee");
            break;
        case 27:
            l = 'A';
            WSysError("** INFO. ** Touche X appuyee");
            break;
        default: WSysError("** INFO. ** Touche non prise en compte appuyee"); break;
    }
    if (letter != nullptr) *letter = l;
    return 1;
}

int RUDA_DecodeCardStatus(TlvNode* tmpl, CardReadRecord* record) {
    if (tmpl == nullptr || record == nullptr) return 1;
    unsigned char value[257];
    int length = 0;
    if (Bytes(tmpl, 0x48, 256, value, &length) <= 0 || length == 0) return 1;
    RUDA_ResetCandidateIndex();
    const uint8_t s0 = value[0];
    const uint8_t s1 = length >= 2 ? value[1] : 0;
    const uint8_t o = record->chipOptions;
    const bool chip = record->chipRequested == 1;

    if (chip && o == 0x08) return (s0 & 0x11) != 0 ? 0 : 64;
    bool skipMute = false;
    const bool knownOptions = o == 0x13 || o == 0x93 || o == 0xD3 || o == 0x97 || o == 0x53 || o == 0x17;
    if (!knownOptions && s0 == 0) {
        if (s1 == 0) {
            record->presentCount = 0;
            record->origin = 0;
            return 97;
        }
        skipMute = true;
    }
    if (!skipMute && (s0 == 0x01 || s0 == 0x11) && chip) {
        WSysError("** INFO. ** Carte muette");
        record->technology = CARD_TECH_CHIP;
        CardPresent(record);
        record->status = 2;
        return 0;
    }
    if ((s0 & 0x03) == 0x03 && chip) {
        WSysError("** INFO. ** Carte a puce inseree et lue");
        record->technology = CARD_TECH_CHIP;
        record->status = 0;
        CardPresent(record);
        return 0;
    }
    if ((s1 & 0x01) != 0) {
        int technology = -1;
        int status = 0;
        if (record->isoRequested == 0) {
            technology = record->technology;
        } else if ((s1 & 0x04) != 0) {
            WSysError("** INFO. ** ISO2 lue");
            technology = CARD_TECH_ISO2;
        } else if ((s1 & 0x02) != 0) {
            WSysError("** INFO. ** ISO1 lue");
            technology = CARD_TECH_ISO1;
        } else if ((s1 & 0x08) != 0) {
            WSysError("** INFO. ** ISO3 lue");
            technology = CARD_TECH_ISO3;
        } else if (s1 == 0x01) {
            WSysError("** INFO. ** Carte a piste mal lue");
            technology = CARD_TECH_ISO2;
            status = 2;
        }
        if (technology >= 0) {
            record->technology = technology;
            record->status = status;
            CardPresent(record);
            return 0;
        }
    }
    if ((o & 0x13) == 0x13) return 0;
    record->presentCount = 0;
    record->origin = 0;
    return 64;
}

int RUDA_GetDFC03B(TlvNode* tmpl, CardReadRecord* record) {
    std::string text;
    if (tmpl != nullptr) Hex(tmpl, 0xDFC03B, 2, text);
    WSysError("** INFO. ** DFC03B = %s", text.c_str());
    if (record != nullptr && !text.empty()) {
        if (text[0] == '6') {
            record->status = 5;
            record->answerValid = 1;
        } else if (text[0] == '4') {
            record->status = 4;
            record->answerValid = 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Magnetic tracks
// ---------------------------------------------------------------------------

namespace {

// A track element (else its alternative) of at most `room` bytes, separators
// replaced.
bool ReadTrack(TlvNode* tmpl, unsigned int tag, unsigned int other, int room, std::string& text) {
    std::string value(static_cast<size_t>(room) + 1, '\0');
    int length = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(value.data());
    if (Bytes(tmpl, tag, room, bytes, &length) <= 0 && Bytes(tmpl, other, room, bytes, &length) <= 0)
        return false;
    text.assign(value.data(), static_cast<size_t>(length));
    ReplaceFirst(text, ';', 'B');
    ReplaceFirst(text, '=', 'D');
    ReplaceFirst(text, '?', 'F');
    return true;
}

}  // namespace

int RUDA_GetTrack2(TlvNode* tmpl, CardReadRecord* record) {
    if (tmpl == nullptr || record == nullptr) return 1;
    std::memset(record->eventData, 0, sizeof record->eventData);
    record->eventLength = 0;
    std::string text;
    if (!ReadTrack(tmpl, 0x5F22, 0xDFDB06, 100, text)) return 1;
    record->eventLength = CopyCut(record->eventData, kCardEventDataMax, text.data(),
                                  static_cast<int>(text.size()), "Piste 2");
    return 0;
}

int RUDA_GetTrack1(TlvNode* tmpl, CardReadRecord* record) {
    if (tmpl == nullptr || record == nullptr) return 1;
    std::string text;
    if (!ReadTrack(tmpl, 0x5F21, 0xDFDB05, 200, text)) return 1;
    record->track1Length = CopyCut(record->track1Data, kCardTrack1Max, text.data(),
                                   static_cast<int>(text.size()), "Piste 1");
    return 0;
}

int RUDA_GetTrack3(TlvNode* tmpl, CardReadRecord* record) {
    if (tmpl == nullptr || record == nullptr) return 1;
    std::string text;
    if (!ReadTrack(tmpl, 0x5F23, 0xDFDB07, 110, text)) return 1;
    record->track3Length = CopyCut(record->track3Data, kCardTrack3Max, text.data(),
                                   static_cast<int>(text.size()), "Piste 3");
    return 0;
}

int RUDA_GetTag63(TlvNode* tmpl, CardReadRecord* record) {
    if (tmpl == nullptr || record == nullptr) return 1;
    std::string text;
    if (Hex(tmpl, 0x63, 256, text) <= 0) return 1;
    record->eventLength = CopyCut(record->eventData, kCardEventDataMax, text.data(),
                                  static_cast<int>(text.size()), "Tag 63");
    return 0;
}

// ---------------------------------------------------------------------------
// Contactless and chip data
// ---------------------------------------------------------------------------

int RUDA_GetCtlsTrack1(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    unsigned char value[101];
    int length = 0;
    if (Bytes(tmpl, 0x5F21, 100, value, &length) <= 0) return 1;
    std::string text(reinterpret_cast<char*>(value), static_cast<size_t>(length));
    ReplaceFirst(text, ';', 'B');
    ReplaceFirst(text, '=', 'D');
    ReplaceFirst(text, '?', 'F');
    area->ctlsTrack1Length = CopyCut(area->ctlsTrack1, kResultCtlsTrackMax, text.data(),
                                     static_cast<int>(text.size()), "Piste 1 CTLS");
    return 0;
}

int RUDA_GetCtlsTrack2(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    unsigned char value[101];
    int length = 0;
    if (Bytes(tmpl, 0x5F22, 100, value, &length) <= 0) return 1;
    std::string text(reinterpret_cast<char*>(value), static_cast<size_t>(length));
    return StoreTrack2Image(area, text, false);
}

namespace {

int ByteTrack2Image(TlvNode* tmpl, unsigned int tag, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    std::string text;
    if (Hex(tmpl, tag, 512, text) <= 0) return 1;
    return StoreTrack2Image(area, text, true);
}

}  // namespace

int RUDA_GetTrack2Equivalent(TlvNode* tmpl, TerminalResultArea* area) {
    return ByteTrack2Image(tmpl, 0x9F6B, area);
}

int RUDA_GetChipTrack2(TlvNode* tmpl, TerminalResultArea* area) { return ByteTrack2Image(tmpl, 0x57, area); }

int RUDA_GetCardData(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    if (RUDA_Has5A(tmpl) == 0 || RUDA_Has57(tmpl) == 0) return 0;
    if (RUDA_GetCtlsTrack1(tmpl, area) == 0) return 0;
    if (RUDA_GetCtlsTrack2(tmpl, area) == 0) return 0;
    if (RUDA_GetTrack2Equivalent(tmpl, area) == 0) return 0;
    return 1;
}

int RUDA_AddCandidateFrom84(TlvNode* tmpl, TerminalResultArea* area) { return AddCandidate(tmpl, area, 0x84); }
int RUDA_AddCandidateFrom4F(TlvNode* tmpl, TerminalResultArea* area) { return AddCandidate(tmpl, area, 0x4F); }
int RUDA_AddCandidateFrom9F06(TlvNode* tmpl, TerminalResultArea* area) {
    return AddCandidate(tmpl, area, 0x9F06);
}

int RUDA_GetDfName(TlvNode* tmpl, char* out, int room) {
    if (tmpl == nullptr || out == nullptr || room <= 0) return 1;
    if (room > 400) room = 400;
    std::string value(static_cast<size_t>(room) + 1, '\0');
    int length = 0;
    if (Bytes(tmpl, 0x84, room, reinterpret_cast<unsigned char*>(value.data()), &length) <= 0) return 1;
    std::memcpy(out, value.data(), static_cast<size_t>(length));
    out[length] = '\0';
    return 0;
}

int RUDA_AddFciDiscretionary(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    std::string text;
    if (Hex(tmpl, 0xBF0C, 255, text) <= 0) return 0;
    if (area->fciCount < 0 || area->fciCount >= kResultCandidates) return 0;
    CopyCut(area->fciDiscretionary[area->fciCount++], kResultFciMax, text.data(),
            static_cast<int>(text.size()), "BF0C");
    return 0;
}

int RUDA_AddCandidateLabel(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    unsigned char value[21];
    int length = 0;
    if (Bytes(tmpl, 0x50, 20, value, &length) <= 0) return 0;
    if (area->labelCount < 0 || area->labelCount >= kResultCandidates) return 0;
    CopyCut(area->labels[area->labelCount++], kResultLabelMax, reinterpret_cast<char*>(value), length,
            "Label");
    return 0;
}

int RUDA_AddCodeTableIndex(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    if (area->codeTableCount < 0 || area->codeTableCount >= kResultCandidates) return 0;
    uint32_t index = 0;
    if (Number2(tmpl, 0x9F11, &index) != 0) index = 1;
    area->codeTables[area->codeTableCount++] = static_cast<int32_t>(index);
    return 0;
}

int RUDA_AddPriorityIndicator(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    uint32_t priority = 0;
    if (Number2(tmpl, 0x87, &priority) != 0) return 1;
    if (area->priorityCount < 0 || area->priorityCount >= kResultCandidates) return 0;
    area->priorities[area->priorityCount++] = static_cast<int32_t>(priority);
    return 0;
}

int RUDA_AddPdol(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    std::string text;
    if (Hex(tmpl, 0x9F38, 40, text) <= 0) return 0;
    if (area->pdolCount < 0 || area->pdolCount >= kResultCandidates) return 0;
    CopyCut(area->pdols[area->pdolCount++], kResultPdolMax, text.data(), static_cast<int>(text.size()),
            "PDOL");
    return 0;
}

int RUDA_GetLanguagePreference(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    unsigned char value[21];
    int length = 0;
    if (Bytes(tmpl, 0x5F2D, 20, value, &length) <= 0) return 1;
    for (int slot = 0; slot < 4 && 2 * slot + 1 < length; ++slot) {
        area->languages[slot].code[0] = static_cast<char>(value[2 * slot]);
        area->languages[slot].code[1] = static_cast<char>(value[2 * slot + 1]);
        area->languages[slot].length = 2;
    }
    return 0;
}

int RUDA_GetPreferredName(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    unsigned char value[21];
    int length = 0;
    if (Bytes(tmpl, 0x9F12, 20, value, &length) <= 0) return 0;
    if (area->preferredNameCount < 0 || area->preferredNameCount >= kResultCandidates) return 0;
    CopyCut(area->preferredNames[area->preferredNameCount++], kResultLabelMax,
            reinterpret_cast<char*>(value), length, "Preferred name");
    return 0;
}

int RUDA_GetFF7F(TlvNode* tmpl, TerminalResultArea* area) {
    if (tmpl == nullptr || area == nullptr) return 1;
    std::memset(area->ff7f, 0, sizeof area->ff7f);
    area->ff7fLength = 0;
    unsigned char value[512];
    int length = 0;
    if (Bytes(tmpl, 0xFF7F, 511, value, &length) <= 0) return 1;
    RudaBytes element;
    if (!RUDA_AppendElement(element, 0xFF7F, value, length)) return 1;
    if (static_cast<int>(element.size()) > kResultFf7fMax) {
        // A cut element would be malformed: it is refused whole.
        WSysError("<< WARN. >> [RUDA] FF7F : %d octets, plus que les %d de la zone", static_cast<int>(element.size()),
                  kResultFf7fMax);
        return 1;
    }
    std::memcpy(area->ff7f, element.data(), element.size());
    area->ff7fLength = static_cast<int32_t>(element.size());
    return 0;
}

// ---------------------------------------------------------------------------
// Presence tests and mandatory data
// ---------------------------------------------------------------------------

int RUDA_Has5A(TlvNode* tmpl) { return Presence(tmpl, 0x5A, 40); }
int RUDA_Has48(TlvNode* tmpl) { return Presence(tmpl, 0x48, 40); }
int RUDA_Has57(TlvNode* tmpl) { return Presence(tmpl, 0x57, 256); }
int RUDA_HasDF25(TlvNode* tmpl) { return Presence(tmpl, 0xDF25, 40); }
int RUDA_Has9F2A(TlvNode* tmpl) { return Presence(tmpl, 0x9F2A, 40); }
int RUDA_HasDF61(TlvNode* tmpl) { return Presence(tmpl, 0xDF61, 40); }
int RUDA_HasDF4B(TlvNode* tmpl) { return Presence(tmpl, 0xDF4B, 40); }

int RUDA_CheckMandatoryData(TlvNode* tmpl) {
    if (tmpl == nullptr) return 1;
    unsigned char value[257];
    int length = 0;
    if (Bytes(tmpl, 0x48, 40, value, &length) <= 0) {
        WSysError("<< WARN. >> Missing mandatory data : PAN 48 looking into 5A");
        if (Bytes(tmpl, 0x5A, 40, value, &length) <= 0) {
            WSysError("-- ERROR -- Missing mandatory data : PAN 5A");
            return 1;
        }
    }
    struct Needed {
        unsigned int tag;
        int room;
        const char* message;
    };
    static const Needed kNeeded[] = {
        {0x94, 252, "-- ERROR -- Missing mandatory data : AFL 94"},
        {0x9F36, 2, "-- ERROR -- Missing mandatory data : ATC 9F36"},
        {0x82, 4, "-- ERROR -- Missing mandatory data : AIP 82"},
        {0x9F10, 100, "-- ERROR -- Missing mandatory data : ISSUER APP DATA 9F10"},
        {0x9F26, 16, "-- ERROR -- Missing mandatory data : DATA APP CRYPTO 9F26"},
        {0x9F27, 2, "-- ERROR -- Missing mandatory data : CRYPTO INFO (CID) 9F27"},
        {0x5F24, 3, "-- ERROR -- Missing mandatory data : EXP DATE 5F24"},
    };
    for (const Needed& n : kNeeded) {
        if (Bytes(tmpl, n.tag, n.room, value, &length) <= 0) {
            WSysError("%s", n.message);
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Single values
// ---------------------------------------------------------------------------

int RUDA_GetDF8301(TlvNode* tmpl, int* length, char* out) {
    if (length != nullptr) *length = 0;
    if (tmpl == nullptr || length == nullptr || out == nullptr) return 1;
    unsigned char value[22];
    int n = 0;
    if (Bytes(tmpl, 0xDF8301, 21, value, &n) <= 0 || n == 0) return 1;
    std::memcpy(out, value, static_cast<size_t>(n));
    out[n] = '\0';
    *length = n;
    return 0;
}

int RUDA_GetDFA310(TlvNode* tmpl, unsigned char* out, int room, int* length) {
    if (length != nullptr) *length = 0;
    if (tmpl == nullptr || out == nullptr || room <= 0) return 1;
    if (room > 5000) room = 5000;
    std::string value(static_cast<size_t>(room) + 1, '\0');
    int n = 0;
    if (Bytes(tmpl, 0xDFA310, room, reinterpret_cast<unsigned char*>(value.data()), &n) > 0) {
        std::memcpy(out, value.data(), static_cast<size_t>(n));
        if (length != nullptr) *length = n;
    }
    return 0;
}

int RUDA_GetTag80(TlvNode* tmpl, uint32_t* number) { return Number(tmpl, 0x80, number) == 0 ? 0 : 32; }
int RUDA_GetDF61(TlvNode* tmpl, uint32_t* number) { return Number2(tmpl, 0xDF61, number); }
int RUDA_GetDFC036(TlvNode* tmpl, uint32_t* number) { return Number2(tmpl, 0xDFC036, number); }

int RUDA_Get9F07(TlvNode* tmpl, char* out, int room) { return HexInto(tmpl, 0x9F07, 32, out, room); }
int RUDA_Get5A(TlvNode* tmpl, char* out, int room) { return HexInto(tmpl, 0x5A, 32, out, room); }
int RUDA_Get94(TlvNode* tmpl, char* out, int room) { return HexInto(tmpl, 0x94, 100, out, room); }

int RUDA_GetCtlsDebugData(TlvNode* tmpl, unsigned char* out, int index, int count) {
    if (tmpl == nullptr || out == nullptr) return 1;
    unsigned char value[257];
    int length = 0;
    if (Bytes(tmpl, 0xDFC034, 256, value, &length) <= 0) length = 0;
    if (index < 0 || count < 0 || index + count > length) {
        WSysError("<< WARN. >> Extraction des donnees de debug CTLS impossible : index = %d, lgAExtraire = %d, lgExtraite = %d",
                  index, count, length);
        return 1;
    }
    std::memcpy(out, value + index, static_cast<size_t>(count));
    return 0;
}

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------

namespace {

struct CodeText {
    int code;
    const char* text;
};

const char* Lookup(const CodeText* table, size_t count, int code) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].code == code) return table[i].text;
    return nullptr;
}

const CodeText kCtlsResults[] = {
    {0, "** INFO. ** TRS CTL OK"},
    {1, "-- ERROR -- TRS CTL Failed"},
    {2, "-- ERROR -- TRS CTL Time out"},
    {26, "-- ERROR -- TRS CTL Command Sequence Error"},
    {34, "-- ERROR -- TRS CTL Invalid message display number"},
    {35, "-- ERROR -- TRS CTL Invalid Request"},
    {36, "-- ERROR -- TRS CTL Library busy"},
    {44, "-- ERROR -- TRS CTL Library not initialised"},
    {105, "-- ERROR -- TRS CTL Reader error"},
    {250, "-- ERROR -- TRS CTL Operation Pending, Unsollicited message will follow"},
    {251, "** INFO. ** TRS CTL Aborded"},
    {253, "-- ERROR -- TRS CTL Command not recognized"},
    {254, "-- ERROR -- TRS CTL Invalid parameters"},
};

const CodeText kPrintAfterRequest[] = {
    {0, "** INFO. ** Impression correctement realisee"},
    {1, "-- ERROR -- Print : Paper jam or head open"},
    {2, "-- ERROR -- Print : No printer available"},
    {3, "-- ERROR -- Print : function failed (generic error)"},
};

const CodeText kPrinterStatus[] = {
    {0, "** INFO. ** Impression correctement realisee"},
    {1, "** INFO. ** Printing in progress"},
    {2, "-- ERROR -- Print : Paper jam"},
    {3, "-- ERROR -- Print : Head open"},
    {4, "-- ERROR -- Print : Paper end"},
    {5, "-- ERROR -- Print : Head too hot"},
    {6, "-- ERROR -- Print : over voltage"},
    {7, "-- ERROR -- Print : Head under voltage"},
    {8, "-- ERROR -- Print : Function failed"},
    {16, "-- ERROR -- Print : No printer available"},
};

const CodeText kPinResults[] = {
    {0, "** INFO. ** CODE SECU OK"},
    {1, "-- ERROR -- CODE SECU KO"},
    {2, "-- ERROR -- CODE SECU Time out"},
    {20, "** INFO. ** CODE SECU PIN ENTRY CANCELLED"},
    {26, "-- ERROR -- CODE SECU Command Sequence Error"},
    {31, "-- ERROR -- CODE SECU Retry count exceeded"},
    {35, "-- ERROR -- CODE SECU Invalid Request"},
    {36, "-- ERROR -- CODE SECU API request"},
    {37, "-- ERROR -- CODE SECU Invalid command for current mode"},
    {40, "-- ERROR -- CODE SECU Invalid local key index"},
    {41, "-- ERROR -- CODE SECU Update Key failed"},
    {42, "-- ERROR -- CODE SECU Transport Keys have changed"},
    {43, "-- ERROR -- CODE SECU Key update limit reached"},
    {45, "-- ERROR -- CODE SECU Invalid Key(s) or cipher block verification failure"},
    {90, "-- ERROR -- CODE SECU PIN Blocked"},
    {91, "-- ERROR -- CODE SECU Get Challenge Error"},
    {92, "-- ERROR -- CODE SECU encipher error"},
    {93, "-- ERROR -- CODE SECU Verify failed"},
    {94, "-- ERROR -- CODE SECU Missing Pin Block data"},
    {95, "-- ERROR -- CODE SECU Invalid Key length"},
    {96, "-- ERROR -- CODE SECU Missing TMK for config ID"},
    {97, "-- ERROR -- CODE SECU Missing TPK for config ID"},
    {98, "-- ERROR -- CODE SECU Missing STAN or PAN to create PIN Block"},
    {249, "-- ERROR -- CODE SECU Command not allowed at this time"},
    {250, "-- ERROR -- CODE SECU Invalid Config ID"},
    {251, "-- ERROR -- CODE SECU Invalid field length"},
    {252, "-- ERROR -- CODE SECU Invalid message length"},
    {253, "-- ERROR -- CODE SECU Command not recognized"},
    {254, "-- ERROR -- CODE SECU Invalid parameter or format"},
};

}  // namespace

int RUDA_LogCtlsResult(TlvNode* tmpl, CardReadRecord* record) {
    if (tmpl == nullptr) return 0;
    std::string text;
    if (Hex(tmpl, 0xDFDF30, 512, text) <= 0 || text.size() < 2) return 0;
    const int code = std::stoi(text.substr(0, 2), nullptr, 16);
    const char* message = Lookup(kCtlsResults, std::size(kCtlsResults), code);
    if (message != nullptr)
        WSysError("%s", message);
    else
        WSysError("-- ERROR -- TRS CTL Result code : %x", code);
    if (code == 2 && record != nullptr) {
        record->errorSource = 10;
        record->status = 1;
    }
    return 0;
}

int RUDA_LogPrintResult(const unsigned char* value, int length, bool afterPrint) {
    if (value == nullptr || length < 1) return 1;
    const int code = value[0];
    const char* message = afterPrint ? Lookup(kPrintAfterRequest, std::size(kPrintAfterRequest), code)
                                     : Lookup(kPrinterStatus, std::size(kPrinterStatus), code);
    if (message != nullptr)
        WSysError("%s", message);
    else
        WSysError("-- ERROR -- Print error Result code : %x", code);
    return code == 0 || (!afterPrint && code == 1) ? 0 : 1;
}

int RUDA_PrintStatusResult(const unsigned char* value, int length) {
    if (value == nullptr || length < 1) return 1;
    return value[0] == 2 ? 34 : 32;
}

int RUDA_LogPinResult(const unsigned char* value, int length) {
    if (value == nullptr || length < 1) return 1;
    const int code = value[0];
    const char* message = Lookup(kPinResults, std::size(kPinResults), code);
    if (message != nullptr)
        WSysError("%s", message);
    else
        WSysError("-- ERROR -- CODE SECU Result code : %x", code);
    return 0;
}

// DORAN event wait (10): the readers asked in one request of sub-messages,
// and the event of the source that answered.
#include <cstdio>
#include <cstring>

#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/doran/doran_module.h"
#include "protocols/doran/doran_slots.h"
#include "protocols/doran/doran_syntax.h"

namespace {

constexpr uint32_t kEventCommand = 0x20;
constexpr uint32_t kContactlessCommand = 18;
constexpr unsigned int kTimeoutTag = 0xDF828200;
constexpr unsigned int kSubMessages = 0xDFF88300;
constexpr unsigned int kSourceMessage = 0xDFF88304;
constexpr unsigned int kChipContactless = 0xDF818308;
constexpr unsigned int kContactlessData = 0xDF808500;
constexpr int32_t kResultTimeout = 10;
// The chip options of the detailed card read (its 70-character event).
constexpr uint8_t kChipDetailed = 18;
// A sub-message of one source, at most.
constexpr int kSubMessageMax = 4096;

// The module's copy of the contactless data of the last event request.
decltype(CardReadRecord::ctlsData) g_ctls;

// The sub-messages of one request, one after the other.
struct SubMessages {
    unsigned char bytes[6 * kSubMessageMax];
    int length = 0;
};

// Builds one sub-message and appends its bytes: false when it could not be
// built (nothing appended). The parts are released either way.
bool AddSub(SubMessages* out, uint32_t peripheral, uint32_t command, TlvNode* e2, const unsigned int* tags,
            int count) {
    int length = 0;
    const unsigned char* message = drn::BuildMessage(peripheral, command, e2, drn::TagList(tags, count), &length);
    const bool fits = message != nullptr && length > 0 && out->length + length <= static_cast<int>(sizeof out->bytes);
    if (fits) {
        std::memcpy(out->bytes + out->length, message, static_cast<size_t>(length));
        out->length += length;
    }
    DRN_FreeSyntax(1, 'w');
    return fits;
}

uint8_t ChipOption(const CardReadRecord* r, int slot) {
    return slot == 1 ? r->chipOptions : r->otherChipOptions[slot - 2];
}
void SetChipOption(CardReadRecord* r, int slot, uint8_t value) {
    (slot == 1 ? r->chipOptions : r->otherChipOptions[slot - 2]) = value;
}

// The contactless data as the lower-case hexadecimal text of its bytes (the
// outcome byte stays in the record).
TlvNode* ContactlessData() {
    const int n = g_ctls.length;
    char text[2 * kCtlsDataMax];
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        text[2 * i] = kDigits[g_ctls.bytes[i] >> 4];
        text[2 * i + 1] = kDigits[g_ctls.bytes[i] & 0x0F];
    }
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    if (e2 != nullptr &&
        TLV_AppendChild(e2, kContactlessData, 2 * n, reinterpret_cast<const unsigned char*>(text)) == nullptr) {
        TLV_Free(e2, 'w');
        e2 = nullptr;
    }
    std::memset(text, 0, sizeof text);
    return e2;
}

// Reads the 1 or 2 byte number of a tag: true when present.
bool Number(TlvNode* data, unsigned int tag, int32_t* value) {
    uint16_t n = 0;
    int flag = 1;
    if (TLV_GetUShort(data, tag, &n, &flag) <= 0) return false;
    *value = n;
    return true;
}

// A raw+ text of at most `capacity` bytes into its area (with its length).
bool Text(TlvNode* data, unsigned int tag, char* area, int capacity, int32_t* length) {
    int got = capacity + 1;
    if (TLV_GetBytesNonZero(data, tag, reinterpret_cast<unsigned char*>(area), &got) <= 0) return false;
    *length = got;
    return true;
}

// The source's data into the record: true, or false when the source's
// decoding failed.
bool DealSource(TlvNode* data, CardReadRecord* r) {
    switch (r->technology) {
        case CARD_TECH_KEYBOARD: {
            int32_t v = 0;
            if (!Number(data, DRN_TAG_RESULT, &v)) return false;
            if ((v & 0xFF) != 0) {
                r->status = 1;
                return true;
            }
            r->status = 0;
            int32_t n = 0;
            if (!Text(data, 0xDF818100, r->eventData, 1, &n)) return false;
            r->eventLength = n;
            return true;
        }
        case CARD_TECH_ISO2: {
            r->status = 3;
            int32_t v = 0;
            int32_t n = 0;
            if (Number(data, DRN_TAG_RESULT, &v) && (v & 0xFF) == 0 &&
                Text(data, 0xDFF08100, r->eventData, kCardEventDataMax, &n)) {
                r->eventLength = n;
                r->status = 0;
            }
            if (Number(data, 0xDF828800, &v) && (v & 0xFF) == 0 &&
                Text(data, 0xDFF08900, r->track1Data, kCardTrack1Max, &n))
                r->track1Length = n;
            if (Number(data, 0xDF828A00, &v) && (v & 0xFF) == 0 &&
                Text(data, 0xDFF08B00, r->track3Data, kCardTrack3Max, &n))
                r->track3Length = n;
            return true;
        }
        case CARD_TECH_CHIP: {
            int32_t v = 0;
            if (!Number(data, DRN_TAG_RESULT, &v)) return false;
            if ((v & 0x1000) != 0) r->technology = 5;
            if ((v & 0xFF) != 0) {
                r->status = 3;
                return true;
            }
            r->status = 0;
            if (r->technology == CARD_TECH_CHIP && r->chipOptions == kChipDetailed) {
                int32_t a = 0, b = 0;
                char s[101] = {};
                int sLength = sizeof s;
                if (!Number(data, 0xDF828400, &a) || !Number(data, 0xDF818402, &b) ||
                    TLV_GetHex(data, 0xDF858403, s, &sLength) <= 0)
                    return false;
                // Four digits, 34 characters, two digits, 30 characters: the
                // 70 characters of the event (a shorter text leaves its
                // places empty; b above 99 would not fit its two digits).
                if (b > 99 || sLength < 64) return false;
                char event[71];
                std::snprintf(event, sizeof event, "%04X%.34s%02u%.30s", static_cast<unsigned>(a & 0xFFFF), s,
                              static_cast<unsigned>(b), s + 34);
                std::memset(r->eventData, 0, sizeof r->eventData);
                std::memcpy(r->eventData, event, 70);
                r->eventLength = 70;
                std::memset(event, 0, sizeof event);
                std::memset(s, 0, sizeof s);
            }
            const int h = v / 256;
            if ((h & 0x40) == 0 && r->chipOptions != 17 && r->chipOptions != 19) r->status = 1;
            if ((h & 0x20) == 0 && r->chipOptions == kChipDetailed) r->status = 2;
            return true;
        }
        case CARD_TECH_CHEQUE: {
            int32_t v = 0;
            if (!Number(data, DRN_TAG_RESULT, &v)) return false;
            r->status = v;
            if ((v & 0x4000) != 0) {
                int32_t n = 0;
                if (!Text(data, 0xDFF08100, r->eventData, kCardEventDataMax, &n)) return false;
                r->eventLength = n;
            }
            return true;
        }
        case CARD_TECH_CONTACTLESS: {
            int32_t v = 0;
            if (!Number(data, DRN_TAG_RESULT, &v)) return false;
            r->status = v;
            return true;
        }
        default: return false;  // 6: a chip slot without decoding
    }
}

}  // namespace

int XA_EVent(uint32_t peripheral, CardReadRecord* r) {
    if (r == nullptr) return 32;
    if (peripheral == DRN_PERIPHERAL_CONTACTLESS) {
        r->technology = CARD_TECH_CONTACTLESS;
        r->origin = 1;
    } else {
        const int kind = (peripheral & 0xF0) >> 4;
        const int rank = peripheral & 0x0F;
        int limit = 0;
        int technology = -1;
        switch (peripheral & ~0xFFu ? -1 : kind) {
            case 1: technology = CARD_TECH_KEYBOARD, limit = 1; break;
            case 2: technology = CARD_TECH_ISO2, limit = 1; break;
            case 3: technology = CARD_TECH_CHEQUE, limit = 1; break;
            case 5: technology = rank < 5 ? CARD_TECH_CHIP : 6, limit = 5; break;
            default: break;
        }
        if (technology < 0) {
            WSysError("<< WARN. >> XA_EVent(): Peripherique Inconnu");
            return 32;
        }
        if (rank > limit) {
            WSysError("-- ERROR -- XA_EVent(): Rang Peripherique Non Supporte");
            return 32;
        }
        r->technology = technology;
        r->origin = rank;
    }
    r->presentCount = 1;
    r->dataValid = 1;
    return 0;
}

const unsigned char* DRN_SetEvent(int* length, CardReadRecord* r) {
    if (length != nullptr) *length = 0;
    if (r == nullptr) return nullptr;
    r->busy = 1;
    std::memcpy(&g_ctls, &r->ctlsData, sizeof g_ctls);
    // A length outside the data area counts as no contactless data.
    if (g_ctls.length < 0 || g_ctls.length > kCtlsDataMax) {
        WSysError("-- ERROR -- DRN_SetEvent : donnees sans contact ignorees (longueur %d)", g_ctls.length);
        g_ctls.length = 0;
    }
    const bool contactless = g_ctls.length != 0;

    static SubMessages subs;
    subs.length = 0;
    if (r->isoRequested > 0) {
        static const unsigned int kTags[] = {DRN_TAG_RESULT, 0xDFF08100, 0xDF828800,
                                             0xDF828A00,     0xDFF08900, 0xDFF08B00};
        AddSub(&subs, DRN_PERIPHERAL_STRIPE, r->isoOptions, nullptr, kTags, 6);
    }
    if (r->chequeRequested > 0) {
        static const unsigned int kTags[] = {DRN_TAG_RESULT, 0xDFF08100};
        AddSub(&subs, DRN_PERIPHERAL_CHEQUE, r->chequeOptions, nullptr, kTags, 2);
    }
    if (r->keyAbortRequested > 0) {
        static const unsigned int kTags[] = {DRN_TAG_RESULT, 0xDF818100};
        AddSub(&subs, DRN_PERIPHERAL_KEYPAD, r->keyAbortRequestedByte, nullptr, kTags, 2);
    }
    const int slots = r->chipRequested < kCardChipSlots ? r->chipRequested : kCardChipSlots;
    for (int slot = 1; slot <= slots; ++slot) {
        const uint8_t o = ChipOption(r, slot);
        const uint8_t command = o & 0x1B;
        TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
        const unsigned char flags = static_cast<unsigned char>((contactless ? 1 : 0) | (o & 0xE4));
        if (e2 != nullptr && TLV_AppendChild(e2, kChipContactless, 1, &flags) == nullptr) {
            TLV_Free(e2, 'w');
            e2 = nullptr;
        }
        static const unsigned int kTags[] = {DRN_TAG_RESULT, 0xDF828400, 0xDF818402, 0xDF858403};
        const bool built = e2 != nullptr && AddSub(&subs, DRN_PERIPHERAL_CHIP + slot, command, e2, kTags,
                                                  command == kChipDetailed ? 4 : 1);
        SetChipOption(r, slot, command);
        if ((o & 0x80) != 0) r->timeoutTenths = static_cast<int32_t>(static_cast<uint32_t>(r->timeoutTenths) * 89u / 100u + 1u);
        if (!built) break;
    }
    if (contactless) {
        static const unsigned int kTags[] = {DRN_TAG_RESULT, 0xBF808100};
        AddSub(&subs, DRN_PERIPHERAL_CONTACTLESS, kContactlessCommand, ContactlessData(), kTags, 2);
    }
    // The copy of the contactless data is not kept past the request.
    std::memset(&g_ctls, 0, sizeof g_ctls);

    TlvNode* e2 = nullptr;
    if (subs.length > 0) {
        e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
        unsigned char t[2];
        TLV_PutU16BE(t, static_cast<uint16_t>(r->timeoutTenths));
        if (e2 != nullptr && (TLV_AppendChild(e2, kTimeoutTag, 2, t) == nullptr ||
                              TLV_AppendChild(e2, kSubMessages, subs.length, subs.bytes) == nullptr)) {
            TLV_Free(e2, 'w');
            return nullptr;
        }
        if (e2 == nullptr) return nullptr;
    }
    static const unsigned int kTags[] = {DRN_TAG_RESULT, kSourceMessage};
    const unsigned char* message =
        drn::BuildMessage(DRN_PERIPHERAL_TERMINAL, kEventCommand, e2, drn::TagList(kTags, 2), length);
    std::memset(subs.bytes, 0, static_cast<size_t>(subs.length));
    if (message != nullptr) r->busy = 0;
    return message;
}

int DRN_DealEvent(const unsigned char* answer, int length, CardReadRecord* r) {
    if (r == nullptr) return 1;
    r->busy = 1;
    r->errorSource = 255;
    r->answerValid = 0;
    r->presentCount = 0;
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    int32_t result = 0;
    if (data == nullptr || peripheral != DRN_PERIPHERAL_TERMINAL || !drn::ReadResult(data, &result)) {
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    r->errorSource = result;
    r->answerValid = 1;
    if (result == kResultTimeout) {
        r->status = 1;
        DRN_FreeSyntax(1, 'r');
        r->busy = 0;
        return 0;
    }
    if (result != 0) {
        r->status = 3;
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    r->status = 0;
    // The source's own message: its bytes stay in the answer buffer, which
    // the next decoding reads after the outer parts are released.
    TlvNode holder;
    if (!drn::FindValue(data->value, data->lg, kSourceMessage, &holder)) {
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    uint32_t source = 0;
    TlvNode* inner = drn::OpenAnswer(holder.value, holder.lg, &source, &command);
    bool good = inner != nullptr && XA_EVent(source, r) == 0 && DealSource(inner, r);
    DRN_FreeSyntax(1, 'r');
    if (!good) {
        r->status = 3;
        return 32;
    }
    r->busy = 0;
    return 0;
}

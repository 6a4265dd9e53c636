// DORAN card operations 20, 40, 50, 51, 60, 80, 81 and 82. Each is a table
// of request elements, of answer tags by service bit, and of answer slots,
// driven by one request builder and one answer decoder.
#include "protocols/doran/doran_card_ops.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/tlv.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "protocols/doran/doran_slots.h"
#include "protocols/doran/doran_syntax.h"

namespace {

using drn::Enc;
using drn::SlotRef;

constexpr uint32_t kCardCommand = 4;
constexpr int32_t kAlways = -1;
constexpr int32_t kAskedAlternate = 0xFFFE;
constexpr int kRequestSlot = 64;  // request slots of no stated size

// ---------------------------------------------------------------------------
// Slots
// ---------------------------------------------------------------------------

template <int N>
PotCardView View(PotCardSlot<N>& s) {
    return {&s.length, &s.value, s.text, N};
}

SlotRef RefOf(const PotCardView& v, int capacity) {
    return {v.length, v.text, capacity < v.capacity ? capacity : v.capacity, v.value, nullptr};
}

// Where an answer element goes: its own slot, or an EMV slot of the record.
enum class Dest {
    Own, Pan, ServiceCode, CountryCode, Tag9f42, Name, Tag9f44, Df81811a, Cryptogram1, Cryptogram2,
    CryptogramInfo2, ExpiryDate, EffectiveDate, NameHex, Status,
};

SlotRef Shared(POT* pot, Dest d) {
    using drn::Ref;
    switch (d) {
        case Dest::Pan: return Ref(pot->pan);
        case Dest::ServiceCode: return Ref(pot->serviceCode);
        case Dest::CountryCode: return Ref(pot->countryCode);
        case Dest::Tag9f42: return Ref(pot->tag9f42);
        case Dest::Name: return Ref(pot->cardholderName);
        case Dest::Tag9f44: return Ref(pot->tag9f44);
        case Dest::Df81811a: return Ref(pot->df81811a);
        case Dest::Cryptogram1: return Ref(pot->cryptogram1);
        case Dest::Cryptogram2: return Ref(pot->cryptogram2);
        case Dest::CryptogramInfo2: return Ref(pot->cryptogramInfo2);
        case Dest::ExpiryDate: return Ref(pot->expiryDate);
        case Dest::EffectiveDate: return Ref(pot->effectiveDate);
        case Dest::NameHex: return Ref(pot->cardholderNameHex);
        case Dest::Status: return Ref(pot->status);
        case Dest::Own: break;
    }
    return {nullptr, nullptr, 0, nullptr, nullptr};
}

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

enum class Req { Raw, Hex, Byte, U16, Tenfold, Bcd1, Bcd2, Bcd3, Amount };

// A request element from the slot of its tag: sent when the slot is set and
// (bits not 0) the OR of the masks has one of the bits.
struct RequestRow {
    unsigned int tag;
    Req enc;
    int32_t bits;
};

// Answer tags a pair's mask asks for when it has one of the bits.
struct TagGroup {
    int32_t bits;
    unsigned int tags[21];
    int count;
};

// An answer slot: read when the answered flags have one of askBits (kAlways:
// every answer), into its own slot (keyed by slotTag, else its tag) or an
// EMV slot; marker is what marks it asked.
struct AnswerRow {
    unsigned int tag;
    Enc enc;
    int capacity;
    int32_t askBits;
    Dest dest = Dest::Own;
    unsigned int slotTag = 0;
    int32_t marker = kPotAsked;
};

// Operations 20 and 81.
const RequestRow kReaderRequest[] = {
    {0xDF828232, Req::Tenfold, 0}, {0xDF84822C, Req::Raw, 0},    {0xDF84822A, Req::Raw, 0},
    {0xDF848224, Req::Hex, 0},     {0xDF818223, Req::Bcd1, 0},   {0xDF818222, Req::Bcd1, 0},
    {0xDF848220, Req::Bcd2, 0},    {0xDF84821C, Req::Hex, 0},    {0xDF848218, Req::Hex, 0},
    {0xDF848214, Req::Hex, 0},     {0xDF848210, Req::Raw, 0},    {0xDF81820E, Req::Byte, 0},
    {0xDF82820C, Req::Bcd2, 0},    {0xDF848206, Req::Amount, 0}, {0xDF848200, Req::Amount, 0},
    {0xDF828236, Req::U16, 0},     {0xDF828238, Req::U16, 0},    {0xDF82823A, Req::U16, 0},
    {0xDF82823C, Req::Bcd2, 0},
};
const TagGroup kReaderTags[] = {
    {0x2, {0xDF828102}, 1},
    {0x4, {0xDF858104, 0xDF828118, 0xDF82811A, 0xDF82811E, 0xDF82811C, 0xDF828120, 0xDF81813D, 0xDF858122}, 8},
    {0x80, {0xDF858140, 0xDF858156}, 2},
    {0x200, {0xDF85814A, 0xDF85815E}, 2},
};
const AnswerRow kReaderAnswer[] = {
    {0xDF828102, Enc::Hex, 4, 0x2},
    {0xDF858104, Enc::Raw, 19, 0x4, Dest::Pan},
    {0xDF828118, Enc::Hex, 4, 0x4, Dest::ServiceCode},
    {0xDF82811A, Enc::Hex, 8, 0x4},
    {0xDF82811C, Enc::Hex, 8, 0x4},
    {0xDF82811E, Enc::Bcd, 0, 0x4, Dest::CountryCode},
    {0xDF828120, Enc::Bcd, 0, 0x4, Dest::Tag9f42},
    {0xDF858122, Enc::RawNonZero, 26, 0x4, Dest::Name},
    {0xDF81813E, Enc::Number, 0, kAlways, Dest::Df81811a},
    {0xDF81813D, Enc::Number, 0, 0x4, Dest::Tag9f44},
    {0xDF858140, Enc::Hex, 16, 0x80, Dest::Cryptogram1},
    {0xDF85814A, Enc::Hex, 16, 0x200, Dest::Cryptogram2},
    {0xDF858156, Enc::Hex, 24, 0x80},
    {0xDF85815E, Enc::Hex, 36, 0x200},
};

// Operation 40.
const RequestRow kCard3001Head[] = {
    {0xDF828216, Req::U16, 0x8}, {0xDF828214, Req::U16, 0}, {0xDF828220, Req::U16, 0}, {0xDF859300, Req::Hex, 0x100000},
};
const RequestRow kCard3001Middle[] = {
    {0xDF859600, Req::Hex, 0x40},    {0xDF858400, Req::Hex, 0x8040},  {0xDF85840C, Req::Hex, 0x8040},
    {0xDF858410, Req::Hex, 0x8040},  {0xDF858414, Req::Bcd2, 0x8040}, {0xDF858418, Req::Raw, 0x8040},
    {0xDF81841C, Req::Byte, 0x8040}, {0xDF81841D, Req::Byte, 0x8040}, {0xDF859700, Req::Hex, 0x80},
};
const RequestRow kCard3001RequestTail[] = {
    {0xDF858218, Req::Raw, 0x2000},    {0xDF858208, Req::Hex, 0x161680}, {0xDF85820C, Req::Hex, 0x161680},
    {0xDF859800, Req::Hex, 0x100},     {0xDF859900, Req::Hex, 0x1000},   {0xDF859A00, Req::Hex, 0x8000},
    {0xDF859B00, Req::Hex, 0x10000},   {0xDF859C00, Req::Hex, 0x20000},  {0xDF85A400, Req::Hex, 0x200000},
};
const TagGroup kCard3001Tags[] = {
    {0x4,
     {0xDF858400, 0xDF85840C, 0xDF858410, 0xDF858414, 0xDF858418, 0xDF81841C, 0xDF81841D, 0xDF858500, 0xDF858504,
      0xDF858508, 0xDF858600, 0xDF858604, 0xDF858608, 0xDF85860C, 0xDF818610, 0xDF818611, 0xDF818700, 0xDF858702,
      0xDF818800, 0xDF858900, 0xDF858A00},
     21},
    {0x8,
     {0xDF828214, 0xDF858D00, 0xDF858D0C, 0xDF858D10, 0xDF858D14, 0xDF858D18, 0xDF818D1C, 0xDF818D1D, 0xDF858F00,
      0xDF858F04, 0xDF858F08, 0xDF859000, 0xDF859006, 0xDF85900A, 0xDF859010, 0xDF859014, 0xDF859200, 0xDF859400},
     18},
    // Then, for bit 8, the choice of DF828216 and DF859300, DF859500 (below).
    {0x20, {0xDF859600}, 1},
    {0x40, {0xDF859700}, 1},
    {0x80, {0xDF859800, 0xDF858B00, 0xDF858C00}, 3},
    {0x60600, {0xDF859E00}, 1},
    {0x800, {0xDF859900}, 1},
    {0x80010, {0xDF859D00}, 1},
    {0x4000, {0xDF859A00}, 1},
    {0x8000, {0xDF859B00}, 1},
    {0x10000, {0xDF859C00}, 1},
    {0x210000, {0xDF858B00, 0xDF858C00}, 2},
    {0x100000, {0xDF85A200}, 1},
    {0x400000, {0xDFF8A300}, 1},
};
const AnswerRow kCard3001Answer[] = {
    {0xDF828214, Enc::Number, 0, 0x8},      {0xDF858D00, Enc::Hex, 20, 0x8},      {0xDF858D0C, Enc::Hex, 4, 0x8},
    {0xDF858D10, Enc::Hex, 6, 0x8},         {0xDF858D14, Enc::Bcd, 0, 0x8},       {0xDF858D18, Enc::RawNonZero, 3, 0x8},
    {0xDF818D1C, Enc::Number, 0, 0x8},      {0xDF818D1D, Enc::Number, 0, 0x8},    {0xDF858F00, Enc::Number, 0, 0x8},
    {0xDF858F04, Enc::BcdN, 0, 0x8},        {0xDF858F08, Enc::BcdN, 0, 0x8},      {0xDF859000, Enc::Number4, 0, 0x8},
    {0xDF859006, Enc::Number4, 0, 0x8},     {0xDF85900A, Enc::BcdN, 0, 0x8},      {0xDF859010, Enc::Number, 0, 0x8},
    {0xDF859014, Enc::BcdN, 0, 0x8},        {0xDF859200, Enc::Hex, 10, 0x8},      {0xDF859300, Enc::Hex, 8, 0x8},
    {0xDF859400, Enc::Hex, 8, 0x8},         {0xDF859500, Enc::Hex, 16, 0x8},      {0xDF859700, Enc::Hex, 62, 0x40},
    {0xDF859900, Enc::Hex, 46, 0x800},      {0xDF859E00, Enc::Hex, 146, 0x60600}, {0xDF859D00, Enc::Hex, 136, 0x80010},
    {0xDF858400, Enc::Hex, 20, 0x4},        {0xDF85840C, Enc::Hex, 4, 0x4},       {0xDF858410, Enc::Hex, 6, 0x4},
    {0xDF858414, Enc::Bcd, 0, 0x4},         {0xDF858418, Enc::RawNonZero, 3, 0x4}, {0xDF81841C, Enc::Number, 0, 0x4},
    {0xDF81841D, Enc::Number, 0, 0x4},      {0xDF858500, Enc::BcdN, 0, 0x4},      {0xDF858504, Enc::BcdN, 0, 0x4},
    {0xDF858508, Enc::BcdN, 0, 0x4},        {0xDF858600, Enc::BcdN, 0, 0x4},      {0xDF858604, Enc::BcdN, 0, 0x4},
    {0xDF858608, Enc::BcdN, 0, 0x4},        {0xDF85860C, Enc::BcdN, 0, 0x4},      {0xDF818610, Enc::Number, 0, 0x4},
    {0xDF818611, Enc::Number, 0, 0x4},      {0xDF818800, Enc::Number, 0, 0x4},    {0xDF818700, Enc::Number, 0, 0x4},
    {0xDF858702, Enc::Hex, 20, 0x4},        {0xDF858900, Enc::Number, 0, 0x4},    {0xDF858A00, Enc::Number, 0, 0x4},
    {0xDF859600, Enc::Hex, 42, 0x20},       {0xDF859800, Enc::Hex, 102, 0x80},    {0xDF858B00, Enc::BcdN, 0, 0x210080},
    {0xDF858C00, Enc::BcdN, 0, 0x210080},   {0xDF859A00, Enc::Hex, 72, 0x4000},   {0xDF859B00, Enc::Hex, 54, 0x8000},
    {0xDF859C00, Enc::Hex, 118, 0x10000},   {0xDF85A200, Enc::Hex, 114, 0x100000, Dest::Own, 0xDF859C00, kAskedAlternate},
    {0xDFF8A300, Enc::Hex, 512, 0x400000},
};

// Operation 50.
const TagGroup kCard4001Tags[] = {
    {0x2, {0xDF828104, 0xDF838106, 0xDF82810A, 0xDF85810E, 0xDF818119, 0xDF82820C, 0xDF828112, 0xDF858114}, 8},
    {0x34, {0xDF82810A, 0xDF85810E, 0xDF818119}, 3},
    {0x40, {0xDF82810C, 0xDF858400}, 2},
};
const unsigned int kCard4001Fixed[] = {0xDF81811B, 0xDF82811C, 0xDF82811E, 0xDF818400, 0xDF818500, 0xDF828600};
const AnswerRow kCard4001Answer[] = {
    {0xDF81811B, Enc::Number, 0, kAlways},
    {0xDF82811C, Enc::Hex, 4, kAlways, Dest::Cryptogram1},
    {0xDF82811E, Enc::Hex, 4, kAlways},
    {0xDF818400, Enc::Hex, 2, kAlways, Dest::Cryptogram2},
    {0xDF818500, Enc::Hex, 2, kAlways, Dest::CryptogramInfo2},
    {0xDF828600, Enc::Hex, 4, kAlways, Dest::ServiceCode},
    {0xDF828104, Enc::PairsSwapped, 4, 0x2, Dest::ExpiryDate},
    {0xDF82810A, Enc::Hex, 4, 0x36},
    {0xDF85810E, Enc::Hex, 6, 0x36, Dest::EffectiveDate},
    {0xDF818119, Enc::Number, 0, 0x36},
    {0xDF828112, Enc::Hex, 4, 0x2},
    {0xDF858114, Enc::Hex, 8, 0x2, Dest::NameHex},
    {0xDF82810C, Enc::PairsSwapped, 4, 0x40},
    {0xDF858400, Enc::Hex, 513, 0x40},
};

// Operation 60.
const TagGroup kCard6001Tags[] = {
    {0x8, {0xDF808500, 0xDF808600, 0xDF808700}, 3},
    {0x100, {0xDF828106, 0xDF858110}, 2},
    {0x20, {0xDF858110}, 1},
    {0x40, {0xDF858108}, 1},
};
const AnswerRow kCard6001Answer[] = {
    {0xDF808500, Enc::Hex, 48, 0x8, Dest::Own, 0, 48},
    {0xDF808600, Enc::Hex, 984, 0x8, Dest::Own, 0, 984},
    {0xDF808700, Enc::Hex, 264, 0x8, Dest::Own, 0, 264},
    {0xDF858108, Enc::Raw, 6, 0x40, Dest::Own, 0, 6},
    {0xDF828106, Enc::Number, 0, 0x100, Dest::Own, 0, 1},
    {0xDF858110, Enc::Raw, 4, 0x120, Dest::Own, 0, 4},
};

// ---------------------------------------------------------------------------
// Request
// ---------------------------------------------------------------------------

int32_t ServiceBits(POT* pot) {
    uint32_t bits = 0;
    for (PotServicePair& p : pot->services) {
        bits |= static_cast<uint32_t>(p.mask);
        p.state = 0;
    }
    return static_cast<int32_t>(bits);
}

bool IsSet(const PotCardView& v) { return v.length != nullptr && *v.length != 0 && *v.length != kPotAsked; }

// A request element from a set slot.
void AddElement(POT* pot, drn::RequestData& d, unsigned int tag, Req enc, unsigned int slotTag = 0) {
    const PotCardView v = POT_FindCardSlot(pot, slotTag != 0 ? slotTag : tag);
    if (!IsSet(v)) return;
    const int64_t n = *v.value;
    const int length = *v.length;
    switch (enc) {
        case Req::Raw:
            if (length > kRequestSlot) d.fail();
            else d.bytes(tag, reinterpret_cast<const unsigned char*>(v.text), length);
            break;
        case Req::Hex: d.hex(tag, v.text, length, kRequestSlot); break;
        case Req::Byte: d.byte(tag, n); break;
        case Req::U16: d.u16(tag, n); break;
        case Req::Tenfold: d.u16(tag, n * 10 > 0xFFFF || n < 0 ? 0xFFFF : n * 10); break;
        case Req::Bcd1: d.sealed(n >= 0 ? TLV_NewBCD1(tag, static_cast<unsigned>(n)) : nullptr); break;
        case Req::Bcd2: d.sealed(n >= 0 ? TLV_NewBCD2(tag, static_cast<unsigned>(n)) : nullptr); break;
        case Req::Bcd3: d.sealed(n >= 0 ? TLV_NewBCDN(tag, static_cast<unsigned long>(n), 3) : nullptr); break;
        case Req::Amount: d.sealed(TLV_NewAmount(tag, static_cast<long>(n))); break;
    }
}

template <size_t N>
void AddRows(POT* pot, drn::RequestData& d, const RequestRow (&rows)[N], int32_t bits) {
    for (const RequestRow& r : rows)
        if (r.bits == 0 || (bits & r.bits) != 0) AddElement(pot, d, r.tag, r.enc);
}

// The answer tags of every pair, group by group.
template <size_t N>
bool AddGroups(const POT* pot, TlvNode* list, const TagGroup (&groups)[N]) {
    bool ok = true;
    for (const PotServicePair& p : pot->services)
        for (const TagGroup& g : groups)
            if ((p.mask & g.bits) != 0)
                for (int i = 0; i < g.count; ++i) ok = ok && drn::AppendTag(list, g.tags[i]);
    return ok;
}

// The three tags every answer of the family carries first.
TlvNode* ListHead(unsigned int answered, unsigned int status) {
    TlvNode* list = TLV_NewPrimitive(DRN_TAG_TAG_LIST, 0, nullptr);
    if (list == nullptr) return nullptr;
    bool ok = drn::AppendTag(list, DRN_TAG_RESULT) && drn::AppendTag(list, answered);
    if (status != 0) ok = ok && drn::AppendTag(list, status);
    if (!ok) {
        TLV_Free(list, 'w');
        return nullptr;
    }
    return list;
}

const unsigned char* Close(POT* pot, uint32_t peripheral, uint32_t command, TlvNode* e2, drn::RequestData& d,
                           TlvNode* list, bool listOk, int* length) {
    if (!d.ok() || !listOk || list == nullptr) {
        TLV_Free(e2, 'w');
        TLV_Free(list, 'w');
        return nullptr;
    }
    const unsigned char* message = drn::BuildMessage(peripheral, command, e2, list, length);
    if (message != nullptr) pot->busy = 0;
    return message;
}

bool TextPeripheral(POT* pot, uint32_t* peripheral) {
    return pot->peripheralFlag != 0 && drn::PeripheralOfText(pot->peripheral, sizeof pot->peripheral, peripheral);
}

const unsigned char* SetReader(int* length, POT* pot, uint32_t peripheral) {
    if (length != nullptr) *length = 0;
    if (pot == nullptr) return nullptr;
    pot->busy = 1;
    const int32_t bits = ServiceBits(pot);
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.u16(0xDF828234, bits);
    AddRows(pot, d, kReaderRequest, bits);
    TlvNode* list = ListHead(0xDF828154, 0xDF828100);
    bool ok = list != nullptr;
    bool counterListed = false;
    for (const PotServicePair& p : pot->services) {
        if (!counterListed && (p.mask & (0x41 | 0x800 | 0x2 | 0x4)) != 0) {
            ok = ok && drn::AppendTag(list, 0xDF81813E);
            counterListed = true;
        }
        for (const TagGroup& g : kReaderTags)
            if ((p.mask & g.bits) != 0)
                for (int i = 0; i < g.count; ++i) ok = ok && drn::AppendTag(list, g.tags[i]);
    }
    return Close(pot, peripheral, kCardCommand, e2, d, list, ok, length);
}

// ---------------------------------------------------------------------------
// Answer
// ---------------------------------------------------------------------------

SlotRef RowSlot(POT* pot, const AnswerRow& row) {
    if (row.dest != Dest::Own) {
        SlotRef s = Shared(pot, row.dest);
        if (s.area != nullptr && row.capacity > 0 && row.capacity < s.capacity) s.capacity = row.capacity;
        return s;
    }
    const int capacity = row.capacity > 0 ? row.capacity : kPotCardShortText;
    return RefOf(POT_CardSlot(pot, row.slotTag != 0 ? row.slotTag : row.tag, capacity), capacity);
}

bool Asked(int32_t answered, const AnswerRow& row) { return row.askBits == kAlways || (answered & row.askBits) != 0; }

// The head of every answer of the family: parts taken apart, peripheral and
// command checked, DF828000 and the answered flags. The data part, or null
// with *code the result (the parts then released).
TlvNode* OpenFamilyAnswer(const unsigned char* answer, int length, POT* pot, uint32_t expected, int mismatch,
                          unsigned int answeredTag, uint32_t* answered, int* code) {
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    *code = 32;
    if (data == nullptr) {
        DRN_FreeSyntax(1, 'r');
        return nullptr;
    }
    if (expected != 0 && (peripheral != expected || command != static_cast<int>(kCardCommand))) {
        *code = mismatch;
        DRN_FreeSyntax(1, 'r');
        return nullptr;
    }
    int flag = 1;
    if (!drn::ReadResult(data, &pot->result) || TLV_GetULong(data, answeredTag, answered, &flag) <= 0) {
        DRN_FreeSyntax(1, 'r');
        return nullptr;
    }
    for (PotServicePair& p : pot->services)
        if ((static_cast<uint32_t>(p.mask) & *answered) != 0) p.state = 1;
    return data;
}

// Marks the rows the answered flags ask for, then reads each one still
// marked: the number of reads that failed (absent or malformed).
template <size_t N>
int ReadRows(TlvNode* data, POT* pot, int32_t answered, const AnswerRow (&rows)[N]) {
    for (const AnswerRow& row : rows)
        if (Asked(answered, row)) *RowSlot(pot, row).length = row.marker;
    int failures = 0;
    for (const AnswerRow& row : rows) {
        SlotRef s = RowSlot(pot, row);
        if (s.length == nullptr || *s.length != row.marker || !Asked(answered, row)) continue;
        if (drn::ReadInto(data, row.tag, row.enc, 0, s) <= 0 && !(row.tag == 0xDF81813E && (answered & 0x841) == 0))
            ++failures;
    }
    return failures;
}

// The status (DF828100, 1 or 2 bytes): false when missing or longer.
bool ReadStatus(TlvNode* data, POT* pot, unsigned int tag) {
    TlvNode node;
    if (!drn::FindValue(data->value, data->lg, tag, &node) || node.lg > 2) {
        pot->status = PotNumber{};
        return false;
    }
    pot->status = PotNumber{1, static_cast<int64_t>(TLV_GetUIntBE(node.value, node.lg))};
    return true;
}

int DealReader(const unsigned char* answer, int length, POT* pot, uint32_t peripheral, bool second) {
    if (pot == nullptr) return 1;
    pot->busy = 0;
    pot->result = 255;
    uint32_t answered = 0;
    int code = 0;
    TlvNode* data = OpenFamilyAnswer(answer, length, pot, peripheral, 32, 0xDF828154, &answered, &code);
    if (data == nullptr) return code;
    drn::MarkAsked(&pot->df81811a.flag);
    if (second) {
        drn::MarkAsked(&pot->tag9f24.length);
        drn::MarkAsked(&pot->tag9f19.length);
        drn::MarkAsked(&pot->tag9f25.length);
    }
    for (const PotServicePair& p : pot->services)
        if ((p.mask & 0x4) != 0) drn::MarkAsked(&pot->pan.length);
    if (!ReadStatus(data, pot, 0xDF828100)) pot->busy = 32;
    if (ReadRows(data, pot, static_cast<int32_t>(answered), kReaderAnswer) > 0) pot->busy = 32;
    // The card number ends at its first space; the service code keeps its
    // last three characters.
    if (pot->pan.length > 0 && pot->pan.length <= PotText<20>::kCapacity) {
        char* space = static_cast<char*>(std::memchr(pot->pan.text, ' ', static_cast<size_t>(pot->pan.length)));
        if (space != nullptr) {
            pot->pan.length = static_cast<int32_t>(space - pot->pan.text);
            std::memset(space, 0, static_cast<size_t>(PotText<20>::kCapacity + 1 - pot->pan.length));
        }
    }
    if (pot->serviceCode.length == 4) {
        std::memmove(pot->serviceCode.text, pot->serviceCode.text + 1, 4);
        pot->serviceCode.length = 3;
    }
    DRN_FreeSyntax(1, 'r');
    return pot->busy;
}

}  // namespace

// ---------------------------------------------------------------------------
// Slots of the card operations
// ---------------------------------------------------------------------------

PotCardView POT_FindCardSlot(POT* pot, uint32_t tag) {
    if (pot != nullptr && tag != 0) {
        for (auto& s : pot->cardOps.shortSlots)
            if (s.tag == tag) return View(s);
        for (auto& s : pot->cardOps.longSlots)
            if (s.tag == tag) return View(s);
    }
    return {nullptr, nullptr, nullptr, 0};
}

PotCardView POT_CardSlot(POT* pot, uint32_t tag, int capacity) {
    PotCardView found = POT_FindCardSlot(pot, tag);
    if (found.length != nullptr || pot == nullptr || tag == 0) return found;
    if (capacity <= kPotCardShortText) {
        for (auto& s : pot->cardOps.shortSlots) {
            if (s.tag != 0) continue;
            s.tag = tag;
            return View(s);
        }
    }
    for (auto& s : pot->cardOps.longSlots) {
        if (s.tag != 0) continue;
        s.tag = tag;
        return View(s);
    }
    WSysError("-- ERROR -- POT_CardSlot : plus de place pour %08X", tag);
    return {nullptr, nullptr, nullptr, 0};
}

// ---------------------------------------------------------------------------
// 20 and 81
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetReader1Card(int* length, POT* pot) { return SetReader(length, pot, 0x2001); }
const unsigned char* DRN_SetReader2Card(int* length, POT* pot) { return SetReader(length, pot, 0x2002); }
int DRN_DealReader1Card(const unsigned char* answer, int length, POT* pot) {
    return DealReader(answer, length, pot, 0x2001, false);
}
int DRN_DealReader2Card(const unsigned char* answer, int length, POT* pot) {
    return DealReader(answer, length, pot, 0x2002, true);
}

// ---------------------------------------------------------------------------
// 40
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetCard3001(int* length, POT* pot) {
    if (length != nullptr) *length = 0;
    uint32_t peripheral = 0;
    if (pot == nullptr) return nullptr;
    pot->busy = 1;
    if (!TextPeripheral(pot, &peripheral)) return nullptr;
    const int32_t bits = ServiceBits(pot);
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.u32(0xDF838200, static_cast<uint32_t>(bits));
    AddRows(pot, d, kCard3001Head, bits);
    if ((bits & 0x100000) != 0) AddElement(pot, d, 0xDF85A100, Req::Bcd3);
    if ((bits & 0x800000) != 0) {
        // The number of DF85A100 again, as eight hexadecimal digits.
        const PotCardView v = POT_FindCardSlot(pot, 0xDF85A100);
        if (IsSet(v)) {
            char text[9];
            std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(*v.value));
            d.hex(0xDF85A000, text, 8, 8);
        }
    }
    if ((bits & 0x4020) != 0) AddElement(pot, d, 0xDF859500, Req::Hex);
    if ((bits & 0x20) != 0)
        AddElement(pot, d, 0xDF818E00, Req::Byte);
    else if ((bits & 0x4000) != 0)
        AddElement(pot, d, 0xDF819F00, Req::Byte);
    AddRows(pot, d, kCard3001Middle, bits);
    // DF858204 from the slot operation 50 fills with DF82810A, then from the
    // amount.
    if ((bits & 0x80) != 0) AddElement(pot, d, 0xDF858204, Req::Bcd3, 0xDF82810A);
    if ((bits & 0x102000) != 0 && pot->amount.flag != 0 && pot->amount.flag != kPotAsked)
        d.sealed(pot->amount.value >= 0 ? TLV_NewBCDN(0xDF858204, static_cast<unsigned long>(pot->amount.value), 3)
                                        : nullptr);
    AddRows(pot, d, kCard3001RequestTail, bits);
    if ((bits & 0x400000) != 0) {
        const PotCardView v = POT_FindCardSlot(pot, 0xDFF8A300);
        AddElement(pot, d, 0xDFF8A300, Req::Raw);
        if (IsSet(v) && *v.length >= 112) d.u16(0xDF82821C, 102);
    }
    AddElement(pot, d, 0xDF82821E, Req::U16);
    AddElement(pot, d, 0xDF828210, Req::U16);

    TlvNode* list = ListHead(0xDF838102, 0xDF828100);
    const PotCardView choice = POT_FindCardSlot(pot, 0xDF828216);
    const bool withA000 = IsSet(choice) && *choice.value != 0;
    bool ok = list != nullptr;
    for (const PotServicePair& p : pot->services) {
        for (size_t g = 0; g < sizeof kCard3001Tags / sizeof kCard3001Tags[0]; ++g) {
            const TagGroup& group = kCard3001Tags[g];
            if ((p.mask & group.bits) == 0) continue;
            for (int i = 0; i < group.count; ++i) ok = ok && drn::AppendTag(list, group.tags[i]);
            if (group.bits == 0x8) {
                if (withA000)
                    ok = ok && drn::AppendTag(list, 0xDF85A000) && drn::AppendTag(list, 0xDF819F00);
                else
                    ok = ok && drn::AppendTag(list, 0xDF818E00);
                ok = ok && drn::AppendTag(list, 0xDF859300) && drn::AppendTag(list, 0xDF859500);
            }
        }
    }
    return Close(pot, peripheral, kCardCommand, e2, d, list, ok, length);
}

int DRN_DealCard3001(const unsigned char* answer, int length, POT* pot) {
    if (pot == nullptr) return 1;
    pot->busy = 1;
    pot->result = 255;
    uint32_t answered = 0;
    int code = 0;
    TlvNode* data = OpenFamilyAnswer(answer, length, pot, 0x3001, 1, 0xDF838102, &answered, &code);
    if (data == nullptr) return code;
    if (!ReadStatus(data, pot, 0xDF828100)) {
        DRN_FreeSyntax(1, 'r');
        return 1;
    }
    ReadRows(data, pot, static_cast<int32_t>(answered), kCard3001Answer);
    // The choice of the 5C list: DF85A000 and DF819F00, or DF818E00.
    if ((answered & 0x8) != 0) {
        const PotCardView choice = POT_FindCardSlot(pot, 0xDF828216);
        const bool withA000 = IsSet(choice) && *choice.value != 0;
        if (withA000) {
            drn::ReadInto(data, 0xDF85A000, Enc::Number4, 0, RefOf(POT_CardSlot(pot, 0xDF85A000), 0));
            drn::ReadInto(data, 0xDF819F00, Enc::Number, 0, RefOf(POT_CardSlot(pot, 0xDF819F00), 0));
        } else {
            drn::ReadInto(data, 0xDF818E00, Enc::Number, 0, RefOf(POT_CardSlot(pot, 0xDF818E00), 0));
        }
    }
    // The card number without its last character; the currency by its
    // letters.
    const PotCardView pan = POT_FindCardSlot(pot, 0xDF858400);
    if (IsSet(pan) && *pan.length >= 2 && *pan.length - 1 <= PotText<20>::kCapacity) {
        std::memset(pot->pan.text, 0, sizeof pot->pan.text);
        std::memcpy(pot->pan.text, pan.text, static_cast<size_t>(*pan.length - 1));
        pot->pan.length = *pan.length - 1;
    }
    const PotCardView currency = POT_FindCardSlot(pot, 0xDF858418);
    if (IsSet(currency) && *currency.length == 3) {
        const auto is = [&](const char* code3) {
            for (int i = 0; i < 3; ++i)
                if (std::toupper(static_cast<unsigned char>(currency.text[i])) != code3[i]) return false;
            return true;
        };
        if (is("FRF")) pot->currencyCode = PotNumber{1, 250};
        if (is("EUR")) pot->currencyCode = PotNumber{1, 978};
    }
    DRN_FreeSyntax(1, 'r');
    pot->busy = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// 50
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetCard4001(int* length, POT* pot) {
    if (length != nullptr) *length = 0;
    uint32_t peripheral = 0;
    if (pot == nullptr) return nullptr;
    pot->busy = 1;
    if (!TextPeripheral(pot, &peripheral)) return nullptr;
    const int32_t bits = ServiceBits(pot);
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.u32(0xDF838200, static_cast<uint32_t>(bits));
    const int64_t now = plat::RealtimeMs();
    d.u16(0xDF82821C, (now / 1000 + now % 1000) & 0xFFFF);
    AddElement(pot, d, 0xDF848204, Req::U16);
    AddElement(pot, d, 0xDF818217, Req::Raw);
    const PotCardView date = POT_FindCardSlot(pot, 0xDF848206);
    if (IsSet(date) && *date.length == 6) {
        const char swapped[6] = {date.text[4], date.text[5], date.text[2], date.text[3], date.text[0], date.text[1]};
        d.hex(0xDF848206, swapped, 6, 6);
    }
    AddElement(pot, d, 0xDF848214, Req::Hex);
    const PotCardView groups = POT_FindCardSlot(pot, 0xDF858400);
    if (IsSet(groups)) {
        // Two, two and four characters, then n bytes, n the decimal value
        // of characters 3-4: all within the slot's text.
        const int have = *groups.length;
        const int n = have >= 4 ? static_cast<int>(drn::DecimalOf(groups.text + 2, 2)) : -1;
        if (have > groups.capacity || n < 0 || have < 8 + 2 * n) {
            d.fail();
        } else {
            d.hex(0xDF818218, groups.text, 2, 2);
            d.hex(0xDF818219, groups.text + 2, 2, 2);
            d.hex(0xDF84821A, groups.text + 4, 4, 4);
            if (n > 0) d.hex(0xDF858400, groups.text + 8, 2 * n, groups.capacity);
        }
    }
    TlvNode* list = ListHead(0xDF838100, 0xDF81811A);
    bool ok = list != nullptr;
    for (unsigned int tag : kCard4001Fixed) ok = ok && drn::AppendTag(list, tag);
    ok = ok && AddGroups(pot, list, kCard4001Tags);
    return Close(pot, peripheral, kCardCommand, e2, d, list, ok, length);
}

int DRN_DealCard4001(const unsigned char* answer, int length, POT* pot) {
    if (pot == nullptr) return 1;
    pot->busy = 1;
    pot->result = 255;
    uint32_t answered = 0;
    int code = 0;
    TlvNode* data = OpenFamilyAnswer(answer, length, pot, 0x4001, 1, 0xDF838100, &answered, &code);
    if (data == nullptr) return code;
    PotNumber status{};
    if (drn::ReadInto(data, 0xDF81811A, Enc::Number, 0, drn::Ref(status)) <= 0) {
        pot->status = PotNumber{};
        DRN_FreeSyntax(1, 'r');
        return 1;
    }
    pot->status = status;
    // DF82820C: kept while the slot holds a later value than the answer's.
    const PotCardView held = POT_CardSlot(pot, 0xDF82820C, 4);
    char before[5] = {};
    const bool holding = held.length != nullptr && *held.length == 4;
    if (holding) std::memcpy(before, held.text, 4);
    ReadRows(data, pot, static_cast<int32_t>(answered), kCard4001Answer);
    if ((answered & 0x2) != 0 && held.length != nullptr) {
        PotText<4> fresh{};
        const int r = drn::ReadInto(data, 0xDF82820C, Enc::PairsSwapped, 0, drn::Ref(fresh));
        if (r > 0 && (!holding || std::memcmp(fresh.text, before, 4) >= 0)) {
            std::memcpy(held.text, fresh.text, 5);
            *held.length = 4;
        }
    }
    // The card number: a 4-byte number written with ten digits, its first
    // four digits also as a number.
    if ((answered & 0x2) != 0) {
        uint32_t number = 0;
        int flag = 1;
        if (TLV_GetULong(data, 0xDF838106, &number, &flag) > 0) {
            std::memset(pot->pan.text, 0, sizeof pot->pan.text);
            std::snprintf(pot->pan.text, sizeof pot->pan.text, "%0*lu", 10, static_cast<unsigned long>(number));
            pot->pan.length = 10;
            pot->df818211 = PotNumber{1, drn::DecimalOf(pot->pan.text, 4)};
        } else {
            pot->pan.length = 0;
        }
    }
    DRN_FreeSyntax(1, 'r');
    pot->busy = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// 51
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetCardData(int* length, POT* pot) {
    if (length != nullptr) *length = 0;
    uint32_t peripheral = 0;
    if (pot == nullptr) return nullptr;
    pot->busy = 1;
    if (!TextPeripheral(pot, &peripheral)) return nullptr;
    const int32_t bits = ServiceBits(pot);
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.u32(0xDF838200, static_cast<uint32_t>(bits));
    const PotCardView v = POT_FindCardSlot(pot, 0xDF858400);
    if (IsSet(v)) d.hex(0xDF858400, v.text, *v.length, v.capacity);
    TlvNode* list = ListHead(0xDF838100, 0);
    const bool ok = list != nullptr && drn::AppendTag(list, 0xDF858400);
    return Close(pot, peripheral, kCardCommand, e2, d, list, ok, length);
}

int DRN_DealCardData(const unsigned char* answer, int length, POT* pot) {
    if (pot == nullptr) return 1;
    pot->busy = 32;
    pot->result = 255;
    uint32_t answered = 0;
    int code = 0;
    TlvNode* data = OpenFamilyAnswer(answer, length, pot, 0, 1, 0xDF838100, &answered, &code);
    if (data == nullptr) return code;
    const int r = drn::ReadInto(data, 0xDF858400, Enc::Hex, 0, RefOf(POT_CardSlot(pot, 0xDF858400, 384), 384));
    DRN_FreeSyntax(1, 'r');
    if (r <= 0) return 32;
    pot->busy = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// 60
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetCard6001(int* length, POT* pot) {
    if (length != nullptr) *length = 0;
    if (pot == nullptr) return nullptr;
    pot->busy = 1;
    const int32_t bits = ServiceBits(pot);
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.u32(0xDF838202, static_cast<uint32_t>(bits));
    if ((bits & 0x80) != 0) AddElement(pot, d, 0xDF858400, Req::Raw);
    if ((bits & 0x100) != 0) AddElement(pot, d, 0xDF828206, Req::U16);
    AddElement(pot, d, 0xDF828200, Req::Bcd2);
    AddElement(pot, d, 0xDF81820A, Req::Byte);
    if ((bits & 0x100) != 0) {
        // The track 2 slot from its second character, as many bytes as its
        // length (the terminator apart).
        const PotText<40>& track = pot->track2Equivalent;
        if (track.length > 1 && track.length <= PotText<40>::kCapacity)
            d.bytes(0xDF858400, reinterpret_cast<const unsigned char*>(track.text + 1), track.length - 1);
        AddElement(pot, d, 0xDF828208, Req::U16);
    }
    TlvNode* list = ListHead(0xDF838102, 0xDF828100);
    const bool ok = list != nullptr && AddGroups(pot, list, kCard6001Tags);
    return Close(pot, 0x6001, kCardCommand, e2, d, list, ok, length);
}

int DRN_DealCard6001(const unsigned char* answer, int length, POT* pot) {
    if (pot == nullptr) return 1;
    pot->busy = 1;
    pot->result = 255;
    uint32_t answered = 0;
    int code = 0;
    TlvNode* data = OpenFamilyAnswer(answer, length, pot, 0x6001, 1, 0xDF838102, &answered, &code);
    if (data == nullptr) return code;
    // Bits 0x80 and 0x40 leave the DF808xxx slots unasked.
    const int32_t asked = (answered & 0xC0) != 0 ? static_cast<int32_t>(answered) & ~0x8 : static_cast<int32_t>(answered);
    if (!ReadStatus(data, pot, 0xDF828100)) {
        DRN_FreeSyntax(1, 'r');
        return 1;
    }
    ReadRows(data, pot, asked, kCard6001Answer);
    DRN_FreeSyntax(1, 'r');
    pot->busy = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// 80
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetRecordExchange(int* length, DrnRecordExchangeRecord* r) {
    if (length != nullptr) *length = 0;
    if (r == nullptr) return nullptr;
    r->busy = 1;
    uint32_t bits = 0;
    for (auto& p : r->services) {
        bits |= static_cast<uint32_t>(p.mask);
        p.state = 0;
    }
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.u16(0xDF828100, bits);
    if (r->df82810aFlag != 0) d.u16(0xDF82810A, r->df82810a);
    if (r->df828108Flag != 0) d.u16(0xDF828108, r->df828108);
    if (r->df828104Flag != 0) {
        d.u16(0xDF828104, r->df828104);
        d.u16(0xDF828102, r->df828104);
    }
    if (r->headLength != 0 && r->dataLengthFlag != 0) {
        // The head, the length byte, then the data while its flag is set.
        const int n = r->dataLengthByte;
        if (r->headLength != 4 || n < 0 || n > 255) {
            d.fail();
        } else {
            unsigned char value[4 + 1 + 255];
            std::memcpy(value, r->head, 4);
            value[4] = static_cast<unsigned char>(n);
            const int data = r->dataFlag != 0 ? n : 0;
            std::memcpy(value + 5, r->data, static_cast<size_t>(data));
            d.bytes(0xDFE08400, value, 5 + data);
        }
    }
    TlvNode* list = ListHead(0xDF828200, 0);
    bool ok = list != nullptr;
    for (const auto& p : r->services) {
        if ((p.mask & 0x1A) != 0)
            ok = ok && drn::AppendTag(list, 0xDF828202) && drn::AppendTag(list, 0xDFE08404);
        else if ((p.mask & 0x3000) != 0)
            ok = ok && drn::AppendTag(list, 0xDF828202);
    }
    if (!d.ok() || !ok) {
        TLV_Free(e2, 'w');
        TLV_Free(list, 'w');
        return nullptr;
    }
    const unsigned char* message =
        drn::BuildMessage(static_cast<uint32_t>(r->peripheral), kCardCommand, e2, list, length);
    if (message != nullptr) r->busy = 0;
    return message;
}

int DRN_DealRecordExchange(const unsigned char* answer, int length, DrnRecordExchangeRecord* r) {
    if (r == nullptr) return 1;
    r->busy = 1;
    r->result = 255;
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    uint32_t answered = 0;
    int flag = 1;
    if (data == nullptr || peripheral != static_cast<uint32_t>(r->peripheral) ||
        command != static_cast<int>(kCardCommand) || !drn::ReadResult(data, &r->result) ||
        TLV_GetULong(data, 0xDF828200, &answered, &flag) <= 0) {
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    for (auto& p : r->services)
        if ((static_cast<uint32_t>(p.mask) & answered) != 0) p.state = 1;
    if ((answered & (0x2 | 0x8 | 0x10 | 0x1000 | 0x2000)) != 0) {
        uint16_t number = 0;
        flag = 1;
        if (TLV_GetUShort(data, 0xDF828202, &number, &flag) <= 0) {
            DRN_FreeSyntax(1, 'r');
            return 32;
        }
        r->df828202Flag = 1;
        r->df828202 = number;
    }
    if ((answered & (0x2 | 0x8 | 0x10)) != 0) {
        unsigned char bytes[kDrnRecordDataMax + 1];
        int got = sizeof bytes;
        if (TLV_GetBytesNonZero(data, 0xDFE08404, bytes, &got) <= 0) {
            DRN_FreeSyntax(1, 'r');
            return 32;
        }
        // The answer's record replaces the request's.
        std::memcpy(r->data, bytes, static_cast<size_t>(got));
        r->dataFlag = got;
        r->dataLengthByte = got;
        r->dataLengthFlag = 1;
        if (got > 1) {
            r->derivedFlag = 1;
            r->derived = (bytes[0] << 8) | bytes[1];
        }
    }
    DRN_FreeSyntax(1, 'r');
    r->busy = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// 82
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetECOCommand(int* length, POT* pot) {
    if (length != nullptr) *length = 0;
    if (pot == nullptr) return nullptr;
    uint32_t peripheral = 0;
    const int32_t command = pot->services[0].mask;
    if (!TextPeripheral(pot, &peripheral) || command == 0) {
        WSysError("-- ERROR -- [DRN_SetECOCommand] Code application TALVO absent");
        return nullptr;
    }
    pot->busy = 1;
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    AddElement(pot, d, 0xDF818101, Req::Byte);
    const PotCardView part = POT_FindCardSlot(pot, 0xDF858200);
    if (IsSet(part)) d.hex(0xDF858200, part.text, *part.length, part.capacity);
    TlvNode* list = TLV_NewPrimitive(DRN_TAG_TAG_LIST, 0, nullptr);
    bool ok = list != nullptr && drn::AppendTag(list, DRN_TAG_RESULT);
    for (const PotServicePair& p : pot->services) {
        if (p.mask == 0) break;
        if (p.mask == 2) ok = ok && drn::AppendTag(list, 0xDF818100) && drn::AppendTag(list, 0xDF858200);
        if (p.mask == 8) ok = ok && drn::AppendTag(list, 0xDF818101) && drn::AppendTag(list, 0xDF858200);
    }
    // The request is built: its slots now wait for the answer's parts.
    for (const PotCardView& v : {POT_CardSlot(pot, 0xDF818100), POT_CardSlot(pot, 0xDF818101),
                                 POT_CardSlot(pot, 0xDF858200, 512)})
        if (v.length != nullptr) drn::MarkAsked(v.length);
    return Close(pot, peripheral, static_cast<uint32_t>(command), e2, d, list, ok, length);
}

int Xa_Eco_GetReason(TlvNode* data, POT* pot) {
    const PotCardView v = POT_CardSlot(pot, 0xDF818100);
    if (v.length == nullptr || drn::ReadInto(data, 0xDF818100, Enc::Number, 0, RefOf(v, 0)) <= 0) {
        WSysError("-- ERROR -- [Xa_Eco_GetReason] Extraction echouee");
        return 0;
    }
    WSysError("** INFO. ** [Xa_Eco_GetReason] %u %u", 1u, static_cast<unsigned>(*v.value));
    return 1;
}

int Xa_Eco_GetPartNumber(TlvNode* data, POT* pot) {
    const PotCardView v = POT_CardSlot(pot, 0xDF818101);
    if (v.length == nullptr || drn::ReadInto(data, 0xDF818101, Enc::Number, 0, RefOf(v, 0)) <= 0) {
        WSysError("-- ERROR -- [Xa_Eco_GetPartNumber] Extraction echouee");
        return 0;
    }
    WSysError("** INFO. ** [Xa_Eco_GetPartNumber] %u %u", 1u, static_cast<unsigned>(*v.value));
    return 1;
}

int Xa_Eco_GetPartData(TlvNode* data, POT* pot) {
    const PotCardView v = POT_CardSlot(pot, 0xDF858200, 512);
    if (v.length == nullptr || drn::ReadInto(data, 0xDF858200, Enc::Hex, 0, RefOf(v, 512)) <= 0) {
        WSysError("-- ERROR -- [Xa_Eco_GetPartData] Extraction echouee");
        return 0;
    }
    WSysError("** INFO. ** [Xa_Eco_GetPartData] %u %s", 1u, v.text);
    return 1;
}

int DRN_DealECOAnswer(const unsigned char* answer, int length, POT* pot) {
    if (pot == nullptr) return 1;
    pot->busy = 1;
    pot->result = 255;
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    if (data == nullptr) {
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    const auto asked = static_cast<unsigned long>(pot->services[0].mask);
    if (command != static_cast<int>(asked)) {
        WSysError("-- ERROR -- [DRN_DealECOAnswer] Code action incorrect (%lu %lu)",
                  static_cast<unsigned long>(command), asked);
        DRN_FreeSyntax(1, 'r');
        return 1;
    }
    if (!drn::ReadResult(data, &pot->result)) {
        WSysError("-- ERROR -- [DRN_DealECOAnswer] Extraction resultat echouee");
        DRN_FreeSyntax(1, 'r');
        return 32;
    }
    WSysError("** INFO. ** [DRN_DealECOAnswer] Resultat: %u", static_cast<unsigned>(pot->result));
    Xa_Eco_GetReason(data, pot);
    Xa_Eco_GetPartNumber(data, pot);
    Xa_Eco_GetPartData(data, pot);
    DRN_FreeSyntax(1, 'r');
    pot->busy = 0;
    return 0;
}

// Slots of the DORAN records and the DORAN elements that fill or come from
// them: one view over every slot type of the card-data record (so that
// tables drive the decoders), the readings of an answer element into a slot
// by its encoding, and the writing of request elements. Internal to the
// DORAN module (doran_*.cpp). Main thread only.
#pragma once
#include <cstdint>

#include "core/tlv.h"
#include "protocols/pot.h"

namespace drn {

// One slot: its length or flag, and its text, bytes or number.
struct SlotRef {
    int32_t* length;      // length or flag
    void* area;           // text or bytes (null for number slots)
    int capacity;         // characters or bytes of the area
    int64_t* value;       // number slots
    int32_t* byteLength;  // number slots that keep their byte length
};

template <int N>
SlotRef Ref(PotText<N>& s) {
    return {&s.length, s.text, N, nullptr, nullptr};
}
template <int N>
SlotRef Ref(PotBytes<N>& s) {
    return {&s.length, s.bytes, N, nullptr, nullptr};
}
inline SlotRef Ref(PotNumber& s) { return {&s.flag, nullptr, 0, &s.value, nullptr}; }
inline SlotRef Ref(PotNumberLen& s) { return {&s.flag, nullptr, 0, &s.value, &s.byteLength}; }

// Empties the slot (length, area, number).
void Clear(const SlotRef& s);

// Encodings of an answer element.
enum class Enc {
    Hex,           // lower-case hexadecimal text
    HexUpper,      // the same, upper case
    Raw,           // bytes
    RawNonZero,    // bytes whose first byte is not 0
    Number,        // 1 or 2 big-endian bytes
    NumberLen,     // the same, with the byte length
    Number4,       // 1 to 4 big-endian bytes
    Bcd,           // 2 BCD bytes
    BcdN,          // 1 to 4 BCD bytes
    HexDecimal,    // hexadecimal text read as a decimal number
    PairsSwapped,  // 4 hexadecimal characters stored as characters 3-4 then 1-2
};

// Reads one element into the slot (cleared first). The getter's result: 1
// found, 2 found and repeated (the first value kept), 0 absent, -1 malformed
// or too long (the slot then holds nothing). A minimum above 0 refuses a
// shorter hexadecimal text.
int ReadInto(TlvNode* source, unsigned int tag, Enc enc, int minimum, const SlotRef& s);

// Hexadecimal digits read as a decimal number (digits up to the first other
// character, at most count).
int64_t DecimalOf(const char* text, int count);
void Upper(char* text);

// The peripheral of a record's text ("%lX"): true with its value for one to
// four hexadecimal digits.
bool PeripheralOfText(const char* text, int size, uint32_t* peripheral);

// Appends a tag to a tag list being built (its bytes, no length).
bool AppendTag(TlvNode* list, unsigned int tag);
// A new tag list (5C) of the tags; null when memory fails.
TlvNode* TagList(const unsigned int* tags, int count);

// Closes a request: the data part (elements of an E2 not yet sealed; null
// or empty: the message has no E2) and the tag list (a 5C not yet sealed),
// both taken over, sealed and encapsulated with the peripheral and command.
// The message (DRN_MessageBytes) and *length, or null with every part
// released.
const unsigned char* BuildMessage(uint32_t peripheral, uint32_t command, TlvNode* e2, TlvNode* list, int* length);
// Takes an answer apart: its data part (E2), or null (the parts released);
// *peripheral and *command of the answer.
TlvNode* OpenAnswer(const unsigned char* answer, int length, uint32_t* peripheral, int* command);
// DF828000 of the data part as a number: true when present.
bool ReadResult(TlvNode* data, int32_t* result);
// The value of the first element of the tag in the bytes (no element of
// length 0): true with the node.
bool FindValue(const unsigned char* bytes, int length, unsigned int tag, TlvNode* node);
inline void MarkAsked(int32_t* length) { *length = kPotAsked; }

// Data elements of a request, appended to the E2 part being built; the first
// failure sticks.
class RequestData {
public:
    explicit RequestData(TlvNode* e2) : e2_(e2) {}
    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

    void bytes(unsigned int tag, const unsigned char* b, int n);
    void byte(unsigned int tag, int64_t v);
    void u16(unsigned int tag, int64_t v);
    void u32(unsigned int tag, uint32_t v);
    // A sealed element made by a typed constructor of the codec (null fails).
    void sealed(TlvNode* node);
    // Hexadecimal text (odd: a leading '0'), refused when over its capacity.
    void hex(unsigned int tag, const char* text, int length, int capacity);
    template <int N>
    void hex(unsigned int tag, const PotText<N>& t) {
        if (t.length > 0) hex(tag, t.text, t.length, N);
    }

private:
    TlvNode* e2_;
    bool ok_ = true;
};

}  // namespace drn

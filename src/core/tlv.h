// BER-TLV codec: the element model, builders, two parsers, tag searches,
// typed getters and constructors, and a well-formedness check.
//
// Encoding: tags in their minimal big-endian form (1 to 4 bytes), lengths in
// one byte below 128, 0x81 nn below 256, 0x82 nn nn up to 65535.
//
// Two parser generations read received data. Both skip 0x00 and 0xFF filler
// bytes before an element; the second keeps a single 0xFF directly before a
// tag as the tag's first byte (FF 57 .. reads as tag 0xFF57). The first
// generation gives elements whose first tag byte is 0xC0 or more class 2
// and never searches into them.
//
// Everything that reads data takes its length and never reads past it; bad
// input gives "no element" or "malformed", never a crash. Constructed
// elements are searched at most kTlvMaxDepth levels deep, and a nested
// element must lie inside its parent.
#pragma once
#include <cstddef>
#include <cstdint>

// One element. Parsed elements point into the parsed buffer; built elements
// own their value block (private heap; none when lg is 0).
struct TlvNode {
    int cls = 0;                   // parsed: 0 primitive, 1 constructed, 2 private (first generation)
    unsigned int tag = 0;          // tag bytes as one big-endian number
    int lg = 0;                    // number of value bytes
    unsigned char* value = nullptr;
    unsigned char* end = nullptr;  // parsed: address just past the element
    bool owned = false;            // the value block belongs to the node
};

// Largest value length the codec writes or accepts.
constexpr int kTlvMaxValueLength = 65535;
// Deepest nesting of constructed elements that searches and checks enter.
constexpr int kTlvMaxDepth = 16;

// Releases a node (nothing for null). Mode 'w' also releases the value block
// of a built node; a parsed node's value is never released, whatever the mode.
void TLV_Free(TlvNode* node, char mode);

// ---------------------------------------------------------------------------
// Builders. Each returns a new node, or null when memory is lacking or an
// argument is unusable. The operations that take over their input node
// release it on success; on failure they return null and the input node stays
// the caller's, unchanged.
// ---------------------------------------------------------------------------

// Plain node holding a copy of the bytes (null bytes allowed only with length 0).
TlvNode* TLV_NewPrimitive(unsigned int tag, int length, const unsigned char* bytes);
// Value := old value + the bytes. Takes over the node.
TlvNode* TLV_AppendBytes(TlvNode* node, int count, const unsigned char* bytes);
// Value := old value + encoded tag + encoded length + the bytes. Takes over the node.
TlvNode* TLV_AppendChild(TlvNode* node, unsigned int tag, int length, const unsigned char* bytes);
// Sealed node: value := encoded tag + encoded length + old value, same tag.
// Takes over the node.
TlvNode* TLV_Seal(TlvNode* node);

// Typed constructors: sealed nodes, or null.
TlvNode* TLV_NewByte(unsigned int tag, uint8_t v);
TlvNode* TLV_NewUShort(unsigned int tag, uint16_t v);
TlvNode* TLV_NewULong(unsigned int tag, uint32_t v);
// One BCD byte: the last two decimal digits of (v modulo 256).
TlvNode* TLV_NewBCD1(unsigned int tag, unsigned int v);
// Two BCD bytes; null when v exceeds 9999.
TlvNode* TLV_NewBCD2(unsigned int tag, unsigned int v);
// The last n (1 to 4) of the four BCD bytes of v; null when v exceeds 99999999.
TlvNode* TLV_NewBCDN(unsigned int tag, unsigned long v, int n);
// Six BCD bytes of the amount (12 digits); null for a negative amount or one
// of more than 12 digits.
TlvNode* TLV_NewAmount(unsigned int tag, long amount);
// The n bytes; null when the bytes are missing or n is 0 or less.
TlvNode* TLV_NewBytes(unsigned int tag, const unsigned char* bytes, int n);
// The n hexadecimal characters (either case) as (n + 1) / 2 bytes, padded on
// the left with one "0" when n is odd; null when the text is missing, n is 0
// or less, or a character is not hexadecimal.
TlvNode* TLV_NewHex(unsigned int tag, const char* text, int n);

// ---------------------------------------------------------------------------
// Parsers
// ---------------------------------------------------------------------------

// New node of the first element (first generation), or null.
TlvNode* TLV_ParseElement(const unsigned char* buffer, int length);
// Fills the caller's node (first generation): 1 element, 0 no element (end of
// data, padding only, bad tag), -1 malformed (bad length bytes, element
// beyond the data).
int TLV_ReadElement(const unsigned char* buffer, int length, TlvNode* node);
// New node of the first element (second generation), or null.
TlvNode* TLV_NewElement(const unsigned char* buffer, int length);
// Fills the node (second generation): 1 element, 0 none or malformed.
int TLV_ParseElementEx(TlvNode* node, const unsigned char* buffer, int length);

// Reads the tag at the start of the buffer (no padding skipped) into *tag and
// the node's tag and class; the address after the tag, or null when the tag
// is longer than 4 bytes or runs past the length. First and second generation.
const unsigned char* TLV_ParseTag(const unsigned char* buffer, int length, unsigned int* tag,
                                  TlvNode* node);
const unsigned char* TLV_ParseTagEx(const unsigned char* buffer, int length, unsigned int* tag,
                                    TlvNode* node);
// Skips filler bytes (second-generation rule); *count := bytes skipped. The
// first byte of the element, or null when fewer than two bytes remain.
const unsigned char* TLV_SkipPadding(const unsigned char* buffer, int length, int* count);
// Reads a length: bytes used (1 to 3), 0 when malformed (0x80, 0x83 and
// above, or length bytes past the available count).
int TLV_ParseLength(const unsigned char* bytes, int available, int* length);

// ---------------------------------------------------------------------------
// Searches, depth first, over data of a given length, from its start or from
// a start address inside it (a start outside the data finds nothing). A match
// of length 0 counts as no match, except for TLV_FindTagEx at the top level.
// ---------------------------------------------------------------------------

TlvNode* TLV_FindTag(const unsigned char* data, int length, unsigned int tag,
                     const unsigned char* start);
TlvNode* TLV_Find(const unsigned char* data, int length, unsigned int tag,
                  const unsigned char* start);
int TLV_SearchTag(TlvNode* node, const unsigned char* data, int length, unsigned int tag,
                  const unsigned char* start);
TlvNode* TLV_FindTagEx(const unsigned char* data, int length, unsigned int tag,
                       const unsigned char* start);
// 1 when the data is a sequence of well-formed elements (filler allowed), 0 not.
int CheckTLV(const unsigned char* buffer, int length);
// Set by TLV_FindTag when it passes over a class-2 element with a value;
// cleared by TLV_GetHexByTag before its search.
int TLV_PrivateSeen();

// ---------------------------------------------------------------------------
// Typed getters: search the node's value for the tag (TLV_Find). Result -1 bad
// argument or value not allowed, 0 absent, 1 found, 2 found and the tag occurs
// again after it. On -1 and 0 the out length or out flag is set to 0.
//
// Text and byte getters: *length gives the capacity on entry (0 or less is a
// bad argument) and the length written on return. Numeric getters: *flag must
// be non-zero on entry and is 1 on success.
// ---------------------------------------------------------------------------

// Capacity above twice the value length (room for the NUL): the text is
// zero-filled over its capacity, then two lower-case digits per byte.
int TLV_GetHex(TlvNode* node, unsigned int tag, char* text, int* length);
// As TLV_GetHex, searched from *position (null: from the start); *position :=
// end of the element found. Never 2.
int TLV_GetNextHex(TlvNode* node, unsigned int tag, char* text, int* length,
                   const unsigned char** position);
// Hex length between the minimum and the capacity; the digits, then a NUL
// when there is room for it (no zero-fill).
int TLV_GetHexMin(TlvNode* node, unsigned int tag, char* text, int* length, int minimum);
// As TLV_GetHexMin with the first-generation search; a refused length is traced.
int TLV_GetHexByTag(TlvNode* node, unsigned int tag, char* text, int* length, int minimum);
// Value length below the capacity and a first byte other than 0x00: the bytes
// and a zero byte behind them; *length := value length.
int TLV_GetBytesNonZero(TlvNode* node, unsigned int tag, unsigned char* bytes, int* length);
// Value length below the capacity: the bytes and a zero byte behind them.
int TLV_GetBytes(TlvNode* node, unsigned int tag, unsigned char* bytes, int* length);
// 1 or 2 bytes, big-endian.
int TLV_GetUShort(TlvNode* node, unsigned int tag, uint16_t* number, int* flag);
int TLV_GetUShortLen(TlvNode* node, unsigned int tag, uint16_t* number, int* flag, int* length);
// 1 to 4 bytes, big-endian / little-endian (first byte least significant).
int TLV_GetULong(TlvNode* node, unsigned int tag, uint32_t* number, int* flag);
int TLV_GetULongLE(TlvNode* node, unsigned int tag, uint32_t* number, int* flag);
// Exactly 2 BCD bytes as a number; 0xFFFF when a digit is not 0-9.
int TLV_GetBCD2(TlvNode* node, unsigned int tag, uint16_t* number, int* flag);
// 1 to 4 BCD bytes as a number; 0xFFFFFFFF when a digit is not 0-9.
int TLV_GetBCD(TlvNode* node, unsigned int tag, uint32_t* number, int* flag);

// ---------------------------------------------------------------------------
// Byte order and tag size
// ---------------------------------------------------------------------------

unsigned char* TLV_PutU16BE(unsigned char* out, uint16_t v);
unsigned char* TLV_PutU32BE(unsigned char* out, uint32_t v);
// Stores the tag in its minimal form; the address after it.
unsigned char* TLV_PutTag(unsigned char* out, unsigned int tag);
uint16_t TLV_GetU16BE(const unsigned char* in);
// Big-endian number of 1 to 4 bytes (0 for another count or null).
uint32_t TLV_GetUIntBE(const unsigned char* in, int count);
// 1, 2, 3 or 4 by the tag's magnitude.
int TLV_TagSize(unsigned int tag);
// 1 when the tag's first byte has the constructed bit (0x20) set.
int TLV_IsConstructed(unsigned int tag);

// Card-data masking: the process-wide trace masking table (clear card numbers
// and track-2 images with their masked forms, and the list of tag codes whose
// values are always blotted out), the registration of values into it, the two
// passes the trace core and the exchange log run over every text before it is
// written, the in-place mask rules for card numbers and track images, and the
// protected (AES-256 enciphered) form in which a card value is stored.
//
// The table is guarded by the trace lock: registrations and both passes take
// it, so a thread that traces never sees a half-written table.
//
// A new registration adds its value to the ones already held instead of
// replacing them (a slot keeps up to kWSysMaskValuesPerSlot values until the
// next reset), so that a later registration - digits picked from a display
// text, say - can never unmask the card number registered before it. Values
// are masked longest first, so a short value never breaks up a longer one.
#pragma once
#include <cstddef>
#include <cstdint>

// Values of this many characters or more are not registered.
constexpr size_t kWSysMaskValueMax = 100;
// Values each slot (card number, track 2) keeps between two resets.
constexpr int kWSysMaskValuesPerSlot = 8;
// Room of the tag list: the search key of every sensitive code, "#" between.
constexpr size_t kWSysMaskTagListSize = 256;
// Room of a protected value: 64 hexadecimal digits and a NUL.
constexpr size_t kProtectedValueSize = 65;
// Room of a recovered value: 20 characters and a NUL.
constexpr size_t kProtectedClearSize = 21;

// Argument of WSysSetMasks.
struct WSysMaskRequest {
    char track2Clear[5000];
    char track2Replacement[5000];
    int track2Present;
    char cardNumberClear[5000];
    char cardNumberReplacement[5000];
    int cardNumberPresent;
    char tagList[kWSysMaskTagListSize];
    int tagListPresent;
    // Set when the card-number value is digits taken from a display text:
    // such a value never pushes a card value out of the table.
    int cardNumberIsDisplay;
};

// Registers a card number (not when null, empty or only "0" characters) with
// a replacement keeping its first 6 and last 4 characters, a track 2 (not
// when null or empty; cut at its first "F", without a leading "B") masked by
// MaskTrack2 (a track without separator is masked like a card number), the
// card number the track holds (before its separator), and the standard tag
// list. A value that its mask would leave unchanged (10 characters or fewer)
// is not registered: short digit strings change nothing. With reset 1 the
// table is emptied first. Always 0.
int RegisterLogMasking(const char* cardNumber, const char* track2, int reset);

// Registers digits shown in a display text so that they are masked like a
// card number (fewer than 11 digits change nothing), without ever pushing a
// registered card value out. Always 0.
int RegisterLogMaskingDisplay(const char* digits);

// The standard tag list: the search key "{CODE}" of every sensitive code of
// the card-data rules, "#" between them. It is in force from the start and
// after every reset.
const char* WSysStandardMaskTagList();

// Fills the table: with reset 1 the values are emptied and the tag list is
// back to the standard one; then each present slot value shorter than
// kWSysMaskValueMax characters is added. Its replacement is the given one
// when that is as long as the value and differs from it, else a run of "-" as
// long as the value. A present tag list that is not empty and shorter than
// kWSysMaskTagListSize characters replaces the list. Always 0.
int WSysSetMasks(const WSysMaskRequest* request, int reset);

// Hides the value of every key of the tag list in the text: each character
// up to the next "{" becomes "-", except in display texts, whose digits are
// masked like a card number. 1 done, -1 null text.
int WSysMaskTags(char* text);
// For every occurrence of the key, each character after it up to the next
// "{" (or the end) becomes "-". 1 done, -1 null text or null or empty key.
int WSysMaskAfter(char* text, const char* key);
// Replaces every registered clear value in the text (at most `size`
// characters are looked at) by its replacement, in place: the text keeps its
// length. 1 done, 0 nothing registered, -1 null text.
int WSysMaskValues(char* text, size_t size);

// The masks of one trace line or exchange-log entry (at most `size`
// characters are looked at), in place, keeping its length: the card values of
// its card-number and track tags are kept aside, the tag list is applied
// (WSysMaskTags), then the registered values (WSysMaskValues), then every
// track in text (a card number of 12 to 19 digits followed by "=", "D" or
// "^"-name-"^" and at least four digits: the number keeps its first 6 and
// last 4 digits, the name and the digits behind it are masked), then the
// copies of the values kept aside, then every run of 13 to 19 digits that
// passes the Luhn check is masked like a card number. -1 for a null text,
// else 1.
int WSysMaskLine(char* text, size_t size);

// ---------------------------------------------------------------------------
// Card data in bytes: what a terminal line carries (BER-TLV elements, packed
// decimal card numbers, track texts), and hexadecimal dumps of such bytes.
// ---------------------------------------------------------------------------

// What a masked byte reads.
constexpr unsigned char kWSysMaskedByte = '-';

// What the value of a card-data element holds.
enum class CardElementKind : uint8_t {
    Number,  // card number in packed decimal (5A)
    Track,   // track 2 image in packed decimal, "D" between number and expiry (57, 9F6B)
    Date,    // expiry date, packed decimal YYMMDD (5F24)
    Text,    // tracks in text, names (5F20, 56, 9F1F, 5F21 ...)
    Opaque,  // PIN blocks, discretionary data, whole card records
};

// Whether a BER-TLV tag (its bytes read big-endian: 0x5A, 0x5F24, 0xDFED6C)
// carries card data in terminal and card messages; *kind its kind.
bool WSysIsCardDataTag(uint32_t tag, CardElementKind* kind = nullptr);

// Masks card data in bytes, in place, keeping their length; every masked byte
// reads kWSysMaskedByte (text keeps the first 6 and last 4 digits of a card
// number, as a trace line does):
//  - unless the caller already masked the bytes by their structure
//    (structureKnown), what is found without structure: the value of every
//    card-data element found by its tag (two bytes or more for text and
//    opaque values), a length that fits and a value that looks like its
//    kind; packed decimal card numbers (16 to 19 digits passing the Luhn
//    check, or 12 to 19 followed by "D" and track data, with the track data
//    behind them; bytes that are all printable are text, not such numbers);
//  - the registered card numbers and tracks in packed decimal;
//  - tracks in text: the digits of a card number followed by "=", "D" or "^",
//    and the expiry, service code and discretionary data behind it;
//  - the masks of a trace line (WSysMaskLine) over each stretch of bytes
//    between two NUL bytes.
// The number of bytes changed.
size_t WSysMaskBytes(unsigned char* bytes, size_t length, bool structureKnown = false);

// Masks the value of every card-data element of a BER-TLV structure (the
// elements in sequence, constructed ones walked into), in place, whatever the
// value looks like. Filler bytes 00 and FF between elements are passed over.
// False (nothing masked) when the bytes are not such a structure.
bool WSysMaskCardElements(unsigned char* bytes, size_t length);

// In-place mask rules; a mask character of 0 means "-".
// Keeps the first 6 and the last 4 characters. 1 done; 0 (unchanged) for a
// null text or one shorter than 10 characters.
int MaskPanMiddle(char* text, char mask);
// Masks the first 6 characters and the one just before the first blank (the
// last one when there is no blank). 1 done; 0 (unchanged) for a null text or
// one of 6 characters or fewer.
int MaskPanEnds(char* text, char mask);
// Masks all but the last 4 of the length characters. 1 done; 0 (unchanged)
// for a null or empty buffer or a length below 4.
int MaskAllButLastFour(char* buffer, int length, char mask);
// Replaces characters by "E" up to the first "F" or the end, from the first
// character (fromStart set) or from the eighth (behind expiry date and
// service code). 1 done; -1 (unchanged) for a null text or one shorter than 7.
int MaskTrackDiscretionary(char* text, int fromStart);
// Masks a track image: the card number before the separator (first "D", else
// first "=") with MaskPanMiddle, the data behind it with
// MaskTrackDiscretionary. 0 null or empty track; -1 no separator (unchanged)
// or data behind it shorter than 7 (card number masked all the same); 1 done.
int MaskTrack2(char* track, char mask, int fromStart);

// Protect (protect set): the value's first 20 characters, blank-padded, in
// four groups of five each followed by three random digits, enciphered with
// WAesEncrypt into text as 64 lower-case hexadecimal digits and a NUL (text
// has kProtectedValueSize bytes). Recover (protect 0): the value rebuilt from
// the text, trailing blanks removed (value has kProtectedClearSize bytes).
// 1 done; -1 for a null argument, a text that is not 64 hexadecimal digits,
// or a cipher failure.
int ProtectCardValue(int protect, char* value, char* text);
// As the recover direction of ProtectCardValue, deciphering with
// DecryptStoredValue. 1 done, -1 as above.
int UnprotectStoredValue(char* value, const char* text);
// AES-256-CBC with a zero IV and no padding under the second built-in key
// (distinct from the WAesEncrypt key); length a positive multiple of 16,
// output may be input. 1 done, -1 refused or failed (nothing written).
int DecryptStoredValue(const unsigned char* input, unsigned char* output, size_t length);
// The enciphering counterpart, for the peers and tools that write values
// read back with DecryptStoredValue. Same rules.
int EncryptStoredValue(const unsigned char* input, unsigned char* output, size_t length);


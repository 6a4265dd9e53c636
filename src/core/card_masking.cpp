// Card-data masking table, mask rules and protected card values.
#include "core/card_masking.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <memory>
#include <mutex>
#include <vector>

#include "core/builtin_keys.h"
#include "core/crypto.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/card_data_rules.h"

namespace {

constexpr char kDefaultMask = '-';

char MaskChar(char mask) { return mask == 0 ? kDefaultMask : mask; }

// One registered value and its replacement of the same length.
struct MaskEntry {
    char clear[kWSysMaskValueMax] = {};
    char replacement[kWSysMaskValueMax] = {};
    size_t length = 0;
    bool display = false;  // digits of a display text, not a card value
};

struct MaskSlot {
    MaskEntry entries[kWSysMaskValuesPerSlot];
    int count = 0;
};

// The search key of every sensitive code of the card-data rules.
struct StandardTagList {
    char text[kWSysMaskTagListSize] = {};
    StandardTagList() {
        size_t used = 0;
        for (const carddata::SensitiveTag& tag : carddata::SensitiveTags()) {
            const int n = std::snprintf(text + used, sizeof text - used, "%s{%s}", used == 0 ? "" : "#", tag.code);
            // The list is sized for every code; a cut list would leave one in clear.
            if (n < 0 || static_cast<size_t>(n) >= sizeof text - used) std::abort();
            used += static_cast<size_t>(n);
        }
    }
};

const StandardTagList& Standard() {
    static const StandardTagList list;
    return list;
}

// The process-wide table; guarded by the trace lock. Until a list is set,
// the standard one is in force.
struct WSysMaskTable {
    MaskSlot track2;
    MaskSlot cardNumber;
    char tagList[kWSysMaskTagListSize] = {};
    int tagListSet = 0;
};

WSysMaskTable g_table;

// Applies one key of the tag list: display texts keep all but the middle
// digits of a card number, every other value is blotted out.
void MaskKey(char* text, const char* key) {
    const size_t keyLength = std::strlen(key);
    const carddata::SensitiveTag* tag =
        keyLength > 2 && key[0] == '{' && key[keyLength - 1] == '}'
            ? carddata::FindSensitiveTag(std::string_view(key + 1, keyLength - 2))
            : nullptr;
    if (tag == nullptr || tag->rule != carddata::TagRule::Display) {
        WSysMaskAfter(text, key);
        return;
    }
    for (char* p = std::strstr(text, key); p != nullptr; p = std::strstr(p, key)) {
        p += keyLength;
        char* end = std::strchr(p, '{');
        const size_t length = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        carddata::MaskDisplayDigits(p, length, kDefaultMask);
        p += length;
    }
}

void CopyCut(char* out, size_t size, const char* in) {
    size_t n = in != nullptr ? strnlen(in, size - 1) : 0;
    if (n > 0) std::memcpy(out, in, n);
    out[n] = '\0';
}

// Adds a value to the slot (or updates the replacement of the same value).
// Entries are kept oldest first. A full slot gives up, for a card value, its
// oldest entry; for display digits, its oldest display entry, else (a full
// slot of card values) its oldest card value, never the newest one: the card
// of the transaction in progress always stays masked, and display texts never
// push it out.
void AddValue(MaskSlot& slot, const char* clear, const char* replacement, bool display) {
    size_t length = strnlen(clear, kWSysMaskValueMax);
    if (length == 0 || length >= kWSysMaskValueMax) return;
    int found = -1;
    for (int i = 0; i < slot.count; ++i)
        if (slot.entries[i].length == length && std::memcmp(slot.entries[i].clear, clear, length) == 0) found = i;
    if (found >= 0) {
        // A card value registered again as display digits stays a card value.
        display = display && slot.entries[found].display;
    } else if (slot.count == kWSysMaskValuesPerSlot) {
        int victim = 0;
        if (display) {
            for (int i = 0; i < slot.count; ++i)
                if (slot.entries[i].display) {
                    victim = i;
                    break;
                }
        }
        std::memmove(&slot.entries[victim], &slot.entries[victim + 1],
                     sizeof(MaskEntry) * static_cast<size_t>(slot.count - victim - 1));
        --slot.count;
    }
    if (found >= 0) {
        // Move it to the newest place.
        MaskEntry keep = slot.entries[found];
        std::memmove(&slot.entries[found], &slot.entries[found + 1],
                     sizeof(MaskEntry) * static_cast<size_t>(slot.count - found - 1));
        slot.entries[slot.count - 1] = keep;
        OPENSSL_cleanse(&keep, sizeof keep);
    } else {
        ++slot.count;
    }
    MaskEntry* entry = &slot.entries[slot.count - 1];
    *entry = MaskEntry();
    std::memcpy(entry->clear, clear, length);
    entry->length = length;
    entry->display = display;
    // The replacement must keep the text's length and actually hide the value.
    size_t given = replacement != nullptr ? strnlen(replacement, kWSysMaskValueMax) : 0;
    if (given == length && std::memcmp(replacement, clear, length) != 0)
        std::memcpy(entry->replacement, replacement, length);
    else
        std::memset(entry->replacement, kDefaultMask, length);
}

void ClearSlot(MaskSlot& slot) {
    OPENSSL_cleanse(slot.entries, sizeof slot.entries);
    slot.count = 0;
}

void ReplaceAll(char* text, size_t textLength, const MaskEntry& e) {
    char* p = text;
    char* end = text + textLength;
    while (static_cast<size_t>(end - p) >= e.length) {
        void* hit = memmem(p, static_cast<size_t>(end - p), e.clear, e.length);
        if (hit == nullptr) break;
        std::memcpy(hit, e.replacement, e.length);
        p = static_cast<char*>(hit) + e.length;
    }
}

// AES-256-CBC under the second built-in key, rebuilt at each use and wiped.
int StoredValueCipher(bool encrypt, const unsigned char* input, unsigned char* output, size_t length) {
    if (length == 0) return -1;
    unsigned char key[BUILTIN_AES_KEY_SIZE];
    BuiltinRebuildStoredValueKey(key);
    int r = Aes256CbcZeroIv(key, encrypt, input, output, length);
    OPENSSL_cleanse(key, sizeof key);
    return r;
}

bool IsHexText(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// Recovers a value from its 64-digit text with the given decipher.
int RecoverValue(char* value, const char* text,
                 int (*decipher)(const unsigned char*, unsigned char*, size_t)) {
    if (value == nullptr || text == nullptr || strnlen(text, 64) < 64 || !IsHexText(text, 64))
        return -1;
    unsigned char cipher[32];
    unsigned char plain[33] = {};
    WHexToBin(cipher, text, 32);
    if (decipher(cipher, plain, 32) != 1) return -1;
    for (int g = 0; g < 4; ++g) std::memcpy(value + 5 * g, plain + 8 * g, 5);
    value[20] = '\0';
    OPENSSL_cleanse(plain, sizeof plain);
    WTrimRight(value);
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------

int WSysSetMasks(const WSysMaskRequest* request, int reset) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (reset == 1) {
        ClearSlot(g_table.track2);
        ClearSlot(g_table.cardNumber);
        std::memset(g_table.tagList, 0, sizeof g_table.tagList);
        g_table.tagListSet = 0;  // the standard list is in force again
    }
    if (request == nullptr) return 0;
    char clear[kWSysMaskValueMax + 1];
    char replacement[kWSysMaskValueMax + 1];
    if (request->track2Present) {
        CopyCut(clear, sizeof clear, request->track2Clear);
        CopyCut(replacement, sizeof replacement, request->track2Replacement);
        AddValue(g_table.track2, clear, replacement, false);
    }
    if (request->cardNumberPresent) {
        CopyCut(clear, sizeof clear, request->cardNumberClear);
        CopyCut(replacement, sizeof replacement, request->cardNumberReplacement);
        AddValue(g_table.cardNumber, clear, replacement, request->cardNumberIsDisplay != 0);
    }
    OPENSSL_cleanse(clear, sizeof clear);
    size_t listLength = strnlen(request->tagList, sizeof request->tagList);
    if (request->tagListPresent && listLength > 0 && listLength < sizeof request->tagList) {
        std::memcpy(g_table.tagList, request->tagList, listLength + 1);
        g_table.tagListSet = 1;
    }
    return 0;
}

const char* WSysStandardMaskTagList() { return Standard().text; }

namespace {

// Fills the card-number part of a request with a value and its card-number
// mask; false (nothing filled) when the mask would leave it unchanged.
bool SetCardNumber(WSysMaskRequest* request, const char* number, size_t length) {
    if (length == 0 || length >= sizeof request->cardNumberClear) return false;
    if (std::strspn(number, "0") >= length) return false;
    std::memcpy(request->cardNumberClear, number, length);
    request->cardNumberClear[length] = '\0';
    std::memcpy(request->cardNumberReplacement, request->cardNumberClear, length + 1);
    if (MaskPanMiddle(request->cardNumberReplacement, kDefaultMask) != 1 ||
        std::memcmp(request->cardNumberReplacement, number, length) == 0) {
        OPENSSL_cleanse(request->cardNumberClear, length);
        OPENSSL_cleanse(request->cardNumberReplacement, length);
        return false;
    }
    request->cardNumberPresent = 1;
    return true;
}

// Fills the track part of a request (cut at its first "F", without a leading
// "B"); a track without separator is masked like a card number. Also fills
// the card-number part with the number the track holds, unless one is set.
void SetTrack(WSysMaskRequest* request, const char* track2) {
    char* work = request->track2Replacement;
    CopyCut(work, sizeof request->track2Replacement, track2);
    if (char* f = std::strchr(work, 'F')) *f = '\0';
    if (work[0] == 'B') std::memmove(work, work + 1, std::strlen(work));
    CopyCut(request->track2Clear, sizeof request->track2Clear, work);
    const size_t length = std::strlen(work);
    // The separator MaskTrack2 takes: the first "D", else the first "=".
    const char* d = std::strchr(work, 'D');
    if (d == nullptr) d = std::strchr(work, '=');
    const size_t separator = d != nullptr ? static_cast<size_t>(d - work) : length;
    if (separator == length)
        MaskPanMiddle(work, kDefaultMask);
    else
        MaskTrack2(work, kDefaultMask, 0);
    request->track2Present = length > 0 && std::memcmp(work, request->track2Clear, length) != 0;
    if (!request->track2Present) {
        OPENSSL_cleanse(request->track2Clear, sizeof request->track2Clear);
        OPENSSL_cleanse(request->track2Replacement, sizeof request->track2Replacement);
    }
    if (!request->cardNumberPresent && separator < length)
        SetCardNumber(request, request->track2Clear, separator);
}

}  // namespace

int RegisterLogMasking(const char* cardNumber, const char* track2, int reset) {
    auto* request = static_cast<WSysMaskRequest*>(WAlloc(sizeof(WSysMaskRequest)));
    if (request == nullptr) {
        // Without room for the request, at least honour the reset.
        WSysSetMasks(nullptr, reset);
        return 0;
    }
    if (cardNumber != nullptr) SetCardNumber(request, cardNumber, strnlen(cardNumber, kWSysMaskValueMax));
    if (track2 != nullptr && track2[0] != '\0') SetTrack(request, track2);
    std::memcpy(request->tagList, Standard().text, sizeof request->tagList);
    request->tagListPresent = 1;
    WSysSetMasks(request, reset);
    OPENSSL_cleanse(request, sizeof *request);
    WFree(request);
    return 0;
}

int RegisterLogMaskingDisplay(const char* digits) {
    if (digits == nullptr || digits[0] == '\0') return 0;
    auto* request = static_cast<WSysMaskRequest*>(WAlloc(sizeof(WSysMaskRequest)));
    if (request == nullptr) return 0;
    if (SetCardNumber(request, digits, strnlen(digits, kWSysMaskValueMax))) {
        request->cardNumberIsDisplay = 1;
        WSysSetMasks(request, 0);
    }
    OPENSSL_cleanse(request, sizeof *request);
    WFree(request);
    return 0;
}

// ---------------------------------------------------------------------------
// Masking passes
// ---------------------------------------------------------------------------

int WSysMaskAfter(char* text, const char* key) {
    if (text == nullptr || key == nullptr || key[0] == '\0') return -1;
    size_t keyLength = std::strlen(key);
    char* p = std::strstr(text, key);
    while (p != nullptr) {
        char* q = p + keyLength;
        while (*q != '\0' && *q != '{') *q++ = '-';
        p = std::strstr(q, key);
    }
    return 1;
}

int WSysMaskTags(char* text) {
    if (text == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    char list[sizeof g_table.tagList];
    std::memcpy(list, g_table.tagListSet ? g_table.tagList : Standard().text, sizeof list);
    char* save = nullptr;
    for (char* key = strtok_r(list, "#", &save); key != nullptr; key = strtok_r(nullptr, "#", &save))
        MaskKey(text, key);
    return 1;
}

int WSysMaskValues(char* text, size_t size) {
    if (text == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    const MaskEntry* entries[2 * kWSysMaskValuesPerSlot];
    int count = 0;
    for (const MaskSlot* slot : {&g_table.track2, &g_table.cardNumber})
        for (int i = 0; i < slot->count; ++i) entries[count++] = &slot->entries[i];
    if (count == 0) return 0;
    // Longest first: a short value must not break up a longer one that holds it.
    std::stable_sort(entries, entries + count,
                     [](const MaskEntry* a, const MaskEntry* b) { return a->length > b->length; });
    size_t textLength = strnlen(text, size);
    for (int i = 0; i < count; ++i) ReplaceAll(text, textLength, *entries[i]);
    return 1;
}

namespace {
size_t MaskTextTracks(unsigned char* bytes, size_t n);
}  // namespace

int WSysMaskLine(char* text, size_t size) {
    if (text == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    const size_t length = strnlen(text, size);
    const carddata::CardValueCopies copies(text, length);
    WSysMaskTags(text);
    WSysMaskValues(text, size);
    MaskTextTracks(reinterpret_cast<unsigned char*>(text), length);
    copies.MaskIn(text, length, kDefaultMask);
    carddata::MaskCardNumberRuns(text, length, kDefaultMask);
    return 1;
}

// ---------------------------------------------------------------------------
// Card data in bytes
// ---------------------------------------------------------------------------

namespace {

struct CardTagRule {
    uint32_t tag;
    CardElementKind kind;
};

// Card numbers, tracks, expiry, names and PIN blocks of card and terminal
// messages: the EMV elements, the tracks of a terminal's card events (and
// their alternatives), its PIN block and alternative card number, and the
// card-data record of a template terminal.
constexpr CardTagRule kCardTags[] = {
    {0x5A, CardElementKind::Number},       {0x57, CardElementKind::Track},
    {0x9F6B, CardElementKind::Track},      {0x5F24, CardElementKind::Date},
    {0x5F20, CardElementKind::Text},       {0x56, CardElementKind::Text},
    {0x9F1F, CardElementKind::Text},       {0x9F0B, CardElementKind::Text},
    {0x5F21, CardElementKind::Text},       {0x5F22, CardElementKind::Text},
    {0x5F23, CardElementKind::Text},       {0xDFDB05, CardElementKind::Text},
    {0xDFDB06, CardElementKind::Text},     {0xDFDB07, CardElementKind::Text},
    {0x9F20, CardElementKind::Opaque},     {0xDFED6C, CardElementKind::Opaque},
    {0xDFEC7C, CardElementKind::Opaque},   {0xDF808400, CardElementKind::Opaque},
    // What the holder keys in on the terminal: a secret entry, an entered value.
    {0xDF8301, CardElementKind::Opaque},   {0xDFA208, CardElementKind::Opaque},
};

// Nesting walked into by WSysMaskCardElements.
constexpr int kElementDepthMax = 16;
// Digits of a card number before a track separator.
constexpr size_t kTrackNumberMin = 12;
constexpr size_t kTrackNumberMax = 19;
// Digits of a packed card number found without structure: the common card
// number lengths (shorter runs of decimal nibbles are too common in binary
// data to be taken for card numbers).
constexpr size_t kPackedNumberMin = 16;
// Digits behind a track separator that make it a track (the expiry).
constexpr size_t kTrackTailMin = 4;
// Room of a card name between the two "^" of a track 1.
constexpr size_t kTrack1NameMax = 26;

// A tag at p (one to four bytes): its length, 0 when none fits.
size_t ReadTag(const unsigned char* p, size_t n, uint32_t* tag) {
    if (n == 0) return 0;
    uint32_t t = p[0];
    size_t k = 1;
    if ((p[0] & 0x1F) == 0x1F) {
        for (;;) {
            if (k >= n || k >= 4) return 0;
            const unsigned char b = p[k++];
            t = (t << 8) | b;
            if ((b & 0x80) == 0) break;
        }
    }
    *tag = t;
    return k;
}

// A length at p (short form, 81 or 82): its length in bytes, 0 when none.
size_t ReadLength(const unsigned char* p, size_t n, size_t* length) {
    if (n == 0) return 0;
    if (p[0] < 0x80) {
        *length = p[0];
        return 1;
    }
    if (p[0] == 0x81 && n >= 2) {
        *length = p[1];
        return 2;
    }
    if (p[0] == 0x82 && n >= 3) {
        *length = (static_cast<size_t>(p[1]) << 8) | p[2];
        return 3;
    }
    return 0;
}

unsigned Nibble(const unsigned char* bytes, size_t k) { return k % 2 == 0 ? bytes[k / 2] >> 4 : bytes[k / 2] & 0x0F; }

// Packed decimal: digits, then only F nibbles; at least `minDigits` digits.
// *separator: the nibble index of the one "D" allowed (none when null).
bool PackedDigits(const unsigned char* v, size_t n, size_t minDigits, size_t* separator) {
    size_t digits = 0;
    bool padding = false;
    bool seen = false;
    for (size_t k = 0; k < 2 * n; ++k) {
        const unsigned x = Nibble(v, k);
        if (padding) {
            if (x != 0x0F) return false;
        } else if (x <= 9) {
            ++digits;
        } else if (x == 0x0D && separator != nullptr && !seen && digits >= kTrackNumberMin) {
            seen = true;
            *separator = k;
        } else if (x == 0x0F) {
            padding = true;
        } else {
            return false;
        }
    }
    return digits >= minDigits && (separator == nullptr || seen);
}

// Whether a value found without structure looks like its kind.
bool Plausible(CardElementKind kind, const unsigned char* v, size_t n) {
    switch (kind) {
        case CardElementKind::Number:
            return n >= 6 && n <= 10 && PackedDigits(v, n, kTrackNumberMin, nullptr);
        case CardElementKind::Track: {
            size_t separator = 0;
            return n >= 8 && n <= 20 && PackedDigits(v, n, kTrackNumberMin + kTrackTailMin, &separator);
        }
        case CardElementKind::Date: {
            if (n != 3 || !PackedDigits(v, n, 6, nullptr)) return false;
            const unsigned month = (v[1] >> 4) * 10 + (v[1] & 0x0F);
            const unsigned day = (v[2] >> 4) * 10 + (v[2] & 0x0F);
            return month >= 1 && month <= 12 && day <= 31;
        }
        case CardElementKind::Text:
            if (n == 0 || n > 127) return false;
            for (size_t i = 0; i < n; ++i)
                if (v[i] < 0x20 || v[i] > 0x7E) return false;
            return true;
        case CardElementKind::Opaque:
            return n > 0;
    }
    return false;
}

size_t Blot(unsigned char* p, size_t n) {
    size_t changed = 0;
    for (size_t i = 0; i < n; ++i) {
        changed += p[i] != kWSysMaskedByte;
        p[i] = kWSysMaskedByte;
    }
    return changed;
}

// Card-data elements wherever they stand: a tag, a length that fits and a
// value that looks like the tag's kind.
size_t ScanCardElements(unsigned char* bytes, size_t n) {
    size_t changed = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t tag = 0;
        const size_t tagLength = ReadTag(bytes + i, n - i, &tag);
        CardElementKind kind{};
        if (tagLength == 0 || !WSysIsCardDataTag(tag, &kind)) continue;
        // A one-byte tag of text or opaque data is not looked for: in text
        // any letter would do.
        if ((kind == CardElementKind::Opaque || kind == CardElementKind::Text) && tagLength < 2) continue;
        size_t length = 0;
        const size_t lengthLength = ReadLength(bytes + i + tagLength, n - i - tagLength, &length);
        const size_t value = i + tagLength + lengthLength;
        if (lengthLength == 0 || length == 0 || length > n - value) continue;
        if (!Plausible(kind, bytes + value, length)) continue;
        changed += Blot(bytes + value, length);
    }
    return changed;
}

// Walks a BER-TLV sequence; with apply, masks the card-data values. A
// constructed element whose content is not a sequence is looked into without
// structure. False when the bytes are not a sequence.
bool WalkElements(unsigned char* p, size_t n, int depth, bool apply) {
    size_t i = 0;
    while (i < n) {
        if (p[i] == 0x00 || p[i] == 0xFF) {
            ++i;
            continue;
        }
        uint32_t tag = 0;
        const size_t tagLength = ReadTag(p + i, n - i, &tag);
        if (tagLength == 0) return false;
        size_t length = 0;
        const size_t lengthLength = ReadLength(p + i + tagLength, n - i - tagLength, &length);
        if (lengthLength == 0) return false;
        const size_t value = i + tagLength + lengthLength;
        if (length > n - value) return false;
        if (apply) {
            if (WSysIsCardDataTag(tag)) {
                Blot(p + value, length);
            } else if ((p[i] & 0x20) != 0) {
                if (depth >= kElementDepthMax || !WalkElements(p + value, length, depth + 1, false))
                    ScanCardElements(p + value, length);
                else
                    WalkElements(p + value, length, depth + 1, true);
            }
        }
        i = value + length;
    }
    return true;
}

// The packed decimal image of a registered value (digits, "D" or "=" as the
// separator nibble); the nibble count, 0 when it holds anything else.
size_t PackValue(const char* clear, size_t length, unsigned char* out, size_t room) {
    if (length > 2 * room) return 0;
    std::memset(out, 0, room);
    for (size_t k = 0; k < length; ++k) {
        const char c = clear[k];
        unsigned x = 0;
        if (c >= '0' && c <= '9') x = static_cast<unsigned>(c - '0');
        else if (c == 'D' || c == 'd' || c == '=') x = 0x0D;
        else return 0;
        out[k / 2] |= static_cast<unsigned char>(k % 2 == 0 ? x << 4 : x);
    }
    return length;
}

// Registered card values in packed decimal. Needs the trace lock.
size_t MaskRegisteredPacked(unsigned char* bytes, size_t n) {
    size_t changed = 0;
    for (const MaskSlot* slot : {&g_table.track2, &g_table.cardNumber}) {
        for (int e = 0; e < slot->count; ++e) {
            const MaskEntry& entry = slot->entries[e];
            if (entry.display) continue;
            unsigned char packed[kWSysMaskValueMax / 2 + 1];
            const size_t nibbles = PackValue(entry.clear, entry.length, packed, sizeof packed);
            if (nibbles < kTrackNumberMin) continue;
            // The whole bytes of the image; an odd last digit shares its byte.
            const size_t whole = nibbles / 2;
            for (size_t at = 0; at + whole <= n;) {
                void* hit = memmem(bytes + at, n - at, packed, whole);
                if (hit == nullptr) break;
                const size_t from = static_cast<size_t>(static_cast<unsigned char*>(hit) - bytes);
                const size_t to = std::min(n, from + whole + (nibbles % 2));
                changed += Blot(bytes + from, to - from);
                at = to;
            }
        }
    }
    return changed;
}

// Whether whole bytes are all printable characters: text, whose digits and
// capital letters read as decimal nibbles too.
bool PrintableText(const unsigned char* bytes, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) return false;
    return true;
}

// Packed decimal card numbers: a run of digit nibbles from a byte boundary
// that passes the Luhn check (16 to 19 digits, the first not 0, the run
// ending there, its bytes not all printable characters), or of
// 12 to 19 digits followed by "D" and track data; the number and the track
// data behind it.
size_t MaskPackedNumbers(unsigned char* bytes, size_t n) {
    size_t changed = 0;
    const size_t total = 2 * n;
    size_t k = 0;
    while (k < total) {
        if (Nibble(bytes, k) > 9) {
            ++k;
            continue;
        }
        size_t end = k;
        while (end < total && Nibble(bytes, end) <= 9) ++end;
        const bool separator = end < total && Nibble(bytes, end) == 0x0D;
        size_t tail = end;
        if (separator) {
            tail = end + 1;
            while (tail < total && Nibble(bytes, tail) <= 9) ++tail;
        }
        for (size_t start = k + (k % 2); start < end; start += 2) {
            const size_t count = end - start;
            if (count > kTrackNumberMax) continue;
            if (PrintableText(bytes, start / 2, end / 2)) continue;
            if (separator && count >= kTrackNumberMin && tail - end - 1 >= kTrackTailMin) {
                changed += Blot(bytes + start / 2, (tail + 1) / 2 - start / 2);
                break;
            }
            if (count < kPackedNumberMin) break;
            // No card number begins with 0: zero-padded amounts and counters
            // are passed over.
            if (Nibble(bytes, start) == 0) continue;
            char digits[kTrackNumberMax];
            bool zeros = true;
            for (size_t d = 0; d < count; ++d) {
                digits[d] = static_cast<char>('0' + Nibble(bytes, start + d));
                zeros = zeros && digits[d] == '0';
            }
            if (!zeros && carddata::LuhnValid(digits, count)) {
                changed += Blot(bytes + start / 2, (end + 1) / 2 - start / 2);
                break;
            }
        }
        k = std::max(end, k + 1);
    }
    return changed;
}

bool IsDigitByte(unsigned char c) { return c >= '0' && c <= '9'; }

// Tracks in text: a card number of 12 to 19 digits followed by "=" or "D"
// and at least four digits (track 2), or by "^", a name, "^" and at least
// four digits (track 1). The number keeps its first 6 and last 4 digits;
// the name and every digit behind the separator are masked.
size_t MaskTextTracks(unsigned char* bytes, size_t n) {
    size_t changed = 0;
    size_t i = 0;
    while (i < n) {
        if (!IsDigitByte(bytes[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < n && IsDigitByte(bytes[end])) ++end;
        const size_t count = end - i;
        size_t tail = end;  // the masked part behind the number: [end + 1, tail)
        if (count >= kTrackNumberMin && count <= kTrackNumberMax && end < n) {
            if (bytes[end] == '=' || bytes[end] == 'D') {
                size_t t = end + 1;
                while (t < n && IsDigitByte(bytes[t])) ++t;
                if (t - end - 1 >= kTrackTailMin) tail = t;
            } else if (bytes[end] == '^') {
                size_t caret = end + 1;
                while (caret < n && caret - end - 1 <= kTrack1NameMax && bytes[caret] != '^') ++caret;
                if (caret < n && bytes[caret] == '^') {
                    size_t t = caret + 1;
                    while (t < n && IsDigitByte(bytes[t])) ++t;
                    if (t - caret - 1 >= kTrackTailMin) tail = t;
                }
            }
        }
        if (tail > end) {
            for (size_t d = i + carddata::kCardNumberKeptHead; d + carddata::kCardNumberKeptTail < end; ++d) {
                changed += bytes[d] != kWSysMaskedByte;
                bytes[d] = kWSysMaskedByte;
            }
            for (size_t d = end + 1; d < tail; ++d) {
                if (bytes[d] == '^') continue;
                changed += bytes[d] != kWSysMaskedByte;
                bytes[d] = kWSysMaskedByte;
            }
            i = tail;
        } else {
            i = end;
        }
    }
    return changed;
}

}  // namespace

bool WSysIsCardDataTag(uint32_t tag, CardElementKind* kind) {
    for (const CardTagRule& rule : kCardTags) {
        if (rule.tag != tag) continue;
        if (kind != nullptr) *kind = rule.kind;
        return true;
    }
    return false;
}

bool WSysMaskCardElements(unsigned char* bytes, size_t length) {
    if (bytes == nullptr || !WalkElements(bytes, length, 0, false)) return false;
    WalkElements(bytes, length, 0, true);
    return true;
}

size_t WSysMaskBytes(unsigned char* bytes, size_t length, bool structureKnown) {
    if (bytes == nullptr || length == 0) return 0;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    size_t changed = structureKnown ? 0 : ScanCardElements(bytes, length);
    changed += MaskRegisteredPacked(bytes, length);
    if (!structureKnown) changed += MaskPackedNumbers(bytes, length);
    changed += MaskTextTracks(bytes, length);
    // The masks of a trace line, over each stretch between NUL bytes (a
    // terminated copy, so that no search runs past the stretch).
    std::vector<char> text(bytes, bytes + length);
    text.push_back('\0');
    for (size_t i = 0; i < length;) {
        const size_t stretch = strnlen(text.data() + i, length - i);
        if (stretch > 0) WSysMaskLine(text.data() + i, stretch);
        i += stretch + 1;
    }
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == bytes[i]) continue;
        bytes[i] = c;
        ++changed;
    }
    OPENSSL_cleanse(text.data(), text.size());
    return changed;
}

// ---------------------------------------------------------------------------
// Mask rules
// ---------------------------------------------------------------------------

int MaskPanMiddle(char* text, char mask) {
    if (text == nullptr) return 0;
    size_t n = std::strlen(text);
    if (n < 10) return 0;
    std::memset(text + 6, MaskChar(mask), n - 10);
    return 1;
}

int MaskPanEnds(char* text, char mask) {
    if (text == nullptr) return 0;
    size_t n = std::strlen(text);
    if (n <= 6) return 0;
    char m = MaskChar(mask);
    const char* blank = std::strchr(text, ' ');
    size_t last = blank != nullptr ? static_cast<size_t>(blank - text) : n;
    std::memset(text, m, 6);
    if (last > 0) text[last - 1] = m;
    return 1;
}

int MaskAllButLastFour(char* buffer, int length, char mask) {
    if (buffer == nullptr || buffer[0] == '\0' || length < 4) return 0;
    std::memset(buffer, MaskChar(mask), static_cast<size_t>(length - 4));
    return 1;
}

int MaskTrackDiscretionary(char* text, int fromStart) {
    if (text == nullptr || std::strlen(text) < 7) return -1;
    for (char* p = text + (fromStart ? 0 : 7); *p != '\0' && *p != 'F'; ++p) *p = 'E';
    return 1;
}

int MaskTrack2(char* track, char mask, int fromStart) {
    if (track == nullptr || track[0] == '\0') return 0;
    char* separator = std::strchr(track, 'D');
    if (separator == nullptr) separator = std::strchr(track, '=');
    if (separator == nullptr) return -1;
    char kept = *separator;
    *separator = '\0';
    MaskPanMiddle(track[0] == 'B' ? track + 1 : track, mask);
    *separator = kept;
    return MaskTrackDiscretionary(separator + 1, fromStart);
}

// ---------------------------------------------------------------------------
// Protected card values
// ---------------------------------------------------------------------------

int ProtectCardValue(int protect, char* value, char* text) {
    if (value == nullptr || text == nullptr) return -1;
    if (!protect) return RecoverValue(value, text, WAesDecrypt);

    char padded[21];
    std::snprintf(padded, sizeof padded, "%-20.20s", value);
    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1) return -1;
    int filler[4];
    for (int i = 0; i < 4; ++i) filler[i] = ((random[2 * i] << 8) | random[2 * i + 1]) % 1000;
    char plain[33];
    // The groups are exactly five characters of the blank-padded value.
    std::snprintf(plain, sizeof plain, "%5.5s%03d%5.5s%03d%5.5s%03d%5.5s%03d", padded, filler[0],
                  padded + 5, filler[1], padded + 10, filler[2], padded + 15, filler[3]);
    unsigned char cipher[32];
    int r = WAesEncrypt(reinterpret_cast<const unsigned char*>(plain), cipher, 32);
    OPENSSL_cleanse(plain, sizeof plain);
    OPENSSL_cleanse(padded, sizeof padded);
    if (r != 1) return -1;
    WBinToHex(text, cipher, 32);
    text[64] = '\0';
    return 1;
}

int UnprotectStoredValue(char* value, const char* text) {
    return RecoverValue(value, text, DecryptStoredValue);
}

int DecryptStoredValue(const unsigned char* input, unsigned char* output, size_t length) {
    return StoredValueCipher(false, input, output, length);
}

int EncryptStoredValue(const unsigned char* input, unsigned char* output, size_t length) {
    return StoredValueCipher(true, input, output, length);
}


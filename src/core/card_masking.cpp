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

int WSysMaskLine(char* text, size_t size) {
    if (text == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    const size_t length = strnlen(text, size);
    const carddata::CardValueCopies copies(text, length);
    WSysMaskTags(text);
    WSysMaskValues(text, size);
    copies.MaskIn(text, length, kDefaultMask);
    carddata::MaskCardNumberRuns(text, length, kDefaultMask);
    return 1;
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


// BER-TLV codec. Nodes and built values live on the private heap; parsed
// nodes point into the caller's buffer and never copy value bytes.
#include "core/tlv.h"

#include <atomic>
#include <cstring>
#include <new>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

// Process-wide private-seen flag of the first-generation search.
std::atomic<int> g_privateSeen{0};

enum class Gen { First, Second };

// Outcome of reading one element.
enum class Read {
    Element,    // an element was read
    None,       // end of data or filler only
    Truncated,  // a single non-filler byte left
    BadTag,     // tag longer than 4 bytes or running past the data
    Malformed,  // bad length bytes or element beyond the data
};

bool IsFiller(unsigned char b) { return b == 0x00 || b == 0xFF; }

TlvNode* NewNode() {
    void* block = WAlloc(sizeof(TlvNode));
    if (block == nullptr) return nullptr;
    return new (block) TlvNode();
}

int EncodeLength(unsigned char* out, int length) {
    if (length < 0x80) {
        out[0] = static_cast<unsigned char>(length);
        return 1;
    }
    if (length <= 0xFF) {
        out[0] = 0x81;
        out[1] = static_cast<unsigned char>(length);
        return 2;
    }
    out[0] = 0x82;
    out[1] = static_cast<unsigned char>(length >> 8);
    out[2] = static_cast<unsigned char>(length);
    return 3;
}

// Reads the tag at buffer[0]; cls set by the generation's rule.
const unsigned char* ParseTagGen(Gen gen, const unsigned char* buffer, int length,
                                 unsigned int* tagOut, int* clsOut) {
    if (buffer == nullptr || length < 1) return nullptr;
    unsigned char first = buffer[0];
    unsigned int tag = first;
    int used = 1;
    if ((first & 0x1F) == 0x1F) {
        unsigned char b = 0;
        do {
            if (used >= length || used >= 4) return nullptr;
            b = buffer[used++];
            tag = (tag << 8) | b;
        } while (b & 0x80);
    }
    int cls = (first & 0x20) ? 1 : 0;
    if (gen == Gen::First && first >= 0xC0) cls = 2;
    if (tagOut != nullptr) *tagOut = tag;
    if (clsOut != nullptr) *clsOut = cls;
    return buffer + used;
}

// Tag reader of the public entry points: fills *tag and the node's tag and class.
const unsigned char* ParseTagInto(Gen gen, const unsigned char* buffer, int length,
                                  unsigned int* tag, TlvNode* node) {
    unsigned int t = 0;
    int cls = 0;
    const unsigned char* after = ParseTagGen(gen, buffer, length, &t, &cls);
    if (after == nullptr) return nullptr;
    if (tag != nullptr) *tag = t;
    if (node != nullptr) {
        node->tag = t;
        node->cls = cls;
    }
    return after;
}

// Skips filler bytes. With the second-generation rule a single 0xFF directly
// before the first non-filler byte starts the element.
const unsigned char* SkipFiller(Gen gen, const unsigned char* buffer, int length, int* count,
                                bool* truncated) {
    *truncated = false;
    int k = 0;
    int ffCount = 0;
    while (k < length && IsFiller(buffer[k])) {
        if (buffer[k] == 0xFF) ++ffCount;
        ++k;
    }
    if (gen == Gen::Second && ffCount == 1 && k > 0 && k < length && buffer[k - 1] == 0xFF) --k;
    if (count != nullptr) *count = k;
    int remaining = length - k;
    if (remaining < 2) {
        *truncated = remaining == 1;
        return nullptr;
    }
    return buffer + k;
}

// First-generation readers: fewer than three bytes after the padding, a tag
// longer than four bytes or running past the data, and a tag with no length
// byte behind it are "no further element", never an error.
constexpr int kFirstGenMinElement = 3;

Read ParseAt(Gen gen, const unsigned char* buffer, int length, TlvNode* node) {
    if (buffer == nullptr || length <= 0) return Read::None;
    bool truncated = false;
    int skipped = 0;
    const unsigned char* p = SkipFiller(gen, buffer, length, &skipped, &truncated);
    if (gen == Gen::First && length - skipped < kFirstGenMinElement) return Read::None;
    if (p == nullptr) return truncated ? Read::Truncated : Read::None;
    const unsigned char* limit = buffer + length;
    unsigned int tag = 0;
    int cls = 0;
    const unsigned char* q = ParseTagGen(gen, p, static_cast<int>(limit - p), &tag, &cls);
    if (q == nullptr) return gen == Gen::First ? Read::None : Read::BadTag;
    if (gen == Gen::First && q == limit) return Read::None;
    int lg = 0;
    int used = TLV_ParseLength(q, static_cast<int>(limit - q), &lg);
    if (used == 0) return Read::Malformed;
    q += used;
    if (lg > limit - q) return Read::Malformed;
    node->cls = cls;
    node->tag = tag;
    node->lg = lg;
    node->value = const_cast<unsigned char*>(q);
    node->end = const_cast<unsigned char*>(q + lg);
    node->owned = false;
    return Read::Element;
}

// Depth-first search over [data, data + length) from start. keepEmptyTop
// keeps a zero-length match at depth 0.
bool SearchIn(Gen gen, const unsigned char* data, int length, unsigned int tag,
              const unsigned char* start, TlvNode* out, bool keepEmptyTop, int depth) {
    const unsigned char* limit = data + length;
    const unsigned char* p = start;
    while (p < limit) {
        TlvNode n;
        if (ParseAt(gen, p, static_cast<int>(limit - p), &n) != Read::Element) return false;
        if (gen == Gen::First && n.cls == 2 && n.lg > 0) g_privateSeen.store(1);
        if (n.tag == tag && (n.lg > 0 || (keepEmptyTop && depth == 0))) {
            *out = n;
            return true;
        }
        if (n.cls == 1 && n.lg > 0 && depth < kTlvMaxDepth &&
            SearchIn(gen, n.value, n.lg, tag, n.value, out, false, depth + 1))
            return true;
        p = n.end;
    }
    return false;
}

bool StartInside(const unsigned char* data, int length, const unsigned char*& start) {
    if (data == nullptr || length <= 0) return false;
    if (start == nullptr) start = data;
    return start >= data && start < data + length;
}

TlvNode* FindNew(Gen gen, const unsigned char* data, int length, unsigned int tag,
                 const unsigned char* start, bool keepEmptyTop) {
    if (!StartInside(data, length, start)) return nullptr;
    TlvNode found;
    if (!SearchIn(gen, data, length, tag, start, &found, keepEmptyTop, 0)) return nullptr;
    TlvNode* node = NewNode();
    if (node != nullptr) *node = found;
    return node;
}

bool CheckIn(const unsigned char* buffer, int length, int depth) {
    if (depth > kTlvMaxDepth) return false;
    const unsigned char* p = buffer;
    const unsigned char* limit = buffer + length;
    while (p < limit) {
        TlvNode n;
        switch (ParseAt(Gen::First, p, static_cast<int>(limit - p), &n)) {
            case Read::None: return true;
            case Read::Truncated:
            case Read::BadTag:
            case Read::Malformed: return false;
            case Read::Element: break;
        }
        if (n.cls == 1 && n.lg > 0 && !CheckIn(n.value, n.lg, depth + 1)) return false;
        p = n.end;
    }
    return true;
}

// Replaces the node's value by old value + head + body (copied into a new
// block). The node is unchanged on failure.
bool Extend(TlvNode* node, const unsigned char* head, int headLength, const unsigned char* body,
            int bodyLength, int maxTotal) {
    long total = static_cast<long>(node->lg) + headLength + bodyLength;
    if (total > maxTotal) return false;
    if (total == 0) return true;
    auto* block = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(total)));
    if (block == nullptr) return false;
    unsigned char* w = block;
    if (node->lg > 0) {
        std::memcpy(w, node->value, static_cast<size_t>(node->lg));
        w += node->lg;
    }
    if (headLength > 0) {
        std::memcpy(w, head, static_cast<size_t>(headLength));
        w += headLength;
    }
    if (bodyLength > 0) std::memcpy(w, body, static_cast<size_t>(bodyLength));
    if (node->owned) WFree(node->value);
    node->value = block;
    node->lg = static_cast<int>(total);
    node->owned = true;
    node->end = nullptr;
    return true;
}

bool ValidLength(int length, const void* bytes) {
    return length >= 0 && length <= kTlvMaxValueLength && (length == 0 || bytes != nullptr);
}

TlvNode* Sealed(unsigned int tag, const unsigned char* bytes, int length) {
    TlvNode* node = TLV_NewPrimitive(tag, length, bytes);
    if (node == nullptr) return nullptr;
    TlvNode* sealed = TLV_Seal(node);
    if (sealed == nullptr) TLV_Free(node, 'w');
    return sealed;
}

// Writes the decimal digits (exactly 2 * count of them) as BCD bytes.
void DigitsToBcd(const char* digits, unsigned char* out, int count) {
    for (int i = 0; i < count; ++i)
        out[i] = static_cast<unsigned char>(((digits[2 * i] - '0') << 4) | (digits[2 * i + 1] - '0'));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Getter searches: the match (second or first generation) and whether the
// tag occurs again after it. -1 bad node, 0 absent, 1 found, 2 repeated.
int GetterFind(Gen gen, TlvNode* node, unsigned int tag, TlvNode* match,
               const unsigned char* start = nullptr) {
    if (node == nullptr || node->lg < 0 || (node->lg > 0 && node->value == nullptr)) return -1;
    const unsigned char* data = node->value;
    int length = node->lg;
    if (start != nullptr && (data == nullptr || start < data || start > data + length)) return -1;
    if (length == 0) return 0;
    const unsigned char* from = start != nullptr ? start : data;
    if (from >= data + length) return 0;
    if (!SearchIn(gen, data, length, tag, from, match, false, 0)) return 0;
    const unsigned char* again = match->end;
    if (again < data + length) {
        TlvNode second;
        if (SearchIn(gen, data, length, tag, again, &second, false, 0)) return 2;
    }
    return 1;
}

void WriteHex(char* text, const unsigned char* bytes, int count) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
}

int HexMin(Gen gen, TlvNode* node, unsigned int tag, char* text, int* length, int minimum) {
    if (length == nullptr) return -1;
    int capacity = *length;
    *length = 0;
    if (text == nullptr || capacity <= 0) return -1;
    TlvNode match;
    int r = GetterFind(gen, node, tag, &match);
    if (r <= 0) return r;
    int digits = 2 * match.lg;
    if (digits < minimum || digits > capacity) return -1;
    WriteHex(text, match.value, match.lg);
    if (digits < capacity) text[digits] = '\0';
    *length = digits;
    return r;
}

// Shared entry checks of the numeric getters: the match of 1 to maxBytes bytes.
int NumberFind(TlvNode* node, unsigned int tag, const void* number, int* flag, int minBytes,
               int maxBytes, TlvNode* match) {
    if (flag == nullptr) return -1;
    int asked = *flag;
    *flag = 0;
    if (asked == 0 || number == nullptr) return -1;
    int r = GetterFind(Gen::Second, node, tag, match);
    if (r <= 0) return r;
    if (match->lg < minBytes || match->lg > maxBytes) return -1;
    *flag = 1;
    return r;
}

// BCD bytes as a decimal number; false when a digit is not 0-9.
// The BCD digits of the bytes as a decimal number, each nibble taken for its
// value (A to F count 10 to 15). False when a byte is above 0x99.
bool BcdValue(const unsigned char* bytes, int count, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
        if (bytes[i] > 0x99) return false;
        v = v * 100 + unsigned(bytes[i] >> 4) * 10 + (bytes[i] & 0x0F);
    }
    *value = v;
    return true;
}

int BytesGet(TlvNode* node, unsigned int tag, unsigned char* bytes, int* length, bool nonZero) {
    if (length == nullptr) return -1;
    int capacity = *length;
    *length = 0;
    if (bytes == nullptr || capacity <= 0) return -1;
    TlvNode match;
    int r = GetterFind(Gen::Second, node, tag, &match);
    if (r <= 0) return r;
    // The zero byte written behind the value needs room too.
    if (match.lg >= capacity) return -1;
    if (nonZero && match.value[0] == 0x00) return -1;
    std::memcpy(bytes, match.value, static_cast<size_t>(match.lg));
    bytes[match.lg] = 0;
    *length = match.lg;
    return r;
}

}  // namespace

void TLV_Free(TlvNode* node, char mode) {
    if (node == nullptr) return;
    if (mode == 'w' && node->owned) WFree(node->value);
    node->~TlvNode();
    WFree(node);
}

// ---------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------

TlvNode* TLV_NewPrimitive(unsigned int tag, int length, const unsigned char* bytes) {
    if (!ValidLength(length, bytes)) return nullptr;
    TlvNode* node = NewNode();
    if (node == nullptr) return nullptr;
    node->tag = tag;
    if (!Extend(node, nullptr, 0, bytes, length, kTlvMaxValueLength)) {
        TLV_Free(node, 'w');
        return nullptr;
    }
    return node;
}

TlvNode* TLV_AppendBytes(TlvNode* node, int count, const unsigned char* bytes) {
    if (node == nullptr || !ValidLength(count, bytes)) return nullptr;
    if (!Extend(node, nullptr, 0, bytes, count, kTlvMaxValueLength)) return nullptr;
    return node;
}

TlvNode* TLV_AppendChild(TlvNode* node, unsigned int tag, int length, const unsigned char* bytes) {
    if (node == nullptr || !ValidLength(length, bytes)) return nullptr;
    unsigned char head[7];
    unsigned char* w = TLV_PutTag(head, tag);
    w += EncodeLength(w, length);
    if (!Extend(node, head, static_cast<int>(w - head), bytes, length, kTlvMaxValueLength))
        return nullptr;
    return node;
}

TlvNode* TLV_Seal(TlvNode* node) {
    if (node == nullptr || node->lg < 0 || node->lg > kTlvMaxValueLength) return nullptr;
    unsigned char head[7];
    unsigned char* w = TLV_PutTag(head, node->tag);
    w += EncodeLength(w, node->lg);
    int headLength = static_cast<int>(w - head);
    // New value: head + old value.
    TlvNode sealed;
    sealed.tag = node->tag;
    if (!Extend(&sealed, head, headLength, node->value, node->lg, kTlvMaxValueLength + 7))
        return nullptr;
    if (node->owned) WFree(node->value);
    node->value = sealed.value;
    node->lg = sealed.lg;
    node->owned = true;
    node->end = nullptr;
    return node;
}

TlvNode* TLV_NewByte(unsigned int tag, uint8_t v) { return Sealed(tag, &v, 1); }

TlvNode* TLV_NewUShort(unsigned int tag, uint16_t v) {
    unsigned char b[2];
    TLV_PutU16BE(b, v);
    return Sealed(tag, b, 2);
}

TlvNode* TLV_NewULong(unsigned int tag, uint32_t v) {
    unsigned char b[4];
    TLV_PutU32BE(b, v);
    return Sealed(tag, b, 4);
}

TlvNode* TLV_NewBCD1(unsigned int tag, unsigned int v) {
    unsigned two = (v % 256) % 100;
    unsigned char b = static_cast<unsigned char>(((two / 10) << 4) | (two % 10));
    return Sealed(tag, &b, 1);
}

TlvNode* TLV_NewBCD2(unsigned int tag, unsigned int v) {
    if (v > 9999) return nullptr;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%0*u", 4, v);
    unsigned char b[2];
    DigitsToBcd(digits, b, 2);
    return Sealed(tag, b, 2);
}

TlvNode* TLV_NewBCDN(unsigned int tag, unsigned long v, int n) {
    if (v > 99999999UL || n < 1 || n > 4) return nullptr;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*lu", 8, v);
    unsigned char b[4];
    DigitsToBcd(digits, b, 4);
    return Sealed(tag, b + (4 - n), n);
}

TlvNode* TLV_NewAmount(unsigned int tag, long amount) {
    if (amount < 0 || amount > 999999999999L) return nullptr;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%012ld", amount);
    unsigned char b[6];
    DigitsToBcd(digits, b, 6);
    return Sealed(tag, b, 6);
}

TlvNode* TLV_NewBytes(unsigned int tag, const unsigned char* bytes, int n) {
    if (bytes == nullptr || n <= 0) return nullptr;
    return Sealed(tag, bytes, n);
}

TlvNode* TLV_NewHex(unsigned int tag, const char* text, int n) {
    if (text == nullptr || n <= 0 || n > 2 * kTlvMaxValueLength) return nullptr;
    int count = (n + 1) / 2;
    auto* bytes = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(count)));
    if (bytes == nullptr) return nullptr;
    // An odd count of digits gets a leading "0".
    int pos = (n % 2 == 1) ? 1 : 0;
    for (int i = 0; i < n; ++i, ++pos) {
        int v = HexValue(text[i]);
        if (v < 0) {
            WFree(bytes);
            return nullptr;
        }
        bytes[pos / 2] = static_cast<unsigned char>(bytes[pos / 2] | (pos % 2 == 0 ? v << 4 : v));
    }
    TlvNode* node = Sealed(tag, bytes, count);
    WFree(bytes);
    return node;
}

// ---------------------------------------------------------------------------
// Parsers
// ---------------------------------------------------------------------------

int TLV_ParseLength(const unsigned char* bytes, int available, int* length) {
    if (bytes == nullptr || available < 1) return 0;
    unsigned char first = bytes[0];
    int value = 0;
    int used = 0;
    if (first < 0x80) {
        value = first;
        used = 1;
    } else if (first == 0x81) {
        if (available < 2) return 0;
        value = bytes[1];
        used = 2;
    } else if (first == 0x82) {
        if (available < 3) return 0;
        value = (bytes[1] << 8) | bytes[2];
        used = 3;
    } else {
        return 0;  // 0x80 (indefinite) and 0x83 or more
    }
    if (length != nullptr) *length = value;
    return used;
}

const unsigned char* TLV_ParseTag(const unsigned char* buffer, int length, unsigned int* tag,
                                  TlvNode* node) {
    return ParseTagInto(Gen::First, buffer, length, tag, node);
}

const unsigned char* TLV_ParseTagEx(const unsigned char* buffer, int length, unsigned int* tag,
                                    TlvNode* node) {
    return ParseTagInto(Gen::Second, buffer, length, tag, node);
}

const unsigned char* TLV_SkipPadding(const unsigned char* buffer, int length, int* count) {
    if (count != nullptr) *count = 0;
    if (buffer == nullptr || length <= 0) return nullptr;
    bool truncated = false;
    return SkipFiller(Gen::Second, buffer, length, count, &truncated);
}

int TLV_ReadElement(const unsigned char* buffer, int length, TlvNode* node) {
    if (node == nullptr) return -1;
    TlvNode n;
    switch (ParseAt(Gen::First, buffer, length, &n)) {
        case Read::Element:
            *node = n;
            return 1;
        case Read::Malformed: return -1;
        default: return 0;
    }
}

TlvNode* TLV_ParseElement(const unsigned char* buffer, int length) {
    TlvNode n;
    if (ParseAt(Gen::First, buffer, length, &n) != Read::Element) return nullptr;
    TlvNode* node = NewNode();
    if (node != nullptr) *node = n;
    return node;
}

int TLV_ParseElementEx(TlvNode* node, const unsigned char* buffer, int length) {
    if (node == nullptr) return 0;
    TlvNode n;
    if (ParseAt(Gen::Second, buffer, length, &n) != Read::Element) return 0;
    *node = n;
    return 1;
}

TlvNode* TLV_NewElement(const unsigned char* buffer, int length) {
    TlvNode n;
    if (ParseAt(Gen::Second, buffer, length, &n) != Read::Element) return nullptr;
    TlvNode* node = NewNode();
    if (node != nullptr) *node = n;
    return node;
}

// ---------------------------------------------------------------------------
// Searches
// ---------------------------------------------------------------------------

TlvNode* TLV_FindTag(const unsigned char* data, int length, unsigned int tag,
                     const unsigned char* start) {
    return FindNew(Gen::First, data, length, tag, start, false);
}

TlvNode* TLV_Find(const unsigned char* data, int length, unsigned int tag,
                  const unsigned char* start) {
    return FindNew(Gen::Second, data, length, tag, start, false);
}

TlvNode* TLV_FindTagEx(const unsigned char* data, int length, unsigned int tag,
                       const unsigned char* start) {
    return FindNew(Gen::Second, data, length, tag, start, true);
}

int TLV_SearchTag(TlvNode* node, const unsigned char* data, int length, unsigned int tag,
                  const unsigned char* start) {
    if (node == nullptr || !StartInside(data, length, start)) return 0;
    TlvNode found;
    if (!SearchIn(Gen::Second, data, length, tag, start, &found, false, 0)) return 0;
    *node = found;
    return 1;
}

int CheckTLV(const unsigned char* buffer, int length) {
    if (buffer == nullptr || length < 0) return 0;
    return CheckIn(buffer, length, 0) ? 1 : 0;
}

int TLV_PrivateSeen() { return g_privateSeen.load(); }

// ---------------------------------------------------------------------------
// Typed getters
// ---------------------------------------------------------------------------

int TLV_GetHex(TlvNode* node, unsigned int tag, char* text, int* length) {
    return TLV_GetNextHex(node, tag, text, length, nullptr);
}

int TLV_GetNextHex(TlvNode* node, unsigned int tag, char* text, int* length,
                   const unsigned char** position) {
    if (length == nullptr) return -1;
    int capacity = *length;
    *length = 0;
    if (text == nullptr || capacity <= 0) return -1;
    TlvNode match;
    const unsigned char* from = position != nullptr ? *position : nullptr;
    int r = GetterFind(Gen::Second, node, tag, &match, from);
    if (r <= 0) return r;
    // Two digits per byte and the terminator.
    if (2 * match.lg >= capacity) return -1;
    std::memset(text, 0, static_cast<size_t>(capacity));
    WriteHex(text, match.value, match.lg);
    *length = 2 * match.lg;
    if (position != nullptr) {
        *position = match.end;
        return 1;
    }
    return r;
}

int TLV_GetHexMin(TlvNode* node, unsigned int tag, char* text, int* length, int minimum) {
    return HexMin(Gen::Second, node, tag, text, length, minimum);
}

int TLV_GetHexByTag(TlvNode* node, unsigned int tag, char* text, int* length, int minimum) {
    g_privateSeen.store(0);
    int capacity = length != nullptr ? *length : 0;
    int r = HexMin(Gen::First, node, tag, text, length, minimum);
    if (r == -1 && text != nullptr && capacity > 0 && node != nullptr) {
        TlvNode match;
        if (GetterFind(Gen::First, node, tag, &match) > 0) WSysError("-- ERROR -- : TLV Format Erreur");
    }
    return r;
}

int TLV_GetBytesNonZero(TlvNode* node, unsigned int tag, unsigned char* bytes, int* length) {
    return BytesGet(node, tag, bytes, length, true);
}

int TLV_GetBytes(TlvNode* node, unsigned int tag, unsigned char* bytes, int* length) {
    return BytesGet(node, tag, bytes, length, false);
}

int TLV_GetUShort(TlvNode* node, unsigned int tag, uint16_t* number, int* flag) {
    TlvNode match;
    int r = NumberFind(node, tag, number, flag, 1, 2, &match);
    if (r > 0) *number = static_cast<uint16_t>(TLV_GetUIntBE(match.value, match.lg));
    return r;
}

int TLV_GetUShortLen(TlvNode* node, unsigned int tag, uint16_t* number, int* flag, int* length) {
    if (length != nullptr) *length = 0;
    if (length == nullptr) {
        if (flag != nullptr) *flag = 0;
        return -1;
    }
    TlvNode match;
    int r = NumberFind(node, tag, number, flag, 1, 2, &match);
    if (r > 0) {
        *number = static_cast<uint16_t>(TLV_GetUIntBE(match.value, match.lg));
        *length = match.lg;
    }
    return r;
}

int TLV_GetULong(TlvNode* node, unsigned int tag, uint32_t* number, int* flag) {
    TlvNode match;
    int r = NumberFind(node, tag, number, flag, 1, 4, &match);
    if (r > 0) *number = TLV_GetUIntBE(match.value, match.lg);
    return r;
}

int TLV_GetULongLE(TlvNode* node, unsigned int tag, uint32_t* number, int* flag) {
    TlvNode match;
    int r = NumberFind(node, tag, number, flag, 1, 4, &match);
    if (r > 0) {
        uint32_t v = 0;
        for (int i = match.lg - 1; i >= 0; --i) v = (v << 8) | match.value[i];
        *number = v;
    }
    return r;
}

int TLV_GetBCD2(TlvNode* node, unsigned int tag, uint16_t* number, int* flag) {
    TlvNode match;
    int r = NumberFind(node, tag, number, flag, 2, 2, &match);
    if (r > 0) {
        // The four nibbles as thousands, hundreds, tens and units.
        uint32_t v = 0;
        for (int i = 0; i < 2; ++i) v = v * 100 + unsigned(match.value[i] >> 4) * 10 + (match.value[i] & 0x0F);
        *number = v > 9999 ? 0xFFFF : static_cast<uint16_t>(v);
    }
    return r;
}

int TLV_GetBCD(TlvNode* node, unsigned int tag, uint32_t* number, int* flag) {
    TlvNode match;
    int r = NumberFind(node, tag, number, flag, 1, 4, &match);
    if (r > 0) {
        uint32_t v = 0;
        *number = BcdValue(match.value, match.lg, &v) ? v : 0xFFFFFFFFu;
    }
    return r;
}

// ---------------------------------------------------------------------------
// Byte order and tag size
// ---------------------------------------------------------------------------

unsigned char* TLV_PutU16BE(unsigned char* out, uint16_t v) {
    out[0] = static_cast<unsigned char>(v >> 8);
    out[1] = static_cast<unsigned char>(v);
    return out + 2;
}

unsigned char* TLV_PutU32BE(unsigned char* out, uint32_t v) {
    out[0] = static_cast<unsigned char>(v >> 24);
    out[1] = static_cast<unsigned char>(v >> 16);
    out[2] = static_cast<unsigned char>(v >> 8);
    out[3] = static_cast<unsigned char>(v);
    return out + 4;
}

unsigned char* TLV_PutTag(unsigned char* out, unsigned int tag) {
    int size = TLV_TagSize(tag);
    for (int i = size - 1; i >= 0; --i) *out++ = static_cast<unsigned char>(tag >> (8 * i));
    return out;
}

uint16_t TLV_GetU16BE(const unsigned char* in) {
    if (in == nullptr) return 0;
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

uint32_t TLV_GetUIntBE(const unsigned char* in, int count) {
    if (in == nullptr || count < 1 || count > 4) return 0;
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 8) | in[i];
    return v;
}

int TLV_TagSize(unsigned int tag) {
    if (tag < 0x100u) return 1;
    if (tag < 0x10000u) return 2;
    if (tag < 0x1000000u) return 3;
    return 4;
}

int TLV_IsConstructed(unsigned int tag) {
    unsigned first = tag >> (8 * (TLV_TagSize(tag) - 1));
    return (first & 0x20) ? 1 : 0;
}

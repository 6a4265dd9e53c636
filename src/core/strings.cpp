// Byte and string searches and comparisons, with a wildcard character and
// with ASCII case folding; the range-list test.
#include <cstring>
#include <string_view>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

inline unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }
inline unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

// Decimal integer read as atoi does (leading blanks, a sign, digits up to the
// first other character), saturated to the int32 range instead of overflowing.
int64_t ReadInt(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        value = value * 10 + (s[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
    }
    value = negative ? -value : value;
    if (value > INT32_MAX) value = INT32_MAX;
    return value;
}

// 1 when the first count bytes are equal, a-z folded to A-Z with fold.
int SameBytes(const char* a, const char* b, int fold, size_t count) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a);
    const auto* pb = reinterpret_cast<const unsigned char*>(b);
    for (size_t i = 0; i < count; ++i) {
        unsigned char ca = pa[i], cb = pb[i];
        if (fold) {
            ca = Upper(ca);
            cb = Upper(cb);
        }
        if (ca != cb) return 0;
    }
    return 1;
}

}  // namespace

int32_t WFindChar(const void* buffer, int32_t length, char c) {
    if (length <= 0) return length < 0 ? 0 : length;
    if (buffer == nullptr) return length;
    const void* hit = std::memchr(buffer, static_cast<unsigned char>(c), static_cast<size_t>(length));
    if (hit == nullptr) return length;
    return static_cast<int32_t>(static_cast<const char*>(hit) - static_cast<const char*>(buffer));
}

int WIsFilledWith(const void* buffer, int32_t length, char c) {
    if (length <= 0) return 1;
    if (buffer == nullptr) return 0;
    const auto* p = static_cast<const char*>(buffer);
    for (int32_t i = 0; i < length; ++i)
        if (p[i] != c) return 0;
    return 1;
}

const char* WFindWildString(const char* text, const char* pattern, char wildcard) {
    if (text == nullptr || pattern == nullptr) return nullptr;
    size_t textLen = std::strlen(text);
    size_t patLen = std::strlen(pattern);
    if (patLen > textLen) return nullptr;
    for (size_t i = 0; i + patLen <= textLen; ++i) {
        size_t j = 0;
        while (j < patLen && (pattern[j] == wildcard || pattern[j] == text[i + j])) ++j;
        if (j == patLen) return text + i;
    }
    return nullptr;
}

char* WFindWildString(char* text, const char* pattern, char wildcard) {
    return const_cast<char*>(WFindWildString(static_cast<const char*>(text), pattern, wildcard));
}

int32_t WRemoveChar(char* buffer, int32_t length, char c) {
    if (length < 0) return -1;
    if (buffer == nullptr || length == 0) return 0;
    int32_t out = 0;
    for (int32_t in = 0; in < length; ++in)
        if (buffer[in] != c) buffer[out++] = buffer[in];
    if (out < length) std::memset(buffer + out, 0, static_cast<size_t>(length - out));
    return out;
}

void WZeroString(char* text) {
    if (text == nullptr) return;
    std::memset(text, 0, std::strlen(text));
}

int WCompareString(const char* a, const char* b, int fold) {
    if (a == nullptr || b == nullptr) return -1;
    size_t len = std::strlen(a);
    if (len != std::strlen(b)) return 0;
    return SameBytes(a, b, fold, len);
}

int WCompareNString(const char* a, const char* b, int fold, int32_t count) {
    if (count <= 0) return 1;
    if (a == nullptr || b == nullptr) return 0;
    return SameBytes(a, b, fold, static_cast<size_t>(count));
}

int WCompareWildString(const char* a, const char* b, int fold, int32_t count, char wildcard) {
    if (count <= 0) return 1;
    if (a == nullptr || b == nullptr) return -1;
    auto* ca = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(count) + 1));
    auto* cb = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(count) + 1));
    if (ca == nullptr || cb == nullptr) {
        WFree(ca);
        WFree(cb);
        return -1;
    }
    std::memcpy(ca, a, static_cast<size_t>(count));
    std::memcpy(cb, b, static_cast<size_t>(count));
    if (fold) {
        for (int32_t i = 0; i < count; ++i) {
            ca[i] = Lower(ca[i]);
            cb[i] = Lower(cb[i]);
        }
    }
    // The wildcard is matched as given (it is not lower-cased).
    const auto wild = static_cast<unsigned char>(wildcard);
    int result = 1;
    for (int32_t i = 0; i < count; ++i) {
        if (ca[i] != cb[i] && ca[i] != wild && cb[i] != wild) {
            result = 0;
            break;
        }
    }
    WFree(ca);
    WFree(cb);
    return result;
}

int WCompareStringIgnoring(const char* a, const char* b, int fold, int32_t lengthA, int32_t lengthB,
                           char ignored) {
    if (lengthA < 0 || lengthB < 0) return -1;
    if (lengthA == 0 && lengthB == 0) return 1;
    if ((a == nullptr && lengthA > 0) || (b == nullptr && lengthB > 0)) return -1;
    auto* ca = static_cast<char*>(WAlloc(static_cast<size_t>(lengthA)));
    auto* cb = static_cast<char*>(WAlloc(static_cast<size_t>(lengthB)));
    if (ca == nullptr || cb == nullptr) {
        WFree(ca);
        WFree(cb);
        return -1;
    }
    if (lengthA > 0) std::memcpy(ca, a, static_cast<size_t>(lengthA));
    if (lengthB > 0) std::memcpy(cb, b, static_cast<size_t>(lengthB));
    if (fold) {
        for (int32_t i = 0; i < lengthA; ++i) ca[i] = static_cast<char>(Lower(static_cast<unsigned char>(ca[i])));
        for (int32_t i = 0; i < lengthB; ++i) cb[i] = static_cast<char>(Lower(static_cast<unsigned char>(cb[i])));
    }
    int32_t restA = WRemoveChar(ca, lengthA, ignored);
    int32_t restB = WRemoveChar(cb, lengthB, ignored);
    int result = restA != restB ? 0 : WCompareNString(ca, cb, fold, restA);
    WFree(ca);
    WFree(cb);
    return result;
}

void WTrimRight(char* text) {
    if (text == nullptr) return;
    size_t len = std::strlen(text);
    while (len > 0 && text[len - 1] == ' ') text[--len] = '\0';
}

int WIsDigitString(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    for (; *text; ++text)
        if (*text < '0' || *text > '9') return 0;
    return 1;
}

int WIsInRangeList(const char* list, int32_t number) {
    if (list == nullptr) return 0;
    size_t len = strnlen(list, kWRangeListMax + 1);
    if (len > kWRangeListMax) {
        WSysError("<< WARN. >> WIsInRangeList(): list longer than %zu characters refused", kWRangeListMax);
        return 0;
    }
    // The list is read in place: each item ends at a ';', and a list that
    // does not end in ';' has one implied (so an empty list is one empty
    // item). An empty item reads as 0.
    std::string_view rest(list, len);
    bool more = true;
    while (more) {
        size_t end = rest.find(';');
        std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        more = end != std::string_view::npos && !rest.empty();
        size_t dash = item.size() > 1 ? item.find('-', 1) : std::string_view::npos;
        if (dash == std::string_view::npos) {
            if (ReadInt(item) == number) return 1;
        } else {
            int64_t low = ReadInt(item.substr(0, dash));
            int64_t high = ReadInt(item.substr(dash + 1));
            if (number >= low && number <= high) return 1;
        }
    }
    return 0;
}

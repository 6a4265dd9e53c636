// Sensitive tag codes and the masks of card numbers in log text.
#include "platform/card_data_rules.h"

#include <cstring>

namespace carddata {
namespace {

constexpr SensitiveTag kSensitiveTags[] = {
    {"D1A", TagRule::CardNumber},   {"DATA_PAN", TagRule::CardNumber},
    {"D2F", TagRule::Track},        {"DATA_ISO2", TagRule::Track},
    {"D6J", TagRule::Blot},         {"D3Y", TagRule::Blot},
    {"CARD_VISCRYPT", TagRule::Blot}, {"DA8", TagRule::Blot},
    {"TC3", TagRule::Blot},         {"CSGPO", TagRule::Blot},
    {"CSRED", TagRule::Blot},       {"CSALL", TagRule::Blot},
    // The third track, the GENERATE AC and supplementary chip answers and the
    // enciphered card block go to the server with the card data.
    {"D6K", TagRule::Blot},         {"CSGAC", TagRule::Blot},
    {"CSSUP", TagRule::Blot},       {"P2PE", TagRule::Blot},
    {"P2PE_P", TagRule::Blot},
    {"D3L", TagRule::Ticket},       {"D3L1", TagRule::Ticket},
    {"D3L2", TagRule::Ticket},      {"PRN_TEXT", TagRule::Ticket},
    {"ED", TagRule::Display},       {"DISP_TEXT", TagRule::Display},
};

// Longest code of the table: a "{...}" holding more is no sensitive code.
constexpr size_t kLongestCode = 13;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Masks positions [head, count - tail) of a run of `count` characters.
void MaskMiddle(char* run, size_t count, char mask) {
    for (size_t i = kCardNumberKeptHead; i + kCardNumberKeptTail < count; ++i) run[i] = mask;
}

}  // namespace

std::span<const SensitiveTag> SensitiveTags() { return kSensitiveTags; }

const SensitiveTag* FindSensitiveTag(std::string_view code) {
    for (const SensitiveTag& tag : kSensitiveTags)
        if (code == tag.code) return &tag;
    return nullptr;
}

size_t MaskDisplayDigits(char* value, size_t length, char mask) {
    if (value == nullptr) return 0;
    size_t digits = 0;
    for (size_t i = 0; i < length; ++i) digits += IsDigit(value[i]) ? 1 : 0;
    if (digits <= kCardNumberKeptHead + kCardNumberKeptTail) return 0;
    size_t seen = 0;
    size_t masked = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!IsDigit(value[i])) continue;
        if (seen >= kCardNumberKeptHead && seen + kCardNumberKeptTail < digits) {
            value[i] = mask;
            ++masked;
        }
        ++seen;
    }
    return masked;
}

size_t MaskSensitiveTagValues(char* text, size_t length, char mask) {
    if (text == nullptr) return 0;
    size_t hidden = 0;
    size_t i = 0;
    while (i < length) {
        const char* open = static_cast<const char*>(std::memchr(text + i, '{', length - i));
        if (open == nullptr) break;
        const size_t codeStart = size_t(open - text) + 1;
        size_t close = codeStart;
        while (close < length && close - codeStart <= kLongestCode && text[close] != '}' &&
               text[close] != '{')
            ++close;
        if (close >= length || text[close] != '}') {
            i = close < length && text[close] == '{' ? close : codeStart;
            continue;
        }
        const SensitiveTag* tag =
            FindSensitiveTag(std::string_view(text + codeStart, close - codeStart));
        size_t end = close + 1;
        while (end < length && text[end] != '{') ++end;
        if (tag != nullptr) {
            char* value = text + close + 1;
            const size_t valueLength = end - (close + 1);
            if (tag->rule == TagRule::Display) {
                MaskDisplayDigits(value, valueLength, mask);
            } else {
                std::memset(value, mask, valueLength);
            }
            ++hidden;
        }
        i = end;
    }
    return hidden;
}

CardValueCopies::~CardValueCopies() {
    // The kept values are card data: wiped, not merely dropped.
    volatile char* p = &values_[0][0];
    for (size_t i = 0; i < sizeof values_; ++i) p[i] = 0;
}

void CardValueCopies::Add(const char* value, size_t length) {
    if (length <= kCardNumberKeptHead + kCardNumberKeptTail || length > kMaxLength) return;
    if (count_ == kMaxValues) return;
    for (size_t i = 0; i < count_; ++i)
        if (lengths_[i] == length && std::memcmp(values_[i], value, length) == 0) return;
    std::memcpy(values_[count_], value, length);
    lengths_[count_] = length;
    ++count_;
}

void CardValueCopies::Collect(const char* text, size_t length) {
    if (text == nullptr) return;
    size_t i = 0;
    while (i < length) {
        const char* open = static_cast<const char*>(std::memchr(text + i, '{', length - i));
        if (open == nullptr) break;
        const size_t codeStart = size_t(open - text) + 1;
        const char* close = static_cast<const char*>(std::memchr(text + codeStart, '}', length - codeStart));
        if (close == nullptr) break;
        const size_t valueStart = size_t(close - text) + 1;
        size_t end = valueStart;
        while (end < length && text[end] != '{') ++end;
        const SensitiveTag* tag = FindSensitiveTag(std::string_view(text + codeStart, valueStart - 1 - codeStart));
        const char* value = text + valueStart;
        size_t n = end - valueStart;
        if (tag != nullptr && tag->rule == TagRule::CardNumber) {
            if (n > 0 && value[n - 1] == 'F') --n;
            Add(value, n);
        } else if (tag != nullptr && tag->rule == TagRule::Track) {
            const char* f = static_cast<const char*>(std::memchr(value, 'F', n));
            if (f != nullptr) n = size_t(f - value);
            if (n > 0 && value[0] == 'B') {
                ++value;
                --n;
            }
            // The card number ends at the first "D", else at the first "=".
            const char* d = static_cast<const char*>(std::memchr(value, 'D', n));
            if (d == nullptr) d = static_cast<const char*>(std::memchr(value, '=', n));
            if (d != nullptr) Add(value, size_t(d - value));
        }
        i = end > valueStart ? end : valueStart;
    }
}

size_t CardValueCopies::MaskIn(char* text, size_t length, char mask) const {
    if (text == nullptr) return 0;
    // Longest first: a short value never breaks up a longer one holding it.
    size_t order[kMaxValues];
    for (size_t i = 0; i < count_; ++i) order[i] = i;
    for (size_t i = 1; i < count_; ++i)
        for (size_t j = i; j > 0 && lengths_[order[j]] > lengths_[order[j - 1]]; --j) {
            const size_t t = order[j];
            order[j] = order[j - 1];
            order[j - 1] = t;
        }
    size_t masked = 0;
    for (size_t k = 0; k < count_; ++k) {
        const char* value = values_[order[k]];
        const size_t n = lengths_[order[k]];
        for (size_t at = 0; at + n <= length;) {
            const void* hit = memmem(text + at, length - at, value, n);
            if (hit == nullptr) break;
            char* p = static_cast<char*>(const_cast<void*>(hit));
            MaskMiddle(p, n, mask);
            ++masked;
            at = size_t(p - text) + n;
        }
    }
    return masked;
}

void MaskLogText(char* text, size_t length, char mask) {
    if (text == nullptr) return;
    CardValueCopies copies(text, length);
    MaskSensitiveTagValues(text, length, mask);
    copies.MaskIn(text, length, mask);
    MaskCardNumberRuns(text, length, mask);
}

bool LuhnValid(const char* digits, size_t count) {
    if (digits == nullptr || count == 0) return false;
    unsigned sum = 0;
    for (size_t k = 0; k < count; ++k) {
        const char c = digits[count - 1 - k];
        if (!IsDigit(c)) return false;
        unsigned d = unsigned(c - '0');
        if (k % 2 == 1) {
            d *= 2;
            if (d > 9) d -= 9;
        }
        sum += d;
    }
    return sum % 10 == 0;
}

size_t MaskCardNumberRuns(char* text, size_t length, char mask) {
    if (text == nullptr) return 0;
    size_t masked = 0;
    size_t i = 0;
    while (i < length) {
        if (!IsDigit(text[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < length && IsDigit(text[end])) ++end;
        const size_t count = end - i;
        // A run of zeros passes the check but is no card number.
        const bool zeros = std::strspn(text + i, "0") >= count;
        if (count >= kCardNumberRunMin && count <= kCardNumberRunMax && !zeros && LuhnValid(text + i, count)) {
            MaskMiddle(text + i, count, mask);
            ++masked;
        }
        i = end;
    }
    return masked;
}

}  // namespace carddata

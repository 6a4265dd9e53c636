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
        if (count >= kCardNumberRunMin && count <= kCardNumberRunMax && LuhnValid(text + i, count)) {
            MaskMiddle(text + i, count, mask);
            ++masked;
        }
        i = end;
    }
    return masked;
}

}  // namespace carddata

// Hexadecimal and Base64 text, quotient/remainder printing and padded
// decimal text.
#include <cstdio>
#include <cstring>

#include "core/helpers.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// The Base64 alphabet (RFC 4648, standard).
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Quotient and remainder without the traps of the C operators: a divisor of
// 0 counts as 1, and INT32_MIN / -1 saturates instead of overflowing.
void QuotRem(int32_t dividend, int32_t divisor, int32_t* quotient, int32_t* remainder) {
    if (divisor == 0) divisor = 1;
    int64_t q = static_cast<int64_t>(dividend) / divisor;
    *quotient = q > INT32_MAX ? INT32_MAX : static_cast<int32_t>(q);
    *remainder = static_cast<int32_t>(static_cast<int64_t>(dividend) % divisor);
}

}  // namespace

void WBinToHex(char* out, const void* in, int32_t count) {
    if (out == nullptr || in == nullptr || count <= 0) return;
    const auto* bytes = static_cast<const unsigned char*>(in);
    for (int32_t i = 0; i < count; ++i) {
        out[2 * i] = kHexDigits[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
    }
}

void WHexToBin(void* out, const char* in, int32_t count) {
    if (out == nullptr || in == nullptr || count <= 0) return;
    auto* bytes = static_cast<unsigned char*>(out);
    bool ended = false;  // the text's NUL was reached: the rest reads as 0
    for (int32_t i = 0; i < count; ++i) {
        int value = 0;
        if (!ended) {
            char first = in[2 * i];
            if (first == '\0') {
                ended = true;
            } else {
                char second = in[2 * i + 1];
                int high = HexValue(first);
                int low = second == '\0' ? -1 : HexValue(second);
                if (high >= 0) value = low >= 0 ? high * 16 + low : high;
                if (second == '\0') ended = true;
            }
        }
        bytes[i] = static_cast<unsigned char>(value);
    }
}

int WPrintQuotRem(char* out, const char* format, int32_t dividend, int32_t divisor) {
    if (out == nullptr || format == nullptr) return -1;
    int32_t q, r;
    QuotRem(dividend, divisor, &q, &r);
    return std::sprintf(out, format, q, r);
}

int WPrintQuotRem(char* out, size_t outSize, const char* format, int32_t dividend, int32_t divisor) {
    if (out == nullptr || format == nullptr || outSize == 0) return -1;
    int32_t q, r;
    QuotRem(dividend, divisor, &q, &r);
    int n = std::snprintf(out, outSize, format, q, r);
    if (n < 0) return -1;
    return static_cast<size_t>(n) < outSize ? n : static_cast<int>(outSize - 1);
}

char* WIntToString(int32_t value, int32_t width, char fill, char* out, size_t outSize) {
    if (out == nullptr || outSize == 0) return nullptr;
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%d", value);
    if (width > kWIntToStringMaxWidth) width = kWIntToStringMaxWidth;
    size_t pad = width > n ? static_cast<size_t>(width - n) : 0;
    size_t total = pad + static_cast<size_t>(n);
    if (total > outSize - 1) total = outSize - 1;
    size_t i = 0;
    for (; i < total && i < pad; ++i) out[i] = fill;
    for (size_t j = 0; i < total; ++i, ++j) out[i] = digits[j];
    out[total] = '\0';
    return out;
}

const char* WIntToString(int32_t value, int32_t width, char fill) {
    thread_local char text[kWIntToStringMaxWidth + 1];
    return WIntToString(value, width, fill, text, sizeof text);
}

std::string WBase64Encode(const void* data, size_t length) {
    std::string text;
    if (data == nullptr || length == 0) return text;
    const auto* p = static_cast<const unsigned char*>(data);
    text.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        text += kBase64Alphabet[group >> 18];
        text += kBase64Alphabet[(group >> 12) & 0x3F];
        text += kBase64Alphabet[(group >> 6) & 0x3F];
        text += kBase64Alphabet[group & 0x3F];
    }
    size_t left = length - i;
    if (left > 0) {
        uint32_t group = uint32_t{p[i]} << 16;
        if (left == 2) group |= uint32_t{p[i + 1]} << 8;
        text += kBase64Alphabet[group >> 18];
        text += kBase64Alphabet[(group >> 12) & 0x3F];
        text += left == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
        text += '=';
    }
    return text;
}

std::string WBase64Encode(std::string_view data) { return WBase64Encode(data.data(), data.size()); }

namespace {

// The last 2 * bytes decimal digits of value as packed BCD, high digit first.
void PackBcd(int64_t value, unsigned char* out, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        const int low = static_cast<int>(value % 10);
        value /= 10;
        const int high = static_cast<int>(value % 10);
        value /= 10;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
}

}  // namespace

int IntToBCD2(int32_t value, unsigned char* out) {
    if (out == nullptr || value < 0 || value > 9999) return -1;
    PackBcd(value, out, 2);
    return 1;
}

int LongToBCD4(int64_t value, unsigned char* out) {
    if (out == nullptr || value < 0 || value > 99999999) return -1;
    PackBcd(value, out, 4);
    return 1;
}

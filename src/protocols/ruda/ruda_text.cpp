// Text conversions of the RUDA screen requests.
#include "protocols/ruda/ruda_text.h"

#include <cstring>

namespace {

constexpr unsigned char kEsc = 0x1B;

// The accented letters the terminal shows, as Latin-1 bytes; each becomes
// C3 or C2 and its UTF-8 second byte.
struct Accent {
    unsigned char latin1;
    unsigned char second;
};
constexpr Accent kAccents[] = {
    {0xE0, 0xA0}, {0xE2, 0xA2}, {0xE4, 0xA4}, {0xE6, 0xA6}, {0xE9, 0xA9}, {0xE8, 0xA8},
    {0xEA, 0xAA}, {0xEB, 0xAB}, {0xF4, 0xB4}, {0xF6, 0xB6}, {0xE7, 0xA7}, {0xF9, 0xB9},
    {0xFB, 0xBB}, {0xFC, 0xBC}, {0xEF, 0xAF}, {0xEE, 0xAE}, {0xA3, 0xA3}, {0xB5, 0xB5},
};

bool Shown(unsigned char c) {
    return (c >= 0x20 && c <= 0x7E) || c == 0x07 || c == 0x09 || c == 0x0A || c == 0x0D || c == 0xA3 ||
           c == 0xA4 || c == 0xB5 || c >= 0xC0;
}

void Append(RudaLineBuffer* b, unsigned char c) {
    const int limit = b->limit < kRudaLineBufferSize ? b->limit : kRudaLineBufferSize;
    if (b->count < 0 || b->count >= limit) return;
    b->text[b->count++] = static_cast<char>(c);
}

}  // namespace

int RUDA_BoundedLength(const char* text) {
    if (text == nullptr) return 0;
    const void* nul = std::memchr(text, '\0', 512);
    return nul == nullptr ? 512 : static_cast<int>(static_cast<const char*>(nul) - text);
}

std::string RUDA_Latin1ToUtf8(const unsigned char* in, int length) {
    std::string out;
    if (in == nullptr || length <= 0) return out;
    out.reserve(static_cast<size_t>(length) * 2);
    for (int i = 0; i < length; ++i) {
        const unsigned char c = in[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        bool accent = false;
        for (const Accent& a : kAccents) {
            if (a.latin1 != c) continue;
            out += static_cast<char>(c > 0xBF ? 0xC3 : 0xC2);
            out += static_cast<char>(a.second);
            accent = true;
            break;
        }
        if (!accent) out += '.';
    }
    return out;
}

void RUDA_LineBufferClear(RudaLineBuffer* buffer) {
    if (buffer == nullptr) return;
    *buffer = RudaLineBuffer{};
}

void RUDA_DisplayTextToLines(RudaLineBuffer* b, const unsigned char* text, int length) {
    if (b == nullptr || text == nullptr) return;
    int i = 0;
    while (i < length) {
        const unsigned char c = text[i];
        if (c != kEsc) {
            if (Shown(c)) Append(b, c);
            ++i;
            continue;
        }
        if (i + 1 >= length) break;  // a lone ESC at the end
        const unsigned char what = text[i + 1];
        switch (what) {
            case 0x10:
                i += 2;
                if (i < length && text[i] < 0x20 && text[i] != kEsc) ++i;
                break;
            case 0x15: i += 5; break;
            case 0x17: i += 3; break;
            case 0x1F:
            case 'F':
                RUDA_LineBufferClear(b);
                i += 2;
                break;
            case 'H':
                if (b->count >= 0 && b->count < kRudaLineBufferSize)
                    std::memset(b->text + b->count, 0, static_cast<size_t>(kRudaLineBufferSize - b->count));
                b->limit = kRudaLineBufferSize;
                b->flag = 0;
                i += 2;
                break;
            case 'P': {
                i += 2;
                if (i >= length) break;
                const unsigned char row = text[i];
                if (row >= 1 && row <= 7) {
                    ++i;
                    if (row == 1 || b->flag == 0) {
                        b->count = 0;
                        b->flag = 1;
                    } else {
                        Append(b, 0x0A);
                    }
                    if (i < length && text[i] >= 1 && text[i] <= 16) {
                        ++i;
                        if (b->count >= b->limit) return;
                    }
                } else if (row >= 8 && row <= 16) {
                    ++i;
                }
                break;
            }
            default:
                // An unknown escape goes alone; the byte after it is text.
                ++i;
                break;
        }
    }
}

std::string RUDA_LineBufferText(const RudaLineBuffer& buffer) {
    const void* nul = std::memchr(buffer.text, '\0', sizeof buffer.text);
    const size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - buffer.text)
                                    : static_cast<size_t>(kRudaLineBufferSize);
    return std::string(buffer.text, n);
}

std::string RUDA_GridLayout(const unsigned char* text, int length, int columns, int rows) {
    if (columns <= 0 || rows <= 0) return {};
    const long size = static_cast<long>(columns) * (rows + 1);
    std::string grid(static_cast<size_t>(size), ' ');
    if (text == nullptr) return grid;
    long at = 0;
    int i = 0;
    while (i < length) {
        const unsigned char c = text[i];
        if (c == kEsc && i + 1 < length && text[i + 1] == 'H') {
            i += 2;
            continue;
        }
        if (c == kEsc && i + 1 < length && text[i + 1] == 'P') {
            i += 2;
            if (i >= length || text[i] == kEsc) continue;
            const int row = text[i++];
            if (i >= length || text[i] == kEsc) continue;
            const int column = text[i++];
            at = static_cast<long>(row - 1) * columns + (column - 1) % columns;
            continue;
        }
        if (c >= 0x20 && c <= 0x7A) {
            if (at >= 0 && at < size) grid[static_cast<size_t>(at)] = static_cast<char>(c);
            ++at;
        }
        ++i;
    }
    return grid;
}

int RUDA_TwoDigits(const char* two) {
    if (two == nullptr || two[0] < '0' || two[0] > '9' || two[1] < '0' || two[1] > '9') return -1;
    return (two[0] - '0') * 10 + (two[1] - '0');
}

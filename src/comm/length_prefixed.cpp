#include "comm/length_prefixed.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/trace.h"

namespace {

constexpr const char* kLogger = "ktnet.com";
// What a foreign message gains when wrapped: the own header and "<A>nnnn<F><M>".
constexpr uint32_t kForeignTagsSize = 13;
constexpr uint32_t kForeignWrapSize = KTN_HEADER_SIZE + kForeignTagsSize;
constexpr int kSendRetryMs = 500;

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Value of four hexadecimal digits, or -1.
long FourHex(const uint8_t* p) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = HexValue(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

bool IsHttpRequest(const uint8_t* p) {
    const std::string_view s(reinterpret_cast<const char*>(p), 5);
    return s.substr(0, 4) == "GET " || s.substr(0, 4) == "PUT " || s == "HEAD " || s == "POST " ||
           s == "DELET";
}

// Position of needle within [from, to) of data, or npos.
size_t Find(const uint8_t* data, size_t from, size_t to, std::string_view needle) {
    if (to <= from || to - from < needle.size()) return std::string_view::npos;
    const auto* begin = data + from;
    const auto* end = data + to;
    const auto* hit = std::search(begin, end, needle.begin(), needle.end());
    return hit == end ? std::string_view::npos : static_cast<size_t>(hit - data);
}

// Bounded writer of the encoder.
class Out {
public:
    Out(uint8_t* base, uint32_t capacity) : base_(base), capacity_(capacity), pos_(KTN_HEADER_SIZE) {}
    bool put(const void* data, size_t n) {
        if (!ok_ || n > capacity_ - pos_ || (data == nullptr && n != 0)) return ok_ = false;
        if (n != 0) std::memcpy(base_ + pos_, data, n);
        pos_ += static_cast<uint32_t>(n);
        return true;
    }
    bool putChar(char c) { return put(&c, 1); }
    // Hexadecimal text and its NUL.
    bool putHexText(unsigned long value) {
        char text[24];
        const int n = std::snprintf(text, sizeof text, "%lX", value);
        return put(text, static_cast<size_t>(n) + 1);
    }
    bool ok() const { return ok_; }
    uint32_t pos() const { return pos_; }

private:
    uint8_t* base_;
    uint32_t capacity_;
    uint32_t pos_;
    bool ok_ = true;
};

// Bounded reader of the decoder: every field is checked against the total
// before it is used.
class In {
public:
    In(const uint8_t* base, uint32_t total) : base_(base), total_(total), pos_(KTN_HEADER_SIZE) {}
    // Hexadecimal text up to its NUL (which must lie within the total).
    bool hexText(unsigned long* value) {
        const void* nul = pos_ < total_ ? std::memchr(base_ + pos_, 0, total_ - pos_) : nullptr;
        if (nul == nullptr) return false;
        const char* text = reinterpret_cast<const char*>(base_ + pos_);
        *value = std::strtoul(text, nullptr, 16);
        pos_ = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - base_) + 1;
        return true;
    }
    bool take(uint32_t n, const uint8_t** at) {
        if (n > total_ - pos_) return false;
        *at = base_ + pos_;
        pos_ += n;
        return true;
    }
    uint32_t rest() const { return total_ - pos_; }

private:
    const uint8_t* base_;
    uint32_t total_;
    uint32_t pos_;
};

// Stores a byte field into the caller's buffer when it fits; reports it
// otherwise. The field is skipped in both cases.
void StoreBytes(char letter, const uint8_t* field, uint32_t length, void* buffer, unsigned capacity) {
    if (length > capacity) {
        WSysError("-- ERROR --  KTN_V_ReseauScanf: %%%c: buffer too small, expected more than: %d actually: %d)",
                  letter, static_cast<int>(length), static_cast<int>(capacity));
        return;
    }
    if (length != 0 && buffer != nullptr) std::memcpy(buffer, field, length);
}

}  // namespace

KtnHeader KTN_ParseHeader(const uint8_t* p) {
    KtnHeader h;
    if (p[4] == 0) {
        const long total = FourHex(p);
        if (total < 0) return h;  // not four hexadecimal digits: unknown
        h.framing = KtnFraming::Own;
        h.total = static_cast<uint32_t>(total);
    } else if (p[2] == 0xFF || p[0] < '0') {
        h.framing = KtnFraming::Foreign1218;
        h.total = static_cast<uint32_t>(p[0]) * 256 + p[1] + 6;
    } else if (IsDigit(p[0]) && IsDigit(p[1]) && IsDigit(p[2]) && IsDigit(p[3]) && IsDigit(p[4])) {
        h.framing = KtnFraming::Foreign1219;
        h.total = static_cast<uint32_t>((p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0')) + 4;
    } else if (IsHttpRequest(p)) {
        h.framing = KtnFraming::Http;
    }
    return h;
}

bool KTN_WriteHeader(uint8_t* message, uint32_t total) {
    if (total > KTN_MAX_HEADER_TOTAL) return false;
    char text[8];
    std::snprintf(text, sizeof text, "%4.4X", total);
    std::memcpy(message, text, 4);
    message[4] = 0;
    return true;
}

int KTN_V_ReseauPrintf(void* message, uint32_t capacity, const char* format, va_list args) {
    if (message == nullptr || format == nullptr || capacity < KTN_HEADER_SIZE) return -1;
    auto* base = static_cast<uint8_t*>(message);
    Out out(base, capacity);
    for (const char* f = format; *f != '\0' && out.ok(); ++f) {
        if (*f != '%') {
            out.putChar(*f);
            continue;
        }
        const char letter = f[1];
        if (letter == '\0') break;
        ++f;
        switch (std::toupper(static_cast<unsigned char>(letter))) {
            case 'B':
            case 'D': {
                const unsigned length = va_arg(args, unsigned);
                const void* bytes = va_arg(args, const void*);
                if (out.putHexText(length) && length != 0) out.put(bytes, length);
                break;
            }
            case 'C':
                out.putChar(static_cast<char>(va_arg(args, int)));
                break;
            case 'L':
                out.putHexText(static_cast<unsigned long>(va_arg(args, long)));
                break;
            case 'S': {
                const unsigned length = va_arg(args, unsigned);
                const void* bytes = va_arg(args, const void*);
                out.put(bytes, length);
                break;
            }
            case 'X':
                out.putHexText(static_cast<unsigned int>(va_arg(args, int)));
                break;
            default:
                out.putChar(letter);
                break;
        }
    }
    if (!out.ok() || !KTN_WriteHeader(base, out.pos())) return -1;
    return static_cast<int>(out.pos());
}

int KTN_V_ReseauScanf(const void* message, const char* format, va_list args) {
    if (message == nullptr || format == nullptr) return -1;
    const auto* base = static_cast<const uint8_t*>(message);
    const KtnHeader header = KTN_ParseHeader(base);
    if (header.framing != KtnFraming::Own || header.total < KTN_HEADER_SIZE) return -1;
    In in(base, header.total);
    int stored = 0;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') continue;
        char modifier = 0;
        if (f[1] == '*' || f[1] == '+') modifier = *++f;
        const char letter = f[1];
        if (letter == '\0') break;
        ++f;
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        switch (upper) {
            case 'B':
            case 'D':
            case 'S': {
                uint32_t length = 0;
                if (upper == 'S') {
                    length = in.rest();
                } else {
                    unsigned long value = 0;
                    if (!in.hexText(&value) || value > in.rest()) return -1;
                    length = static_cast<uint32_t>(value);
                }
                const uint8_t* field = nullptr;
                if (!in.take(length, &field)) return -1;
                if (modifier == '*') break;
                int* lengthOut = va_arg(args, int*);
                if (lengthOut != nullptr) *lengthOut = static_cast<int>(length);
                if (modifier == '+') break;
                void* buffer = va_arg(args, void*);
                const unsigned bufferCapacity = va_arg(args, unsigned);
                StoreBytes(upper, field, length, buffer, bufferCapacity);
                ++stored;
                break;
            }
            case 'C': {
                const uint8_t* field = nullptr;
                if (!in.take(1, &field)) return -1;
                if (modifier != 0) break;
                char* out = va_arg(args, char*);
                if (out != nullptr) *out = static_cast<char>(*field);
                ++stored;
                break;
            }
            case 'X':
            case 'L': {
                unsigned long value = 0;
                if (!in.hexText(&value)) return -1;
                if (modifier != 0) break;
                if (upper == 'X') {
                    int* out = va_arg(args, int*);
                    if (out != nullptr) *out = static_cast<int>(static_cast<unsigned int>(value));
                } else {
                    long* out = va_arg(args, long*);
                    if (out != nullptr) *out = static_cast<long>(value);
                }
                ++stored;
                break;
            }
            default:
                break;
        }
    }
    return stored;
}

int KTN_ReceiveFrom(const KtnReader& read, int32_t handle, void* buffer, uint32_t capacity, int32_t timeoutMs) {
    WLOG(kLogger, WLOG_DEBUG, "KTN_RecoitMessage");
    auto* buf = static_cast<uint8_t*>(buffer);
    if (buf == nullptr || capacity < KTN_HEADER_SIZE) return -1;
    WTimeStamp start = WGetTimeStamp();
    uint32_t got = 0;
    while (got < KTN_HEADER_SIZE) {
        const int r = read(buf + got, KTN_HEADER_SIZE - got);
        if (r < 0) return -2;
        if (r > 0) {
            got += static_cast<uint32_t>(r);
            start = WGetTimeStamp();
        } else if (WIsTimeOut(start, timeoutMs)) {
            break;
        }
    }
    if (got < KTN_HEADER_SIZE) {
        WSysError("## TRACE ## KTN_RecoitMessage cas sortie Timeout sur reception lng: handle: 0x%X, timeout:%ld, lt:%u",
                  static_cast<unsigned>(handle), static_cast<long>(timeoutMs), got);
        return 0;
    }
    const KtnHeader header = KTN_ParseHeader(buf);
    if (header.framing == KtnFraming::Http) {
        WSysError("## TRACE ## KTN_RecoitMessage Reception requete HTTP");
        return -1;
    }
    if (header.framing == KtnFraming::Unknown) {
        WSysError("## TRACE ## KTN_RecoitMessage Entete inconnue");
        return -1;
    }
    const bool foreign = header.framing != KtnFraming::Own;
    const uint32_t total = header.total;
    // Room needed: the message, and for a foreign one its wrapping and NUL.
    const uint64_t needed = foreign ? uint64_t{total} + kForeignWrapSize + 1 : total;
    if (total > KTN_MAX_MESSAGE || needed > capacity) {
        WSysError("-- ERROR -- KTN_RecoitMessage longueur incoherente: handle: 0x%X, taille: %d , taille max msg: %d",
                  static_cast<unsigned>(handle), static_cast<int>(total),
                  static_cast<int>(std::min(capacity, KTN_MAX_MESSAGE)));
        return 0;
    }
    if (total < KTN_HEADER_SIZE) return -1;

    start = WGetTimeStamp();
    while (got < total) {
        const int r = read(buf + got, total - got);
        if (r == -1) return -1;
        if (r < 0) return -2;
        if (r > 0) {
            got += static_cast<uint32_t>(r);
            start = WGetTimeStamp();
            if (got < total)
                WSysError("<< WARN. >> KTN_RecoitMessage: handle: 0x%X, %u recus sur %u : attend la suite",
                          static_cast<unsigned>(handle), got, total);
        } else if (WIsTimeOut(start, KTN_INACTIVITY_MS)) {
            WSysError("-- ERROR -- KTN_RecoitMessage sortie Timeout sur reception Message: handle: 0x%X, %u recus sur %u, timeout: %ld",
                      static_cast<unsigned>(handle), got, total, static_cast<long>(KTN_INACTIVITY_MS));
            return 0;
        }
    }
    uint32_t length = total;
    if (foreign) {
        char tags[kForeignTagsSize + 1];
        std::snprintf(tags, sizeof tags, "<A>%s<F><M>", header.framing == KtnFraming::Foreign1218 ? "1218" : "1219");
        std::memmove(buf + kForeignWrapSize, buf, total);
        std::memcpy(buf + KTN_HEADER_SIZE, tags, kForeignTagsSize);
        length = total + kForeignWrapSize;
        KTN_WriteHeader(buf, length);
        buf[length] = 0;
    }
    WLOG(kLogger, WLOG_DEBUG, "KTN_RecoitMessage: return: %d, handle: 0x%X, length: %u", static_cast<int>(length),
         static_cast<unsigned>(handle), length);
    return static_cast<int>(length);
}

int KTN_SendTo(const KtnWriter& write, int32_t handle, void* message, uint32_t length, int32_t timeoutMs) {
    WLOG(kLogger, WLOG_DEBUG, "KTN_EnvoieMessage");
    auto* buf = static_cast<uint8_t*>(message);
    if (buf == nullptr || length < KTN_HEADER_SIZE) return -1;
    // The A rubrique is looked for among the rubriques only (before "<M>"):
    // a body that happens to hold the same text is sent as it is.
    const size_t mTag = Find(buf, KTN_HEADER_SIZE, length, "<M>");
    const size_t rubriquesEnd = mTag == std::string_view::npos ? length : mTag;
    const bool is1218 = Find(buf, KTN_HEADER_SIZE, rubriquesEnd, "<A>1218<F>") != std::string_view::npos;
    const bool is1219 = !is1218 && Find(buf, KTN_HEADER_SIZE, rubriquesEnd, "<A>1219<F>") != std::string_view::npos;
    uint32_t toSend = length;
    if (is1218 || is1219) {
        if (mTag == std::string_view::npos) return -1;
        const size_t m = mTag + 3;
        const size_t available = length - m;
        uint64_t foreignLength = 0;
        if (is1218) {
            if (available < 2) return -1;
            foreignLength = uint64_t{buf[m]} * 256 + buf[m + 1] + 6;
        } else {
            if (available < 4) return -1;
            char digits[5] = {};
            std::memcpy(digits, buf + m, 4);
            foreignLength = static_cast<uint64_t>(std::max(0, std::atoi(digits))) + 4;
        }
        // The foreign message announces more than the frame holds: refused.
        if (foreignLength > available) return -1;
        toSend = static_cast<uint32_t>(foreignLength);
        std::memmove(buf, buf + m, toSend);
    } else {
        const long total = FourHex(buf);
        if (buf[4] != 0 || total != static_cast<long>(length)) return -1;
    }
    WLOG(kLogger, WLOG_DEBUG, "KTN_EnvoieMessage: handle: 0x%X, length: %u", static_cast<unsigned>(handle), toSend);
    const WTimeStamp start = WGetTimeStamp();
    uint32_t sent = 0;
    do {
        const int r = write(buf + sent, toSend - sent);
        if (r < 0) {
            WLOG(kLogger, WLOG_DEBUG, "KTN_EnvoieMessage: while, return: %d", -1);
            return -1;
        }
        if (r == 0)
            WSleep(kSendRetryMs);
        else
            sent += static_cast<uint32_t>(std::min<uint32_t>(static_cast<uint32_t>(r), toSend - sent));
    } while (sent < toSend && !WIsTimeOut(start, timeoutMs));
    WLOG(kLogger, WLOG_DEBUG, "KTN_EnvoieMessage: return: %d", static_cast<int>(sent));
    return static_cast<int>(sent);
}

int KTN_EnvoieMessage(int32_t* handle, void* message, uint32_t length, int32_t timeoutMs) {
    if (handle == nullptr) return -1;
    const int32_t h = *handle;
    return KTN_SendTo([h](const void* data, uint32_t n) { return WNetWrite(h, data, n); }, h, message, length,
                      timeoutMs);
}

int KTN_RecoitMessage(int32_t* handle, void* buffer, uint32_t capacity, int32_t timeoutMs) {
    if (handle == nullptr) return -1;
    const int32_t h = *handle;
    return KTN_ReceiveFrom([h](void* into, uint32_t n) { return WNetRead(h, into, n); }, h, buffer, capacity,
                           timeoutMs);
}

int KTN_BoxSend(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t /*lastMode*/) {
    return KTN_EnvoieMessage(static_cast<int32_t*>(transport), frame, length, timeoutMs);
}

int KTN_BoxRecv(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t /*waitMode*/) {
    return KTN_RecoitMessage(static_cast<int32_t*>(transport), frame, capacity, timeoutMs);
}

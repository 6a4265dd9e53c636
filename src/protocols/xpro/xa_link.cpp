// XA link: the frame codec (no port here) and the hooks of the link.
#include "protocols/xpro/xa_link.h"

#include <cstdio>
#include <cstring>

namespace {

XaHooks g_hooks{};

// Appends text and its NUL; false when the room is passed.
bool PutField(unsigned char* out, int room, int* at, const char* text) {
    const int n = static_cast<int>(std::strlen(text));
    if (*at + n + 1 > room) return false;
    std::memcpy(out + *at, text, static_cast<size_t>(n));
    *at += n;
    out[(*at)++] = 0;
    return true;
}

bool PutNumber(unsigned char* out, int room, int* at, const char* format, int value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return PutField(out, room, at, text);
}

// One byte of a frame header, twice when it is DLE.
int PutDoubled(unsigned char* out, int at, uint8_t b) {
    out[at++] = b;
    if (b == XA_DLE) out[at++] = b;
    return at;
}

bool IsApplication(const KT_XPROT* ctx, const char* code) { return std::strcmp(ctx->application, code) == 0; }

// The factory command bytes of each key index.
constexpr unsigned char kFactoryCommands[7][2] = {
    {0xAF, '0'}, {0xFD, 0x00}, {0xFF, 0x00}, {0xF1, 0x00}, {0xF1, 0x00}, {0xF4, 0x00}, {0xFC, 0x00},
};

}  // namespace

void XA_SetHooks(const XaHooks* hooks) { g_hooks = hooks != nullptr ? *hooks : XaHooks{}; }

// The link's own access to its hooks (xa_transport.cpp).
const XaHooks& XA_Hooks() { return g_hooks; }

uint8_t XA_Xor(uint8_t start, const unsigned char* bytes, int length) {
    uint8_t x = start;
    for (int i = 0; i < length; ++i) x ^= bytes[i];
    return x;
}

int XA_ControlFields(const KT_XPROT* ctx, unsigned char control, unsigned char* out, int room) {
    if (ctx == nullptr || out == nullptr) return -1;
    const KT_XPARTY& host = ctx->party[0];
    int at = 0;
    bool ok = PutNumber(out, room, &at, "%d", host.direction) && PutNumber(out, room, &at, "%d", host.exchangeNumber) &&
              PutField(out, room, &at, ctx->linkName);
    switch (control) {
        case XA_ENQ:
            ok = ok && PutField(out, room, &at, ctx->application) && PutNumber(out, room, &at, "%02d", ctx->keyIndex);
            break;
        case XA_EOT:
            ok = ok && PutField(out, room, &at, ctx->application) && PutField(out, room, &at, host.kerStat) &&
                 PutField(out, room, &at, host.appStat) && PutNumber(out, room, &at, "%d", host.accStat);
            break;
        case XA_ACK:
        case XA_BEL:
        case XA_NAK:
        case XA_SYN: break;
        default: return -1;
    }
    if (!ok || at + 1 > room) return -1;
    out[at++] = XA_ETX;
    return at;
}

int XA_BuildDataFrame(int side, uint8_t sequence, uint8_t exchange, unsigned char header, const unsigned char* body,
                      int length, bool last, unsigned char* out, int room) {
    if (out == nullptr || length < 0 || (length > 0 && body == nullptr)) return -1;
    if (length > room - 2 - XA_DATA_OVERHEAD - 1) return -1;
    int at = 0;
    out[at++] = XA_DLE;
    out[at++] = XA_STX;
    out[at++] = static_cast<unsigned char>(side);
    at = PutDoubled(out, at, sequence);
    at = PutDoubled(out, at, exchange);
    out[at++] = header;
    out[at++] = '*';
    if (length > 0) std::memcpy(out + at, body, static_cast<size_t>(length));
    at += length;
    out[at++] = XA_DLE;
    out[at++] = last ? XA_ETX : XA_ETB;
    out[at] = XA_Xor(0x00, out + 2, at - 2);
    return at + 1;
}

int XA_BuildFactoryFrame(int keyIndex, int accStat, int exchange, const unsigned char* body, int length,
                         unsigned char* out, int room, uint8_t* status) {
    if (keyIndex < 0 || keyIndex > 6 || length < 1 || length > XA_FACTORY_BODY_MAX || body == nullptr ||
        out == nullptr)
        return -1;
    // Start, command and marker (9), the body doubled at worst, four more
    // bytes, the end and the check.
    if (room < 9 + 2 * length + 8 + 3) return -1;
    const uint8_t b = static_cast<uint8_t>(2 * (accStat & 0xFF));
    if (status != nullptr) *status = b;
    int at = 0;
    out[at++] = XA_DLE;
    out[at++] = XA_STX;
    out[at++] = 0x02;
    out[at++] = kFactoryCommands[keyIndex][0];
    out[at++] = kFactoryCommands[keyIndex][1];
    out[at++] = XA_DLE;
    out[at++] = keyIndex == 4 ? XA_SI : XA_SO;
    switch (keyIndex) {
        case 0: out[at++] = 'B'; break;
        case 1:
        case 6: out[at++] = 0x00; break;
        case 2: at = PutDoubled(out, at, b); break;
        case 3:
            at = PutDoubled(out, at, b);
            for (int i = 0; i < 3; ++i) out[at++] = 0x00;
            break;
        case 4:
            at = PutDoubled(out, at, static_cast<uint8_t>(exchange));
            std::memcpy(out + at, body, static_cast<size_t>(length));
            at += length;
            break;
        case 5:
            at = PutDoubled(out, at, b);
            std::memcpy(out + at, body, static_cast<size_t>(length));
            at += length;
            break;
    }
    out[at++] = XA_DLE;
    out[at++] = XA_ETX;
    out[at] = XA_Xor(0x12, out + 2, at - 2);
    return at + 1;
}

int XA_CheckFrame(const unsigned char* frame, int length) {
    if (frame == nullptr || length < 2 || frame[0] != XA_DLE || frame[1] != XA_STX) return 'D';
    // The closing DLE ETX or DLE ETB and the check byte end it; nothing else
    // may follow a lone DLE.
    for (int i = 2; i < length; ++i) {
        if (i - 2 >= XA_FRAME_MAX) return 'F';
        if (frame[i] != XA_DLE) continue;
        if (i + 1 >= length) return 'S';
        const unsigned char next = frame[i + 1];
        if (next == XA_ETX || next == XA_ETB) return i + 3 == length ? 0 : 'S';
        if (next != XA_DLE && next != XA_SO && next != XA_SI && next != XA_US) return 'S';
        ++i;
    }
    return 'S';
}

void XaDataFrameReader::restart() {
    length_ = 0;
    check_ = start_;
    dle_ = false;
    awaitingCheck_ = false;
    last_ = false;
    letter_ = 0;
}

XaDataFrameReader::State XaDataFrameReader::fail(int letter) {
    letter_ = letter;
    state_ = State::Failed;
    return state_;
}

XaDataFrameReader::State XaDataFrameReader::feed(int byte) {
    if (state_ != State::Reading) return state_;
    if (byte == kTimeout) return fail('T');
    if (byte < 0 || byte > 0xFF) return fail('R');
    const auto b = static_cast<unsigned char>(byte);
    if (awaitingCheck_) {
        if (b != check_) return fail('X');
        letter_ = last_ ? 'L' : 0;
        state_ = State::Done;
        return state_;
    }
    if (dle_) {
        dle_ = false;
        if (b == XA_STX) {
            ++restarts_;
            restart();
            return state_;
        }
        if (b != XA_ETX && b != XA_ETB && b != XA_DLE && b != XA_SO && b != XA_SI && b != XA_US) return fail('S');
        if (length_ + 2 > XA_FRAME_MAX) return fail('F');
        frame_[length_++] = XA_DLE;
        frame_[length_++] = b;
        check_ ^= XA_DLE ^ b;
        if (b == XA_ETX || b == XA_ETB) {
            last_ = b == XA_ETX;
            awaitingCheck_ = true;
        }
        return state_;
    }
    if (b == XA_DLE) {
        dle_ = true;
        return state_;
    }
    if (length_ + 1 > XA_FRAME_MAX) return fail('F');
    frame_[length_++] = b;
    check_ ^= b;
    return state_;
}

int XA_ParseDataFrame(const unsigned char* frame, int length, XaDataFrame* out) {
    if (frame == nullptr || out == nullptr || length < 2) return 0;
    *out = XaDataFrame{};
    const int end = length - 2;  // the closing DLE
    if (frame[end] != XA_DLE || (frame[end + 1] != XA_ETX && frame[end + 1] != XA_ETB)) return 0;
    int at = 0;
    const auto take = [&](uint8_t* into, bool doubled) {
        if (at >= end) return false;
        *into = frame[at++];
        if (doubled && *into == XA_DLE) {
            if (at >= end || frame[at] != XA_DLE) return false;
            ++at;
        }
        return true;
    };
    uint8_t star = 0;
    if (!take(&out->side, false) || !take(&out->sequence, true) || !take(&out->exchange, true) ||
        !take(&out->header, false) || !take(&star, false) || star != '*')
        return 0;
    out->body = frame + at;
    out->bodyLength = end - at;
    out->last = frame[end + 1] == XA_ETX;
    return 1;
}

int XA_ParseFactoryAnswer(const unsigned char* frame, int length, bool expectKeyIndex2, uint8_t expected,
                          const unsigned char** data, int* dataLength, int* letter) {
    int ignoredLetter = 0;
    if (letter == nullptr) letter = &ignoredLetter;
    if (data != nullptr) *data = nullptr;
    if (dataLength != nullptr) *dataLength = 0;
    *letter = 'S';
    if (frame == nullptr) return -1;
    // DLE SO comes before any DLE ETX or DLE ETB.
    int at = 0;
    for (;; ++at) {
        if (at + 1 >= length) return -1;
        if (frame[at] != XA_DLE) continue;
        const unsigned char next = frame[at + 1];
        if (next == XA_SO) break;
        if (next == XA_ETX || next == XA_ETB) return -1;
        ++at;  // a pair
    }
    at += 2;
    if (at >= length) return -1;
    uint8_t status = frame[at++];
    if (status == XA_DLE) {
        if (at >= length || frame[at] != XA_DLE) return -1;
        ++at;
    }
    const bool good = expectKeyIndex2 ? status == expected : status == 0x00 || status == 0x10 || status == 0x55;
    if (!good) {
        *letter = 'R';
        return -1;
    }
    // Then DLE SI and the data, or DLE ETX at once; DLE ETB is refused.
    int dataStart = -1;
    int undoubled = 0;
    for (; at + 1 < length; ++at) {
        if (frame[at] != XA_DLE) {
            if (dataStart >= 0) ++undoubled;
            continue;
        }
        const unsigned char next = frame[at + 1];
        if (next == XA_ETB) return -1;
        if (next == XA_ETX) {
            if (dataStart < 0) {
                *letter = 0;
                return 1;
            }
            if (undoubled < 1 || undoubled > XA_FACTORY_BODY_MAX) return -1;
            if (data != nullptr) *data = frame + dataStart;
            if (dataLength != nullptr) *dataLength = at - dataStart;
            *letter = 0;
            return 2;
        }
        if (next == XA_SI && dataStart < 0) {
            dataStart = at + 2;
        } else if (dataStart >= 0) {
            ++undoubled;  // a pair stands for one byte
        }
        ++at;
    }
    return -1;
}

int XA_ByteTimeout(const KT_XPROT* ctx) {
    if (ctx == nullptr) return 0;
    const bool slow = IsApplication(ctx, "1010") || IsApplication(ctx, "1020");
    if (IsApplication(ctx, XA_FACTORY_APPLICATION)) return ctx->timeouts[6];
    switch (ctx->phase) {
        case XPRO_PHASE_OPENING_SEND:
        case XPRO_PHASE_OPENING_RECEIVE: return slow ? ctx->timeouts[1] : ctx->timeouts[0];
        case XPRO_PHASE_SENDING:
            if (slow) return ctx->timeouts[3];
            return (ctx->flags & XA_FLAG_ACK_EACH) != 0 ? ctx->timeouts[2] * 6 : ctx->timeouts[2];
        case XPRO_PHASE_CLOSING_RESPONDER:
        case XPRO_PHASE_CLOSING_INITIATOR: return ctx->timeouts[4];
        default: return ctx->timeouts[5];
    }
}

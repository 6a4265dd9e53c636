// P21 link: frames with DLE stuffing and an XOR check byte over the port API.
#include "protocols/p21/p21_link.h"

#include <algorithm>
#include <cstring>

#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_control.h"

namespace {

constexpr unsigned char STX = 0x02, ETX = 0x03, DLE = 0x10;
// Reception control of the frame after its first byte: no check byte, stop
// at ETX (EOT and ETB stop the port's read too; the link reads on).
constexpr int kReadControl = PORT_END_ETX << 4;

bool Stuffed(unsigned char c) { return c == DLE || c == ETX; }

}  // namespace

int P21_StuffFrame(const unsigned char* message, int length, unsigned char* out, int room) {
    if (out == nullptr || length < 0 || (length > 0 && message == nullptr)) return -1;
    int needed = 3;
    for (int i = 0; i < length; ++i) needed += Stuffed(message[i]) ? 2 : 1;
    if (needed > room) return -1;
    int n = 0;
    unsigned char check = 0;
    out[n++] = STX;
    for (int i = 0; i < length; ++i) {
        if (Stuffed(message[i])) out[n++] = DLE;
        out[n++] = message[i];
        check ^= message[i];
    }
    out[n++] = ETX;
    out[n++] = check;
    return n;
}

bool P21_FrameEnded(const unsigned char* frame, int count) {
    if (frame == nullptr || count < 2 || frame[count - 1] != ETX) return false;
    int run = 0;
    for (int i = count - 2; i >= 1 && frame[i] == DLE; --i) ++run;
    return run % 2 == 0;
}

int P21_DecodeFrame(const unsigned char* frame, int count, unsigned char* out, int room, int* length) {
    if (length != nullptr) *length = 0;
    if (frame == nullptr || out == nullptr || length == nullptr || count < 3 || frame[0] != STX ||
        !P21_FrameEnded(frame, count - 1))
        return 'S';
    const int end = count - 2;  // the ETX
    int n = 0;
    unsigned char check = 0;
    for (int i = 1; i < end; ++i) {
        unsigned char c = frame[i];
        if (c == DLE && i + 1 < end && Stuffed(frame[i + 1])) c = frame[++i];
        if (n >= room) return 'F';
        out[n++] = c;
        check ^= c;
    }
    if (check != frame[count - 1]) return 'X';
    *length = n;
    return 0;
}

int P21_BuildFrame(KT_XPROT* ctx, const unsigned char* message, int length) {
    if (ctx == nullptr) return -1;
    std::memset(ctx->sendFrame, 0, P21_FRAME_MAX);
    const int n = P21_StuffFrame(message, length, ctx->sendFrame, P21_FRAME_MAX);
    if (n < 0) ctx->stepLetter = 'F';
    return n;
}

int P21_SendData(KT_XPROT* ctx, int length) {
    if (ctx == nullptr) return -1;
    XPRO_DropHeldByte(ctx);
    PortPurgeRx(ctx->port, 0);
    if (ctx->frameKind != XPRO_FRAME_DATA || length < 1) {
        ctx->stepLetter = 'E';
        return 0;
    }
    int result = PortEmist(ctx->port, ctx->sendFrame, 1, PORT_METHOD_NONE);
    if (result == PORT_DONE)
        result = PortEmist(ctx->port, ctx->sendFrame + 1, static_cast<uint32_t>(length - 1), PORT_METHOD_NONE);
    ctx->stepLetter = result;
    return result == PORT_DONE || result == 'L' ? 1 : 0;
}

int P21_SendFrame(KT_XPROT* ctx, const unsigned char* message, int length) {
    if (ctx == nullptr) return -1;
    XPRO_ClearStepLabels(ctx);
    XPRO_SetByteTimeOut(ctx);
    for (int attempt = 0; attempt < P21_SEND_TRIES; ++attempt) {
        const int n = P21_BuildFrame(ctx, message, length);
        if (n < 0) {
            // A frame the send buffer cannot hold is refused before anything goes.
            P21_Transport(ctx);
            return -1;
        }
        XPRO_SetStep(ctx, XPRO_FRAME_DATA);
        if (P21_SendData(ctx, n) != 1) continue;
        // The answer's first byte: held for the receive, where it expects the STX.
        const int letter = XPRO_ReadControl(ctx);
        if (letter != XPRO_FRAME_NONE && letter != XPRO_FRAME_NOCTX) XPRO_HoldByte(ctx, ctx->receiveFrame[0]);
        XPRO_ClearStepLabels(ctx);
        return 1;
    }
    if (ctx->stepLetter == 0) ctx->stepLetter = 'B';
    P21_Transport(ctx);
    return -3;
}

int P21_ReadFrame(KT_XPROT* ctx, int* count) {
    if (ctx == nullptr || count == nullptr) return -1;
    *count = 0;
    int got = 1;  // the first byte is in the buffer
    for (;;) {
        // STX to ETX within 8192 bytes; the check byte after them.
        uint32_t n = static_cast<uint32_t>(P21_FRAME_MAX - got);
        if (n == 0) {
            ctx->stepLetter = 'F';
            return -1;
        }
        const int result =
            PortRecest(ctx->port, ctx->receiveFrame + got, &n, kReadControl, static_cast<uint32_t>(ctx->byteTimeout));
        got += static_cast<int>(n);
        if (result != PORT_DONE) {
            ctx->stepLetter = result;
            return -1;
        }
        if (P21_FrameEnded(ctx->receiveFrame, got)) break;
    }
    const int result = PortRxCar(ctx->port, &ctx->receiveFrame[got], ctx->byteTimeout);
    if (result != PORT_DONE) {
        ctx->stepLetter = result;
        return -1;
    }
    *count = got + 1;
    return 1;
}

int P21_ReceiveFrame(KT_XPROT* ctx, unsigned char* buffer, int room, int* count) {
    if (ctx == nullptr || buffer == nullptr || count == nullptr) return -1;
    *count = 0;
    XPRO_ClearStepLabels(ctx);
    XPRO_SetByteTimeOut(ctx);
    unsigned char first = 0;
    if (XPRO_TakeHeldByte(ctx, &first) == 1) {
        std::memset(ctx->receiveFrame, 0, P21_FRAME_MAX);
        ctx->receiveFrame[0] = first;
    } else if (XPRO_ReadControl(ctx) == XPRO_FRAME_NONE) {
        ctx->stepLetter = 'T';
        return -1;
    }
    int n = 0;
    if (P21_ReadFrame(ctx, &n) != 1) return -1;
    int length = 0;
    const int letter = P21_DecodeFrame(ctx->receiveFrame, n, buffer, room, &length);
    if (letter != 0) {
        ctx->stepLetter = letter;
        return -1;
    }
    *count = length;
    return 1;
}

int P21_SendMessage(KT_XPROT* ctx, const unsigned char* message, int length) {
    if (ctx == nullptr || length < 0 || (length > 0 && message == nullptr)) return -2;
    XPRO_BeginMessage(ctx, XPRO_PHASE_SENDING);
    const int sent = P21_SendFrame(ctx, message, length);
    XPRO_EndMessage(ctx, sent == 1);
    return sent == 1 ? 2 : -1;
}

int P21_ReceiveMessage(KT_XPROT* ctx, unsigned char* buffer, int room, int* count) {
    if (ctx == nullptr || buffer == nullptr || count == nullptr) return -2;
    *count = 0;
    XPRO_BeginMessage(ctx, XPRO_PHASE_RECEIVING);
    const int received = P21_ReceiveFrame(ctx, buffer, room, count);
    if (received != 1) *count = 0;
    XPRO_EndMessage(ctx, received == 1);
    return received == 1 ? 1 : -2;
}

int P21_LinkSend(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || length > static_cast<uint32_t>(XPRO_PAYLOAD_MAX)) return -1;
    if (P21_SendMessage(ctx, static_cast<const unsigned char*>(frame), static_cast<int>(length)) != 2) {
        WSysError("-- ERROR -- P21_LinkSend : emission echouee (%u octets) %s", length, ctx->stepText);
        return -1;
    }
    return static_cast<int>(length);
}

int P21_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || frame == nullptr) return 0;
    const WTimeStamp start = WGetTimeStamp();
    if (WIsTimeOut(start, timeoutMs)) return 0;
    WSleep(10);
    const int room = static_cast<int>(std::min<uint32_t>(capacity, static_cast<uint32_t>(P21_FRAME_MAX)));
    int count = 0;
    if (P21_ReceiveMessage(ctx, static_cast<unsigned char*>(frame), room, &count) != 1) return 0;
    return count;
}

// Simple-frame link: ENQ/ACK turns carrying one STX ... ETX frame with an
// XOR check byte, over the port API.
#include "protocols/xas/xas_link.h"

#include <algorithm>
#include <cstring>

#include "comm/com_channel.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/card_masking.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xa_link.h"
#include "protocols/xpro/xpro_control.h"

namespace {

constexpr unsigned char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15;
// Reception of a frame after its STX: XOR check from 0, stop at ETX (or
// EOT, ETB).
constexpr int kReadControl = PORT_METHOD_XOR_00 | PORT_END_ETX << 4;
// An ENQ repeated by the device is answered again; past this many in one
// turn the turn fails (a device stuck on its ENQ never holds the link).
constexpr int kEnqRepeats = 8;

int SendByte(KT_XPROT* ctx, unsigned char byte, int success) {
    const int result = PortEmist(ctx->port, &byte, 1, PORT_METHOD_NONE);
    if (result != PORT_DONE) {
        ctx->stepLetter = result;
        return 0;
    }
    return success;
}

// Sends a control byte of the given frame kind: true when it went.
bool Control(KT_XPROT* ctx, int kind) {
    XPRO_SetStep(ctx, kind);
    return XAS_SendControl(ctx) > 0;
}

bool IsControlByte(unsigned char c) {
    return c == STX || c == ETX || c == EOT || c == ENQ || c == ACK || c == NAK;
}

}  // namespace

int XAS_SendControl(KT_XPROT* ctx, int length) {
    if (ctx == nullptr) return -1;
    switch (ctx->frameKind) {
        case XPRO_FRAME_ACK: return SendByte(ctx, ACK, 2);
        case XPRO_FRAME_NAK: return SendByte(ctx, NAK, 3);
        case XPRO_FRAME_EOT: return SendByte(ctx, EOT, 4);
        case XPRO_FRAME_ENQ:
            // A turn of ours starts on a clean line.
            XPRO_DropHeldByte(ctx);
            PortPurgeRx(ctx->port, 0);
            return SendByte(ctx, ENQ, 5);
        case XPRO_FRAME_DATA: {
            const int result = XAS_WriteFrame(ctx, length);
            ctx->stepLetter = result;
            return result == PORT_DONE || result == 'L' ? 1 : 0;
        }
        default: ctx->stepLetter = PORT_EMISSION; return -1;
    }
}

int XAS_BuildFrame(KT_XPROT* ctx, const unsigned char* message, int length) {
    if (ctx == nullptr || length < 0 || (length > 0 && message == nullptr)) return -1;
    std::memset(ctx->sendFrame, 0, XPRO_FRAME_SIZE - 1);
    if (length > XAS_MESSAGE_MAX) {
        ctx->stepLetter = 'F';
        return -1;
    }
    ctx->sendFrame[0] = STX;
    if (length > 0) std::memcpy(ctx->sendFrame + 1, message, static_cast<size_t>(length));
    ctx->sendFrame[length + 1] = ETX;
    return length + 2;
}

int XAS_WriteFrame(KT_XPROT* ctx, int length) {
    if (ctx == nullptr || length < 2) return PORT_EMISSION;
    XPRO_DropHeldByte(ctx);
    int result = PortEmist(ctx->port, ctx->sendFrame, 1, PORT_METHOD_NONE);
    if (result == PORT_DONE)
        result = PortEmist(ctx->port, ctx->sendFrame + 1, static_cast<uint32_t>(length - 1), PORT_METHOD_XOR_00);
    return result;
}

int XAS_ReadFrame(KT_XPROT* ctx, int* count) {
    if (ctx == nullptr || count == nullptr) return PORT_RECEPTION;
    *count = 0;
    uint32_t n = XPRO_FRAME_SIZE - 2;  // 8191 after the STX
    const int result =
        PortRecest(ctx->port, ctx->receiveFrame + 1, &n, kReadControl, static_cast<uint32_t>(ctx->byteTimeout));
    *count = 1 + static_cast<int>(std::min<uint32_t>(n, XPRO_FRAME_SIZE - 2));
    return result;
}

int XAS_ExtractPayload(const unsigned char* frame, int count, unsigned char* out, int room, int* length) {
    if (length != nullptr) *length = 0;
    if (frame == nullptr || out == nullptr || length == nullptr || count < 2 || frame[0] != STX) return 'S';
    const int limit = std::min(count, XPRO_FRAME_SIZE - 1);
    const void* etx = std::memchr(frame + 1, ETX, static_cast<size_t>(limit - 1));
    if (etx == nullptr) return 'S';
    const int n = static_cast<int>(static_cast<const unsigned char*>(etx) - frame) - 1;
    if (n + 1 > room) return 'F';
    std::memcpy(out, frame + 1, static_cast<size_t>(n));
    out[n] = 0;
    *length = n;
    return 0;
}

int XAS_SendSequence(KT_XPROT* ctx, const unsigned char* message, int length) {
    if (ctx == nullptr) return -1;
    XPRO_ClearStepLabels(ctx);
    XPRO_SetByteTimeOut(ctx);
    if (length > XAS_MESSAGE_MAX) {
        // Refused before anything goes: the send buffer holds 8190 bytes.
        ctx->stepLetter = 'F';
        XAS_SetStepName(ctx);
        return -1;
    }
    int tries = 0;
    bool failed = false;
    while (!failed && tries < XAS_TRIES) {
        if (!Control(ctx, XPRO_FRAME_ENQ)) {
            failed = true;
            break;
        }
        if (XPRO_ReadControl(ctx) != XPRO_FRAME_ACK) {
            Control(ctx, XPRO_FRAME_EOT);
            ++tries;
            continue;
        }
        // The frame, again after each NAK (no new ENQ).
        while (tries < XAS_TRIES) {
            const int n = XAS_BuildFrame(ctx, message, length);
            XPRO_SetStep(ctx, XPRO_FRAME_DATA);
            if (n < 0 || XAS_SendControl(ctx, n) != 1) {
                failed = true;
                break;
            }
            const int answer = XPRO_ReadControl(ctx);
            if (answer == XPRO_FRAME_ACK) {
                Control(ctx, XPRO_FRAME_EOT);
                XPRO_ClearStepLabels(ctx);
                return 1;
            }
            if (answer != XPRO_FRAME_NAK) {
                failed = true;
                break;
            }
            ++tries;
        }
        break;
    }
    const int letter = ctx->stepLetter;
    Control(ctx, XPRO_FRAME_EOT);
    ctx->stepLetter = letter != 0 ? letter : ctx->stepLetter != 0 ? ctx->stepLetter : 'B';
    XAS_SetStepName(ctx);
    return -3;
}

int XAS_ReceiveSequence(KT_XPROT* ctx, unsigned char* buffer, int room, int* count) {
    if (ctx == nullptr || buffer == nullptr || count == nullptr) return -1;
    *count = 0;
    XPRO_ClearStepLabels(ctx);
    XPRO_SetByteTimeOut(ctx);
    int tries = 0;
    int enqs = 0;
    enum { AckEnq, AwaitStx, AwaitControl, ReadFrame, Fail } step = AckEnq;
    while (step != Fail) {
        switch (step) {
            case AckEnq:
                step = Control(ctx, XPRO_FRAME_ACK) ? AwaitStx : Fail;
                break;
            case AwaitStx: {
                const int letter = XPRO_ReadControl(ctx);
                if (letter == XPRO_FRAME_DATA) {
                    step = ReadFrame;
                } else if (letter == XPRO_FRAME_ENQ) {
                    // The device repeats its ENQ (our ACK crossed it): ACK
                    // again, as for an ENQ that comes later.
                    step = ++enqs > kEnqRepeats ? Fail : AckEnq;
                } else {
                    ++tries;
                    step = AwaitControl;
                }
                break;
            }
            case AwaitControl: {
                if (tries >= XAS_TRIES) {
                    step = Fail;
                    break;
                }
                const int letter = XPRO_ReadControl(ctx);
                if (letter == XPRO_FRAME_ENQ) {
                    step = ++enqs > kEnqRepeats ? Fail : AckEnq;
                } else if (letter == XPRO_FRAME_DATA) {
                    step = ReadFrame;
                } else if (letter == XPRO_FRAME_NONE) {
                    return 0;
                } else {
                    ++tries;
                }
                break;
            }
            case ReadFrame: {
                int n = 0;
                int letter = XAS_ReadFrame(ctx, &n);
                int length = 0;
                if (letter == PORT_DONE) letter = XAS_ExtractPayload(ctx->receiveFrame, n, buffer, room, &length);
                ctx->stepLetter = letter;
                if (letter != 0) {
                    Control(ctx, XPRO_FRAME_NAK);
                    ++tries;
                    step = tries >= XAS_TRIES ? Fail : AwaitStx;
                    break;
                }
                if (!Control(ctx, XPRO_FRAME_ACK)) {
                    *count = 0;
                    step = Fail;
                    break;
                }
                if (XPRO_ReadControl(ctx) != XPRO_FRAME_EOT) {
                    std::memset(buffer, 0, static_cast<size_t>(length));
                    step = Fail;
                    break;
                }
                XPRO_ClearStepLabels(ctx);
                *count = length;
                return 2;
            }
            case Fail: break;
        }
    }
    const int letter = ctx->stepLetter;
    Control(ctx, XPRO_FRAME_EOT);
    ctx->stepLetter = letter != 0 ? letter : ctx->stepLetter != 0 ? ctx->stepLetter : 'B';
    XAS_SetStepName(ctx);
    return -3;
}

int XAS_SendMessage(KT_XPROT* ctx, const unsigned char* message, int length) {
    if (ctx == nullptr || length < 0 || (length > 0 && message == nullptr)) return -2;
    WComTraceSetMasker(ctx->port, XAS_MaskTraceExchange);
    XPRO_BeginMessage(ctx, XPRO_PHASE_SENDING);
    const int sent = XAS_SendSequence(ctx, message, length);
    XPRO_EndMessage(ctx, sent == 1);
    return sent == 1 ? 2 : -1;
}

int XAS_ReceiveMessage(KT_XPROT* ctx, unsigned char* buffer, int room, int* count) {
    if (ctx == nullptr || buffer == nullptr || count == nullptr) return -2;
    *count = 0;
    XPRO_BeginMessage(ctx, ctx->phase);
    if (ctx->phase != XPRO_PHASE_IDLE && XA_SendEot(ctx) != 1) {
        // The turn left open could not be closed.
        ctx->stepLetter = 'B';
        XPRO_EndMessage(ctx, false);
        return -2;
    }
    ctx->phase = XPRO_PHASE_RECEIVING;
    const int received = XAS_ReceiveSequence(ctx, buffer, room, count);
    if (received != 2) {
        if (received == 0) ctx->stepLetter = 'T';
        *count = 0;
    }
    XPRO_EndMessage(ctx, received == 2);
    return received == 2 ? 2 : -2;
}

int XAS_LinkSend(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || length > static_cast<uint32_t>(XPRO_PAYLOAD_MAX)) return -1;
    if (XAS_SendMessage(ctx, static_cast<const unsigned char*>(frame), static_cast<int>(length)) != 2) {
        WSysError("-- ERROR -- XAS_LinkSend : emission echouee (%u octets) %s", length, ctx->stepText);
        return -1;
    }
    return static_cast<int>(length);
}

int XAS_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || frame == nullptr || capacity == 0) return 0;
    const WTimeStamp start = WGetTimeStamp();
    if (WIsTimeOut(start, timeoutMs)) return 0;
    WSleep(10);
    const int room = static_cast<int>(std::min<uint32_t>(capacity, static_cast<uint32_t>(XPRO_FRAME_SIZE)));
    int count = 0;
    if (XAS_ReceiveMessage(ctx, static_cast<unsigned char*>(frame), room, &count) != 2) return 0;
    return count;
}

int XAS_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event) {
    if (box == nullptr || resource == nullptr) return 1;
    if (XPRO_NetworkEvent(resource, event)) return 0;
    unsigned char byte = 0;
    const int waited = XPRO_WaitLineByte(box, resource, timeoutMs, &byte);
    if (waited != 0) return waited;
    if (byte == ENQ) {
        if (event != nullptr) event[0] = 'A';
        return 0;
    }
    // Not the start of an answer: the wait goes on as if nothing came.
    return PAP_WaitCallbackStops(box) ? PV_PER_RESET : PV_NOT_YET;
}

bool XAS_MaskTraceExchange(unsigned char*, size_t, unsigned char* received, size_t receivedLength) {
    if (received == nullptr) return false;
    bool checkByte = false;
    for (size_t i = 0; i < receivedLength; ++i) {
        if (checkByte) {
            received[i] = kWSysMaskedByte;
            checkByte = false;
        } else if (received[i] == ETX) {
            checkByte = true;
        } else if (!IsControlByte(received[i])) {
            received[i] = kWSysMaskedByte;
        }
    }
    // The bytes sent (requests, print lines) are left to the masks of card
    // numbers.
    return false;
}

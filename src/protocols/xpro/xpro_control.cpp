// Control-byte reader, byte time-out and held byte of the serial links.
#include "protocols/xpro/xpro_control.h"

#include <cstring>

#include "comm/port_api.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"

namespace {

// The letter of a control byte, or 0 for any other byte.
int ControlLetter(unsigned char c) {
    switch (c) {
        case 0x02: return XPRO_FRAME_DATA;
        case 0x04: return XPRO_FRAME_EOT;
        case 0x05: return XPRO_FRAME_ENQ;
        case 0x06: return XPRO_FRAME_ACK;
        case 0x15: return XPRO_FRAME_NAK;
        default: return 0;
    }
}

}  // namespace

int XPRO_ReadControl(KT_XPROT* ctx) {
    if (ctx == nullptr) return XPRO_FRAME_NOCTX;
    unsigned char ahead = 0;
    const bool held = XPRO_TakeHeldByte(ctx, &ahead) == 1;
    std::memset(ctx->receiveFrame, 0, XPRO_FRAME_SIZE - 1);
    for (int i = 0; i < XPRO_CONTROL_READS; ++i) {
        unsigned char c = ahead;
        if (!held || i > 0) {
            const int result = PortRxCar(ctx->port, &c, ctx->byteTimeout);
            if (result == PORT_TIMEOUT) break;
            if (result != PORT_DONE) continue;  // a read error is passed over
        }
        const int letter = ControlLetter(c);
        if (letter != 0) {
            ctx->receiveFrame[0] = c;
            return letter;
        }
    }
    return XPRO_FRAME_NONE;
}

int XPRO_SetByteTimeOut(KT_XPROT* ctx) {
    if (ctx == nullptr) return -1;
    ctx->byteTimeout = ctx->phase == XPRO_PHASE_RECEIVING ? ctx->timeouts[0] : 5 * ctx->timeouts[0];
    return 1;
}

int XPRO_HoldByte(KT_XPROT* ctx, unsigned char byte) {
    if (ctx == nullptr) return -1;
    ctx->receiveFrame[0] = byte;
    ctx->held = 1;
    return 1;
}

int XPRO_TakeHeldByte(KT_XPROT* ctx, unsigned char* out) {
    if (ctx == nullptr || out == nullptr) return -1;
    if (ctx->held == 0) return 0;
    *out = ctx->receiveFrame[0];
    ctx->held = 0;
    return 1;
}

void XPRO_DropHeldByte(KT_XPROT* ctx) {
    if (ctx != nullptr) ctx->held = 0;
}

bool XPRO_NetworkEvent(const KT_PERES* resource, char* event) {
    if (resource == nullptr || resource->transportKind != PAP_TRANSPORT_NETWORK) return false;
    if (event != nullptr) event[0] = 'A';
    return true;
}

void XPRO_BeginMessage(KT_XPROT* ctx, int32_t phase) {
    XPRO_SetStatus(ctx, -1);
    ctx->stepLetter = 0;
    XA_SetStepName(ctx);
    ctx->phase = phase;
}

void XPRO_EndMessage(KT_XPROT* ctx, bool done) {
    if (done) XPRO_SetStatus(ctx, PAP_MES_FINAL);
    else if (ctx->stepLetter == 0) ctx->stepLetter = 'B';
    ctx->phase = XPRO_PHASE_IDLE;
    XA_SetStepName(ctx);
}

int XPRO_WaitLineByte(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, unsigned char* byte) {
    const int result = PortRxCar(resource->port, byte, timeoutMs / 10);
    if (result == PORT_DONE) return 0;
    if (result == PORT_CARRIER) return PV_NET_FAILED;
    return PAP_WaitCallbackStops(box) ? PV_PER_RESET : PV_NOT_YET;
}

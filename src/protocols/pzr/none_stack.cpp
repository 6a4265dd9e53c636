// Raw stack of protocol 5 over the port API.
#include "protocols/pzr/none_stack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/trace.h"
#include "protocols/pzr/wtm_module.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_control.h"

namespace {

// The text before the first '/' of a descriptor (within 80 characters), for
// the error line of a descriptor that is not one.
void FirstField(const char* text, char* out, size_t room) {
    size_t n = 0;
    while (n + 1 < room && n < static_cast<size_t>(XPRO_FIELD_SEARCH) && text[n] != '\0' && text[n] != '/') {
        out[n] = text[n];
        ++n;
    }
    out[n] = '\0';
}

void CopyText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    std::memcpy(field, text, strnlen(text, size - 1));
}

}  // namespace

KT_XPROT* NONE_NewXProt(int mode, int port) {
    KT_XPROT* ctx = XPRO_NewXProt(mode, nullptr, nullptr, port);
    if (ctx == nullptr) return nullptr;
    ctx->side = 0;
    ctx->byteTimeout = 0;
    KT_INONE_SetService(ctx, mode);
    KT_INONE_SetResource(ctx, port);
    return ctx;
}

void* KT_MNONE_NewProtocol(const char* description) {
    if (description == nullptr) {
        WSysError("-- ERROR -- [KT_MNONE_NewProtocol] Unknown descriptor");
        return nullptr;
    }
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(description, &f) != 1) {
        char first[XPRO_FIELD_SEARCH + 1];
        FirstField(description, first, sizeof first);
        WSysError("-- ERROR -- [KT_MNONE_NewProtocol] Bad type (%s)", first);
        return nullptr;
    }
    return NONE_NewXProt(std::atoi(f.field[0]), std::atoi(f.field[4]));
}

int KT_MNONE_MapRequest(KTM_WPRO* block) {
    if (block == nullptr || block->TransBox == nullptr) {
        WSysError("-- ERROR -- [KT_MNONE_MapRequest] Unknown transport layer");
        return -1;
    }
    if (block->request == nullptr) {
        WSysError("-- ERROR -- [KT_MNONE_MapRequest] Unknown message area");
        return -1;
    }
    auto* ctx = static_cast<KT_XPROT*>(block->TransBox);
    KTM_HALF* request = block->request;
    // The body goes to the link's send buffer: one it cannot hold is
    // refused before anything of the request is taken.
    const uint32_t length = request->mLength;
    if (length > static_cast<uint32_t>(XPRO_FRAME_SIZE) || length > KTM_FRAME_SIZE) {
        WSysError("-- ERROR -- [KT_MNONE_MapRequest] Message too long (%u, max. %d)", length, XPRO_FRAME_SIZE);
        return -1;
    }
    if (request->A[0] != '\0') CopyText(ctx->netApplication, sizeof ctx->netApplication, request->A);
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(request->S, &f) != 1) {
        char first[XPRO_FIELD_SEARCH + 1];
        FirstField(request->S, first, sizeof first);
        WSysError("-- ERROR -- [KT_MNONE_MapRequest] Bad type (%s)", first);
        return 0;
    }
    KT_INONE_SetService(ctx, std::atoi(f.field[0]));
    XPRO_SetApplication(ctx, f.field[2]);
    XPRO_SetLinkName(ctx, f.field[3]);
    std::memcpy(block->frame, request->M, length);
    return static_cast<int>(length);
}

int NONE_MapAnswer(KTM_WPRO* block) {
    if (block == nullptr || block->TransBox == nullptr) {
        WSysError("-- ERROR -- [NONE_MapAnswer] Unknown transport layer");
        return -1;
    }
    if (block->answer == nullptr) {
        WSysError("-- ERROR -- [NONE_MapAnswer] Unknown message area");
        return -1;
    }
    auto* ctx = static_cast<KT_XPROT*>(block->TransBox);
    KTM_HALF* answer = block->answer;
    const uint32_t length = answer->totalLength;
    if (length > static_cast<uint32_t>(XPRO_PAYLOAD_MAX) || length > KTM_M_MAX) {
        std::memset(answer->S, 0, sizeof answer->S);
        std::memset(answer->A, 0, sizeof answer->A);
        WSysError("-- ERROR -- [NONE_MapAnswer] Message too long (%u, max. %d)", length, XPRO_PAYLOAD_MAX);
        return -1;
    }
    CopyText(answer->A, sizeof answer->A, ctx->netApplication);
    std::memset(answer->S, 0, sizeof answer->S);
    const KT_XPARTY& t = ctx->party[1];
    std::snprintf(answer->S, sizeof answer->S, "XPRO/%d/%03d/%s/%s/%03d/%03d/%s/%s/%03d/%03d/", ctx->mode,
                  t.exchangeNumber, ctx->application, ctx->linkName, ctx->port, ctx->keyIndex, t.kerStat, t.appStat,
                  t.accStat, ctx->status);
    std::memcpy(answer->M, block->frame, length);
    answer->mLength = length;
    return static_cast<int>(length);
}

int NONE_LinkSend(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx != nullptr) WTM_MaskLineTrace(ctx->port);
    return Kt_Mnone_SomeThingToSend(ctx, static_cast<const unsigned char*>(frame), length) > 0
               ? static_cast<int>(length)
               : -1;
}

int NONE_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t, int32_t) {
    uint32_t count = 0;
    const int result =
        Kt_Mnone_SomeThingReceived(static_cast<KT_XPROT*>(transport), static_cast<unsigned char*>(frame), capacity, &count);
    return result > 0 ? static_cast<int>(count) : 0;
}

int Kt_Mnone_SomeThingToSend(KT_XPROT* ctx, const unsigned char* bytes, uint32_t length) {
    if (ctx == nullptr || bytes == nullptr || length == 0) {
        WSysError("-- ERROR -- [Kt_Mnone_SomeThingToSend] %p %p %u", static_cast<void*>(ctx),
                  static_cast<const void*>(bytes), length);
        return -1;
    }
    XPRO_SetStatus(ctx, -1);
    ctx->stepLetter = 0;
    ctx->phase = XPRO_PHASE_SENDING;
    KT_INONE_ClearError(ctx);
    const int result = KT_INONE_SendCommand(ctx, bytes, length);
    ctx->phase = XPRO_PHASE_IDLE;
    KT_INONE_SynthError(ctx);
    if (result > 0) XPRO_SetStatus(ctx, PAP_MES_FINAL);
    return result;
}

int Kt_Mnone_SomeThingReceived(KT_XPROT* ctx, unsigned char* buffer, uint32_t room, uint32_t* count) {
    if (ctx == nullptr || buffer == nullptr || count == nullptr) {
        WSysError("-- ERROR -- [Kt_Mnone_SomeThingReceived] %p %p %p", static_cast<void*>(ctx),
                  static_cast<void*>(buffer), static_cast<void*>(count));
        return -1;
    }
    XPRO_SetStatus(ctx, -1);
    ctx->stepLetter = 0;
    ctx->phase = XPRO_PHASE_RECEIVING;
    KT_INONE_ClearError(ctx);
    *count = 0;
    const int result = KT_INONE_GetResult(ctx, buffer, room, count);
    ctx->phase = XPRO_PHASE_IDLE;
    KT_INONE_SynthError(ctx);
    if (result > 0) XPRO_SetStatus(ctx, PAP_MES_FINAL);
    return result;
}

int KT_INONE_SendCommand(KT_XPROT* ctx, const unsigned char* bytes, uint32_t length) {
    if (ctx == nullptr || bytes == nullptr || length == 0) {
        WSysError("-- ERROR -- [KT_INONE_SendCommand] %p %p %u", static_cast<void*>(ctx),
                  static_cast<const void*>(bytes), length);
        return -1;
    }
    if (length > static_cast<uint32_t>(XPRO_FRAME_SIZE)) {
        WSysError("-- ERROR -- [KT_INONE_SendCommand] Message too long (%u, max. %d)", length, XPRO_FRAME_SIZE);
        return -1;
    }
    std::memset(ctx->sendFrame, 0, sizeof ctx->sendFrame);
    std::memcpy(ctx->sendFrame, bytes, length);
    return KT_LNONE_PutTrame(ctx, length);
}

int KT_INONE_GetResult(KT_XPROT* ctx, unsigned char* buffer, uint32_t room, uint32_t* count) {
    if (ctx == nullptr || buffer == nullptr || count == nullptr) {
        WSysError("-- ERROR -- [KT_INONE_GetResult] %p %p %p", static_cast<void*>(ctx), static_cast<void*>(buffer),
                  static_cast<void*>(count));
        return -1;
    }
    uint32_t got = 0;
    const int result = KT_LNONE_GetTrame(ctx, &got);
    if (result <= 0) return result;
    if (got > room) {
        WSysError("-- ERROR -- [KT_INONE_GetResult] Answer too long for its buffer (%u, room %u)", got, room);
        ctx->stepLetter = 'F';
        *count = 0;
        return -2;
    }
    std::memcpy(buffer, ctx->receiveFrame, got);
    *count = got;
    return result;
}

int KT_LNONE_PutTrame(KT_XPROT* ctx, uint32_t length) {
    if (ctx == nullptr || length == 0 || length > static_cast<uint32_t>(XPRO_FRAME_SIZE)) {
        WSysError("-- ERROR -- [KT_LNONE_PutTrame] %p %u", static_cast<void*>(ctx), length);
        return -1;
    }
    XPRO_DropHeldByte(ctx);
    PortPurgeRx(ctx->port, 0);
    const int result = PortEmist(ctx->port, ctx->sendFrame, length, PORT_METHOD_NONE);
    ctx->stepLetter = result;
    // 'L' counts as sent, as on every link.
    if (result == PORT_DONE || result == 'L') return 1;
    WSysError("-- ERROR -- [KT_LNONE_PutTrame] Emission echouee (%d)", result);
    return -2;
}

int KT_LNONE_GetTrame(KT_XPROT* ctx, uint32_t* count) {
    if (ctx == nullptr || count == nullptr) {
        WSysError("-- ERROR -- [KT_LNONE_GetTrame] %p %p", static_cast<void*>(ctx), static_cast<void*>(count));
        return -1;
    }
    ctx->byteTimeout = NONE_BYTE_TIMEOUT_MS;
    // A byte a wait took off the line is the answer's first.
    unsigned char first = 0;
    const uint32_t ahead = XPRO_TakeHeldByte(ctx, &first) == 1 ? 1 : 0;
    std::memset(ctx->receiveFrame, 0, sizeof ctx->receiveFrame);
    ctx->receiveFrame[0] = first;
    uint32_t got = NONE_RECEIVE_MAX - ahead;
    const int result = PortRecest(ctx->port, ctx->receiveFrame + ahead, &got, 0,
                                  static_cast<uint32_t>(NONE_BYTE_TIMEOUT_MS));
    ctx->stepLetter = result;
    *count = got + ahead;
    if (result == PORT_TIMEOUT) return 1;
    WSysError("-- ERROR -- [KT_LNONE_GetTrame] Reception echouee (%d)", result);
    return -2;
}

int KT_INONE_SynthError(KT_XPROT* ctx) {
    if (ctx == nullptr) {
        WSysError("-- ERROR -- [KT_INONE_SynthError] Unknown protocol handle");
        return -1;
    }
    std::memset(ctx->stepText, 0, sizeof ctx->stepText);
    const char* label = XPRO_StepLabel(ctx->stepLetter);
    if (label == nullptr) return 0;
    KT_XPARTY& host = ctx->party[0];
    char* target = ctx->stepLetter == 'S' ? host.appStat : host.kerStat;
    CopyText(target, XPRO_LABEL_MAX + 1, label);
    std::snprintf(ctx->stepText, sizeof ctx->stepText, "** INFO. ** [KT_INONE_SynthError] %s (Step=%d) (App=%s)",
                  label, static_cast<int>(ctx->stepLetter), ctx->application);
    WSysError("%s", ctx->stepText);
    return 1;
}

int KT_INONE_ClearError(KT_XPROT* ctx) {
    if (ctx == nullptr) {
        WSysError("-- ERROR -- [KT_INONE_ClearError] Unknown protocol handle");
        return -1;
    }
    XPRO_ClearStepLabels(ctx);
    return 1;
}

int KT_INONE_SetService(KT_XPROT* ctx, int mode) {
    if (ctx == nullptr) {
        WSysError("-- ERROR -- [KT_INONE_SetService] Unknown protocol handle");
        return -1;
    }
    ctx->mode = mode;
    return 1;
}

int KT_INONE_SetResource(KT_XPROT* ctx, int port) {
    if (ctx == nullptr) {
        WSysError("-- ERROR -- [KT_INONE_SetResource] Unknown protocol handle");
        return -1;
    }
    ctx->port = port;
    return 1;
}

// XA link, application "1030": the factory exchange with the card reader
// (one request frame, one answer frame) and its line-speed handling.
#include <cstring>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "protocols/module_contract.h"
#include "protocols/pv_status.h"
#include "protocols/xpro/xa_link.h"

namespace {

// What the last request left for its answer (shared by every context).
int g_lastKeyIndex = -1;
uint8_t g_expectedStatus = 0;

constexpr const char* kReaderSpeed = "4018";

// The reader goes to 9600 baud: the line drained and purged first.
void ChangeSpeed(const KT_XPROT* ctx, const char* trace) {
    WSysError("%s", trace);
    plat::SleepMs(XA_FACTORY_PAUSE_MS);
    PortWaitTxEmpty(ctx->port, 2);
    PortPurgeRx(ctx->port, 2);
    InitVPSL(ctx->port, kReaderSpeed);
    PortVPSL(ctx->port, nullptr);
}

// The port's configured line parameters again.
void ReloadPort(const KT_XPROT* ctx) {
    WCOM_ReloadResourceConfig(ctx->port);
    plat::SleepMs(XA_FACTORY_PAUSE_MS);
    InitVPSL(ctx->port, nullptr);
    PortVPSL(ctx->port, nullptr);
    PortSetFlowControl(ctx->port, PORT_FLOW_RTS_TOGGLE);
}

// The line parameters can be read and are not those of 9600 baud.
bool NotAtReaderSpeed(const KT_XPROT* ctx) {
    char vpsl[8] = {};
    return GetVPSL(ctx->port, vpsl) == PORT_DONE && vpsl[0] != kReaderSpeed[0];
}

// After a key index 6 request the reader restarts: the terminal's 'A' is
// waited for, at most two minutes; an abort from the wait callback ends the
// wait too.
void WaitForReader() {
    const int64_t start = plat::MonotonicMs();
    for (;;) {
        char event = 0;
        const int result = PAP_EngineWaitEvent(0, XA_FACTORY_EVENT_MS, &event);
        if (result == 0 && event == 'A') return;
        if (result == PV_PER_RESET) {
            WSysError("** INFO. ** HSomeThingFromFactory : attente du lecteur abandonnee");
            return;
        }
        if (result < 0 || plat::MonotonicMs() - start >= XA_FACTORY_WAIT_MS) return;
    }
}

}  // namespace

void XA_ResetFactoryState() {
    g_lastKeyIndex = -1;
    g_expectedStatus = 0;
}

int H_FactoryRequest(KT_XPROT* ctx, const unsigned char* body, int length) {
    if (ctx == nullptr) return -1;
    ctx->side = 1;
    ctx->phase = XPRO_PHASE_IDLE;
    ctx->stepLetter = 0;
    if (ctx->keyIndex == 6 && NotAtReaderSpeed(ctx))
        ChangeSpeed(ctx, "** INFO. ** H_FactoryRequest changement vitesse lecteur");
    uint8_t status = 0;
    const int n = XA_BuildFactoryFrame(ctx->keyIndex, ctx->party[0].accStat, ctx->party[0].exchangeNumber, body,
                                       length, ctx->sendFrame, XPRO_FRAME_SIZE, &status);
    bool sent = false;
    if (n < 0) {
        ctx->stepLetter = 'S';
    } else {
        sent = XA_SendFrame(ctx, ctx->sendFrame, n, XA_KIND_FACTORY) == 3;
    }
    if (sent) {
        g_lastKeyIndex = ctx->keyIndex;
        if (ctx->keyIndex == 2) g_expectedStatus = status;
        ctx->status = 1;
        if (ctx->keyIndex == 0 && NotAtReaderSpeed(ctx))
            ChangeSpeed(ctx, "** INFO. ** H_FactoryRequest 2 changement vitesse lecteur");
    } else {
        ctx->status = 0;
        WSysError("** INFO. ** HSomeThingToFactory --> Reload resource");
        ReloadPort(ctx);
    }
    XA_SetStepName(ctx);
    return sent ? 1 : -1;
}

int HSomeThingFromFactory(KT_XPROT* ctx, unsigned char* buffer, int capacity, int* length) {
    int ignored = 0;
    if (length == nullptr) length = &ignored;
    *length = 0;
    if (ctx == nullptr || buffer == nullptr) return -1;
    ctx->side = 1;
    ctx->phase = XPRO_PHASE_IDLE;
    int got = 0;
    const int frame = XA_ReceiveFrame(ctx, &got);
    int result = -1;
    const unsigned char* data = nullptr;
    int dataLength = 0;
    if (frame == 3) {
        int letter = 0;
        result = XA_ParseFactoryAnswer(ctx->receiveFrame, got, g_lastKeyIndex == 2, g_expectedStatus, &data,
                                       &dataLength, &letter);
        ctx->stepLetter = letter;
        if (result < 0 && letter == 'R') WSysError("** INFO. ** ***** Statut != OK *****");
        const bool needsData = ctx->keyIndex >= 3 && ctx->keyIndex <= 5;
        if (result > 0 && needsData && result != 2) {
            ctx->stepLetter = 'S';
            result = -1;
        } else if (result > 0 && !needsData) {
            result = 1;
        }
        if (result == 2 && dataLength > capacity) {
            ctx->stepLetter = 'F';
            result = -1;
        }
    } else if (frame > 0) {
        ctx->stepLetter = 'S';  // a frame, but no factory answer
    }
    if (ctx->keyIndex == 6) {
        ReloadPort(ctx);
        WaitForReader();
    }
    if (result == 1) {
        ctx->status = 2;
        XA_PutBusyText(buffer, capacity, length);
    } else if (result == 2) {
        ctx->status = 2;
        std::memcpy(buffer, data, static_cast<size_t>(dataLength));
        *length = dataLength;
    } else if (ctx->keyIndex != 0 && ctx->keyIndex != 1) {
        WSysError("** INFO. ** HSomeThingFromFactory --> Reload resource");
        ReloadPort(ctx);
    }
    std::memset(ctx->receiveFrame, 0, sizeof ctx->receiveFrame);
    XA_SetStepName(ctx);
    return result;
}

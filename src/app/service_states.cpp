// Maintenance and terminal-service states, polling during them.
#include "app/service_states.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/main_loop.h"
#include "app/startup.h"
#include "core/helpers.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "transactions/maintenance.h"
#include "transactions/pad_services.h"
#include "transactions/pos_polling.h"
#include "transactions/terminal_commands.h"
#include "transactions/terminal_restart.h"
#include "transactions/wait_callback.h"

namespace {

constexpr int kEchoRoundMs = 200;

// Echo wait of state 50: the last sign of life of the terminal and the
// first-round flag.
WTimeStamp g_echoStamp;
bool g_echoFirstRound = true;

bool Eq(const char* a, const char* b) { return a != nullptr && strcasecmp(a, b) == 0; }

const char* CurrentLabel(const EFTCBox* c) {
    if (c->netResourceIndex < 0 || c->netResourceIndex >= kNetResourceCount) return "";
    return c->netResources[c->netResourceIndex].label;
}

// The common start of states 10 and 50: the poll of the cash register.
// False when the pass ends there (state 100 unless the transaction was
// aborted).
bool WorkingStateGoesOn(EFTCBox* c) {
    if (PollPosDuringTransaction() >= 0) return true;
    if (c->abortCode != 3) c->loopState = 100;
    return false;
}

// One round of the echo wait (step 2 of state 50).
void EchoWaitRound(EFTCBox* c, TransactionRecord* r) {
    if (g_echoFirstRound) {
        g_echoStamp = WGetTimeStamp();
        g_echoFirstRound = false;
    }
    char event[kTerminalEchoSize] = {};
    const int status = WaitTerminalEvent(c->terminalFunction, kEchoRoundMs, event);
    bool ready = false;
    if (status == 0) {
        if (event[0] == 'A') {
            ready = true;
        } else if (event[0] == 'K') {
            g_echoStamp = WGetTimeStamp();
            EFTOC_StartTimer(c, r->echoTimeoutMs / 1000);
        }
    } else if (status == PV_PER_RESET) {
        c->loopState = 0;
        r->step = 0;
        g_echoFirstRound = true;
        return;
    }
    if (c->abortCode == 3) {
        c->loopState = 0;
        r->step = 0;
        g_echoFirstRound = true;
        return;
    }
    const bool timedOut = WIsTimeOut(g_echoStamp, r->echoTimeoutMs) == 1;
    if (ready || timedOut) {
        r->step = 3;
        g_echoFirstRound = true;
        if (!ready) r->echoTimedOut = 1;
    }
}

}  // namespace

int RunMaintenanceState() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    if (!WorkingStateGoesOn(c)) return 0;
    if (Options.ActivateFIRAI != 0) Options.ActivateFIRAI = 0;
    switch (r->step) {
        case 0:
            ISAP_ClearAll();
            EPAP_ClearAll();
            std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
            std::memset(c->serverRequest, 0, sizeof c->serverRequest);
            std::memset(c->posAnswer, 0, sizeof c->posAnswer);
            return UpdateTerminalOptions();
        case 1:
            if (r->rebootKind > 1) {
                RecoverTerminalCommunication();
                if (r->terminalInfoStatus != 0) {
                    TraceLog(TRACE_ERROR, "[TLP]", "Lecteur toujours inaccessible lors de la demande de reset");
                    CopyField(r->resultCode, "32");
                    r->step = 10;
                    return r->terminalInfoStatus;
                }
                if (RebootTerminal() != 0) r->terminalInfoStatus = 33;
                EPAP_ClearAll();
            }
            return MaintenanceWithForcedReboot();
        case 3: return UploadTerminalSoftware();
        case 10: return EndMaintenance();
        default:
            TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_UNKNOWN");
            CopyField(r->resultCode, "99");
            c->loopState = 100;
            return 0;
    }
}

int RunTerminalServiceState() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    if (!WorkingStateGoesOn(c)) return 0;
    const bool sale = Eq(r->service, "s7");
    const bool pn40 = Eq(CurrentLabel(c), "PN40");
    switch (r->step) {
        case 0: return sale ? S7_SaleInit() : PadServiceStart();
        case 1:
            g_echoFirstRound = true;
            return sale ? S7_ReadIsoTrack() : pn40 ? PN40_SaleStep1() : PadContinuousEntry();
        case 2: EchoWaitRound(c, r); return 0;
        case 3: return sale ? S7_ReadIsoTrackAnswer() : pn40 ? PN40_SaleStep3() : PadServiceEnd();
        default: return sale ? S7_SaleAnswer() : PadServiceAnswer();
    }
}

// Maintenance and terminal-service states, polling during them.
#include "app/service_states.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "station/display_zones.h"
#include "station/eft_context.h"
#include "app/main_loop.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "station/server_exchange.h"
#include "app/startup.h"
#include "station/text_field.h"
#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "platform/pos_mailbox.h"
#include "transactions/maintenance.h"
#include "transactions/terminal_commands.h"
#include "transactions/terminal_restart.h"
#include "transactions/pad_services.h"
#include "transactions/pos_answer.h"

namespace {

constexpr int kEchoRoundMs = 200;

// Echo wait of state 50: the last sign of life of the terminal and the
// first-round flag.
WTimeStamp g_echoStamp;
bool g_echoFirstRound = true;

int FailWithDisplay(TransactionRecord* r, const char* textId, const char* code, int result) {
    TOC_DisplayById("P5", nullptr, textId);
    CopyField(r->resultCode, code);
    return result;
}

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

int AbortRequested(EFTCBox* c, TransactionRecord* r) {
    if (Eq(CurrentLabel(c), "PN40")) {
        // The abort goes to the server of a PN40 resource.
        if (c->abortInhibition == 1) {
            SendPosResult(6);
            return 0;
        }
        std::memcpy(c->serverRequest, c->posRequest, sizeof c->serverRequest);
        SendPosResult(0);
        return 0;
    }
    if (c->abortInhibition == 1) {
        SendPosResult(6);
        EPAP_SetWaitCallback(WaitCallback);
        TraceLog(TRACE_INFO, "[POS]", "Abandon recu mais inhibe");
        return 0;
    }
    const bool forced = Options.ActivateFIRAI == 0x7F;
    if (forced) {
        SendPosResult(6);
        TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_ABORT");
    }
    TOC_CloseServer(c);
    EPAP_SetWaitCallback(nullptr);
    if (!forced)
        AbortTransaction(Options.IdHardReboot == 1 && Eq(r->command, "cn") ? "9002" : "9001", 1);
    EPAP_SetWaitCallback(WaitCallback);
    TraceLog(TRACE_INFO, "[POS]", "Abandon recu et autorise");
    if (Options.WaitForPinpad == 0 && r->barcodeActive < 1) TWEP_CloseSerialPorts(c->papBox);
    if (Options.TimeBeforeIdleBehaviour > 0) GetLoopStartupState().idleStamp = WGetTimeStamp();
    return -2;
}

// An abort (1) or stop (2) of the cash register that a wait with the cash
// register saw (a dialogue answer awaited) and did not carry out: the wait
// took the request, so it is written again as the cash register sent it and
// served as if it had just come.
int ServeAbortOf(EFTCBox* c, TransactionRecord* r) {
    const bool stop = c->abortCode == 2;
    c->abortCode = 0;
    TraceLog(TRACE_INFO, "[POS]", "%s recu pendant une attente, traite maintenant", stop ? "Arret" : "Abandon");
    if (stop) CloseClient("Demande de fermeture du client monetique", true);
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    if (LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) != 1 || TAG_Set("SS", "R") != 1 ||
        TAG_Set("PS", r->station) != 1 || TAG_Set("SV", "s3") != 1 || TAG_Set("CD", "c0") != 1)
        std::memset(c->posRequest, 0, sizeof c->posRequest);
    return AbortRequested(c, r);
}

// A request with CD "c1i" takes the place of the running transaction: it is
// put back into the mailbox for the idle dispatcher. It is kept only when
// the mailbox can hold it.
int ReplaceTransaction(EFTCBox* c, TransactionRecord* r) {
    const size_t length = strnlen(c->posRequest, sizeof c->posRequest);
    if (length > poslink::kMaxMessageChars) {
        TraceLog(TRACE_ERROR, "[POS]", "Requete trop longue pour etre reprise (%zu caracteres)", length);
        SendPosResult(8);
        return 0;
    }
    char* kept = static_cast<char*>(WAlloc(kPosBufferSize));
    if (kept == nullptr) {
        SendPosResult(8);
        return 0;
    }
    std::memcpy(kept, c->posRequest, length);
    r->resetRequired = 0;
    EPAP_SetWaitCallback(nullptr);
    AbortTransaction("9001", 0);
    EPAP_SetWaitCallback(WaitCallback);
    if (ZelDiaPut(kept, c->posLink) != 1)
        TraceLog(TRACE_ERROR, "[POS]", "Requete de remplacement non reprise: %s", kept);
    WFree(kept);
    c->loopState = 0;
    r->step = 0;
    return -2;
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

int ServeKeptAbort() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr || (c->abortCode != 1 && c->abortCode != 2)) return 0;
    return ServeAbortOf(c, r);
}

int PollPosDuringTransaction() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    // An abort or stop that another wait saw and left to be carried out is
    // served now, never dropped.
    const int served = ServeKeptAbort();
    if (served != 0) return served;
    c->abortCode = 0;
    if (EFTOC_CheckAlert(c) < 0) return FailWithDisplay(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
    const int poll = ZelDiaPoll(c);
    c->posEventFlag = g_processOptions.generateEvents;
    if (poll >= 10) {
        const int dealt = DealPosDuringTransaction();
        if (dealt == -2) return -2;
        if (dealt != 0) return FailWithDisplay(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
    } else if (poll < 0) {
        CopyField(r->resultCode, "38");
        return -6;
    }
    if (EFTOC_CheckTimeout(c) == 1) return FailWithDisplay(r, "ZNP_DSP_USER_SYS_ERR_TIME_EXCEEDED", "30", -4);
    return 0;
}

int DealPosDuringTransaction() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    TraceLog(TRACE_INFO, "[DEAL POS]", "Requete a traiter: %s", c->posRequest);
    logATAG(kLoggerEftagRequest, WLOG_DEBUG, c->posRequest);
    TAG_InitRead(c->posRequest, TAG_MESSAGE_MAX_CHARS, 0);
    const char* ss = TAG_GetString("SS", 1);
    const bool request = ss != nullptr && std::strcmp(ss, "R") == 0;
    const std::string sv = TAG_GetString("SV", 1) != nullptr ? TAG_GetString("SV", 1) : "";
    const bool hasSv = TAG_GetLength("SV") >= 0;
    const std::string cd = TAG_GetString("CD", 1) != nullptr ? TAG_GetString("CD", 1) : "";
    const bool hasCd = TAG_GetLength("CD") >= 0;
    if ((!request || !hasSv || !hasCd) && Options.ActivateFIRAI != 0x7F) {
        SendPosResult(3);
        return 0;
    }
    if (Eq(sv.c_str(), "s11")) {
        TOC_TakePosFlash(c, c->posRequest);
        TraceLog(TRACE_INFO, "[POS]", "Flash info provenant de la caisse %s", c->posRequest);
        SendPosResult(0);
        return 0;
    }
    if (Eq(sv.c_str(), "s3") && Eq(cd.c_str(), "c99")) CloseClient("Demande de fermeture du client monetique", true);
    if (Eq(sv.c_str(), "s3") && Eq(cd.c_str(), "c0")) return AbortRequested(c, r);
    if (Eq(cd.c_str(), "c1i") && !Eq(sv.c_str(), "s3")) return ReplaceTransaction(c, r);
    TraceLog(TRACE_WARN, "[POS]", "Le message provenant de la caisse ne sera pas traite car recu au mauvais moment.");
    SendPosResult(5);
    return 0;
}

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

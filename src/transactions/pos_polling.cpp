// The cash register served while a transaction works: the poll of a working
// state, the request that comes during it, the abort a wait kept, and the
// close asked by the cash register.
#include "transactions/pos_polling.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "platform/pos_mailbox.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "station/process_options.h"
#include "station/program_hooks.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "transactions/pos_answer.h"
#include "transactions/wait_callback.h"

namespace {

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

void CloseClient(const char* traceLine, bool closePorts) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    EPAP_SetWaitCallback(nullptr);
    Options.ConnectedMode = 0;
    if (c != nullptr) TOC_CloseServer(c);
    if (c != nullptr && r != nullptr && !(r->resetRequired != 1 && c->abortCode == 3)) AbortTransaction("9001", 0);
    if (closePorts && Options.WaitForPinpad == 0 && c != nullptr) TWEP_CloseSerialPorts(c->papBox);
    if (traceLine != nullptr) TraceLog(TRACE_INFO, "[POS]", "%s", traceLine);
    SendPosResult(0);
    EndProgram(0);
}

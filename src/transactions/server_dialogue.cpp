#include "transactions/server_dialogue.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/tag_buffer.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/process_options.h"
#include "station/program_hooks.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"
#include "transactions/server_messages.h"
#include "transactions/wait_callback.h"

namespace {

// Shows a system error on "P5", sets the result code and gives the value.
int Fail(TransactionRecord* r, const char* textId, const char* code, int result) {
    TOC_DisplayById("P5", nullptr, textId);
    if (r != nullptr) CopyField(r->resultCode, code);
    return result;
}

}  // namespace

int ConnectServer(int showWait) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return PV_NET_FAILED;
    if (c->connectionState == 1) return 0;
    if ((Options.OfflineMode & 0x80) != 0) {
        c->connectionState = 2;
        return PV_NET_FAILED;
    }
    if (showWait != 0) TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_LAN_CONNEXION");
    if (strcasecmp(r->command, "rtl") != 0) {
        const int connected = TOC_ConnectServers(c);
        if (connected == 1) {
            c->connectionState = 1;
            return 0;
        }
        if (connected != -1) {
            c->connectionState = 3;
            return PV_NET_FAILED;
        }
    }
    if (Options.OfflineModeWithSZEL == 1) {
        TraceLog(TRACE_INFO, "[OFFLINE]", "Tentative de connexion au serveur dégradé local");
        if (TOC_ConnectDegradedServer(c) != -1) {
            c->connectionState = 1;
            return 0;
        }
    }
    c->connectionState = 2;
    return PV_NET_FAILED;
}

int BuildRtlRequest() {
    EFTCBox* c = GetEftContext();
    const TransactionRecord* r = GetTransactionRecord();
    const bool written = c != nullptr && r != nullptr &&
                         LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 1) == 1 &&
                         TAG_Set("SV", "s2") == 1 && TAG_Set("CD", "rtl") == 1 && TAG_Set("PS", r->station) == 1 &&
                         TAG_Set("D7V", Options.IlotLabel) == 1;
    if (!written) {
        TraceLog(TRACE_ERROR, "[POS]", "Echec preparation de la requete de RTL");
        return -1;
    }
    TraceLog(TRACE_INFO, "[POS]", "Requete de RTL preparee");
    return 0;
}

void UploadOfflineAfterExchange() {}

int SendEndOfTransactionRequests() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    WSysError("** INFO. ** [EFT_FINISHStandard] Gestion des requetes de fin de transaction");
    int sent = 0;
    for (const std::string& text : EndOfTransactionRequests()) {
        WSysError("** INFO. ** [EFT_FINISHStandard] Requete a traiter : %s", text.c_str());
        if (c->connectionState != 1 && ConnectServer(0) != 0) continue;
        std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
        const int savedEcho = c->echoMode;
        c->echoMode = 0;
        const std::string kept(c->posAnswer, strnlen(c->posAnswer, sizeof c->posAnswer));
        std::memset(c->posAnswer, 0, sizeof c->posAnswer);
        std::memset(c->serverRequest, 0, sizeof c->serverRequest);
        std::memcpy(c->serverRequest, text.data(), std::min(text.size(), sizeof c->serverRequest - 1));
        char sv[5] = "", cd[5] = "";
        TAG_InitRead(c->serverRequest, TAG_MESSAGE_MAX_CHARS, 0);
        TAG_Get("SV", sv, sizeof sv, 1);
        TAG_Get("CD", cd, sizeof cd, 1);
        CopyField(r->service, sv);
        CopyField(r->command, cd);
        const bool written = LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1 &&
                             TAG_Set("PS", r->requestStation[0] != '\0' ? r->requestStation : r->station) == 1 &&
                             TAG_Set("SS", "R") == 1;
        if (written && DealServer() >= 20) ++sent;
        c->echoMode = savedEcho;
        std::memset(c->posAnswer, 0, sizeof c->posAnswer);
        std::memcpy(c->posAnswer, kept.data(), kept.size());
        std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
        std::memcpy(c->serverAnswer, kept.data(), kept.size());
        if (!written) break;
    }
    ClearEndOfTransactionRequests();
    return sent;
}

int RunTicketProblemCancellation(const char* islandLabel) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    if (c->connectionState != 1 && ConnectServer(0) != 0) return 0;
    std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    const int savedEcho = c->echoMode;
    c->echoMode = 0;
    char d16[8] = "", d17[16] = "", e7[sizeof r->e7] = "";
    int currency = 0, amount = 0;
    TAG_InitRead(c->posAnswer, TAG_MESSAGE_MAX_CHARS, 0);
    TAG_Get("D16", d16, sizeof d16, 1);
    TAG_Get("D17", d17, sizeof d17, 1);
    TAG_GetInt("D0", &currency, 1);
    TAG_GetInt("D10", &amount, 1);
    TAG_Get("E7", e7, sizeof e7, 1);
    CopyField(r->service, "s0");
    CopyField(r->command, "c9");
    std::string kept(c->posAnswer, strnlen(c->posAnswer, sizeof c->posAnswer));
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    int cancelled = 0;
    if (BuildCancelRequest(0, d16, d17, islandLabel, currency, amount, e7) == 0) {
        WSysError("-- ERROR -- [EFT_FINISHStandard] Probleme d'impression ticket");
        WSysError("-- ERROR -- [EFT_FINISHStandard] Annulation de la transation");
        const int dealt = DealServer();
        char rs[8] = "";
        TAG_InitRead(c->serverAnswer, TAG_MESSAGE_MAX_CHARS, 0);
        // Only a cancellation the server took (its RS below 10) makes the
        // payment a "done in part" one; otherwise the answer stays as it was.
        cancelled = dealt >= 20 && TAG_Get("RS", rs, sizeof rs, 1) == 1 && rs[0] != '\0' &&
                    std::strtol(rs, nullptr, 10) < 10 && std::strspn(rs, "0123456789") == std::strlen(rs);
    }
    c->echoMode = savedEcho;
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    std::memcpy(c->posAnswer, kept.data(), kept.size());
    std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    std::memcpy(c->serverAnswer, kept.data(), kept.size());
    if (cancelled && LoadTagMessage(c->posAnswer, sizeof c->posAnswer, 0) == 1) TAG_Replace("RS", "11");
    return cancelled;
}

int DealServer() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    // An abort of the cash register left by an earlier wait is served first.
    if (ServeKeptAbort() == -2) return -2;
    c->abortCode = 0;
    EPAP_ClearAll();
    ISAP_ClearAll();
    if (EFTOC_CheckAlert(c) < 0) return Fail(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
    TOC_SendPendingPosFlash(c);
    for (;;) {
        const int poll = ZelDiaPoll(c);
        c->posEventFlag = g_processOptions.generateEvents;
        if (poll >= 10) {
            const int dealt = DealPosDuringTransaction();
            if (dealt == -2) return -2;
            if (dealt != 0) return Fail(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
        } else if (poll < 0) {
            CopyField(r->resultCode, "38");
            return -6;
        }
        const int exchange = TOC_ServerExchangeStep(c);
        if (c->abortCode != 0) {
            TOC_CloseServer(c);
            EPAP_SetWaitCallback(nullptr);
            if (c->abortCode == 2) {
                Options.ConnectedMode = 0;
                TOC_CloseServer(c);
                TraceLog(TRACE_INFO, "[SRV]", "Arret du client requis par serveur");
                AbortTransaction("9001", 0);
                SendPosResult(0);
                EndProgram(0);
            }
            if (c->abortCode == 1) AbortTransaction("9001", 1);
            EPAP_SetWaitCallback(WaitCallback);
            TraceLog(TRACE_INFO, "[SRV]", "Abandon requis par serveur");
            return -2;
        }
        if (exchange >= 20) {
            r->answerReceived = 1;
            c->abortInhibition = 1;
            const NetResource* resource = c->netResourceIndex >= 0 && c->netResourceIndex < kNetResourceCount
                                              ? &c->netResources[c->netResourceIndex]
                                              : nullptr;
            if (!(strcasecmp(r->service, "s4") == 0 && resource != nullptr &&
                  strcasecmp(resource->label, "PN40") == 0))
                TOC_CloseServer(c);
            const int check = CheckServerResponse();
            if (check == 1) return exchange;
            std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
            if (check == 0) return Fail(r, "ZNP_DSP_USER_SYS_ERR_SERVER_ANSWER", "37", -3);
            return Fail(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
        }
        if (exchange < 0) {
            TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_LAN_FAILURE");
            CopyField(r->resultCode, "31");
            if (r->answerReceived != 0) return -5;
            TOC_DisableServer(r->currentServer);
            if (TOC_NoServerEnabled()) return -5;
            r->reconnecting = 1;
            r->processingMode = 3;
            c->connectionState = 0;
            TraceLog(TRACE_INFO, "[TRV_71]", "Reconnexion");
            return 0;
        }
        if (EFTOC_CheckTimeout(c) == 1) return Fail(r, "ZNP_DSP_USER_SYS_ERR_TIME_EXCEEDED", "30", -4);
        if (EFTOC_CheckAlert(c) < 0) return Fail(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
    }
}

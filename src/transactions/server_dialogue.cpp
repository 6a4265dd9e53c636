#include "transactions/server_dialogue.h"

#include <strings.h>

#include <cstring>

#include "app/display_zones.h"
#include "app/eft_context.h"
#include "app/main_loop.h"
#include "app/net_resources.h"
#include "app/options.h"
#include "app/server_exchange.h"
#include "app/service_states.h"
#include "app/startup.h"
#include "app/text_field.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "transactions/pos_answer.h"

namespace {

// Shows a system error on "P5", sets the result code and gives the value.
int Fail(TransactionRecord* r, const char* textId, const char* code, int result) {
    TOC_DisplayById("P5", nullptr, textId);
    if (r != nullptr) CopyField(r->resultCode, code);
    return result;
}

}  // namespace

const char* GetCurrentServerSni(const EFTCBox* context, const TransactionRecord* record) {
    if (context == nullptr || record == nullptr) return "";
    const int resource = context->netResourceIndex;
    const int server = record->currentServer;
    if (resource < 0 || resource >= kNetResourceCount || server < 0 || server >= kServerCount)
        return "";
    return context->netResources[resource].servers[server].sni;
}

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

int CheckServerResponse() {
    const EFTCBox* c = GetEftContext();
    if (c == nullptr) return -1;
    const size_t length = strnlen(c->serverAnswer, sizeof c->serverAnswer);
    return length >= 3 && std::strcmp(c->serverAnswer + length - 3, "{F}") == 0 ? 1 : 0;
}

void SuperviseSockets(int, int*, int*) {}

void SpoolServerTicket() {}

int DealServer() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    c->abortCode = 0;
    EPAP_ClearAll();
    ISAP_ClearAll();
    if (EFTOC_CheckAlert(c) < 0) return Fail(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
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
                ShutdownClient();
                EndProcess(0);
            }
            if (c->abortCode == 1) AbortTransaction("9001", 1);
            EPAP_SetWaitCallback(WaitCallback);
            TraceLog(TRACE_INFO, "[SRV]", "Abandon requis par serveur");
            return -2;
        }
        if (exchange >= 20) {
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
            TOC_DisableServer(r->currentServer);
            if (TOC_NoServerEnabled()) return -5;
            c->connectionState = 0;
            TraceLog(TRACE_INFO, "[TRV_71]", "Reconnexion");
            return 0;
        }
        if (EFTOC_CheckTimeout(c) == 1) return Fail(r, "ZNP_DSP_USER_SYS_ERR_TIME_EXCEEDED", "30", -4);
        if (EFTOC_CheckAlert(c) < 0) return Fail(r, "ZNP_DSP_USER_SYS_ERR_UNKNOWN", "99", -1);
    }
}

// Maintenance and terminal-service states, polling during them, the
// maintenance indicator.
#include "app/service_states.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "app/display_zones.h"
#include "app/eft_context.h"
#include "app/options.h"
#include "app/server_exchange.h"
#include "app/startup.h"
#include "app/text_field.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "transactions/maintenance.h"
#include "transactions/pos_answer.h"

namespace {

constexpr const char kIndicatorPath[] = "WOUT/update.tmp";

int EndWithoutTerminal(const char* category) {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return -1;
    if (record->posAnswerState == 0) {
        SendPosResult(0);
        record->posAnswerState = 1;
    }
    TraceLog(TRACE_WARN, category, "Aucun lecteur configure (SV %s CD %s)", record->service,
             record->command);
    std::memcpy(record->resultCode, "32", 3);
    record->step = 0;
    context->loopState = 100;
    return 1;
}

int FailWithDisplay(TransactionRecord* r, const char* textId, const char* code, int result) {
    TOC_DisplayById("P5", nullptr, textId);
    CopyField(r->resultCode, code);
    return result;
}

}  // namespace

int PollPosDuringTransaction() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
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
    if (c == nullptr) return -1;
    TraceLog(TRACE_INFO, "[DEAL POS]", "Requete a traiter: %s", c->posRequest);
    logATAG(kLoggerEftagRequest, WLOG_DEBUG, c->posRequest);
    TAG_InitRead(c->posRequest, TAG_MESSAGE_MAX_CHARS, 0);
    const char* ss = TAG_GetString("SS", 1);
    const bool request = ss != nullptr && std::strcmp(ss, "R") == 0;
    const char* sv = TAG_GetString("SV", 1);
    const bool flash = sv != nullptr && strcasecmp(sv, "s11") == 0;
    if (!request || sv == nullptr || TAG_GetLength("CD") < 0) {
        SendPosResult(3);
        return 0;
    }
    if (flash) {
        EFTOC_SetApplicationCode(c, "1410");
        std::memcpy(c->serverRequest, c->posRequest, sizeof c->serverRequest);
        TraceLog(TRACE_INFO, "[POS]", "Flash info provenant de la caisse %s", c->posRequest);
        SendPosResult(0);
        return 0;
    }
    TraceLog(TRACE_WARN, "[POS]", "Le message provenant de la caisse ne sera pas traite car recu au mauvais moment.");
    SendPosResult(5);
    return 0;
}

int RunMaintenanceState() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    if (PollPosDuringTransaction() < 0) {
        if (c->abortCode != 3) c->loopState = 100;
        return 0;
    }
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
                RecoverTerminalCommunication(0);
                if (r->terminalInfoStatus != 0) {
                    TraceLog(TRACE_ERROR, "[TLP]", "Lecteur toujours inaccessible lors de la demande de reset");
                    CopyField(r->resultCode, "32");
                    r->step = 10;
                    return r->terminalInfoStatus;
                }
                if (RebootTerminal() < 0) r->terminalInfoStatus = 33;
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

int RunTerminalServiceState() { return EndWithoutTerminal("[PAD]"); }

int SetMaintenanceIndicator(int flag) {
    if (Options.WaitForPinpad != 1) return 0;
    std::FILE* existing = std::fopen(kIndicatorPath, "rb");
    if (flag != 0) {
        if (existing != nullptr) {
            std::fclose(existing);
        } else {
            std::FILE* file = std::fopen(kIndicatorPath, "a+b");
            if (file == nullptr || std::fputc('c', file) == EOF || std::fflush(file) != 0) {
                if (file != nullptr) std::fclose(file);
                TraceLog(TRACE_ERROR, "[MAINTENANCE]", "Echec indicateur de maintenance en cours");
                return 1;
            }
            std::fclose(file);
        }
        TraceLog(TRACE_INFO, "[MAINTENANCE]", "Indicateur de maintenance en cours cree");
        return 0;
    }
    if (existing != nullptr) {
        std::fclose(existing);
        std::remove(kIndicatorPath);
        TraceLog(TRACE_INFO, "[MAINTENANCE]", "Indicateur de maintenance en cours efface");
    } else {
        TraceLog(TRACE_INFO, "[MAINTENANCE]", "Indicateur de maintenance en cours absent lors de la demande d'effacement");
    }
    return 0;
}

void WaitCallback(char*) {}

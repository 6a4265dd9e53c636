#include "transactions/maintenance.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/text_field.h"
#include "transactions/manual_entry.h"
#include "transactions/pos_answer.h"
#include "transactions/server_dialogue.h"
#include "transactions/terminal_commands.h"
#include "transactions/terminal_restart.h"

namespace {

int g_factoryMode = 0;
constexpr int kRudaProtocol = 16;

bool Is(const char* value, const char* wanted) { return strcasecmp(value, wanted) == 0; }

bool InTerminalMaintenanceGroup(const char* cd) {
    for (const char* c : {"c1c", "c4a", "c1d", "c1e", "c1f"})
        if (Is(cd, c)) return true;
    return false;
}

// The options file "znpop" of "WPAF" as the text manager's current file.
bool SelectOptionsFile(EFTCBox* c) {
    KTS_SetCountry(c->box, 0);
    return KTS_SetDirectory(c->box, EFTOC_GetDirectory(c, "WPAF")) >= 0 && KTS_SetFile(c->box, "znpop") >= 0;
}

// Answer of the options commands in the server answer buffer: SS "A", SV,
// CD, PS, RS and, with the time-outs, D6H and D6I.
void WriteOptionsAnswer(EFTCBox* c, TransactionRecord* r, const char* rs, bool withTimeouts) {
    if (LoadTagMessage(c->serverAnswer, sizeof c->serverAnswer, 1) != 1) return;
    TAG_Set("SS", "A");
    TAG_Set("SV", r->service);
    TAG_Set("CD", r->command);
    TAG_Set("PS", r->station);
    TAG_Set("RS", rs);
    if (withTimeouts) {
        TAG_SetInt("D6H", Options.DetectionTimeout);
        TAG_SetInt("D6I", Options.RemovalTimeout);
    }
}

// "c43": the time-outs and POS options of the request into "znpop". false
// when the request cannot be read or a key or the file was not written.
bool UpdateOptionsFile(EFTCBox* c) {
    if (!SelectOptionsFile(c) || TAG_InitRead(c->serverRequest, sizeof c->serverRequest, 0) != 1) return false;
    const struct {
        const char* tag;
        const char* key;
    } keys[] = {{"D6H", "DetectionTimeout"}, {"D6I", "RemovalTimeout"}, {"D91", "PosGuiOptions"}};
    for (const auto& k : keys) {
        const char* value = TAG_GetString(k.tag, 1);
        if (value != nullptr && KTS_ReSetItemText(c->box, k.key, value) < 0) return false;
    }
    if (KTS_ReSetFileText(c->box) < 0) return false;
    return TOC_LoadOptions() == 0;
}

}  // namespace

void ResetPad(int) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    constexpr int kReader = 4;
    const bool chequeService =
        Is(r->service, "s1") ||
        (Is(r->service, "s4") && (r->cardReadRecord.technology == CARD_TECH_CHEQUE || (r->readerSet & 0x80000) != 0)) ||
        Options.IsConcurrentCheckCard != 0;
    if (chequeService && (c->pinpadProtocolClass & ~0x80) != 0) {
        EjectCheque();
        EPAP_ClearAll();
        if (c->chequeReaderPrepared != 0) {
            EPAP_RebindLink(0, 0);
            EPAP_RebindLink(kReader, kReader);
            c->chequeReaderPrepared = 0;
            r->resetRequired = 1;
        }
    }
    if (r->resetRequired == 1) {
        WaitTerminalAnswerEvent(kReader, 3000, true);
        bool failed = false;
        if (EPAP_GetProtocol(kReader) == 16)
            failed = TermReset("9001", 0) != 0;
        else
            failed = EPAP_SendControl(kReader, "9001") < 0 && EPAP_SendControl(0, "9001") < 0;
        if (failed) {
            TraceLog(TRACE_ERROR, "[PAD]", "Remise a zero echouee");
        } else {
            TraceLog(TRACE_INFO, "[PAD]", "Remis a zero");
            if (Options.SafeReset == 1) {
                r->echoTimeoutMs = 10000;
                WaitTerminalAnswerEvent(c->terminalFunction, r->echoTimeoutMs, false);
            }
        }
        EPAP_ClearAll();
        r->resetRequired = 0;
    }
    ResetTransactionGlobals();
    EPAP_ClearAll();
    ISAP_ClearAll();
    ClearCardRecords();
    c->authorisationMode = -1;
    c->loopState = 0;
    r->step = 0;
    c->abortCode = 3;
}

int UpdateTerminalOptions() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    CopyField(r->titleId, "ZNP_DSP_TITLE_UPLOAD");
    if (Is(r->command, "c41") || Is(r->command, "c40")) {
        CopyField(r->titleId, "ZNP_DSP_TITLE_STATUS");
        c->terminalFunction = 4;
    }
    std::memcpy(c->serverRequest, c->posRequest, sizeof c->serverRequest);
    c->serverRequest[sizeof c->serverRequest - 1] = '\0';
    TAG_InitRead(c->serverRequest, sizeof c->serverRequest, 0);
    const char* factory = TAG_GetString("D3C", 1);
    g_factoryMode = factory != nullptr && std::strcmp(factory, "1") == 0 ? 1 : 0;
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    if (Options.SpecialMenu != 2 && Options.UploadNeeded == 0) {
        EFTOC_SetPosEventFlag(c, 0);
        c->posAnswer[0] = '0';
        r->posAnswerState = 1;
        SaveRequestServiceCommand(r->service, r->command);
        if (Options.SpecialMenu != 0) Options.SpecialMenu = 3;
    }
    r->step = 1;
    if (Is(r->command, "c43")) {
        CopyField(r->resultCode, "01");
        if (!UpdateOptionsFile(c)) {
            TraceLog(TRACE_ERROR, "[UPDATE]", "Mise a jour des options echouee");
            WriteOptionsAnswer(c, r, "11", false);
            r->step = 10;
            return 0;
        }
    }
    if (Is(r->command, "c42") || Is(r->command, "c43")) {
        CopyField(r->resultCode, "01");
        WriteOptionsAnswer(c, r, "01", true);
        r->step = 10;
    }
    return 0;
}

int MaintenanceWithForcedReboot() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    const bool group = InTerminalMaintenanceGroup(r->command);
    if (group) {
        RecoverTerminalCommunication();
        if (r->terminalInfoStatus != 0) {
            TraceLog(TRACE_ERROR, "[TLP]", "Lecteur toujours inaccessible");
            CopyField(r->resultCode, "32");
            r->step = 10;
            return r->terminalInfoStatus;
        }
    }
    // The request carries the serial number of a RUDA terminal that answers.
    if (r->terminalInfoStatus == 0 && EPAP_GetProtocol(4) == kRudaProtocol &&
        LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1)
        AddSerialNumberTag();
    const bool upload = std::strcmp(r->titleId, "ZNP_DSP_TITLE_UPLOAD") == 0;
    if (ConnectServer(upload ? 1 : 0) != 0) {
        if (upload) {
            TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_LAN_FAILURE");
            WSleep(3000);
        }
        CopyField(r->resultCode, "31");
        r->step = 10;
        return 0;
    }
    r->step = 3;
    return 0;
}

int UploadTerminalSoftware() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    r->step = 10;
    if (DealServer() >= 20) {
        CopyField(r->resultCode, "01");
        SpoolServerTicket();
        if (Is(r->command, "c40")) {
            int state = 0;
            const bool read = TAG_InitRead(c->serverAnswer, sizeof c->serverAnswer, 0) == 1 &&
                              TAG_GetInt("D60", &state, 1) == 1;
            if (!read || state != 2) CopyField(r->resultCode, "32");
        } else if (Is(r->command, "c1c")) {
            TAG_InitRead(c->serverAnswer, sizeof c->serverAnswer, 0);
            const char* rs = TAG_GetString("RS", 1);
            if (rs != nullptr && (std::strcmp(rs, "01") == 0 || std::strcmp(rs, "10") == 0)) {
                char value[16] = "0";
                if (Options.UploadNeeded % 2 != 0) {
                    ++Options.UploadNeeded;
                    r->step = 0;
                    c->loopState = 10;
                    std::snprintf(value, sizeof value, "%d", Options.UploadNeeded);
                }
                if (!SelectOptionsFile(c) || KTS_ReSetItemText(c->box, "UploadNeeded", value) < 0 ||
                    KTS_ReSetFileText(c->box) < 0)
                    TraceLog(TRACE_WARN, "[UPDATE]", "Mise a jour des options echouee");
            }
        }
    }
    TOC_CloseServer(c);
    return 0;
}

int EndMaintenance() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    if (r->posAnswerState == 2) {
        c->loopState = 0;
        r->step = 0;
        return 0;
    }
    if (std::strcmp(r->resultCode, "01") == 0 && Options.SpecialMenu != 2) {
        std::memcpy(c->posAnswer, c->serverAnswer, sizeof c->posAnswer);
        c->posAnswer[sizeof c->posAnswer - 1] = '\0';
        if (std::strcmp(r->replyCommand, "c2g") == 0 && Options.ConnectedMode != 1) {
            TAG_Remove(c->posAnswer, "SV");
            TAG_Remove(c->posAnswer, "CD");
            if (LoadTagMessage(c->posAnswer, sizeof c->posAnswer, 0) != 1 || TAG_Set("SV", "s0") != 1 ||
                TAG_Set("CD", "c2g") != 1) {
                std::memset(c->posAnswer, 0, sizeof c->posAnswer);
                CopyField(r->resultCode, "99");
            }
        }
    }
    if (Options.SpecialMenu == 2) {
        CopyField(r->resultCode, "33");
        Options.SpecialMenu = 3;
        char sv[10] = "", cd[10] = "";
        GetSavedRequestServiceCommand(sv, cd);
        CopyField(r->service, sv);
        CopyField(r->command, cd);
    }
    if (c->posAnswer[0] != '\0' && TAG_InitRead(c->posAnswer, sizeof c->posAnswer, 0) == 1 &&
        TAG_GetLength("VWAY") < 0 && LoadTagMessage(c->posAnswer, sizeof c->posAnswer, 0) == 1) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", r->currentServer + 1);
        TAG_Set("VWAY", number);
    }
    return EFT_FINISHStandard();
}

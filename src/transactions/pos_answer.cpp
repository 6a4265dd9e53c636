// Answers to the cash register and the end of a transaction.
#include "transactions/pos_answer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "station/process_options.h"
#include "station/server_box.h"
#include "station/text_field.h"
#include "transactions/awaited_calls.h"
#include "transactions/maintenance.h"
#include "transactions/manual_entry.h"
#include "transactions/server_dialogue.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"
#include <strings.h>

namespace {

char g_savedSv[10];
char g_savedCd[10];

}  // namespace

int BuildPosAnswer(char* buffer, int size, const char* sv, const char* cd) {
    const TransactionRecord* record = GetTransactionRecord();
    if (LoadTagMessage(buffer, size, 1) != 1) return 0;
    const char* station = record ? record->station : "";
    if (TAG_Set("SS", "A") != 1 || TAG_Set("PS", station) != 1 || TAG_Set("SV", sv ? sv : "") != 1 ||
        TAG_Set("CD", cd ? cd : "") != 1)
        return 0;
    return 1;
}

int SendPosResult(int code) {
    EFTCBox* context = GetEftContext();
    if (context == nullptr || code < 0 || code > 9) return -1;
    std::memset(context->posRequest, 0, sizeof context->posRequest);
    std::memset(context->posAnswer, 0, sizeof context->posAnswer);
    context->posAnswer[0] = static_cast<char>('0' + code);
    return SendPosAnswer(context->posAnswer, sizeof context->posAnswer, 0, context->posTimeout);
}

int SendPosAnswer(char* text, int size, int signal, int timeoutSec) {
    if (text == nullptr || size <= 0) return -1;
    EFTCBox* context = GetEftContext();
    int result = -1;
    const size_t length = strnlen(text, static_cast<size_t>(size));
    if (length > 0 && length < static_cast<size_t>(size)) {
        PosLinkHandle* link = context ? context->posLink : nullptr;
        if (ZelDiaWrite(text, static_cast<int>(length), link, signal, timeoutSec) > 0) {
            if (length == 1) TraceLog(TRACE_INFO, "[TRV_71]", "Acquittement requete: %s", text);
            if (context != nullptr && context->debugLevel != 0)
                LogExchange(0, text, context->exchangeLogName, context->logSizeKb);
            result = 1;
        }
    }
    std::memset(text, 0, static_cast<size_t>(size));
    return result;
}

int SaveRequestServiceCommand(const char* sv, const char* cd) {
    std::memset(g_savedSv, 0, sizeof g_savedSv);
    std::memset(g_savedCd, 0, sizeof g_savedCd);
    CopyText(g_savedSv, sizeof g_savedSv, sv);
    CopyText(g_savedCd, sizeof g_savedCd, cd);
    if (g_savedSv[0] != '\0') return static_cast<int>(std::strlen(g_savedSv));
    if (g_savedCd[0] != '\0') return static_cast<int>(std::strlen(g_savedCd));
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr) std::memset(record->titleId, 0, sizeof record->titleId);
    return 0;
}

void GetSavedRequestServiceCommand(char* sv, char* cd) {
    if (sv != nullptr) std::memcpy(sv, g_savedSv, sizeof g_savedSv);
    if (cd != nullptr) std::memcpy(cd, g_savedCd, sizeof g_savedCd);
}

void ResetTransactionGlobals() {
    // The display's lines: 2, or those of window "E5" when the display
    // terminal does not speak RUDA.
    int lines = 2;
    const EFTCBox* context = GetEftContext();
    constexpr int kRudaProtocol = 16;
    if (context != nullptr && EPAP_GetProtocol(0) != kRudaProtocol) {
        if (const KT_TEXT_WINDOW* e5 = KTS_GetWindow(context->box, "E5")) lines = e5->rows;
    }
    EchoScreenReset(lines);
}

void DoNothing(int) {}

void BuildAbortAnswer() {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return;
    const char* sv = g_savedSv;
    const char* cd = g_savedCd;
    if (sv[0] == '\0' || cd[0] == '\0') {
        sv = "s3";
        cd = "c0";
    }
    if (record->replyService[0] != '\0') {
        sv = record->replyService;
        cd = record->replyCommand;
    }
    bool written = BuildPosAnswer(context->posAnswer, sizeof context->posAnswer, sv, cd) == 1 &&
                   TAG_Set("RS", "33") == 1;
    if (written && record->flashD16[0] != '\0') written = TAG_Set("D16", record->flashD16) == 1;
    if (written && record->flashD3E[0] != '\0') written = TAG_Set("D3E", record->flashD3E) == 1;
    if (written && record->cardReadRecord.presentCount == 1) {
        const char* d15 = nullptr;
        switch (record->cardReadRecord.technology) {
            case 0: d15 = "0"; break;
            case 2: d15 = "1"; break;
            case 4:
            case 5: d15 = "2"; break;
            case 10: d15 = "10"; break;
            default: break;
        }
        if (d15 != nullptr) written = TAG_Set("D15", d15) == 1;
    }
    if (written) {
        SendPosAnswer(context->posAnswer, sizeof context->posAnswer, context->posEventFlag,
                      context->posTimeout);
        record->posAnswerState = 2;
    } else {
        std::memset(context->posAnswer, 0, sizeof context->posAnswer);
    }
    SaveRequestServiceCommand("", "");
}

namespace {

// The answers of an abort by its mode (1: '0' then the abort answer; 2: the
// abort answer only; 0: none), then the transaction cleared. The result of
// the '0' write (0 without it).
int AnswerAbort(EFTCBox* context, TransactionRecord* record, int mode) {
    int result = 0;
    if (mode == 1) result = SendPosResult(0);
    if (mode == 1 || mode == 2) {
        if (g_savedSv[0] != '\0') TOC_DisplayById("P5", record->titleId, "ZNP_DSP_USER_SYS_ERR_ABORT");
        BuildAbortAnswer();
        ClearCardRecords();
        context->loopState = 0;
        record->step = 0;
    }
    std::memset(context->posRequest, 0, sizeof context->posRequest);
    EPAP_ClearAll();
    ISAP_ClearAll();
    ResetTransactionGlobals();
    return result;
}

}  // namespace

int AbortTransaction(const char* resetCode, int mode) {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return 0;
    int result = 0;
    const bool chequeSide = std::strcmp(record->service, "s1") == 0 ||
                            (std::strcmp(record->service, "s4") == 0 &&
                             (record->cardReadRecord.technology == 7 || (record->readerSet & 0x80000u) != 0)) ||
                            Options.IsConcurrentCheckCard != 0;
    if (chequeSide && context->pinpadProtocolClass != 0) {
        EjectCheque();
        EPAP_ClearAll();
    }
    const int savedTimeout = context->posTimeout;
    context->posTimeout = 1;
    const int written = AnswerAbort(context, record, mode);
    if (mode == 1) result = written;
    RestartTerminal(resetCode != nullptr ? resetCode : "9001", mode);
    context->posTimeout = savedTimeout;
    context->abortCode = 3;
    context->authorisationMode = -1;
    return result;
}

int AbortTransactionWithEchoPurge(int mode) {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return 1;
    const int savedTimeout = context->posTimeout;
    context->posTimeout = 1;
    AnswerAbort(context, record, mode);
    context->posTimeout = savedTimeout;
    if (record->resetRequired == 1) {
        TraceLog(TRACE_INFO, "[TRV_71]", "Purge des echos avant redemarrage lecteur");
        context->terminalFunction = 4;
        WTimeStamp start{};
        WGetTimeStamp(&start);
        char event[130];
        while (!WIsTimeOut(start, 3000)) {
            std::memset(event, 0, sizeof event);
            if (EPAP_WaitEvent(4, 200, event) != 0 || event[0] == 'A') break;
        }
    }
    context->abortCode = 3;
    context->authorisationMode = -1;
    return 1;
}

namespace {

bool AnswerTag(char* answer, const char* code, char* out, int size) {
    out[0] = '\0';
    if (TAG_InitRead(answer, kPosBufferSize, 0) != 1) return false;
    return TAG_Get(code, out, size, 1) == 1;
}

// Writes the final answer now.
void WriteFinalAnswer(EFTCBox* context, TransactionRecord* record) {
    if (SendPosAnswer(context->posAnswer, sizeof context->posAnswer, context->posEventFlag,
                      context->posTimeout) == 1)
        record->posAnswerState = 2;
}

// The final answer from the transaction record: ZNP, SS, PS, SV, CD, RS, D48.
void BuildFinalAnswer(EFTCBox* context, TransactionRecord* record) {
    if (record->replyService[0] != '\0') {
        CopyText(record->service, sizeof record->service, record->replyService);
        CopyText(record->command, sizeof record->command, record->replyCommand);
    }
    if (strcasecmp(record->command, "c2h") == 0 && record->rebootKind > 0) {
        RecoverTerminalCommunication();
        if (record->terminalInfoStatus != 0) {
            TraceLog(TRACE_ERROR, "[TLP]", "Lecteur toujours inaccessible lors de la demande de reset");
        } else {
            RebootTerminal();
            EPAP_ClearAll();
        }
    }
    if (record->resultCode[0] == '\0') std::memcpy(record->resultCode, "99", 3);
    const bool empty = context->posAnswer[0] == '\0';
    bool written = LoadTagMessage(context->posAnswer, sizeof context->posAnswer, empty ? 1 : 0) == 1 &&
                   TAG_Set("SS", "A") == 1 && TAG_Set("PS", record->station) == 1 &&
                   TAG_Set("SV", record->service) == 1 && TAG_Set("CD", record->command) == 1 &&
                   TAG_Set("RS", record->resultCode) == 1;
    if (written && record->cardIncident[0] != '\0') written = TAG_Set("D48", record->cardIncident) == 1;
    if (!written) std::memset(context->posAnswer, 0, sizeof context->posAnswer);
}

}  // namespace

int EFT_FINISHStandard() {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return 1;
    const NetResource* resource = context->netResourceIndex >= 0 && context->netResourceIndex < kNetResourceCount
                                      ? &context->netResources[context->netResourceIndex]
                                      : nullptr;
    if (!(std::strcmp(record->service, "s4") == 0 && resource != nullptr && std::strcmp(resource->label, "PN40") == 0))
        TOC_CloseServer(context);
    // The automatic maintenance answers nobody: its answer state is 2.
    if (record->posAnswerState != 2) {
        char value[16];
        const bool rebuild = context->posAnswer[0] == '\0' ||
                             (AnswerTag(context->posAnswer, "D3L", value, sizeof value) && value[0] != '\0' &&
                              !AnswerTag(context->posAnswer, "SV", value, sizeof value));
        if (rebuild) BuildFinalAnswer(context, record);
    }
    char rs[8];
    if (context->posAnswer[0] != '\0' && AnswerTag(context->posAnswer, "RS", rs, sizeof rs)) {
        // A payment whose ticket could not be printed is cancelled on the
        // server; the cash register is then told it was done in part.
        const bool numeric = rs[0] != '\0' && std::strspn(rs, "0123456789") == std::strlen(rs);
        if (record->ticketCancel != 0 && numeric && std::strtol(rs, nullptr, 10) < 10 &&
            std::strcmp(record->command, "c4") != 0)
            RunTicketProblemCancellation(Options.IlotLabel);
        if (std::strcmp(rs, "36") == 0) {
            char value[16];
            const bool noSv = !AnswerTag(context->posAnswer, "SV", value, sizeof value) || value[0] == '\0';
            const bool noCd = !AnswerTag(context->posAnswer, "CD", value, sizeof value) || value[0] == '\0';
            if (LoadTagMessage(context->posAnswer, sizeof context->posAnswer, 0) == 1) {
                if (noSv) TAG_Set("SV", record->service);
                if (noCd) TAG_Set("CD", record->command);
            }
        }
    }
    SendEndOfTransactionRequests();
    if (context->posAnswer[0] != '\0' && record->posAnswerState != 2) WriteFinalAnswer(context, record);
    record->step = 0;
    context->loopState = 103;
    std::memset(record->resultCode, 0, sizeof record->resultCode);
    std::memset(record->cardIncident, 0, sizeof record->cardIncident);
    const bool keepRequest = static_cast<int8_t>(Options.ActivateFIRAI) < 0;
    if (!keepRequest) std::memset(context->posRequest, 0, sizeof context->posRequest);
    SaveRequestServiceCommand("", "");
    context->posEventFlag = g_processOptions.generateEvents;
    context->authorisationMode = -1;
    if (keepRequest) EFTOC_SetEchoMode(context);
    if (Options.WaitForPinpad == 0 && record->barcodeActive < 1 && context->papBox != nullptr)
        TWEP_CloseSerialPorts(context->papBox);
    if (Options.TimeBeforeIdleBehaviour > 0) WGetTimeStamp(&GetLoopStartupState().idleStamp);
    return 1;
}

int AddCardDataTags() {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return 1;
    CardReadRecord& card = r->cardReadRecord;
    if (card.presentCount == 0 || card.dataValid == 0 || (card.technology == CARD_TECH_CHIP && card.eventLength == 0))
        return 1;
    card.eventData[sizeof card.eventData - 1] = '\0';
    card.track1Data[sizeof card.track1Data - 1] = '\0';
    card.track3Data[sizeof card.track3Data - 1] = '\0';
    if (TAG_SetInt("TC1", card.technology) != 1 || TAG_SetInt("TC2", card.origin) != 1) return 1;
    if (card.technology != 5 && TAG_Set("TC3", card.eventData) != 1) return 1;
    if (card.technology == CARD_TECH_ISO2) {
        if (card.track1Data[0] != '\0' && TAG_Set("D6J", card.track1Data) != 1) return 1;
        if (card.track3Data[0] != '\0' && TAG_Set("D6K", card.track3Data) != 1) return 1;
    }
    return 0;
}

int AddSerialNumberTag() {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return 1;
    // Asked of the terminal when the record does not hold it (36 '0' when
    // the terminal gives none); the request always carries MF.
    if (!TerminalSerialNumberKnown()) GetTerminalSerialNumber();
    if (r->terminalSerialNumberLength <= 0) return 1;
    r->terminalSerialNumber[sizeof r->terminalSerialNumber - 1] = '\0';
    return TAG_Set("MF", r->terminalSerialNumber) == 1 ? 0 : 1;
}

// Answers to the cash register and the end of a transaction.
#include "transactions/pos_answer.h"

#include <cstdio>
#include <cstring>

#include "app/eft_context.h"
#include "app/options.h"
#include "app/pos_link.h"
#include "app/server_box.h"
#include "app/startup.h"
#include "app/text_field.h"
#include "app/wait_callback.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"

namespace {

char g_savedSv[10];
char g_savedCd[10];

}  // namespace

int LoadTagMessage(char* buffer, int capacity, int flag) {
    if (buffer == nullptr || capacity <= 0) return -1;
    const int bound = TAG_InitWrite(buffer, static_cast<uint32_t>(capacity), flag > 0 ? 1 : 0);
    if (bound != 1) return bound;
    TAG_SeekEnd(0);
    if (flag > 0) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%s_%s", kProgramVersion, kProgramBuildDate);
        TAG_Set("ZNP", stamp);
    }
    return bound;
}

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
    if (BuildPosAnswer(context->posAnswer, sizeof context->posAnswer, sv, cd) == 1 &&
        TAG_Set("RS", "33") == 1) {
        SendPosAnswer(context->posAnswer, sizeof context->posAnswer, context->posEventFlag,
                      context->posTimeout);
        record->posAnswerState = 2;
    } else {
        std::memset(context->posAnswer, 0, sizeof context->posAnswer);
    }
    SaveRequestServiceCommand("", "");
}

int AbortTransaction(const char*, int mode) {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return 0;
    const int savedTimeout = context->posTimeout;
    context->posTimeout = 1;
    int result = 0;
    if (mode == 1) result = SendPosResult(0);
    if (mode == 1 || mode == 2) {
        BuildAbortAnswer();
        context->loopState = 0;
        record->step = 0;
    }
    std::memset(context->posRequest, 0, sizeof context->posRequest);
    EPAP_ClearAll();
    ResetTransactionGlobals();
    context->posTimeout = savedTimeout;
    context->abortCode = 3;
    context->authorisationMode = -1;
    return result;
}

int AbortTransactionWithEchoPurge(int mode) {
    AbortTransaction(nullptr, mode);
    return 1;
}

int EFT_FINISHStandard() {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return 1;
    if (record->replyService[0] != '\0') {
        CopyText(record->service, sizeof record->service, record->replyService);
        CopyText(record->command, sizeof record->command, record->replyCommand);
    }
    if (record->resultCode[0] == '\0') std::memcpy(record->resultCode, "99", 3);
    // The automatic maintenance answers nobody: its answer state is 2.
    if (record->posAnswerState != 2 && context->posAnswer[0] == '\0') {
        if (BuildPosAnswer(context->posAnswer, sizeof context->posAnswer, record->service,
                           record->command) != 1 ||
            TAG_Set("RS", record->resultCode) != 1) {
            std::memset(context->posAnswer, 0, sizeof context->posAnswer);
        }
    }
    if (context->posAnswer[0] != '\0') {
        SendPosAnswer(context->posAnswer, sizeof context->posAnswer, context->posEventFlag,
                      context->posTimeout);
        record->posAnswerState = 2;
    }
    record->step = 0;
    context->loopState = 103;
    std::memset(record->resultCode, 0, sizeof record->resultCode);
    std::memset(context->posRequest, 0, sizeof context->posRequest);
    SaveRequestServiceCommand("", "");
    context->posEventFlag = g_processOptions.generateEvents;
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

int AddSerialNumberTag() { return 0; }

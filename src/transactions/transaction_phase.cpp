#include "transactions/transaction_phase.h"

#include <cstring>

#include "app/eft_context.h"
#include "core/trace_front.h"
#include "transactions/pos_answer.h"

int RunTransactionPhase() {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return -1;
    if (record->step == 0) {
        ResetTransactionGlobals();
        SaveRequestServiceCommand(record->service, record->command);
        context->abortInCallback = 0;
        SendPosResult(0);
        record->posAnswerState = 1;
    }
    TraceLog(TRACE_WARN, "[CARD]", "Transaction impossible: aucun lecteur configure (SV %s CD %s)",
             record->service, record->command);
    std::memcpy(record->resultCode, "32", 3);
    record->step = 0;
    context->loopState = 100;
    return 1;
}

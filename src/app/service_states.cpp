// States 10 and 50 without a terminal: the request ends with result "32".
#include "app/service_states.h"

#include <cstring>

#include "app/eft_context.h"
#include "core/trace_front.h"
#include "transactions/pos_answer.h"

namespace {

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

}  // namespace

int RunMaintenanceState() { return EndWithoutTerminal("[MAINTENANCE]"); }

int RunTerminalServiceState() { return EndWithoutTerminal("[PAD]"); }

int SetMaintenanceIndicator(int) { return 1; }

void WaitCallback(char*) {}

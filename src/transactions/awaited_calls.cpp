#include "transactions/awaited_calls.h"

#include <cstring>

#include "app/eft_context.h"
#include "periph/pv_status.h"

void ReportTerminalResult(int status) {
    TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr || status == 0 || record->resultCode[0] != '\0') return;
    std::memcpy(record->resultCode, (status == PV_PER_ACCES || status == PV_NET_FAILED) ? "32" : "99", 3);
}

int BuildServerRequest() { return 0; }
int BuildDirectModeRequest(int) { return 1; }
int BuildRtlRequest() { return -1; }
void UploadOfflineAfterExchange() {}

int IsCardRemovalDeactivated() { return 0; }
void PrintTicket() {}

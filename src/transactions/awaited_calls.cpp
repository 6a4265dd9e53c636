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

int RestartTerminal(const char*, int) {
    if (TransactionRecord* record = GetTransactionRecord()) record->readerEngaged = 0;
    return 0;
}

int SetRebootKindFromRequest() { return 0; }
int IsCardRemovalDeactivated() { return 0; }
void PrintTicket() {}

int ResetPad(int) {
    ClearCardRecords();
    if (EFTCBox* context = GetEftContext()) context->abortCode = 3;
    return 0;
}

int TermStartContactless() { return PV_PER_ACCES; }
int TermCancelContactless(int) { return PV_PER_ACCES; }

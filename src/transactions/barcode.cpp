#include "transactions/barcode.h"

#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"

int BarcodeStep() {
    TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr) return -1;
    if (record->barcodeActive == 1) {
        record->barcodeActive = 2;
    } else if (record->barcodeActive == 2) {
        record->barcodeActive = 1;
    } else {
        TraceLog(TRACE_ERROR, "[BARCODE]", "Etape inconnue ou incorrecte %d", record->barcodeActive);
    }
    return 0;
}

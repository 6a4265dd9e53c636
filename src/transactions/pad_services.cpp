#include "transactions/pad_services.h"

#include "core/trace_front.h"
#include "station/eft_context.h"
#include "station/text_field.h"
#include "transactions/pos_answer.h"

namespace {

int EndWithoutTerminal(const char* handler) {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return -1;
    if (record->posAnswerState == 0) {
        SendPosResult(0);
        record->posAnswerState = 1;
    }
    TraceLog(TRACE_WARN, "[PAD]", "%s: aucun lecteur configure (SV %s CD %s)", handler, record->service,
             record->command);
    CopyField(record->resultCode, "32");
    record->step = 0;
    context->loopState = 100;
    return 1;
}

}  // namespace

int PadServiceStart() { return EndWithoutTerminal("PadServiceStart"); }
int PadContinuousEntry() { return EndWithoutTerminal("PadContinuousEntry"); }
int PadServiceEnd() { return EndWithoutTerminal("PadServiceEnd"); }
int PadServiceAnswer() { return EndWithoutTerminal("PadServiceAnswer"); }
int S7_SaleInit() { return EndWithoutTerminal("S7_SaleInit"); }
int S7_ReadIsoTrack() { return EndWithoutTerminal("S7_ReadIsoTrack"); }
int S7_ReadIsoTrackAnswer() { return EndWithoutTerminal("S7_ReadIsoTrackAnswer"); }
int S7_SaleAnswer() { return EndWithoutTerminal("S7_SaleAnswer"); }
int PN40_SaleStep1() { return EndWithoutTerminal("PN40_SaleStep1"); }
int PN40_SaleStep3() { return EndWithoutTerminal("PN40_SaleStep3"); }

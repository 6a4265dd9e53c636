// The trace front end's view of the EFT context.
#include "station/trace_binding.h"

#include "core/trace_front.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"

namespace {

bool g_secretAwaited = false;

FILE** ExchangeLogSlot(int side) {
    EFTCBox* context = GetEftContext();
    if (context == nullptr) return nullptr;
    return side == 0 ? &context->posLogFile : &context->serverLogFile;
}

int CloseEachWrite() {
    const EFTCBox* context = GetEftContext();
    return context != nullptr ? context->exchangeLogCloseEach : 0;
}

// A card number keyed in by hand, or the answer of a secret zone entry that
// the cash register is about to send.
int ManualEntryActive() {
    if (PosSecretEntryAwaited()) return 1;
    const TransactionRecord* record = GetTransactionRecord();
    return record != nullptr ? record->manualEntryActive : 0;
}

const char* ReadOption(const char* key) {
    NoteOptionKeyRead(key);
    EFTCBox* context = GetEftContext();
    return context != nullptr ? KTS_GetItemText(context->box, key) : nullptr;
}

}  // namespace

bool PosSecretEntryAwaited() { return g_secretAwaited; }
void SetPosSecretEntryAwaited(bool awaited) { g_secretAwaited = awaited; }

void TOC_BindTraceFront() {
    TraceFrontBinding binding;
    binding.exchangeLogSlot = ExchangeLogSlot;
    binding.closeEachWrite = CloseEachWrite;
    binding.manualEntryActive = ManualEntryActive;
    binding.readOption = ReadOption;
    TraceFrontBind(binding);
}

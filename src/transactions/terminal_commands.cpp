#include "transactions/terminal_commands.h"

#include "app/options.h"
#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"

int RUDA_WaitFor103(int) { return Options.WaitForPinpad == 0 ? 0 : -1; }

int TermOpenInitCtl() { return PV_PER_ACCES; }

int TermShowHolderWait(const char*) { return PV_PER_ACCES; }

int TermGetInfo(int, int) { return -1; }

int TermPowerCardReader(int) { return PV_PER_ACCES; }

int TermCardStatus(CardReadRecord*) { return PV_PER_ACCES; }

int TermCardStatusOn(CardReadRecord*) { return PV_PER_ACCES; }

int TermCardStatusOff(CardReadRecord*) { return PV_PER_ACCES; }

char TermGetCardResult(int) { return 0; }

void CheckAciBypassCommand(const char* cd) {
    if (Options.ACI_ActivateCardReadingBypass != 1) return;
    if (cd == nullptr || *cd == '\0')
        TraceLog(TRACE_WARN, "[ACIBYPASS]", "Commande envoyee par la caisse non connu");
}

void ResetPeripheralComLog(int function) {
    constexpr int kRudaProtocol = 16;
    const KT_PERES* record = TWEP_FindFunction(EPAP_GetBox(), function, 1);
    if (record == nullptr || record->protocol == kRudaProtocol) return;
    if (WCOM_GetResourceByNum(record->port) != nullptr) WComTraceClose();
}

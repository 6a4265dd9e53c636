#include "transactions/manual_entry.h"

#include "core/trace_front.h"

int EnterCardManually() {
    TraceLog(TRACE_WARN, "[MENU]", "Saisie manuelle de carte impossible: aucun lecteur configure");
    return 1;
}

int EnterChequeManually() {
    TraceLog(TRACE_WARN, "[MENU]", "Saisie manuelle de cheque impossible: aucun lecteur configure");
    return 1;
}

void EjectCheque() {}

int HTML_DisplayMessage(const char*, const char*, const char*) { return -1; }
int HTML_ShowMessagePage(const char*, const char*, const char*) { return 1; }

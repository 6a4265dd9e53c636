// Network resources: no "net" file is read yet, so no resource is loaded and
// closing a connection only resets the state.
#include "app/net_resources.h"

#include "app/eft_context.h"

int TOC_OpenNetResources(EFTCBox* context) {
    if (context == nullptr) return -1;
    context->connectionState = 0;
    return 0;
}

int TOC_IsNetResourceLoaded(EFTCBox* context, int index) {
    if (context == nullptr || index < 0 || index >= kNetResourceCount) return 0;
    return context->netResources[index].servers[kServerPrincipal].host[0] != '\0' ? 1 : 0;
}

int TOC_LoadNetResource(EFTCBox* context, int index) {
    if (context == nullptr || index < 0 || index >= kNetResourceCount) return -1;
    return 1;
}

int TOC_CloseServer(EFTCBox* context) {
    if (context == nullptr) return -1;
    context->serverBox = nullptr;
    context->connectionState = 0;
    return 1;
}

void TOC_EnableAllServers() {
    TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr) return;
    for (int& flag : record->serverEnabled) flag = 1;
}

void TOC_EnableServer(int index) {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && index >= 0 && index < kServerCount) record->serverEnabled[index] = 1;
}

void TOC_DisableServer(int index) {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && index >= 0 && index < kServerCount) record->serverEnabled[index] = 0;
}

void TOC_ClearServerFlags() {
    TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr) return;
    for (int& flag : record->serverEnabled) flag = 0;
}

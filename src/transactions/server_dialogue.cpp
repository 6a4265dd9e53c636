#include "transactions/server_dialogue.h"

#include "app/eft_context.h"

const char* GetCurrentServerSni(const EFTCBox* context, const TransactionRecord* record) {
    if (context == nullptr || record == nullptr) return "";
    const int resource = context->netResourceIndex;
    const int server = record->currentServer;
    if (resource < 0 || resource >= kNetResourceCount || server < 0 || server >= kServerCount)
        return "";
    return context->netResources[resource].servers[server].sni;
}

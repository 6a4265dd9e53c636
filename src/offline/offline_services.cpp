#include "offline/offline_services.h"

#include "station/eft_context.h"

int runFunctionalTests() {
    EFTCBox* context = GetEftContext();
    if (context != nullptr) context->loopState = 0;
    return 0;
}

int TOF_TrsFileGetState(EFTCBox*, int* stored, int* sent, int* refused) {
    if (stored != nullptr) *stored = 0;
    if (sent != nullptr) *sent = 0;
    if (refused != nullptr) *refused = 0;
    return 0;
}

int Offline_UploadTransactions(int) { return 0; }

// Peripheral context, least behaviour.
#include "app/periph_context.h"

#include <cstring>

#include "app/eft_context.h"

int TOC_MakePeripheralContext(EFTCBox* context) { return context ? 0 : -1; }

int TOC_LoadComResources(EFTCBox* context, int) { return context ? 0 : -1; }

int TOC_getResourceIndexToUse(EFTCBox* context, const char* key, int) {
    if (context == nullptr || key == nullptr || *key == '\0') return -1;
    for (int i = 0; i < kNetResourceCount; ++i) {
        const NetResource& r = context->netResources[i];
        if (r.label[0] != '\0' && std::strstr(r.label, key) != nullptr) return i;
    }
    return -1;
}

const char* TOC_GetZoneOfFunction(EFTCBox*, const char*) { return nullptr; }

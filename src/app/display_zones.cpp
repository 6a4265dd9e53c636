// Display zones, least behaviour: no console, traces to standard error.
#include "app/display_zones.h"

#include "app/eft_context.h"
#include "core/trace.h"

int TOC_OpenTextZones(EFTCBox* context, const char*) {
    if (context == nullptr) return -1;
    EFTOC_SetCurrentZone(context, "CA");
    EFTOC_SetTraceZone("CA");
    return 1;
}

int TOC_ZoneTraceWriter(const char* text) {
    WSysDumpMessage(text);
    return 1;
}

// Peripheral context: terminal resources and interface windows made from the
// "com", "dsp", "prn" and "med" files. Not built yet: no peripheral is
// configured.
#pragma once

struct EFTCBox;

// 0 when done (nothing configured), negative on failure.
int TOC_MakePeripheralContext(EFTCBox* context);
// Loads the communication section again; 0 when done.
int TOC_LoadComResources(EFTCBox* context, int reload);
// Index of the network resource whose label contains the key; -1 when none.
int TOC_getResourceIndexToUse(EFTCBox* context, const char* key, int type);
// Zone of a peripheral function ("FIL_PRN" ...), or null.
const char* TOC_GetZoneOfFunction(EFTCBox* context, const char* function);

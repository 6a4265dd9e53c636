// Communication-layer services that the session opening and the dispatcher
// call. Not built yet: no communication resource exists, TLS is not started
// and the shared connection table is not made.
#pragma once
#include <cstdint>

// Selects the TLS transport (0: in-process).
void WSSLSetInterface(int flag);
// Communication trace: size limit in KB (0 keeps it) and close.
void WComTraceSetMaxSize(int sizeKb);
void WComTraceClose();
// Shared connection table of the resource id with that many slots.
void WShared_Initialize(int tableId, int slots);
// Communication resource by number (null: none) and its reopening. Only
// the resource type is read outside the communication layer.
constexpr int WCOM_RESOURCE_TYPE_CONNECTED = 6;  // client link over a connected network context
struct WComResource {
    int32_t type;
};
WComResource* WCOM_GetResourceByNum(int number);
// Connection type of a resource: 1; -2 no table; -3 number out of range.
int WCOM_SetResourceConnType(int number, int connectionType);
int WComOpen2(int number);

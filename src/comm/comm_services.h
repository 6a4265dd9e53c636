// Communication-layer services that the session opening and the dispatcher
// call. Not built yet: no communication resource exists, TLS is not started
// and the shared connection table is not made.
#pragma once

// Selects the TLS transport (0: in-process).
void WSSLSetInterface(int flag);
// Communication trace: size limit in KB (0 keeps it) and close.
void WComTraceSetMaxSize(int sizeKb);
void WComTraceClose();
// Shared connection table of the resource id with that many slots.
void WShared_Initialize(int tableId, int slots);
// Communication resource by number (null: none) and its reopening.
struct WComResource;
WComResource* WCOM_GetResourceByNum(int number);
// Connection type of a resource: 1; -2 no table; -3 number out of range.
int WCOM_SetResourceConnType(int number, int connectionType);
// Physical type of a resource (1 serial, 2 USB, 3 static IP, 4 dynamic IP,
// 6 connected); -2 no table.
int WCOM_GetResourceType(int number);
int WComOpen2(int number);

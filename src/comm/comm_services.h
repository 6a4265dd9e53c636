// Communication-layer services that the session opening and the dispatcher
// call. Not built yet: no communication resource exists.
#pragma once

// Selects the TLS transport (0: in-process); see comm/tls_transport.h.
void WSSLSetInterface(int flag);
// Shared connection table of the resource id with that many slots (0:
// attach); see comm/shared_connections.h.
void WShared_Initialize(int tableId, int slots);
// Communication trace: size limit in KB (0 keeps it) and close.
void WComTraceSetMaxSize(int sizeKb);
void WComTraceClose();
// Communication resource by number (null: none) and its reopening.
struct WComResource;
WComResource* WCOM_GetResourceByNum(int number);
// Connection type of a resource: 1; -2 no table; -3 number out of range.
int WCOM_SetResourceConnType(int number, int connectionType);
int WComOpen2(int number);

// Communication-layer services that the session opening and the dispatcher
// call: the communication resources and their trace (com_resources.h,
// com_channel.h), the TLS transport and the shared connection table.
#pragma once
#include "comm/com_channel.h"
#include "comm/com_resources.h"

// Selects the TLS transport (0: in-process); see comm/tls_transport.h.
void WSSLSetInterface(int flag);
// Shared connection table of the resource id with that many slots (0:
// attach); see comm/shared_connections.h.
void WShared_Initialize(int tableId, int slots);

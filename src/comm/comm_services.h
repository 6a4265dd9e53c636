// Communication-layer services that the session opening and the dispatcher
// call. TLS is not started and the shared connection table is not made yet;
// the communication resources and their trace are in com_resources.h and
// com_channel.h.
#pragma once
#include "comm/com_channel.h"
#include "comm/com_resources.h"

// Selects the TLS transport (0: in-process).
void WSSLSetInterface(int flag);
// Shared connection table of the resource id with that many slots.
void WShared_Initialize(int tableId, int slots);

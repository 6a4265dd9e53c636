// Least behaviour of the shared connection table's link operations: no entry.
#include "comm/shared_connections.h"

int WSharedWrite(int32_t, const void*, uint32_t) { return -2; }
int WSharedRead(int32_t, void*, uint32_t) { return -2; }
int WSharedPeek(int32_t, void*, uint32_t) { return -2; }
int WSharedDisConnect(int32_t) { return -2; }
int WSharedHardDisConnect(int32_t) { return -2; }

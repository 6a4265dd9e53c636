// Least behaviour of the communication layer: TLS and the shared connection
// table are not built yet.
#include "comm/comm_services.h"

void WSSLSetInterface(int) {}
void WShared_Initialize(int, int) {}

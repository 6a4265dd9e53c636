// Least behaviour of the communication layer: nothing is configured.
#include "comm/comm_services.h"

void WComTraceSetMaxSize(int) {}
void WComTraceClose() {}
WComResource* WCOM_GetResourceByNum(int) { return nullptr; }
int WCOM_SetResourceConnType(int, int) { return -2; }
int WComOpen2(int) { return -1; }

// Least behaviour of the communication layer: nothing is configured.
#include "comm/comm_services.h"

void WSSLSetInterface(int) {}
void WComTraceSetMaxSize(int) {}
void WComTraceClose() {}
void WShared_Initialize(int, int) {}
WComResource* WCOM_GetResourceByNum(int) { return nullptr; }
int WCOM_SetResourceConnType(int, int) { return -2; }
int WCOM_GetResourceType(int) { return -2; }
int WComOpen2(int) { return -1; }

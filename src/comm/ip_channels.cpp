// IP channels, least behaviour: no network link can carry a resource yet.
#include "comm/ip_channels.h"

int WComIpClient::Open(int* handle, KTDK_FILE*) {
    if (handle != nullptr) *handle = -1;
    return -2;
}
int WComIpClient::Close(int) { return -1; }
int WComIpClient::Read(int, void*, int) { return -1; }
int WComIpClient::Write(int, const void*, int) { return -1; }
int WComIpClient::ReadIOCtl(int, int, void*, int) { return -1; }
int WComIpClient::WriteIOCtl(int, int, void*, int) { return -1; }
int WComIpClient::Connect(int*) { return 0; }

int WComIpServer::Open(int* handle, KTDK_FILE* config) { return WComIpClient::Open(handle, config); }
int WComIpServer::Close(int) { return -1; }
int WComIpServer::Connect(int*) { return -1; }

int WComClientReuseWNetContext::Open(int* handle, KTDK_FILE* config) { return WComIpClient::Open(handle, config); }

int WComIpTakeHangUp() { return 0; }

// IP channels: a communication resource carried over a network link of the
// network dispatch instead of a serial line (client, listening server, and a
// client that reuses a connected network context).
//
// NOT BUILT YET. The classes exist so that the resource layer selects them
// by type; until they are built every open fails (-2) and every other
// operation reports a failure.
#pragma once
#include "comm/com_channel.h"

class WComIpClient : public WComInterface {
public:
    int Open(int* handle, KTDK_FILE* config) override;
    int Close(int handle) override;
    int Read(int handle, void* buffer, int size) override;
    int Write(int handle, const void* bytes, int length) override;
    int ReadIOCtl(int handle, int code, void* block, int size) override;
    int WriteIOCtl(int handle, int code, void* block, int size) override;
    int Connect(int* handle) override;
};

class WComIpServer : public WComIpClient {
public:
    int Open(int* handle, KTDK_FILE* config) override;
    int Close(int handle) override;
    int Connect(int* handle) override;
};

class WComClientReuseWNetContext : public WComIpClient {
public:
    int Open(int* handle, KTDK_FILE* config) override;
};

// The hang-up flag of the IP channels (raised by a DTR write of 0): returns
// it and clears it.
int WComIpTakeHangUp();

// IP channels: a communication resource carried over a network link of the
// network dispatch instead of a serial line. `WComIpClient` (resource type
// 3) connects to a host, `WComIpServer` (type 4) opens a listening service
// and accepts a client through `Connect`, `WComClientReuseWNetContext` (type
// 6) connects to a host and keeps its network context number across
// reopenings.
//
// The three share their reads, writes and control codes, which give a
// network link what the layers above expect of a serial line: 0xFF doubling
// and CR filtering for a PAD-style peer (per resource), parity emulation of
// 7-bit data from the resource's line parameters, and the control codes 0 to
// 4 emulated (one set of values for the process). Every operation acts on
// the current resource and first selects the resource's network context.
//
// Configuration keys: "Host1", "Host2" (default: Host1), "Service1",
// "Service2" (default: Service1), at most 39 characters each; "ReseauType"
// (2 TCP by default, 4 TLS with "ClientCert", "HostCert", "SSLType",
// "CheckCert", "VersionSSL", "SSLArguments"); "PadDoubleFF"; "PadFiltreCR"
// (bit 1: CR NUL sent as CR NUL NUL; bit 2: LF and NUL after CR 0xFF sent
// twice; bit 4: CR LF sent as CR LF LF; any bit: CR NUL read as CR).
#pragma once
#include "comm/com_channel.h"

// Longest host or service text of an IP resource.
constexpr int WCOM_IP_TEXT_MAX = 39;

class WComIpClient : public WComInterface {
public:
    int Open(int* handle, KTDK_FILE* config) override;
    int Close(int handle) override;
    int Read(int handle, void* buffer, int size) override;
    int Write(int handle, const void* bytes, int length) override;
    int ReadIOCtl(int handle, int code, void* block, int size) override;
    int WriteIOCtl(int handle, int code, void* block, int size) override;
    int Connect(int* handle) override;
    int WaitInput(int handle, int timeoutMs) override;
};

// Handle 0 is the listening service without an accepted client: nothing is
// read, written or peeked on it.
class WComIpServer : public WComIpClient {
public:
    int Open(int* handle, KTDK_FILE* config) override;
    int Close(int handle) override;
    int Read(int handle, void* buffer, int size) override;
    int Write(int handle, const void* bytes, int length) override;
    int ReadIOCtl(int handle, int code, void* block, int size) override;
    // Accepts a waiting client into the handle: the WNetConnect result; the
    // handle is 0 when nobody was accepted.
    int Connect(int* handle) override;
    int WaitInput(int handle, int timeoutMs) override;
};

class WComClientReuseWNetContext : public WComIpClient {
public:
    int Open(int* handle, KTDK_FILE* config) override;
};

// The hang-up flag of the IP channels (raised by a DTR write of 0): returns
// it and clears it.
int WComIpTakeHangUp();

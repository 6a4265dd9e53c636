// Network dispatch: the one entry point through which the program opens,
// accepts, reads, writes and closes network links, whatever the transport.
//
// A static table of seven network contexts; one is current, and every link
// operation acts on the current context and forwards to the transport of its
// network type: in-memory services (1), TCP (2), file mailboxes (3), TLS (4)
// or the shared connection table (5). Main thread only: the table and the
// current-context pointer have no lock, and a selection must not be
// interleaved with another one before the call that follows it.
#pragma once
#include <cstdint>
#include <map>
#include <string>

constexpr int WNET_CONTEXT_COUNT = 7;

// Network types.
constexpr int32_t WNET_TYPE_FREE = -1;
constexpr int32_t WNET_TYPE_NONE = 0;
constexpr int32_t WNET_TYPE_SHNET = 1;
constexpr int32_t WNET_TYPE_TCP = 2;
constexpr int32_t WNET_TYPE_WBAL = 3;
constexpr int32_t WNET_TYPE_TLS = 4;
constexpr int32_t WNET_TYPE_SHARED = 5;

constexpr size_t WNET_TEXT_SIZE = 80;       // services and hosts: 79 characters
constexpr size_t WNET_CERT_SIZE = 257;      // certificate file names: 256
constexpr size_t WNET_SSLARGS_SIZE = 81;    // SSL arguments: 80

struct WNetContext {
    int32_t type;
    int32_t listenHandle;
    char service1[WNET_TEXT_SIZE];
    char service2[WNET_TEXT_SIZE];
    char host1[WNET_TEXT_SIZE];
    char host2[WNET_TEXT_SIZE];
    int32_t sslType;
    char hostCert[WNET_CERT_SIZE];
    char clientCert[WNET_CERT_SIZE];
    int32_t checkCert;
    int32_t versionSSL;
    int8_t reuseAddress;
    char sslArguments[WNET_SSLARGS_SIZE];
    std::map<std::string, std::string> sslArgumentMap;
};

// Context management.
// Makes each context current in turn from 0; the number of the first free one
// (its reuse flag set to 1), left current; -1 when all seven are in use (the
// last one is then current).
int WNetGetFreeContext();
// Makes context n current: n, or -1 when n > 6 or the context is free (it is
// current all the same). Selecting the current context changes nothing.
int WNetSelectContext(int n);
// n when context n is the current one, else -1.
int WNetIsCurrentContext(int n);
// Frees context n and puts it back as at start-up: 0; -1 when n > 6.
int WNetFreeContext(int n);
// Context n, or null when n > 6.
WNetContext* WNetGetContext(int n);
// The current context, or null before the first selection.
WNetContext* WNetGetCurrentContext();
// Network type of the current context: 0 done (an unknown type stores 0 and
// is reported); -1 when the socket layer could not be started.
int WNetSetTypReseau(int type);

// Setters of the current context. Services and hosts are cut to 79
// characters and return 0; the others return 1 (0 for a null text or no
// current context). Certificate names longer than 256 characters are refused
// (0, field unchanged).
int WNetSetServices(const char* first, const char* second);
int WNetSetHosts(const char* first, const char* second);
int WNetSetClientCert(const char* name);
int WNetSetHostCert(const char* name);
int WNetSetSSLType(int32_t value);
int WNetSetCheckCert(int32_t value);
int WNetSetVersionSSL(int32_t value);
// Setters of a given context (null is ignored).
void WNetSetReuseAddress(WNetContext* context, int8_t value);
void WNetSetSSLArguments(WNetContext* context, const char* text);
void WNetSetSSLArgument(WNetContext* context, const char* name, const char* value);

// Link operations on the current context. which = 1 takes service1 (host1),
// any other value service2 (host2).
int WNetOpenServer(int whichService, int backlog);
int WNetConnect(int32_t* handle, int32_t* station);
int WNetClose(int unused);
int WNetOpenClient(int32_t* handle, int whichService, int whichHost);
int WNetWrite(int32_t handle, const void* data, uint32_t length);
int WNetRead(int32_t handle, void* buffer, uint32_t capacity);
int WNetPeek(int32_t handle, void* buffer, uint32_t capacity);
int WNetDisConnect(int32_t handle);
int WHardNetDisConnect(int32_t handle);
// Waits at most timeoutMs for input on a connection of the current context
// (TCP, or a direct TLS entry such as a terminal in server mode):
// 1 input waits (or the peer ended the link), 0 none came; -1 on failure or
// for a transport that cannot be waited on (the caller then sleeps).
int WNetWaitInput(int32_t handle, int timeoutMs);

// Network resources (sets of payment servers) and the server connection.
//
// Not read from the "net" file yet: no resource is configured, no server is
// ever connected.
#pragma once
#include <cstdint>

struct EFTCBox;

// One server of a resource.
struct ServerBlock {
    char service[81];
    char host[83];
    uint32_t timeOut;
    uint32_t echoTimeOut;
    int32_t networkType;
    char sslOptions[81];
    char sni[83];
};

constexpr int kServerPrincipal = 0;
constexpr int kServerSecours = 1;
constexpr int kServerTertiaire = 2;
constexpr int kServerDegrade = 3;
constexpr int kServerCount = 4;
constexpr int kNetResourceCount = 999;

// One named set of four servers.
struct NetResource {
    ServerBlock servers[kServerCount];
    char label[20];
    char hostCert[256];
    char clientCert[256];
    int32_t checkCert;
    int32_t versionSSL;
};

// Loads the resources of "net" and resets the connection state. 0 when done.
int TOC_OpenNetResources(EFTCBox* context);
// 1 when the resource has a principal host (it was loaded).
int TOC_IsNetResourceLoaded(EFTCBox* context, int index);
// Loads one resource; 0 when done, 1 when it is not configured.
int TOC_LoadNetResource(EFTCBox* context, int index);
// Closes the server connection (state 0).
int TOC_CloseServer(EFTCBox* context);
// Availability flags of the four servers in the transaction record.
void TOC_EnableAllServers();
void TOC_EnableServer(int index);
void TOC_DisableServer(int index);
void TOC_ClearServerFlags();

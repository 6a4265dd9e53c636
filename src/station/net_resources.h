// Network resources (named sets of payment servers read from "net" of
// "WCFG"), the availability flags of the four servers, and the server
// connection: greeting, echo, fall-back principal -> backup -> tertiary, the
// degraded server, and the close with its closing message.
#pragma once
#include <cstdint>

struct EFTCBox;
struct TransactionRecord;

// One server of a resource.
struct ServerBlock {
    char service[81];
    char host[83];
    uint32_t timeOut;      // connect time-out in ms; 0 keeps the transport's
    uint32_t echoTimeOut;  // ms to wait for the echo; 0 = no echo asked
    int32_t networkType;
    char sslOptions[81];
    char sni[83];
    // 1 once the cash register replaced the host or the service (HO1-HO3,
    // SV1-SV3 of a request).
    uint8_t redirected;
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

// Names of the four servers in traces: "PRINCIPAL", "SECOURS", "TERTIAIRE",
// "DEGRADE".
const char* TOC_ServerName(int index);

// Opens "net" of "WCFG" through the box's text manager and loads the
// resource of option NetResourceIndexToUse; connection state 0. -1 no
// context; -3 no "WCFG" directory; the text manager's negative result;
// else the result of TOC_LoadNetResources.
int TOC_OpenNetResources(EFTCBox* context);
// 1 when the resource of NetResourceIndexToUse was loaded, 0 when not; -1 no
// context.
int TOC_LoadNetResources(EFTCBox* context);
// Reads resource n from "net": 0 loaded, 1 SV1 missing or too long, -3 "net"
// cannot be opened, -1 no context or n out of range.
int TOC_LoadNetResource(EFTCBox* context, int index);
// 1 when resource n has a principal host, else 0.
int TOC_IsNetResourceLoaded(EFTCBox* context, int index);

// The cash register's redirection of a server (0 to 2) of a resource: the
// host and the service, each when given and not empty (at most 80
// characters). The server is marked redirected. 1 done, -1 bad index or an
// over-long value (nothing changed).
int TOC_RedirectServer(EFTCBox* context, int resource, int server, const char* host,
                       const char* service);

// SNI text of the current server of the current network resource; the empty
// text for a null pointer or an index out of range.
const char* GetCurrentServerSni(const EFTCBox* context, const TransactionRecord* record);

// Availability flags of the four servers in the transaction record.
int TOC_EnableAllServers();       // 1
int TOC_ClearServerFlags();       // 0
int TOC_EnableServer(int index);  // the index
int TOC_DisableServer(int index);  // the index
bool TOC_NoServerEnabled();
bool TOC_IsOnlyServerEnabled(int index);

// Connects one server (name "PRINCIPAL" ...): greeting, echo when asked.
// 1 connected, 0 failed, -1 no context.
int TOC_ConnectServer(EFTCBox* context, NetResource* resource, ServerBlock* server, const char* name);
// Principal, backup, tertiary of the current resource among the enabled
// ones: 1 connected, -2 abandoned by the user ('S'), -1 all failed.
int TOC_ConnectServers(EFTCBox* context);
// The degraded server alone: 1 connected, -1 failed or not enabled.
int TOC_ConnectDegradedServer(EFTCBox* context);
// Closes the server connection (its closing message first for a "TALVO"
// resource), unless ConnectedMode is 1. 1, -1 no context.
int TOC_CloseServer(EFTCBox* context);

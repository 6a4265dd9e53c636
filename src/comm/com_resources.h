// Communication resources: the process's table of physical links (serial
// ports, IP client and server links, links that reuse a connected network
// context), each with its configuration, connection script and trace file
// names, its line and transmit settings, and a named mutex that excludes
// another process from it. The resource-level entry points select the
// channel of the resource's type and record every exchange in the
// resource's communication trace. Main thread only.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

struct KTDK_FILE;

// Resource types.
constexpr int WCOM_TYPE_SERIAL = 1;
constexpr int WCOM_TYPE_USB = 2;
constexpr int WCOM_TYPE_IP_CLIENT = 3;
constexpr int WCOM_TYPE_IP_SERVER = 4;
constexpr int WCOM_TYPE_CONNECTED = 6;
constexpr int WCOM_TYPE_GROUPS = 5;  // groups 1, 2, 3, 4, 6 in this order

// Connection type = media + adapter.
constexpr int WCOM_MEDIA_DIRECT = 0;
constexpr int WCOM_MEDIA_ANALOGIC = 10;
constexpr int WCOM_MEDIA_B_CHANEL = 20;
constexpr int WCOM_MEDIA_D_CHANEL = 30;
constexpr int WCOM_ADAPTER_PHONE = 1;
constexpr int WCOM_ADAPTER_EBA = 2;
constexpr int WCOM_ADAPTER_EMA = 3;
constexpr int WCOM_ADAPTER_NONE = 4;

// Trace modes.
constexpr uint8_t WCOM_TRACE_WANALY = 0;
constexpr uint8_t WCOM_TRACE_NONE = 1;
constexpr uint8_t WCOM_TRACE_SQLITE = 2;

constexpr int WCOM_TEXT_SIZE = 80;       // 79 characters and a terminator
constexpr int WCOM_NAME_MAX_GIVEN = 74;  // longest name WCOM_CreateResource takes
constexpr int WCOM_ID_SIZE = 10;
constexpr int WCOM_MUTEX_BASE_SIZE = 20;
// Longest wait for the mutex of a resource that another process holds.
constexpr int WCOM_LOCK_WAIT_MS = 10000;

struct ComResource {
    int32_t type;
    char configFile[WCOM_TEXT_SIZE];
    int32_t connectionType;  // -1: entry not taken
    char scriptFile[WCOM_TEXT_SIZE];
    FILE* traceStream;
    char traceFile[WCOM_TEXT_SIZE];
    int32_t handle;    // channel handle, -1 when closed
    int32_t ownerPid;  // process that opened the link, -1 when none
    int32_t netContext;
    int32_t lockState;  // -1 unlocked, 1 claimed by a search, 2 locked
    char ids[4][WCOM_ID_SIZE];
    int32_t reseauType;
    int32_t padDoubleFF;
    int32_t padFiltreCR;
    int32_t vpslSpeed;
    int32_t vpslParity;
    int32_t vpslStop;
    int32_t vpslLength;
    uint8_t directMode;
    uint8_t traceMode;
    int32_t txSize;
    int32_t padClearDetection;
    int32_t carrierCheck;
    int32_t txDelay;
    int32_t ownerKey;
    // Input filters of an IP channel, carried from one read to the next: a
    // 0xFF (or a CR) was delivered whose doubled 0xFF (or following NUL) has
    // not been read yet.
    uint8_t padFFOwed;
    uint8_t padCROwed;
};

struct ComTypeGroup {
    int32_t number;
    int32_t first;  // -1 when number is 0
};

// Header of the table; the entries follow it in the same block.
struct ComCtx {
    int32_t count;
    ComTypeGroup groups[WCOM_TYPE_GROUPS];
    int32_t creatorPid;
    char mutexBase[WCOM_MUTEX_BASE_SIZE];
    char signature[20];
};

// The table (null before WCOM_CreateContext) and its entries.
ComCtx* WCOM_GetContext();
ComResource* WCOM_Entries(ComCtx* context);
// The current resource (null when none) and its number (-1).
ComResource* WCOM_CurrentResource();
int WCOM_CurrentResourceNumber();

// Table and entries.
int WCOM_CreateContext(int contextId, int serial, int usb, int ipClient, int ipServer, int connected);
int WCOM_CreateResource(int type, const char* traceName, const char* configName, const char* scriptName);
int WCOM_FindResource(int resume, int wildcard, int type, int connectionType, int lockState, const char* id1,
                      const char* id2, const char* id3, const char* id4, int random, int ownerKey);
ComResource* WCOM_GetResourceByNum(int number);
// Takes the mutex of the resource, waiting at most WCOM_LOCK_WAIT_MS: its
// handle number (above 0); -1 the wait failed or timed out; -2 no table or
// the mutex could not be opened; -3 number out of range.
int WCOM_LockResource(int number);
int WCOM_UnlockResource(int number);
int WCOM_FreeResource(int number);
// Kind 1 configuration, 2 script, 3 trace. A name over 79 characters is
// refused (-1, traced, the field unchanged).
int WCOM_SetResourceFile(int number, int kind, const char* name);
int WCOM_SetResourceConnType(int number, int connectionType);
int WCOM_SetResourceTraceMode(int number, int traceMode);
int WCOM_GetResourceMedia(int number);
int WCOM_GetResourceAdapter(int number);
int WCOM_IsSerialResource(int number);
int WCOM_GetPadDoubleFF(int number);
int WCOM_SetPadDoubleFF(int number, int value);
KTDK_FILE* WCOM_GetPhysicalConfig(int number);
KTDK_FILE* WCOM_GetConnectionConfig(int number);
int WCOM_ReloadResourceConfig(int number);
int WCOM_UpdatePhysicalConfig(int number, const std::vector<std::pair<std::string, std::string>>& pairs);
// Suffix of the connection-script variant: two characters of the program
// path ("00" for a short path).
std::string WCOM_ScriptVariantSuffix();

// Resource entry points.
int WComOpen2(int number);
int WComClose2(int number);
int WComRead2(int number, void* buffer, int size);
int WComWrite2(int number, const void* bytes, int length);
int WComReadIOCtl2(int number, int code, void* block, int size);
int WComWriteIOCtl2(int number, int code, void* block, int size);
// Waits up to timeoutMs for input on the link: 1 input waits, 0 none came,
// -1 failure or switch error.
int WComWaitInput2(int number, int timeoutMs);

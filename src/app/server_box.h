// Server box API: the main server instance of the process, the per-application
// box (text manager, console and its windows) and the client connection box.
//
// Least behaviour for now: the instance starts without listening services and
// the per-application box has no text manager and no console, so every text
// and window operation reports "not found".
#pragma once
#include <cstdint>

struct KT_TEXT_WINDOW;
struct KTX_WSERV;

// The per-application box.
struct CSIBox {
    int32_t instanceId;
    int32_t index;
    char name[20];
    KTX_WSERV* transport;
    void* textManager;
    void* document;
    void* script;
    void* console;
    void* fileMessage;
    int32_t debugLevel;
};

// The client connection box of the current payment server.
struct ANIBox {
    int32_t appId;
    int32_t cloneId;
    int32_t kind;
    int32_t networkType;
    KTX_WSERV* box;
};

// The process's main server instance.
struct KT_MAIN_SERVER_INSTANCE {
    int32_t resourceId;
    int32_t maxClones;
    int32_t typeMask;
    int32_t cloneCount;
    CSIBox** clones;
    int32_t initialized;

    // 1 when done.
    int initialize(int resourceId, int maxClones);
    int start();
    // Releases one per-application box made by KTS_GetClone.
    int freeClone(CSIBox* box);
};

KT_MAIN_SERVER_INSTANCE& KTS_MainInstance();
// Sets up the services of the main instance from the client network type;
// 1 when done.
int KTS_GetMain(int clientNetType, const char* instanceName);
// A new per-application box, or null.
CSIBox* KTS_GetClone(const char* instanceName, int resourceId);
int KTS_SetDebug(CSIBox* box, int level);
int KTS_ResetTransport(CSIBox* box);
int KTS_SetDirectory(CSIBox* box, const char* path);
int KTS_SetCountry(CSIBox* box, int country);
int KTS_SetFile(CSIBox* box, const char* name);
const char* KTS_GetItemText(CSIBox* box, const char* key);
int KTS_ReSetItemText(CSIBox* box, const char* key, const char* value);
int KTS_ReSetFileText(CSIBox* box);
const char* KTS_GetSystemText(CSIBox* box, const char* key);
KT_TEXT_WINDOW* KTS_GetWindow(CSIBox* box, const char* name);
int KTS_RestartWindowSpool(CSIBox* box, const char* name);

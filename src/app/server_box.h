// Server box API: the main server instance of the process, the per-application
// box (text manager, console and its windows) and the client connection box.
//
// The instance starts without listening services (the network services are
// not built yet). The per-application box gets its text manager and its
// console from KTS_NewTextManager and KTS_NewConsole; the box operations
// below forward to them.
#pragma once
#include <cstdint>

struct KT_TEXT_WINDOW;
struct KTX_WSERV;
struct TEXT_MANAGER;
struct ConsoBox;

// The per-application box.
struct CSIBox {
    int32_t instanceId;
    int32_t index;
    char name[20];
    KTX_WSERV* transport;
    TEXT_MANAGER* textManager;
    void* document;
    void* script;
    ConsoBox* console;
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
// Replaces the box's text manager by a new one: 1, -2 not made, -1 no box.
int KTS_NewTextManager(CSIBox* box);
// Replaces the box's console by a new one bound to the text manager: 1,
// -2 not made, -3 no text manager, -1 no box.
int KTS_NewConsole(CSIBox* box, const char* consoleName);
// Frees the text manager, the console and the box itself; 1.
int KTS_FreeBox(CSIBox* box);

// Text operations, forwarded to the box's text manager (-1 or null without
// box or text manager).
int KTS_SetDirectory(CSIBox* box, const char* path);
int KTS_SetCountry(CSIBox* box, int country);
int KTS_SetFile(CSIBox* box, const char* name);
const char* KTS_GetItemText(CSIBox* box, const char* key);
int KTS_ReSetItemText(CSIBox* box, const char* key, const char* value);
int KTS_ReSetFileText(CSIBox* box);
const char* KTS_GetSystemText(CSIBox* box, const char* key);

// Window operations, forwarded to the box's console (-1 or null without box,
// console or window).
int KTS_AddWindow(CSIBox* box, const char* name, int rows, int columns);
// With a null name, the console's current window.
KT_TEXT_WINDOW* KTS_GetWindow(CSIBox* box, const char* name);
int KTS_SetWindowColors(CSIBox* box, const char* name, int frame1, int frame2, int text1,
                        int text2);
int KTS_SetWindowPosition(CSIBox* box, const char* name, int row, int column);
int KTS_SetWindowSpoolMode(CSIBox* box, const char* name, int mode);
int KTS_RestartWindowSpool(CSIBox* box, const char* name);
int KTS_SetWindowLineMode(CSIBox* box, const char* name, int mode);
int KTS_SetWindowTrim(CSIBox* box, const char* name, int flag);
int KTS_SetWindowTexts(CSIBox* box, const char* name, const char* text1, const char* text2,
                       const char* text3);
int KTS_SetWindowGraphic(CSIBox* box, const char* name, char value);
// The given video buffer, or a new private block of 8192 bytes named
// "B_VIDEO" with the console's two numbers. 1, or -1.
int KTS_SetVideo(CSIBox* box, void* buffer);
int KTS_SetWindowTitle(CSIBox* box, const char* name, const char* text);
int KTS_SetWindowFooter(CSIBox* box, const char* name, const char* text);
int KTS_SetWindowResource(CSIBox* box, const char* name, int resource);
int KTS_DisplayWindow(CSIBox* box, const char* name);
// Selection in a window: the choice (1-based), 255 when none. No keyboard or
// interface resource is read yet: 255.
int KTS_SelectInWindow(CSIBox* box, const char* name, int count, int itemWidth, int flag,
                       const char* items, const char* title, int mode);

// Creates the process's terminal-peripheral box bound to the box's console:
// 2 it exists already, 1 created, -1 no memory, -2 without console.
int WTextGetExternalPeriphManager(CSIBox* box, int resourceId, int station, int value);
// Creates the process's interface-peripheral box for the box's console: its
// result, -2 without console.
int KTS_NewInterfacePeriphBox(CSIBox* box, int resourceId, int station, int value);

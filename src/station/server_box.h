// Server box API: the main server instance of the process (its listening
// services and its table of per-application boxes), the per-application box
// (text manager, console and its windows) and the client connection box of
// the payment server.
//
// The session opening builds the main instance (initialize, KTS_GetMain,
// start) and the application's box (KTS_GetClone); every other part reaches
// texts and console windows through the box operations below. Main thread
// only.
#pragma once
#include <cstdint>

struct KT_TEXT_WINDOW;
struct KTX_WSERV;
struct TEXT_MANAGER;
struct ConsoBox;
struct KTDOCUMENT;
struct KTSCRIPT;

// The per-application box.
struct CSIBox {
    int32_t instanceId;
    int32_t index;
    char name[20];
    KTX_WSERV* transport;
    TEXT_MANAGER* textManager;
    KTDOCUMENT* document;  // never made by this program (document.h)
    KTSCRIPT* script;
    ConsoBox* console;
    void* fileMessage;
    int32_t debugLevel;
};

// The client connection box of the current payment server.
struct ANIBox {
    int32_t appId;
    int32_t cloneId;
    int32_t kind;  // always 2
    int32_t networkType;
    KTX_WSERV* box;
};

// One listening service of the main instance, in the order SHM, TCP/IP,
// BAL, SSL, HTTP.
constexpr int KTS_SERVICE_COUNT = 5;
constexpr int KTS_SERVICE_NAME_SIZE = 20;
constexpr int KTS_SERVICE_ARGUMENTS_SIZE = 1024;

struct KTS_SERVICE {
    char name[KTS_SERVICE_NAME_SIZE];
    char description[32];
    char arguments[KTS_SERVICE_ARGUMENTS_SIZE];
    KTX_WSERV* box;
    int32_t typeBit;
    int32_t networkType;
    uint8_t enabled;
};

// The process's main server instance.
struct KT_MAIN_SERVER_INSTANCE {
    int32_t resourceId;
    int32_t maxClones;
    KTS_SERVICE services[KTS_SERVICE_COUNT];
    int32_t typeMask;
    int32_t reserved;
    int32_t cloneCount;
    CSIBox** clones;  // maxClones + 1 entries
    int32_t initialized;

    // Resource id and room for maxClones boxes: 1, or -1 when the table
    // cannot be had.
    int initialize(int resourceId, int maxClones);
    // Opens the listening side of each enabled service: 1, or -3.
    int start();
    // Frees a box made by KTS_GetClone and forgets it: 1, -1 without box.
    int freeClone(CSIBox* box, int hangUp);
};

KT_MAIN_SERVER_INSTANCE& KTS_MainInstance();
// Sets up the five services from the type mask (bit n enables service n) and
// creates a server box for each enabled one: 1, or -2.
int KTS_GetMain(KT_MAIN_SERVER_INSTANCE* instance, int typeMask, const char* tcpName,
                const char* sslName, const char* tlsArguments, const char* httpName);
// A new zeroed per-application box stored at clones[index], or null.
CSIBox* KTS_GetClone(KT_MAIN_SERVER_INSTANCE* instance, KTX_WSERV* transport, const char* name,
                     int unused, int index);
// Debug level minus one (0 at most) to the box's parts: 1, -1 without box.
int KTS_SetDebug(CSIBox* box, int level);
// 1 with a transport box, 0 without, -1 without box.
int KTS_ResetTransport(CSIBox* box);
// Replaces the box's text manager by a new one: 1, -2 not made, -1 no box.
int KTS_NewTextManager(CSIBox* box);
// Replaces the box's console by a new one bound to the text manager: 1,
// -2 not made, -3 no text manager, -1 no box.
int KTS_NewConsole(CSIBox* box, const char* consoleName);
// Frees the text manager, the console, the transport (with the hang-up flag)
// and the box itself; 1 (-1 without box).
int KTS_FreeBox(CSIBox* box, int hangUp);

// The process's terminal-peripheral box bound to the console: 2 it exists
// already, 1 created, -1 no memory, -2 no console.
int WTextGetExternalPeriphManager(CSIBox* box, int resourceId, int station, int value);
// The process's interface-peripheral box for the console: its result, -2
// without console.
int KTS_NewInterfacePeriphBox(CSIBox* box, int resourceId, int station, int value);

// Client connection box: a client message box started on the network with
// the server's settings, or null (traced).
ANIBox* KTS_GetAnnex(int appId, int cloneId, int networkType, const char* service, const char* host,
                     const char* host2, const char* clientCert, const char* serverCert, int checkCert,
                     int versionSSL, const char* tlsArguments, const char* serverName);
// Closes the annex's box with the hang-up flag and frees it: 1, 0 for null.
int KTS_FreeAnnex(ANIBox* annex, int hangUp);
// Puts each given rubrique into the request half; with M also sends it (last
// mode 1). 1; -1 a rubrique refused or the send failed (nothing is sent
// then); 0 without annex, box or message block.
int KTS_AnnexPutRequest(ANIBox* annex, const char* k, const char* s, const char* u, const char* a,
                        const char* m);
// Receive time-out of the annex's message block (modes unchanged): 1, 0
// without annex or box.
int KTS_SetAnnexTimeOut(ANIBox* annex, long milliseconds);

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
// Selection among count items of itemWidth bytes in a window (flag: the first
// item shown, mode: the option byte): the choice (1-based), 255 when none.
// Windows of resources 41, 42 and 62 list the items on the PC console;
// windows of resources 45, 47, 61, 65 and 67 send an interface selection
// command and poll its result while it is not there, for at most the
// console's wait time and 500 ms; other resources choose nothing.
int KTS_SelectInWindow(CSIBox* box, const char* name, int count, int itemWidth, int flag,
                       const char* items, const char* title, int mode);

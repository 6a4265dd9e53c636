// Terminal peripheral box and its script API, as the application core uses
// them.
//
// Least behaviour for now: no terminal box exists (no terminal is configured),
// so lookups find nothing, scripts have nothing to send and the protocol of
// any function is 1 ("no box").
#pragma once
#include <cstdint>

// Status codes of the script engines.
constexpr int PV_ALL_FINE = 0;
constexpr int PV_PER_ACCES = 18;
constexpr int PV_NET_FAILED = 33;
constexpr int PV_NET_TIMEOUT = 34;
constexpr int PV_NOT_YET = 64;
constexpr int PV_PER_RESET = 80;

// Resource record of one terminal function.
struct KT_PERES {
    int32_t function;
    int32_t port;  // communication resource number
    int32_t transportKind;
    int32_t protocol;
    int32_t inUse;
};

// The process-wide terminal script box.
struct KT_EPERIPH_API {
    int32_t resourceId;
    int32_t station;
    KT_PERES resources[20];
};

struct ConsoBox;
struct KTX_WSERV;

// Callback the terminal waits call with the 130-byte echo text.
using EPAP_WaitCallbackFn = void (*)(char* echo);

// Family of a terminal model number: 0 for 0, 4 for 888, else from the
// hundreds digit (1, 2, or 3).
int GetTerminalFamily(unsigned modelNumber);

KT_EPERIPH_API* EPAP_GetBox();
int EPAP_GetProtocol(int function);
void EPAP_SetWaitCallback(EPAP_WaitCallbackFn callback);
EPAP_WaitCallbackFn EPAP_GetWaitCallback();
void EPAP_SetEchoMode(int mode);
int EPAP_ClearAll();
int EPAP_SendScriptCommands();
int EPAP_DisplayMessageAndReset(int function, const char* text, int row, int column,
                                const char* text2, int flag);
// Shows a title and a zone message (ESC 'P', size, column, text) on the
// terminal through a display script; 0 when shown, else the PV_ status
// (PV_PER_ACCES while no terminal box exists).
int EPAP_DisplayMessage(int function, const char* title, int row, int column, const char* message,
                        int echoMode, int flag);
// The last non-blank text shown on the terminal screen, or null.
const char* TDSP_GetLastText();
int EPAP_SelectLanguage(int function, const char* languageCode, int waitMs);
KT_PERES* TWEP_FindFunction(KT_EPERIPH_API* box, int function, int restart);
void TWEP_CloseSerialPorts(KT_EPERIPH_API* box);

// Creates the process-wide terminal-peripheral box (no resources until the
// peripheral context adds them) bound to a console: 2 when it exists already
// (the first one stays), 1 created, -1 no memory.
int PAP_NewPAPbox(int resourceId, int station, int value, ConsoBox* console);
// One relay message (application "1200") of the server connection: the
// communication status of the terminal's answer ('P' when the terminal link
// is lost). No terminal is driven yet: always 'P'.
int EPAP_DealRelayMessage(KTX_WSERV* connection);
// Adds a terminal resource (function name, communication resource, transport
// kind, protocol name): the PV_ status. Least behaviour: accepted, not kept.
int EPAP_CreateFunctionProfile(const char* function, int resource, int transport, const char* protocol);
// After a reload of the port configurations: stop the serial links when the
// "Driver" of a port changed, and mark the resources of a port active again.
// Least behaviour: nothing to do without terminal resources.
void TWEP_CheckDriverChange(KT_EPERIPH_API* box);
void TWEP_ReactivatePort(KT_EPERIPH_API* box, int resource);

// Waits up to waitMs for an unsolicited event of the terminal of a function
// through its protocol module and puts the event letter first in event (a
// 130-byte buffer: 'A' answer ready, 'K' keep alive). 0 when an event came,
// else the wait's status (PV_PER_RESET when the wait callback asked to
// stop). Least behaviour: no function has a resource, PV_PER_ACCES at once
// (-1 without a box).
int EPAP_WaitEvent(int function, int waitMs, char* event);

// Dialogue on the terminal screen (display function 0). Least behaviour:
// no terminal is driven, every one fails (-1; the key or the item out 255).
struct KT_TEXT_WINDOW;
int TDSP_ShowText(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width,
                  int lineIndex, int ignored, int clear);
int TDSP_GetEntry(ConsoBox* console, int ignored, int timeoutMs, int row, int column, int length,
                  char* value, const char* format, char* key);
int TDSP_WaitKey(int timeoutMs, int ignored, char* key);
int TDSP_SelectItemBasic(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int ignored1,
                         int ignored2, int count, int stride, int defaultItem, const char* title,
                         const char* items, unsigned char* result);

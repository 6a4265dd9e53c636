// Interface-peripheral box and the services of the interface script engine
// that the application core calls, with the field encoder and decoder of
// message bodies.
//
// Least behaviour for now: the box exists but holds no interface resource,
// so scripts have nothing to send, interface messages and file transfers
// from a server are not served.
#pragma once
#include <cstdint>

struct ConsoBox;
struct KTX_WSERV;
struct KT_TEXT_WINDOW;

// The process-wide interface script box (network application "1210").
struct KT_IPERIPH_API {
    int32_t resourceId;
    int32_t station;
    ConsoBox* console;
};

// Creates the box for a console: 2 it exists already (it then serves this
// console), 1 created, -1 no memory.
int SAP_NewSAPbox(int resourceId, int station, int value, ConsoBox* console);
KT_IPERIPH_API* SAP_GetBox();
// Clears both script tables: 0 done, 1 no box, -1 box without console.
int ISAP_ClearAll();
// Sends and runs the pending interface commands (none yet): 0.
int ISAP_SendScriptCommands();
// One interface message (application "1210") of the server connection: not
// served yet (traced), 0.
int ISAP_DealMessage(KTX_WSERV* connection);
// One tele-maintenance file exchange (application "1100") as slave; the
// report goes into text (size bytes). Negative: no exchange could start
// (always, for now).
int ISAP_DealTeleM(KTX_WSERV* connection, char* text, int size);
// Local root of the file exchangers: the path and '/' (at most 500
// characters); 1, or -1 for a longer or null path.
int KTXCH_SetLocalRoot(const char* path);
const char* KTXCH_GetLocalRoot();

// Field encoder and decoder over a message body (the directives of the
// length-prefixed messages: "%B" length then bytes, "%D" length pointer,
// destination, capacity). The encoded length or the decoded field count;
// -1 on failure.
int TWIP_ReseauPrintf(void* body, uint32_t capacity, const char* format, ...);
int TWIP_ReseauScanf(const void* body, const char* format, ...);
// Finds or creates the interface resource of the window's resource number:
// the PV_ status. Least behaviour: PV_ALL_FINE, nothing bound.
int ISAP_OpenWindowResource(KT_TEXT_WINDOW* window);

// The dialogues of the POS GUI (windows of resources 45 and 46), which the
// application core runs with the cash register: the executors of the
// display, print, key, entry and selection commands of those windows. The
// program installs them at session opening; none switches them off.
struct PosGuiExecutors {
    int (*display)(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                   int column, int clear, int mask);
    int (*key)(int timeoutMs, int flush, char* key);
    int (*entry)(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int row, int column, int length,
                 char* zone, const char* format, char* key);
    int (*selection)(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int rows, int width, int count,
                     int itemSize, int firstShown, const char* title, const char* items, unsigned* choice);
};
void ISAP_SetPosGuiExecutors(const PosGuiExecutors* executors);
// The installed executors when the window is one of the POS GUI (resource
// 45 or 46), else null.
const PosGuiExecutors* ISAP_PosGuiOf(const KT_TEXT_WINDOW* window);

// Selection command of a window (count items of itemWidth bytes, the first
// shown, a title, an option byte) and its result (the item, 255 none): the
// PV_ status (PV_NET_TIMEOUT while the result is not there yet). Least
// behaviour of the interface engine: a window of the POS GUI runs its
// selection with the cash register at once; other windows are not served
// (PV_PER_ACCES, item 255).
int ISAP_SetSelecCommand(KT_TEXT_WINDOW* window, int count, int itemWidth, int firstShown, const char* title,
                         const char* items, int option);
int ISAP_GetSelecResult(KT_TEXT_WINDOW* window, unsigned char* item);

// The interface operations the console's windows and events run (their
// least behaviour here serves the POS GUI windows at once, as above; the
// interface script engine replaces it).
// The console goes: the box no longer serves it.
void SAP_ConsoleFreed(const ConsoBox* console);
// 0 a resource shows this window, 8 none does.
int ISAP_IsWindowBound(const KT_TEXT_WINDOW* window);
int ISAP_SetDisplayCommand(KT_TEXT_WINDOW* window);
int ISAP_SetTouchCommand(KT_TEXT_WINDOW* window, int wait, int flush);
int ISAP_SetDatumCommand(KT_TEXT_WINDOW* window, int row, int column, int width, const char* field,
                         const char* format);
int ISAP_GetDisplayResult(KT_TEXT_WINDOW* window);
int ISAP_GetTouchResult(KT_TEXT_WINDOW* window, unsigned char* key);
int ISAP_GetDatumResult(KT_TEXT_WINDOW* window, unsigned char* key, char* text, int capacity);
void TWIP_IncAnswerCount();

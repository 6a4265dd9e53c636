// Interface-peripheral box (the SAP box) and the API of the interface script
// engine: display, key, entry and selection commands for the text windows of
// the console, shown on the PC console, the cash register's screen (POS GUI),
// the terminal's screen or a remote station reached over the network (net
// application "1210").
//
// A caller clears the script, sets one or more commands for a window, sends
// the script and reads each command's result. Commands for local resources
// (numbers up to 60) run when the script is sent; commands for remote
// resources (61 and above) travel as messages over the box's stream, and a
// peer running the same engine (ISAP_DealMessage) runs them and sends the
// answers back. The tables are in interface_script.h, the exchange and the
// executors in interface_exec.h. Main thread only.
#pragma once
#include <cstdint>

struct ConsoBox;
struct KTX_WSERV;
struct KT_TEXT_WINDOW;

constexpr int SAP_ROWS = 128;
constexpr int SAP_ROW_SIZE = 148;
// "%c_%03d_%04x_": status, resource number, command type.
constexpr int SAP_ROW_HEADER = 11;
constexpr int SAP_PAYLOAD_MAX = SAP_ROW_SIZE - SAP_ROW_HEADER;  // 137
constexpr int SAP_RESOURCES = 17;
// The slot that every incoming message (and the file exchange) takes over.
constexpr int SAP_MESSAGE_SLOT = 16;
constexpr int SAP_XSAP_SIZE = 101;
constexpr int SAP_ENTRY_SIZE = 81;
constexpr int SAP_STATUS_TEXT_SIZE = 81;
constexpr int SAP_NET_APPLI_SIZE = 12;

// Row statuses.
constexpr char TWIP_FREE = '\0';
constexpr char TWIP_SET = '1';
constexpr char TWIP_SENT = '2';
constexpr char TWIP_ANSWERED = '3';
constexpr char TWIP_READ = '4';

// Command types.
constexpr int TWIP_DISPLAY = 1;
constexpr int TWIP_TEXT = 2;
constexpr int TWIP_TOUCH = 17;
constexpr int TWIP_DATUM = 18;
constexpr int TWIP_SELEC = 19;

// Resource types.
constexpr int SAP_RES_LOCAL = 0;
constexpr int SAP_RES_NETWORK = 5;
// Numbers up to this one are local; above, remote (minus 20 on the wire).
constexpr int SAP_LAST_LOCAL = 60;
constexpr int SAP_WIRE_SHIFT = 20;

// Message states (bits of MesStat).
constexpr int SAP_MES_FIRST = 1;
constexpr int SAP_MES_LAST = 2;
constexpr int SAP_MES_ASK = 4;

// One interface resource.
struct KT_PIRES {
    int32_t inUse;
    int32_t function;  // resource number
    int32_t command;   // command type of the last command set, sent or read
    int32_t ResType;   // SAP_RES_LOCAL or SAP_RES_NETWORK
    KTX_WSERV* Tube;   // the message stream; null until bound
    KT_TEXT_WINDOW* window;
    char status[9];    // eight hexadecimal digits
    int32_t MesStat;
    char xsap[SAP_XSAP_SIZE];
    char entryText[SAP_ENTRY_SIZE];  // text of the last DATUM
    uint8_t result;                  // key or item of the last TOUCH, DATUM, SELEC; 255 none
    int32_t resultStatus;
    int32_t reserved;
};

// The process-wide box (S_MySAP).
struct KT_IPERIPH_API {
    int32_t station;
    int32_t resource;
    char SAP_Commands[SAP_ROWS][SAP_ROW_SIZE];
    char SAP_Answers[SAP_ROWS][SAP_ROW_SIZE];
    KT_PIRES resources[SAP_RESOURCES];
    int32_t counters[18];
    ConsoBox* console;
    KTX_WSERV* stream;
    char SAP_NetAppli[SAP_NET_APPLI_SIZE];
    int32_t SAP_GenStat;
    int32_t severity;  // 0 fine, 1 refused or not ready, 2 internal, 3 access or transport
    int32_t mode;
    int32_t lastStatus;  // status of the last command run by an executor
    char statusText[SAP_STATUS_TEXT_SIZE];
};

// ---------------------------------------------------------------------------
// Box and resources
// ---------------------------------------------------------------------------

// Creates the box for a console and its stream: 1 created, -1 no memory. 2
// when it exists already: a box that served another console (which went
// with its session) takes the new console and stream and drops the
// resources and rows of the old one; for the same console nothing changes.
int SAP_NewSAPbox(KTX_WSERV* stream, ConsoBox* console, int station, int resource, int mode);
KT_IPERIPH_API* SAP_GetBox();
// Drops the stream of the first network resource and frees the box: 1, or
// -1 without a box.
int SAP_FreeSAPbox();
// The console goes: the box goes with it when it serves this console.
void SAP_ConsoleFreed(const ConsoBox* console);
// Net application (at most 10 characters kept; null leaves it): 1, -1 no box.
int SAP_SetNetAppli(const char* text);
// Last command status unless the value is -1: 1, -1 no box.
int SAP_SetLastStatus(int value);
// Refreshes SAP_GenStat, the severity and the status text (the resource's
// status, read as hexadecimal, raises a fine SAP_GenStat).
void SAP_SetStatusText(KT_IPERIPH_API* box, const KT_PIRES* resource);
// Label and severity of a status in the status text ("PERI INTERNAL ERROR"
// for any value without its own label, 4 and 17 included).
const char* SAP_StatusLabel(int status, int* severity);

// Takes a free slot (slots 0-15; 16 is the incoming messages'): 1, or -1
// and "Too Much Resources" (SAP_GenStat 1) when none is free.
int TWIP_CreateFunctionProfile(KT_IPERIPH_API* box, int number, int type, KT_TEXT_WINDOW* window);
// Searches from slot 0 (restart 1) or after the last match.
KT_PIRES* TWIP_FindResource(KT_IPERIPH_API* box, int number, int restart);
KT_PIRES* TWIP_FindResourceByType(KT_IPERIPH_API* box, int type, int restart);
KT_PIRES* TWIP_FindResourceByWindow(KT_IPERIPH_API* box, const KT_TEXT_WINDOW* window);
// The resource of a script row's number among the slots 0-15 (the message
// slot carries the number of the message being stored, not a resource).
KT_PIRES* TWIP_FindServedResource(KT_IPERIPH_API* box, int number);
int TWIP_GetResourceIndex(const KT_IPERIPH_API* box, const KT_PIRES* resource);
KT_PIRES* TWIP_MessageSlot(KT_IPERIPH_API* box);

// XSAP address "XSAP/<status>/<MesStat %03d>/": its length.
int TWIP_FormatXSAP(KT_PIRES* resource);
// Parses the resource's address: 1; -1 not "XSAP"; -2 null; -3 a status
// that is not eight hexadecimal digits or no message state.
int TWIP_ParseXSAP(KT_PIRES* resource);
// The same over a text: status (9 bytes) and message state are set only on 1.
int TWIP_ParseXSAPText(const char* text, char* status, int* mesStat);
KTX_WSERV* TWIP_BindRemoteResource(KT_IPERIPH_API* box, KT_PIRES* resource);
void TWIP_BindNetworkResources(KT_IPERIPH_API* box);
void TWIP_UnbindResource(KT_IPERIPH_API* box, KT_PIRES* resource);

// ---------------------------------------------------------------------------
// The API (every ISAP_ operation but the immediate mode returns 1 without
// box, console or window unless said)
// ---------------------------------------------------------------------------

// Clears both tables: 0; 1 the answer clear failed or no box; -1 no console.
int ISAP_ClearAll();
// Finds or creates the window's resource: SAP_GenStat, 18 still not found,
// -2 creation failed, 1 no box, -1 no console or window.
int ISAP_OpenWindowResource(KT_TEXT_WINDOW* window);
// 0 a resource shows this window, 8 none does.
int ISAP_IsWindowBound(const KT_TEXT_WINDOW* window);
// Set operations: one DISPLAY row per window line, one TOUCH, DATUM or
// SELEC row; SAP_GenStat (18 when the window has no resource).
int ISAP_SetDisplayCommand(KT_TEXT_WINDOW* window);
int ISAP_SetTouchCommand(KT_TEXT_WINDOW* window, int wait, int flush);
int ISAP_SetDatumCommand(KT_TEXT_WINDOW* window, int row, int column, int width, const char* field,
                         const char* format);
int ISAP_SetSelecCommand(KT_TEXT_WINDOW* window, int count, int itemWidth, int firstShown, const char* title,
                         const char* items, int option);
// Runs the local rows and sends the remote ones: SAP_GenStat, 0 at once when
// nothing is pending.
int ISAP_SendScriptCommands();
// Sends what is pending, then collects the remote answers: SAP_GenStat, -1
// without box or console.
int ISAP_GetScriptResults();
// Get operations: SAP_GenStat; the key or item 255 when none (an answer not
// there yet leaves 255 and SAP_GenStat unchanged). The entry text goes to
// text when capacity is negative or holds it and its NUL, else 18.
int ISAP_GetDisplayResult(KT_TEXT_WINDOW* window);
int ISAP_GetTouchResult(KT_TEXT_WINDOW* window, unsigned char* key);
int ISAP_GetDatumResult(KT_TEXT_WINDOW* window, unsigned char* key, char* text, int capacity);
int ISAP_GetSelecResult(KT_TEXT_WINDOW* window, unsigned char* item);
// One incoming message of net application "1210" on the stream (client
// side): SAP_GenStat; 1 without a box. The box's stream is given back when
// it ends.
int ISAP_DealMessage(KTX_WSERV* stream);

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

// The dialogues of the POS GUI (windows of resources 45 and 46), which the
// application core runs with the cash register: the executors of the
// display, key, entry, selection and print commands of those windows. The
// program installs them at session opening; none switches them off.
struct PosGuiExecutors {
    int (*display)(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                   int column, int clear, int mask);
    int (*key)(int timeoutMs, int flush, char* key);
    int (*entry)(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int row, int column, int length,
                 char* zone, const char* format, char* key);
    int (*selection)(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int rows, int width, int count,
                     int itemSize, int firstShown, const char* title, const char* items, unsigned* choice);
    int (*spool)(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                 int column, int clear);
};
void ISAP_SetPosGuiExecutors(const PosGuiExecutors* executors);
// The installed executors when the window is one of the POS GUI (resource
// 45 or 46), else null.
const PosGuiExecutors* ISAP_PosGuiOf(const KT_TEXT_WINDOW* window);
// The installed executors, or null.
const PosGuiExecutors* ISAP_GetPosGuiExecutors();

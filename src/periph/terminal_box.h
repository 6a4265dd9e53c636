// Terminal peripheral box and its script API: the one process-wide object
// through which the program addresses the payment terminal and its
// sub-devices (display, printer, card readers, security modules, cipher
// unit).
//
// A caller clears the script, sets up to ten commands for terminal
// functions, sends them and reads one result per command (or waits for an
// event of the terminal). Each command is turned into a terminal frame by
// the command module of the function's protocol and carried, one message per
// command row, over the link of the function's port. Every operation
// returns a peripheral status code (protocols/pv_status.h) unless said
// otherwise, and leaves the box's status, severity and status text set.
// The box and resource records are in protocols/terminal_frame.h. Main
// thread only.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"

// The four script counters of the process (diagnostic).
struct PapScriptCounters {
    int32_t pendingCommands;
    int32_t answerCount;
    int32_t commandRow;
    int32_t answerRow;
};
PapScriptCounters* PAP_Counters();

// ---------------------------------------------------------------------------
// Box and resources
// ---------------------------------------------------------------------------

// Creates the box bound to a console (its message stream) with a key index:
// 1, 2 when a box exists already (it stays), -1 when memory is lacking.
int PAP_NewPAPbox(int resourceId, int station, int keyIndex, ConsoBox* console);
// Closes the port links and frees the box: 1, -1 without a box.
int PAP_FreePAPbox();
// Frees the box when it is bound to this console (the console goes).
void PAP_ConsoleFreed(const ConsoBox* console);
KT_EPERIPH_API* EPAP_GetBox();
// Adds a terminal resource (device name, port, transport kind, protocol
// name): the box status, 0 when added; 1 without a box.
int EPAP_CreateFunctionProfile(const char* device, int port, int transport, const char* protocol);
int TWEP_CreateFunctionProfile(KT_EPERIPH_API* box, const char* device, int port, int transport,
                               const char* protocol);
// Function number of a device name (-2 when not in the table) and protocol
// number of a protocol name (-2 for "TALVO" and names not in the table).
int PAP_DeviceFunction(const char* device, int transport);
int PAP_ProtocolNumber(const char* protocol);
// Protocol of a function (it becomes the current resource); 1 without a
// box, -1 with PV_PER_ACCES when the function has no resource.
int EPAP_GetProtocol(int function);
// 0 when the function has a resource (it becomes the current one), 8 when
// not, 1 without a box.
int EPAP_CheckFunction(int function);
// Lookups among the configured slots 0 to 19, from slot 0 (restart 1) or
// after the last one found (0).
KT_PERES* TWEP_FindFunction(KT_EPERIPH_API* box, int function, int restart);
KT_PERES* TWEP_FindPort(KT_EPERIPH_API* box, int port, int transport, int restart);
KT_PERES* TWEP_FindTransport(KT_EPERIPH_API* box, int transport, int restart);
// 0 to 19, or -1 for a record that is not a regular slot.
int TWEP_GetResourceIndex(KT_EPERIPH_API* box, const KT_PERES* resource);
// The resource addressed by the last EPAP operation, or null.
KT_PERES* EPAP_CurrentResource();
void PAP_SetCurrentResource(KT_PERES* resource);
void TWEP_SetResourceDialInfo(KT_EPERIPH_API* box, KT_PERES* resource);
void TWEP_SetResourceStatus(KT_EPERIPH_API* box, KT_PERES* resource);
// The XPRO address of a resource from its fields: its length.
int TWEP_BuildXproAddress(KT_PERES* resource);
// Reads the address back into the resource: 1; -1 when it is not a whole
// descriptor with fields within the record's widths (nothing changes); -2
// without a resource.
int TWEP_ParseXproAddress(KT_PERES* resource);
void TWEP_logPERES(const KT_PERES* resource);
// Box options (no effect without a box).
void EPAP_SetTransportBeAdded(int value);
int EPAP_IsTransportAdded();
void EPAP_SetSelectCardWatch(int value);
int EPAP_GetExecuteMode();
int EPAP_SetApplication(const char* code, int operation);
int TWEP_SetBoxStatusWords(int application, int kernel, int access);
int EPAP_SetNetApplication(const char* text);
// Family of a terminal model number: 0 for 0, 4 for 888, else from the
// hundreds digit (1, 2 or 3).
int GetTerminalFamily(unsigned modelNumber);
// 1 when the version is at least the reference (numbers split at '.' and
// ','), 0 when not or the reference has no number, -1 for a missing text.
int IsVersionAtLeast(const char* version, const char* reference);
const char* GetHashSuffixPart();

// Closes the serial ports with a link and releases their locks: 1, -2
// without a box.
int TWEP_CloseSerialPorts(KT_EPERIPH_API* box);
// Before a command on another port (and after a reload of the port
// configurations): the links of every port are closed and their resources
// stopped when the new port's "Driver" equals the last used port's. 0 after
// the check; 1 when a configuration or a "Driver" value is missing, or
// without a box.
int TWEP_CheckDriverChange(KT_EPERIPH_API* box);
// Marks the resources of a port active again: 0; 1 without a box.
int TWEP_ReactivatePort(KT_EPERIPH_API* box, int port);

// ---------------------------------------------------------------------------
// Script tables
// ---------------------------------------------------------------------------

int TWEP_ClearScript(KT_EPERIPH_API* box, char letter);
int TWEP_SetCommandScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int reset, int length, const char* frame);
struct PapRowHeader {
    char status;
    int resource;
    int command;
    int sequence;
    int length;
};
// Reads a row header (all 0 for a free row); 1 when the header reads whole.
int TWEP_ParseRowHeader(const char* row, PapRowHeader* header);
// The next command row of the resource's link: its frame (null when none),
// *length the frame's length field, *last set for the link's last row.
const char* TWEP_GetCommandScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int* length, int* last);
int TWEP_SetAnswerScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int length, const char* data);
const char* TWEP_GetAnswerScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int* length, int* last);
// 2 answered, 1 expected, 0 no row for the resource and command, -1 its
// link failed.
int TWEP_GetAnswerState(KT_EPERIPH_API* box, KT_PERES* resource);
// 1 when an answer row of the resource's link is expected in the current
// script.
int TWEP_HasExpectedAnswer(KT_EPERIPH_API* box, KT_PERES* resource);
int TWEP_IsAllScriptSent(KT_EPERIPH_API* box);
int TWEP_IsAllScriptReceived(KT_EPERIPH_API* box);
// The rows still expected on the link of a resource become failed rows.
int TWEP_FailExpectedAnswers(KT_EPERIPH_API* box, KT_PERES* resource);
int TWEP_GetCommandRowHeaders(KT_EPERIPH_API* box, char* buffer);
int TWEP_GetAnswerRowHeaders(KT_EPERIPH_API* box, char* buffer);
int TWEP_SetCommandRowHeaders(KT_EPERIPH_API* box, const char* buffer);
int TWEP_SetAnswerRowHeaders(KT_EPERIPH_API* box, const char* buffer);
int EPAP_GetCommandRowHeaders(char* buffer);
int EPAP_GetAnswerRowHeaders(char* buffer);
int EPAP_SetCommandRowHeaders(const char* buffer);
int EPAP_SetAnswerRowHeaders(const char* buffer);
// Re-arms the answer row of a command: status '1', length "0000". 1 when a
// row was found.
int TWEP_RearmAnswerRow(KT_EPERIPH_API* box, int command);
int EPAP_SaveCurrentMailBoxState();
int EPAP_RestoreCurrentMailBoxState();
// Status update run after every box operation.
void TWEP_UpdateStatus(KT_EPERIPH_API* box, KT_PERES* resource);
// Sets the status and runs the status update.
void TWEP_SetStatus(KT_EPERIPH_API* box, int status, KT_PERES* resource = nullptr);

// ---------------------------------------------------------------------------
// Script API
// ---------------------------------------------------------------------------

int EPAP_ClearAll();
int EPAP_SetCommand(int function, int command, ...);
int EPAP_SendScriptCommands();
int EPAP_GetScriptResults();
int EPAP_GetResult(int function, int command, ...);
int EPAP_GetResultVaList(int function, int command, va_list args);
int EPAP_GetResultEx(int function, int command, int timeoutMs, int pollMs, ...);
// The module's wait for an event of the terminal: 0 with *event 'A' when an
// answer or event waits; PV_NOT_YET, PV_PER_RESET ...; 18 without a
// resource, 0 for a protocol without a wait, -1 without a box. *event is
// one character: the first the module's wait wrote (02 for protocol 11).
int EPAP_WaitEvent(int function, int timeoutMs, char* event);
// 0, -1 without a box (null switches the callback off).
int EPAP_SetWaitCallback(EPAP_WaitCallbackFn callback);
EPAP_WaitCallbackFn EPAP_GetWaitCallback();
void EPAP_SetEchoMode(int mode);
int EPAP_GetEchoMode();
void EPAP_OpenLinks();
int EPAP_RebindLink(int functionA, int functionB);
int EPAP_SetLinkTimeouts(int function, int t0, int t1, int t2, int t3, int t4, int t5, int t6);
int EPAP_PurgeLink(int function, int seconds);
int EPAP_MarkPortTrace(int number);

// ---------------------------------------------------------------------------
// Test seam
// ---------------------------------------------------------------------------

// An object that stands for the terminal while it is installed: these
// operations go to it instead of the box, whose tables and links are not
// touched: EPAP_ClearAll, EPAP_SetCommand, EPAP_SendScriptCommands,
// EPAP_GetScriptResults, EPAP_GetResultVaList (so EPAP_GetResult),
// EPAP_GetResultEx, EPAP_WaitEvent, EPAP_GetProtocol and the four row-header
// operations EPAP_Get/SetCommandRowHeaders, EPAP_Get/SetAnswerRowHeaders.
// Tests of the layers above the terminal install one (the recording fake of
// tests/support/epap_fake.h); the program never does.
class EpapSeam {
public:
    virtual ~EpapSeam() = default;
    virtual int clearAll() = 0;
    virtual int setCommand(int function, int command, va_list args) = 0;
    virtual int sendScript() = 0;
    virtual int getScriptResults() = 0;
    virtual int getResult(int function, int command, va_list args) = 0;
    virtual int getResultEx(int function, int command, int timeoutMs, int pollMs, va_list args) = 0;
    virtual int waitEvent(int function, int timeoutMs, char* event) = 0;
    virtual int getProtocol(int function) = 0;
    virtual int getRowHeaders(bool answers, char* buffer) = 0;
    virtual int setRowHeaders(bool answers, const char* buffer) = 0;
};
// Installs a seam (null: none); the previous one.
EpapSeam* EPAP_SetSeam(EpapSeam* seam);
EpapSeam* EPAP_GetSeam();

// ---------------------------------------------------------------------------
// Services built on the script API
// ---------------------------------------------------------------------------

// Shows a title and a message on the terminal's screen: a display-open
// command (1) then a display-text command (2) on the function. RUDA: both
// are sent and read, then the script is cleared (and the interface script,
// unless keepScript). Other protocols: the two commands stay in the script
// for the caller to send. The time-outs count when positive (-1: none).
// The status of the last step; 0 at once in execution mode 2; -1 without a
// terminal.
int EPAP_DisplayMessage(int function, const char* title, int timeout1, int timeout2, const char* message,
                        int echoMode, int keepScript);
// The same, the interface script cleared.
int EPAP_DisplayMessageAndReset(int function, const char* title, int timeout1, int timeout2, const char* message,
                                int echoMode);
// The last non-blank line shown on the terminal screen, or null.
const char* TDSP_GetLastText();
// Chooses the terminal's language (RUDA command 170): the status of the
// read (within waitMs, 7000 when 0 or less); -2 without the function, -1
// when it is not RUDA.
int EPAP_SelectLanguage(int function, const char* languageCode, int waitMs);
// Shows a QR code (RUDA command 166) and reads its answer; the script is
// left for the caller to clear. 1 (PV_PER_ACCES) for a missing function or
// another protocol.
int EPAP_DisplayQR(int function, const char* content, const char* second);
// A contactless transaction operation of a RUDA terminal: set with the five
// arguments, sent, read into the first two (once more on PV_NOT_YET). -2
// without the function, -1 for another protocol.
int EPAP_CallTermCtTransaction(int function, void* a1, void* a2, void* a3, void* a4, void* a5, int command);
// Prints a ticket (command 13). A RUDA ticket longer than one print
// request goes in pieces cut at line breaks (the break itself is not
// printed). The status; 1 for a null record or text or a missing function.
struct PrintCommandBlock;
int EPAP_PrintTicket(int function, PrintCommandBlock* record);
// The next piece of a ticket of `length` bytes: its length (at most one
// print request) and, in *skip, the bytes of the line break that ends it
// (0, 1 or 2). A text that fits is one piece; a longer one ends before the
// last CR LF (else LF) within the first request's bytes, or is cut there
// when it has none.
int PAP_NextTicketPiece(const unsigned char* text, int length, int* skip);
// The longest piece of one print request.
constexpr int kPapTicketPieceMax = 249;

// Terminal files and HTML pages (RUDA). Both look the function given up
// (never another current resource).
// 0 when the file is on the terminal; -1 missing, for other protocols and
// without the function or a terminal; else the failing status.
int EPAP_CheckTerminalFile(int function, const char* path);
// The same for "www/" followed by the name.
int EPAP_CheckHtmlFile(int function, const char* name);
// Shows a page (checking its file first when checkFile is set) and reads
// its answer within timeoutMs into the response: the status of the read;
// -1 for other protocols, a missing file or without a terminal; -2 when the
// function has no resource.
class HtmlPageRequest;
class HtmlPageResponse;
int EPAP_DisplayHtmlPage(int function, const HtmlPageRequest* request, HtmlPageResponse* response, int timeoutMs,
                         int checkFile);

// Sends an application control code ("9001" soft reset, "9002" hard reboot,
// "9003" RUDA reboot, "4018" ...) to a function. RUDA: the code's command,
// whose result is read again until it is 0 or timeoutMs has passed: the last
// result. DORAN: one empty message whose descriptor carries the code as its
// Application: the MesStat of the terminal's acknowledgement (the time-out
// is not used). -1 for a function missing, a link that cannot open, or
// another protocol. EPAP_SendControl: no time-out.
int EPAP_SendControlEx(int function, const char* code, int timeoutMs);
int EPAP_SendControl(int function, const char* code);
// Reads the serial number of the terminal that serves a function into out
// (13 bytes at least): twelve '0' first, then the number, padded on the
// right with '0' to 12. RUDA: reset command 152 with (0, 33); other
// protocols: the resource's DialService text (its first 12 characters, a
// shorter one right-aligned over the zeros). 1 done, -1 when the function
// has no resource or the terminal command fails.
int EPAP_GetSerialNumber(int function, char* out);
// Sends the control code, then asks the terminal its state every interval
// until it answers, the cash register aborts, or the limit has passed (also
// since the terminal stopped answering): 1 it answered, -1 not; -2 without
// the function.
int EPAP_WaitReboot(int function, int intervalSeconds, const char* code, int limitSeconds);
// Shows a predefined screen of a RUDA terminal (command 160): the status;
// -2 without the function, -1 when it is not RUDA.
int EPAP_DisplayScreenId(int function, int screen);
// One relay message (application "1200") of the server connection, relayed
// to the local terminal and its replies back to the server
// (periph/terminal_relay.h): the box status after the relay (PV_PER_RESET
// when the wait callback stopped it, PV_NET_FAILED when the terminal or
// server link is lost); 1 without a box.
int EPAP_DealRelayMessage(KTX_WSERV* connection);

// Dialogue on the terminal screen (display function 0): each writes the
// dialogue record, sets it as a terminal command, sends the script and waits
// for the terminal's answer event. 1 done (a time-out leaves the key or item
// out 255, or the record's 0); -1 on a failed step or an abort.
struct KT_TEXT_WINDOW;
// Accumulates a line (cut to width) and sends the screen with the last one
// (lineIndex + 1 == lines); lines < 1 drops what was accumulated.
int TDSP_ShowText(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width,
                  int lineIndex, int ignored, int clear);
// value: the prompt on entry (when not empty), the entered value on return
// (at least length + 1 bytes and 41).
int TDSP_GetEntry(ConsoBox* console, int ignored, int timeoutMs, int row, int column, int length,
                  char* value, const char* format, char* key);
int TDSP_WaitKey(int timeoutMs, int ignored, char* key);
// Selections: time-out in hundredths of a second; items of `stride` bytes.
// extra: handed to the decoder (1: a cancel on the terminal is an answer).
int TDSP_SelectItemEx(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int ignored1, int ignored2, int count,
                      int stride, int defaultItem, const char* title, const char* items, int option,
                      unsigned char* result, int extra);
int TDSP_SelectItemBasic(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int ignored1,
                         int ignored2, int count, int stride, int defaultItem, const char* title,
                         const char* items, unsigned char* result);
// The same with the selection option of the terminal screen.
int TDSP_SelectItem(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int ignored1, int ignored2,
                    int count, int stride, int defaultItem, const char* title, const char* items, int option,
                    unsigned char* result);
// Card-status notification on or off around a selection (only with the
// box's select-card-watch flag).
void TDSP_CardWatchOn(int function);
void TDSP_CardWatchOff(int function);

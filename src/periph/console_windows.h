// PC console and its text windows: one console record (ConsoBox) holding up
// to 50 named windows, each a grid of text lines with an optional spool file
// and print commands run on it.
//
// Where a window is shown depends on its resource number: 0 only into the
// console's cell buffer, 41 and 42 on the PC console (console_render.h)
// unless an interface resource shows the window, the POS GUI (45), the
// terminal screen (47) and remote stations (61 and above) through the
// interface script engine (interface_box.h). The key and entry waits on a
// window are in console_events.h, the local dialogues in
// console_dialogue.h. Main thread only.
#pragma once
#include <cstdint>
#include <cstdio>

// The local dialogues and the key and entry waits on windows come with it.
#include "periph/console_dialogue.h"
#include "periph/console_events.h"

struct TEXT_MANAGER;
struct KTX_WSERV;

constexpr int KTCONSOL_MAX_WINDOWS = 50;
constexpr int KTCONSOL_NAME_SIZE = 81;
constexpr int KTCONSOL_SPOOL_PATH_SIZE = 600;  // spool directory, '/', name, ".SPO"
constexpr int KTCONSOL_DIRECTORY_SIZE = 501;
constexpr int TWI_DEFAULT_SPOOL_MAX_KB = 400;
// Longest base directory of KTCONSOL_SetWorkDirectory.
constexpr int KTCONSOL_WORK_DIRECTORY_MAX = 100;
// Longest print command line run (the line and its NUL fit 512 bytes).
constexpr int TWI_COMMAND_MAX = 511;
// Bytes of the stream's answer body cleared when a console is made.
constexpr int KTCONSOL_MESSAGE_CLEAR = 32769;
// Status bits of a console.
constexpr int KTCONSOL_BIT_INTERNAL = 1;
constexpr int KTCONSOL_BIT_REFUSED = 2;
constexpr int KTCONSOL_BIT_BROKEN_PIPE = 4;
constexpr int KTCONSOL_BIT_TIMEOUT = 8;

// Text box of a window: rows lines of width characters (plus one spare line),
// line i at i x width; current row and column are 1-based.
struct TWB_TEXT {
    int32_t rows;
    int32_t width;
    int32_t row;
    int32_t column;
    char* buffer;  // width x (rows + 1) + 10 bytes
};

struct KT_TEXT_WINDOW {
    int32_t rows;
    int32_t columns;
    int32_t row;
    int32_t column;
    int32_t frameColor1;
    int32_t frameColor2;
    int32_t frameStyle;
    uint8_t fillCharacter;
    int32_t textColor1;
    int32_t textColor2;
    int32_t highlightFirstRow;
    int32_t highlightLastRow;
    int32_t highlightFirstColumn;
    int32_t highlightLastColumn;
    int32_t lineMode;   // 1 "\n", 2 "\r\n", 3 "\r", 4 "\r\n" at real line ends
    int32_t trim;       // 1: trailing blanks of spooled lines removed
    int32_t spoolMode;  // 0 none, 1 line by line, 2 whole window
    char auxText1[KTCONSOL_NAME_SIZE];
    char auxText2[KTCONSOL_NAME_SIZE];
    char auxText3[KTCONSOL_NAME_SIZE];
    char title[KTCONSOL_NAME_SIZE];
    char footer[KTCONSOL_NAME_SIZE];
    char name[KTCONSOL_NAME_SIZE];
    TWB_TEXT* text;
    char spoolPath[KTCONSOL_SPOOL_PATH_SIZE];
    FILE* spoolFile;
    int32_t resource;
    uint8_t displayAttribute;
    char graphic;
};

struct ConsoBox {
    char identifier[KTCONSOL_NAME_SIZE];
    char currentWindow[KTCONSOL_NAME_SIZE];
    char reserved1[11];
    uint8_t* messageBody;  // the answer body of the stream's message block
    // The 80 x 25 cell buffer (8,192 bytes: the cells, then the glyph flags,
    // console_render.h), set by the application core; null until then.
    void* video;
    char spoolDirectory[KTCONSOL_DIRECTORY_SIZE];
    char printCommand1[KTCONSOL_NAME_SIZE];
    char printCommand2[KTCONSOL_NAME_SIZE];
    // Key and entry time-out in seconds (the local waits), also carried by
    // the interface TOUCH, DATUM and SELEC commands; negative waits without
    // limit.
    int32_t timeout;
    int32_t windowCount;
    int32_t reserved2;
    KT_TEXT_WINDOW* windows[KTCONSOL_MAX_WINDOWS];
    KTX_WSERV* stream;
    TEXT_MANAGER* textManager;
    int32_t number1;
    int32_t number2;
    char errorText[200];   // "[Console(): ...]" once an error is followed
    char statusLabel[20];  // "__TTY CMD REFUSED__" ...
    int32_t statusBits;    // KTCONSOL_BIT_*
    int32_t errorFlag;     // 1 once an error is followed
    int32_t debug;
    // Alert of the application: 0 none, 1 warning, 2 bug, 3 fatal, and its
    // text (read and cleared by the alert check of the program's waits).
    int32_t alertLevel;
    char alertText[200];
};

// Process settings copied into each new console. The work directory (at
// most 100 characters) gives the spool directory "<base>/WOut" and the print
// commands "<base>/WSYS/wfprint %s <argument>" and
// "<base>/WSYS/wsprint %s <argument>": 1, or -1. The print command 1 alone:
// 1, or -1 for null.
int KTCONSOL_SetWorkDirectory(const char* base, const char* argument);
int KTCONSOL_SetPrintCommand(const char* text);
void TWI_SetSpoolMaxSize(int sizeKb);
int TWI_GetSpoolMaxSize();

// Console: made with a first window of 23 x 78 named after the identifier.
ConsoBox* KTCONSOL_NewConso(int number1, int number2, const char* identifier, KTX_WSERV* stream,
                            TEXT_MANAGER* textManager);
// Frees the windows, the video buffer, the terminal and interface boxes that
// serve this console, then the console: 0, or -1.
int KTCONSOL_FreeConso(ConsoBox* console);
int KTCONSOL_SetDebug(ConsoBox* console, int flag);
int KTCONSOL_SetTimeout(ConsoBox* console, int timeout);
// Adds a window: the window, or null with result -1 (no console, or no free
// slot: status bits 8) or -2 (the window could not be made, a full name of
// 80 characters or more included: status bits 1); a failure is reported
// through KTTD_SetConsoError.
KT_TEXT_WINDOW* KTCONSOL_ConsoAddFenetre(ConsoBox* console, int rows, int columns, const char* name,
                                         int* result);
// The same, giving the result: 1, -1 or -2.
int KTCONSOL_AddFenetre(ConsoBox* console, const char* name, int rows, int columns);
// Turns the status bits into the status label and error text: bit 2
// (refused) is followed (error flag 1, "__TTY CMD REFUSED__", the text
// "[Console(): <identifier><window>:**<C_WARN>**-:<label>]"); other bits are
// traced only; no bit clears all. The error flag, -1 without console.
int KTTD_SetConsoError(ConsoBox* console);
// Full names are "%s%03d%03d" of the name and the console's two numbers,
// compared ignoring case; the lowest slot wins.
KT_TEXT_WINDOW* KTCONSOL_FindFenetre(ConsoBox* console, const char* name);

// Window settings by name: 1, or -1 without console or window.
int KTCONSOL_SetFenetreColors(ConsoBox* console, const char* name, int frame1, int frame2,
                              int text1, int text2);
int KTCONSOL_SetFenetrePosition(ConsoBox* console, const char* name, int row, int column);
int KTCONSOL_SetFenetreSpoolMode(ConsoBox* console, const char* name, int mode);
int KTCONSOL_SetFenetreLineMode(ConsoBox* console, const char* name, int mode);
int KTCONSOL_SetFenetreTrim(ConsoBox* console, const char* name, int flag);
int KTCONSOL_SetFenetreTitle(ConsoBox* console, const char* name, const char* text);
int KTCONSOL_SetFenetreFooter(ConsoBox* console, const char* name, const char* text);
// Sets the resource number, then finds or creates the window's interface
// resource: the status of that (0 done), -1 without console or window.
int KTCONSOL_SetFenetreResource(ConsoBox* console, const char* name, int resource);
int KTCONSOL_DisplayFenetreByName(ConsoBox* console, const char* name);
// Takes the window itself; each text is taken when shorter than 80 characters.
int KTCONSOL_SetFenetreTexts(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text1,
                             const char* text2, const char* text3);
// Shows a window by its resource number: 0, and 41 or 42 when no interface
// resource shows it, on the PC console (0 into the cell buffer only): 1.
// 41 or 42 bound, 45 and 47 bound: a display script run at once: 1 when it
// gave 0, else -1 (45 or 47 not bound: -1). 61, 65, 67: the display rows set
// for the caller to send: 1 when set. Any other number: -1.
int KTCONSOL_DisplayFenetre(ConsoBox* console, KT_TEXT_WINDOW* window);

// One window.
KT_TEXT_WINDOW* TWI_NewTextWindow(int rows, int columns, const char* spoolPath, const char* name);
void TWI_FreeTextWindow(KT_TEXT_WINDOW* window);
// Writes text with wrapping and scrolling (ESC 'H' clears, ESC 'P' r c moves);
// clear 1 clears the window first. 1, or -1.
int TWI_WriteText(KT_TEXT_WINDOW* window, const char* text, int clear);
// Clears the window, spooling its lines up to the current row first when it
// spools. 1, or -1.
int TWI_ClearWindow(KT_TEXT_WINDOW* window);
// Scrolls by one line: spool mode 2 spools the whole window and clears it;
// mode 1 spools the first line; then the lines move up and the last one is
// blank. 1, or -1.
int TWI_ScrollWindow(KT_TEXT_WINDOW* window);

// Text box of a window. TWB_PutText writes from the current position: LF or
// CR go to the next row, ESC 'H' clears, ESC 'P' and two bytes (row and
// column from 1) move when they name a cell of the box, ESC and another
// byte are skipped; other bytes are stored, wrapping at the width. When the
// rows are full before the text ends it stops: the bytes used; -1 at the
// end of the text (or for a null box or text).
int TWB_PutText(TWB_TEXT* box, const char* text);
// All lines blank, position row 1, column 1.
void TWB_Clear(TWB_TEXT* box);
// Line i (0-based) of the window's text box, width characters, no terminator.
const char* TWI_GetLine(const KT_TEXT_WINDOW* window, int line);
// Opens the spool file for appending; force (or a file beyond the size
// limit) moves it to its "SPB" backup first. 1, or -1.
int TWI_OpenSpool(KT_TEXT_WINDOW* window, int force);
int TWI_CloseSpool(KT_TEXT_WINDOW* window);
// Spools count lines (0: all). 1, -1 the file cannot be opened.
int TWI_SpoolLines(KT_TEXT_WINDOW* window, int count);
void TWI_SetGraphic(KT_TEXT_WINDOW* window, char value);
// The line-end text of the window's line-end mode (1 "\n", 2 and 4 "\r\n",
// 3 "\r"), null for other modes.
const char* TWI_GetLineEnd(const KT_TEXT_WINDOW* window);
// Runs a print command: the format with its "%s" replaced by the window's
// spool path between single quotes (the only value put into the line; "%%"
// gives '%'), through "/bin/sh -c". A line over 511 characters is refused
// ("Command to run too long") and not run: -1. A command the shell cannot
// find or run is traced: 1. 1 once run; -1 missing argument or the shell
// could not start.
int TWI_SpoolSystemOut(KT_TEXT_WINDOW* window, const char* format);

void ISAP_ResetWindowResource(KT_TEXT_WINDOW* window);
void ISAP_SetWindowResource(KT_TEXT_WINDOW* window, int resource);

// Immediate mode of terminal-screen text displays (0 or 1).
void ISAP_SetImmediateMode(int mode);
int ISAP_GetImmediateMode();

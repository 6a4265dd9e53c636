// PC console and its text windows: one console record (ConsoBox) holding up
// to 50 named windows, each a grid of text lines with an optional spool file.
//
// What is built: windows, their settings, text writing with wrapping and
// scrolling, spooling to files with rotation, lookups by name. Windows are
// kept as a model only: nothing is painted on a screen yet, the terminal
// screen's interface resources are not bound, and the key and entry waits
// see no keyboard (no key, 255). The windows of the POS GUI (resources 45
// and 46) show, wait and select through the cash register.
#pragma once
#include <cstdint>
#include <cstdio>

#include "platform/file_stamp.h"

struct TEXT_MANAGER;
struct KTX_WSERV;

constexpr int KTCONSOL_MAX_WINDOWS = 50;
constexpr int KTCONSOL_NAME_SIZE = 81;
constexpr int KTCONSOL_SPOOL_PATH_SIZE = 600;  // spool directory, '/', name, ".SPO"
constexpr int KTCONSOL_DIRECTORY_SIZE = 501;
constexpr int TWI_DEFAULT_SPOOL_MAX_KB = 400;

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
    // The spool file kept open between spooled lines (flushed after each
    // spool) and the file it was opened on; the stamp of a spool directory
    // found missing, so that no open is tried until it appears.
    bool spoolKept;
    plat::FileStamp spoolOpened;
    bool spoolDirectoryMissing;
    plat::FileStamp spoolMissingDirectory;
};

struct ConsoBox {
    char identifier[KTCONSOL_NAME_SIZE];
    char currentWindow[KTCONSOL_NAME_SIZE];
    void* video;
    char spoolDirectory[KTCONSOL_DIRECTORY_SIZE];
    char printCommand1[KTCONSOL_NAME_SIZE];
    char printCommand2[KTCONSOL_NAME_SIZE];
    int32_t timeout;
    int32_t windowCount;
    KT_TEXT_WINDOW* windows[KTCONSOL_MAX_WINDOWS];
    KTX_WSERV* stream;
    TEXT_MANAGER* textManager;
    int32_t number1;
    int32_t number2;
    int32_t debug;
    // Alert of the application: 0 none, 1 warning, 2 bug, 3 fatal, and its
    // text (read and cleared by the alert check of the program's waits).
    int32_t alertLevel;
    char alertText[200];
};

// Process settings copied into each new console.
void KTCONSOL_SetWorkDirectory(const char* base, const char* argument);
void KTCONSOL_SetPrintCommand(const char* text);
void TWI_SetSpoolMaxSize(int sizeKb);
int TWI_GetSpoolMaxSize();

// Console: made with a first window of 23 x 78 named after the identifier.
ConsoBox* KTCONSOL_NewConso(int number1, int number2, const char* identifier, KTX_WSERV* stream,
                            TEXT_MANAGER* textManager);
int KTCONSOL_FreeConso(ConsoBox* console);
int KTCONSOL_SetDebug(ConsoBox* console, int flag);
int KTCONSOL_SetTimeout(ConsoBox* console, int timeout);
// 1, -1 no console or no free slot, -2 the window could not be made (a full
// name of 80 characters or more included).
int KTCONSOL_AddFenetre(ConsoBox* console, const char* name, int rows, int columns);
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
int KTCONSOL_SetFenetreResource(ConsoBox* console, const char* name, int resource);
int KTCONSOL_DisplayFenetreByName(ConsoBox* console, const char* name);
// Takes the window itself; each text is taken when shorter than 80 characters.
int KTCONSOL_SetFenetreTexts(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text1,
                             const char* text2, const char* text3);
// Shows a window: resources 0, 41 and 42 are kept in the console model (1);
// a window of the POS GUI sends its lines to the cash register (1, -1 when
// one could not be sent); other resources need an interface resource, none
// is bound yet (-1).
int KTCONSOL_DisplayFenetre(ConsoBox* console, KT_TEXT_WINDOW* window);

// One window.
KT_TEXT_WINDOW* TWI_NewTextWindow(int rows, int columns, const char* spoolPath, const char* name);
void TWI_FreeTextWindow(KT_TEXT_WINDOW* window);
// Writes text with wrapping and scrolling (ESC 'H' clears, ESC 'P' r c moves);
// clear 1 clears the window first. 1, or -1.
int TWI_WriteText(KT_TEXT_WINDOW* window, const char* text, int clear);
// Line i (0-based) of the window's text box, width characters, no terminator.
const char* TWI_GetLine(const KT_TEXT_WINDOW* window, int line);
// Opens the spool file for appending; force (or a file beyond the size
// limit) moves it to its "SPB" backup first. 1, or -1.
int TWI_OpenSpool(KT_TEXT_WINDOW* window, int force);
int TWI_CloseSpool(KT_TEXT_WINDOW* window);
// Spools count lines (0: all). 1, -1 the file cannot be opened.
int TWI_SpoolLines(KT_TEXT_WINDOW* window, int count);
void TWI_SetGraphic(KT_TEXT_WINDOW* window, char value);

// Key and entry waits: 1 when a key ended them (its id from
// TWAE_GetEventKey), 0 for none (key 255). The keyboard of the PC console is
// not read yet (no key); a window of the POS GUI (resources 45 and 46) waits
// for the cash register's key or entry (interface_box.h).
int TWAE_Action(ConsoBox* console, const char* name, int timeout, int flush);
int TWAE_Info(ConsoBox* console, const char* name, int row, int column, int width, char* field,
              int capacity, const char* format);
int TWAE_GetEventKey();
// Paged text output in a local window, and the selection list of the PC
// console. Not built yet: the page is accepted (1, -1 for a missing
// console, window or text) and nothing is chosen (item 255).
int KTTD_SpoolPage(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                   int column, int clear);
int KTTD_SelectList(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int rows, int columns, int count,
                    int itemWidth, int firstShown, const char* title, const char* items, unsigned char* item);

void ISAP_ResetWindowResource(KT_TEXT_WINDOW* window);
void ISAP_SetWindowResource(KT_TEXT_WINDOW* window, int resource);

// Immediate mode of terminal-screen text displays (0 or 1).
void ISAP_SetImmediateMode(int mode);
int ISAP_GetImmediateMode();

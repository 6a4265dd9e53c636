// The local dialogues of the PC console, run in one text window: a line of a
// display, a data entry in a field, a selection in a list, paged output.
// Each draws into the console's cell buffer and on the screen (without a
// video buffer nothing is drawn and the keys are still awaited). The
// insert mode of the entries and the stop of paged output last from one
// dialogue to the next. Main thread only.
#pragma once

struct ConsoBox;
struct KT_TEXT_WINDOW;

// The widest entry field (the executors' field buffer holds 129 bytes).
constexpr int KTTD_ENTRY_WIDTH_MAX = 128;
// Selection lists: the longest item line drawn, and the most items (143 and
// 255 are the Escape and no-choice codes of the same byte).
constexpr int KTTD_LIST_LINE_MAX = 79;
constexpr int KTTD_LIST_COUNT_MAX = 142;

// One line of a display: the first line (first 1) clears the window and
// draws its fill, frame and title again; the text, cut at the window width
// (and blank-padded to it, so that each line keeps its own row), is written
// with wrapping and scrolling; the attribute is kept in the window. Painted
// on the screen once the line index reaches the last line. 1, or -1.
int KTTD_DisplayLine(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first,
                     int attribute);
// A data entry of width characters at row and column of the window (both
// from 1, the field inside the window), in field (width + 1 bytes, '_' for
// an empty place; an empty field starts all '_'), by the format words
// ("OBL", "NUM", "TOT", "AUTO", "2DECI"...). Keys: 129, 130, 133 and 143 end
// it; 131 and 132 end it once the field is complete; arrows, Backspace,
// Delete, Up (clear) and Insert edit it; typed characters valid for the
// format go in. At the end every '_' is a blank and the key that ended it
// is handed out. Each key wait lasts timeout seconds and the entry goes on
// after one without a key, except with timeout 0 or without keyboard, where
// it ends with key 255. 1; -1 missing argument, width outside 1-128, or the
// field outside the window.
int KTTD_GetEntry(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int row, int column, int width,
                  char* field, const char* format, unsigned char* key);
// A selection among count items of itemWidth bytes (items one after the
// other) in a window of rows lines: the title (lower case) on the first
// line, the items (upper case, cut at the window width and at 79) on the
// lines below, the current one highlighted. Right and Left move (scrolling
// the list), Enter chooses (the item's number, 1-based, shown for a second
// and handed out), Escape gives 143. Key waits as for the entry. The first
// item shown is taken within 1..count. 1; -1 missing argument or a count
// outside 1-142.
int KTTD_SelectList(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int rows, int columns, int count,
                    int itemWidth, int firstShown, const char* title, const char* items, unsigned char* item);
// One line of paged output: the first output (first 1) clears the window
// and ends a stop; the text, cut at the window width, is written; at a full
// page (line index at least rows - 1) a key is awaited with the console
// time-out, then the window scrolls by one line. Escape there stops the
// output: 0, and nothing is shown until the next first output. 1 to go on.
// -1 missing argument.
int KTTD_PageOutput(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first);
// A text page by page in a local window (lines, width, row, column, clear):
// the paged output of the text at line row, first when clear is 1. -1 for a
// missing argument.
int KTTD_SpoolPage(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                   int column, int clear);

#include "periph/console_dialogue.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/helpers.h"
#include "periph/console_keys.h"
#include "periph/console_render.h"
#include "periph/console_windows.h"
#include "periph/entry_format.h"
#include "platform/console_keyboard.h"

namespace {

// Process-wide dialogue state.
int g_insert = 0;      // entries: 1 insert, 0 overwrite
bool g_stopped = false;  // paged output stopped by Escape

unsigned char* CellsOf(ConsoBox* console) { return static_cast<unsigned char*>(console->video); }

// Clears the window (spooling its lines first when it spools) and draws its
// fill, frame and title again.
void StartAgain(ConsoBox* console, KT_TEXT_WINDOW* window) {
    TWI_ClearWindow(window);
    if (unsigned char* cells = CellsOf(console)) {
        KTTD_FillWindow(cells, window, -1, -1, 0, 0);
        KTTD_DrawFrame(cells, window);
        KTTD_DrawTitle(cells, window);
    }
}

// The text cut at the window's width and padded with blanks to it.
std::string WindowLine(const KT_TEXT_WINDOW* window, const char* text) {
    const size_t width = static_cast<size_t>(window->text->width);
    std::string line(text, strnlen(text, width));
    line.resize(width, ' ');
    return line;
}

void Paint(ConsoBox* console, KT_TEXT_WINDOW* window) {
    KTTD_PaintBody(console, window);
    KTTD_PaintScreen(console, window);
}

// One key of a dialogue that goes on without a key: 1 with the key; 0 when
// the dialogue must end without one (time-out 0, or no keyboard).
int DialogueKey(int timeout, unsigned char* key) {
    if (KTTD_WaitKey(timeout, 1, key) == 1) return 1;
    return timeout == 0 || !plat::KeyboardPresent() ? 0 : 1;
}

// "ESC P row column" and a text, as the window's text box reads it.
std::string At(int row, int column, const std::string& text) {
    std::string out = "\x1bP";
    out += static_cast<char>(row);
    out += static_cast<char>(column);
    return out + text;
}

bool Printable(unsigned char c) { return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c < 0xFF); }

}  // namespace

int KTTD_DisplayLine(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first,
                     int attribute) {
    if (console == nullptr || window == nullptr || text == nullptr || window->text == nullptr) return -1;
    if (first == 1) StartAgain(console, window);
    window->displayAttribute = static_cast<uint8_t>(attribute);
    TWI_WriteText(window, WindowLine(window, text).c_str(), 0);
    KTTD_PaintBody(console, window);
    if (line >= window->rows - 1) KTTD_PaintScreen(console, window);
    return 1;
}

int KTTD_GetEntry(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int row, int column, int width,
                  char* field, const char* format, unsigned char* key) {
    if (key != nullptr) *key = KTTD_KEY_NONE;
    if (console == nullptr || window == nullptr || field == nullptr || window->text == nullptr) return -1;
    // A field that the caller's buffer cannot hold, or that leaves the
    // window (its position could not be written), is refused.
    if (width <= 0 || width > KTTD_ENTRY_WIDTH_MAX) return -1;
    if (row < 1 || row > window->rows || column < 1 || column > window->columns || row > 255 || column > 255)
        return -1;
    KttdEntryFormat rules;
    KTTD_ParseEntryFormat(&rules, format);
    window->highlightFirstRow = window->highlightLastRow = row;
    window->highlightFirstColumn = column;
    window->highlightLastColumn = column + width;
    // Empty places are '_' (a field shorter than the width included).
    const size_t given = strnlen(field, static_cast<size_t>(width));
    std::memset(field + given, '_', static_cast<size_t>(width) - given);
    field[width] = '\0';

    unsigned char k = KTTD_KEY_NONE;
    int cursor = 0;
    for (;;) {
        TWI_WriteText(window, At(row, column, std::string(field, static_cast<size_t>(width))).c_str(), 0);
        Paint(console, window);
        // An automatic entry ends by itself once the field is full and
        // complete (an incomplete one waits for a key instead of looping).
        if (cursor == width && rules.automatic != 0 && KTTD_IsEntryComplete(&rules, field, width) == 1) {
            k = KTTD_KEY_TAB;
        } else {
            if (DialogueKey(timeout, &k) == 0) {
                k = KTTD_KEY_NONE;
                break;
            }
            cursor %= width;
        }
        if (k == KTTD_KEY_PAGE_DOWN || k == KTTD_KEY_PAGE_UP || k == KTTD_KEY_F11 || k == KTTD_KEY_ESCAPE) break;
        if (k == KTTD_KEY_ENTER || k == KTTD_KEY_TAB) {
            if (KTTD_IsEntryComplete(&rules, field, width) == 1) break;
            continue;
        }
        switch (k) {
            case KTTD_KEY_RIGHT: {
                char under = field[cursor];
                if (cursor < width && KTTD_IsEntryCharValid(&rules, &under) == 1) ++cursor;
                break;
            }
            case KTTD_KEY_LEFT:
                if (cursor > 0) --cursor;
                break;
            case KTTD_KEY_BACKSPACE:
                if (cursor > 0) KTTD_DeleteEntryChar(field, --cursor, width);
                break;
            case KTTD_KEY_DELETE: KTTD_DeleteEntryChar(field, cursor, width); break;
            case KTTD_KEY_UP:
                std::memset(field, '_', static_cast<size_t>(width));
                cursor = 0;
                break;
            case KTTD_KEY_INSERT: g_insert = g_insert ? 0 : 1; break;
            default: {
                char typed = static_cast<char>(k);
                if (Printable(k) && cursor < width && KTTD_IsEntryCharValid(&rules, &typed) == 1) {
                    KTTD_InsertEntryChar(field, cursor, width, g_insert, typed);
                    ++cursor;
                }
                break;
            }
        }
    }
    for (int i = 0; i < width; ++i)
        if (field[i] == '_') field[i] = ' ';
    field[width] = '\0';
    if (key != nullptr) *key = k;
    return 1;
}

namespace {

// A selection list being shown.
struct List {
    ConsoBox* console;
    KT_TEXT_WINDOW* window;
    int columns;  // width of the list's lines
    int count, itemWidth;
    const char* title;
    const char* items;
    int first, last;  // items shown, 1-based
    int firstLine;    // window line of the first item
    int current;      // window line of the current item
};

void DrawList(List& l) {
    KT_TEXT_WINDOW* w = l.window;
    const int spoolMode = w->spoolMode;
    w->spoolMode = 0;  // a list is never spooled
    TWI_WriteText(w, "\x1bH", 0);
    if (l.title != nullptr && l.title[0] != '\0') {
        std::string title(l.title, strnlen(l.title, KTCONSOL_NAME_SIZE));
        if (static_cast<int>(title.size()) >= l.columns) title.resize(static_cast<size_t>(std::max(l.columns - 1, 0)));
        for (char& c : title)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        TWI_WriteText(w, At(1, 1, title).c_str(), 0);
    }
    {
        w->highlightFirstRow = w->highlightLastRow = l.current;
        w->highlightFirstColumn = 1;
        w->highlightLastColumn = l.itemWidth + 1;
        const size_t shown = static_cast<size_t>(std::min({l.itemWidth, KTTD_LIST_LINE_MAX, l.columns}));
        for (int i = l.first, line = l.firstLine; i <= l.last && line <= 255; ++i, ++line) {
            const char* item = l.items + static_cast<size_t>(i - 1) * static_cast<size_t>(l.itemWidth);
            std::string text(item, strnlen(item, shown));
            for (char& c : text)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            TWI_WriteText(w, At(line, 1, text).c_str(), 0);
        }
    }
    w->spoolMode = spoolMode;
    Paint(l.console, w);
}

}  // namespace

int KTTD_SelectList(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int rows, int columns, int count,
                    int itemWidth, int firstShown, const char* title, const char* items, unsigned char* item) {
    if (item != nullptr) *item = KTTD_KEY_NONE;
    if (console == nullptr || window == nullptr || items == nullptr || window->text == nullptr) return -1;
    if (count < 1 || count > KTTD_LIST_COUNT_MAX || itemWidth < 1 || rows < 1) return -1;
    const int width = columns > 0 && columns < window->columns ? columns : window->columns;
    List l{console, window, width, count, itemWidth, title, items, 0, 0, 1, 1};
    // The items shown lie within the list.
    l.first = firstShown < 1 ? 1 : firstShown > count ? count : firstShown;
    l.last = std::max(l.first, rows + l.first - 1);
    if (title != nullptr && title[0] != '\0') {
        l.firstLine = 2;
        l.last = std::max(l.first, l.last - 1);
    }
    l.last = std::min(l.last, count);
    l.current = l.firstLine;
    DrawList(l);
    unsigned char k = KTTD_KEY_NONE;
    for (;;) {
        if (DialogueKey(timeout, &k) == 0) return 1;  // no key: nothing chosen
        if (k == KTTD_KEY_ENTER) break;
        if (k == KTTD_KEY_ESCAPE) {
            if (item != nullptr) *item = KTTD_KEY_ESCAPE;
            return 1;
        }
        const int lastLine = l.firstLine + (l.last - l.first);
        if (k == KTTD_KEY_RIGHT) {
            if (l.current + l.first - l.firstLine >= count) continue;
            if (l.current < lastLine) {
                ++l.current;
            } else if (l.last < count) {
                ++l.first;
                ++l.last;
            }
        } else if (k == KTTD_KEY_LEFT) {
            if (l.current > l.firstLine) {
                --l.current;
            } else if (l.first > 1) {
                --l.first;
                --l.last;
            }
        } else {
            continue;
        }
        DrawList(l);
    }
    const int chosen = l.current + l.first - l.firstLine;
    std::string shown = "\x1bH";
    shown += static_cast<char>(chosen);
    TWI_WriteText(window, shown.c_str(), 0);
    Paint(console, window);
    WSleep(1000);  // the choice stays on the screen for a second
    if (item != nullptr) *item = static_cast<unsigned char>(chosen);
    return 1;
}

int KTTD_PageOutput(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first) {
    if (console == nullptr || window == nullptr || text == nullptr || window->text == nullptr) return -1;
    if (first == 1) {
        StartAgain(console, window);
        g_stopped = false;
    } else if (g_stopped) {
        return 0;
    }
    TWI_WriteText(window, WindowLine(window, text).c_str(), 0);
    KTTD_PaintBody(console, window);
    if (line < window->rows - 1) {
        KTTD_PaintScreen(console, window);
        return 1;
    }
    // A full page: the reader says when to go on.
    KTTD_PaintScreen(console, window);
    unsigned char k = KTTD_KEY_NONE;
    KTTD_WaitKey(console->timeout, 1, &k);
    TWI_ScrollWindow(window);
    KTTD_PaintBody(console, window);
    if (k == KTTD_KEY_ESCAPE) {
        g_stopped = true;
        return 0;
    }
    KTTD_PaintScreen(console, window);
    return 1;
}

int KTTD_SpoolPage(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                   int column, int clear) {
    (void)lines;
    (void)width;
    (void)column;
    if (console == nullptr || window == nullptr || text == nullptr) return -1;
    return KTTD_PageOutput(console, window, text, row, clear == 1 ? 1 : 0);
}

#include "periph/console_render.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/helpers.h"
#include "periph/console_windows.h"

namespace {

constexpr unsigned char kFrameSets[4][6] = {
    {0x20, 0x20, 0x20, 0x20, 0x20, 0x20},
    {0xC4, 0xB3, 0xDA, 0xBF, 0xD9, 0xC0},
    {0xCD, 0xBA, 0xC9, 0xBB, 0xBC, 0xC8},
    {0xDC, 0xDB, 0xDC, 0xDC, 0xDB, 0xDB},
};
enum { kHorizontal, kVertical, kTopLeft, kTopRight, kBottomRight, kBottomLeft };

// The last cell of the grid, which the fill and the text never write.
constexpr long long kLastCell = (KTTD_CELL_BYTES - 2) / 2;

// Screen rectangle of a window's text: first row and column (0 taken as 1),
// rows and columns. Wide types: positions come from callers unchecked.
struct Geometry {
    long long row, column, rows, columns;
};

Geometry GeometryOf(const KT_TEXT_WINDOW* window) {
    return {window->row == 0 ? 1 : window->row, window->column == 0 ? 1 : window->column,
            std::max(window->rows, 0), std::max(window->columns, 0)};
}

// Writes one cell when it lies on the grid (and, for the fill and the text,
// before the last cell).
void PutCell(unsigned char* cells, long long row, long long column, unsigned char character,
             unsigned char attribute, bool glyph, bool spareLastCell) {
    if (row < 0 || row >= KTTD_ROWS || column < 0 || column >= KTTD_COLUMNS) return;
    const long long index = row * KTTD_COLUMNS + column;
    if (spareLastCell && index >= kLastCell) return;
    cells[index * 2] = character;
    cells[index * 2 + 1] = attribute;
    cells[KTTD_GLYPH_OFFSET + index] = glyph ? 1 : 0;
}

// Rows (or columns) first..last clipped to 0..limit - 1; false when none.
bool Clip(long long& first, long long& last, int limit) {
    first = std::max(first, 0LL);
    last = std::min(last, static_cast<long long>(limit - 1));
    return first <= last;
}

unsigned char FrameAttribute(const KT_TEXT_WINDOW* window) {
    return static_cast<unsigned char>(window->frameColor1 * 16 + window->frameColor2);
}

// A text centred on a border row: a blank, at most columns - 1 characters,
// a blank, centred on what is drawn.
void DrawBorderText(unsigned char* cells, const KT_TEXT_WINDOW* window, const char* text, long long row) {
    if (text[0] == '\0') return;
    const Geometry g = GeometryOf(window);
    const long long length = static_cast<long long>(strnlen(text, KTCONSOL_NAME_SIZE));
    const long long drawn = std::max(0LL, std::min(length, g.columns - 1));
    const long long start = g.column - 1 + (g.columns - drawn) / 2;
    const unsigned char attribute = FrameAttribute(window);
    PutCell(cells, row, start, ' ', attribute, false, false);
    for (long long i = 0; i < drawn; ++i)
        PutCell(cells, row, start + 1 + i, static_cast<unsigned char>(text[i]), attribute, false, false);
    PutCell(cells, row, start + 1 + drawn, ' ', attribute, false, false);
}

unsigned char* CellsOf(ConsoBox* console) {
    return console != nullptr ? static_cast<unsigned char*>(console->video) : nullptr;
}

}  // namespace

const unsigned char* KTTD_FrameSet(int style) {
    return kFrameSets[style >= 0 && style <= 3 ? style : 3];
}

int KTTD_FillWindow(unsigned char* cells, const KT_TEXT_WINDOW* window, int row, int column, int character,
                    int attribute) {
    if (cells == nullptr || window == nullptr) return -1;
    Geometry g = GeometryOf(window);
    if (row != -1) g.row = row;
    if (column != -1) g.column = column;
    const unsigned char fill = character != 0 ? static_cast<unsigned char>(character) : window->fillCharacter;
    const unsigned char attr = attribute != 0 ? static_cast<unsigned char>(attribute)
                                              : static_cast<unsigned char>(window->textColor2 * 16 + window->textColor1);
    long long top = g.row, bottom = g.row + g.rows, left = g.column, right = g.column + g.columns;
    if (!Clip(top, bottom, KTTD_ROWS) || !Clip(left, right, KTTD_COLUMNS)) return 1;
    for (long long r = top; r <= bottom; ++r)
        for (long long c = left; c <= right; ++c) PutCell(cells, r, c, fill, attr, true, true);
    return 1;
}

int KTTD_DrawFrame(unsigned char* cells, const KT_TEXT_WINDOW* window) {
    if (cells == nullptr || window == nullptr) return -1;
    const Geometry g = GeometryOf(window);
    const unsigned char* set = KTTD_FrameSet(window->frameStyle);
    const unsigned char attr = FrameAttribute(window);
    const long long top = g.row - 1, bottom = g.row + g.rows;
    const long long left = g.column - 1, right = g.column + g.columns;
    PutCell(cells, top, left, set[kTopLeft], attr, true, false);
    PutCell(cells, top, right, set[kTopRight], attr, true, false);
    PutCell(cells, bottom, left, set[kBottomLeft], attr, true, false);
    PutCell(cells, bottom, right, set[kBottomRight], attr, true, false);
    long long first = left + 1, last = right - 1;
    if (Clip(first, last, KTTD_COLUMNS)) {
        for (long long c = first; c <= last; ++c) {
            PutCell(cells, top, c, set[kHorizontal], attr, true, false);
            PutCell(cells, bottom, c, set[kHorizontal], attr, true, false);
        }
    }
    first = top + 1;
    last = bottom - 1;
    if (Clip(first, last, KTTD_ROWS)) {
        for (long long r = first; r <= last; ++r) {
            PutCell(cells, r, left, set[kVertical], attr, true, false);
            PutCell(cells, r, right, set[kVertical], attr, true, false);
        }
    }
    return 1;
}

int KTTD_DrawTitle(unsigned char* cells, const KT_TEXT_WINDOW* window) {
    if (cells == nullptr || window == nullptr) return -1;
    DrawBorderText(cells, window, window->title, GeometryOf(window).row - 1);
    return 1;
}

int KTTD_DrawFooter(unsigned char* cells, const KT_TEXT_WINDOW* window) {
    if (cells == nullptr || window == nullptr) return -1;
    const Geometry g = GeometryOf(window);
    DrawBorderText(cells, window, window->footer, g.row + g.rows);
    return 1;
}

int KTTD_PaintBody(ConsoBox* console, const KT_TEXT_WINDOW* window) {
    unsigned char* cells = CellsOf(console);
    if (cells == nullptr || window == nullptr || window->text == nullptr) return -1;
    KTTD_DrawFrame(cells, window);
    KTTD_DrawTitle(cells, window);
    KTTD_DrawFooter(cells, window);
    const Geometry g = GeometryOf(window);
    const TWB_TEXT* box = window->text;
    const unsigned char normal = static_cast<unsigned char>(window->textColor1 * 16 + window->textColor2);
    const unsigned char highlight =
        static_cast<unsigned char>((window->textColor2 * 16 + window->textColor1) & 0x7F);
    long long first = g.row, last = g.row + std::min<long long>(g.rows, box->rows) - 1;
    long long left = g.column, right = g.column + std::min<long long>(g.columns, box->width) - 1;
    if (!Clip(first, last, KTTD_ROWS) || !Clip(left, right, KTTD_COLUMNS)) return 1;
    for (long long r = first; r <= last; ++r) {
        const long long i = r - g.row;  // line of the window, from 0
        const char* line = box->buffer + i * box->width;
        const bool rowLit = i + 1 >= window->highlightFirstRow && i + 1 <= window->highlightLastRow;
        for (long long c = left; c <= right; ++c) {
            const long long j = c - g.column;
            const bool lit = rowLit && j + 1 >= window->highlightFirstColumn && j + 1 <= window->highlightLastColumn;
            PutCell(cells, r, c, static_cast<unsigned char>(line[j]), lit ? highlight : normal, false, true);
        }
    }
    return 1;
}

int KTTD_PaintScreen(ConsoBox* console, const KT_TEXT_WINDOW* window) {
    const unsigned char* cells = CellsOf(console);
    if (cells == nullptr || window == nullptr) return -1;
    if (window->columns >= 78 && window->rows >= 23) {
        WriteVideo(1, 1, KTTD_COLUMNS, KTTD_ROWS, cells, cells + KTTD_GLYPH_OFFSET);
        return 1;
    }
    const Geometry g = GeometryOf(window);
    long long top = g.row - 1, bottom = g.row + g.rows, left = g.column - 1, right = g.column + g.columns;
    if (!Clip(top, bottom, KTTD_ROWS) || !Clip(left, right, KTTD_COLUMNS)) return 1;
    const size_t width = static_cast<size_t>(right - left + 1);
    std::vector<unsigned char> rectangle;
    std::vector<unsigned char> glyphs;
    rectangle.reserve(width * 2 * static_cast<size_t>(bottom - top + 1));
    glyphs.reserve(width * static_cast<size_t>(bottom - top + 1));
    for (long long r = top; r <= bottom; ++r) {
        const long long index = r * KTTD_COLUMNS + left;
        rectangle.insert(rectangle.end(), cells + index * 2, cells + index * 2 + width * 2);
        glyphs.insert(glyphs.end(), cells + KTTD_GLYPH_OFFSET + index, cells + KTTD_GLYPH_OFFSET + index + width);
    }
    WriteVideo(static_cast<int>(left + 1), static_cast<int>(top + 1), static_cast<int>(right + 1),
               static_cast<int>(bottom + 1), rectangle.data(), glyphs.data());
    return 1;
}

int KTTD_ShowWindow(ConsoBox* console, KT_TEXT_WINDOW* window) {
    unsigned char* cells = CellsOf(console);
    if (cells != nullptr && window != nullptr) {
        KTTD_FillWindow(cells, window, -1, -1, 0, 0);
        KTTD_DrawFrame(cells, window);
        KTTD_DrawTitle(cells, window);
        KTTD_DrawFooter(cells, window);
        KTTD_PaintBody(console, window);
        if (window->resource != 0) KTTD_PaintScreen(console, window);
    }
    return 1;
}

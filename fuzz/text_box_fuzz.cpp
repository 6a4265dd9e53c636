// Fuzz target of a console window's text box and drawing: a window of the
// sizes and position the first bytes give, then the rest as text with its
// escapes (ESC H, ESC P row column, ESC and anything) written into it, with
// wrapping and scrolling, then drawn into a cell buffer of exactly the
// console's size. The position stays within the box (1-based, at most one
// past it), the spare line stays blank and its 10 bytes zero, and the
// drawing writes nothing past the cells and their glyph flags.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "periph/console_render.h"
#include "periph/console_windows.h"

namespace {

void CheckBox(const TWB_TEXT* box) {
    Check(box->row >= 1 && box->row <= box->rows + 1, "row out of the box");
    Check(box->column >= 1 && box->column <= box->width + 1, "column out of the box");
    const char* spare = box->buffer + static_cast<size_t>(box->width) * box->rows;
    for (int i = 0; i < box->width; ++i) Check(spare[i] == ' ', "spare line written");
    for (int i = 0; i < 10; ++i) Check(spare[box->width + i] == 0, "spare bytes written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6 || size > 8192) return 0;
    const int rows = 1 + data[0] % 40;
    const int columns = 1 + data[1] % 120;
    const int row = static_cast<int8_t>(data[2]);
    const int column = static_cast<int8_t>(data[3]);
    const int style = static_cast<int8_t>(data[4]);
    const bool direct = (data[5] & 1) != 0;
    const std::string text(reinterpret_cast<const char*>(data + 6), size - 6);

    KT_TEXT_WINDOW* window = TWI_NewTextWindow(rows, columns, "", "FUZZ");
    if (window == nullptr) return 0;
    window->row = row;
    window->column = column;
    window->frameStyle = style;
    window->resource = 0;
    std::snprintf(window->footer, sizeof window->footer, "%s", "pied");
    if (direct) {
        // The box alone: it stops when full.
        const int used = TWB_PutText(window->text, text.c_str());
        Check(used == -1 || (used >= 0 && static_cast<size_t>(used) <= text.size()), "bytes used out of the text");
    } else {
        Check(TWI_WriteText(window, text.c_str(), data[5] & 2 ? 1 : 0) == 1, "write refused");
    }
    CheckBox(window->text);

    // Drawn into a cell buffer of exactly the console's size.
    std::vector<unsigned char> block(KTTD_VIDEO_BYTES, 0xEE);
    ConsoBox console{};
    console.video = block.data();
    KTTD_ShowWindow(&console, window);
    for (int i = KTTD_GLYPH_OFFSET + KTTD_COLUMNS * KTTD_ROWS; i < KTTD_VIDEO_BYTES; ++i)
        Check(block[static_cast<size_t>(i)] == 0xEE, "drawn past the glyph flags");
    TWI_FreeTextWindow(window);
    return 0;
}

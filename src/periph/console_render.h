// Drawing the console's text windows into its cell buffer and on the screen.
//
// The cell buffer is the console's video block: 80 x 25 cells of two bytes
// (character, attribute), row by row, 4,000 bytes; after them, at byte
// 4,000, one flag a cell (2,000 bytes) telling the screen writer which cells
// are code page 437 glyphs (frames and fill) and which Windows-1252 text.
// An attribute is background x 16 + foreground, colours 0 to 15.
//
// A window of R rows and C columns at row r, column c (0 drawn as 1) fills
// rows r to r + R and columns c to c + C, has its frame one cell outside
// its text (corners at (r - 1, c - 1), (r - 1, c + C), (r + R, c - 1),
// (r + R, c + C)), its title centred on the top border, its footer on the
// bottom one. Every cell write is clipped to the grid; the fill and the
// text never write the last cell of the grid. Main thread only.
#pragma once
#include <cstdint>

struct ConsoBox;
struct KT_TEXT_WINDOW;

constexpr int KTTD_COLUMNS = 80;
constexpr int KTTD_ROWS = 25;
constexpr int KTTD_CELL_BYTES = KTTD_COLUMNS * KTTD_ROWS * 2;  // 4,000
constexpr int KTTD_GLYPH_OFFSET = KTTD_CELL_BYTES;             // glyph flags, one a cell
constexpr int KTTD_VIDEO_BYTES = 8192;                         // the console's video block

// The frame set of a style, six code page 437 bytes: horizontal, vertical,
// top-left, top-right, bottom-right, bottom-left. Styles 0 blank, 1 single,
// 2 double, 3 blocks; any other value draws as 3.
const unsigned char* KTTD_FrameSet(int style);

// Fills rows + 1 lines of columns + 1 cells from the given position (row
// and column -1: the window's), with the character (0: the window's fill
// character) and the attribute (0: text colour 2 x 16 + text colour 1).
// 1, or -1 without buffer or window.
int KTTD_FillWindow(unsigned char* cells, const KT_TEXT_WINDOW* window, int row, int column, int character,
                    int attribute);
// The frame of the window's style, in the frame attribute (frame colour 1 x
// 16 + frame colour 2). 1, or -1.
int KTTD_DrawFrame(unsigned char* cells, const KT_TEXT_WINDOW* window);
// Title on the top border / footer on the bottom one, when not empty: a
// blank, at most columns - 1 characters, a blank, centred on the length
// drawn. 1, or -1.
int KTTD_DrawTitle(unsigned char* cells, const KT_TEXT_WINDOW* window);
int KTTD_DrawFooter(unsigned char* cells, const KT_TEXT_WINDOW* window);
// Frame, title and footer, then every text cell (text colour 1 x 16 + text
// colour 2; inside the highlighted region colour 2 x 16 + colour 1 with bit
// 7 cleared) into the console's cell buffer. 1, or -1 without console,
// window, video buffer or text box.
int KTTD_PaintBody(ConsoBox* console, const KT_TEXT_WINDOW* window);
// Copies the window to the screen: a window below 78 columns or below 23
// rows as its rectangle with the frame, a larger one as the whole screen.
// 1, or -1.
int KTTD_PaintScreen(ConsoBox* console, const KT_TEXT_WINDOW* window);
// Fill, frame, title, footer and text into the cell buffer; painted on the
// screen too when the window's resource number is not 0. 1.
int KTTD_ShowWindow(ConsoBox* console, KT_TEXT_WINDOW* window);

// Drawing windows into the console's cell buffer and on the screen: frame
// sets, fill, title and footer, text attributes and the highlighted region,
// clipping at the grid, and which part of the screen a paint writes.
#include "periph/console_render.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "periph/console_windows.h"
#include "support/console_fixture.h"
#include "support/screen_reader.h"

namespace {

using Render = testsupport::ConsoleFixture;

// Corners and edges of a 3 x 5 window at row 5, column 10, by style.
TEST_F(Render, FrameStylesTable) {
    struct Case {
        int style;
        unsigned char bytes[6];  // horizontal, vertical, TL, TR, BR, BL
    } cases[] = {
        {0, {0x20, 0x20, 0x20, 0x20, 0x20, 0x20}},
        {1, {0xC4, 0xB3, 0xDA, 0xBF, 0xD9, 0xC0}},
        {2, {0xCD, 0xBA, 0xC9, 0xBB, 0xBC, 0xC8}},
        {3, {0xDC, 0xDB, 0xDC, 0xDC, 0xDB, 0xDB}},
    };
    KT_TEXT_WINDOW* w = Add("W", 3, 5, 5, 10);
    ASSERT_NE(w, nullptr);
    w->frameColor1 = 4;
    w->frameColor2 = 14;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        w->frameStyle = c.style;
        ASSERT_EQ(KTTD_DrawFrame(cells(), w), 1);
        EXPECT_EQ(Char(4, 9), c.bytes[2]);   // top-left
        EXPECT_EQ(Char(4, 15), c.bytes[3]);  // top-right
        EXPECT_EQ(Char(8, 15), c.bytes[4]);  // bottom-right
        EXPECT_EQ(Char(8, 9), c.bytes[5]);   // bottom-left
        for (int col = 10; col <= 14; ++col) {
            EXPECT_EQ(Char(4, col), c.bytes[0]);
            EXPECT_EQ(Char(8, col), c.bytes[0]);
        }
        for (int row = 5; row <= 7; ++row) {
            EXPECT_EQ(Char(row, 9), c.bytes[1]);
            EXPECT_EQ(Char(row, 15), c.bytes[1]);
        }
        EXPECT_EQ(Attr(4, 9), 4 * 16 + 14);
        EXPECT_EQ(Glyph(4, 9), 1);
        EXPECT_EQ(Glyph(6, 15), 1);
        EXPECT_EQ(Char(6, 12), 0);  // the frame draws no text cell
    }
}

// A style outside 0-3 draws the blocks of style 3, never beyond the sets.
TEST_F(Render, FrameStyleOutsideTheSetsDrawsAsStyle3_Mended) {
    for (int style : {4, 7, -1, 1 << 30}) {
        SCOPED_TRACE(style);
        EXPECT_EQ(std::memcmp(KTTD_FrameSet(style), KTTD_FrameSet(3), 6), 0);
        KT_TEXT_WINDOW w{};
        w.rows = 1;
        w.columns = 1;
        w.row = 2;
        w.column = 2;
        w.frameStyle = style;
        ASSERT_EQ(KTTD_DrawFrame(cells(), &w), 1);
        EXPECT_EQ(Char(1, 1), 0xDC);
        EXPECT_EQ(Char(2, 1), 0xDB);
    }
}

TEST_F(Render, WindowStylesBySize) {
    KT_TEXT_WINDOW* large = First();  // 23 x 78
    EXPECT_EQ(large->frameStyle, 2);
    EXPECT_EQ(large->fillCharacter, 177);
    EXPECT_EQ(large->textColor1 * 16 + large->textColor2, 0xF1);
    KT_TEXT_WINDOW* small = Add("S", 10, 40);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->frameStyle, 1);
    EXPECT_EQ(small->fillCharacter, ' ');
    // The fill: rows + 1 lines of columns + 1 cells, fill attribute text
    // colour 2 x 16 + text colour 1, flagged as glyphs.
    ASSERT_EQ(KTTD_FillWindow(cells(), large, -1, -1, 0, 0), 1);
    EXPECT_EQ(Char(1, 1), 177);
    EXPECT_EQ(Attr(1, 1), 0x1F);
    EXPECT_EQ(Glyph(1, 1), 1);
    EXPECT_EQ(Char(24, 78), 177);  // row r + R, column c + C - 1
    EXPECT_EQ(Char(0, 0), 0);      // the frame row is not filled
    // Explicit position, character and attribute.
    ASSERT_EQ(KTTD_FillWindow(cells(), small, 3, 4, '*', 0x2E), 1);
    EXPECT_EQ(Char(3, 4), '*');
    EXPECT_EQ(Attr(13, 44), 0x2E);
    EXPECT_EQ(Char(14, 44), 177);  // outside: left as it was
}

TEST_F(Render, TitleAndFooterCentredOnTheBorders) {
    KT_TEXT_WINDOW* w = Add("W", 4, 10, 5, 20);
    ASSERT_NE(w, nullptr);
    std::strcpy(w->title, "AB");
    std::strcpy(w->footer, "XYZW");
    w->frameColor1 = 1;
    w->frameColor2 = 7;
    ASSERT_EQ(KTTD_DrawFrame(cells(), w), 1);
    ASSERT_EQ(KTTD_DrawTitle(cells(), w), 1);
    ASSERT_EQ(KTTD_DrawFooter(cells(), w), 1);
    // Title: (10 - 2) / 2 = 4 cells after column 19: a blank, "AB", a blank.
    EXPECT_EQ(Text(4, 19, 12), std::string("\xDA\xC4\xC4\xC4 AB \xC4\xC4\xC4\xBF"));
    EXPECT_EQ(Glyph(4, 24), 0);  // text, not a glyph
    EXPECT_EQ(Attr(4, 24), 0x17);
    // Footer: (10 - 4) / 2 = 3 cells after column 19.
    EXPECT_EQ(Text(9, 19, 12), std::string("\xC0\xC4\xC4 XYZW \xC4\xC4\xD9"));
}

// A title longer than the window is cut to columns - 1 characters and
// centred on what is drawn: it stays on the border, from the left corner.
TEST_F(Render, LongTitleCutAndCentredWithinTheFrame_Mended) {
    KT_TEXT_WINDOW* w = Add("W", 2, 10, 5, 30);
    ASSERT_NE(w, nullptr);
    std::memset(w->title, 'T', 60);
    w->title[60] = '\0';
    ASSERT_EQ(KTTD_DrawTitle(cells(), w), 1);
    for (int col = 0; col < 29; ++col) EXPECT_EQ(Char(4, col), 0) << col;  // nothing left of the frame
    EXPECT_EQ(Text(4, 29, 11), " TTTTTTTTT ");
    EXPECT_EQ(Char(4, 40), 0);
}

TEST_F(Render, BodyAttributesAndHighlightedRegion) {
    KT_TEXT_WINDOW* w = Add("W", 3, 8, 10, 10);
    ASSERT_NE(w, nullptr);
    w->textColor1 = 9;
    w->textColor2 = 12;
    ASSERT_EQ(TWI_WriteText(w, "abcdefgh12345678", 0), 1);
    w->highlightFirstRow = w->highlightLastRow = 2;
    w->highlightFirstColumn = 3;
    w->highlightLastColumn = 5;
    ASSERT_EQ(KTTD_PaintBody(console, w), 1);
    EXPECT_EQ(Text(10, 10, 8), "abcdefgh");
    EXPECT_EQ(Text(11, 10, 8), "12345678");
    EXPECT_EQ(Attr(10, 10), 0x9C);  // text colour 1 x 16 + text colour 2
    EXPECT_EQ(Attr(11, 11), 0x9C);
    EXPECT_EQ(Attr(11, 12), 0x49);  // (12 x 16 + 9) with bit 7 cleared
    EXPECT_EQ(Attr(11, 14), 0x49);
    EXPECT_EQ(Attr(11, 15), 0x9C);
    EXPECT_EQ(Glyph(10, 10), 0);
    // Frame, title and footer come with every body paint (the title, the
    // full name "W001001" in 8 columns, starts on the corner).
    EXPECT_EQ(Text(9, 9, 9), " W001001 ");
    EXPECT_EQ(Char(10, 9), 0xB3);
    EXPECT_EQ(Char(13, 18), 0xD9);
    // Without a video buffer: -1, nothing drawn.
    console->video = nullptr;
    EXPECT_EQ(KTTD_PaintBody(console, w), -1);
    EXPECT_EQ(KTTD_PaintScreen(console, w), -1);
    console->video = block.data();
}

// Windows that leave the grid: every cell they draw lies on the grid, no
// row spills into the next, the block and its canary are untouched past the
// glyph flags, and the fill and the text never write the last cell.
TEST_F(Render, WindowsOffTheGridAreClipped_Mended) {
    struct Case {
        const char* what;
        int rows, columns, row, column;
    } cases[] = {
        {"3 x 1024 at (20, 3)", 3, 1024, 20, 3},
        {"1 x 1 at the last cell", 1, 1, 24, 79},
        {"5 x 20 at (2, 70): past the right edge", 5, 20, 2, 70},
        {"10 x 10 at (-5, -5)", 10, 10, -5, -5},
        {"4 x 4 below the grid", 4, 4, 30, 10},
        {"huge position", 2, 2, 2000000000, 2000000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(block.begin(), block.begin() + KTTD_VIDEO_BYTES, 'Z');
        KT_TEXT_WINDOW* w = Add("C", c.rows, c.columns, c.row, c.column, 41);
        ASSERT_NE(w, nullptr);
        std::strcpy(w->title, "A TITLE THAT IS LONGER THAN SOME WINDOWS");
        std::strcpy(w->footer, "FOOTER");
        ASSERT_EQ(TWI_WriteText(w, std::string(200, 'x').c_str(), 0), 1);
        EXPECT_EQ(KTTD_ShowWindow(console, w), 1);
        EXPECT_TRUE(CanaryIntact());
        for (int i = 6000; i < KTTD_VIDEO_BYTES; ++i) ASSERT_EQ(block[static_cast<size_t>(i)], 'Z') << i;
        // Every written cell lies inside the window's rectangle with its
        // frame, clipped.
        const long long r = c.row == 0 ? 1 : c.row, col0 = c.column == 0 ? 1 : c.column;
        for (int row = 0; row < 25; ++row) {
            for (int col = 0; col < 80; ++col) {
                const bool inside = row >= r - 1 && row <= r + c.rows && col >= col0 - 1 && col <= col0 + c.columns;
                if (!inside) {
                    ASSERT_EQ(Char(row, col), 'Z') << row << "," << col;
                }
            }
        }
        if (c.row == 24 && c.column == 79) {
            EXPECT_EQ(Char(24, 79), 'Z');   // the last cell: no fill, no text
            EXPECT_EQ(Char(24, 78), 0xB3);  // its frame is drawn
        }
        // Free the slot for the next case.
        for (KT_TEXT_WINDOW*& slot : console->windows)
            if (slot == w) {
                TWI_FreeTextWindow(slot);
                slot = nullptr;
            }
    }
}

// A small window paints its framed rectangle only; one of 23 x 78 the whole
// screen, which the terminal then shows as the cell model (iconv oracle).
TEST_F(Render, PaintWritesTheRectangleOrTheWholeScreen) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    WVideoSetOutput(fds[1]);
    std::vector<unsigned char> before(4000);
    for (size_t i = 0; i < before.size(); i += 2) {
        before[i] = '.';
        before[i + 1] = 0x07;
    }
    ASSERT_EQ(WriteVideo(1, 1, 80, 25, before.data()), 0);
    std::fill(block.begin(), block.begin() + 4000, 0);

    KT_TEXT_WINDOW* small = Add("S", 3, 6, 10, 30, 41);
    ASSERT_NE(small, nullptr);
    small->title[0] = '\0';
    ASSERT_EQ(TWI_WriteText(small, "hello", 0), 1);
    ASSERT_EQ(KTTD_ShowWindow(console, small), 1);
    const WVideoCell* image = WVideoImage();
    for (int row = 0; row < 25; ++row) {
        for (int col = 0; col < 80; ++col) {
            const bool inside = row >= 9 && row <= 13 && col >= 29 && col <= 36;
            const WVideoCell& cell = image[row * 80 + col];
            if (inside) {
                ASSERT_EQ(cell.character, Char(row, col)) << row << "," << col;
                ASSERT_EQ(cell.glyph, Glyph(row, col)) << row << "," << col;
            } else {
                ASSERT_EQ(cell.character, '.') << row << "," << col;
            }
        }
    }
    EXPECT_EQ(image[10 * 80 + 30].character, 'h');
    EXPECT_EQ(image[9 * 80 + 29].character, 0xDA);

    KT_TEXT_WINDOW* large = First();
    std::strcpy(large->title, "CAISSE");
    ASSERT_EQ(TWI_WriteText(large, "Bonjour \xE9t\xE9", 0), 1);
    large->resource = 41;
    ASSERT_EQ(KTTD_ShowWindow(console, large), 1);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(image[i].character, block[static_cast<size_t>(i * 2)]) << i;
        ASSERT_EQ(image[i].attribute, block[static_cast<size_t>(i * 2 + 1)]) << i;
    }
    // What the terminal shows.
    testsupport::ScreenReader reader;
    char buf[8192];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) reader.feed(std::string(buf, static_cast<size_t>(n)));
    WVideoSetOutput(-1);
    close(fds[0]);
    close(fds[1]);
    // The last cell was never drawn by the window: the model holds zero there.
    EXPECT_EQ(reader.mismatch(cells(), glyphs()), "");
    EXPECT_EQ(reader.at(0, 0).codePoint, 0x2554u);   // ╔
    EXPECT_EQ(reader.at(0, 79).codePoint, 0x2557u);  // ╗
    EXPECT_EQ(reader.at(1, 0).codePoint, 0x2551u);   // ║
    EXPECT_EQ(reader.at(24, 0).codePoint, 0x255Au);  // ╚
    EXPECT_EQ(reader.rowText(1).substr(3, 11), "Bonjour \xC3\xA9t");
    EXPECT_EQ(reader.overflows(), 0);
}

}  // namespace

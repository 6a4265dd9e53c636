// A console of the program with its own video block (8,192 bytes and a
// canary after them), its spool directory in a fresh temporary directory,
// and helpers to read cells. Freed, files removed, at the end.
#pragma once
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "periph/console_render.h"
#include "periph/console_windows.h"
#include "support/temp_dir.h"

namespace testsupport {

class ConsoleFixture : public ::testing::Test {
protected:
    static constexpr int kCanary = 64;
    static constexpr unsigned char kCanaryByte = 0xA5;

    void SetUp() override {
        ASSERT_EQ(KTCONSOL_SetWorkDirectory(dir.str().c_str(), nullptr), 1);
        ::mkdir((dir.str() + "/WOut").c_str(), 0700);
        console = KTCONSOL_NewConso(1, 1, "T", nullptr, nullptr);
        ASSERT_NE(console, nullptr);
        block.assign(KTTD_VIDEO_BYTES + kCanary, 0);
        for (int i = 0; i < kCanary; ++i) block[KTTD_VIDEO_BYTES + i] = kCanaryByte;
        console->video = block.data();
    }
    void TearDown() override {
        if (console != nullptr) {
            console->video = nullptr;  // the block is ours, not a shared one
            KTCONSOL_FreeConso(console);
        }
        KTCONSOL_SetWorkDirectory(".", nullptr);
        KTCONSOL_SetPrintCommand("");
    }

    // A window of the console (its name, size, position, resource).
    KT_TEXT_WINDOW* Add(const char* name, int rows, int columns, int row = 0, int column = 0, int resource = 0) {
        if (KTCONSOL_AddFenetre(console, name, rows, columns) != 1) return nullptr;
        KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
        w->row = row;
        w->column = column;
        w->resource = resource;
        return w;
    }
    KT_TEXT_WINDOW* First() { return KTCONSOL_FindFenetre(console, "T"); }

    unsigned char* cells() { return block.data(); }
    const unsigned char* glyphs() { return block.data() + KTTD_GLYPH_OFFSET; }
    unsigned char Char(int row, int column) { return block[static_cast<size_t>((row * 80 + column) * 2)]; }
    unsigned char Attr(int row, int column) { return block[static_cast<size_t>((row * 80 + column) * 2 + 1)]; }
    unsigned char Glyph(int row, int column) { return block[static_cast<size_t>(KTTD_GLYPH_OFFSET + row * 80 + column)]; }
    // Characters of a row of the cell buffer, from column first, count long.
    std::string Text(int row, int first, int count) {
        std::string out;
        for (int c = first; c < first + count; ++c) out += static_cast<char>(Char(row, c));
        return out;
    }
    // A line of a window's text box.
    std::string Line(KT_TEXT_WINDOW* w, int line) {
        return std::string(TWI_GetLine(w, line), static_cast<size_t>(w->text->width));
    }
    bool CanaryIntact() const {
        for (int i = 0; i < kCanary; ++i)
            if (block[KTTD_VIDEO_BYTES + i] != kCanaryByte) return false;
        return true;
    }

    TempDir dir;
    ConsoBox* console = nullptr;
    std::vector<unsigned char> block;
};

}  // namespace testsupport

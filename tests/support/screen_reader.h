// Reads what a program drew on a terminal (UTF-8 text and ANSI sequences)
// into an 80 x 25 grid of cells, to compare with the console's cell model.
//
// Understood: UTF-8 text (an invalid sequence counts as an error), CSI
// "row;col H" and "f", "m" (0, 30-37, 90-97, 40-47, 100-107, 39, 49), "2J",
// "K", "?1049h/l" and "?25h/l"; any other CSI sequence is counted. A
// character written past column 80 counts as an overflow. The expected
// glyphs of the model come from iconv (code page 437 for the frame and fill
// cells, Windows-1252 for the text).
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace testsupport {

class ScreenReader {
public:
    static constexpr int kColumns = 80;
    static constexpr int kRows = 25;

    struct Cell {
        uint32_t codePoint = ' ';
        int fg = 7;  // ANSI colour numbers 0-15 (8-15 bright)
        int bg = 0;
    };

    ScreenReader() { clear(); }

    // Feeds terminal output.
    void feed(const std::string& bytes) {
        bytes_ += bytes.size();
        for (unsigned char c : bytes) step(c);
    }

    const Cell& at(int row, int column) const { return grid_[static_cast<size_t>(row * kColumns + column)]; }
    // The console attribute (background x 16 + foreground, in the console's
    // colour bits: blue 1, green 2, red 4, bright 8) of a cell.
    int attribute(int row, int column) const {
        const Cell& c = at(row, column);
        return ConsoleColour(c.bg) * 16 + ConsoleColour(c.fg);
    }
    // Cells of a row as UTF-8 text: count cells from column (all of it by
    // default).
    std::string rowText(int row, int column = 0, int count = kColumns) const {
        std::string out;
        for (int c = column; c < column + count && c < kColumns; ++c) AppendUtf8(out, at(row, c).codePoint);
        return out;
    }

    uint64_t bytes() const { return bytes_; }
    uint64_t cellsWritten() const { return cellsWritten_; }
    int utf8Errors() const { return utf8Errors_; }
    int overflows() const { return overflows_; }
    int otherSequences() const { return otherSequences_; }
    bool alternateScreen() const { return alternate_; }
    bool cursorHidden() const { return cursorHidden_; }

    // Compares the grid with a console cell model: 4,000 bytes of (character,
    // attribute) and, when given, one glyph flag a cell. Empty when they
    // match, else the first difference.
    std::string mismatch(const unsigned char* cells, const unsigned char* glyphs) const {
        for (int row = 0; row < kRows; ++row) {
            for (int col = 0; col < kColumns; ++col) {
                const int i = row * kColumns + col;
                const unsigned char byte = cells[i * 2];
                const bool glyph = glyphs != nullptr && glyphs[i] != 0;
                const uint32_t expected = Expected(byte, glyph);
                const Cell& cell = at(row, col);
                char where[96];
                if (cell.codePoint != expected) {
                    std::snprintf(where, sizeof where, "row %d col %d: U+%04X drawn, U+%04X expected (byte %02X%s)",
                                  row, col, cell.codePoint, expected, byte, glyph ? " glyph" : "");
                    return where;
                }
                if (attribute(row, col) != cells[i * 2 + 1]) {
                    std::snprintf(where, sizeof where, "row %d col %d: attribute %02X drawn, %02X expected", row,
                                  col, attribute(row, col), cells[i * 2 + 1]);
                    return where;
                }
            }
        }
        return {};
    }

    // The code point the writer must draw for a byte: code page 437 for a
    // glyph cell, Windows-1252 otherwise; control bytes and bytes without a
    // character are blanks. The tables come from the iconv program.
    static uint32_t Expected(unsigned char byte, bool glyph) {
        if (byte < 0x20 || byte == 0x7F) return ' ';
        const uint32_t cp = (glyph ? Tables().cp437 : Tables().cp1252)[byte];
        return cp != 0 ? cp : ' ';
    }

    static void AppendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

private:
    struct CodeTables {
        std::array<uint32_t, 256> cp437{};
        std::array<uint32_t, 256> cp1252{};
    };

    // Bytes first..last through "iconv -f <code page> -t UTF-32LE": their
    // code points, or nothing when iconv refused one of them.
    static std::vector<uint32_t> Iconv(const char* codePage, int first, int last) {
        TempDir dir;
        const std::string in = dir.file("in"), out = dir.file("out");
        FILE* f = std::fopen(in.c_str(), "wb");
        if (f == nullptr) return {};
        for (int b = first; b <= last; ++b) std::fputc(b, f);
        std::fclose(f);
        if (RunProgram({"iconv", "-f", codePage, "-t", "UTF-32LE"}, in, out) != 0) return {};
        f = std::fopen(out.c_str(), "rb");
        if (f == nullptr) return {};
        std::vector<uint32_t> points;
        unsigned char b[4];
        while (std::fread(b, 1, 4, f) == 4) points.push_back(static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24));
        std::fclose(f);
        if (points.size() != static_cast<size_t>(last - first + 1)) return {};
        return points;
    }

    // A code page's table of 0x80-0xFF, byte by byte where iconv refuses a
    // range (bytes without a character stay 0).
    static void Fill(std::array<uint32_t, 256>& table, const char* codePage) {
        for (int first = 0x80; first < 0x100; first += 0x20) {
            std::vector<uint32_t> points = Iconv(codePage, first, first + 0x1F);
            if (points.empty()) {
                for (int b = first; b < first + 0x20; ++b) {
                    std::vector<uint32_t> one = Iconv(codePage, b, b);
                    table[static_cast<size_t>(b)] = one.empty() ? 0 : one[0];
                }
            } else {
                for (int i = 0; i < 0x20; ++i) table[static_cast<size_t>(first + i)] = points[static_cast<size_t>(i)];
            }
        }
    }

    static const CodeTables& Tables() {
        static const CodeTables tables = [] {
            CodeTables t;
            for (int b = 0x20; b < 0x80; ++b) t.cp437[b] = t.cp1252[b] = static_cast<uint32_t>(b);
            Fill(t.cp437, "CP437");
            Fill(t.cp1252, "CP1252");
            return t;
        }();
        return tables;
    }

    // ANSI colour (red 1, green 2, blue 4, bright 8) to the console's bits
    // (blue 1, green 2, red 4, bright 8).
    static int ConsoleColour(int ansi) {
        return ((ansi & 1) ? 4 : 0) | (ansi & 2) | ((ansi & 4) ? 1 : 0) | (ansi & 8);
    }

    void clear() {
        for (Cell& c : grid_) c = Cell{};
    }

    void put(uint32_t cp) {
        if (column_ >= kColumns || row_ >= kRows) {
            ++overflows_;
            return;
        }
        Cell& c = grid_[static_cast<size_t>(row_ * kColumns + column_)];
        c.codePoint = cp;
        c.fg = fg_;
        c.bg = bg_;
        ++column_;
        ++cellsWritten_;
    }

    void sgr(const std::vector<int>& values) {
        if (values.empty()) {
            fg_ = 7;
            bg_ = 0;
            return;
        }
        for (int v : values) {
            if (v == 0) fg_ = 7, bg_ = 0;
            else if (v >= 30 && v <= 37) fg_ = v - 30;
            else if (v >= 90 && v <= 97) fg_ = v - 90 + 8;
            else if (v >= 40 && v <= 47) bg_ = v - 40;
            else if (v >= 100 && v <= 107) bg_ = v - 100 + 8;
            else if (v == 39) fg_ = 7;
            else if (v == 49) bg_ = 0;
            else ++otherSequences_;
        }
    }

    void csi(char final) {
        std::vector<int> values;
        bool privateMode = !params_.empty() && params_[0] == '?';
        int value = -1;
        for (size_t i = privateMode ? 1 : 0; i <= params_.size(); ++i) {
            if (i == params_.size() || params_[i] == ';') {
                values.push_back(value < 0 ? 0 : value);
                value = -1;
            } else if (params_[i] >= '0' && params_[i] <= '9') {
                value = (value < 0 ? 0 : value) * 10 + (params_[i] - '0');
            }
        }
        if (params_.empty()) values.clear();
        if (privateMode && (final == 'h' || final == 'l') && values.size() == 1) {
            if (values[0] == 1049) alternate_ = final == 'h';
            else if (values[0] == 25) cursorHidden_ = final == 'l';
            else ++otherSequences_;
        } else if (final == 'H' || final == 'f') {
            row_ = (values.size() > 0 && values[0] > 0 ? values[0] : 1) - 1;
            column_ = (values.size() > 1 && values[1] > 0 ? values[1] : 1) - 1;
        } else if (final == 'm') {
            sgr(values);
        } else if (final == 'J' && values.size() == 1 && values[0] == 2) {
            clear();
        } else if (final == 'K') {
            for (int c = column_; c < kColumns && row_ < kRows; ++c)
                grid_[static_cast<size_t>(row_ * kColumns + c)] = Cell{' ', fg_, bg_};
        } else {
            ++otherSequences_;
        }
    }

    void step(unsigned char c) {
        switch (state_) {
            case State::Text:
                if (need_ > 0) {
                    if ((c & 0xC0) != 0x80) {
                        ++utf8Errors_;
                        need_ = 0;
                        break;  // the byte is read again below
                    }
                    cp_ = (cp_ << 6) | (c & 0x3F);
                    if (--need_ == 0) put(cp_);
                    return;
                }
                break;
            case State::Escape:
                if (c == '[') {
                    state_ = State::Csi;
                    params_.clear();
                } else {
                    ++otherSequences_;
                    state_ = State::Text;
                }
                return;
            case State::Csi:
                if (c >= 0x40 && c <= 0x7E) {
                    csi(static_cast<char>(c));
                    state_ = State::Text;
                } else {
                    params_ += static_cast<char>(c);
                }
                return;
        }
        if (c == 0x1B) {
            state_ = State::Escape;
        } else if (c < 0x80) {
            if (c >= 0x20 && c != 0x7F) put(c);
            else ++otherSequences_;
        } else if (c >= 0xC2 && c <= 0xDF) {
            need_ = 1, cp_ = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need_ = 2, cp_ = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need_ = 3, cp_ = c & 0x07;
        } else {
            ++utf8Errors_;
        }
    }

    enum class State { Text, Escape, Csi };
    State state_ = State::Text;
    std::string params_;
    int need_ = 0;
    uint32_t cp_ = 0;
    std::array<Cell, kColumns * kRows> grid_{};
    int row_ = 0, column_ = 0;
    int fg_ = 7, bg_ = 0;
    uint64_t bytes_ = 0;
    uint64_t cellsWritten_ = 0;
    int utf8Errors_ = 0;
    int overflows_ = 0;
    int otherSequences_ = 0;
    bool alternate_ = false;
    bool cursorHidden_ = false;
};

}  // namespace testsupport

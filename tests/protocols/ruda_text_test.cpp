// The text conversions of the RUDA screen requests: display text with
// escape sequences to lines, Latin-1 to the terminal's UTF-8 (checked
// against iconv), the grid of a selection list and its bounds.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "protocols/ruda/ruda_text.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

std::string Lines(const std::string& text, RudaLineBuffer* buffer = nullptr) {
    RudaLineBuffer local;
    RudaLineBuffer* b = buffer != nullptr ? buffer : &local;
    RUDA_DisplayTextToLines(b, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    return RUDA_LineBufferText(*b);
}

std::string Utf8(const std::string& latin1) {
    return RUDA_Latin1ToUtf8(reinterpret_cast<const unsigned char*>(latin1.data()), static_cast<int>(latin1.size()));
}

std::string Grid(const std::string& text, int columns, int rows) {
    return RUDA_GridLayout(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()), columns,
                           rows);
}

const std::string kEsc = "\x1b";

}  // namespace

TEST(RudaText, EscapeSequencesBecomeLines) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"two rows", kEsc + "P\x01\x01w1" + kEsc + "P\x02\x01w2", "w1\nw2"},
        {"row 2 first restarts", kEsc + "P\x02\x01" "a" + kEsc + "P\x03\x01" "b", "a\nb"},
        {"row 1 again restarts over the old text", "abcdef" + kEsc + "P\x01\x01xy", "xycdef"},
        {"ESC H zeroes from the count", "abcdef" + kEsc + "P\x01\x01xy" + kEsc + "H", "xy"},
        {"ESC 1F clears all", "abc" + kEsc + "\x1f" "de", "de"},
        {"ESC F clears all", "abc" + kEsc + "Fde", "de"},
        {"ESC 10 with a control byte", "a" + kEsc + "\x10\x05" "b", "ab"},
        {"ESC 10 with text after it", "a" + kEsc + "\x10" "xb", "axb"},
        {"ESC 10 then ESC H", "ab" + kEsc + "\x10" + kEsc + "H", "ab"},
        {"ESC 15 and three bytes", "a" + kEsc + "\x15" "abc" "d", "ad"},
        {"ESC 17 and one byte", "a" + kEsc + "\x17" "xb", "ab"},
        {"unknown escape alone", "a" + kEsc + "Zb", "aZb"},
        {"row 8 skipped with ESC P", "a" + kEsc + "P\x08" "b", "ab"},
        {"row outside 1-16 is text", "a" + kEsc + "P0b", "a0b"},
        {"column outside 1-16 is text", kEsc + "P\x01" "Ab", "Ab"},
        {"bytes not shown are skipped", std::string("a\x01\x02\x7f\x80\x9f" "b", 7), "ab"},
        {"shown high bytes and controls kept", "\x07\x09\x0d\xa3\xa4\xb5\xc0\xff", "\x07\x09\x0d\xa3\xa4\xb5\xc0\xff"},
        {"lone ESC at the end", "ab" + kEsc, "ab"},
        {"ESC P cut short", "ab" + kEsc + "P", "ab"},
    };
    for (const Case& c : cases) EXPECT_EQ(Lines(c.in), c.out) << c.name;
}

TEST(RudaText, LineBufferStopsAtItsLimit) {
    // Characters past the limit are dropped, escapes still work.
    const std::string many(1500, 'x');
    EXPECT_EQ(Lines(many).size(), 1024u);
    EXPECT_EQ(Lines(many + kEsc + "\x1f" "ok"), "ok");

    // A line feed at the limit is not written; a column byte then stops
    // the conversion altogether.
    RudaLineBuffer b;
    const std::string full = kEsc + "P\x01\x01" + std::string(1024, 'y') + kEsc + "P\x02\x01" + kEsc + "\x1f" "z";
    EXPECT_EQ(Lines(full, &b), std::string(1024, 'y'));
    EXPECT_EQ(b.count, 1024);
}

TEST(RudaText, AccentsAsIconvWritesThem) {
    // The 18 letters the terminal shows, and iconv's UTF-8 for them.
    const std::string letters = "\xe0\xe2\xe4\xe6\xe9\xe8\xea\xeb\xf4\xf6\xe7\xf9\xfb\xfc\xef\xee\xa3\xb5";
    testsupport::TempDir dir;
    {
        std::ofstream(dir.file("in.txt"), std::ios::binary) << letters;
    }
    ASSERT_EQ(testsupport::RunProgram({"iconv", "-f", "latin1", "-t", "utf-8"}, dir.file("in.txt"),
                                      dir.file("out.txt")),
              0);
    std::ifstream in(dir.file("out.txt"), std::ios::binary);
    std::ostringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(Utf8(letters), expected.str());
    EXPECT_EQ(Utf8("\xe9"), "\xc3\xa9");

    // Any other byte from 80 up is a dot; the rest is copied.
    EXPECT_EQ(Utf8("A\x80\xa4\xc0\xffz"), "A....z");
    std::string every;
    for (int c = 0x80; c <= 0xFF; ++c) every += static_cast<char>(c);
    const std::string out = Utf8(every);
    EXPECT_LE(out.size(), 2 * every.size());
    EXPECT_EQ(out.size(), every.size() + 18);
}

TEST(RudaText, BoundedLengthAndTwoDigits) {
    EXPECT_EQ(RUDA_BoundedLength("abc"), 3);
    EXPECT_EQ(RUDA_BoundedLength(nullptr), 0);
    const std::string noNul(600, 'a');
    char raw[600];
    std::copy(noNul.begin(), noNul.end(), raw);
    EXPECT_EQ(RUDA_BoundedLength(raw), 512);
    EXPECT_EQ(RUDA_TwoDigits("07"), 7);
    EXPECT_EQ(RUDA_TwoDigits("42x"), 42);
    EXPECT_EQ(RUDA_TwoDigits("4x"), -1);
    EXPECT_EQ(RUDA_TwoDigits(" 4"), -1);
}

TEST(RudaText, SelectionGrid) {
    // Three columns, two item rows and the spare row 0.
    const std::string list = kEsc + "H" + kEsc + "P\x01\x01TIT" + kEsc + "P\x02\x01" "AB" + kEsc + "P\x03\x02" "C";
    EXPECT_EQ(Grid(list, 3, 2), "TITAB  C ");
    // Text runs on across rows; characters above 7A are skipped.
    EXPECT_EQ(Grid("abcdef{g", 3, 1), "abcdef");
    // A column past the width wraps within its row (modulo the columns).
    EXPECT_EQ(Grid(kEsc + "P\x02\x05X", 3, 1), "    X ");
    // A row or column byte that is ESC is not taken by the move.
    EXPECT_EQ(Grid(kEsc + "P" + kEsc + "P\x02\x01Y", 2, 1), "  Y ");
}

TEST(RudaText, GridWritesOutsideItDropped_Mended) {
    // Rows far below the grid, row 0 (before it) and text running past its
    // end never write outside the grid.
    EXPECT_EQ(Grid(kEsc + "P\x09\x01" "far", 3, 1), "      ");
    EXPECT_EQ(Grid(kEsc + std::string("P\x00\x01", 3) + "ab" + kEsc + "P\x02\x01" "c", 3, 1), "   c  ");
    EXPECT_EQ(Grid(std::string(50, 'z'), 2, 2), std::string(6, 'z'));
    // No columns or no rows: no grid (the modulo would divide by zero).
    EXPECT_EQ(Grid("abc", 0, 2), "");
    EXPECT_EQ(Grid("abc", 3, 0), "");
}

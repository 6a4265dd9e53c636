// The line printed on a cheque, for the three widths of the cheque devices:
// the starred part on the right edge, the beginning of the text on the left.
#include <gtest/gtest.h>

#include <string>

#include "protocols/cheque_line.h"

namespace {

std::string Line(const std::string& text, int width, int* result) {
    std::string line(static_cast<size_t>(width) + 1, '#');
    *result = CHQ_BuildPrintLine(text.c_str(), width, line.data());
    EXPECT_EQ(line.back(), '#') << "nothing written past the width";
    line.pop_back();
    return line;
}

std::string Spaces(int n) { return std::string(static_cast<size_t>(n), ' '); }

}  // namespace

TEST(ChequePrintLine, StarredPartOnTheRightEdge) {
    struct Case {
        std::string text;
        int width;
        std::string expected;
    };
    const std::string hundred = std::string(90, 'a') + "*123,45*";  // 98 characters
    const Case cases[] = {
        {"AB*CD*", 60, "AB" + Spaces(54) + "*CD*"},
        {"AB*CD*", 70, "AB" + Spaces(64) + "*CD*"},
        {"AB*CD*", 80, "AB" + Spaces(74) + "*CD*"},
        {"*X*", 60, Spaces(57) + "*X*"},
        // One star: the part from the text's start to it goes right.
        {"AB*", 60, Spaces(57) + "AB*"},
        // Text after the last star: its length counts, the starred part
        // is still the part ending at the last star.
        {"AB*CD", 60, "AB" + Spaces(55) + "AB*"},
        {"X*Y*Z", 60, "X*" + Spaces(55) + "*Y*"},
        // Three stars: only the last two bound the starred part.
        {"*1*2*", 60, "*1" + Spaces(55) + "*2*"},
        // The left part is cut where the line ends, before the starred part.
        {hundred, 60, std::string(52, 'a') + "*123,45*"},
        {hundred, 80, std::string(72, 'a') + "*123,45*"},
    };
    for (const Case& c : cases) {
        int result = 0;
        EXPECT_EQ(Line(c.text, c.width, &result), c.expected) << c.text << " / " << c.width;
        EXPECT_EQ(result, 1) << c.text;
    }
}

// Only the first 100 characters of the text count: a star after them is
// not seen.
TEST(ChequePrintLine, ReadsAtMost100Characters_Mended) {
    const std::string text = std::string(100, 'a') + "*x*";
    int result = 0;
    EXPECT_EQ(Line(text, 60, &result), Spaces(60));
    EXPECT_EQ(result, 0);
    const std::string edge = std::string(97, 'a') + "*x*" + "tail";
    EXPECT_EQ(Line(edge, 60, &result), std::string(57, 'a') + "*x*");
    EXPECT_EQ(result, 1);
}

// A starred part wider than the line keeps its last characters, its
// closing star in the last column, and nothing on the left.
TEST(ChequePrintLine, StarredPartWiderThanTheLine_Mended) {
    const std::string starred = "*" + std::string(70, '9') + "*";  // 72 characters
    int result = 0;
    EXPECT_EQ(Line("AB" + starred, 60, &result), std::string(59, '9') + "*");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Line(starred, 72, &result), starred) << "exactly the width still fits whole";
    EXPECT_EQ(Line("AB" + starred, 72, &result), starred);
}

TEST(ChequePrintLine, NothingToPrint) {
    int result = 0;
    EXPECT_EQ(Line("no star here", 60, &result), Spaces(60));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Line("", 80, &result), Spaces(80));
    EXPECT_EQ(result, 0);
    char line[8];
    EXPECT_EQ(CHQ_BuildPrintLine(nullptr, 8, line), -1);
    EXPECT_EQ(CHQ_BuildPrintLine("*a*", 8, nullptr), -1);
    EXPECT_EQ(CHQ_BuildPrintLine("*a*", 0, line), -1);
}

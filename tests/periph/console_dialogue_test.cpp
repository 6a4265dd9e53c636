// The local dialogues of the PC console with a scripted keyboard: display
// lines, data entries, selection lists and paged output, what they leave in
// the window and the cell buffer, and the key that ends them.
#include "periph/console_dialogue.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "periph/console_keys.h"
#include "periph/console_windows.h"
#include "platform/clock.h"
#include "support/console_fixture.h"
#include "support/scripted_keys.h"

namespace {

using testsupport::ScriptedKeys;

const std::string kUp = "\xE0\x48", kLeft = "\xE0\x4B", kRight = "\xE0\x4D", kInsert = "\xE0\x52",
                  kDelete = "\xE0\x53", kEscape = "\x1b";

class LocalDialogue : public testsupport::ConsoleFixture {
protected:
    // An entry on a 4 x 20 window of the PC console: the key, the field.
    struct Entry {
        int result;
        unsigned char key;
        std::string field;
    };
    Entry RunEntry(const char* format, int width, const std::string& start = "", int timeout = 5) {
        KT_TEXT_WINDOW* w = window != nullptr ? window : (window = Add("E", 4, 20, 2, 2, 41));
        char field[200] = {};
        std::snprintf(field, sizeof field, "%s", start.c_str());
        unsigned char key = 0;
        const int result = KTTD_GetEntry(console, w, timeout, 2, 3, width, field, format, &key);
        return {result, key, field};
    }
    ScriptedKeys keys;
    KT_TEXT_WINDOW* window = nullptr;
};

// "NUM TOT": Enter on two digits of four is refused and the entry goes on;
// Escape ends it with what was typed.
TEST_F(LocalDialogue, TotalEntryWaitsUntilFull) {
    keys.queueEach("12\r");
    keys.queue(kEscape);
    const Entry e = RunEntry("NUM TOT", 4);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.key, 143);
    EXPECT_EQ(e.field, "12  ");
    EXPECT_EQ(keys.waits(), 4);  // a wait after the refused Enter
}

TEST_F(LocalDialogue, EntryTable) {
    struct Case {
        const char* what;
        const char* format;
        int width;
        std::vector<std::string> keys;
        std::string start;
        unsigned char key;
        std::string field;
        int waits;
    } cases[] = {
        {"NUM TOT, four digits and Enter", "NUM TOT", 4, {"1", "2", "3", "4", "\r"}, "", 131, "1234", 5},
        {"NUM AUTO ends by itself when full", "NUM AUTO", 4, {"1", "2", "3", "4"}, "", 132, "1234", 4},
        {"NUM 2DECI: comma stored as a point", "NUM 2DECI", 5, {"1", ",", "5", "\r"}, "", 131, "1.5  ", 4},
        {"NUM: comma and letter refused", "NUM", 4, {"1", ",", "a", "\r"}, "", 131, "1   ", 4},
        {"letters in a free field", "", 4, {"a", "B", "\r"}, "", 131, "aB  ", 3},
        {"OBL: Enter on an empty field refused", "OBL", 3, {"\r", "x", "\r"}, "", 131, "x  ", 3},
        {"Tab validates", "", 3, {"z", "\t"}, "", 132, "z  ", 2},
        {"plus ends at once", "NUM TOT", 4, {"1", "+"}, "", 129, "1   ", 2},
        {"minus ends at once", "NUM TOT", 4, {"-"}, "", 130, "    ", 1},
        {"F11 ends at once", "", 4, {std::string(1, '\0') + "\x85"}, "", 133, "    ", 1},
        {"Up clears the field", "", 6, {"1", "2", kUp, "7", "\r"}, "", 131, "7     ", 5},
        {"Left, Backspace, Delete, Insert", "NUM", 6,
         {"1", "2", "3", "4", kLeft, kLeft, "\x08", kDelete, kInsert, "9", kInsert, "\r"}, "", 131, "194   ", 12},
        {"Right moves over a typed character", "NUM", 4, {"5", "6", kLeft, kLeft, kRight, "7", "\r"}, "", 131,
         "57  ", 7},
        {"a field given starts as it is", "NUM", 4, {"\r"}, "12", 131, "12  ", 1},
        {"typing past the width wraps to the start", "", 3, {"a", "b", "c", "d", "\r"}, "", 131, "dbc", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedKeys scripted;
        for (const std::string& k : c.keys) scripted.queue(k);
        const Entry e = RunEntry(c.format, c.width, c.start);
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(e.key, c.key);
        EXPECT_EQ(e.field, c.field);
        EXPECT_EQ(scripted.waits(), c.waits);
        EXPECT_EQ(scripted.left(), 0u);
    }
}

// The field is drawn at its row and column of the window, highlighted.
TEST_F(LocalDialogue, EntryFieldDrawnInTheWindow) {
    keys.queueEach("42\r");
    const Entry e = RunEntry("NUM", 4);
    ASSERT_EQ(e.key, 131);
    // Window at (2, 2): its row 2, column 3 is screen row 3, column 4.
    EXPECT_EQ(Line(window, 1).substr(2, 4), "42__");
    EXPECT_EQ(Text(3, 4, 4), "42__");
    EXPECT_EQ(Attr(3, 4), (window->textColor2 * 16 + window->textColor1) & 0x7F);
    EXPECT_EQ(Attr(3, 2), window->textColor1 * 16 + window->textColor2);
}

// Fields the caller's buffer cannot hold, or outside the window, are
// refused before anything is written.
TEST_F(LocalDialogue, EntryOutsideItsLimitsRefused_Mended) {
    KT_TEXT_WINDOW* w = Add("E", 4, 20, 2, 2, 41);
    struct Case {
        const char* what;
        int row, column, width;
    } cases[] = {
        {"width 0 (the cursor is taken modulo the width)", 2, 3, 0},
        {"negative width", 2, 3, -4},
        {"width 129 past the field buffer", 2, 1, 129},
        {"row 0", 0, 3, 4},
        {"row below the window", 5, 3, 4},
        {"column beyond the window", 2, 21, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char field[8] = "abc";
        unsigned char key = 0;
        EXPECT_EQ(KTTD_GetEntry(console, w, 5, c.row, c.column, c.width, field, "", &key), -1);
        EXPECT_EQ(key, KTTD_KEY_NONE);
        EXPECT_STREQ(field, "abc");
    }
    EXPECT_EQ(keys.waits(), 0);
    unsigned char key = 0;
    char field[8] = {};
    EXPECT_EQ(KTTD_GetEntry(nullptr, w, 5, 1, 1, 4, field, "", &key), -1);
    EXPECT_EQ(KTTD_GetEntry(console, w, 5, 1, 1, 4, nullptr, "", &key), -1);
}

// Without a keyboard, or with a time-out of 0, an entry ends with no key
// instead of waiting again for ever.
TEST_F(LocalDialogue, EntryWithoutKeyboardOrTimeOutEnds_Mended) {
    keys.queue("1");
    keys.endWhenEmpty();
    Entry e = RunEntry("NUM", 4);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.key, KTTD_KEY_NONE);
    EXPECT_EQ(e.field, "1   ");

    ScriptedKeys live;
    e = RunEntry("NUM", 4, "", 0);
    EXPECT_EQ(e.key, KTTD_KEY_NONE);
    EXPECT_EQ(live.waits(), 0);
}

// An automatic entry whose cursor reached the end of a field that is not
// complete waits for a key instead of ending itself again and again.
TEST_F(LocalDialogue, AutomaticEntryOnAnIncompleteFullFieldWaits_Mended) {
    for (int i = 0; i < 3; ++i) keys.queue(kRight);  // over the empty places of a free field
    keys.queueEach("xyz");
    const Entry e = RunEntry("AUTO OBL", 3);
    EXPECT_EQ(e.key, 132);
    EXPECT_EQ(e.field, "xyz");
    EXPECT_EQ(keys.waits(), 6);
}

// An entry whose time-out passes without a key goes on waiting (only a key
// ends it).
TEST_F(LocalDialogue, EntryGoesOnAfterATimeOutWithoutKey) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    keys.queue("");  // the first wait passes without a key
    keys.queue("\r");
    const Entry e = RunEntry("", 2, "", 60);
    EXPECT_EQ(e.key, 131);
    EXPECT_EQ(keys.waits(), 2);
}

// 10 items of width 20 in 5 rows with a title: items 1-4 on lines 2-5;
// four Right arrows scroll to items 2-5; Enter on the last line gives 5.
TEST_F(LocalDialogue, SelectionScrollsAndChooses) {
    plat::ManualClock clock;  // the choice stays a second on the screen
    plat::ScopedClock scoped(&clock);
    KT_TEXT_WINDOW* w = Add("L", 5, 30, 3, 3, 41);
    std::string items(10 * 20, '\0');
    for (int i = 0; i < 10; ++i) std::snprintf(&items[static_cast<size_t>(i) * 20], 20, "item %d", i + 1);
    std::vector<std::vector<std::string>> seen;
    keys.atEachWait([&] {
        std::vector<std::string> lines;
        for (int i = 0; i < 5; ++i) lines.push_back(Line(w, i));
        seen.push_back(lines);
    });
    for (int i = 0; i < 4; ++i) keys.queue(kRight);
    keys.queue("\r");
    unsigned char item = 0;
    const int64_t start = clock.nowMs();
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 5, 30, 10, 20, 1, "Choix", items.data(), &item), 1);
    EXPECT_EQ(item, 5);
    EXPECT_GE(clock.nowMs() - start, 1000);
    ASSERT_EQ(seen.size(), 5u);
    const auto pad = [](const std::string& t) { return t + std::string(30 - t.size(), ' '); };
    EXPECT_EQ(seen[0][0], pad("choix"));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(seen[0][static_cast<size_t>(i + 1)], pad("ITEM " + std::to_string(i + 1)));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(seen[4][static_cast<size_t>(i + 1)], pad("ITEM " + std::to_string(i + 2)));
    EXPECT_EQ(seen[4][0], pad("choix"));
    // The current line is highlighted: the last line at the end.
    EXPECT_EQ(w->highlightFirstRow, 5);
    // The choice is shown as one byte after the window is cleared.
    EXPECT_EQ(Line(w, 0)[0], '\x05');
}

TEST_F(LocalDialogue, SelectionLeftScrollsBackAndEscapeCancels) {
    KT_TEXT_WINDOW* w = Add("L", 3, 20, 3, 3, 41);
    std::string items = std::string("AAAA") + "BBBB" + "CCCC" + "DDDD" + "EEEE";
    std::vector<std::string> firstLines;
    keys.atEachWait([&] { firstLines.push_back(Line(w, 0).substr(0, 4)); });
    // Starting with item 3 shown first, no title: Left twice scrolls back.
    keys.queue(kLeft);
    keys.queue(kLeft);
    keys.queue(kLeft);
    keys.queue(kEscape);
    unsigned char item = 0;
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 20, 5, 4, 3, "", items.data(), &item), 1);
    EXPECT_EQ(item, 143);
    EXPECT_EQ(firstLines, (std::vector<std::string>{"CCCC", "BBBB", "AAAA", "AAAA"}));
}

// The title stays on the first line while the list scrolls under it.
TEST_F(LocalDialogue, SelectionTitleStaysWhenTheListScrolls_Mended) {
    KT_TEXT_WINDOW* w = Add("L", 3, 20, 3, 3, 41);
    const std::string items = std::string("AAAA") + "BBBB" + "CCCC" + "DDDD";
    std::vector<std::string> titles;
    keys.atEachWait([&] { titles.push_back(Line(w, 0).substr(0, 5)); });
    keys.queue(kRight);
    keys.queue(kRight);
    keys.queue(kRight);
    keys.queue(kEscape);
    unsigned char item = 0;
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 20, 4, 4, 1, "MENU", items.data(), &item), 1);
    EXPECT_EQ(titles, (std::vector<std::string>(4, "menu ")));
    EXPECT_EQ(Line(w, 1).substr(0, 4), "CCCC");  // scrolled: items 3 and 4 under the title
}

// The first item shown is taken within the list, and the lines shown never
// read past the items.
TEST_F(LocalDialogue, SelectionFirstShownWithinTheList_Mended) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    KT_TEXT_WINDOW* w = Add("L", 5, 20, 3, 3, 41);
    const std::string items = "ONE" "TWO" "SIX";  // exactly three items, nothing after them
    struct Case {
        int firstShown;
        std::string top;
        unsigned char item;
    } cases[] = {{0, "ONE", 1}, {-7, "ONE", 1}, {9, "SIX", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstShown);
        ScriptedKeys scripted;
        std::vector<std::string> lines;
        scripted.atEachWait([&] {
            for (int i = 0; i < 5; ++i) lines.push_back(Line(w, i).substr(0, 3));
        });
        scripted.queue("\r");
        unsigned char item = 0;
        EXPECT_EQ(KTTD_SelectList(console, w, 5, 5, 20, 3, 3, c.firstShown, "", items.data(), &item), 1);
        EXPECT_EQ(item, c.item);
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0], c.top);
        EXPECT_EQ(lines[4], "   ");  // no fourth or fifth item
    }
}

// An item wider than 79 characters is cut at 79 on its line.
TEST_F(LocalDialogue, SelectionLineCutAt79_Mended) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    KT_TEXT_WINDOW* w = Add("L", 3, 100, 1, 1, 41);
    std::string items(2 * 100, 'q');
    std::string line;
    keys.atEachWait([&] { line = Line(w, 0); });
    keys.queue("\r");
    unsigned char item = 0;
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 100, 2, 100, 1, "", items.data(), &item), 1);
    EXPECT_EQ(item, 1);
    EXPECT_EQ(line.substr(0, 79), std::string(79, 'Q'));
    EXPECT_EQ(line.substr(79), std::string(21, ' '));
}

TEST_F(LocalDialogue, SelectionRefusals) {
    KT_TEXT_WINDOW* w = Add("L", 3, 20, 3, 3, 41);
    const std::string items(200 * 4, 'x');
    unsigned char item = 0;
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 20, 0, 4, 1, "", items.data(), &item), -1);
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 20, 143, 4, 1, "", items.data(), &item), -1);  // 143 is Escape
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 20, 2, 4, 1, "", nullptr, &item), -1);
    EXPECT_EQ(KTTD_SelectList(nullptr, w, 5, 3, 20, 2, 4, 1, "", items.data(), &item), -1);
    EXPECT_EQ(item, KTTD_KEY_NONE);
    EXPECT_EQ(keys.waits(), 0);
    // Without a keyboard nothing is chosen.
    keys.endWhenEmpty();
    EXPECT_EQ(KTTD_SelectList(console, w, 5, 3, 20, 2, 4, 1, "", items.data(), &item), 1);
    EXPECT_EQ(item, KTTD_KEY_NONE);
}

// Each display line keeps its own row of the window, however short.
TEST_F(LocalDialogue, DisplayLinesKeepTheirRows_Mended) {
    KT_TEXT_WINDOW* w = Add("D", 3, 10, 5, 5, 41);
    ASSERT_EQ(TWI_WriteText(w, "old text here", 0), 1);
    ASSERT_EQ(KTTD_DisplayLine(console, w, "ab", 0, 1, 0x1E), 1);
    ASSERT_EQ(KTTD_DisplayLine(console, w, "cd", 1, 0, 0x1E), 1);
    ASSERT_EQ(KTTD_DisplayLine(console, w, "a line longer than the window", 2, 0, 0x1E), 1);
    EXPECT_EQ(Line(w, 0), "ab        ");
    EXPECT_EQ(Line(w, 1), "cd        ");
    EXPECT_EQ(Line(w, 2), "a line lon");
    EXPECT_EQ(w->displayAttribute, 0x1E);
    EXPECT_EQ(Text(5, 5, 10), "ab        ");
    EXPECT_EQ(KTTD_DisplayLine(console, nullptr, "x", 0, 1, 0), -1);
    EXPECT_EQ(KTTD_DisplayLine(console, w, nullptr, 0, 1, 0), -1);
}

// The window goes to the screen once its last line is written; a longer
// display scrolls.
TEST_F(LocalDialogue, DisplayPaintsTheScreenAtTheLastLine) {
    KT_TEXT_WINDOW* w = Add("D", 3, 10, 5, 5, 41);
    const uint64_t before = WVideoWriteCount();
    ASSERT_EQ(KTTD_DisplayLine(console, w, "first", 0, 1, 0), 1);
    ASSERT_EQ(KTTD_DisplayLine(console, w, "second", 1, 0, 0), 1);
    EXPECT_EQ(WVideoWriteCount(), before);
    ASSERT_EQ(KTTD_DisplayLine(console, w, "third", 2, 0, 0), 1);
    EXPECT_EQ(WVideoWriteCount(), before + 1);
    EXPECT_EQ(WVideoImage()[5 * 80 + 5].character, 'f');
    ASSERT_EQ(KTTD_DisplayLine(console, w, "fourth", 3, 0, 0), 1);
    EXPECT_EQ(Line(w, 0), "second    ");
    EXPECT_EQ(Line(w, 2), "fourth    ");
}

// Paged output: at a full page a key is awaited; Escape stops the output,
// nothing is shown until the next first output.
TEST_F(LocalDialogue, PagedOutputStoppedByEscape) {
    KT_TEXT_WINDOW* w = Add("P", 3, 10, 5, 5, 41);
    console->timeout = 5;
    keys.queue(kEscape);
    EXPECT_EQ(KTTD_PageOutput(console, w, "line 1", 0, 1), 1);
    EXPECT_EQ(KTTD_PageOutput(console, w, "line 2", 1, 0), 1);
    EXPECT_EQ(keys.waits(), 0);
    EXPECT_EQ(KTTD_PageOutput(console, w, "line 3", 2, 0), 0);  // Escape at the full page
    EXPECT_EQ(keys.waits(), 1);
    const std::vector<std::string> shown = {Line(w, 0), Line(w, 1), Line(w, 2)};
    EXPECT_EQ(shown[0], "line 2    ");  // scrolled by one line after the key
    EXPECT_EQ(KTTD_PageOutput(console, w, "line 4", 3, 0), 0);
    EXPECT_EQ(KTTD_SpoolPage(console, w, "line 5", 3, 10, 4, 0, 0), 0);
    EXPECT_EQ((std::vector<std::string>{Line(w, 0), Line(w, 1), Line(w, 2)}), shown);
    EXPECT_EQ(keys.waits(), 1);
    // The next first output starts again.
    EXPECT_EQ(KTTD_SpoolPage(console, w, "again", 3, 10, 0, 0, 1), 1);
    EXPECT_EQ(Line(w, 0), "again     ");
    EXPECT_EQ(Line(w, 1), "          ");
}

TEST_F(LocalDialogue, PagedOutputGoesOnAfterAnotherKey) {
    KT_TEXT_WINDOW* w = Add("P", 2, 10, 5, 5, 41);
    console->timeout = 5;
    std::vector<std::string> shown;
    keys.atEachWait([&] { shown.push_back(Line(w, 0) + "|" + Line(w, 1)); });
    keys.queue(" ");
    keys.queue("x");
    EXPECT_EQ(KTTD_PageOutput(console, w, "one", 0, 1), 1);
    EXPECT_EQ(KTTD_PageOutput(console, w, "two", 1, 0), 1);
    EXPECT_EQ(keys.waits(), 1);
    EXPECT_EQ(KTTD_PageOutput(console, w, "three", 2, 0), 1);
    EXPECT_EQ(shown, (std::vector<std::string>{"one       |two       ", "two       |three     "}));
    EXPECT_EQ(Line(w, 0), "three     ");  // scrolled after each key
    EXPECT_EQ(Line(w, 1), "          ");
    EXPECT_EQ(KTTD_PageOutput(console, w, nullptr, 2, 0), -1);
    EXPECT_EQ(KTTD_SpoolPage(nullptr, w, "x", 1, 1, 0, 0, 1), -1);
}

}  // namespace

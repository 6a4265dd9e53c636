// The ticket spool: the text helpers against golden texts (line ends with
// and without trim, blank lines, charity reordering, copy selection), then
// SpoolServerTicket in a session of the program on a copy of the example
// tree, whose printer window "F5" spools to WOut with CR LF line ends and
// the cut marker ESC 'i': the spool file, the station's ticket file and the
// D3L handed back as TT asks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/tag_buffer.h"
#include "periph/console_windows.h"
#include "station/options.h"
#include "station/server_box.h"
#include "station/text_field.h"
#include "support/app_session.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"
#include "transactions/server_dialogue.h"

using testsupport::TraceCapture;

namespace {

// The value of a tag of a tag message; nullopt when absent.
std::optional<std::string> Tag(const std::string& message, const std::string& code) {
    const std::string key = "{" + code + "}";
    const size_t at = message.find(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t from = at + key.size();
    return message.substr(from, message.find('{', from) - from);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A printer window of its own: columns, line-end mode, trim, cut marker.
struct Window {
    Window(int columns, int lineMode, int trim, const std::string& marker) {
        window = TWI_NewTextWindow(4, columns, "", "T5");
        window->lineMode = lineMode;
        window->trim = trim;
        std::snprintf(window->auxText3, sizeof window->auxText3, "%s", marker.c_str());
    }
    ~Window() { TWI_FreeTextWindow(window); }
    KT_TEXT_WINDOW* window;
};

// "|" stands for the cut marker, "~" for CR LF in the tables below.
std::string T(std::string text, const std::string& marker = "\x1bi") {
    std::string out;
    for (char c : text) {
        if (c == '|') out += marker;
        else if (c == '~') out += "\r\n";
        else out += c;
    }
    return out;
}

TEST(TicketLineEnd, ModesTrimAndColumns) {
    struct Case {
        int columns, mode, trim;
        std::string expected;
    } cases[] = {
        {24, 2, 1, "\r\n"}, {24, 1, 1, "\n"}, {24, 3, 1, "\r"}, {24, 4, 1, "\r\n"},
        {4, 2, 0, "    \r\n"}, {3, 0, 0, "   "}, {24, 0, 1, ""},
    };
    for (const Case& c : cases) {
        Window w(c.columns, c.mode, c.trim, "\x1bi");
        EXPECT_EQ(TicketLineEnd(w.window), c.expected) << c.columns << "/" << c.mode << "/" << c.trim;
    }
    EXPECT_EQ(TicketLineEnd(nullptr), "");
}

TEST(CleanTicketLineEnds, LeadingAndAroundEveryMarker) {
    struct Case {
        const char* name;
        int columns, trim;
        std::string text, expected;
    } cases[] = {
        {"leading line ends go", 24, 1, T("~~~A~B~"), T("A~B~")},
        {"before and after each marker", 24, 1, T("A~~|~~B~|~C"), T("A|B|C")},
        {"an inner blank line stays", 24, 1, T("A~~B|C"), T("A~~B|C")},
        {"without trim only the padded line end counts", 2, 0, T("  ~  ~A~|  ~B"), T("A~|B")},
        {"nothing to clean", 24, 1, T("A|B"), T("A|B")},
        {"only line ends", 24, 1, T("~~~"), ""},
    };
    for (const Case& c : cases) {
        Window w(c.columns, 2, c.trim, "\x1bi");
        std::vector<char> buffer(c.text.begin(), c.text.end());
        buffer.push_back('\0');
        EXPECT_EQ(CleanTicketLineEnds(w.window, buffer.data()), static_cast<int>(c.expected.size())) << c.name;
        EXPECT_EQ(std::string(buffer.data()), c.expected) << c.name;
    }
    char text[] = "A";
    EXPECT_EQ(CleanTicketLineEnds(nullptr, text), -1);
}

TEST(AddTicketBlankLines, CopiesMarkersAndMisplacedMarkers) {
    struct Case {
        const char* name;
        int before, cut;
        std::string text, expected;
    } cases[] = {
        // A cleaned ticket: its markers neither begin nor end a line.
        {"2,1 after the clean-up", 2, 1, T("A|B|"), T("~~A~~|~~~B~~|")},
        {"2,1 with markers on their own lines", 2, 1, T("A~|~B~|"), T("~~A~~|~~~B~~|")},
        {"0,0 with markers on their own lines: unchanged", 0, 0, T("A~|~B~|"), T("A~|~B~|")},
        {"marker not beginning a line: one more before it, and at the end", 0, 0, T("A|~B"), T("A~|~B~")},
        {"marker followed by text: one more at the start of copy 2", 0, 0, T("A~|B~"), T("A~|~B~")},
        {"both, with 1,1", 1, 1, T("A|B"), T("~A~~|~~B~~")},
        {"no marker: one copy", 1, 2, T("A~"), T("~A~~~")},
        {"three copies 1,0: the extra line end only at copy 2", 1, 0, T("A~|B~|C~|"), T("~A~|~~B~|~C~|")},
    };
    for (const Case& c : cases) {
        Window w(24, 2, 1, "\x1bi");
        std::vector<char> buffer(c.text.begin(), c.text.end());
        buffer.resize(c.text.size() + 256, '\0');
        EXPECT_EQ(AddTicketBlankLines(w.window, buffer.data(), static_cast<int>(buffer.size()), c.before, c.cut),
                  static_cast<int>(c.expected.size()))
            << c.name;
        EXPECT_EQ(std::string(buffer.data()), c.expected) << c.name;
    }
}

// The capacity counted once for the whole ticket was too small for the
// lines added per copy: the result must fit the buffer, or nothing changes.
TEST(AddTicketBlankLines, ResultThatDoesNotFitLeavesTheTextAlone_Mended) {
    Window w(24, 2, 1, "\x1bi");
    std::string text;
    for (int i = 0; i < 50; ++i) text += T("LIGNE~|");
    // Each copy: 2 line ends before, 1 before its marker; one more at the
    // start of copy 2 (the marker is followed by text); and the NUL.
    const size_t need = text.size() + 50 * 3 * 2 + 2 + 1;
    EXPECT_LE(need, TicketBlankLinesCapacity(text.size(), 50, 2, 2, 1));
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(need - 1, '\0');
    EXPECT_EQ(AddTicketBlankLines(w.window, buffer.data(), static_cast<int>(buffer.size()), 2, 1), -1);
    EXPECT_EQ(std::string(buffer.data()), text);
    buffer.resize(need, '\0');
    EXPECT_EQ(AddTicketBlankLines(w.window, buffer.data(), static_cast<int>(buffer.size()), 2, 1),
              static_cast<int>(need - 1));
}

TEST(CharityTicket, MisplacedOnlyWithTmicAndThreeMarkers) {
    Window w(24, 2, 1, "\x1bi");
    struct Case {
        std::string text;
        int tmic;
        bool misplaced;
    } cases[] = {
        {T("A|B|C|"), 1, true}, {T("A|B|C|D"), 7, true}, {T("A|B|"), 1, false},
        {T("A|B|C|D|"), 1, false}, {T("A|B|C|"), 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsMisplacedCharityTicket(c.text.c_str(), w.window, c.tmic), c.misplaced) << c.text << c.tmic;
        EXPECT_EQ(CountCutMarkers(c.text.c_str(), w.window), static_cast<int>(std::count(c.text.begin(), c.text.end(), 'i')));
    }
    EXPECT_FALSE(IsMisplacedCharityTicket(nullptr, w.window, 1));
    EXPECT_EQ(CountCutMarkers(nullptr, w.window), 0);
}

TEST(CharityTicket, ReorderPutsTheThirdCopyFirstAndDropsTheTail) {
    Window w(24, 2, 1, "\x1bi");
    struct Case {
        const char* name;
        std::string text;
        int extra;  // buffer size beyond the text and its NUL
        std::string expected;
    } cases[] = {
        {"head, E, third copy, second copy", T("H|DON~|CLIENT~|TAIL"), 16, T("H~CLIENT~|DON~|")},
        {"nothing before the first marker", T("|D|C|"), 16, T("~C|D|")},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(c.text.begin(), c.text.end());
        buffer.resize(c.text.size() + 1 + c.extra, '\0');
        EXPECT_EQ(ReorderCharityTicket(buffer.data(), w.window, static_cast<int>(buffer.size())),
                  static_cast<int>(c.expected.size()))
            << c.name;
        EXPECT_EQ(std::string(buffer.data()), c.expected) << c.name;
    }
    // The result is longer than the text when E is longer than the first
    // marker and the tail: a piece that does not fit is left out.
    Window padded(4, 2, 0, "\x1bi");
    std::string small = T("H|D|CC|");
    std::vector<char> buffer(small.begin(), small.end());
    buffer.push_back('\0');
    EXPECT_EQ(ReorderCharityTicket(buffer.data(), padded.window, static_cast<int>(buffer.size())), 10);
    EXPECT_EQ(std::string(buffer.data()), "H    \r\nD\x1bi");
    std::string two = T("A|B|");
    EXPECT_EQ(ReorderCharityTicket(two.data(), w.window, static_cast<int>(two.size() + 1)), -1);
    EXPECT_EQ(two, T("A|B|"));
}

TEST(SelectTicketCopies, ModesAndDuplicateSelections) {
    const std::string ticket = T("MARCHAND~|CLIENT~|");
    struct Case {
        int mode, select;
        std::string expected;
    } cases[] = {
        {3, -1, ticket},
        {1, -1, T("MARCHAND~|")},
        {2, -1, T("CLIENT~|")},
        {3, 0, T("CLIENT~|")},
        {3, 1, T("MARCHAND~|")},
        {2, 1, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SelectTicketCopies(ticket, "\x1bi", c.mode, c.select), c.expected) << c.mode << " " << c.select;
    // The marker is compared ignoring letter case.
    EXPECT_EQ(SelectTicketCopies("A\x1bIB", "\x1bi", 1, -1), "A\x1bI");
    EXPECT_EQ(SelectTicketCopies("ABC", "", 1, -1), "ABC");
}

// The matcher restarted after a mismatch without trying the byte again: the
// marker "-CUT" was missed in "--CUT".
TEST(SelectTicketCopies, MarkerRightAfterAPartialMatch_Mended) {
    EXPECT_EQ(SelectTicketCopies("A--CUTB-CUT", "-CUT", 1, -1), "A--CUT");
    EXPECT_EQ(SelectTicketCopies("xAABy", "AAB", 2, -1), "y");
}

TEST(TicketFilePath, NumberOfThePs) {
    std::string path;
    KTXCH_SetLocalRoot(".");
    EXPECT_TRUE(TicketFilePath("7", &path));
    EXPECT_EQ(path, "./TICKETCB.007");
    EXPECT_TRUE(TicketFilePath("1234", &path));
    EXPECT_EQ(path, "./TICKETCB.1234");
    EXPECT_FALSE(TicketFilePath("-1", &path));
    EXPECT_FALSE(TicketFilePath("abc", &path));
    EXPECT_EQ(path, "");
}

// A session of the program in a directory of its own (the ticket file goes
// to the current directory).
class TicketSpool : public testsupport::AppSessionTest {
protected:
    void SetUp() override {
        AppSessionTest::SetUp();
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home_ = here;
        ASSERT_EQ(chdir(tree.str().c_str()), 0);
        f5 = KTS_GetWindow(context->box, "F5");
        ASSERT_NE(f5, nullptr);
        ASSERT_EQ(TicketLineEnd(f5), "\r\n");
        ASSERT_EQ(std::string(f5->auxText3), "\x1bi");
        CopyField(record->station, "7");
        CopyField(record->command, "c1");
        CopyField(record->d8y, "");
        context->ticketTag = 3;
    }
    void TearDown() override {
        ASSERT_EQ(chdir(home_.c_str()), 0);
        AppSessionTest::TearDown();
    }
    // The server answer: RS 00 and these tags.
    void Answer(const std::vector<std::pair<std::string, std::string>>& tags) {
        ASSERT_EQ(LoadTagMessage(context->serverAnswer, sizeof context->serverAnswer, 1), 1);
        TAG_Set("RS", "00");
        for (const auto& [code, value] : tags) ASSERT_EQ(TAG_Set(code.c_str(), value.c_str()), 1) << code;
    }
    std::optional<std::string> AnswerD3l() const {
        return Tag(context->serverAnswer, "D3L");
    }
    std::string TicketFile() const { return testsupport::ReadFileText(tree.file("TICKETCB.007")); }
    bool TicketFileExists() const { return std::filesystem::exists(tree.file("TICKETCB.007")); }

    KT_TEXT_WINDOW* f5 = nullptr;
    std::string home_;
};

const std::string kTwoCopies = T("MARCHAND~|CLIENT~|");

const std::string kThreeCopies = T("DON~|MARCHAND~|CLIENT~|");

TEST_F(TicketSpool, PosTicketModeAndTt) {
    struct Row {
        int mode, tt;
        std::string ticket;
        std::string file;                // the ticket file
        std::optional<std::string> d3l;  // D3L of the answer afterwards
        const char* d1s = "";
    } rows[] = {
        {3, 3, kTwoCopies, kTwoCopies, std::nullopt},
        {3, 1, kTwoCopies, kTwoCopies, kTwoCopies},
        {1, 1, kTwoCopies, T("MARCHAND~|"), T("MARCHAND~|")},
        {2, 3, kTwoCopies, T("CLIENT~|"), std::nullopt},
        {1, 3, kTwoCopies, T("MARCHAND~|"), std::nullopt},
        {2, 1, kThreeCopies, T("MARCHAND~|CLIENT~|"), T("MARCHAND~|CLIENT~|")},
        {1, 3, kThreeCopies, T("DON~|"), std::nullopt},
        {2, 3, T("SEUL~"), "", std::nullopt},
        {1, 3, T("SEUL~"), T("SEUL~"), std::nullopt},
        // A D1S whose fourth character is '5' or '8' adds bit 1 (2) to the
        // mode: the first copy alone becomes every copy.
        {1, 3, kTwoCopies, kTwoCopies, std::nullopt, "0005"},
        {0, 3, kTwoCopies, T("CLIENT~|"), std::nullopt, "1238"},
        {1, 3, kTwoCopies, T("MARCHAND~|"), std::nullopt, "1234"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.mode) + "/" + std::to_string(row.tt) + "/" + row.d1s);
        Options.PosTicketMode = row.mode;
        context->ticketTag = row.tt;
        Answer({{"D3L", row.ticket}, {"D1S", row.d1s}});
        SpoolServerTicket();
        EXPECT_EQ(TicketFile(), row.file);
        EXPECT_EQ(AnswerD3l(), row.d3l);
        EXPECT_FALSE(std::filesystem::exists(f5->spoolPath)) << "the spool is emptied";
    }
}

// A ticket as long as an answer allows, with 50 copies and blank lines
// around each: the whole of it, cleaned, reaches the ticket file.
TEST_F(TicketSpool, LongestTicketWithFiftyCopies) {
    Options.CleanTicket = 1;
    Options.CleanTicketBefore = 2;
    Options.CleanTicketCut = 1;
    std::string ticket;
    for (int i = 0; i < 50; ++i) ticket += T("~") + std::string(190, 'A' + i % 26) + T("~|");
    ASSERT_LT(ticket.size(), 10240u - 32);
    Answer({{"D3L", ticket}});
    SpoolServerTicket();
    const std::string file = TicketFile();
    std::string expected;
    for (int i = 0; i < 50; ++i) expected += T(i == 1 ? "~~~" : "~~") + std::string(190, 'A' + i % 26) + T("~~|");
    EXPECT_EQ(file, expected);
}

TEST_F(TicketSpool, ReturnOnlyLeavesTheSpoolAloneAndGivesBackAnEarlierSpool) {
    context->ticketTag = 2;
    Answer({{"D3L", kTwoCopies}});
    SpoolServerTicket();
    // Nothing was spooled: the server's ticket stays in the answer as it is.
    EXPECT_FALSE(TicketFileExists());
    EXPECT_EQ(AnswerD3l(), kTwoCopies);
    // A spool left by an earlier ticket is deposited and returned after it.
    WriteFile(f5->spoolPath, T("ANCIEN~|"));
    Answer({{"D3L", kTwoCopies}});
    SpoolServerTicket();
    EXPECT_EQ(TicketFile(), T("ANCIEN~|"));
    EXPECT_EQ(AnswerD3l(), kTwoCopies + T("ANCIEN~|"));
}

TEST_F(TicketSpool, ReturnedTicketIsCleanedWhenNothingIsSpooled) {
    Options.CleanTicket = 1;
    context->ticketTag = 2;
    Answer({{"D3L", T("~~MARCHAND~|~CLIENT~|")}});
    SpoolServerTicket();
    EXPECT_FALSE(TicketFileExists());
    EXPECT_EQ(AnswerD3l(), T("MARCHAND~|~CLIENT~|"));
}

TEST_F(TicketSpool, DuplicateSelectsOneCopyUnlessTheTicketHasOnlyOne) {
    struct Row {
        const char* d8y;
        std::string ticket, file;
    } rows[] = {
        {"0", kTwoCopies, T("CLIENT~|")},
        {"1", kTwoCopies, T("MARCHAND~|")},
        {"", kTwoCopies, kTwoCopies},
        {"0", T("SEUL~|"), T("SEUL~|")},
    };
    CopyField(record->command, "c4");
    for (const Row& row : rows) {
        CopyField(record->d8y, row.d8y);
        Answer({{"D3L", row.ticket}});
        SpoolServerTicket();
        EXPECT_EQ(TicketFile(), row.file) << row.d8y;
    }
}

TEST_F(TicketSpool, CleanTicketTwoAndOne) {
    Options.CleanTicket = 1;
    Options.CleanTicketBefore = 2;
    Options.CleanTicketCut = 1;
    context->ticketTag = 1;
    Answer({{"D3L", T("~~MARCHAND~~|~CLIENT~|")}});
    SpoolServerTicket();
    // Cleaned to "MARCHAND|CLIENT|", then two line ends before each copy,
    // one before each marker, one more before each marker (it no longer
    // begins a line) and one more at the start of the second copy (the
    // marker no longer ends its line).
    const std::string expected = T("~~MARCHAND~~|~~~CLIENT~~|");
    EXPECT_EQ(TicketFile(), expected);
    EXPECT_EQ(AnswerD3l(), expected);
}

TEST_F(TicketSpool, CharityTicketIsReordered) {
    TraceCapture trace;
    Answer({{"D3L", T("DON~|MARCHAND~|CLIENT~|")}, {"TMIC", "1"}});
    SpoolServerTicket();
    // The donation text before the first marker stays, then a line end, the
    // third copy and the second.
    EXPECT_EQ(TicketFile(), T("DON~~CLIENT~|MARCHAND~|"));
    EXPECT_TRUE(trace.Contains("Ticket Donation mal formate => deplacement du ticket Donation"));
}

TEST_F(TicketSpool, NothingToPrint) {
    struct Row {
        const char* name;
        int guiOptions, mode;
        std::string answer;
        const char* trace;
    } rows[] = {
        {"printing inhibited", 0x8000, 3, kTwoCopies, "Edition inhibee"},
        {"no ticket", 0, 3, "", "Edition pas necessaire"},
        {"an empty ticket", 0, 3, "-", "Edition pas necessaire"},
        {"PosTicketMode 0", 0, 0, kTwoCopies, "Edition pas necessaire"},
    };
    for (const Row& row : rows) {
        TraceCapture trace;
        Options.PosGuiOptions = row.guiOptions;
        Options.PosTicketMode = row.mode;
        const bool empty = row.answer == "-";
        if (row.answer.empty()) Answer({});
        else Answer({{"D3L", empty ? "" : row.answer}});
        SpoolServerTicket();
        EXPECT_FALSE(TicketFileExists()) << row.name;
        EXPECT_EQ(AnswerD3l(), empty ? std::optional<std::string>("") : std::nullopt) << row.name;
        EXPECT_TRUE(trace.Contains(row.trace)) << row.name;
        std::filesystem::remove(f5->spoolPath);
    }
}

// The ticket file appended to a full answer would not fit the tag buffer:
// the answer stays a whole message, without the ticket, and says so.
TEST_F(TicketSpool, TicketTooLongToReturnLeavesTheAnswerWhole_Mended) {
    TraceCapture trace;
    context->ticketTag = 1;
    Options.CleanTicket = 1;
    Options.CleanTicketBefore = Options.CleanTicketCut = 5;
    std::string ticket;
    for (int i = 0; i < 300; ++i) ticket += T("AB|");
    // The blank lines make the ticket six times longer than the server's.
    Answer({{"D3L", ticket}, {"D2X", std::string(8000, 'Y')}});
    SpoolServerTicket();
    EXPECT_GT(TicketFile().size(), 6 * ticket.size());
    EXPECT_EQ(Tag(context->serverAnswer, "D3L"), std::nullopt);
    const std::string answer(context->serverAnswer);
    EXPECT_EQ(answer.substr(answer.size() - 3), "{F}");
    EXPECT_EQ(Tag(context->serverAnswer, "D2X"), std::string(8000, 'Y'));
    EXPECT_TRUE(trace.Contains("[TICKET]"));
}

// The card number the server left in its ticket goes to the ticket file as
// sent, never into the trace.
TEST_F(TicketSpool, TicketTextNeverReachesTheTrace) {
    TraceCapture trace;
    Options.CleanTicket = 1;
    context->ticketTag = 1;
    Answer({{"D3L", T("CARTE 4970100000000003~|CLIENT~|")}, {"TMIC", "1"}});
    SpoolServerTicket();
    EXPECT_EQ(TicketFile(), T("CARTE 4970100000000003~|~CLIENT~|"));
    EXPECT_GT(trace.count(), 0u);
    EXPECT_FALSE(trace.Contains("4970100000000003"));
    EXPECT_FALSE(trace.Contains("CARTE"));
}

}  // namespace

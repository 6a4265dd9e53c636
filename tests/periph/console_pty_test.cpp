// The console on a real terminal: the console test program (video_probe) on
// a pseudo-terminal draws its windows, reads keys in raw mode and runs its
// dialogues; its output, read back into an 80 x 25 grid, must match its own
// cell buffer (dumped at the end) through code page 437 for frames and fill
// and Windows-1252 for text (iconv is the oracle).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/pty_program.h"
#include "support/temp_dir.h"

namespace {

using testsupport::PtyProgram;
using testsupport::TempDir;

constexpr int kUpper = 10000;  // upper bound of every wait, never reached when all goes well

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ConsolePty : public ::testing::Test {
protected:
    bool Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {testsupport::BinPath("video_probe")};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(), {"--dump", dump, "--events", "3"});
        return probe.start(all);
    }
    // The screen as drawn matches the program's cell buffer.
    void ExpectScreenIsTheModel() {
        const std::string model = ReadAll(dump);
        ASSERT_EQ(model.size(), 6000u);
        const auto* bytes = reinterpret_cast<const unsigned char*>(model.data());
        EXPECT_EQ(probe.screen().mismatch(bytes, bytes + 4000), "");
        EXPECT_EQ(probe.screen().utf8Errors(), 0);
        EXPECT_EQ(probe.screen().overflows(), 0);
    }
    // Types a key at the n-th key wait.
    void KeyAtWait(int n, const std::string& key) {
        ASSERT_TRUE(probe.waitEvent("wait", n, kUpper)) << "wait " << n;
        ASSERT_TRUE(probe.type(key));
    }

    TempDir dir;
    std::string dump = dir.file("cells");
    PtyProgram probe;
};

TEST_F(ConsolePty, WindowsDrawnAsTheirCellModel) {
    for (const char* kind : {"LARGE", "SMALL", "OFFGRID"}) {
        SCOPED_TRACE(kind);
        PtyProgram run;
        std::remove(dump.c_str());
        ASSERT_TRUE(run.start({testsupport::BinPath("video_probe"), "show", kind, "--dump", dump, "--events", "3"}));
        ASSERT_EQ(run.waitExit(kUpper), 0);
        const std::string model = ReadAll(dump);
        ASSERT_EQ(model.size(), 6000u);
        const auto* bytes = reinterpret_cast<const unsigned char*>(model.data());
        EXPECT_EQ(run.screen().mismatch(bytes, bytes + 4000), "");
        EXPECT_EQ(run.screen().utf8Errors(), 0);
        EXPECT_EQ(run.screen().overflows(), 0);
        // The double frame of the large window and its fill-free text area.
        EXPECT_EQ(run.screen().at(0, 0).codePoint, 0x2554u);
        EXPECT_EQ(run.screen().at(24, 79).codePoint, 0x255Du);
        EXPECT_EQ(run.screen().at(0, 79).codePoint, 0x2557u);
        EXPECT_EQ(run.screen().at(24, 0).codePoint, 0x255Au);
        EXPECT_EQ(run.screen().rowText(1, 1, 9), "R\xC3\xA9gl\xC3\xA9 par");
        EXPECT_FALSE(run.screen().alternateScreen());  // the normal screen is back at the end
    }
}

// A data entry typed on the terminal: Enter on two digits of a "NUM TOT"
// field of four is refused; the four digits and Enter end it.
TEST_F(ConsolePty, EntryTypedOnTheTerminal) {
    ASSERT_TRUE(Start({"entry", "NUM TOT", "4"}));
    KeyAtWait(1, "1");
    KeyAtWait(2, "2");
    KeyAtWait(3, "\r");
    KeyAtWait(4, "3");  // the entry waits again after the refused Enter
    KeyAtWait(5, "\x1b[D");
    KeyAtWait(6, "\x1b[C");
    KeyAtWait(7, "4");
    KeyAtWait(8, "\r");
    ASSERT_EQ(probe.waitExit(kUpper), 0);
    EXPECT_EQ(probe.last("done"), "done 1 131 1234");
    ExpectScreenIsTheModel();
}

// 10 items of width 20 in 5 rows with a title: four Right arrows and Enter
// choose the fifth.
TEST_F(ConsolePty, SelectionOnTheTerminal) {
    ASSERT_TRUE(Start({"select", "10", "20", "5"}));
    for (int i = 1; i <= 4; ++i) KeyAtWait(i, "\x1b[C");
    KeyAtWait(5, "\r");
    ASSERT_EQ(probe.waitExit(kUpper), 0);
    EXPECT_EQ(probe.last("done"), "done 1 5 -");
    ExpectScreenIsTheModel();
}

// Escape at the first full page stops the output: nothing more is shown.
TEST_F(ConsolePty, PagedOutputStoppedByEscape) {
    ASSERT_TRUE(Start({"page"}));
    KeyAtWait(1, "\x1b");
    ASSERT_EQ(probe.waitExit(kUpper), 0);
    std::vector<std::string> pages;
    for (const std::string& e : probe.events())
        if (e.rfind("page", 0) == 0) pages.push_back(e);
    EXPECT_EQ(pages, (std::vector<std::string>{"page 0 1", "page 1 1", "page 2 0", "page 3 0", "page 4 0", "page 5 0"}));
    EXPECT_EQ(probe.count("wait"), 1);
    // The screen keeps the page at which Escape was typed: the scroll that
    // followed is not shown, nor any later line.
    EXPECT_EQ(probe.screen().rowText(10, 20, 7), "ligne 1");
    EXPECT_EQ(probe.screen().rowText(11, 20, 7), "ligne 2");
    EXPECT_EQ(probe.screen().rowText(12, 20, 7), "ligne 3");
    EXPECT_EQ(probe.screen().utf8Errors(), 0);
}

// Terminal sequences and UTF-8 letters become the console's key codes; a
// lone ESC is Escape.
TEST_F(ConsolePty, KeysOfTheTerminal) {
    const std::vector<std::pair<std::string, int>> keys = {
        {"\x1bOP", 59},        // F1
        {"\x1b[24~", 134},     // F12
        {"\x1b[A", 139},       // up
        {"\x1b[3~", 138},      // delete
        {"\x7F", 137},         // backspace
        {"\xC3\xA9", 0xE9},    // é
        {"\x1b", 143},         // Escape alone
        {"\r", 131},           // Enter, not turned into a line feed
    };
    ASSERT_TRUE(Start({"keys", std::to_string(keys.size())}));
    for (size_t i = 0; i < keys.size(); ++i) KeyAtWait(static_cast<int>(i + 1), keys[i].first);
    ASSERT_EQ(probe.waitExit(kUpper), 0);
    std::vector<std::string> got, expected;
    for (const std::string& e : probe.events())
        if (e.rfind("key", 0) == 0) got.push_back(e);
    for (const auto& k : keys) expected.push_back("key " + std::to_string(k.second));
    EXPECT_EQ(got, expected);
}

// Raw mode while the program runs; the terminal's mode is put back when it
// ends, and when it is ended by SIGTERM.
TEST_F(ConsolePty, TerminalModeRestoredAtTheEnd) {
    for (bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "SIGTERM" : "normal end");
        PtyProgram run;
        ASSERT_TRUE(run.start({testsupport::BinPath("video_probe"), "keys", "2", "--events", "3"}));
        ASSERT_TRUE(run.waitEvent("wait", 1, kUpper));
        termios raw = run.mode();
        EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(raw.c_iflag & ICRNL, 0u);
        EXPECT_NE(raw.c_lflag & ISIG, 0u);  // Ctrl+C still interrupts
        if (terminate) {
            run.signal(SIGTERM);
        } else {
            ASSERT_TRUE(run.type("a"));
            ASSERT_TRUE(run.waitEvent("wait", 2, kUpper));
            ASSERT_TRUE(run.type("b"));
        }
        ASSERT_EQ(run.waitExit(kUpper), 0);
        termios back = run.mode();
        EXPECT_NE(back.c_lflag & ICANON, 0u);
        EXPECT_NE(back.c_lflag & ECHO, 0u);
        EXPECT_NE(back.c_iflag & ICRNL, 0u);
        EXPECT_FALSE(run.screen().alternateScreen());
        EXPECT_FALSE(run.screen().cursorHidden());
    }
}

}  // namespace

// The console and its windows: the text box, spooling and its files, print
// commands through the shell, the error status, the process defaults,
// freeing, and where a window is shown by its resource number.
#include "periph/console_windows.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/text_manager.h"
#include "support/console_fixture.h"
#include "support/run_program.h"
#include "support/signed_file_writer.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class Windows : public testsupport::ConsoleFixture {
protected:
    // The spool file compared with the expected bytes by cmp.
    void ExpectSpool(KT_TEXT_WINDOW* w, const std::string& expected) {
        const std::string model = dir.file("expected.spool");
        WriteAll(model, expected);
        EXPECT_EQ(testsupport::RunProgram({"cmp", "-s", model, w->spoolPath}), 0)
            << "spool file holds [" << ReadAll(w->spoolPath) << "]";
    }
};

TEST(TextBox, PutTextTable) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> lines;  // 3 lines of 6
        int result, row, column;
    } cases[] = {
        {"plain text wraps at the width", "abcdefgh", {"abcdef", "gh    ", "      "}, -1, 2, 3},
        {"ESC P 2 5 moves to line 2 column 5", "x\x1bP\x02\x05yz", {"x     ", "    yz", "      "}, -1, 2, 7},
        {"LF and CR go to the next line", "ab\ncd\re", {"ab    ", "cd    ", "e     "}, -1, 3, 2},
        {"ESC H blanks the box", "abc\x1bHd", {"d     ", "      ", "      "}, -1, 1, 2},
        {"ESC P outside the box is ignored", "a\x1bP\x09\x01" "b", {"ab    ", "      ", "      "}, -1, 1, 3},
        {"ESC and another byte are skipped", "a\x1bZb", {"ab    ", "      ", "      "}, -1, 1, 3},
        {"ESC at the end", "a\x1b", {"a     ", "      ", "      "}, -1, 1, 2},
        {"full before the end: the bytes used", "abcdef123456ABCDEFrest", {"abcdef", "123456", "ABCDEF"}, 18, 4,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KT_TEXT_WINDOW* w = TWI_NewTextWindow(3, 6, "", "W");
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(TWB_PutText(w->text, c.text.c_str()), c.result);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(std::string(TWI_GetLine(w, i), 6), c.lines[static_cast<size_t>(i)]) << "line " << i;
        EXPECT_EQ(w->text->row, c.row);
        EXPECT_EQ(w->text->column, c.column);
        TWB_Clear(w->text);
        EXPECT_EQ(std::string(TWI_GetLine(w, 0), 6), "      ");
        EXPECT_EQ(w->text->row, 1);
        TWI_FreeTextWindow(w);
    }
    EXPECT_EQ(TWB_PutText(nullptr, "x"), -1);
}

// Three lines in a two-line window: mode 1 spools the first line and
// scrolls once; mode 2 spools both and clears before the third.
TEST_F(Windows, SpoolModesOnAFullWindow) {
    struct Case {
        int mode;
        std::string spooled;
        std::string line0, line1;
    } cases[] = {
        {1, "one\n", "two ", "thre"},
        {2, "one\ntwo\n", "thre", "    "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const std::string name = "M" + std::to_string(c.mode);
        KT_TEXT_WINDOW* w = Add(name.c_str(), 2, 4);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(KTCONSOL_SetFenetreLineMode(console, name.c_str(), 1), 1);
        ASSERT_EQ(KTCONSOL_SetFenetreTrim(console, name.c_str(), 1), 1);
        ASSERT_EQ(KTCONSOL_SetFenetreSpoolMode(console, name.c_str(), c.mode), 1);
        ASSERT_EQ(TWI_WriteText(w, "one\ntwo\nthre", 0), 1);
        ExpectSpool(w, c.spooled);
        EXPECT_EQ(Line(w, 0), c.line0);
        EXPECT_EQ(Line(w, 1), c.line1);
    }
}

TEST_F(Windows, SpoolRotationAndNewLogHeader) {
    KT_TEXT_WINDOW* w = Add("S", 2, 10);
    ASSERT_NE(w, nullptr);
    WriteAll(w->spoolPath, std::string(401 * 1024 + 1, 'o'));
    ASSERT_EQ(TWI_OpenSpool(w, 0), 1);  // too large: moved to its "SPB" name
    TWI_CloseSpool(w);
    std::string backup = w->spoolPath;
    backup.replace(backup.size() - 3, 3, "SPB");
    EXPECT_EQ(ReadAll(backup).size(), 401u * 1024 + 1);
    EXPECT_EQ(ReadAll(w->spoolPath), "");

    KT_TEXT_WINDOW* ks = Add("KS", 2, 10);
    ASSERT_NE(ks, nullptr);
    ASSERT_EQ(TWI_OpenSpool(ks, 1), 1);
    TWI_CloseSpool(ks);
    const std::string head = ReadAll(ks->spoolPath);
    EXPECT_EQ(head.size(), std::strlen("[dd-mm/hh:mm:ss,mmm]:** INFO. ** New log\r\n"));
    EXPECT_NE(head.find("]:** INFO. ** New log\r\n"), std::string::npos);
}

TEST_F(Windows, LineEndModes) {
    KT_TEXT_WINDOW* w = Add("L", 3, 4);
    ASSERT_NE(w, nullptr);
    struct Case {
        int mode;
        const char* end;
    } cases[] = {{0, nullptr}, {1, "\n"}, {2, "\r\n"}, {3, "\r"}, {4, "\r\n"}, {5, nullptr}};
    for (const Case& c : cases) {
        w->lineMode = c.mode;
        if (c.end == nullptr) EXPECT_EQ(TWI_GetLineEnd(w), nullptr) << c.mode;
        else EXPECT_STREQ(TWI_GetLineEnd(w), c.end) << c.mode;
    }
    EXPECT_EQ(TWI_GetLineEnd(nullptr), nullptr);
    // Mode 4 joins a full line with a next one that does not begin with a
    // blank, and ends it otherwise.
    w->lineMode = 4;
    ASSERT_EQ(TWI_WriteText(w, "abcdefgh ijk", 0), 1);
    ASSERT_EQ(TWI_SpoolLines(w, 0), 1);
    ExpectSpool(w, "abcdefgh\r\n ijk\r\n");
}

TEST_F(Windows, FiftyFirstWindowRefused) {
    for (int i = 1; i < KTCONSOL_MAX_WINDOWS; ++i)
        ASSERT_EQ(KTCONSOL_AddFenetre(console, ("W" + std::to_string(i)).c_str(), 2, 10), 1) << i;
    TraceCapture trace;
    int result = 0;
    EXPECT_EQ(KTCONSOL_ConsoAddFenetre(console, 2, 10, "LAST", &result), nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTCONSOL_ConsoAddFenetre : Echec Allocation Fenetre...."));
    EXPECT_EQ(console->statusBits, KTCONSOL_BIT_TIMEOUT);
    EXPECT_TRUE(trace.Contains("<< WARN. >> KTTD_SetError: Status: __TTY CMD TIMEOUT__"));
    EXPECT_EQ(console->errorFlag, 0);
    EXPECT_EQ(KTCONSOL_AddFenetre(console, "LAST", 2, 10), -1);
    EXPECT_EQ(console->windowCount, KTCONSOL_MAX_WINDOWS);
}

TEST_F(Windows, WindowThatCannotBeMadeReportsInternalError) {
    TraceCapture trace;
    int result = 0;
    EXPECT_EQ(KTCONSOL_ConsoAddFenetre(console, 0, 10, "Z", &result), nullptr);
    EXPECT_EQ(result, -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTCONSOL_ConsoAddFenetre : Echec CreationFenetre...."));
    EXPECT_EQ(console->statusBits, KTCONSOL_BIT_INTERNAL);
    EXPECT_TRUE(trace.Contains("<< WARN. >> KTTD_SetError: Status: _TTY INTERNAL ERROR"));
    KT_TEXT_WINDOW* made = KTCONSOL_ConsoAddFenetre(console, 2, 10, "Y", &result);
    EXPECT_NE(made, nullptr);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(made, KTCONSOL_FindFenetre(console, "Y"));
}

// The status bits by case; the error text carries the system text "C_WARN"
// when the text manager has it.
TEST_F(Windows, ConsoleErrorStatusTable) {
    testsupport::TempDir work;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    std::filesystem::create_directories("WTRACES/WSYS");
    ASSERT_TRUE(testsupport::WriteSignedParamFile("WTRACES/WSYS/wmes_00.wt", {"[C_WARN:Attention]"}));
    TEXT_MANAGER* manager = TEXT_NewTEXTManager();
    ASSERT_NE(manager, nullptr);
    struct Case {
        const char* what;
        bool withManager;
        int bits;
        int flag;  // error flag after
        int bitsAfter;
        const char* label;
        const char* text;
        std::vector<const char*> traces;
    } cases[] = {
        {"refused, C_WARN present", true, 2, 1, 2, "__TTY CMD REFUSED__",
         "[Console(): TT001001:**Attention**-:__TTY CMD REFUSED__]", {"KTTD_SetError: Status: 2"}},
        {"refused, no text manager", false, 2, 1, 2, "__TTY CMD REFUSED__",
         "[Console(): TT001001:****-:__TTY CMD REFUSED__]", {}},
        {"refused with broken pipe: refused wins", false, 2 | 4, 1, 2, "__TTY CMD REFUSED__",
         "[Console(): TT001001:****-:__TTY CMD REFUSED__]", {"KTTD_SetError: Status: 6"}},
        {"internal error: not followed", false, 1, 0, 1, "", "",
         {"KTTD_SetError: Error not followed, status: 1", "Error not followed, file: TT001001, status: 1",
          "KTTD_SetError: Status: _TTY INTERNAL ERROR"}},
        {"broken pipe and time-out", false, 4 | 8, 0, 12, "", "",
         {"KTTD_SetError: Status: __TTY BROKEN PIPE__", "KTTD_SetError: Status: __TTY CMD TIMEOUT__"}},
        {"no bit clears everything", false, 0, 0, 0, "", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        console->textManager = c.withManager ? manager : nullptr;
        std::strcpy(console->currentWindow, "T001001");
        console->errorFlag = 0;
        console->statusLabel[0] = console->errorText[0] = '\0';
        if (c.bits == 0) {  // a followed error first, then cleared
            console->statusBits = 2;
            KTTD_SetConsoError(console);
        }
        console->statusBits = c.bits;
        TraceCapture trace;
        EXPECT_EQ(KTTD_SetConsoError(console), c.flag);
        EXPECT_EQ(console->errorFlag, c.flag);
        EXPECT_EQ(console->statusBits, c.bitsAfter);
        EXPECT_STREQ(console->statusLabel, c.label);
        EXPECT_STREQ(console->errorText, c.text);
        for (const char* t : c.traces) EXPECT_TRUE(trace.Contains(t)) << t;
    }
    // The order of the labels of several bits.
    console->statusBits = 1 | 2 | 4 | 8;
    console->errorFlag = 0;
    console->statusBits = 1 | 4 | 8;
    TraceCapture trace;
    KTTD_SetConsoError(console);
    std::vector<std::string> labels;
    for (const std::string& line : trace.Snapshot())
        if (line.find("KTTD_SetError: Status: _") != std::string::npos) labels.push_back(line.substr(line.find("Status: ") + 8));
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_NE(labels[0].find("__TTY BROKEN PIPE__"), std::string::npos);
    EXPECT_NE(labels[1].find("_TTY INTERNAL ERROR"), std::string::npos);
    EXPECT_NE(labels[2].find("__TTY CMD TIMEOUT__"), std::string::npos);
    EXPECT_EQ(KTTD_SetConsoError(nullptr), -1);
    console->textManager = nullptr;
    TEXT_FreeTEXTManager(manager);
    std::filesystem::current_path(previous);
}

TEST(ConsoleDefaults, WorkDirectoryGivesSpoolAndPrintCommands) {
    ASSERT_EQ(KTCONSOL_SetWorkDirectory("/opt/znp", "-x"), 1);
    ConsoBox* console = KTCONSOL_NewConso(1, 2, "C", nullptr, nullptr);
    ASSERT_NE(console, nullptr);
    EXPECT_STREQ(console->spoolDirectory, "/opt/znp/WOut");
    EXPECT_STREQ(console->printCommand1, "/opt/znp/WSYS/wfprint %s -x");
    EXPECT_STREQ(console->printCommand2, "/opt/znp/WSYS/wsprint %s -x");
    EXPECT_STREQ(KTCONSOL_FindFenetre(console, "C")->spoolPath, "/opt/znp/WOut/C001002.SPO");
    KTCONSOL_FreeConso(console);
    // As start-up leaves them: ".", no argument, print command 1 empty.
    ASSERT_EQ(KTCONSOL_SetWorkDirectory(".", nullptr), 1);
    ASSERT_EQ(KTCONSOL_SetPrintCommand(""), 1);
    console = KTCONSOL_NewConso(1, 2, "C", nullptr, nullptr);
    ASSERT_NE(console, nullptr);
    EXPECT_STREQ(console->spoolDirectory, "./WOut");
    EXPECT_STREQ(console->printCommand1, "");
    EXPECT_STREQ(console->printCommand2, "./WSYS/wsprint %s ");
    KTCONSOL_FreeConso(console);
    // Refusals leave the settings.
    EXPECT_EQ(KTCONSOL_SetWorkDirectory(std::string(101, 'd').c_str(), nullptr), -1);
    EXPECT_EQ(KTCONSOL_SetWorkDirectory(nullptr, nullptr), -1);
    EXPECT_EQ(KTCONSOL_SetPrintCommand(nullptr), -1);
    EXPECT_EQ(KTCONSOL_SetWorkDirectory(std::string(100, 'd').c_str(), nullptr), 1);
    KTCONSOL_SetWorkDirectory(".", nullptr);
}

// A new console clears the first 32,769 bytes of its stream's answer body.
TEST(ConsoleDefaults, NewConsoleClearsTheStreamsAnswerBody) {
    int32_t stamp = 0;
    KTM_WPRO* block = KTM_NewMess(1210, 1, nullptr, 0, &stamp);
    ASSERT_NE(block, nullptr);
    KTX_WSERV stream{};
    stream.mess = block;
    uint8_t* body = KTM_GetAnswerMessage(block);
    std::memset(body, 0xAA, KTM_M_MAX);
    ConsoBox* console = KTCONSOL_NewConso(1, 1, "C", &stream, nullptr);
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(console->messageBody, body);
    EXPECT_EQ(console->stream, &stream);
    for (int i = 0; i < KTCONSOL_MESSAGE_CLEAR; ++i) ASSERT_EQ(body[i], 0) << i;
    EXPECT_EQ(body[KTCONSOL_MESSAGE_CLEAR], 0xAA);
    KTCONSOL_FreeConso(console);
    KTM_FreeMess(block);
}

// Print commands: the spool path reaches the command whole, as one
// argument, whatever it holds; nothing of it is run by the shell.
TEST_F(Windows, PrintCommandGetsTheSpoolPathAsOneArgument_Mended) {
    const std::string script = dir.file("record.sh");
    const std::string record = dir.file("argv.txt");
    WriteAll(script, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > '" + record + "'\n");
    ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
    KT_TEXT_WINDOW* w = Add("P", 2, 10);
    ASSERT_NE(w, nullptr);
    struct Case {
        const char* what;
        std::string path;
    } cases[] = {
        {"plain", dir.file("P001001.SPO")},
        {"blanks", dir.file("a b  c.SPO")},
        {"a quote", dir.file("it's.SPO")},
        {"shell words", dir.file("$(touch pwned)`touch pwned2`;touch pwned3;\".SPO")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::snprintf(w->spoolPath, sizeof w->spoolPath, "%s", c.path.c_str());
        std::remove(record.c_str());
        EXPECT_EQ(TWI_SpoolSystemOut(w, (script + " %s 100%% done").c_str()), 1);
        EXPECT_EQ(ReadAll(record), "[" + c.path + "]\n[100%]\n[done]\n");
    }
    EXPECT_FALSE(Exists(dir.file("pwned")));
    EXPECT_FALSE(Exists("pwned2"));
    EXPECT_FALSE(Exists("pwned3"));
    EXPECT_FALSE(Exists(dir.file("pwned2")));
}

// A command line longer than 511 characters is refused, not run cut.
TEST_F(Windows, PrintCommandOver511NotRun_Mended) {
    const std::string marker = dir.file("ran");
    KT_TEXT_WINDOW* w = Add("P", 2, 10);
    ASSERT_NE(w, nullptr);
    std::snprintf(w->spoolPath, sizeof w->spoolPath, "%s", "x");  // quoted: 3 characters
    const std::string head = "touch '" + marker + "' #";
    for (int length : {511, 512, 600}) {
        SCOPED_TRACE(length);
        std::remove(marker.c_str());
        // The line is the format with "%s" replaced by 'x' (3 characters).
        const std::string format = head + std::string(static_cast<size_t>(length) - head.size() - 3, 'p') + "%s";
        TraceCapture trace;
        const int result = TWI_SpoolSystemOut(w, format.c_str());
        if (length <= 511) {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(Exists(marker));
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_FALSE(Exists(marker));
            EXPECT_TRUE(trace.Contains("-- ERROR -- TWI_SpoolSystemOut: Command to run too long"));
        }
    }
}

TEST_F(Windows, MissingPrintScriptIsTracedNotAnError) {
    KT_TEXT_WINDOW* w = Add("P", 2, 10);
    ASSERT_NE(w, nullptr);
    TraceCapture trace;
    EXPECT_EQ(TWI_SpoolSystemOut(w, (dir.str() + "/WSYS/wsprint %s ").c_str()), 1);
    EXPECT_TRUE(trace.Contains("<< WARN. >> TWI_SpoolSystemOut"));
    EXPECT_EQ(TWI_SpoolSystemOut(w, nullptr), -1);
    EXPECT_EQ(TWI_SpoolSystemOut(nullptr, "true"), -1);
}

}  // namespace

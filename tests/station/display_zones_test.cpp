// Display zones of a real session on a copy of the example tree: the base
// zones, the trace zone's spool file, messages by text id with their zone
// message bytes, aligned output and the POS or terminal language.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "platform/clock.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"
#include "support/config_tree.h"
#include "support/scripted_keys.h"
#include "support/session_tree.h"
#include "support/trace_capture.h"
#include "support/trv_process.h"

namespace {

using testsupport::ReadFileText;

class ZonesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tree.ok());
        std::filesystem::create_directory(tree.file("WOut"));
        InitDefaultOptions();  // sets the process's spool directory to ./WOut
        KTCONSOL_SetWorkDirectory(tree.str().c_str(), nullptr);
        g_processOptions.station = testsupport::UniqueStation();
        testsupport::UseTreeForSession(tree.str());
        ASSERT_EQ(TOC_OpenSession(), 1);
        context = GetEftContext();
        box = context->box;
    }
    void TearDown() override {
        ShutdownClient();
        KTCONSOL_SetWorkDirectory(".", nullptr);
    }
    std::string Line(const char* zone, int row) {
        const KT_TEXT_WINDOW* w = KTS_GetWindow(box, zone);
        const char* line = TWI_GetLine(w, row);
        return line != nullptr ? std::string(line, static_cast<size_t>(w->columns)) : "(none)";
    }
    static std::string Trimmed(std::string s) {
        s.erase(s.find_last_not_of(' ') + 1);
        return s;
    }

    testsupport::ConfigTree tree;
    EFTCBox* context = nullptr;
    CSIBox* box = nullptr;
};

}  // namespace

TEST_F(ZonesTest, BaseZonesAndTraceZoneSpoolFiles) {
    for (const char* zone : {"CA", "SP"}) {
        const KT_TEXT_WINDOW* w = KTS_GetWindow(box, zone);
        ASSERT_NE(w, nullptr) << zone;
        EXPECT_EQ(w->rows, 3);
        EXPECT_EQ(w->columns, 1024);
        EXPECT_EQ(w->resource, 41);
        EXPECT_EQ(w->spoolMode, 2);
        EXPECT_EQ(w->lineMode, 2);
        EXPECT_EQ(w->trim, 1);
        EXPECT_STREQ(w->title, context->name);
    }
    EXPECT_STREQ(context->currentZone, "CA");
    EXPECT_STREQ(EFTOC_GetTraceZone(), "CA");

    const std::string ca = KTS_GetWindow(box, "CA")->spoolPath;
    const std::string sp = KTS_GetWindow(box, "SP")->spoolPath;
    EXPECT_EQ(TOC_ZoneTraceWriter("** INFO. ** first line"), 1);
    EFTOC_SetTraceZone("SP");
    EXPECT_EQ(TOC_ZoneTraceWriter("** INFO. ** secured line"), 1);
    EFTOC_SetTraceZone("CA");
    const std::string caText = ReadFileText(ca), spText = ReadFileText(sp);
    EXPECT_NE(caText.find("]:** INFO. ** first line\r\n"), std::string::npos);
    EXPECT_EQ(caText.find("secured line"), std::string::npos);
    EXPECT_NE(spText.find("]:** INFO. ** secured line\r\n"), std::string::npos);
    // A trace zone that does not exist loses nothing and breaks nothing.
    EFTOC_SetTraceZone("ZZ");
    EXPECT_EQ(TOC_ZoneTraceWriter("** INFO. ** nowhere"), 1);
    EFTOC_SetTraceZone("CA");
}

TEST_F(ZonesTest, DisplayByIdWritesTheZoneMessage) {
    ASSERT_EQ(KTS_AddWindow(box, "V5", 2, 40), 1);
    ASSERT_EQ(KTS_AddWindow(box, "V7", 4, 40), 1);
    struct Case {
        const char* zone;
        const char* titleId;
        const char* textId;
        int titleRow;  // the size byte (1 or 2) is the row of the title
        std::string title, message;
    } cases[] = {
        {"V5", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", 0, "PAIEMENT",
         "INSEREZ VOTRE CARTE"},
        {"V7", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", 1, "PAIEMENT",
         "INSEREZ VOTRE CARTE"},
        // Ids without text are shown as they stand; the two title families
        // borrow the text of their neighbour.
        {"V5", "NO_SUCH_TITLE", "NO_SUCH_TEXT", 0, "NO_SUCH_TITLE", "NO_SUCH_TEXT"},
        {"V5", "ZNP_DSP_TITLE_SPECIFIC_X", "ZNP_DSP_TITLE_ERROR", 0, "PAIEMENT", "ERREUR"},
        {"V5", "znp_dsp_title_update_parameters", "ZNP_DSP_TITLE_ERROR", 0, "TELECOLLECTE", "ERREUR"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TOC_DisplayById(c.zone, c.titleId, c.textId), 0);
        const std::string titleLine = Line(c.zone, c.titleRow);
        const size_t at = (40 - c.title.size()) / 2;  // column byte (40 - len) / 2 + 1, 1-based
        EXPECT_EQ(titleLine.substr(at, c.title.size()), c.title) << c.zone << " " << c.titleId;
        EXPECT_EQ(Trimmed(titleLine), std::string(at, ' ') + c.title);
        EXPECT_EQ(Trimmed(Line(c.zone, c.titleRow + 1)), c.message);
    }
    // Without title the message starts on the size row, column 1.
    EXPECT_EQ(TOC_DisplayById("V7", nullptr, "ZNP_DSP_TITLE_ERROR"), 0);
    EXPECT_EQ(Trimmed(Line("V7", 1)), "ERREUR");
    EXPECT_STREQ(context->currentZone, "CA");  // the zone was put back
}

TEST_F(ZonesTest, NothingIsShownAfterTheFinalAnswerOrOnSuppressedP5) {
    ASSERT_EQ(KTS_AddWindow(box, "P5", 2, 40), 1);
    GetTransactionRecord()->posAnswerState = 2;
    EXPECT_EQ(TOC_DisplayById("P5", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_TITLE_ERROR"), 0);
    EXPECT_EQ(Trimmed(Line("P5", 0)), "");
    GetTransactionRecord()->posAnswerState = 0;
    Options.PosGuiOptions = 0x8;
    EXPECT_EQ(TOC_DisplayById("P5", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_TITLE_ERROR"), 0);
    EXPECT_EQ(Trimmed(Line("P5", 0)), "");
    Options.PosGuiOptions = 0;
    EXPECT_EQ(TOC_DisplayById("P5", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_TITLE_ERROR"), 0);
    EXPECT_NE(Line("P5", 0).find("PAIEMENT"), std::string::npos);
}

TEST_F(ZonesTest, TerminalZoneReportsTheFailedDisplayScriptInTheTraceZone) {
    // No terminal is driven: the display script cannot be set up. During the
    // call the trace goes to the trace zone's spool file.
    testsupport::TraceCapture capture;
    const int status = TOC_DisplayById("E5", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_TITLE_ERROR");
    EXPECT_NE(status, 0);
    const std::string trace = ReadFileText(KTS_GetWindow(box, "CA")->spoolPath);
    const size_t at = trace.find("-- ERROR --");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(trace.find("[DISPLAY]", at), std::string::npos);
    EXPECT_NE(trace.find("Mise en place du script d'affichage ZNP_DSP_TITLE_ERROR echouee (" +
                         std::to_string(status) + ")"),
              std::string::npos);
    EXPECT_FALSE(capture.Contains("[DISPLAY]"));
    // Afterwards the hook in place before the call is back.
    WSysError("** INFO. ** after the display");
    EXPECT_TRUE(capture.Contains("after the display"));
}

TEST_F(ZonesTest, AlignedOutputInABlock) {
    ASSERT_EQ(KTS_AddWindow(box, "V6", 1, 42), 1);
    ASSERT_EQ(KTS_SetWindowSpoolMode(box, "V6", 2), 1);
    ASSERT_EQ(KTS_SetWindowLineMode(box, "V6", 2), 1);
    const std::string spool = KTS_GetWindow(box, "V6")->spoolPath;
    const struct {
        char alignment;
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {'C', std::string(20, 'a') + std::string(10, 'b'),
         {std::string(10, ' ') + std::string(20, 'a') + std::string(10, ' '),
          std::string(15, ' ') + std::string(10, 'b') + std::string(15, ' ')}},
        {'G', "abc", {std::string(10, ' ') + "abc" + std::string(27, ' ')}},
        {'D', "abc", {std::string(27, ' ') + "abc" + std::string(10, ' ')}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(spool);
        EXPECT_EQ(TOC_ZoneWriteAligned("V6", c.text.c_str(), c.alignment, 20), 1);
        TOC_ZoneWrite("V6", "");  // the next clearing spools the last line
        // The window's blank line before the first write is spooled too.
        std::string expected = std::string(42, ' ') + "\r\n";
        for (const std::string& line : c.lines) expected += line + std::string(2, ' ') + "\r\n";
        EXPECT_EQ(ReadFileText(spool), expected) << c.alignment;
    }
    EXPECT_EQ(TOC_ZoneWriteAligned("NOPE", "abc", 'C', 20), -2);
}

TEST_F(ZonesTest, PosmTextsInThePosOrTerminalLanguage) {
    std::ofstream(tree.file("WTXT/posm_07.wt"), std::ios::binary) << "[T_X:TERMINAL]\r\n[P_Y:SECOND]\r\n";
    std::ofstream(tree.file("WTXT/posm_00.wt"), std::ios::binary | std::ios::app)
        << "[T_X:CAISSE]\r\n[A_B:AUTRE]\r\n";
    context->terminalLanguage = 7;
    context->posLanguage = 0;
    char first[64] = "", second[64] = "";
    EXPECT_EQ(TOC_GetPosmTexts("T_X", first, nullptr, nullptr, sizeof first), 1);
    EXPECT_STREQ(first, "TERMINAL");
    EXPECT_EQ(TOC_GetPosmTexts("A_B", first, "P_Y", second, sizeof first), 1);
    EXPECT_STREQ(first, "AUTRE");  // falls back to country 0
    EXPECT_STREQ(second, "SECOND");
    EXPECT_EQ(TOC_GetPosmTexts("X_T", first, nullptr, nullptr, sizeof first), -1);
    context->terminalLanguage = 0;
    EXPECT_EQ(TOC_GetPosmTexts("T_X", first, nullptr, nullptr, sizeof first), 1);
    EXPECT_STREQ(first, "CAISSE");
}

TEST(ZonesWithoutSession, EveryOperationGivesItsFailureValue) {
    ASSERT_EQ(TOC_GetTextZoneContext(), nullptr);
    char out[8];
    EXPECT_EQ(TOC_ZoneWrite("CA", "x"), -1);
    EXPECT_EQ(TOC_ZonePrintf("CA", "%d", 1), -1);
    EXPECT_EQ(TOC_ZoneWriteAligned("CA", "x", 'C', 5), -1);
    EXPECT_EQ(TOC_GetPosmTexts("A", out, nullptr, nullptr, sizeof out), -1);
    EXPECT_EQ(TOC_ZoneWaitKey("CA", 10, 0), 255);
    EXPECT_EQ(TOC_ZoneWaitSelection("CA", 10, 1, 5, 0, "t", "item"), 255);
    EXPECT_EQ(TOC_OpenTextZones(nullptr, "posm"), -1);
}

TEST(ConsoleWindows, AWindowWhoseFullNameWouldBeCutIsRefused) {
    ConsoBox* console = KTCONSOL_NewConso(1, 2, "C", nullptr, nullptr);
    ASSERT_NE(console, nullptr);
    // Name and the two three-digit numbers: 73 + 6 characters fit, 74 + 6 do not.
    const std::string fits(73, 'w'), tooLong(74, 'w');
    EXPECT_EQ(KTCONSOL_AddFenetre(console, fits.c_str(), 2, 10), 1);
    EXPECT_NE(KTCONSOL_FindFenetre(console, fits.c_str()), nullptr);
    EXPECT_EQ(KTCONSOL_AddFenetre(console, tooLong.c_str(), 2, 10), -2);
    EXPECT_EQ(KTCONSOL_FindFenetre(console, tooLong.c_str()), nullptr);
    EXPECT_EQ(console->windowCount, 2);
    KTCONSOL_FreeConso(console);
}

TEST(ConsoleSeconds, MillisecondsToTheConsolesSeconds) {
    struct Case {
        int ms, seconds;
    } cases[] = {{-1, -1}, {-5000, -1}, {0, 0}, {100, 0}, {999, 0}, {1000, 1}, {1001, 2}, {60000, 60}, {600000, 600}};
    for (const Case& c : cases) EXPECT_EQ(TOC_ConsoleSeconds(c.ms), c.seconds) << c.ms;
}

// The zone waits convert their milliseconds once: the console's keyboard
// waits that many seconds; below a second it only looks.
TEST_F(ZonesTest, ZoneWaitsOnThePcConsoleCountSeconds) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    testsupport::ScriptedKeys keys;
    ASSERT_EQ(KTS_AddWindow(box, "K", 3, 20), 1);
    ASSERT_EQ(KTS_SetWindowResource(box, "K", 41), 0);
    keys.queue("V");
    EXPECT_EQ(TOC_ZoneWaitKey("K", 60000, 1), 'V');
    EXPECT_EQ(box->console->timeout, 60);
    EXPECT_EQ(keys.waits(), 1);
    // A tenth of a second: one look, no key, no sleep.
    const int64_t before = clock.nowMs();
    EXPECT_EQ(TOC_ZoneWaitKey("K", 100, 1), 255);
    EXPECT_EQ(clock.nowMs(), before);
    EXPECT_EQ(box->console->timeout, 0);
    EXPECT_EQ(keys.waits(), 1);
    // A wait that runs out: its seconds (rounded up) pass on the clock.
    EXPECT_EQ(TOC_ZoneWaitKey("K", 2500, 1), 255);
    EXPECT_GE(clock.nowMs() - before, 3000);
    EXPECT_EQ(keys.waits(), 2);
    // The entry keeps the console's seconds for each key wait.
    keys.queueEach("12\r");
    char data[8] = {};
    EXPECT_EQ(TOC_ZoneWaitEntry("K", 30000, 1, 1, 4, data, sizeof data, "NUM"), 131);
    EXPECT_STREQ(data, "12  ");
    EXPECT_EQ(box->console->timeout, 30);
}

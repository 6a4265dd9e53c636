// The interface engine's tables, addresses, status refresh, encoders and
// front end on a console with local windows: rows as stored and taken, the
// payloads decoded back with the field decoder, and the commands of the POS
// GUI run by recording executors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/length_prefixed.h"
#include "protocols/pv_status.h"
#include "support/interface_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::AnswerStatus;
using testsupport::Payload;
using testsupport::PosGuiRecorder;
using testsupport::StoreCommand;
using testsupport::TraceCapture;

struct Engine : testsupport::InterfaceConsole {};

const std::string kTouch = Payload("%L%X", 0L, 0);

std::string Row(const char* row, size_t n) { return std::string(row, n); }

TEST_F(Engine, CommandRowsFillUpTo128AndAClearFreesThemAgain) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    ASSERT_NE(r, nullptr);
    for (int i = 1; i <= SAP_ROWS; ++i) ASSERT_EQ(StoreCommand(box, r, TWIP_TOUCH, kTouch), i);
    EXPECT_EQ(Row(box->SAP_Commands[0], 11) + Row(box->SAP_Commands[0] + 11, kTouch.size()), "1_041_0011_" + kTouch);
    EXPECT_EQ(Row(box->SAP_Answers[127], 16), std::string("1_041_0011_0000") + '\0');
    {
        TraceCapture trace;
        EXPECT_EQ(StoreCommand(box, r, TWIP_TOUCH, kTouch), -3);
        EXPECT_TRUE(trace.Contains("-- ERROR -- TWIP_SetScriptMes() : Script OverFlow !"));
    }
    EXPECT_EQ(ISAP_ClearAll(), 0);
    EXPECT_EQ(box->SAP_Commands[5][0], TWIP_FREE);
    EXPECT_EQ(StoreCommand(box, r, TWIP_TOUCH, kTouch), 1);
    EXPECT_EQ(StoreCommand(box, r, TWIP_TOUCH, kTouch), 2);
    // The clear flag empties both tables first: the command lands in row 0.
    EXPECT_EQ(StoreCommand(box, r, TWIP_DISPLAY, kTouch, 1), 1);
    EXPECT_EQ(Row(box->SAP_Commands[0], 11), "1_041_0001_");
    EXPECT_EQ(box->SAP_Commands[1][0], TWIP_FREE);
    EXPECT_EQ(box->SAP_Answers[1][0], TWIP_FREE);
}

TEST_F(Engine, StoreRefusesWhatIsNotOneOfTheBoxsResources) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    KT_PIRES stranger = *r;
    EXPECT_EQ(TWIP_SetCommandScriptMes(nullptr, r, 0, 5, kTouch.data()), -1);
    EXPECT_EQ(TWIP_SetCommandScriptMes(box, nullptr, 0, 5, kTouch.data()), -1);
    EXPECT_EQ(TWIP_SetCommandScriptMes(box, r, 0, 5, nullptr), -1);
    EXPECT_EQ(TWIP_SetCommandScriptMes(box, r, 0, -1, kTouch.data()), -1);
    TraceCapture trace;
    EXPECT_EQ(TWIP_SetCommandScriptMes(box, &stranger, 0, 5, kTouch.data()), -4);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWIP_SetScriptMes() : Bad SAP !"));
    EXPECT_EQ(TWIP_IsAllScriptSent(box), 1);
}

TEST_F(Engine, PayloadsOver137BytesAreRefusedWhole_Mended) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    const std::string fits = Payload("%B", 129u, std::string(129, 'p').c_str());
    const std::string over = Payload("%B", 130u, std::string(130, 'p').c_str());
    ASSERT_EQ(fits.size(), 137u);
    ASSERT_EQ(over.size(), 138u);
    EXPECT_EQ(StoreCommand(box, r, TWIP_TOUCH, fits), 1);
    EXPECT_EQ(std::memcmp(box->SAP_Commands[0] + 11, fits.data(), 137), 0);
    box->lastStatus = 0;
    {
        TraceCapture trace;
        EXPECT_EQ(StoreCommand(box, r, TWIP_TOUCH, over), -3);
        EXPECT_TRUE(trace.Contains("Payload too long"));
    }
    EXPECT_EQ(box->lastStatus, 1);
    EXPECT_EQ(box->SAP_Commands[1][0], TWIP_FREE);
    // Answers likewise: the current row stays expected.
    ASSERT_NE(TWIP_GetCommandScriptMes(box, nullptr, nullptr, nullptr, nullptr), nullptr);
    box->lastStatus = 0;
    EXPECT_EQ(TWIP_SetAnswerScriptMes(box, 138, over.data()), -3);
    EXPECT_EQ(box->lastStatus, 1);
    EXPECT_EQ(box->SAP_Answers[0][0], TWIP_SET);
    EXPECT_EQ(TWIP_SetAnswerScriptMes(box, 137, fits.data()), 1);
    EXPECT_EQ(box->SAP_Answers[0][0], TWIP_ANSWERED);
}

TEST_F(Engine, TakenCommandsCarryTheLastFlag) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    struct Case {
        std::vector<int> types;
        std::vector<int> last;
    };
    const Case cases[] = {
        {{TWIP_TOUCH, TWIP_TOUCH, TWIP_TOUCH}, {0, 0, 1}},
        // A SELEC always closes a batch, even with commands after it.
        {{TWIP_SELEC, TWIP_DISPLAY}, {1, 1}},
        {{TWIP_DISPLAY, TWIP_SELEC, TWIP_DISPLAY, TWIP_DISPLAY}, {0, 1, 0, 1}},
    };
    for (const Case& c : cases) {
        ISAP_ClearAll();
        for (int type : c.types) ASSERT_GT(StoreCommand(box, r, type, kTouch), 0);
        for (size_t i = 0; i < c.types.size(); ++i) {
            int length = 0, function = 0, command = 0, last = -1;
            ASSERT_NE(TWIP_GetCommandScriptMes(box, &length, &function, &command, &last), nullptr);
            EXPECT_EQ(function, 41);
            EXPECT_EQ(command, c.types[i]);
            EXPECT_EQ(length, static_cast<int>(kTouch.size()));
            EXPECT_EQ(last, c.last[i]) << "command " << i;
            EXPECT_EQ(box->SAP_Commands[i][0], TWIP_SENT);
        }
        EXPECT_EQ(TWIP_GetCommandScriptMes(box, nullptr, nullptr, nullptr, nullptr), nullptr);
        EXPECT_EQ(TWIP_IsAllScriptSent(box), 1);
    }
    // Row 127 is the last row whatever follows.
    ISAP_ClearAll();
    for (int i = 0; i < SAP_ROWS; ++i) ASSERT_GT(StoreCommand(box, r, TWIP_TOUCH, kTouch), 0);
    for (int i = 0; i < SAP_ROWS; ++i) {
        int last = -1;
        ASSERT_NE(TWIP_GetCommandScriptMes(box, nullptr, nullptr, nullptr, &last), nullptr);
        EXPECT_EQ(last, i == SAP_ROWS - 1 ? 1 : 0);
    }
}

TEST_F(Engine, TheLowestAnswerRowOfTheResourceDecides) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    KT_PIRES* other = ResourceOf(Window("T2", 42, 2, 10));
    struct Case {
        char row3, row5;
        int expected;
    };
    const Case cases[] = {
        {TWIP_SET, TWIP_ANSWERED, 1}, {TWIP_ANSWERED, TWIP_SET, 2}, {TWIP_READ, TWIP_ANSWERED, 2},
        {TWIP_READ, TWIP_SET, 1},     {TWIP_READ, TWIP_READ, 0},
    };
    for (const Case& c : cases) {
        ISAP_ClearAll();
        for (int i = 0; i < 6; ++i) StoreCommand(box, i == 3 || i == 5 ? r : other, TWIP_TOUCH, kTouch);
        box->SAP_Answers[3][0] = c.row3;
        box->SAP_Answers[5][0] = c.row5;
        r->command = TWIP_TOUCH;
        EXPECT_EQ(TWIP_CheckFunAnswer(box, r), c.expected) << c.row3 << c.row5;
        // Rows of another command type do not count, unless the type is 0.
        r->command = TWIP_DATUM;
        EXPECT_EQ(TWIP_CheckFunAnswer(box, r), 0);
        r->command = 0;
        EXPECT_EQ(TWIP_CheckFunAnswer(box, r), c.expected);
    }
}

TEST_F(Engine, AResultStillExpectedLeavesTheKeyAndTheGeneralStatus) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    ASSERT_EQ(StoreCommand(box, r, TWIP_TOUCH, kTouch), 1);
    box->SAP_GenStat = PV_ALL_FINE;
    r->result = 7;
    EXPECT_EQ(TWIP_GetOneResult(box, r), PV_ALL_FINE);
    EXPECT_EQ(r->result, 255);
    EXPECT_EQ(r->resultStatus, PV_NOT_YET);
    EXPECT_EQ(box->lastStatus, PV_NOT_YET);
    // Nothing at all for the resource: 1.
    ISAP_ClearAll();
    EXPECT_EQ(TWIP_GetOneResult(box, r), PV_CMD_INTERNAL);
}

TEST_F(Engine, MultiRowAnswersAreReadToTheLastOne) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    for (int i = 0; i < 3; ++i) StoreCommand(box, r, TWIP_TOUCH, kTouch);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(TWIP_GetCommandScriptMes(box, nullptr, nullptr, nullptr, nullptr), nullptr);
        const std::string answer = Payload("%X%X", 0, 'a' + i);
        ASSERT_EQ(TWIP_SetAnswerScriptMes(box, static_cast<int>(answer.size()), answer.data()), i + 1);
    }
    r->command = TWIP_TOUCH;
    EXPECT_EQ(TWIP_GetOneResult(box, r), PV_ALL_FINE);
    EXPECT_EQ(r->result, 'c');
    for (int i = 0; i < 3; ++i) EXPECT_EQ(box->SAP_Answers[i][0], TWIP_READ);
}

struct AddressCase {
    const char* address;
    int result;
    const char* status;  // "unchanged": the resource's status stays
    int mesStat;         // -7: the resource's state stays
};

void CheckAddresses(const std::vector<AddressCase>& cases) {
    for (const AddressCase& c : cases) {
        KT_PIRES r{};
        std::snprintf(r.xsap, sizeof r.xsap, "%s", c.address);
        std::memcpy(r.status, "unchanged", 9);
        r.status[8] = '\0';
        r.MesStat = -7;
        EXPECT_EQ(TWIP_ParseXSAP(&r), c.result) << c.address;
        EXPECT_EQ(std::string(r.status), std::string(c.status).substr(0, 8)) << c.address;
        EXPECT_EQ(r.MesStat, c.mesStat) << c.address;
    }
}

TEST(Xsap, AddressesParseToStatusAndMessageState) {
    CheckAddresses({
        {"XSAP/00000000/003/", 1, "00000000", 3},
        {"XSAP/0000001a/001/", 1, "0000001a", 1},
        {"XSAP/00000000/4", 1, "00000000", 4},
        {"XPRO/00000000/003/", -1, "unchanged", -7},
        {"", -1, "unchanged", -7},
    });
    EXPECT_EQ(TWIP_ParseXSAP(nullptr), -2);
}

TEST(Xsap, OnlyEightHexadecimalDigitsAndAStateAreTaken_Mended) {
    CheckAddresses({
        {"XSAP/0000000/001/", -3, "unchanged", -7},
        {"XSAP/000000000/001/", -3, "unchanged", -7},
        {"XSAP/0000000g/001/", -3, "unchanged", -7},
        {"XSAP/00000000", -3, "unchanged", -7},
        {"XSAP//001/", -3, "unchanged", -7},
        {"XSAP/00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000/001/", -3,
         "unchanged", -7},
    });
}

TEST(Xsap, FormatWritesStatusAndStateThatParseBack) {
    KT_PIRES r{};
    std::memcpy(r.status, "0000001a", 9);
    r.MesStat = 3;
    EXPECT_EQ(TWIP_FormatXSAP(&r), 18);
    EXPECT_STREQ(r.xsap, "XSAP/0000001a/003/");
    r.MesStat = 0;
    EXPECT_EQ(TWIP_ParseXSAP(&r), 1);
    EXPECT_EQ(r.MesStat, 3);
}

TEST_F(Engine, StatusRefreshGivesPrefixLabelAndSeverity) {
    KT_PIRES* remote = ResourceOf(Window("R1", 61, 2, 10));
    ASSERT_NE(remote, nullptr);
    struct Case {
        int genStat;
        const char* resourceStatus;  // null: no resource given
        int expectedStat;
        int severity;
        const char* text;
    };
    const Case cases[] = {
        {0, nullptr, 0, 0, ":--------Ok---------"},
        {0, "00000000", 0, 0, ":--------Ok---------"},
        {0, "0000001a", 26, 2, "KRN_FUN:3d->:PERI INTERNAL ERROR"},
        {0, "00000022", 34, 3, "KRN_FUN:3d->:_PERI NET TIMEOUT__"},
        // A status already raised is kept; the resource is not read.
        {33, "0000001a", 33, 3, "KRN_SAP:0->:_PERI BROKEN PIPE__"},
        {2, nullptr, 2, 1, "KRN_SAP:0->:_COMMAND  REFUSED__"},
        {8, nullptr, 8, 1, "KRN_SAP:0->:_PERIPH.  REFUSED__"},
        {16, nullptr, 16, 3, "KRN_SAP:0->:_COMMAND  NO ACCES_"},
        {18, nullptr, 18, 3, "KRN_SAP:0->:_PERIPH.  NO ACCES_"},
        {32, nullptr, 32, 3, "KRN_SAP:0->:_TRANS PROTO ERROR_"},
        {64, nullptr, 64, 1, "KRN_SAP:0->:_ANSWER NOT READY__"},
        // The application codes have no label of their own here.
        {4, nullptr, 4, 2, "KRN_SAP:0->:PERI INTERNAL ERROR"},
        {17, nullptr, 17, 2, "KRN_SAP:0->:PERI INTERNAL ERROR"},
        {1, nullptr, 1, 2, "KRN_SAP:0->:PERI INTERNAL ERROR"},
    };
    for (const Case& c : cases) {
        box->SAP_GenStat = c.genStat;
        box->lastStatus = 99;
        if (c.resourceStatus != nullptr) std::memcpy(remote->status, c.resourceStatus, 9);
        SAP_SetStatusText(box, c.resourceStatus != nullptr ? remote : nullptr);
        EXPECT_EQ(box->SAP_GenStat, c.expectedStat) << c.text;
        EXPECT_EQ(box->severity, c.severity) << c.text;
        EXPECT_STREQ(box->statusText, c.text);
        EXPECT_EQ(box->lastStatus, c.expectedStat == 0 ? 0 : 99) << c.text;
    }
}

TEST_F(Engine, NetAppliKeepsTenCharacters) {
    EXPECT_STREQ(box->SAP_NetAppli, "1210");
    EXPECT_EQ(SAP_SetNetAppli("ABCDEFGHIJKL"), 1);
    EXPECT_STREQ(box->SAP_NetAppli, "ABCDEFGHIJ");
    EXPECT_EQ(SAP_SetNetAppli(nullptr), 1);
    EXPECT_STREQ(box->SAP_NetAppli, "ABCDEFGHIJ");
    EXPECT_EQ(SAP_SetLastStatus(-1), 1);
    EXPECT_EQ(SAP_SetLastStatus(16), 1);
    EXPECT_EQ(box->lastStatus, 16);
}

TEST_F(Engine, ASecondBoxServesTheNewConsoleWithoutTheOldResources_Mended) {
    KT_TEXT_WINDOW* w = Window("T1", 41, 2, 10);
    ASSERT_NE(w, nullptr);
    StoreCommand(box, ResourceOf(w), TWIP_TOUCH, kTouch);
    // The same console: nothing changes.
    EXPECT_EQ(SAP_NewSAPbox(nullptr, console, 9, 9, 0), 2);
    EXPECT_EQ(SAP_GetBox(), box);
    EXPECT_NE(ResourceOf(w), nullptr);
    EXPECT_EQ(box->SAP_Commands[0][0], TWIP_SET);
    // Another console (the first went with its session): its windows too.
    ConsoBox* next = KTCONSOL_NewConso(2, 1, "NEXT", nullptr, nullptr);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(SAP_NewSAPbox(nullptr, next, 2, 1, 0), 2);
    EXPECT_EQ(box->console, next);
    EXPECT_EQ(TWIP_FindResource(box, 41, 1), nullptr);
    EXPECT_EQ(box->SAP_Commands[0][0], TWIP_FREE);
    // The console that went no longer holds the box; the one it serves does.
    SAP_ConsoleFreed(console);
    EXPECT_EQ(SAP_GetBox(), box);
    SAP_ConsoleFreed(next);
    EXPECT_EQ(SAP_GetBox(), nullptr);
    EXPECT_EQ(SAP_FreeSAPbox(), -1);
    KTCONSOL_FreeConso(next);
}

TEST_F(Engine, ResourceSlotsRunOutWithANegativeResult_Mended) {
    for (int i = 0; i < SAP_MESSAGE_SLOT; ++i) ASSERT_EQ(TWIP_CreateFunctionProfile(box, 50 + i, 0, nullptr), 1);
    EXPECT_NE(TWIP_FindResource(box, 65, 1), nullptr);
    {
        TraceCapture trace;
        EXPECT_EQ(TWIP_CreateFunctionProfile(box, 70, 0, nullptr), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- TWIP_CreateFunctionProfile() : Too Much Resources !"));
    }
    EXPECT_EQ(box->SAP_GenStat, PV_CMD_INTERNAL);
    // The slot of the incoming messages was not taken.
    EXPECT_EQ(box->resources[SAP_MESSAGE_SLOT].inUse, 0);
    KTCONSOL_AddFenetre(console, "W", 2, 10);
    KTCONSOL_SetFenetreResource(console, "W", 41);
    EXPECT_EQ(ISAP_OpenWindowResource(KTCONSOL_FindFenetre(console, "W")), -2);
}

TEST_F(Engine, OperationsRefuseWithoutBoxConsoleOrWindow) {
    KT_TEXT_WINDOW* w = Window("T1", 41, 2, 10);
    unsigned char key = 0;
    char text[8];
    // Without a window.
    EXPECT_EQ(ISAP_SetDisplayCommand(nullptr), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_SetTouchCommand(nullptr, 1, 1), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_SetDatumCommand(nullptr, 1, 1, 4, "", ""), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_SetSelecCommand(nullptr, 1, 4, 1, "t", "item", 0), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_GetTouchResult(nullptr, &key), PV_CMD_INTERNAL);
    EXPECT_EQ(key, 255);
    EXPECT_EQ(ISAP_IsWindowBound(nullptr), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_OpenWindowResource(nullptr), -1);
    // A box without console.
    box->console = nullptr;
    EXPECT_EQ(ISAP_ClearAll(), -1);
    EXPECT_EQ(ISAP_OpenWindowResource(w), -1);
    EXPECT_EQ(ISAP_GetScriptResults(), -1);
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_GetDatumResult(w, &key, text, sizeof text), PV_CMD_INTERNAL);
    box->console = console;
    // No box.
    SAP_FreeSAPbox();
    EXPECT_EQ(ISAP_ClearAll(), 1);
    EXPECT_EQ(ISAP_OpenWindowResource(w), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_SetTouchCommand(w, 1, 1), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_GetSelecResult(w, &key), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_DealMessage(nullptr), PV_CMD_INTERNAL);
    EXPECT_EQ(ISAP_GetScriptResults(), -1);
}

TEST_F(Engine, AWindowWithoutItsResourceIsRefusedWith18) {
    // The window's number is set without opening its resource.
    KTCONSOL_AddFenetre(console, "E5", 2, 16);
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, "E5");
    ASSERT_NE(w, nullptr);
    w->resource = 47;
    EXPECT_EQ(ISAP_IsWindowBound(w), PV_PER_UNKNOWN);
    EXPECT_EQ(ISAP_SetTouchCommand(w, 1, 0), PV_PER_ACCES);
    EXPECT_EQ(box->severity, 3);
    EXPECT_STREQ(box->statusText, "KRN_SAP:0->:_PERIPH.  NO ACCES_");
    EXPECT_EQ(TWIP_IsAllScriptSent(box), 1);
    EXPECT_EQ(ISAP_OpenWindowResource(w), PV_ALL_FINE);
    EXPECT_EQ(ISAP_IsWindowBound(w), PV_ALL_FINE);
    EXPECT_EQ(ISAP_SetTouchCommand(w, 1, 0), PV_ALL_FINE);
    EXPECT_EQ(TWIP_IsAllScriptSent(box), 0);
}

// Decodes a DISPLAY row: rows, columns, line, 0, first flag, text, attribute.
struct DisplayRow {
    int values[5] = {};
    std::string text;
    char attribute = 0;
};
bool DecodeDisplay(const char* payload, DisplayRow* out) {
    char text[130] = {};
    int length = 0;
    const int n = TWIP_ReseauScanf(payload, "%X%X%X%X%X%D%C", &out->values[0], &out->values[1], &out->values[2],
                                   &out->values[3], &out->values[4], &length, text, 129u, &out->attribute);
    out->text.assign(text, static_cast<size_t>(length));
    return n == 7;
}

TEST_F(Engine, DisplaySetsOneRowPerWindowLineThatDecodesBack) {
    // One window per resource: the resource shows the window it was made for.
    int resource = 40;
    for (int rows : {0, 1, 25}) {
        ISAP_ClearAll();
        const std::string name = "D" + std::to_string(rows);
        const std::string header = "1_0" + std::to_string(++resource) + "_0001_";
        KT_TEXT_WINDOW* w = Window(name.c_str(), resource, rows == 0 ? 1 : rows, 12);
        ASSERT_NE(w, nullptr);
        w->displayAttribute = 0x1E;
        for (int i = 0; i < w->rows; ++i) {
            const std::string line = "\033P" + std::string(1, static_cast<char>(i + 1)) + "\001line " + std::to_string(i);
            TWI_WriteText(w, line.c_str(), 0);
        }
        if (rows == 0) w->rows = 0;
        EXPECT_EQ(ISAP_SetDisplayCommand(w), PV_ALL_FINE);
        for (int i = 0; i < rows; ++i) {
            ASSERT_EQ(Row(box->SAP_Commands[i], 11), header) << i;
            DisplayRow d;
            ASSERT_TRUE(DecodeDisplay(box->SAP_Commands[i] + 11, &d)) << i;
            EXPECT_EQ(d.values[0], rows);
            EXPECT_EQ(d.values[1], 12);
            EXPECT_EQ(d.values[2], i);
            EXPECT_EQ(d.values[3], 0);
            EXPECT_EQ(d.values[4], i == 0 ? 1 : 0);
            const std::string expected = "line " + std::to_string(i);
            EXPECT_EQ(d.text, expected + std::string(12 - expected.size(), ' '));
            EXPECT_EQ(static_cast<unsigned char>(d.attribute), 0x1E);
        }
        EXPECT_EQ(box->SAP_Commands[rows][0], TWIP_FREE) << rows;
        w->rows = rows == 0 ? 1 : rows;
    }
}

TEST_F(Engine, WideWindowLinesNeverOverrunTheLineBuffer_Mended) {
    // A line of 1024 characters: at most 128 are encoded, which with the
    // other fields do not fit a row; no row is set, none overflows.
    KT_TEXT_WINDOW* wide = Window("CA", 41, 3, 1024);
    ASSERT_NE(wide, nullptr);
    TWI_WriteText(wide, std::string(3 * 1024, 'x').c_str(), 0);
    box->lastStatus = 0;
    EXPECT_EQ(TWIP_SetDISPLAY(box, ResourceOf(wide)), PV_ALL_FINE);
    EXPECT_EQ(box->lastStatus, 1);
    EXPECT_EQ(ISAP_SetDisplayCommand(wide), PV_ALL_FINE);
    EXPECT_EQ(TWIP_IsAllScriptSent(box), 1);
    // A line of 100 characters travels whole.
    KT_TEXT_WINDOW* w = Window("W100", 42, 1, 100);
    TWI_WriteText(w, std::string(100, 'y').c_str(), 0);
    EXPECT_EQ(ISAP_SetDisplayCommand(w), PV_ALL_FINE);
    DisplayRow d;
    ASSERT_TRUE(DecodeDisplay(box->SAP_Commands[0] + 11, &d));
    EXPECT_EQ(d.text, std::string(100, 'y'));
}

TEST_F(Engine, TouchDatumAndSelecPayloadsDecodeBack) {
    KT_TEXT_WINDOW* w = Window("T1", 41, 5, 20);
    // TOUCH: the console time-out only when a wait is asked.
    EXPECT_EQ(ISAP_SetTouchCommand(w, 1, 1), PV_ALL_FINE);
    EXPECT_EQ(ISAP_SetTouchCommand(w, 0, 0), PV_ALL_FINE);
    long timeout = -1;
    int flush = -1;
    ASSERT_EQ(TWIP_ReseauScanf(box->SAP_Commands[0] + 11, "%L%X", &timeout, &flush), 2);
    EXPECT_EQ(timeout, 30);
    EXPECT_EQ(flush, 1);
    ASSERT_EQ(TWIP_ReseauScanf(box->SAP_Commands[1] + 11, "%L%X", &timeout, &flush), 2);
    EXPECT_EQ(timeout, 0);
    EXPECT_EQ(flush, 0);
    // DATUM: the field with its width, then the format.
    EXPECT_EQ(ISAP_SetDatumCommand(w, 2, 3, 4, "12", "NUM TOT"), PV_ALL_FINE);
    TwipCommand c{};
    ASSERT_EQ(TWIP_DecodeCommand(TWIP_DATUM, box->SAP_Commands[2] + 11, SAP_PAYLOAD_MAX, &c), 0);
    EXPECT_EQ(c.timeout, 30);
    EXPECT_EQ(c.row, 2);
    EXPECT_EQ(c.column, 3);
    EXPECT_EQ(c.textLength, 4);
    EXPECT_EQ(std::string(c.text, 4), std::string("12\0\0", 4));
    EXPECT_STREQ(c.format, "NUM TOT");
    // SELEC: title, items (count x width) and the option byte.
    EXPECT_EQ(ISAP_SetSelecCommand(w, 3, 5, 1, "Menu", "one  two  three", 2), PV_ALL_FINE);
    ASSERT_EQ(TWIP_DecodeCommand(TWIP_SELEC, box->SAP_Commands[3] + 11, SAP_PAYLOAD_MAX, &c), 0);
    EXPECT_EQ(c.rows, 5);
    EXPECT_EQ(c.columns, 20);
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(c.itemWidth, 5);
    EXPECT_EQ(c.firstShown, 1);
    EXPECT_STREQ(c.title, "Menu");
    EXPECT_EQ(std::string(c.items, static_cast<size_t>(c.itemsLength)), "one  two  three");
    EXPECT_EQ(c.trailing, 2);
    // A selection too long for a row is refused whole.
    box->lastStatus = 0;
    EXPECT_EQ(TWIP_SetSELEC(box, ResourceOf(w), 7, 20, 1, "Menu", std::string(140, 'i').c_str(), 0), PV_ALL_FINE);
    EXPECT_EQ(box->lastStatus, 1);
    EXPECT_EQ(ISAP_SetSelecCommand(w, 7, 20, 1, "Menu", std::string(140, 'i').c_str(), 0), PV_ALL_FINE);
    EXPECT_EQ(box->SAP_Commands[4][0], TWIP_FREE);
}

struct PosGui : Engine {
    void SetUp() override {
        Engine::SetUp();
        PosGuiRecorder::Get().Install();
        window = Window("P5", 45, 4, 20);
        ASSERT_NE(window, nullptr);
    }
    PosGuiRecorder& gui = PosGuiRecorder::Get();
    KT_TEXT_WINDOW* window = nullptr;
};

TEST_F(PosGui, KeyEntryAndSelectionRunWhenTheScriptIsSent) {
    unsigned char key = 0;
    // The console time-out travels in seconds; the executors take ms.
    ASSERT_EQ(ISAP_SetTouchCommand(window, 1, 1), PV_ALL_FINE);
    EXPECT_TRUE(gui.calls.empty());
    EXPECT_EQ(ISAP_GetTouchResult(window, &key), PV_ALL_FINE);
    EXPECT_EQ(key, 'V');
    ASSERT_EQ(gui.calls.size(), 1u);
    EXPECT_EQ(gui.calls[0].kind, "key");
    EXPECT_EQ(gui.calls[0].timeoutMs, 30000);
    EXPECT_EQ(gui.calls[0].a, 1);

    ISAP_ClearAll();
    gui.entered = "1234";
    gui.key = 'V';
    char text[8] = "zzzzzzz";
    ASSERT_EQ(ISAP_SetDatumCommand(window, 1, 2, 4, "", "NUM"), PV_ALL_FINE);
    EXPECT_EQ(ISAP_GetDatumResult(window, &key, text, 5), PV_ALL_FINE);
    EXPECT_STREQ(text, "1234");
    EXPECT_EQ(key, 'V');
    EXPECT_EQ(gui.calls.back().kind, "entry");
    EXPECT_EQ(gui.calls.back().a, 1);
    EXPECT_EQ(gui.calls.back().c, 4);
    // Nothing of the entered text is kept in the engine.
    EXPECT_EQ(ResourceOf(window)->entryText[0], '\0');
    EXPECT_EQ(std::string(box->SAP_Answers[0] + 11, 20).find("1234"), std::string::npos);

    ISAP_ClearAll();
    gui.choice = 3;
    unsigned char item = 0;
    ASSERT_EQ(ISAP_SetSelecCommand(window, 3, 5, 1, "Menu", "one  two  three", 0), PV_ALL_FINE);
    EXPECT_EQ(ISAP_GetSelecResult(window, &item), PV_ALL_FINE);
    EXPECT_EQ(item, 3);
    EXPECT_EQ(gui.calls.back().kind, "selection");
    EXPECT_EQ(gui.calls.back().text, "Menu");
    EXPECT_EQ(gui.calls.back().timeoutMs, 30000);
    EXPECT_EQ(gui.calls.back().c, 3);
    EXPECT_EQ(gui.calls.back().d, 5);
    // No choice: 255.
    ISAP_ClearAll();
    gui.choice = 0;
    ISAP_SetSelecCommand(window, 3, 5, 1, "Menu", "one  two  three", 0);
    EXPECT_EQ(ISAP_GetSelecResult(window, &item), PV_ALL_FINE);
    EXPECT_EQ(item, 255);
}

TEST_F(PosGui, DisplaySendsEveryLineTheFirstClearing) {
    TWI_WriteText(window, "first\nsecond", 0);
    ASSERT_EQ(ISAP_SetDisplayCommand(window), PV_ALL_FINE);
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    ASSERT_EQ(gui.calls.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(gui.calls[i].kind, "display");
        EXPECT_EQ(gui.calls[i].a, 4);
        EXPECT_EQ(gui.calls[i].b, 20);
        EXPECT_EQ(gui.calls[i].c, i);
        EXPECT_EQ(gui.calls[i].d, i == 0 ? 1 : 0);
    }
    EXPECT_EQ(gui.calls[1].text, "second" + std::string(14, ' '));
    EXPECT_EQ(ISAP_GetDisplayResult(window), PV_ALL_FINE);
    EXPECT_EQ(box->lastStatus, 0);
    // Sent already: nothing runs twice.
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(gui.calls.size(), 4u);
}

TEST_F(PosGui, AFailedExecutorAnswers16AndNoKey) {
    gui.result = -1;
    unsigned char key = 0;
    ISAP_SetTouchCommand(window, 1, 0);
    EXPECT_EQ(ISAP_GetTouchResult(window, &key), PV_ALL_FINE);
    EXPECT_EQ(key, 255);
    EXPECT_EQ(AnswerStatus(box, 0), PV_CMD_ACCES);
    EXPECT_EQ(ResourceOf(window)->resultStatus, PV_CMD_ACCES);
}

TEST_F(PosGui, EntryResultsAreHandedOutWithinTheCallersBuffer) {
    gui.entered = "1234";
    unsigned char key = 0;
    char small[4] = "abc";
    ISAP_SetDatumCommand(window, 1, 1, 4, "", "");
    TraceCapture trace;
    EXPECT_EQ(ISAP_GetDatumResult(window, &key, small, sizeof small), PV_PER_ACCES);
    EXPECT_TRUE(trace.Contains("-- ERROR -- ISAP_GetDatumResult: Output buffer too small"));
    EXPECT_STREQ(small, "abc");
    ISAP_ClearAll();
    char any[16] = {};
    ISAP_SetDatumCommand(window, 1, 1, 4, "", "");
    EXPECT_EQ(ISAP_GetDatumResult(window, &key, any, -1), PV_ALL_FINE);
    EXPECT_STREQ(any, "1234");
}

TEST_F(PosGui, AnEnteredTextOver80IsNotCut_Mended) {
    gui.entered = std::string(100, '7');
    unsigned char key = 0;
    char text[128] = "unchanged";
    ASSERT_EQ(ISAP_SetDatumCommand(window, 1, 1, 100, "", ""), PV_ALL_FINE);
    EXPECT_EQ(ISAP_GetDatumResult(window, &key, text, sizeof text), PV_ALL_FINE);
    EXPECT_EQ(key, 255);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(ResourceOf(window)->resultStatus, PV_CMD_ACCES);
}

TEST_F(Engine, LocalRowsWithoutExecutorOrResourceAreAnswered) {
    KT_PIRES* r = ResourceOf(Window("T1", 41, 2, 10));
    // A command type without executor: 2.
    StoreCommand(box, r, 5, kTouch);
    // A row whose resource number the box does not know: 8.
    KT_PIRES* gone = ResourceOf(Window("T2", 42, 2, 10));
    StoreCommand(box, gone, TWIP_TOUCH, kTouch);
    gone->function = 49;
    TraceCapture trace;
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(AnswerStatus(box, 0), PV_CMD_UNKNOWN);
    EXPECT_EQ(AnswerStatus(box, 1), PV_PER_UNKNOWN);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Ressource fonctionnelle 42 non-trouvee"));
}

TEST_F(Engine, AnExecutorThatCannotRunStillAnswers_Mended) {
    // A resource without its window: the executor has no precondition and
    // stores nothing; the row is answered 1 instead of staying expected.
    ASSERT_EQ(TWIP_CreateFunctionProfile(box, 42, SAP_RES_LOCAL, nullptr), 1);
    KT_PIRES* r = TWIP_FindResource(box, 42, 1);
    StoreCommand(box, r, TWIP_TOUCH, kTouch);
    // And a payload that does not decode.
    KT_PIRES* local = ResourceOf(Window("T1", 41, 2, 10));
    StoreCommand(box, local, TWIP_TOUCH, std::string("0007\0zz", 7));
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(AnswerStatus(box, 0), PV_CMD_INTERNAL);
    EXPECT_EQ(AnswerStatus(box, 1), PV_CMD_INTERNAL);
    EXPECT_EQ(TWIP_IsAllScriptReceived(box), 1);
    EXPECT_EQ(ISAP_GetScriptResults(), PV_ALL_FINE);
}

}  // namespace

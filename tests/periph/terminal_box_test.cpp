// Terminal box, resources and script tables: creation, device and protocol
// names, lookups, the XPRO address both ways, the rows of a script with their
// headers and states, the sequence number, saving and restoring the script
// state, and the status text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "periph/terminal_box.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TerminalBox;
using testsupport::TraceCapture;

std::string Header(const char* row) { return std::string(row, PAP_ROW_HEADER); }

// A frame "%04x", NUL, payload.
std::string Frame(const std::string& payload) {
    char head[8];
    std::snprintf(head, sizeof head, "%04x", static_cast<unsigned>(payload.size() + 5));
    return std::string(head, 4) + std::string(1, '\0') + payload;
}

// Sets a command row for a resource as the engine does.
int SetRow(KT_EPERIPH_API* box, KT_PERES* r, int command, const std::string& payload) {
    r->command = command;
    const std::string frame = Frame(payload);
    return TWEP_SetCommandScriptMes(box, r, 0, static_cast<int>(frame.size()), frame.data());
}

// Stores an answer as the engine does: "%4.4X", NUL, payload.
int StoreAnswer(KT_EPERIPH_API* box, KT_PERES* r, const std::string& payload) {
    char head[8];
    std::snprintf(head, sizeof head, "%4.4X", static_cast<unsigned>(payload.size() + 5));
    const std::string data = std::string(head, 4) + std::string(1, '\0') + payload;
    return TWEP_SetAnswerScriptMes(box, r, static_cast<int>(data.size()), data.data());
}

}  // namespace

TEST(TerminalBox, CreationAndTheBoxWithoutResources) {
    EXPECT_EQ(EPAP_GetProtocol(4), 1);  // no box yet
    EXPECT_EQ(EPAP_ClearAll(), -1);
    EXPECT_EQ(EPAP_SetWaitCallback(nullptr), -1);
    EXPECT_EQ(EPAP_CreateFunctionProfile("EFT_DSP", 0, 0, "RUDA"), 1);
    TerminalBox t(7, 12);
    ASSERT_EQ(t.created, 1);
    EXPECT_EQ(PAP_NewPAPbox(1, 1, 0, nullptr), 2);
    EXPECT_EQ(EPAP_GetBox(), t.box);
    EXPECT_EQ(t.box->resourceId, 7);
    EXPECT_EQ(t.box->station, 12);
    EXPECT_STREQ(t.box->applicationCode, "");
    EXPECT_STREQ(t.box->netApplication, "1200");
    EXPECT_EQ(t.box->accessStatus, 10);
    EXPECT_EQ(t.box->sequence, 0);
    // An unconfigured function is not found, even though a never-filled slot
    // reads as function 0 on port 0.
    EXPECT_EQ(t.function(0), nullptr);
    EXPECT_EQ(EPAP_GetProtocol(0), -1);
    EXPECT_EQ(t.box->status, PV_PER_ACCES);
    EXPECT_EQ(EPAP_CheckFunction(0), 8);
}

TEST(TerminalBox, DeviceAndProtocolNames) {
    struct Case {
        const char* device;
        int transport;
        const char* protocol;
        int status;
        int function;
        int number;
    };
    const Case cases[] = {
        {"eft_dsp", 0, "RUDA", 0, 0, 16},       {"EFT_DSP2", 0, "Ruda", 0, 0, 16},
        {"EFT_DSP", 5, "DORAN", 0, 20, 2},      {"EFT_CAM_1", 0, "R7700", 0, 4, 11},
        {"EFT_CIPHER", 5, "QUENT", 0, 30, 12},  {"EFT_   ", 0, "PZR", 0, 9, 5},
        {"EFT_CAM_2", 0, "OLVAR", 0, 5, 8},     {"EFT_PRN", 0, "M4400", 0, 1, 7},
        {"EFT_CARD", 0, "RUDA", PV_CMD_INTERNAL, -1, -1},
        {"EFT_", 0, "RUDA", PV_CMD_INTERNAL, -1, -1},
        {"EFT_ISO", 0, "TALVO", PV_PER_UNKNOWN, -1, -1},
        {"EFT_ISO", 0, "XYZ", PV_PER_UNKNOWN, -1, -1},
        {"EFT_ISO", 0, "RUD", PV_PER_UNKNOWN, -1, -1},
    };
    for (const Case& c : cases) {
        TerminalBox t;
        EXPECT_EQ(t.add(c.device, 3, c.protocol, c.transport), c.status) << c.device << " " << c.protocol;
        KT_PERES* r = t.box->resources[0].configured ? &t.box->resources[0] : nullptr;
        if (c.status != 0) {
            EXPECT_EQ(r, nullptr) << c.device;
            continue;
        }
        ASSERT_NE(r, nullptr) << c.device;
        EXPECT_EQ(r->function, c.function) << c.device;
        EXPECT_EQ(r->protocol, c.number) << c.device;
        EXPECT_EQ(r->port, 3);
        EXPECT_EQ(r->inUse, 1);
        EXPECT_STREQ(r->application, "1000");
        EXPECT_STREQ(r->appStat, "00000000");
        EXPECT_EQ(r->accStat, 10);
    }
}

TEST(TerminalBox, TwentyResourcesAndNoMore) {
    TerminalBox t;
    for (int i = 0; i < PAP_RESOURCES; ++i) ASSERT_EQ(t.add("EFT_PRN", i, "RUDA"), 0) << i;
    TraceCapture trace;
    EXPECT_EQ(t.add("EFT_DSP", 0, "RUDA"), PV_CMD_INTERNAL);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_CreateFunctionProfile() : Too Much Resources !"));
    EXPECT_EQ(t.function(0), nullptr);
    // Lookups by port and transport, from the start or after the last found.
    EXPECT_EQ(TWEP_FindPort(t.box, 5, 0, 1), &t.box->resources[5]);
    EXPECT_EQ(TWEP_FindPort(t.box, 5, 0, 0), nullptr);
    EXPECT_EQ(TWEP_FindFunction(t.box, 1, 1), &t.box->resources[0]);
    EXPECT_EQ(TWEP_FindFunction(t.box, 1, 0), &t.box->resources[1]);
    EXPECT_EQ(TWEP_GetResourceIndex(t.box, &t.box->resources[19]), 19);
    EXPECT_EQ(TWEP_GetResourceIndex(t.box, &t.box->resources[PAP_RELAY_SLOT]), -1);
}

// A resource that a driver change stopped keeps its slot and is still found;
// a new device never takes its place.
TEST(TerminalBox, StoppedResourceIsStillFound_Mended) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    t.box->resources[0].inUse = 0;
    EXPECT_EQ(t.function(4), &t.box->resources[0]);
    ASSERT_EQ(t.add("EFT_DSP", 2, "RUDA"), 0);
    EXPECT_EQ(t.box->resources[0].function, 4);
    EXPECT_EQ(t.function(0), &t.box->resources[1]);
}

TEST(XproAddress, BuiltAndReadBack) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    KT_PERES* r = t.function(4);
    t.box->sequence = 5;
    t.box->lastOperation = PAP_OPERATION_SET;
    TWEP_SetResourceDialInfo(t.box, r);
    r->mesStat = 11;
    EXPECT_EQ(TWEP_BuildXproAddress(r), 63);
    EXPECT_STREQ(r->xproAddress, "XPRO/2/005/1000/0000000000000000/1/0/00000000/00000000/010/011/");
    // The answer descriptor of a link, read back.
    std::snprintf(r->xproAddress, sizeof r->xproAddress, "%s",
                  "XPRO/2/000/1000/0000000000000000/001/000/________/________/100/02/");
    EXPECT_EQ(TWEP_ParseXproAddress(r), 1);
    EXPECT_EQ(r->dialNum, 0);
    EXPECT_EQ(r->port, 1);
    EXPECT_STREQ(r->kerStat, "________");
    EXPECT_EQ(r->accStat, 100);
    EXPECT_EQ(r->mesStat, 2);
    // A DialNum above 127 is written as its low byte's signed value.
    r->dialNum = 200;
    TWEP_BuildXproAddress(r);
    EXPECT_EQ(std::string(r->xproAddress).substr(0, 11), "XPRO/2/-56/");
    EXPECT_EQ(TWEP_ParseXproAddress(nullptr), -2);
    // Numbers are read by their leading digits: none gives 0.
    std::snprintf(r->xproAddress, sizeof r->xproAddress, "%s",
                  "XPRO/2/abc/1000/0000000000000000/7x/zz/________/________/-5/02/");
    EXPECT_EQ(TWEP_ParseXproAddress(r), 1);
    EXPECT_EQ(r->dialNum, 0);
    EXPECT_EQ(r->port, 7);
    EXPECT_EQ(r->keyIndex, 0);
    EXPECT_EQ(r->accStat, -5);
}

// Answer descriptors with fewer than ten fields, or text fields wider than
// the record, are refused and change nothing.
TEST(XproAddress, IncompleteOrWideDescriptorsAreRefused_Mended) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    KT_PERES* r = t.function(4);
    const char* bad[] = {
        "XPRO/2/000/1000/0000000000000000/001/000/________/________/100/",
        "XPRO/2/000/10000/0000000000000000/001/000/________/________/100/02/",
        "XPRO/2/000/1000/00000000000000000/001/000/________/________/100/02/",
        "XPRO/2/000/1000/0000000000000000/001/000/_________/________/100/02/",
        "XPRO/2/000/1000/0000000000000000/001/000/________/123456789/100/02/",
        "XPRA/2/000/1000/0000000000000000/001/000/________/________/100/02/",
        "",
    };
    for (const char* text : bad) {
        std::snprintf(r->xproAddress, sizeof r->xproAddress, "%s", text);
        r->mesStat = 33;
        EXPECT_EQ(TWEP_ParseXproAddress(r), -1) << text;
        EXPECT_EQ(r->mesStat, 33) << text;
        EXPECT_STREQ(r->application, "1000") << text;
        EXPECT_STREQ(r->kerStat, "00000000") << text;
    }
}

TEST(ScriptTables, TenCommandsFitAndTheEleventhOverflows) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    KT_PERES* r = t.function(4);
    TWEP_ClearScript(t.box, 'C');
    TWEP_ClearScript(t.box, 'A');
    for (int i = 0; i < PAP_ROWS; ++i) ASSERT_EQ(SetRow(t.box, r, 100 + i, "abc"), i + 1);
    TraceCapture trace;
    EXPECT_EQ(SetRow(t.box, r, 200, "abc"), -3);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_SetScriptMes() : Script OverFlow !"));
    EXPECT_EQ(Header(t.box->commands[9]), std::string("1_000_006d_001_0008"));
    EXPECT_EQ(Header(t.box->answers[9]), "1_000_006d_001_0000");
    EXPECT_EQ(t.box->commands[9][PAP_FRAME_OFFSET + 5], 'a');
    // Empty frames and records that are not a regular slot are refused.
    TWEP_ClearScript(t.box, 'C');
    EXPECT_EQ(TWEP_SetCommandScriptMes(t.box, r, 0, 0, "x"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_SetCommandScriptMes: request empty !"));
    t.box->resources[PAP_RELAY_SLOT].command = 1;
    EXPECT_EQ(TWEP_SetCommandScriptMes(t.box, &t.box->resources[PAP_RELAY_SLOT], 0, 5, "0005"), -4);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_SetScriptMes() : Bad PAP !"));
    EXPECT_EQ(t.box->commands[0][0], '\0');
}

// A frame larger than a row can hold (12705 bytes after the 15-byte header)
// is refused and nothing is stored.
TEST(ScriptTables, FrameLargerThanARowIsRefused_Mended) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    KT_PERES* r = t.function(4);
    TWEP_ClearScript(t.box, 'C');
    EXPECT_EQ(SetRow(t.box, r, 100, std::string(PAP_PAYLOAD_MAX + 1, 'x')), -5);
    EXPECT_EQ(t.box->commands[0][0], '\0');
    EXPECT_EQ(t.box->answers[0][0], '\0');
    EXPECT_EQ(SetRow(t.box, r, 100, std::string(PAP_PAYLOAD_MAX, 'x')), 1);
    EXPECT_EQ(t.box->commands[0][PAP_ROW_SIZE - 1], 'x');
    // An answer beyond a row is not stored either.
    EXPECT_EQ(TWEP_SetAnswerScriptMes(t.box, r, PAP_FRAME_MAX + 1, std::string(PAP_FRAME_MAX + 1, 'y').data()),
              -1);
    EXPECT_EQ(t.box->answers[0][0], PAP_ROW_SET);
}

// Row headers are read field by field at their fixed widths: a truncated,
// signed or non-numeric field reads nothing from there on.
TEST(ScriptTables, RowHeaderReader) {
    struct Case {
        const char* row;
        int whole;
        char status;
        int resource, command, sequence, length;
    };
    const Case cases[] = {
        {"3_001_0064_005_000F", 1, '3', 1, 100, 5, 15},
        {"1_020_FFFF_127_31a1", 1, '1', 20, 0xFFFF, 127, 0x31A1},
        {"1_001_0064_005_", 0, '1', 1, 100, 5, 0},
        {"1_001_0064", 0, '1', 1, 100, 0, 0},
        {"1_-01_0064_005_0000", 0, '1', 0, 0, 0, 0},
        {"1_001_00g4_005_0000", 0, '1', 1, 0, 0, 0},
        {"1_001_0064_0x5_0000", 0, '1', 1, 100, 0, 0},
        {"1-001-0064-005-0000", 0, '1', 0, 0, 0, 0},
        {"", 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        PapRowHeader h{};
        EXPECT_EQ(TWEP_ParseRowHeader(c.row, &h), c.whole) << c.row;
        EXPECT_EQ(h.status, c.status) << c.row;
        EXPECT_EQ(h.resource, c.resource) << c.row;
        EXPECT_EQ(h.command, c.command) << c.row;
        EXPECT_EQ(h.sequence, c.sequence) << c.row;
        EXPECT_EQ(h.length, c.length) << c.row;
    }
}

TEST(ScriptTables, SequenceNumberRunsFromOneTo127) {
    TerminalBox t;
    std::string seen;
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(TWEP_ClearScript(t.box, 'c'), 1);
        ASSERT_NE(t.box->sequence, 0);
        if (i < 2 || i >= 126) seen += std::to_string(t.box->sequence) + " ";
    }
    EXPECT_EQ(seen, "1 2 127 1 ");
    EXPECT_EQ(TWEP_ClearScript(t.box, 'X'), -2);
    EXPECT_EQ(TWEP_ClearScript(nullptr, 'C'), -1);
}

// Rows of one link go out in row order whatever function they address, and
// answers go to the expected rows of the link in the same order.
TEST(ScriptTables, RowsOfALinkAndTheirAnswers) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_DSP", 1, "RUDA"), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    ASSERT_EQ(t.add("EFT_PRN", 2, "RUDA"), 0);
    KT_PERES* display = t.function(0);
    KT_PERES* card = t.function(4);
    KT_PERES* printer = t.function(1);
    TWEP_ClearScript(t.box, 'C');
    TWEP_ClearScript(t.box, 'A');
    const int seq = t.box->sequence;
    ASSERT_EQ(SetRow(t.box, display, 2, "d"), 1);
    ASSERT_EQ(SetRow(t.box, printer, 13, "p"), 2);
    ASSERT_EQ(SetRow(t.box, card, 100, "c"), 3);
    EXPECT_EQ(TWEP_IsAllScriptSent(t.box), 0);

    int length = 0, last = 0;
    const char* frame = TWEP_GetCommandScriptMes(t.box, card, &length, &last);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::string(frame + 5, 1), "d");  // the link's first row, of the display
    EXPECT_EQ(length, 6);
    EXPECT_EQ(last, 0);
    frame = TWEP_GetCommandScriptMes(t.box, display, &length, &last);
    EXPECT_EQ(std::string(frame + 5, 1), "c");
    EXPECT_EQ(last, 1);
    EXPECT_EQ(TWEP_GetCommandScriptMes(t.box, display, &length, &last), nullptr);
    EXPECT_EQ(TWEP_IsAllScriptSent(t.box), 0);  // the printer's row waits
    EXPECT_NE(TWEP_GetCommandScriptMes(t.box, printer, &length, &last), nullptr);
    EXPECT_EQ(TWEP_IsAllScriptSent(t.box), 1);

    // The card's answer arrives first on the link: it takes the display's row.
    EXPECT_EQ(StoreAnswer(t.box, card, "0123456789"), 1);
    char expected[32];
    std::snprintf(expected, sizeof expected, "3_000_0002_%03d_000F", seq);
    EXPECT_EQ(Header(t.box->answers[0]), expected);
    EXPECT_EQ(StoreAnswer(t.box, display, "x"), 2);
    EXPECT_EQ(TWEP_IsAllScriptReceived(t.box), 0);
    EXPECT_EQ(StoreAnswer(t.box, printer, "pp"), 3);
    EXPECT_EQ(StoreAnswer(t.box, printer, "late"), -1);  // nothing expected any more
    EXPECT_EQ(TWEP_IsAllScriptReceived(t.box), 1);

    // Reading: by index, command and sequence.
    card->command = 100;
    EXPECT_EQ(TWEP_GetAnswerState(t.box, card), 2);
    const char* answer = TWEP_GetAnswerScriptMes(t.box, card, &length, &last);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(std::string(answer + 5, 1), "x");
    EXPECT_EQ(length, 6);
    EXPECT_EQ(last, 1);
    EXPECT_EQ(t.box->answers[2][0], PAP_ROW_READ);
    card->command = 101;
    EXPECT_EQ(TWEP_GetAnswerState(t.box, card), 0);
    EXPECT_EQ(TWEP_GetAnswerScriptMes(t.box, card, &length, &last), nullptr);
}

// Answers of one command taken as the engine takes them, "until last": each
// call moves forward in the table, the series ends within the table's rows,
// and the last row taken is the later answer. A command sent twice in one
// script (a card watch armed again before the script was cleared) has two
// answered rows; the series then stood on the first for ever.
TEST(ScriptTables, AnswersOfOneCommandAreTakenForwardTheLaterWinning_Mended) {
    struct Case {
        const char* name;
        // One character per answer row, in row order: 'o' a row of another
        // command (answered), '1' the card command's answer still expected,
        // '3' answered and unread, '4' answered and already read.
        const char* rows;
        int later;  // row whose answer is decoded; -1: none taken
    };
    const Case cases[] = {
        {"nothing answered", "1", -1},
        {"no row of the command", "oo", -1},
        {"one unread", "3", 0},
        {"one already read", "4", 0},
        {"two unread", "33", 1},
        {"two read", "44", 1},
        {"read then unread", "43", 1},
        {"unread then read", "34", 1},
        {"two with others between", "o3o3o", 3},
        {"three, the middle one read", "343", 2},
        {"answered then still expected", "31", 0},
        {"on the table's last row", "ooooooooo3", 9},
        {"two, the later on the last row", "oo4oooooo3", 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBox t;
        ASSERT_EQ(t.add("EFT_DSP", 1, "RUDA"), 0);
        ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
        KT_PERES* display = t.function(0);
        KT_PERES* card = t.function(4);
        TWEP_ClearScript(t.box, 'C');
        TWEP_ClearScript(t.box, 'A');
        const int rows = static_cast<int>(std::strlen(c.rows));
        for (int i = 0; i < rows; ++i) {
            if (c.rows[i] == 'o') ASSERT_EQ(SetRow(t.box, display, 2, "d"), i + 1);
            else ASSERT_EQ(SetRow(t.box, card, 100, "c"), i + 1);
        }
        // The answers fill the expected rows of the line in row order.
        for (int i = 0; i < rows; ++i) ASSERT_EQ(StoreAnswer(t.box, card, "a" + std::to_string(i)), i + 1);
        for (int i = 0; i < rows; ++i) {
            if (c.rows[i] == '1') t.box->answers[i][0] = PAP_ROW_SET;
            if (c.rows[i] == '4') t.box->answers[i][0] = PAP_ROW_READ;
        }

        card->command = 100;
        std::vector<int> taken;
        std::string decoded;
        bool ended = false;
        for (int call = 0; call < 2 * PAP_ROWS && !ended; ++call) {
            int length = 0, last = 0;
            const char* answer = TWEP_GetAnswerScriptMes(t.box, card, &length, &last);
            if (answer == nullptr) {
                ended = true;
                break;
            }
            taken.push_back(static_cast<int>((answer - PAP_FRAME_OFFSET - t.box->answers[0]) / PAP_ROW_SIZE));
            decoded.assign(answer + 5, static_cast<size_t>(length - 5));
            ended = last == 1;
        }
        EXPECT_TRUE(ended) << "still taking after " << taken.size() << " calls";
        EXPECT_LE(taken.size(), static_cast<size_t>(rows));
        std::string order;
        for (int row : taken) order += " " + std::to_string(row);
        EXPECT_TRUE(std::adjacent_find(taken.begin(), taken.end(), std::greater_equal<int>()) == taken.end())
            << "rows taken:" << order;
        if (c.later < 0) {
            EXPECT_TRUE(taken.empty());
            continue;
        }
        ASSERT_FALSE(taken.empty());
        EXPECT_EQ(taken.back(), c.later);
        EXPECT_EQ(decoded, "a" + std::to_string(c.later));
        for (int row : taken) EXPECT_EQ(t.box->answers[row][0], PAP_ROW_READ) << "row " << row;
        // Taken again (the answer read a second time): the same later answer,
        // in one call.
        int length = 0, last = 0;
        const char* again = TWEP_GetAnswerScriptMes(t.box, card, &length, &last);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again, t.box->answers[c.later] + PAP_FRAME_OFFSET);
        EXPECT_EQ(last, 1);
    }
}

TEST(ScriptTables, RowHeadersOutAndBack) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_PRN", 0, "RUDA"), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    KT_PERES* card = t.function(4);
    TWEP_ClearScript(t.box, 'C');
    TWEP_ClearScript(t.box, 'A');
    t.box->sequence = 4;
    ASSERT_EQ(SetRow(t.box, card, 100, "q"), 1);
    ASSERT_EQ(StoreAnswer(t.box, card, "0123456789"), 1);
    char headers[PAP_ROWS * PAP_ROW_HEADER];
    ASSERT_EQ(EPAP_GetAnswerRowHeaders(headers), 1);
    EXPECT_EQ(std::string(headers, PAP_ROW_HEADER), "3_001_0064_004_000F");
    EXPECT_EQ(headers[PAP_ROW_HEADER], '\0');
    // Re-armed: expected again with a length of 0.
    EXPECT_EQ(TWEP_RearmAnswerRow(t.box, 100), 1);
    EXPECT_EQ(Header(t.box->answers[0]), "1_001_0064_004_0000");
    EXPECT_EQ(TWEP_RearmAnswerRow(t.box, 55), 0);
    // Null buffers and buffers beginning with NUL are refused.
    EXPECT_EQ(EPAP_GetCommandRowHeaders(nullptr), -1);
    std::memset(headers, 0, sizeof headers);
    EXPECT_EQ(EPAP_SetAnswerRowHeaders(headers), -1);
    EXPECT_EQ(Header(t.box->answers[0]), "1_001_0064_004_0000");
    EXPECT_EQ(EPAP_SetCommandRowHeaders(nullptr), -1);
    ASSERT_EQ(EPAP_GetCommandRowHeaders(headers), 1);
    headers[0] = PAP_ROW_SENT;
    EXPECT_EQ(EPAP_SetCommandRowHeaders(headers), 1);
    EXPECT_EQ(t.box->commands[0][0], PAP_ROW_SENT);
}

// The state of the script survives a save and a restore; the tables are
// zeroed whole by a clear, and the save area does not keep its copy after
// the restore.
TEST(ScriptTables, SaveAndRestoreTheMailBoxState_Mended) {
    EXPECT_EQ(EPAP_SaveCurrentMailBoxState(), -1);
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 1, "RUDA"), 0);
    KT_PERES* card = t.function(4);
    // Restoring before any save gives empty tables and sequence 0.
    EXPECT_EQ(EPAP_RestoreCurrentMailBoxState(), 0);
    EXPECT_EQ(t.box->sequence, 0);
    EXPECT_EQ(t.box->commands[0][0], '\0');
    TWEP_ClearScript(t.box, 'C');
    EXPECT_EQ(t.box->sequence, 1);
    TWEP_ClearScript(t.box, 'A');
    ASSERT_EQ(SetRow(t.box, card, 100, "5413330089010434"), 1);
    const PapScriptCounters before = *PAP_Counters();
    ASSERT_EQ(EPAP_SaveCurrentMailBoxState(), 0);
    EPAP_ClearAll();
    for (const auto& row : t.box->commands)
        for (char c : row) ASSERT_EQ(c, '\0');
    EXPECT_EQ(t.box->sequence, 2);
    ASSERT_EQ(EPAP_RestoreCurrentMailBoxState(), 0);
    EXPECT_EQ(t.box->sequence, 1);
    EXPECT_EQ(Header(t.box->commands[0]), "1_000_0064_001_0015");
    EXPECT_EQ(std::string(t.box->commands[0] + 20, 16), "5413330089010434");
    EXPECT_EQ(PAP_Counters()->pendingCommands, before.pendingCommands);
    // The save area was wiped: a second restore gives empty tables.
    ASSERT_EQ(EPAP_RestoreCurrentMailBoxState(), 0);
    EXPECT_EQ(t.box->commands[0][0], '\0');
    EXPECT_EQ(t.box->sequence, 0);
}

TEST(StatusText, StatusesOfTheBoxAndOfAResource) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 3, "RUDA"), 0);
    KT_PERES* r = t.function(4);
    struct Case {
        int status;
        const char* appStat;
        const char* kerStat;
        int result;
        const char* text;
        int severity;
    };
    const Case cases[] = {
        {0, "00000000", "00000000", 0, ":--------Ok---------", 0},
        {0, "00000021", "00000000", 33, "APP_FUN:3->:_PERI BROKEN PIPE__", 3},
        {0, "________", "00000040", 64, "KRN_FUN:3->:_ANSWER NOT READY__", 1},
        {0, "________", "________", 0, ":--------Ok---------", 0},
        {34, "00000021", "00000000", 34, "KRN_PAP:0->:_PERI NET TIMEOUT__", 3},
        {8, "00000000", "00000000", 8, "KRN_PAP:0->:_PERIPH.  REFUSED__", 1},
        {81, "00000000", "00000000", 81, "KRN_PAP:0->:PERI INTERNAL ERROR", 2},
        {77, "00000000", "00000000", 77, "KRN_PAP:0->:PERI INTERNAL ERROR", 2},
    };
    for (const Case& c : cases) {
        std::snprintf(r->appStat, sizeof r->appStat, "%s", c.appStat);
        std::snprintf(r->kerStat, sizeof r->kerStat, "%s", c.kerStat);
        t.box->appStatus = 5;
        TWEP_SetStatus(t.box, c.status, r);
        EXPECT_EQ(t.box->status, c.result) << c.appStat;
        EXPECT_STREQ(t.box->statusText, c.text) << c.appStat;
        EXPECT_EQ(t.box->severity, c.severity) << c.appStat;
        EXPECT_EQ(t.box->appStatus, c.result == 0 ? 0 : 5);
    }
    EXPECT_STREQ(PvStatusName(34), "PV_NET_TIMEOUT");
    EXPECT_STREQ(PvStatusName(35), "");
}

TEST(TerminalHelpers, VersionsAndOptions) {
    struct Case {
        const char* version;
        const char* reference;
        int result;
    };
    const Case cases[] = {{"6.2", "6.2.0", 1}, {"6.1.9", "6.2", 0}, {"7", "6.9.9", 1}, {"6.2", "", 0},
                          {"6,10", "6.9", 1},  {"", "0", 1},         {"1.2.3.4.5.6.7", "1.2.3.4.5.6", 1}};
    for (const Case& c : cases) EXPECT_EQ(IsVersionAtLeast(c.version, c.reference), c.result) << c.version;
    EXPECT_EQ(IsVersionAtLeast(nullptr, "1"), -1);
    EXPECT_EQ(std::strlen(GetHashSuffixPart()), 7u);
    EXPECT_EQ(EPAP_GetExecuteMode(), -1);
    TerminalBox t;
    EXPECT_EQ(EPAP_GetExecuteMode(), 0);
    EXPECT_EQ(EPAP_SetApplication("123456", 48), 1);
    EXPECT_STREQ(t.box->applicationCode, "1234");
    EXPECT_EQ(t.box->lastOperation, 48);
    EXPECT_EQ(TWEP_SetBoxStatusWords(-1, 7, -1), 1);
    EXPECT_EQ(t.box->kernelStatus, 7);
    EXPECT_EQ(t.box->accessStatus, 10);
    EXPECT_EQ(EPAP_SetNetApplication("12345678901234"), 1);
    EXPECT_STREQ(t.box->netApplication, "1234567890");
}

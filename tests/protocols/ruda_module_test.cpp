// RUDA module as the script engine drives it: the frames of its requests and
// answers, the answer rows it re-arms, and its wait for a terminal event on
// a real line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/port_api.h"
#include "platform/clock.h"
#include "protocols/card_records.h"
#include "protocols/module_contract.h"
#include "protocols/ruda/ruda_module.h"
#include "support/com_fixture.h"
#include "support/port_link.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TerminalBox;
using testsupport::TraceCapture;

// A frame of the engine's answer rows: "%4.4X", NUL, payload.
std::string AnswerFrame(const std::string& payload) {
    char head[8];
    std::snprintf(head, sizeof head, "%4.4X", static_cast<unsigned>(payload.size() + 5));
    return std::string(head, 4) + std::string(1, '\0') + payload;
}

// A command row and its stored answer for a RUDA resource, then the answer
// decoded through the engine's reader.
struct Answered {
    TerminalBox t;
    KT_PERES* r = nullptr;
    explicit Answered(int command, const std::string& payload) {
        t.add("EFT_CAM_1", 0, "RUDA");
        r = t.function(4);
        TWEP_ClearScript(t.box, 'C');
        TWEP_ClearScript(t.box, 'A');
        r->command = command;
        TWEP_SetCommandScriptMes(t.box, r, 0, 5, "0005");
        const std::string data = AnswerFrame(payload);
        TWEP_SetAnswerScriptMes(t.box, r, static_cast<int>(data.size()), data.data());
    }
    std::string header() const { return std::string(t.box->answers[0], PAP_ROW_HEADER); }
};

// Reads the answer of a's resource with the result arguments given.
int Read(Answered* a, ...) {
    va_list args;
    va_start(args, a);
    const int status = TWEP_GetOneResult(a->t.box, a->r, args);
    va_end(args);
    return status;
}

int GetDirect(KT_EPERIPH_API* box, KT_PERES* r, const char* frame, ...) {
    va_list args;
    va_start(args, frame);
    const int status = RUDA_GetOneResult(box, r, frame, args);
    va_end(args);
    return status;
}

int SetDirect(KT_EPERIPH_API* box, KT_PERES* r, char* buffer, ...) {
    va_list args;
    va_start(args, buffer);
    const int status = RUDA_SetCommand(box, r, buffer, args);
    va_end(args);
    return status;
}

}  // namespace

TEST(ModuleFrames, CommandFrameAndItsLimit) {
    char buffer[PAP_COMMAND_BUFFER] = {};
    const std::string request(PAP_MODULE_PAYLOAD_MAX, 'r');
    EXPECT_EQ(PAP_WriteCommandFrame(buffer, reinterpret_cast<const unsigned char*>(request.data()), 3), 8);
    EXPECT_EQ(std::string(buffer, 8), std::string("0008\0rrr", 8));
    EXPECT_EQ(PAP_WriteCommandFrame(buffer, reinterpret_cast<const unsigned char*>(request.data()),
                                    PAP_MODULE_PAYLOAD_MAX),
              PAP_MODULE_PAYLOAD_MAX + 5);
    EXPECT_EQ(std::string(buffer, 4), "31a1");
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(PAP_WriteCommandFrame(buffer, reinterpret_cast<const unsigned char*>(request.data()),
                                    PAP_MODULE_PAYLOAD_MAX + 1),
              -1);
    EXPECT_EQ(buffer[0], '\0');
}

// The one frame reader of every module's get: payload = leading number - 5;
// anything below 0 or above 12700 (or past the frame) leaves the answer
// buffer untouched.
TEST(ModuleFrames, AnswerFrameReader) {
    struct Case {
        const char* what;
        std::string frame;
        int status;
        int length;
    };
    const std::string big(PAP_MODULE_PAYLOAD_MAX + 1, 'b');
    const Case cases[] = {
        {"empty payload", std::string("0005\0", 5), PV_ALL_FINE, 0},
        {"upper case", std::string("000A\0abcde", 10), PV_ALL_FINE, 5},
        {"lower case", std::string("000a\0abcde", 10), PV_ALL_FINE, 5},
        {"largest", AnswerFrame(std::string(PAP_MODULE_PAYLOAD_MAX, 'x')), PV_ALL_FINE, PAP_MODULE_PAYLOAD_MAX},
        {"one byte over", AnswerFrame(big), PV_CMD_INTERNAL, PAP_MODULE_PAYLOAD_MAX + 1},
        {"below five", std::string("0004\0", 5), PV_CMD_INTERNAL, -1},
        {"not a number", std::string("zz05\0", 5), PV_CMD_INTERNAL, 0},
        {"past the frame", std::string("0010\0abc", 8), PV_CMD_INTERNAL, 11},
        {"short", "00", PV_CMD_INTERNAL, 0},
    };
    static unsigned char answer[PAP_MODULE_ANSWER_BUFFER];
    for (const Case& c : cases) {
        std::memset(answer, 0x5A, sizeof answer);
        int length = 0;
        EXPECT_EQ(PAP_ReadAnswerFrame(c.frame.data(), static_cast<int>(c.frame.size()), answer, &length), c.status)
            << c.what;
        EXPECT_EQ(length, c.length) << c.what;
        if (c.status == PV_ALL_FINE) {
            EXPECT_EQ(answer[c.length], 0) << c.what;
            if (c.length > 0) {
                EXPECT_EQ(answer[0], static_cast<unsigned char>(c.frame[5])) << c.what;
            }
        } else {
            EXPECT_EQ(answer[0], 0x5A) << c.what;
            EXPECT_EQ(answer[PAP_MODULE_PAYLOAD_MAX], 0x5A) << c.what;
        }
    }
}

TEST(RudaModule, SetBuildsTheFramesOfItsOperations) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 0, "RUDA"), 0);
    EPAP_ClearAll();
    // Operation 1 builds nothing: no row.
    EXPECT_EQ(EPAP_SetCommand(4, 1), 0);
    EXPECT_EQ(t.box->commands[0][0], '\0');
    // No such code (6): refused by the module.
    EXPECT_EQ(EPAP_SetCommand(4, 6), PV_CMD_INTERNAL);
    EXPECT_EQ(t.box->kernelStatus, 1);
    EXPECT_EQ(t.box->commands[0][0], '\0');
    // Abort: D0 FF 00 00.
    EXPECT_EQ(EPAP_SetCommand(4, 14), 0);
    EXPECT_EQ(std::string(t.box->commands[0] + PAP_FRAME_OFFSET, 9), std::string("0009\0\xD0\xFF\x00\x00", 9));
    // The event needs its card-read record.
    EXPECT_EQ(EPAP_SetCommand(4, 10, static_cast<CardReadRecord*>(nullptr)), PV_CMD_INTERNAL);
    CardReadRecord record{};
    record.chipRequested = 1;
    record.isoRequested = 1;
    EXPECT_EQ(EPAP_SetCommand(4, 10, &record), 0);
    EXPECT_EQ(std::string(t.box->commands[1] + PAP_FRAME_OFFSET + 5, 4), std::string("\xD0\x60\x01\x00", 4));
    EXPECT_EQ(record.mode, 1);
}

// Re-arming after a read: 10, 100 and 14 always, 132 when its decoder asks
// for another try (2), any operation that is not finished (64); the row
// then waits for a new answer of the terminal.
TEST(RudaModule, AnswerRowsReArmedAfterTheirRead) {
    CardReadRecord record{};
    static TerminalResultArea area{};
    struct Case {
        const char* what;
        int command;
        std::string payload;
        int status;
        bool rearmed;
    };
    const std::string key = std::string("\xE0\x06\xDF\xA2\x05\x01\x31\x00\x90\x00", 10);
    const std::string ok("\x90\x00", 2);
    const Case cases[] = {
        {"event, whatever its result", 10, "\x9F\x41", 1, true},
        {"abort done", 14, ok, 0, true},
        {"abort refused", 14, "\x6A\x80", 1, true},
        {"contactless cancel, status word only", 132, ok, PV_NOT_YET, true},
        {"contactless cancel, a key", 132, key, 2, true},
        {"contactless cancel, done", 132, std::string("\x01\x90\x00", 3), 0, false},
        {"open display: nothing decoded", 1, ok, 0, false},
        {"no decoder (disconnect)", 151, ok, PV_CMD_INTERNAL, false},
    };
    for (const Case& c : cases) {
        Answered a(c.command, c.payload);
        const int status = c.command == 10 ? Read(&a, &record) : Read(&a, &record, &area);
        EXPECT_EQ(status, c.status) << c.what;
        char expected[32];
        std::snprintf(expected, sizeof expected, "%c_000_%04x_001_%s", c.rearmed ? '1' : '4', c.command,
                      c.rearmed ? "0000" : "");
        EXPECT_EQ(a.header().substr(0, c.rearmed ? 19 : 15), std::string(expected)) << c.what;
        // A re-armed row is expected again: the next read is not decoded.
        if (c.rearmed) {
            EXPECT_EQ(c.command == 10 ? Read(&a, &record) : Read(&a, &record, &area), PV_NOT_YET) << c.what;
        }
    }
    // Card status (100) too.
    Answered status(100, "\x9F\x41");
    EXPECT_EQ(Read(&status, &record, &area, 0), 1);
    EXPECT_EQ(status.header(), "1_000_0064_001_0000");
}

TEST(RudaModule, AnswerTooLargeForTheBufferIsRefused) {
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 0, "RUDA"), 0);
    KT_PERES* r = t.function(4);
    r->command = 14;
    // A frame claiming 12701 payload bytes, as a row would hold it.
    std::string frame = std::string("31A2", 4) + std::string(1, '\0') + std::string(PAP_FRAME_MAX - 5, 'z');
    unsigned char before = RUDA_AnswerBuffer()[0];
    TraceCapture trace;
    EXPECT_EQ(GetDirect(t.box, r, frame.data()), PV_CMD_INTERNAL);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_GetOneResult - Receipt of an answer message too large for the "
                               "buffer : received 12701, max size 12700"));
    EXPECT_EQ(RUDA_AnswerBuffer()[0], before);
    EXPECT_EQ(GetDirect(nullptr, r, frame.data()), PV_CMD_INTERNAL);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_GetOneResult - PAPBox or FuncBox is null"));
    char buffer[PAP_COMMAND_BUFFER];
    EXPECT_EQ(SetDirect(t.box, nullptr, buffer), -2);
}

namespace {

char g_stop = 0;
int g_calls = 0;
void Stop(char* text) {
    ++g_calls;
    text[0] = g_stop;
}

}  // namespace

// The event wait: the wait callback's 'S' ends it without a look at the
// port, a network resource answers at once, a byte on the line is an event,
// a quiet line is PV_NOT_YET after the time-out.
TEST(RudaModule, WaitEvent) {
    testsupport::ComTable table;
    testsupport::PtyPort pty;
    ASSERT_TRUE(pty.ready());
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", pty.port, "RUDA"), 0);
    ASSERT_EQ(t.add("EFT_DSP", 0, "RUDA", PAP_TRANSPORT_NETWORK), 0);
    KT_PERES* card = t.function(4);
    char event = 'x';
    EXPECT_EQ(RUDA_WaitEvent(nullptr, card, 10, &event), 1);

    // The port is not even open: the terminal cannot be reached.
    EXPECT_EQ(RUDA_WaitEvent(t.box, card, 10, &event), PV_NET_FAILED);
    g_stop = 'S';
    g_calls = 0;
    ASSERT_EQ(EPAP_SetWaitCallback(Stop), 0);
    EXPECT_EQ(RUDA_WaitEvent(t.box, card, 10, &event), PV_PER_RESET);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(event, '\0');
    g_stop = 0;
    EXPECT_EQ(EPAP_WaitEvent(20, 10, &event), 0);
    EXPECT_EQ(event, 'A');

    ASSERT_EQ(PortVPSL(pty.port, nullptr), 0);
    {
        plat::ManualClock clock;
        plat::ScopedClock scoped(&clock);
        const int64_t start = clock.nowMs();
        EXPECT_EQ(EPAP_WaitEvent(4, 3000, &event), PV_NOT_YET);
        EXPECT_GE(clock.nowMs() - start, 3000);
        EXPECT_EQ(event, '\0');
    }
    pty.sim.inject("\x01");
    EXPECT_EQ(EPAP_WaitEvent(4, 10000, &event), 0);
    EXPECT_EQ(event, 'A');
    PortClose(pty.port);
}

// A line that is gone (a serial line hung up, a terminal link the terminal
// closed) ends the wait at once with PV_NET_FAILED; the wait used to answer
// 1, which the card wait took for "nothing yet" until its time-out.
class RudaWaitOnAGoneLine : public ::testing::TestWithParam<testsupport::LinkKind> {};

TEST_P(RudaWaitOnAGoneLine, EndsAtOnceAsALostLink_Mended) {
    testsupport::ComTable table{2, 0, 1, 0, 1};
    auto link = testsupport::MakeLink(GetParam());
    ASSERT_NE(link, nullptr);
    TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", link->port(), "RUDA"), 0);
    char event = 'x';
    EXPECT_EQ(EPAP_WaitEvent(4, 50, &event), PV_NOT_YET) << "a line still there";
    link->peerCloses();
    EXPECT_EQ(EPAP_WaitEvent(4, 30000, &event), PV_NET_FAILED);
    EXPECT_EQ(event, '\0');
}

INSTANTIATE_TEST_SUITE_P(Links, RudaWaitOnAGoneLine,
                         ::testing::Values(testsupport::LinkKind::Pty, testsupport::LinkKind::Tcp),
                         testsupport::LinkKindName);

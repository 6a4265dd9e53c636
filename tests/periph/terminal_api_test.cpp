// Script API of the terminal box over real lines: reading with a time-out
// (one attempt for a time-out of 0, commands whose answer the terminal
// announces, a stop asked through the wait callback), functions without a
// resource, the link settings, the purge of a line and the trace marker.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "platform/clock.h"
#include "support/com_fixture.h"
#include "support/terminal_line.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TerminalLines;

int g_gets = 0;
int CountingGet(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    ++g_gets;
    return testsupport::StubGet(box, resource, frame, args);
}
const PapCommandModule kCountingModule = {testsupport::StubSet, CountingGet, nullptr, RUDA_WaitEvent};
int g_receives = 0;
int CountingReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode) {
    ++g_receives;
    return testsupport::StubLinkReceive(transport, frame, capacity, timeoutMs, waitMode);
}
const PapLinkCallbacks kCountingLink = {XAS_LinkOpen,    XA_LinkClose,    testsupport::StubLinkSend,
                                        CountingReceive, XAS_LinkRequest, XAS_LinkStatus};

char g_callbackLetter = 0;
int g_callbackCalls = 0;
void Callback(char* text) {
    ++g_callbackCalls;
    text[0] = g_callbackLetter;
}

// A line whose terminal answers "PV=64" (not finished) to every command.
struct NotFinished : ::testing::Test {
    virtual std::vector<linesim::RawRule> Rules() {
        linesim::RawRule rule;
        rule.kind = linesim::RawRule::Kind::Answer;
        rule.answers.emplace_back(2, "PV=64");
        return {rule, rule, rule};
    }
    void SetUp() override {
        line = &t.addLine(Rules());
        ASSERT_TRUE(line->pty->ready());
        ASSERT_EQ(t.add("EFT_CAM_1", *line), 0);
        TWEP_RegisterProtocol(testsupport::kStubProtocol, &kCountingModule, &kCountingLink);
        g_gets = 0;
        g_receives = 0;
        g_callbackCalls = 0;
        g_callbackLetter = 0;
    }
    TerminalLines t;
    TerminalLines::Line* line = nullptr;
};

}  // namespace

// A time-out of 0 makes exactly one attempt.
TEST_F(NotFinished, TimeOutOfZeroMakesOneAttempt) {
    EPAP_ClearAll();
    ASSERT_EQ(EPAP_SetCommand(4, 100, "x", 1), 0);
    std::string out;
    EXPECT_EQ(EPAP_GetResultEx(4, 100, 0, 10, &out), PV_NOT_YET);
    EXPECT_EQ(g_gets, 1);
    EXPECT_EQ(g_receives, 1);
    EXPECT_EQ(out, "PV=64");
    // A longer time-out reads again until it passes.
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    EXPECT_EQ(EPAP_GetResultEx(4, 100, 500, 100, &out), PV_NOT_YET);
    EXPECT_GE(clock.nowMs() - start, 500);
    EXPECT_EQ(g_gets, 1 + 5);
}

// A terminal that says nothing.
struct Silent : NotFinished {
    std::vector<linesim::RawRule> Rules() override { return {testsupport::RuleOf(linesim::RawRule::Kind::Silence)}; }
};

// A command whose answer the terminal announces (181 to 184): while it does
// not, nothing is read; the result is PV_NOT_YET once the time is up.
TEST_F(Silent, UnannouncedAnswerIsNeverRead) {
    EPAP_ClearAll();
    ASSERT_EQ(EPAP_SetCommand(4, 182, "x", 1), 0);
    ASSERT_EQ(EPAP_SendScriptCommands(), 0);
    ASSERT_TRUE(line->terminal->waitRequests(1, 5000));
    ASSERT_EQ(EPAP_SetWaitCallback(Callback), 0);
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    std::string out;
    EXPECT_EQ(EPAP_GetResultEx(4, 182, 1000, 50, &out), PV_NOT_YET);
    EXPECT_GE(clock.nowMs() - start, 1000);
    EXPECT_EQ(g_receives, 0);
    EXPECT_EQ(g_gets, 0);
    EXPECT_GE(g_callbackCalls, 1);
    EXPECT_EQ(t.box.box->answers[0][0], PAP_ROW_SET);
}

// A stop asked through the wait callback during an announced-answer command:
// the event wait gives PV_PER_RESET and the read ends with PV_NET_TIMEOUT.
TEST_F(NotFinished, StopFromTheWaitCallback) {
    EPAP_ClearAll();
    ASSERT_EQ(EPAP_SetCommand(4, 183, "x", 1), 0);
    ASSERT_EQ(EPAP_SetWaitCallback(Callback), 0);
    g_callbackLetter = 'S';
    char event = 'x';
    EXPECT_EQ(EPAP_WaitEvent(4, 200, &event), PV_PER_RESET);
    std::string out;
    EXPECT_EQ(EPAP_GetResultEx(4, 183, 60000, 10, &out), PV_NET_TIMEOUT);
    EXPECT_EQ(g_receives, 0);
    EXPECT_EQ(g_gets, 0);
    EXPECT_EQ(g_callbackCalls, 2);
    EXPECT_EQ(EPAP_GetWaitCallback(), Callback);
    EXPECT_EQ(EPAP_SetWaitCallback(nullptr), 0);
    EXPECT_EQ(EPAP_GetWaitCallback(), nullptr);
}

TEST(TerminalApi, FunctionsWithoutAResource) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(t.add("EFT_PRN", line), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    EPAP_ClearAll();
    EXPECT_EQ(EPAP_SetCommand(7, 2, "x", 1), -1);
    EXPECT_EQ(t.box.box->status, PV_PER_ACCES);
    EXPECT_STREQ(t.box.box->statusText, "KRN_PAP:0->:_PERIPH.  NO ACCES_");
    std::string out;
    EXPECT_EQ(EPAP_GetResult(7, 2, &out), PV_PER_ACCES);
    char event = 0;
    EXPECT_EQ(EPAP_WaitEvent(7, 10, &event), PV_PER_ACCES);
    EXPECT_EQ(EPAP_PurgeLink(7, 1), -1);
    EXPECT_EQ(EPAP_SetLinkTimeouts(7, -2, -2, -2, -2, -2, -2, -2), -1);
    EXPECT_EQ(EPAP_RebindLink(0, 7), PV_PER_ACCES);
    // Nothing pending: the send answers at once.
    EXPECT_EQ(EPAP_SendScriptCommands(), 0);
    EXPECT_EQ(EPAP_GetScriptResults(), 0);
    EXPECT_FALSE(line.terminal->waitRequests(1, 50));
}

TEST(TerminalApi, LinkTimeOutsAndRebinding) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(t.box.add("EFT_CAM_1", line.port(), "RUDA"), 0);
    // Not a RUDA function; a RUDA function without a link yet.
    EXPECT_EQ(EPAP_SetLinkTimeouts(0, 1, 1, 1, 1, 1, 1, 1), 2);
    EXPECT_EQ(EPAP_SetLinkTimeouts(4, 1, 1, 1, 1, 1, 1, 1), 0);
    EPAP_ClearAll();
    ASSERT_EQ(EPAP_SetCommand(0, 2, "x", 1), 0);
    std::string out;
    ASSERT_EQ(EPAP_GetResult(0, 2, &out), 0);
    KT_PERES* card = t.box.function(4);
    ASSERT_NE(card->link, nullptr);  // the port's link serves both functions
    EXPECT_EQ(EPAP_SetLinkTimeouts(4, -2, -1, 5, -2, -1, -1, 0), 1);
    const int32_t expected[7] = {300, 2000, 5, 80, 50, 800, 0};
    EXPECT_EQ(0, std::memcmp(card->linkContext->timeouts, expected, sizeof expected));
    // The card reader's protocol on the display's link, then back.
    EXPECT_EQ(EPAP_RebindLink(4, 0), 0);
    EXPECT_EQ(t.box.function(0)->link->mess->TransSend, RUDA_LinkSend);
    EXPECT_EQ(EPAP_RebindLink(0, 0), 0);
    EXPECT_EQ(t.box.function(0)->link->mess->TransSend, testsupport::StubLinkSend);
}

// The purge of a RUDA function's line drops whatever comes for its seconds;
// other protocols leave the line alone.
TEST(TerminalApi, PurgeDrainsTheLineForItsSeconds) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_EQ(t.box.add("EFT_CAM_1", line.port(), "RUDA"), 0);
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(PortVPSL(line.port(), nullptr), 0);
    line.pty->sim.inject("garbage");
    ASSERT_EQ(WComWaitInput2(line.port(), 5000), 1);
    EXPECT_EQ(EPAP_PurgeLink(0, 2), 0);  // not RUDA: nothing read
    int output = 0, input = 0;
    ASSERT_EQ(PortQueueStatus(line.port(), &output, &input), 0);
    EXPECT_GT(input, 0);
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    EXPECT_EQ(EPAP_PurgeLink(4, 2), 0);
    EXPECT_GE(clock.nowMs() - start, 2000);
    EXPECT_LT(clock.nowMs() - start, 3000);
    ASSERT_EQ(PortQueueStatus(line.port(), &output, &input), 0);
    EXPECT_EQ(input, 0);
    PortClose(line.port());
}

TEST(TerminalApi, TraceMarkerOfThePort) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_EQ(WCOM_GetResourceByNum(line.port()) != nullptr, true);
    ASSERT_EQ(PortVPSL(line.port(), nullptr), 0);  // the port becomes the current one
    EXPECT_EQ(EPAP_MarkPortTrace(4242), 1);
    WComTraceClose();
    const auto records = testsupport::ReadTraceRecords(line.pty->trace);
    ASSERT_GE(records.size(), 29u);
    std::string marker;
    for (size_t i = records.size() - 29; i < records.size(); ++i) {
        EXPECT_EQ(records[i].direction, 1);
        EXPECT_EQ(records[i].status, '*');
        marker.push_back(static_cast<char>(records[i].byte));
    }
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14}) EXPECT_TRUE(std::isdigit(marker[i])) << i;
    EXPECT_EQ(marker[8], '\0');
    EXPECT_EQ(marker[15], '\0');
    EXPECT_EQ(marker.substr(16), std::string("4242") + std::string(9, '\0'));
    PortClose(line.port());
}

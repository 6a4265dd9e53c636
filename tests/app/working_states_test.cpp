// Requests of the cash register during a working state (maintenance 10,
// terminal services 50) and the two states' passes, in process, through the
// real POS link; the cash register is played by the test clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/pos_dialogue.h"
#include "app/service_states.h"
#include "periph/terminal_box.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "support/app_session.h"
#include "support/trace_capture.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"

using testsupport::AppSessionTest;
using testsupport::PosPeer;
using testsupport::TraceCapture;

namespace {

class WorkingState : public AppSessionTest {
protected:
    // A maintenance (state 10) that waits for its server, as DealServer sees
    // it: the request was acknowledged and its SV and CD kept for the abort
    // answer.
    void EnterMaintenance() {
        CopyField(record->service, "s2");
        CopyField(record->command, "c19");
        SaveRequestServiceCommand("s2", "c19");
        record->posAnswerState = 1;
        record->step = 3;
        context->loopState = 10;
        EFTOC_StartTimer(context, 7200);
    }
    // One poll of the cash register during the working state, with the
    // request the cash register sends.
    int PollWith(const std::string& request) {
        Send(request);
        const int result = PollPosDuringTransaction();
        clock.Serve();
        return result;
    }
    // A maintenance whose dialogue with the cash register (a key awaited)
    // got this request instead of the answer: it is left in abortCode.
    void DialogueGets(const char* request, int abortCode) {
        EnterMaintenance();
        context->abortCode = 0;
        clock.replies["c21"].push_back(request);
        char key = 0;
        ASSERT_EQ(PosWaitKey(30000, 0, &key), -1);
        ASSERT_EQ(context->abortCode, abortCode);
        clock.Serve();
        clock.received.clear();
    }
    std::string AbortAnswer(const char* sv, const char* cd) const {
        return AnswerHead() + "{SV}" + sv + "{CD}" + cd + "{RS}33{F}";
    }
};

}  // namespace

TEST_F(WorkingState, RequestsThatDoNotStopTheWorkingState) {
    struct Case {
        const char* request;
        bool forced;  // a forced transaction runs
        const char* acknowledgement;
    } cases[] = {
        {"{SS}R{PS}1{SV}s0{CD}c1{F}", false, "5"},   // a second payment: wrong moment
        {"{SS}R{PS}1{SV}s2{CD}c19{F}", false, "5"},  // a second maintenance
        {"{PS}1{SV}s0{CD}c1{F}", false, "3"},         // no SS
        {"{SS}A{PS}1{SV}s0{CD}c1{F}", false, "3"},    // SS of an answer
        {"{SS}r{PS}1{SV}s0{CD}c1{F}", false, "3"},    // SS compared with its case
        {"{SS}R{PS}1{SV}s0{F}", false, "3"},          // no CD
        {"{SS}R{PS}1{CD}c1{F}", false, "3"},          // no SV
        {"{PS}1{SV}s0{CD}c1{F}", true, "5"},          // forced: handled with what was read
        {"{SS}R{PS}1{SV}s3{CD}c1{F}", false, "5"},   // SV s3 with another CD
        {"{SS}R{PS}1{SV}s3{CD}c1i{F}", false, "5"},  // c1i under s3 replaces nothing
    };
    for (const Case& c : cases) {
        EnterMaintenance();
        Options.ActivateFIRAI = c.forced ? 0x7F : 0;
        clock.received.clear();
        EXPECT_EQ(PollWith(c.request), 0) << c.request;
        EXPECT_EQ(clock.received, std::vector<std::string>{c.acknowledgement}) << c.request;
        EXPECT_EQ(context->loopState, 10) << c.request;
        EXPECT_STREQ(context->posRequest, "") << c.request;
    }
}

TEST_F(WorkingState, FlashInformationGoesToTheServer) {
    EnterMaintenance();
    context->connectionState = 1;
    context->serverRequest[0] = '\0';
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}S11{CD}c1{D3G}hello{F}"), 0);
    EXPECT_EQ(clock.received, std::vector<std::string>{"0"});
    EXPECT_STREQ(context->applicationCode, "1410");
    EXPECT_STREQ(context->serverRequest, "{SS}R{PS}1{SV}S11{CD}c1{D3G}hello{F}");
    EXPECT_STREQ(context->pendingPosFlash, "");
    EXPECT_EQ(context->loopState, 10);
    context->connectionState = 0;
}

// The server request buffer holds the request of the running operation, or
// no server is connected: the flash information waits apart, and neither
// replaces that request nor gives it the flash's message type.
TEST_F(WorkingState, FlashInformationWaitsBesideTheRequestOfTheOperation_Mended) {
    const struct {
        const char* name;
        int connected;
        const char* request;
    } cases[] = {{"a request not sent yet", 1, "{SS}R{PS}1{SV}s2{CD}c19{F}"},
                 {"no server connected", 0, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnterMaintenance();
        EFTOC_SetApplicationCode(context, "1500");
        context->connectionState = c.connected;
        std::snprintf(context->serverRequest, sizeof context->serverRequest, "%s", c.request);
        clock.received.clear();
        EXPECT_EQ(PollWith("{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{F}"), 0);
        EXPECT_EQ(clock.received, std::vector<std::string>{"0"});
        EXPECT_STREQ(context->applicationCode, "1500");
        EXPECT_STREQ(context->serverRequest, c.request);
        EXPECT_STREQ(context->pendingPosFlash, "{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{F}");
        // Without a server nothing goes; it waits for the next exchange.
        context->connectionState = 0;
        EXPECT_EQ(TOC_SendPendingPosFlash(context), 0);
        EXPECT_STREQ(context->pendingPosFlash, "{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{F}");
        context->pendingPosFlash[0] = '\0';
    }
}

TEST_F(WorkingState, AbortRefusedWhileInhibitedThenCarriedOut) {
    EnterMaintenance();
    context->abortInhibition = 1;
    TraceCapture trace;
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}s3{CD}c0{F}"), 0);
    EXPECT_EQ(clock.received, std::vector<std::string>{"6"});
    EXPECT_TRUE(trace.Contains("Abandon recu mais inhibe"));
    EXPECT_EQ(context->loopState, 10);
    EXPECT_EQ(EPAP_GetWaitCallback(), &WaitCallback);

    // The inhibition ended: '0', then the abort answer with the request's
    // SV and CD; the caller leaves its working state.
    context->abortInhibition = 0;
    clock.received.clear();
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}S3{CD}C0{F}"), -2);
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", AbortAnswer("s2", "c19")}));
    EXPECT_TRUE(trace.Contains("Abandon recu et autorise"));
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(record->step, 0);
    EXPECT_EQ(context->abortCode, 3);
    EXPECT_EQ(context->connectionState, 0);
    EXPECT_EQ(EPAP_GetWaitCallback(), &WaitCallback);
}

TEST_F(WorkingState, AbortOfAForcedTransactionIsRefusedAndEndsIt) {
    EnterMaintenance();
    Options.ActivateFIRAI = 0x7F;
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}s3{CD}c0{F}"), -2);
    EXPECT_EQ(clock.received, std::vector<std::string>{"6"});
    EXPECT_NE(context->abortCode, 3);  // not aborted: the state goes to the end
    // The maintenance pass then ends the request.
    Send("{SS}R{PS}1{SV}s3{CD}c0{F}");
    RunLoopPass();
    EXPECT_EQ(context->loopState, 100);
}

TEST_F(WorkingState, AbortUnderAPn40ResourceGoesToTheServer) {
    EnterMaintenance();
    CopyField(context->netResources[context->netResourceIndex].label, "pn40");
    context->abortInhibition = 1;
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}s3{CD}c0{F}"), 0);
    EXPECT_EQ(clock.received, std::vector<std::string>{"6"});
    EXPECT_STREQ(context->serverRequest, "");

    context->abortInhibition = 0;
    clock.received.clear();
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}s3{CD}c0{F}"), 0);
    EXPECT_EQ(clock.received, std::vector<std::string>{"0"});
    EXPECT_STREQ(context->serverRequest, "{SS}R{PS}1{SV}s3{CD}c0{F}");
    EXPECT_EQ(context->loopState, 10);
}

TEST_F(WorkingState, CloseRequestEndsTheProgramAfterItsAcknowledgement) {
    EnterMaintenance();
    EXPECT_EXIT(
        {
            PollWith("{SS}R{PS}1{SV}s3{CD}c99{F}");
            std::_Exit(3);  // not reached
        },
        ::testing::ExitedWithCode(0), "");
    // The child's acknowledgement is in the shared block.
    clock.Serve();
    EXPECT_EQ(clock.received, std::vector<std::string>{"0"});
}

// An abort or stop that the cash register sends while the program awaits its
// answer to a dialogue request (a key here) ends the dialogue; the next poll
// of the working state serves it, instead of dropping it unanswered.
TEST_F(WorkingState, AbortSeenDuringADialogueIsServedByTheNextPoll_Mended) {
    struct Case {
        const char* what;
        int inhibition;
        int poll;
        std::vector<std::string> answers;  // the abort's answers ("{AB}": the abort answer)
        int loopState;
        int abortCode;
    } cases[] = {
        {"carried out", 0, -2, {"0", "{AB}"}, 0, 3},
        {"refused while inhibited", 1, 0, {"6"}, 10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        context->abortInhibition = c.inhibition;
        DialogueGets("{SS}R{PS}1{SV}s3{CD}c0{F}", 1);
        EXPECT_EQ(PollPosDuringTransaction(), c.poll);
        clock.Serve();
        std::vector<std::string> expected;
        for (const std::string& a : c.answers) expected.push_back(a == "{AB}" ? AbortAnswer("s2", "c19") : a);
        EXPECT_EQ(clock.received, expected);
        EXPECT_EQ(context->loopState, c.loopState);
        EXPECT_EQ(context->abortCode, c.abortCode);
        // Served once: the next poll has nothing more to answer.
        clock.received.clear();
        if (context->loopState == 10) {
            EXPECT_EQ(PollPosDuringTransaction(), 0);
            clock.Serve();
            EXPECT_TRUE(clock.received.empty());
        }
        context->abortInhibition = 0;
    }
    // A stop ends the program after its acknowledgement.
    DialogueGets("{SS}R{PS}1{SV}s3{CD}c99{F}", 2);
    EXPECT_EXIT(
        {
            PollPosDuringTransaction();
            std::_Exit(3);  // not reached
        },
        ::testing::ExitedWithCode(0), "");
    clock.Serve();
    EXPECT_EQ(clock.received, std::vector<std::string>{"0"});
}

// A request with CD c1i ends the running service and is served again from
// idle, where it starts its own.
TEST_F(WorkingState, RequestC1iReplacesTheRunningService) {
    CopyField(record->service, "s4");
    CopyField(record->command, "c15");
    record->posAnswerState = 1;
    record->step = 2;
    context->loopState = 50;
    EXPECT_EQ(PollWith("{SS}R{PS}1{SV}s4{CD}c1i{F}"), -2);
    EXPECT_TRUE(clock.received.empty());  // nothing answered yet
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(record->step, 0);
    EXPECT_EQ(PosPeer::Status(peer.fromPos()), poslink::kStatusPresent);

    RunUntilIdle();
    EXPECT_EQ(clock.received,
              (std::vector<std::string>{"0", AnswerHead() + "{SV}s4{CD}c1i{RS}32{F}"}));
}

// The replacing request is put back into the mailbox: one that the mailbox
// cannot hold (a one-shot request of 10240 characters) is refused with '8'
// and the running transaction goes on, instead of being aborted for a
// request that is then lost.
TEST_F(WorkingState, ReplacingRequestLongerThanTheMailboxIsRefused_Mended) {
    EnterMaintenance();
    std::string request = "{SS}R{PS}1{SV}s4{CD}c1i{D7V}";
    request += std::string(poslink::kTextSize - request.size() - 3, 'x') + "{F}";
    ASSERT_EQ(request.size(), poslink::kTextSize);
    std::memcpy(context->posRequest, request.c_str(), request.size() + 1);
    EXPECT_EQ(DealPosDuringTransaction(), 0);
    clock.Serve();
    EXPECT_EQ(clock.received, std::vector<std::string>{"8"});
    EXPECT_EQ(context->loopState, 10);
    EXPECT_NE(context->abortCode, 3);
    EXPECT_NE(PosPeer::Status(peer.fromPos()), poslink::kStatusPresent);
}

TEST_F(WorkingState, TimeAllottedLinkFailureAndAlert) {
    EnterMaintenance();
    EFTOC_StartTimer(context, 10);
    clock.advance(9000);
    EXPECT_EQ(PollPosDuringTransaction(), 0);
    clock.advance(1000);
    EXPECT_EQ(PollPosDuringTransaction(), -4);
    EXPECT_STREQ(record->resultCode, "30");

    // An answer the link refuses (longer than the mailbox holds).
    EFTOC_StartTimer(context, 7200);
    std::memset(context->posAnswer, 'x', sizeof context->posAnswer - 1);
    EXPECT_EQ(PollPosDuringTransaction(), -6);
    EXPECT_STREQ(record->resultCode, "38");

    // A fatal alert of the console stops the main loop after 5 s.
    context->box->console->alertLevel = 3;
    const int64_t before = clock.nowMs();
    EXPECT_EQ(PollPosDuringTransaction(), -1);
    EXPECT_STREQ(record->resultCode, "99");
    EXPECT_EQ(context->loopState, -1);
    EXPECT_GE(clock.nowMs() - before, 5000);
}

TEST_F(WorkingState, NegativePollEndsTheStateUnlessTheTransactionWasAborted) {
    for (int state : {10, 50}) {
        EnterMaintenance();
        context->loopState = state;
        EFTOC_StartTimer(context, 0);  // time allotted already over
        RunLoopPass();
        EXPECT_EQ(context->loopState, 100) << state;

        EnterMaintenance();
        context->loopState = state;
        Send("{SS}R{PS}1{SV}s3{CD}c0{F}");
        RunLoopPass();
        EXPECT_EQ(context->loopState, 0) << state;  // the abort already moved it
        clock.Serve();
    }
}

TEST_F(WorkingState, UnknownMaintenanceStepEndsWithResult99) {
    EnterMaintenance();
    record->step = 2;  // never set by the step handlers
    RunLoopPass();
    EXPECT_STREQ(record->resultCode, "99");
    EXPECT_EQ(context->loopState, 100);
}

TEST_F(WorkingState, TerminalServiceStepsRunTheirHandlers) {
    struct Case {
        const char* sv;
        const char* label;
        int step;
        const char* handler;
    } cases[] = {
        {"s7", "", 0, "S7_SaleInit"},           {"s4", "PN40", 0, "PadServiceStart"},
        {"S7", "", 1, "S7_ReadIsoTrack"},       {"s4", "pn40", 1, "PN40_SaleStep1"},
        {"s4", "", 1, "PadContinuousEntry"},    {"s7", "PN40", 3, "S7_ReadIsoTrackAnswer"},
        {"s4", "PN40", 3, "PN40_SaleStep3"},    {"s4", "", 3, "PadServiceEnd"},
        {"s7", "", 10, "S7_SaleAnswer"},        {"s4", "PN40", 10, "PadServiceAnswer"},
        {"s4", "", 4, "PadServiceAnswer"},
    };
    for (const Case& c : cases) {
        CopyField(record->service, c.sv);
        CopyField(record->command, "c15");
        CopyField(context->netResources[context->netResourceIndex].label, c.label);
        record->step = c.step;
        record->posAnswerState = 1;
        context->loopState = 50;
        EFTOC_StartTimer(context, 7200);
        TraceCapture trace;
        RunLoopPass();
        EXPECT_TRUE(trace.Contains(std::string(c.handler) + ": aucun lecteur configure")) << c.handler;
        EXPECT_EQ(context->loopState, 100) << c.handler;
        RunUntilIdle();
    }
}

namespace {

// A terminal that answers the echo wait from a script of events by time, as
// a protocol module's event wait does: each wait takes its time on the
// clock, hands what it read to the wait callback, and ends with
// PV_PER_RESET when the callback asked to stop.
struct ScriptedTerminal {
    struct Event {
        int64_t atMs;  // since the start of the echo wait
        int status;
        char letter;
        std::string request;  // sent by the cash register during this wait
    };
    static std::vector<Event>& Script() {
        static std::vector<Event> script;
        return script;
    }
    static testsupport::CashRegisterClock*& Clock() {
        static testsupport::CashRegisterClock* clock = nullptr;
        return clock;
    }
    static int64_t& Start() {
        static int64_t start = 0;
        return start;
    }
    static int& Calls() {
        static int calls = 0;
        return calls;
    }
    static int Wait(int function, int waitMs, char* event) {
        ++Calls();
        EXPECT_EQ(function, 4);
        EXPECT_EQ(waitMs, 200);
        char text[kTerminalEchoSize] = {};
        int status = PV_NOT_YET;
        const int64_t now = Clock()->nowMs() - Start();
        auto it = Script().begin();
        while (it != Script().end() && it->atMs > now + waitMs) ++it;
        if (it != Script().end()) {
            const Event e = *it;
            Script().erase(it);
            Clock()->advance(std::max<int64_t>(0, e.atMs - now));
            if (!e.request.empty()) {
                Clock()->toSend.push_back(e.request);
                Clock()->Serve();
            }
            text[0] = e.letter;
            status = e.status;
        } else {
            Clock()->advance(waitMs);
        }
        if (EPAP_WaitCallbackFn callback = EPAP_GetWaitCallback()) callback(text);
        Clock()->Serve();
        if (text[0] == 'S') return PV_PER_RESET;
        event[0] = text[0];
        return status;
    }
};

}  // namespace

class EchoWait : public WorkingState {
protected:
    void SetUp() override {
        WorkingState::SetUp();
        ScriptedTerminal::Script().clear();
        ScriptedTerminal::Clock() = &clock;
        ScriptedTerminal::Calls() = 0;
        SetTerminalEventWait(&ScriptedTerminal::Wait);
        CopyField(record->service, "s4");
        CopyField(record->command, "c15");
        record->posAnswerState = 1;
        record->echoTimeoutMs = 5000;
        record->echoTimedOut = 0;
        context->terminalFunction = 4;
        context->loopState = 50;
        EFTOC_StartTimer(context, 7200);
        record->step = 1;  // step 1 arms the first round of the wait
        RunLoopPass();
        RunUntilIdle();
        clock.received.clear();
        CopyField(record->service, "s4");
        CopyField(record->command, "c15");
        SaveRequestServiceCommand("s4", "c15");
        record->step = 2;
        record->posAnswerState = 1;
        context->loopState = 50;
        EFTOC_StartTimer(context, 7200);
        ScriptedTerminal::Start() = clock.nowMs();
    }
    // Loop passes while the step is 2 (at most n).
    void RunWait(int n = 1000) {
        for (int i = 0; i < n && record->step == 2 && context->loopState == 50; ++i) RunLoopPass();
    }
};

TEST_F(EchoWait, AnswerReadyEndsTheWait) {
    ScriptedTerminal::Script() = {{1000, 0, 'A', ""}};
    RunWait();
    EXPECT_EQ(record->step, 3);
    EXPECT_EQ(record->echoTimedOut, 0);
    EXPECT_EQ(clock.nowMs() - ScriptedTerminal::Start(), 1000);
}

TEST_F(EchoWait, KeepAlivesExtendTheWaitAndRestartTheTimer) {
    ScriptedTerminal::Script() = {{4000, 0, 'K', ""}, {8000, 0, 'K', ""}, {12000, 0, 'A', ""}};
    EFTOC_StartTimer(context, 6);  // would run out at 6 s without the keep-alives
    RunWait();
    EXPECT_EQ(record->step, 3);
    EXPECT_EQ(record->echoTimedOut, 0);
    EXPECT_EQ(clock.nowMs() - ScriptedTerminal::Start(), 12000);
    EXPECT_EQ(context->timerDuration, 5);  // restarted for echoTimeoutMs / 1000
    EXPECT_TRUE(clock.received.empty());   // keep-alives are relayed only with -e2
}

TEST_F(EchoWait, SilenceEndsTheWaitAfterItsTime) {
    RunWait();
    EXPECT_EQ(record->step, 3);
    EXPECT_EQ(record->echoTimedOut, 1);
    EXPECT_EQ(clock.nowMs() - ScriptedTerminal::Start(), 5000);
    EXPECT_EQ(ScriptedTerminal::Calls(), 25);  // one 200 ms wait per pass
}

TEST_F(EchoWait, TerminalResetGoesBackToIdle) {
    ScriptedTerminal::Script() = {{600, PV_PER_RESET, 0, ""}};
    RunWait();
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(record->step, 0);
}

// An abort of the cash register during the terminal's wait reaches the wait
// callback, which aborts the transaction and gives up the wait.
TEST_F(EchoWait, AbortDuringTheWaitGoesBackToIdle) {
    ScriptedTerminal::Script() = {{600, PV_NOT_YET, 0, "{SS}R{PS}1{SV}s3{CD}c0{F}"}};
    RunWait();
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(record->step, 0);
    EXPECT_EQ(context->abortCode, 3);
    EXPECT_EQ(context->abortInCallback, 1);
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", AbortAnswer("s4", "c15")}));
}

class MaintenanceIndicator : public AppSessionTest {
protected:
    void SetUp() override {
        AppSessionTest::SetUp();
        previous = std::filesystem::current_path();
        std::filesystem::current_path(tree.path());
    }
    void TearDown() override {
        std::filesystem::current_path(previous);
        AppSessionTest::TearDown();
    }
    std::filesystem::path previous;
};

TEST_F(MaintenanceIndicator, CreatedAndDeletedOnlyWhenThePinpadConnectsItself) {
    Options.WaitForPinpad = 0;
    {
        TraceCapture trace;
        EXPECT_EQ(SetMaintenanceIndicator(1), 0);
        EXPECT_FALSE(trace.Contains("[MAINTENANCE]"));
    }
    EXPECT_FALSE(std::filesystem::exists("WOUT/update.tmp"));

    Options.WaitForPinpad = 1;
    {
        TraceCapture trace;
        EXPECT_EQ(SetMaintenanceIndicator(1), 1);  // no WOUT directory
        EXPECT_TRUE(trace.Contains("Echec indicateur de maintenance en cours"));
    }
    std::filesystem::create_directory("WOUT");
    {
        TraceCapture trace;
        EXPECT_EQ(SetMaintenanceIndicator(1), 0);
        EXPECT_EQ(SetMaintenanceIndicator(1), 0);  // already there
        EXPECT_TRUE(trace.Contains("Indicateur de maintenance en cours cree"));
    }
    EXPECT_EQ(testsupport::ReadFileText("WOUT/update.tmp"), "c");
    {
        TraceCapture trace;
        EXPECT_EQ(SetMaintenanceIndicator(0), 0);
        EXPECT_TRUE(trace.Contains("Indicateur de maintenance en cours efface"));
    }
    EXPECT_FALSE(std::filesystem::exists("WOUT/update.tmp"));
    {
        TraceCapture trace;
        EXPECT_EQ(SetMaintenanceIndicator(0), 0);
        EXPECT_TRUE(trace.Contains("Indicateur de maintenance en cours absent lors de la demande d'effacement"));
    }
}

// The card transaction of main-loop state 40, in process, through the real
// POS link (the cash register is played by the test clock) and a recording
// fake of the terminal script API: the start and its acknowledgement, the
// echo wait, the steps out of range, the end answer, the abort during the
// card wait and the contactless limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/service_states.h"
#include "periph/console_windows.h"
#include "protocols/term_print.h"
#include "netsim/acquirer.h"
#include "protocols/pv_status.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "support/app_session.h"
#include "support/epap_fake.h"
#include "support/trace_capture.h"
#include "transactions/card_acquisition.h"
#include "transactions/pos_answer.h"
#include "transactions/transaction_phase.h"

using testsupport::AppSessionTest;
using testsupport::EpapFake;

namespace {

class CardTransaction : public AppSessionTest {
protected:
    void SetUp() override {
        AppSessionTest::SetUp();
        fake.protocols[0] = 2;
        fake.protocols[4] = 2;  // a card reader that is not a RUDA terminal
        EFTOC_StartTimer(context, 7200);
        // What the dispatcher clears for each request.
        std::memset(record->replyService, 0, sizeof record->replyService);
        std::memset(record->replyCommand, 0, sizeof record->replyCommand);
    }
    std::string Request(const std::string& cd, const std::string& more = "") const {
        return "{SS}R{PS}" + std::to_string(station) + "{SV}s0{CD}" + cd + more + "{F}";
    }
    // The request as the dispatcher hands it over: in the POS request, SV and
    // CD in the record, state 40 at step 0.
    void Enter(const std::string& cd, const std::string& more = "") {
        const std::string request = Request(cd, more);
        std::memset(context->posRequest, 0, sizeof context->posRequest);
        std::memcpy(context->posRequest, request.c_str(), request.size());
        CopyField(record->service, "s0");
        CopyField(record->command, cd.c_str());
        std::memset(record->replyService, 0, sizeof record->replyService);
        std::memset(record->replyCommand, 0, sizeof record->replyCommand);
        record->step = 0;
        context->loopState = 40;
    }
    std::string Answer(const std::string& cd, const std::string& rs, const std::string& more = "") const {
        return AnswerHead() + "{SV}s0{CD}" + cd + "{RS}" + rs + more + "{F}";
    }
    void SetLabel(const char* label) {
        CopyField(context->netResources[context->netResourceIndex].label, label);
    }

    EpapFake fake;
};

}  // namespace

TEST_F(CardTransaction, AcknowledgementByCommandGroup) {
    struct Case {
        const char* cd;
        char acknowledgement;
        int loopState;  // after the start
        int step;
    } cases[] = {
        {"c1", '0', 40, 1},  {"c2", '0', 40, 1},  {"c3", '0', 40, 1},  {"c2k", '0', 40, 1},
        {"C1", '0', 40, 1},  // CDs compared without letter case
        {"c8", '0', 40, 1},  {"c4", '0', 40, 1},  {"cj", '0', 40, 1},  {"c2d", '0', 40, 1},
        {"c2p", '3', 0, 0},  {"c2q", '3', 0, 0},  {"c2r", '3', 0, 0},  {"c30", '3', 0, 0},
        {"c2v", '3', 0, 0},  {"c2w", '3', 0, 0},  {"c2x", '3', 0, 0},
        {"c2f", '0', 40, 1},  // without D4R "1" in the other group
    };
    for (const Case& c : cases) {
        Enter(c.cd);
        StartCardTransaction();
        EXPECT_EQ(context->posAnswer[0], c.acknowledgement) << c.cd;
        EXPECT_EQ(context->posAnswer[1], '\0') << c.cd;
        EXPECT_EQ(context->loopState, c.loopState) << c.cd;
        EXPECT_EQ(record->step, c.step) << c.cd;
        EXPECT_EQ(record->posAnswerState, 1) << c.cd;
        EXPECT_STREQ(context->posRequest, "") << c.cd;
    }
}

TEST_F(CardTransaction, TitleByCommand) {
    struct Case {
        const char* cd;
        const char* more;
        const char* title;
    } cases[] = {
        {"c1", "", "ZNP_DSP_TITLE_DEBIT"},
        {"c1", "{D16}7{D3I}2", "ZNP_DSP_TITLE_SPECIFIC_7_OPTION2"},
        {"c2", "", "ZNP_DSP_TITLE_CREDIT"},
        {"c2f", "{D4R}1", "ZNP_DSP_TITLE_DEBIT"},
        {"c13", "", "ZNP_DSP_TITLE_SUMMARY"},
        {"c2e", "", "ZNP_DSP_TITLE_UPDATE_PARAMETERS"},
        {"c1", "{D15}9{D16}A93", "ZNP_DSP_TITLE_DEBIT"},  // the first two characters count
        {"c1", "{D15}9{D16}C9", "none"},
        {"c4", "{D15}9", "ZNP_DSP_TITLE_DUPLICATA"},  // D15 "9" matters in the payment group only
    };
    for (const Case& c : cases) {
        std::memset(record->titleId, 0, sizeof record->titleId);
        Enter(c.cd, c.more);
        StartCardTransaction();
        EXPECT_STREQ(record->titleId, c.title) << c.cd << c.more;
    }
}

TEST_F(CardTransaction, LoginRequestBecomesMaintenanceOnTheCompanyResource) {
    SetLabel("TALVO");
    Options.ConnectedMode = 0;
    Enter("c2g");
    StartCardTransaction();
    EXPECT_EQ(context->loopState, 10);
    EXPECT_EQ(record->step, 0);
    EXPECT_STREQ(record->service, "s2");
    EXPECT_STREQ(record->command, "c1c");
    EXPECT_STREQ(record->replyService, "s0");
    EXPECT_STREQ(record->replyCommand, "c2g");
    EXPECT_STREQ(context->applicationCode, "1500");
    EXPECT_STREQ(context->posAnswer, "");  // no acknowledgement
    const std::string request = context->posRequest;
    EXPECT_EQ(request.find("{CD}c2g"), std::string::npos);
    EXPECT_NE(request.find("{SV}s2{CD}c1c"), std::string::npos) << request;

    // With ConnectedMode 1 it is an ordinary card transaction.
    Options.ConnectedMode = 1;
    std::memset(record->replyService, 0, sizeof record->replyService);
    Enter("c2g");
    StartCardTransaction();
    EXPECT_EQ(context->posAnswer[0], '0');
    EXPECT_EQ(context->loopState, 40);
}

TEST_F(CardTransaction, ServerForcedFromTheFileNumber) {
    int resource = -1, server = -1;
    char d16[4];
    EXPECT_EQ(ForceServerByFileNumber("0027", "1", &resource, &server, d16, sizeof d16), 1);
    EXPECT_EQ(resource, 0);
    EXPECT_EQ(server, 2);
    EXPECT_STREQ(d16, "7");
}

// Mended: the file number must be four digits naming a loaded resource and a
// server 1 to 4; anything else forces nothing and the request ends with RS
// "36".
TEST_F(CardTransaction, MendedServerForcedOnlyByAValidFileNumber) {
    for (const char* number : {"0057", "0007", "9017", "a017", "01", "0-17"}) {
        int resource = -1, server = -1;
        char d16[4] = "z";
        EXPECT_EQ(ForceServerByFileNumber(number, "1", &resource, &server, d16, sizeof d16), 0) << number;
        EXPECT_EQ(server, 0) << number;
        EXPECT_STREQ(d16, "") << number;
    }
    Enter("c8", "{D9H}1{E7}905712345678");
    StartCardTransaction();
    EXPECT_STREQ(record->resultCode, "36");
}

TEST_F(CardTransaction, EchoWaitKeepAliveAnswerAndTimeOut) {
    record->step = 2;
    record->echoTimeoutMs = 1000;
    record->posAnswerState = 1;
    context->loopState = 40;
    EchoTimerArmed = 1;
    // A keep-alive every 600 ms holds the wait well past its time-out.
    for (int i = 0; i < 6; ++i) {
        fake.events.push_back({0, 'K'});
        RunTransactionPhase();
        clock.advance(600);
        ASSERT_EQ(record->step, 2) << i;
    }
    // Another character is ignored; silence then ends the wait.
    fake.events.push_back({0, 'x'});
    RunTransactionPhase();
    EXPECT_EQ(record->step, 2);
    clock.advance(1001);
    RunTransactionPhase();
    EXPECT_EQ(record->step, 3);
    EXPECT_EQ(record->echoTimedOut, 1);
    EXPECT_EQ(EchoTimerArmed, 1);

    // 'A' ends it at once, without the time-out mark.
    record->step = 2;
    record->echoTimedOut = 0;
    fake.events.push_back({0, 'A'});
    RunTransactionPhase();
    EXPECT_EQ(record->step, 3);
    EXPECT_EQ(record->echoTimedOut, 0);
}

// Mended: a transaction dropped in the echo wait after its acknowledgement
// still gets a final answer: "32" for a terminal reset.
TEST_F(CardTransaction, MendedDropInEchoWaitStillAnswers) {
    Enter("c1", "{D10}500");
    RunTransactionPhase();  // step 0: the acknowledgement leaves at the next poll
    ASSERT_STREQ(context->posAnswer, "0");
    record->step = 2;
    EchoTimerArmed = 1;
    fake.events.push_back({PV_PER_RESET, 0});
    RunTransactionPhase();
    EXPECT_EQ(context->loopState, 100);
    RunLoopPass();
    clock.Serve();
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", Answer("c1", "32")}));
}

// Mended: aborted (abort code 3) while the echo is awaited and not answered
// yet: the abort answer, RS "33" with the request's SV and CD.
TEST_F(CardTransaction, MendedAbortInEchoWaitStillAnswers) {
    Enter("c2", "{D10}500");
    RunTransactionPhase();
    ASSERT_EQ(record->step, 1);
    record->step = 2;
    EchoTimerArmed = 1;
    Options.ActivateFIRAI = 0xFF;  // after a chained exchange: no POS poll
    context->abortCode = 3;
    fake.events.push_back({PV_NOT_YET, 0});
    RunTransactionPhase();
    Options.ActivateFIRAI = 0;
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(record->step, 0);
    clock.Serve();
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", Answer("c2", "33")}));
}

TEST_F(CardTransaction, StepsOutOfRangeAnswerNinetyNine) {
    for (int step : {4, 5, 6, 7, 8, 9, 11, -1}) {
        Enter("c1");
        record->step = step;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        RunTransactionPhase();
        EXPECT_STREQ(record->resultCode, "99") << step;
        EXPECT_EQ(context->loopState, 100) << step;
    }
}

TEST_F(CardTransaction, FinalAnswerOrderAndDefaultResult) {
    struct Case {
        const char* rs;
        const char* incident;
        const char* expectedTail;
    } cases[] = {
        {"05", "1", "{RS}05{D48}1"},
        {"", "", "{RS}99"},  // no RS at all answers "99"
        {"00", "", "{RS}00"},
    };
    for (const Case& c : cases) {
        clock.received.clear();
        CopyField(record->service, "s0");
        CopyField(record->command, "c1");
        CopyField(record->resultCode, c.rs);
        CopyField(record->cardIncident, c.incident);
        record->posAnswerState = 1;
        std::memset(context->posAnswer, 0, sizeof context->posAnswer);
        EFT_FINISHStandard();
        clock.Serve();
        EXPECT_EQ(clock.received, std::vector<std::string>{AnswerHead() + "{SV}s0{CD}c1" + c.expectedTail + "{F}"})
            << c.rs;
        EXPECT_EQ(context->loopState, 103);
        EXPECT_STREQ(record->resultCode, "");
        EXPECT_STREQ(record->cardIncident, "");
    }
}

TEST_F(CardTransaction, ServerAnswerPassedOnWithDataCaptureCorrection) {
    struct Case {
        const char* cd;
        const char* rs;
        const char* expected;
    } cases[] = {
        {"c2d", "99", "03"},
        {"c2d", "00", "00"},
        {"c1", "99", "99"},
        {"c1", "05", "05"},  // a refusal passes unchanged
    };
    for (const Case& c : cases) {
        clock.received.clear();
        Enter(c.cd);
        record->posAnswerState = 1;
        std::memset(context->posAnswer, 0, sizeof context->posAnswer);
        const std::string server = AnswerHead() + "{SV}s0{CD}" + c.cd + "{RS}" + c.rs + "{F}";
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        std::memcpy(context->serverAnswer, server.c_str(), server.size());
        record->step = 10;
        EndCardTransaction();
        clock.Serve();
        ASSERT_EQ(clock.received.size(), 1u) << c.cd << c.rs;
        const std::string& answer = clock.received[0];
        EXPECT_NE(answer.find(std::string("{RS}") + c.expected), std::string::npos) << answer;
        EXPECT_EQ(answer.find(std::string("{RS}") + (std::strcmp(c.rs, c.expected) != 0 ? c.rs : "--")),
                  std::string::npos)
            << answer;
        EXPECT_EQ(context->loopState, 103);
    }
}

TEST_F(CardTransaction, AbortDuringTheCardWaitAnswersWithTheRequest) {
    SetLabel("TALVO");
    Send(Request("c1", "{D10}500{D0}978"));
    RunLoopPass();  // idle: dispatched to state 40
    ASSERT_EQ(context->loopState, 40);
    for (int i = 0; i < 4 && record->step != 2; ++i) RunLoopPass();
    ASSERT_EQ(record->step, 2);  // waiting for the card
    clock.Serve();
    ASSERT_EQ(clock.received, std::vector<std::string>{"0"});
    Send("{SS}R{PS}" + std::to_string(station) + "{SV}s3{CD}c0{F}");
    RunLoopPass();
    clock.Serve();
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", "0", Answer("c1", "33")}));
    EXPECT_EQ(context->loopState, 0);
}

TEST_F(CardTransaction, NoContactlessAtTheMaximalAmount) {
    Options.ClsMaximalAmount = 1000;
    struct Case {
        int amount;
        bool allowed;
    } cases[] = {{999, true}, {1000, false}, {1001, false}};
    for (const Case& c : cases) {
        record->amountPresent = 1;
        record->amount = c.amount;
        EXPECT_EQ(ContactlessAllowedByAmount(), c.allowed) << c.amount;
    }
    record->amountPresent = 0;
    record->amount = 1;
    EXPECT_FALSE(ContactlessAllowedByAmount());

    // Arming the readers under the limit numbers the contactless
    // transaction: 999 wraps to 001.
    CopyField(Options.TransactionNumber, "999");
    record->amountPresent = 1;
    record->amount = 999;
    record->readerSet = kReaderBoth;
    EXPECT_EQ(WaitForCard(), 0);
    EXPECT_STREQ(Options.TransactionNumber, "001");
    EXPECT_EQ(record->cardReadRecord.chipRequested, 1);
    EXPECT_EQ(record->cardReadRecord.isoRequested, 1);
    EXPECT_EQ(record->resetRequired, 1);
    record->amount = 1000;
    EXPECT_EQ(WaitForCard(), 0);
    EXPECT_STREQ(Options.TransactionNumber, "001");
}

// Mended: a lost terminal link while the card reading is armed ends the
// wait as a terminal failure (18, RS "32"), not as the servers' network
// failure (33 would answer RS "31").
TEST_F(CardTransaction, MendedLostTerminalLinkWhileArmingIsTerminalUnreachable) {
    fake.protocols[4] = 16;  // the card status is armed on a RUDA reader only
    record->readerSet = kReaderStripe;
    record->resetRequired = 0;  // an earlier test of the session may have left it set
    fake.script("send", {PV_NET_FAILED});
    EXPECT_EQ(WaitForCard(), PV_PER_ACCES);
    EXPECT_EQ(record->resetRequired, 0);
    EXPECT_EQ(record->cardReadRecord.isoRequested, 1);
}

// The answer of a RUDA card reader as it comes: a card read sends the
// readers off (card status off) before it is judged, a key or a card of no
// use here waits for more, a removal in the removal watch is told.
TEST_F(CardTransaction, RudaCardAnswerByTechnology) {
    fake.protocols[4] = 16;
    struct Case {
        const char* name;
        int phase;         // the reading phase of the read
        uint8_t options;   // chipOptions before the read
        int presentBefore;
        int technology;    // what the answer brings (-1: no card)
        char firstByte;    // first character of the event text
        int result;
        bool readersOff;
        const char* line;  // trace line, or nullptr
        const char* track = nullptr;
    } cases[] = {
        {"chip card read", 1, 0x12, 0, 4, 0, 0, true, nullptr},
        {"stripe read", 1, 0x12, 0, 2, 0, 0, true, nullptr, "B4970100012345670D3012201"},
        {"validation key", 1, 0x12, 0, 0, 'V', 0, false, nullptr},
        {"correction key", 1, 0x12, 0, 0, 'C', 0, false, nullptr},
        {"track 1 alone", 1, 0x12, 0, 1, 0, PV_CMD_INTERNAL, false, nullptr},
        {"track 3 alone", 1, 0x12, 0, 3, 0, PV_CMD_INTERNAL, false, nullptr},
        {"a cheque on the card reader", 1, 0x12, 0, 7, 0, 0, false, nullptr},
        {"nothing yet", 1, 0x12, 0, -1, 0, 0, false, nullptr},
        {"card removed while watched", 4, 0x13, 1, -1, 0, PV_PROTO_ERROR, true, ">>>>> Carte retiree"},
    };
    for (const Case& c : cases) {
        Enter("c1");
        testsupport::TraceCapture trace;
        CardReadRecord& card = record->cardReadRecord;
        std::memset(&card, 0, sizeof card);
        card.chipRequested = 1;
        card.isoRequested = 1;
        card.chipOptions = c.options;
        card.presentCount = c.presentBefore;
        record->processingMode = c.phase;
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 1;
        fake.calls.clear();
        fake.writers[100] = [&c](va_list args) {
            CardReadRecord* r = va_arg(args, CardReadRecord*);
            r->presentCount = c.technology >= 0 ? 1 : 0;
            r->technology = c.technology >= 0 ? c.technology : 0;
            r->eventData[0] = c.firstByte;
            if (c.track != nullptr) {
                CopyField(r->eventData, c.track);
                r->eventLength = static_cast<int32_t>(std::strlen(c.track));
            }
            r->answerValid = 1;
        };
        EXPECT_EQ(ReadCardResult(), c.result) << c.name;
        size_t offs = 0;
        for (const auto& call : fake.callsOf("set"))
            if (call.command == 100) ++offs;
        EXPECT_EQ(offs, c.readersOff ? 1u : 0u) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(trace.Contains(c.line)) << c.name;
        }
        fake.writers.erase(100);
    }
}

TEST_F(CardTransaction, NoCardReaderEndsWithTerminalUnreachable) {
    fake.protocols.erase(4);
    SetLabel("TALVO");
    Send(Request("c1", "{D10}500"));
    RunUntilIdle();
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", Answer("c1", "32")}));
}

// In connected mode the server link stays open between transactions: a cut
// of that link queued before the request ends the transaction with RS "31"
// before any terminal dialogue.
TEST_F(CardTransaction, QueuedSocketCutAnswersNetworkFailureWithoutTerminalDialogue) {
    std::string error;
    auto scenario = netsim::AcquirerScenario::Parse("answer 1400 reply rs=00 then=close\n", &error);
    ASSERT_TRUE(scenario) << error;
    netsim::AcquirerSim sim(*scenario);
    ASSERT_TRUE(sim.start());
    NetResource& resource = context->netResources[context->netResourceIndex];
    CopyField(resource.servers[kServerPrincipal].host, "127.0.0.1");
    CopyField(resource.servers[kServerPrincipal].service, std::to_string(sim.port()).c_str());
    resource.servers[kServerPrincipal].echoTimeOut = 0;
    CopyField(resource.label, "TALVO");
    Options.ConnectedMode = 1;
    TOC_EnableAllServers();
    ASSERT_EQ(TOC_ConnectServers(context), 1);
    // The previous transaction's exchange; the server then drops the link.
    CopyField(context->serverRequest, "{SS}R{SV}s0{CD}c1{F}");
    int result = 0;
    for (int i = 0; i < 25 && result < 20; ++i) result = TOC_ServerExchangeStep(context);
    ASSERT_GE(result, 20);
    ASSERT_TRUE(sim.waitForLinksEnded(1, 5000));
    std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);

    fake.calls.clear();
    Enter("c1", "{D10}500{D0}978");
    RunTransactionPhase();  // step 0
    ASSERT_EQ(record->step, 1);
    RunTransactionPhase();  // step 1: the cut
    EXPECT_EQ(context->loopState, 100);
    RunLoopPass();
    clock.Serve();
    EXPECT_EQ(clock.received, (std::vector<std::string>{"0", Answer("c1", "31")}));
    for (const testsupport::EpapCall& call : fake.calls)
        EXPECT_TRUE(call.op == "clear" || call.op == "protocol") << call.op;
    Options.ConnectedMode = 0;
    TOC_CloseServer(context);
}

TEST_F(CardTransaction, SummaryWithNothingPendingAnswersTen) {
    Enter("cj");
    StartCardTransaction();
    record->processingMode = 3;
    record->step = 3;
    CardTransactionStep();
    EXPECT_STREQ(record->resultCode, "10");
    EXPECT_EQ(record->step, 10);
    EXPECT_EQ(SecondPassState(), 0);
}

TEST_F(CardTransaction, RefusalWithDbwZeroGoesToTheNextServer) {
    NetResource& resource = context->netResources[context->netResourceIndex];
    CopyField(resource.servers[kServerSecours].service, "7001");
    CopyField(resource.servers[kServerTertiaire].service, "7002");
    CopyField(Options.ThirdServerIlotLabel, "ILOT3");
    CopyField(context->transactionRequest, "{SS}R{SV}s0{CD}c1{D10}500{F}");
    auto answer = [&](const char* text) {
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        CopyField(context->serverAnswer, text);
        std::memset(context->serverRequest, 0, sizeof context->serverRequest);
    };
    TOC_EnableAllServers();
    answer("{SS}A{SV}s0{CD}c1{RS}11{DBW}0{F}");
    EXPECT_EQ(RetryOnOtherServer(), 1);  // PRINCIPAL -> SECOURS
    EXPECT_EQ(record->serverEnabled[kServerPrincipal], 0);
    EXPECT_STREQ(context->serverRequest, context->transactionRequest);
    EXPECT_STREQ(context->serverAnswer, "");
    answer("{SS}A{SV}s0{CD}c1{RS}11{DBW}0{F}");
    EXPECT_EQ(RetryOnOtherServer(), 1);  // SECOURS -> TERTIAIRE
    EXPECT_EQ(record->serverEnabled[kServerSecours], 0);
    EXPECT_STREQ(Options.IlotLabel, "ILOT3");
    answer("{SS}A{SV}s0{CD}c1{RS}11{DBW}0{F}");
    EXPECT_EQ(RetryOnOtherServer(), 0);  // none left: both flags set again
    EXPECT_EQ(record->serverEnabled[kServerPrincipal], 1);
    EXPECT_EQ(record->serverEnabled[kServerSecours], 1);

    struct Case {
        const char* answer;
    } others[] = {{"{SS}A{RS}11{DBW}1{F}"}, {"{SS}A{RS}05{DBW}0{F}"}, {"{SS}A{RS}11{F}"}, {"{SS}A{DBW}0{F}"}};
    for (const Case& c : others) {
        TOC_EnableAllServers();
        answer(c.answer);
        EXPECT_EQ(RetryOnOtherServer(), 0) << c.answer;
    }
    // Without a backup server configured nothing is retried.
    CopyField(resource.servers[kServerSecours].service, "");
    TOC_EnableAllServers();
    answer("{SS}A{RS}11{DBW}0{F}");
    EXPECT_EQ(RetryOnOtherServer(), 0);
}

TEST_F(CardTransaction, CardReadPreparedFromTheRequest) {
    struct Case {
        const char* more;
        int directServer;
        const char* eventData;  // "" when no card-read answer is filled
        int technology;
        int engaged;
        int cardReadState;
        uint32_t readerSet;
    } cases[] = {
        {"", 1, "9999999999999999D3012", 0, 0, 3, kReaderBoth},  // proxy mode, D15 absent
        {"{D15}0", 1, "", 0, 0, -1, kReaderBoth},                // D15 "0" leaves proxy mode off
        {"{D15}1{D2F}4970100000000063=2512", 0, "4970100000000063=2512", 2, 1, 3, kReaderBoth},
        {"{D15}1{D2F}4970100000000063=2512{D2D}0", 0, "4970100000000063=2512", 2, 0, 3, kReaderBoth},
        {"{D15}0{D2F}4970100000000063D2512", 0, "4970100000000063D2512", 0, 0, 3, kReaderBoth},
        {"{D15}9{D92}12345", 0, "12345", 9, 0, 3, kReaderBoth},
        {"{D2D}1", 0, "", 0, 0, -1, kReaderChip},
        {"{D2D}2", 0, "", 0, 0, -1, kReaderStripe},
        {"{D2D}8", 0, "", 0, 0, -1, kReaderChip},
    };
    for (const Case& c : cases) {
        Options.DirectServerConnection = static_cast<uint8_t>(c.directServer);
        Options.ClsMaximalAmount = 5000;
        Options.ClsOnly = 0;
        context->authorisationMode = -1;
        Enter("c1", c.more);
        std::memcpy(context->transactionRequest, context->posRequest, sizeof context->transactionRequest);
        std::memset(&record->cardReadRecord, 0, sizeof record->cardReadRecord);
        record->resetRequired = 0;
        record->clientMode = 0;
        PrepareCardReading();
        EXPECT_STREQ(record->cardReadRecord.eventData, c.eventData) << c.more;
        EXPECT_EQ(record->cardReadRecord.technology, c.technology) << c.more;
        EXPECT_EQ(record->resetRequired, c.engaged) << c.more;
        EXPECT_EQ(context->authorisationMode, c.cardReadState) << c.more;
        EXPECT_EQ(record->readerSet, c.readerSet) << c.more;
        EXPECT_EQ(record->clientMode, c.eventData[0] == '9' && c.technology == 0 ? 1 : 0) << c.more;
    }
    // D2D "2" and "1" stop contactless for the transaction; "8" reads
    // contactless only.
    EXPECT_EQ(Options.ClsOnly, 1);
    Enter("c1", "{D2D}2");
    std::memcpy(context->transactionRequest, context->posRequest, sizeof context->transactionRequest);
    PrepareCardReading();
    EXPECT_EQ(Options.ClsMaximalAmount, 0);
    Options.DirectServerConnection = 0;
    Options.ClsOnly = 0;
}

TEST_F(CardTransaction, CardReadAnswerJudged) {
    struct Case {
        const char* name;
        int technology;
        int chipStatus;  // the chip status byte of a chip answer
        int status;
        int candidates;
        int result;
        int phase;
        int cardReadState;
        const char* rs;
        const char* incident;
        const char* track = nullptr;  // the stripe's track as the terminal gave it
    } cases[] = {
        {"chip read", 4, 16, 0, 0, 0, 2, 2, "", ""},
        {"chip read with candidates", 4, 16, 0, 2, 0, 2, 2, "", ""},  // chosen in the candidate phase
        {"chip asks again", 5, 18, 1, 0, 0, 4, 0, "99", ""},
        {"chip failure falls back to the stripe", 4, 16, 7, 0, 0, 1, 1, "", "1"},
        {"chip answer without a chip section", 4, 3, 0, 0, 1, 4, -1, "", ""},
        {"holder cancel on the keyboard", 0, 0, 0, 0, 0, 1, -1, "35", ""},
        {"stripe read", 2, 0, 0, 0, 0, 2, 2, "", "", "B4970100012345670D3012201"},
        {"stripe with a wrong Luhn key", 2, 0, 0, 0, 0, 4, 0, "11", "", "B4970100012345678D3012201"},
        {"stripe with no such expiry month", 2, 0, 0, 0, 0, 4, 0, "11", "", "B4970100012345670D3013201"},
        {"contactless refused outside a debit", 10, 0, 3, 0, 65535, 4, -1, "11", ""},
        {"unknown technology", 7, 0, 0, 0, 1, 4, -1, "", ""},
    };
    for (const Case& c : cases) {
        Enter(std::strstr(c.name, "contactless") != nullptr ? "c2" : "c1");
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        std::memset(record->cardIncident, 0, sizeof record->cardIncident);
        CardReadRecord& card = record->cardReadRecord;
        std::memset(&card, 0, sizeof card);
        card.presentCount = 1;
        card.answerValid = 1;
        card.technology = c.technology;
        card.status = c.status;
        card.chipRequested = c.technology == 4 || c.technology == 5 ? 1 : 0;
        card.chipOptions = static_cast<uint8_t>(c.chipStatus);
        card.isoRequested = c.technology == 2 ? 1 : 0;
        if (c.technology == 0) CopyField(card.eventData, "A");
        if (c.track != nullptr) {
            CopyField(card.eventData, c.track);
            card.eventLength = static_cast<int32_t>(std::strlen(c.track));
        }
        record->terminalResultArea.candidateCount = c.candidates;
        record->ctlsStartResult = 1;
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        EXPECT_EQ(ReadCardResult(), c.result) << c.name;
        EXPECT_EQ(record->processingMode, c.phase) << c.name;
        EXPECT_EQ(context->authorisationMode, c.cardReadState) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_STREQ(record->cardIncident, c.incident) << c.name;
    }
}

TEST_F(CardTransaction, UnreadTrackEndsAfterTheMaximalTries) {
    for (const char* incident : {"", "1"}) {
        Options.Iso2MaximalTries = 2;
        context->isoReadFailures = 0;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        CopyField(record->cardIncident, incident);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            CardReadRecord& card = record->cardReadRecord;
            std::memset(&card, 0, sizeof card);
            card.presentCount = 1;
            card.answerValid = 1;
            card.isoRequested = 1;
            card.technology = 2;
            card.status = 2;  // track not read
            record->processingMode = 1;
            record->readerSet = kReaderStripe;
            EXPECT_EQ(ReadCardResult(), 0);
            if (attempt == 1) {
                EXPECT_STREQ(record->resultCode, "") << incident;
                EXPECT_STREQ(record->cardIncident, "2");
                EXPECT_EQ(record->processingMode, 1);  // read again
                CopyField(record->cardIncident, incident);
            }
        }
        EXPECT_STREQ(record->resultCode, incident[0] == '1' ? "20" : "11") << incident;
    }
    Options.Iso2MaximalTries = 0;
}

namespace {

// A card answer already in the record (as the protocol module leaves it):
// a card of the technology, with its status.
void PutAnswer(CardReadRecord& card, int technology, int status) {
    std::memset(&card, 0, sizeof card);
    card.presentCount = 1;
    card.answerValid = 1;
    card.technology = technology;
    card.status = status;
}

size_t SetsOf(const EpapFake& fake, int command) {
    size_t n = 0;
    for (const auto& call : fake.callsOf("set"))
        if (call.command == command) ++n;
    return n;
}

}  // namespace

// A chip read without failure: who chooses the application (the terminal by
// its candidate list, a RUDA terminal itself unless the cash register
// selects), and the unknown card when nobody can.
TEST_F(CardTransaction, ChipReadDecisionBySelection) {
    struct Case {
        const char* name;
        bool automaticSelection;  // Automatic bit 2
        bool ruda;
        int selectByClient;
        int candidates;
        int fromRequest;
        int cardReadState;
        int phase;
        const char* rs;
        const char* incident;
    } cases[] = {
        {"candidates wait for the candidate phase", false, false, 0, 2, 0, 2, 2, "", ""},
        {"RUDA selects", false, true, 0, 0, 0, 4, 3, "", ""},
        {"cash register selects", false, true, 1, 0, 0, 2, 2, "", ""},
        {"automatic with candidates", true, false, 0, 2, 0, 4, 3, "", ""},
        {"automatic on RUDA", true, true, 0, 0, 0, 4, 3, "", ""},
        {"automatic, cash register selects", true, true, 1, 0, 0, 2, 2, "", ""},
        {"unknown card supplied by the request", true, false, 0, 0, 1, 1, 4, "21", ""},
        {"unknown card goes to the stripe", true, false, 0, 0, 0, 1, 1, "", "1"},
    };
    for (const Case& c : cases) {
        Enter("c1");
        fake.protocols[4] = c.ruda ? 16 : 2;
        Options.Automatic = c.automaticSelection ? 4 : 0;
        Options.SelectByClient = c.selectByClient;
        Options.Iso2MaximalTries = 0;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        std::memset(record->cardIncident, 0, sizeof record->cardIncident);
        PutAnswer(record->cardReadRecord, 4, 0);
        record->cardReadRecord.chipRequested = 1;
        record->cardReadRecord.chipOptions = 16;
        record->terminalResultArea.candidateCount = c.candidates;
        record->cardDataFromRequest = c.fromRequest;
        record->ctlsStartResult = 1;
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        context->isoFallback = 0;
        EXPECT_EQ(ReadCardResult(), 0) << c.name;
        EXPECT_EQ(context->authorisationMode, c.cardReadState) << c.name;
        EXPECT_EQ(record->processingMode, c.phase) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_STREQ(record->cardIncident, c.incident) << c.name;
        if (std::strcmp(c.name, "unknown card goes to the stripe") == 0) {
            EXPECT_EQ(record->readerSet, kReaderStripe);
            EXPECT_EQ(context->isoFallback, 1);
            EXPECT_EQ(Options.Iso2MaximalTries, 1);  // one more try on the stripe
        }
    }
}

// A chip that fails: the stripe is asked next, or the transaction ends by
// the mute-card options; the fallback flag by read mode and terminal model.
TEST_F(CardTransaction, ChipFailureByMuteCardOptions) {
    struct Case {
        const char* name;
        int fromRequest;
        int isoReadMode;
        int muteEnd;  // ActivateMuteCardRemovalEnd
        int model;    // terminalModel
        int triesBefore;
        int result;
        const char* rs;
        int phase;
        uint32_t readerSet;
        int muteCardEnd;
        int isoFallback;
        int triesAfter;
    } cases[] = {
        {"card from the request", 1, 0, 0, 0, 0, 0, "20", 4, 0, 0, 1, 0},
        {"card from the request, removal end", 1, 0, 1, 0, 0, 0, "20", 4, 0, 0, 1, 0},
        {"stripe read mode", 0, 1, 0, 640, 0, 0, "", 1, kReaderStripe, 0, 1, 0},
        {"LR510 without fallback", 0, 0, 1, 640, 0, 0, "20", 4, 0, 0, 0, 0},
        {"mute card ends the transaction", 0, 0, 2, 0, 0, PV_CMD_MUTE_CARD, "", 4, 0, 1, 1, 0},
        {"stripe next with one try", 0, 0, 0, 0, 0, 0, "", 1, kReaderStripe, 0, 1, 1},
        {"stripe next keeps its tries", 0, 0, 0, 0, 3, 0, "", 1, kReaderStripe, 0, 1, 3},
    };
    for (const Case& c : cases) {
        Enter("c1");
        Options.IsoReadMode = c.isoReadMode;
        Options.ActivateMuteCardRemovalEnd = c.muteEnd;
        Options.Iso2MaximalTries = c.triesBefore;
        record->terminalModel = c.model;
        record->muteCardEnd = 0;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        PutAnswer(record->cardReadRecord, 4, 7);
        record->cardReadRecord.chipRequested = 1;
        record->cardReadRecord.chipOptions = 18;
        record->cardDataFromRequest = c.fromRequest;
        record->ctlsStartResult = 1;
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        context->isoFallback = -1;
        EXPECT_EQ(ReadCardResult(), c.result) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_EQ(record->processingMode, c.phase) << c.name;
        EXPECT_EQ(record->readerSet, c.readerSet) << c.name;
        EXPECT_EQ(record->muteCardEnd, c.muteCardEnd) << c.name;
        EXPECT_EQ(context->isoFallback, c.isoFallback) << c.name;
        EXPECT_EQ(Options.Iso2MaximalTries, c.triesAfter) << c.name;
        EXPECT_STREQ(record->cardIncident, "1") << c.name;
        EXPECT_EQ(context->authorisationMode, 1) << c.name;
    }
}

// With ActivateRemovalDetection a chip read arms the removal watch at once:
// the chip alone, no stripe, no key.
TEST_F(CardTransaction, ChipReadArmsTheRemovalWatch) {
    fake.protocols[4] = 16;
    for (int activate : {0, 1}) {
        Enter("c1");
        Options.ActivateRemovalDetection = activate;
        CardReadRecord& card = record->cardReadRecord;
        PutAnswer(card, 4, 0);
        card.chipRequested = 1;
        card.chipOptions = 16;
        card.isoRequested = 1;
        card.keyAbortRequested = 1;
        card.keyAbortRequestedByte = 1;
        record->processingMode = 1;  // the card is there: no read, judged at once
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 1;
        fake.calls.clear();
        EXPECT_EQ(ReadCardResult(), 0) << activate;
        EXPECT_EQ(record->processingMode, 3) << activate;
        // The readers off, then (armed) on again.
        EXPECT_EQ(SetsOf(fake, 100), activate ? 2u : 1u) << activate;
        EXPECT_EQ(card.chipOptions, activate ? 18 : 16) << activate;
        EXPECT_EQ(card.isoRequested, activate ? 0 : 1) << activate;
        EXPECT_EQ(card.keyAbortRequested, activate ? 0 : 1) << activate;
        EXPECT_EQ(card.keyAbortRequestedByte, activate ? 0 : 1) << activate;
        if (activate) {
            EXPECT_EQ(card.mode, 1);  // card status on
        }
    }
}

// The flash information of a card read goes to the cash register by one
// poll: inserted chip and tapped card, each with its trace line.
TEST_F(CardTransaction, FlashInformationOnCardRead) {
    struct Case {
        int technology;
        const char* line;
    } cases[] = {{4, "Envoi Flash info insertion carte"}, {10, "Envoi Flash info tap carte"}};
    fake.protocols[4] = 16;
    for (const Case& c : cases) {
        for (int flash : {0, 1}) {
            Enter("c1");
            testsupport::TraceCapture trace;
            clock.received.clear();
            record->flashLevel = flash;
            PutAnswer(record->cardReadRecord, c.technology, 0);
            record->cardReadRecord.chipRequested = 1;
            record->cardReadRecord.chipOptions = 16;
            record->processingMode = 1;
            record->readerSet = kReaderBoth;
            record->ctlsStartResult = 1;
            EXPECT_EQ(ReadCardResult(), 0) << c.line;
            clock.Serve();
            const auto flashes = clock.With("{SV}s11{CD}c1{RS}01{D16}00_0000{D3G}dlq");
            EXPECT_EQ(flashes.size(), flash ? 1u : 0u) << c.line;
            EXPECT_EQ(trace.Contains(c.line), flash == 1) << c.line;
            EXPECT_EQ(context->authorisationMode, c.technology == 4 ? 4 : 2) << c.line;
            EXPECT_EQ(context->loopState, 40) << c.line;
        }
    }
    // A poll that fails (time allotted ran out) ends the transaction.
    Enter("c1");
    EFTOC_StartTimer(context, 0);
    record->flashLevel = 1;
    PutAnswer(record->cardReadRecord, 4, 0);
    record->cardReadRecord.chipRequested = 1;
    record->cardReadRecord.chipOptions = 16;
    record->processingMode = 1;
    record->readerSet = kReaderBoth;
    record->ctlsStartResult = 1;
    EXPECT_EQ(ReadCardResult(), 0);
    EXPECT_EQ(context->loopState, 100);
}

// A RUDA contactless outcome that is no card read (answer 64 with a card of
// technology 10), by status and outcome word: refused, collision, try
// again, the retry that waits for the PIN or the holder.
TEST_F(CardTransaction, RudaContactlessOutcomes) {
    fake.protocols[4] = 16;
    struct Case {
        const char* name;
        const char* cd;
        int clsOnly;
        int status;
        const char* word;
        int phase;
        const char* rs;
        int clsMaximalAfter;  // from 5000
        int64_t paused;       // ms
        size_t cancels;       // contactless cancel commands
        size_t cardStatus;    // card status commands (on or off)
        int retryPending;
    } cases[] = {
        {"unknown card, read again", "c1", 0, 2, "CNG", 1, "", 0, 3000, 0, 1, 0},
        {"no fallback keeps the phase", "c1", 0, 2, "NOFB", 4, "11", 0, 1000, 0, 1, 0},
        {"collision", "c1", 0, 2, "COLL", 1, "", 5000, 2000, 1, 1, 0},
        {"refused credit", "c2", 0, 2, "", 4, "11", 0, 1000, 0, 1, 0},
        {"refused cancellation", "c3", 0, 2, "", 4, "11", 0, 1000, 0, 1, 0},
        {"refused debit, contactless only", "c1", 1, 2, "", 4, "11", 0, 1000, 0, 0, 0},
        {"try again", "c1", 0, 4, "", 1, "", 5000, 1000, 0, 1, 0},
        {"PIN asked", "c1", 0, 5, "", 1, "", 5000, 0, 0, 0, 1},
        {"holder asked", "c1", 0, 7, "", 1, "", 5000, 0, 0, 0, 1},
    };
    for (const Case& c : cases) {
        Enter(c.cd);
        Options.ClsOnly = c.clsOnly;
        Options.ClsMaximalAmount = 5000;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        CardReadRecord& card = record->cardReadRecord;
        PutAnswer(card, 10, c.status);
        card.chipOptions = 0x12;
        CopyField(card.eventData, c.word);
        card.eventLength = static_cast<int32_t>(std::strlen(c.word));
        record->ctlsRetryPending = 0;
        record->processingMode = 4;  // a card is there: read its answer
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 0;
        fake.calls.clear();
        fake.script("get", {PV_NOT_YET});
        const int64_t before = clock.slept;
        EXPECT_EQ(ReadCardResult(), 0) << c.name;
        EXPECT_EQ(record->processingMode, c.phase) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_EQ(Options.ClsMaximalAmount, c.clsMaximalAfter) << c.name;
        EXPECT_EQ(clock.slept - before, c.paused) << c.name;
        EXPECT_EQ(SetsOf(fake, 132), c.cancels) << c.name;
        EXPECT_EQ(SetsOf(fake, 100), c.cardStatus) << c.name;
        EXPECT_EQ(record->ctlsRetryPending, c.retryPending) << c.name;
        // The answer is cleared for the next read.
        EXPECT_EQ(card.presentCount, 0) << c.name;
        EXPECT_EQ(card.eventData[0], '\0') << c.name;
    }
}

// With PreventHolderCancelCTLS the holder's cancel key first cancels the
// contactless transaction; a terminal that refuses ('S') or does not answer
// keeps the read going, otherwise the cancel is judged (RS "35").
TEST_F(CardTransaction, HolderCancelDuringContactless) {
    fake.protocols[4] = 16;
    struct Case {
        const char* name;
        int prevent;
        int cancelAnswer;
        const char* rs;
        size_t cancels;
        bool forbidden;  // the "cancel forbidden" log line
    } cases[] = {
        {"terminal refuses the cancel", 1, 'S', "", 1, true},
        {"terminal does not answer", 1, PV_NET_TIMEOUT, "", 1, true},
        {"terminal cancels", 1, 0, "35", 1, false},
        {"cancel fails otherwise", 1, PV_CMD_INTERNAL, "35", 1, false},
        {"cancel not watched", 0, 0, "35", 0, false},
    };
    for (const Case& c : cases) {
        Enter("c1");
        testsupport::TraceCapture trace;
        Options.PreventHolderCancelCTLS = c.prevent;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        CardReadRecord& card = record->cardReadRecord;
        std::memset(&card, 0, sizeof card);
        card.chipOptions = 0x12;
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 1;
        fake.calls.clear();
        fake.writers[100] = [](va_list args) {
            CardReadRecord* r = va_arg(args, CardReadRecord*);
            r->presentCount = 1;
            r->technology = 0;
            r->eventData[0] = 'A';
            r->answerValid = 1;
        };
        fake.script("get", {0, c.cancelAnswer});
        EXPECT_EQ(ReadCardResult(), 0) << c.name;
        EXPECT_EQ(record->processingMode, 1) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_EQ(SetsOf(fake, 132), c.cancels) << c.name;
        EXPECT_EQ(trace.Contains("Abandon interdit, on attend la reponse finale"), c.forbidden) << c.name;
        if (c.forbidden) {
            // The cancel leaves the script of the read as it was: nothing
            // is cleared after it.
            const std::vector<testsupport::EpapCall> calls = fake.calls;
            size_t lastCancel = 0;
            for (size_t i = 0; i < calls.size(); ++i)
                if (calls[i].op == "get" && calls[i].command == 132) lastCancel = i;
            for (size_t i = lastCancel; i < calls.size(); ++i) EXPECT_NE(calls[i].op, "clear") << c.name;
        }
        fake.writers.erase(100);
    }
}

// A contactless read that waits for its retry (PIN or holder asked) goes to
// the server when the retry ends without a card: lost network or time-out
// ('W'), or the holder's cancel key (7).
TEST_F(CardTransaction, PendingContactlessRetryGoesToTheServer) {
    fake.protocols[4] = 16;
    struct Case {
        const char* name;
        int readStatus;  // of the card-read answer
        bool cancelKey;
        bool ctlsData;
        int phase;
        uint8_t reason;  // nonCompletionReason
        const char* rs;
        int retryPending;
    } cases[] = {
        {"network lost", PV_NET_FAILED, false, true, 3, 'W', "", 0},
        {"time-out", PV_NET_TIMEOUT, false, true, 3, 'W', "", 0},
        {"holder cancel", 0, true, true, 3, 7, "", 0},
        {"no contactless data kept", PV_NET_TIMEOUT, false, false, 4, 0, "30", 1},
    };
    for (const Case& c : cases) {
        Enter("c1");
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        CardReadRecord& card = record->cardReadRecord;
        std::memset(&card, 0, sizeof card);
        card.chipOptions = 0x12;
        if (c.ctlsData) {
            card.ctlsData.outcome = 0x01;
            card.ctlsData.length = 3;
        }
        record->ctlsRetryPending = 1;
        record->nonCompletionReason = 0;
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 1;
        fake.calls.clear();
        bool answered = false;  // the card status commands after the read answer nothing new
        fake.writers[100] = [&c, &answered](va_list args) {
            CardReadRecord* r = va_arg(args, CardReadRecord*);
            if (!c.cancelKey || answered) return;
            answered = true;
            r->presentCount = 1;
            r->technology = 0;
            CopyField(r->eventData, "A");
            r->eventLength = 1;
            r->answerValid = 1;
        };
        fake.script("get", {c.readStatus});
        EXPECT_EQ(ReadCardResult(), 0) << c.name;
        EXPECT_EQ(record->processingMode, c.phase) << c.name;
        EXPECT_EQ(record->nonCompletionReason, c.reason) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_EQ(record->ctlsRetryPending, c.retryPending) << c.name;
        if (c.phase == 3) {
            EXPECT_EQ(card.technology, 10) << c.name;
            EXPECT_EQ(card.origin, 1) << c.name;
            EXPECT_EQ(card.errorSource, 0) << c.name;
            EXPECT_EQ(card.eventData[0], '\0') << c.name;  // no key letter goes to the server
            EXPECT_EQ(context->authorisationMode, 2) << c.name;
            EXPECT_EQ(SetsOf(fake, 132), 1u) << c.name;  // contactless cancelled
        }
        fake.writers.erase(100);
    }
}

// The contactless reader lost its network during a debit with contactless
// data: the reader is reset when it was armed, and the card read again
// without contactless for this amount; elsewhere RS "30".
TEST_F(CardTransaction, ContactlessNetworkLossReadsAgain) {
    fake.protocols[4] = 16;
    struct Case {
        const char* name;
        const char* cd;
        bool ctlsData;
        uint8_t engaged;  // the reader was armed (reset required)
        int phase;
        const char* rs;
        int clsMaximalAfter;  // from 5000, amount 1200
        int abortCode;
        bool reset;  // the terminal reset "9001" was sent
    } cases[] = {
        {"armed reader reset", "c1", true, 1, 1, "", 1199, 3, true},
        {"reader not armed", "c1", true, 0, 1, "", 1199, 3, false},
        {"credit", "c2", true, 1, 4, "30", 5000, 0, false},
        {"no contactless data", "c1", false, 1, 4, "30", 5000, 0, false},
    };
    for (const Case& c : cases) {
        Enter(c.cd);
        Options.ClsMaximalAmount = 5000;
        record->amount = 1200;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        CardReadRecord& card = record->cardReadRecord;
        std::memset(&card, 0, sizeof card);
        card.chipOptions = 0x12;
        if (c.ctlsData) card.ctlsData.length = 4;
        record->ctlsRetryPending = 0;
        record->resetRequired = c.engaged;
        record->processingMode = 1;
        record->readerSet = kReaderChip;
        record->ctlsStartResult = 1;
        context->abortCode = 0;
        fake.calls.clear();
        fake.script("get", {PV_NET_FAILED});
        EXPECT_EQ(ReadCardResult(), 0) << c.name;
        EXPECT_EQ(record->processingMode, c.phase) << c.name;
        EXPECT_STREQ(record->resultCode, c.rs) << c.name;
        EXPECT_EQ(Options.ClsMaximalAmount, c.clsMaximalAfter) << c.name;
        EXPECT_EQ(context->abortCode, c.abortCode) << c.name;
        EXPECT_EQ(SetsOf(fake, 14) != 0, c.reset) << c.name;  // the reader's abort before its reset
        if (c.phase == 1) {
            EXPECT_EQ(record->readerSet, kReaderBoth) << c.name;
            EXPECT_EQ(record->resetRequired, 0) << c.name;
        } else {
            EXPECT_EQ(context->authorisationMode, 0) << c.name;
        }
    }
}

// The contactless answer judged by its status: messages with their pauses,
// contactless stopped for the transaction, the refusal outside a debit or
// with both flag bits, cancelled when the PIN is asked.
TEST_F(CardTransaction, ContactlessAnswerByStatus) {
    struct Case {
        const char* name;
        int status;
        uint8_t flags;
        int affDelai;  // ClsAffDelai
        int result;
        int64_t paused;
        int clsMaximalAfter;  // from 5000
        int isoFailuresBefore;
        int isoFailuresAfter;
    } cases[] = {
        {"PIN asked after a long delay", 25, 0x0c, 6000, 0, 3000, 5000, 2, 2},
        {"PIN asked at once", 25, 0x0c, 0, 0, 0, 5000, 2, 2},
        {"contactless forbidden", 26, 0, 0, 0, 2500, 0, 2, 2},
        {"unknown card", 8, 0, 0, 0, 5000, 0, 2, 2},
        {"blocked card", 28, 0, 0, 0, 5000, 0, 2, 2},
        {"track not read", 27, 0, 0, 0, 2500, 5000, 2, 3},
        {"track not read, at most five", 27, 0, 0, 0, 2500, 5000, 5, 5},
        {"other failure", 3, 0, 0, 0, 2500, 0, 2, 2},
        {"other failure with both flag bits", 3, 0x0c, 0, 65535, 2500, 0, 2, 2},
        {"read, only the low byte counts", 0x100, 0x0c, 0, 0, 0, 5000, 2, 0},
    };
    for (const Case& c : cases) {
        Enter("c1");
        Options.ClsMaximalAmount = 5000;
        Options.ClsAffDelai = c.affDelai;
        std::memset(record->resultCode, 0, sizeof record->resultCode);
        PutAnswer(record->cardReadRecord, 10, c.status);
        record->cardReadRecord.statusFlags = c.flags;
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 1;
        context->ctlsIsoFailures = c.isoFailuresBefore;
        fake.script("get", {0});  // the candidate list of a reader that is not a RUDA terminal
        const int64_t before = clock.slept;
        EXPECT_EQ(ReadCardResult(), c.result) << c.name;
        EXPECT_EQ(clock.slept - before, c.paused) << c.name;
        EXPECT_EQ(Options.ClsMaximalAmount, c.clsMaximalAfter) << c.name;
        EXPECT_EQ(context->ctlsIsoFailures, c.isoFailuresAfter) << c.name;
        EXPECT_STREQ(record->resultCode, c.result == 0 ? "" : "11") << c.name;
        if (c.result == 0) {
            EXPECT_EQ(record->processingMode, (c.status & 0xFF) == 0 ? 3 : 1) << c.name;
        }
        // A delay above 5 s is cut to 3 s, in the option too.
        EXPECT_EQ(Options.ClsAffDelai, c.affDelai > 5000 ? 3000 : c.affDelai) << c.name;
    }
}

// A tap on a reader that is not a RUDA terminal: its candidate list is read
// from the terminal; a list without GPO answer for an amount resets the
// reader.
TEST_F(CardTransaction, ContactlessCandidateListOfOtherReaders) {
    struct Case {
        const char* name;
        int listStatus;
        int candidates;
        int gpoLength;
        int result;
        int cardReadState;
        bool reset;
    } cases[] = {
        {"list with candidates", 0, 2, 12, 0, 4, false},
        {"empty list", 0, 0, 12, 0, 2, false},
        {"list not read", PV_CMD_INTERNAL, 0, 0, PV_CMD_INTERNAL, 2, false},
        {"tap without GPO answer", 0, 1, 0, 0, 4, true},
    };
    for (const Case& c : cases) {
        Enter("c1");
        testsupport::TraceCapture trace;
        record->amount = 500;
        record->resetRequired = 0;
        PutAnswer(record->cardReadRecord, 10, 0);
        record->processingMode = 1;
        record->readerSet = kReaderBoth;
        record->ctlsStartResult = 1;
        fake.calls.clear();
        fake.writers[12] = [&c](va_list args) {
            TerminalResultArea* area = va_arg(args, TerminalResultArea*);
            area->candidateCount = c.candidates;
            area->perCandidate[0].gpoLength = c.gpoLength;
        };
        fake.script("get", {c.listStatus});
        EXPECT_EQ(ReadCardResult(), c.result) << c.name;
        EXPECT_EQ(context->authorisationMode, c.cardReadState) << c.name;
        EXPECT_EQ(record->resetRequired, c.reset ? 1 : 0) << c.name;
        EXPECT_EQ(trace.Contains("Reception message Sans contact a tort. Redemarrage lecteur"), c.reset) << c.name;
        if (c.listStatus != 0) {
            EXPECT_TRUE(trace.Contains("Chargement de la liste de candidats KO (1)")) << c.name;
        }
        fake.writers.erase(12);
    }
}

TEST_F(CardTransaction, PaperCheckBeforeTheStart) {
    ASSERT_EQ(KTCONSOL_AddFenetre(context->box->console, "E6", 4, 24), 1);
    struct Case {
        const char* name;
        uint8_t check;
        int guiOptions;
        int protocol;
        const char* version;     // of the terminal information
        int printerStatus;       // answer of the status read
        int printStatus;         // answer of the line of blanks
        int result;
        int loopState;
        int flag;                // value given to the status read; -1 not asked
        size_t blanks;           // length of the line of blanks; 0 none
    } cases[] = {
        {"paper there", 1, 0x2000, 16, "6.1.0", 0, 0, 0, 40, 1, 0},
        {"older terminal version", 1, 0x4000, 16, "5.9.9", 0, 0, 0, 40, 0, 0},
        {"no paper", 1, 0x2000, 16, "6.1.0", 1, 0, 1, 102, 1, 0},
        {"status unknown, the blank line prints", 1, 0x2000, 16, "6.1.0", 2, 0, 0, 40, 1, 1 + 24 + 25},
        {"status unknown, the blank line fails", 1, 0x6000, 16, "6.1.0", 2, 9, 9, 102, 1, 1 + 24 + 25},
        {"check off", 0, 0x2000, 16, "6.1.0", 1, 0, 0, 40, -1, 0},
        {"not printing through the terminal", 1, 0x0100, 16, "6.1.0", 1, 0, 0, 40, -1, 0},
        {"not a RUDA reader", 1, 0x2000, 2, "6.1.0", 1, 0, 0, 40, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options.CheckPaperBeforeStartTrs = c.check;
        Options.PosGuiOptions = c.guiOptions;
        // A terminal of its own for each case (the statuses it did not use
        // go with it).
        EpapFake fake;
        fake.protocols[4] = c.protocol;
        std::memset(&record->terminalInfo, 0, sizeof record->terminalInfo);
        CopyField(record->resultCode, "");
        context->loopState = 40;
        int flag = -1;
        fake.writers[93] = [&c](va_list args) {
            TerminalInfoArea* info = va_arg(args, TerminalInfoArea*);
            CopyField(info->identifier, "12345678");
            CopyField(info->parts[0].applicationVersion, c.version);
        };
        fake.writers[15] = [&flag](va_list args) { flag = va_arg(args, int); };
        fake.copiers[13] = [](va_list args) {
            const TermPrintRecord* line = va_arg(args, const TermPrintRecord*);
            return std::string(reinterpret_cast<const char*>(line->bytes), static_cast<size_t>(line->length));
        };
        // The terminal information, then the printer status.
        fake.script("get", {0, c.printerStatus});
        fake.script("getEx", {c.printStatus});
        const int64_t slept = clock.slept;
        EXPECT_EQ(CheckPaperBeforeStart(), c.result);
        EXPECT_EQ(context->loopState, c.loopState);
        // The printer status is asked once when the check runs; the fake
        // hands the flag over on a status 0 only.
        size_t statusReads = 0;
        for (const auto& call : fake.callsOf("get")) statusReads += call.command == 15;
        EXPECT_EQ(statusReads, c.flag < 0 ? 0u : 1u);
        EXPECT_EQ(flag, c.printerStatus == 0 ? c.flag : -1);
        std::vector<std::string> printed;
        for (const auto& call : fake.callsOf("set"))
            if (call.command == 13) printed.push_back(call.args);
        if (c.blanks == 0) {
            EXPECT_TRUE(printed.empty());
        } else {
            ASSERT_EQ(printed.size(), 1u);
            EXPECT_EQ(printed[0], std::string(c.blanks, ' '));
        }
        // The error answer keeps the RS, after the no-paper pause.
        EXPECT_STREQ(record->resultCode, "");
        EXPECT_EQ(clock.slept - slept >= 2000, c.loopState == 102);
    }
}

// The server dialogue of a card payment in process, against three payment
// server simulators playing PRINCIPAL, SECOURS and TERTIAIRE on loopback:
// the connection and its fall-back, the answer wait with its answer check,
// a silent server on the injectable clock, a crossed answer with the event
// the server then receives, the simulators' misbehaviours, and the mended
// file-number server choice and ticket-problem cancellation.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "netsim/tcp_link.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "support/app_session.h"
#include "support/base64_command.h"
#include "support/net_config.h"
#include "support/rushing_clock.h"
#include "support/trace_capture.h"
#include "transactions/pos_answer.h"
#include "transactions/server_dialogue.h"
#include "transactions/server_messages.h"
#include "transactions/server_request.h"
#include "transactions/transaction_phase.h"

using testsupport::TraceCapture;

namespace {


class ServerDialogue : public testsupport::AppSessionTest {
protected:
    void SetUp() override {}
    void TearDown() override {
        if (!begun_) return;
        ClearEndOfTransactionRequests();
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
        AppSessionTest::TearDown();
        for (auto& sim : sims) sim->stop();
    }
    // Opens the session with one simulator per scenario (PRINCIPAL, SECOURS,
    // TERTIAIRE in order); an empty scenario leaves that server out. The
    // real clock runs (the server waits are the kernel's).
    void Begin(const std::vector<std::string>& scenarios) {
        AppSessionTest::SetUp();
        begun_ = true;
        std::vector<std::string> lines = {"[NTY_000:2]", "[LTY_000:TALVO]"};
        for (size_t s = 0; s < scenarios.size(); ++s) {
            if (scenarios[s].empty()) continue;
            std::string error;
            auto parsed = netsim::AcquirerScenario::Parse(scenarios[s], &error);
            ASSERT_TRUE(parsed) << error;
            sims.push_back(std::make_unique<netsim::AcquirerSim>(*parsed));
            ASSERT_TRUE(sims.back()->start());
            const std::string n = std::to_string(s + 1);
            lines.push_back("[HO" + n + "_000:127.0.0.1]");
            lines.push_back("[SV" + n + "_000:" + std::to_string(sims.back()->port()) + "]");
            lines.push_back("[TO" + n + "_000:2000]");
            lines.push_back("[SNI" + n + "_000:server" + n + ".example]");
        }
        ASSERT_TRUE(testsupport::WriteNetFile(tree.str(), lines));
        ASSERT_EQ(TOC_OpenNetResources(context), 1);
        scoped.reset();
        EFTOC_SetApplicationCode(context, "1400");
        EFTOC_StartTimer(context, 3600);
        TOC_EnableAllServers();
        TOC_SetEmptyPollCount(0);
        record->answerReceived = record->reconnecting = 0;
        record->processingMode = 0;
        CopyField(record->resultCode, "");
        CopyField(record->service, "s0");
        CopyField(record->command, "c1");
        CopyField(record->station, "7");
        CopyField(record->titleId, "ZNP_DSP_TITLE_DEBIT");
        ClearCardRecords();
        CardReadRecord& card = record->cardReadRecord;
        card.technology = 2;
        card.presentCount = card.dataValid = 1;
        CopyField(card.eventData, "4111111111111111D3012101");
        card.eventLength = 24;
        CopyField(context->transactionRequest, "{SS}R{PS}7{SV}s0{CD}c1{D10}1500{D0}978{F}");
        context->serverRequest[0] = '\0';
        context->serverAnswer[0] = '\0';
        ClearEndOfTransactionRequests();
    }
    // The card step's part: the request built again for the next server,
    // the previous answer cleared.
    void BuildRequest() {
        context->serverRequest[0] = '\0';
        context->serverAnswer[0] = '\0';
        ASSERT_EQ(BuildServerRequest(), 0);
    }
    // The tag message of the n-th request simulator s read.
    std::string RequestTags(size_t s, size_t n) {
        if (!sims[s]->waitForRequests(n + 1, 5000)) return "<none>";
        return netsim::DecodeFieldBody(sims[s]->requests()[n].M).value_or("<not a field body>");
    }
    std::string Answer(const char* code) const { return netsim::TagValue(context->serverAnswer, code); }
    // A simulator playing one scenario line as the only server (PRINCIPAL)
    // of the resource, for a payment that has had no answer yet; null (with
    // a test failure) when it cannot start.
    std::unique_ptr<netsim::AcquirerSim> PrincipalAlone(const std::string& line) {
        std::string error;
        auto scenario = netsim::AcquirerScenario::Parse(line + "\n", &error);
        EXPECT_TRUE(scenario) << error;
        if (!scenario) return nullptr;
        auto sim = std::make_unique<netsim::AcquirerSim>(*scenario);
        if (!sim->start()) {
            ADD_FAILURE() << "the simulator did not start";
            return nullptr;
        }
        CopyField(context->netResources[0].servers[0].service, std::to_string(sim->port()).c_str());
        TOC_EnableAllServers();
        for (int s : {1, 2, 3}) TOC_DisableServer(s);
        record->answerReceived = 0;
        CopyField(record->resultCode, "");
        return sim;
    }

    std::vector<std::unique_ptr<netsim::AcquirerSim>> sims;

private:
    bool begun_ = false;
};

}  // namespace

TEST_F(ServerDialogue, ApprovedOnThePrincipal) {
    Begin({"answer 1400 reply rs=00 d16=A1\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    EXPECT_EQ(context->connectionState, 0 + 1);
    BuildRequest();
    const std::string uuid = netsim::TagValue(context->serverRequest, "UUID");
    EXPECT_EQ(DealServer(), 21);
    EXPECT_EQ(Answer("RS"), "00");
    EXPECT_EQ(Answer("UUID"), uuid);
    EXPECT_EQ(record->answerReceived, 1);
    EXPECT_EQ(context->abortInhibition, 1);
    const std::string sent = RequestTags(0, 0);
    EXPECT_EQ(netsim::TagValue(sent, "VWAY"), "1");
    EXPECT_EQ(netsim::TagValue(sent, "SNI"), "server1.example");
    EXPECT_EQ(netsim::TagValue(sent, "UUID"), uuid);
    EXPECT_EQ(sims[0]->requests()[0].A, "1400");
    // The link is closed once the answer came.
    EXPECT_EQ(context->connectionState, 0);
    EXPECT_TRUE(sims[0]->waitForLinksEnded(1, 5000));
}

TEST_F(ServerDialogue, ServersTakeOverInTurn) {
    // PRINCIPAL closes before answering, SECOURS asks for the next server
    // (RS "11", DBW "0"), TERTIAIRE refuses; each request names its server.
    Begin({"close\n", "answer 1400 reply rs=11 dbw=0\n", "answer 1400 reply rs=05\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    EXPECT_EQ(record->currentServer, 0);
    BuildRequest();
    TraceCapture trace;
    EXPECT_EQ(DealServer(), 0);
    EXPECT_TRUE(trace.Contains("Reconnexion"));
    EXPECT_STREQ(record->resultCode, "31");
    EXPECT_EQ(record->reconnecting, 1);
    EXPECT_EQ(record->processingMode, 3);
    EXPECT_EQ(record->serverEnabled[0], 0);

    ASSERT_EQ(ConnectServer(0), 0);
    EXPECT_EQ(record->currentServer, 1);
    BuildRequest();
    EXPECT_EQ(DealServer(), 21);
    EXPECT_EQ(Answer("RS"), "11");
    EXPECT_EQ(Answer("DBW"), "0");
    EXPECT_EQ(netsim::TagValue(RequestTags(1, 0), "VWAY"), "2");
    EXPECT_EQ(netsim::TagValue(RequestTags(1, 0), "SNI"), "server2.example");

    TOC_DisableServer(1);
    ASSERT_EQ(ConnectServer(0), 0);
    EXPECT_EQ(record->currentServer, 2);
    BuildRequest();
    EXPECT_EQ(DealServer(), 21);
    EXPECT_EQ(Answer("RS"), "05");
    EXPECT_EQ(netsim::TagValue(RequestTags(2, 0), "VWAY"), "3");
    // Each server saw one request, with a UUID of its own.
    EXPECT_NE(netsim::TagValue(RequestTags(1, 0), "UUID"), netsim::TagValue(RequestTags(2, 0), "UUID"));
}

TEST_F(ServerDialogue, LinkLostAfterTheAnswerNeverReconnects) {
    Begin({"answer 1400 reply rs=00\n", "answer 1400 reply rs=00\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    BuildRequest();
    ASSERT_EQ(DealServer(), 21);
    // A second wait on the same transaction, its link now gone.
    ASSERT_EQ(ConnectServer(0), 0);
    context->serverAnswer[0] = '\0';
    CopyField(context->serverRequest, "{SS}R{SV}s0{CD}c1{F}");
    sims[0]->stop();
    const int dealt = DealServer();
    EXPECT_EQ(dealt, -5);
    EXPECT_STREQ(record->resultCode, "31");
    EXPECT_EQ(record->serverEnabled[1], 1);
}

TEST_F(ServerDialogue, SilentServerIsLeftAfterTheEmptyPollCount) {
    Begin({"silent\n", "answer 1400 reply rs=00\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    BuildRequest();
    // The last polls of the count (each one a receive time-out of the step).
    TOC_SetEmptyPollCount(kEmptyPollLimit - 3);
    TraceCapture trace;
    EXPECT_EQ(DealServer(), 0);
    EXPECT_TRUE(trace.Contains("Connexion perdue"));
    EXPECT_STREQ(record->resultCode, "31");
    EXPECT_EQ(sims[0]->requests().size(), 1u);
    ASSERT_EQ(ConnectServer(0), 0);
    EXPECT_EQ(record->currentServer, 1);
    BuildRequest();
    EXPECT_EQ(DealServer(), 21);
    EXPECT_EQ(Answer("RS"), "00");
    EXPECT_EQ(netsim::TagValue(RequestTags(1, 0), "VWAY"), "2");
}

TEST_F(ServerDialogue, SilentServerWithNoneLeftGivesNetworkFailure) {
    Begin({"silent\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    BuildRequest();
    for (int s : {1, 2, 3}) TOC_DisableServer(s);  // none configured
    TOC_SetEmptyPollCount(kEmptyPollLimit - 3);
    EXPECT_EQ(DealServer(), -5);
    EXPECT_STREQ(record->resultCode, "31");
}

TEST_F(ServerDialogue, ContextTimerRunningOutFirstGivesTimeExceeded) {
    Begin({"silent\n", "answer 1400 reply rs=00\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    BuildRequest();
    // Every reading of this clock is a second later: the minute of the
    // context timer runs out long before the empty-poll count.
    testsupport::RushingClock rushing;
    plat::ScopedClock scopedRushing(&rushing);
    EFTOC_StartTimer(context, 60);
    TraceCapture trace;
    EXPECT_EQ(DealServer(), -4);
    EXPECT_STREQ(record->resultCode, "30");
    EXPECT_FALSE(trace.Contains("Connexion perdue"));
    EXPECT_LT(TOC_GetEmptyPollCount(), kEmptyPollLimit);
    EXPECT_EQ(sims[1]->connections(), 0);
}

TEST_F(ServerDialogue, CrossedAnswerIsRefusedAndTheServerGetsTheEvent) {
    Begin({"answer 1400 reply rs=00 uuid=change\nanswer 1400 reply rs=00\n"});
    CopyField(Options.IlotLabel, "ILOT 2");
    ASSERT_EQ(ConnectServer(0), 0);
    BuildRequest();
    const std::string uuid = netsim::TagValue(context->serverRequest, "UUID");
    EXPECT_EQ(DealServer(), -3);
    EXPECT_STREQ(record->resultCode, "37");
    EXPECT_STREQ(context->serverAnswer, "");
    ASSERT_EQ(EndOfTransactionRequests().size(), 1u);
    EXPECT_EQ(SendEndOfTransactionRequests(), 1);
    EXPECT_TRUE(EndOfTransactionRequests().empty());
    const std::string event = RequestTags(0, 1);
    EXPECT_EQ(netsim::TagValue(event, "SV"), "s10");
    EXPECT_EQ(netsim::TagValue(event, "CD"), "c47");
    EXPECT_EQ(netsim::TagValue(event, "event-id"), "20");
    EXPECT_EQ(netsim::TagValue(event, "PS"), "7");
    EXPECT_EQ(netsim::TagValue(event, "SS"), "R");
    const std::string decoded = testsupport::Base64DecodeWithCommand(netsim::TagValue(event, "message"));
    EXPECT_EQ(decoded.rfind("{R:PS}7{R:CD}c1{R:D10}1500{R:UUID}" + uuid, 0), 0u) << decoded;
    EXPECT_NE(decoded.find("{A:RS}37{A:UUID}"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("{A:UUID}" + uuid), std::string::npos) << decoded;
}

TEST_F(ServerDialogue, NoServerReachable) {
    int port = 0;
    {
        netsim::Listener closed;
        ASSERT_TRUE(closed.open(0));
        port = closed.port();
    }
    Begin({"answer 1400 reply\n"});
    CopyField(context->netResources[0].servers[0].service, std::to_string(port).c_str());
    EXPECT_EQ(ConnectServer(0), 33);
    EXPECT_EQ(context->connectionState, 2);
    ReportTerminalResult(33);
    EXPECT_STREQ(record->resultCode, "31");
    // With offline forced nothing is attempted.
    Options.OfflineMode = 128;
    TOC_EnableAllServers();
    EXPECT_EQ(ConnectServer(0), 33);
    EXPECT_EQ(context->connectionState, 2);
    Options.OfflineMode = 0;
}

TEST_F(ServerDialogue, SimulatorMisbehavioursAgainstTheAnswerCheck) {
    struct Case {
        const char* what;
        const char* line;
        int dealt;       // DealServer's result
        const char* rs;  // RS of the record afterwards ("" unchanged)
        // The silence after it runs out at once (the empty polls preset near
        // their limit): each poll still ends within its time.
        bool silenceRunsOut = false;
    } cases[] = {
        {"SS missing", "answer 1400 reply omit=SS", -3, "37"},
        {"SV missing", "answer 1400 reply omit=SV", -3, "37"},
        {"CD missing", "answer 1400 reply omit=CD", -3, "37"},
        {"RS missing", "answer 1400 reply omit=RS", -3, "37"},
        {"RS 0A", "answer 1400 reply rs=0A", -3, "37"},
        {"RS 020", "answer 1400 reply rs=020", -3, "37"},
        {"RS 00 with an over-long D16", "answer 1400 reply rs=00 longtag=D16:300", 21, ""},
        {"RS 00 with an over-long D1A", "answer 1400 reply rs=00 longtag=D1A:4000", 21, ""},
        {"RS 00 with an over-long D3L", "answer 1400 reply rs=00 longtag=D3L:9000", 21, ""},
        {"two UUIDs, the second another one", "answer 1400 reply rs=00 uuid=twice", -3, "37"},
        {"UUID dropped", "answer 1400 reply rs=00 uuid=drop", 21, ""},
        {"9999 before the answer", "answer 1400 reply rs=00 before=9999", -5, "31"},
        {"flash information before the answer", "answer 1400 reply rs=00 before=1410:{SS}A{SV}s11{CD}c1{RS}01{F}",
         20, ""},
        {"answer of the maintenance type", "answer 1500 reply rs=00", 31, ""},
        {"a body that is no tag message", "answer 1400 body=GARBAGE", -3, "37"},
        {"a frame cut short, then silence", "answer 1400 reply rs=00 truncate=20", -5, "31", true},
        {"bytes that are no message, then silence", "raw 0123456789ABCDEF0123456789ABCDEF", -5, "31", true},
    };
    Begin({"default answer 1400 reply\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::unique_ptr<netsim::AcquirerSim> sim = PrincipalAlone(c.line);
        ASSERT_TRUE(sim);
        ClearEndOfTransactionRequests();
        ASSERT_EQ(ConnectServer(0), 0);
        BuildRequest();
        if (c.silenceRunsOut) TOC_SetEmptyPollCount(kEmptyPollLimit - 2);
        EXPECT_EQ(DealServer(), c.dealt);
        EXPECT_STREQ(record->resultCode, c.rs);
        EXPECT_LT(strnlen(context->serverAnswer, sizeof context->serverAnswer), sizeof context->serverAnswer);
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
        sim->stop();
    }
}

TEST_F(ServerDialogue, ServerForcedByFileNumber_Mended) {
    Begin({"answer 1400 reply\n"});
    struct Case {
        const char* fileNumber;
        int result;
        int resource;
        int server;
        const char* d16;
    } cases[] = {
        {"0011", 1, 0, 1, "1"}, {"0042", 1, 0, 4, "2"}, {"00312345", 1, 0, 3, "1"},
        {"0051", 0, 0, 0, ""},  // server 5
        {"0001", 0, 0, 0, ""},  // server 0
        {"1011", 0, 0, 0, ""},  // resource 1 is not loaded
        {"0A11", 0, 0, 0, ""},  {"001", 0, 0, 0, ""}, {"", 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileNumber);
        int resource = -1, server = -1;
        char d16[3] = "xx";
        EXPECT_EQ(ForceServerByFileNumber(c.fileNumber, nullptr, &resource, &server, d16, sizeof d16), c.result);
        EXPECT_EQ(resource, c.resource);
        EXPECT_EQ(server, c.server);
        EXPECT_STREQ(d16, c.d16);
    }
    EXPECT_EQ(ForceServerByFileNumber(nullptr, nullptr, nullptr, nullptr, nullptr, 0), 0);
}

TEST_F(ServerDialogue, CurrentServerSniRefusesIndicesOutOfRange_Mended) {
    Begin({"answer 1400 reply\n"});
    for (int server : {-1, 0, 3, 4}) {
        record->currentServer = server;
        EXPECT_STREQ(GetCurrentServerSni(context, record), server == 0 ? "server1.example" : "") << server;
    }
    record->currentServer = 0;
    for (int resource : {-1, 999}) {
        context->netResourceIndex = resource;
        EXPECT_STREQ(GetCurrentServerSni(context, record), "") << resource;
    }
    context->netResourceIndex = 0;
    EXPECT_STREQ(GetCurrentServerSni(nullptr, record), "");
    EXPECT_STREQ(GetCurrentServerSni(context, nullptr), "");
}

TEST_F(ServerDialogue, TicketProblemCancellationAnswers11OnlyWhenTheServerTookIt_Mended) {
    struct Case {
        const char* what;
        const char* line;
        const char* rs;  // RS of the POS answer afterwards
    } cases[] = {
        {"cancellation accepted", "answer 1400 reply rs=00", "11"},
        {"cancellation refused", "answer 1400 reply rs=12", "00"},
        {"cancellation answered out of turn", "answer 1400 reply rs=00 uuid=change", "00"},
        {"server silent then gone", "close", "00"},
    };
    Begin({"default answer 1400 reply\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        netsim::AcquirerSim sim(*netsim::AcquirerScenario::Parse(std::string(c.line) + "\n", &error));
        ASSERT_TRUE(sim.start());
        CopyField(context->netResources[0].servers[0].service, std::to_string(sim.port()).c_str());
        TOC_EnableAllServers();
        TOC_DisableServer(1);
        TOC_DisableServer(2);
        record->answerReceived = 0;
        CopyField(record->service, "s0");
        CopyField(record->command, "c1");
        CopyField(context->sentServerRequest, "{SS}R{SV}s0{CD}c9{UUID}x{F}");
        CopyField(context->posAnswer, "{SS}A{PS}7{SV}s0{CD}c1{RS}00{D16}A1{D17}042{D0}978{D10}1500{E7}FACT{F}");
        RunTicketProblemCancellation("ILOT");
        EXPECT_EQ(netsim::TagValue(context->posAnswer, "RS"), c.rs);
        EXPECT_EQ(netsim::TagValue(context->posAnswer, "D17"), "042");
        ASSERT_TRUE(sim.waitForRequests(1, 5000));
        const std::string sent = netsim::DecodeFieldBody(sim.requests()[0].M).value_or("");
        EXPECT_EQ(netsim::TagValue(sent, "CD"), "c9");
        EXPECT_EQ(netsim::TagValue(sent, "D9R"), "042");
        EXPECT_EQ(netsim::TagValue(sent, "D7V"), "ILOT");
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
        sim.stop();
    }
}

TEST_F(ServerDialogue, ReturnToLineRequest) {
    Begin({"answer 1400 reply\n"});
    CopyField(Options.IlotLabel, "ILOT 4");
    CopyField(context->serverRequest, "{SS}R{SV}s0{F}");
    ASSERT_EQ(BuildRtlRequest(), 0);
    EXPECT_STREQ(context->serverRequest, "{ZNP}13.0.26.000000_Nov 24 2023{SV}s2{CD}rtl{PS}7{D7V}ILOT 4{F}");
    // The return-to-line request never reaches PRINCIPAL, SECOURS or TERTIAIRE.
    CopyField(record->command, "rtl");
    EXPECT_EQ(ConnectServer(0), 33);
    EXPECT_EQ(sims[0]->connections(), 0);
}

// The end of the transaction cancels on the server a payment whose ticket
// could not be printed (only a successful one, not a "c4"), then sends the
// queued end-of-transaction requests, all before the answer leaves.
TEST_F(ServerDialogue, EndOfTransactionCancelsAfterATicketProblemAndSendsTheQueue) {
    struct Case {
        const char* what;
        uint8_t ticketCancel;
        const char* command;
        const char* rs;         // RS of the final answer before the end
        bool cancelled;         // a "c9" reached the server
        const char* finalRs;    // RS of the final answer afterwards
    } cases[] = {
        {"ticket problem on an approved payment", 1, "c1", "00", true, "11"},
        {"no ticket problem", 0, "c1", "00", false, "00"},
        {"ticket problem on a refusal", 1, "c1", "12", false, "12"},
        {"ticket problem on a c4", 1, "c4", "00", false, "00"},
    };
    Begin({"default answer 1400 reply rs=00\n"});
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        record->ticketCancel = c.ticketCancel;
        record->posAnswerState = 0;
        record->answerReceived = 0;
        CopyField(record->service, "s0");
        CopyField(record->command, c.command);
        CopyField(context->posAnswer, (std::string("{SS}A{PS}7{SV}s0{CD}") + c.command + "{RS}" + c.rs +
                                       "{D16}A1{D17}042{D0}978{D10}1500{F}")
                                          .c_str());
        QueueEndOfTransactionRequest("{SV}s10{CD}c47{event-id}20{message}UjpQUw=={F}");
        clock.received.clear();
        EFT_FINISHStandard();
        clock.Serve();  // the answer left on the POS link
        ASSERT_EQ(clock.received.size(), 1u);
        EXPECT_EQ(netsim::TagValue(clock.received[0], "RS"), c.finalRs);
        EXPECT_EQ(netsim::TagValue(clock.received[0], "D17"), "042");
        EXPECT_TRUE(EndOfTransactionRequests().empty());
        if (c.cancelled) {
            const std::string cancel = RequestTags(0, seen++);
            EXPECT_EQ(netsim::TagValue(cancel, "CD"), "c9");
            EXPECT_EQ(netsim::TagValue(cancel, "D9R"), "042");
        }
        // The queued request follows, with the request's PS and SS "R".
        const std::string event = RequestTags(0, seen++);
        EXPECT_EQ(netsim::TagValue(event, "SV"), "s10");
        EXPECT_EQ(netsim::TagValue(event, "CD"), "c47");
        EXPECT_EQ(netsim::TagValue(event, "SS"), "R");
        EXPECT_EQ(netsim::TagValue(event, "PS"), "7");
        EXPECT_EQ(sims[0]->requests().size(), seen);
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
    }
    record->ticketCancel = 0;
}

// A message left in the answer buffer (a text left there by an earlier
// exchange, with an unknown message type, or none, in the answer half) is
// routed once and the buffer emptied: the wait goes on reading the link and
// takes the server's answer, instead of routing the same message until the
// time allotted runs out.
TEST_F(ServerDialogue, MessageHeldInTheAnswerBufferIsRoutedOnce_Mended) {
    struct Case {
        const char* what;
        const char* line;
        bool receiveFirst;  // the unknown message is received before the wait
    } cases[] = {
        {"nothing received yet", "answer 1400 reply rs=00", false},
        {"an unknown message received first", "answer 1400 reply rs=00 before=7777:{SS}A{SV}s9{F}", true},
    };
    Begin({"default answer 1400 reply\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::unique_ptr<netsim::AcquirerSim> sim = PrincipalAlone(c.line);
        ASSERT_TRUE(sim);
        ASSERT_EQ(ConnectServer(0), 0);
        BuildRequest();
        const std::string uuid = netsim::TagValue(context->serverRequest, "UUID");
        if (c.receiveFirst) {
            record->serverMessageSeen = 0;
            for (int i = 0; i < 50 && record->serverMessageSeen == 0; ++i)
                ASSERT_GE(TOC_ServerExchangeStep(context), 0);
            ASSERT_EQ(record->serverMessageSeen, 1);
        }
        CopyField(context->serverAnswer, "{SS}A{PS}7{SV}s0{CD}c1{RS}05{F}");
        // Each reading of this clock is a second later: a wait that never
        // ends on its own runs out of its minute.
        testsupport::RushingClock rushing;
        plat::ScopedClock scopedRushing(&rushing);
        EFTOC_StartTimer(context, 60);
        const int dealt = DealServer();
        EXPECT_GE(dealt, 20);
        EXPECT_EQ(Answer("RS"), "00");
        EXPECT_EQ(Answer("UUID"), uuid);
        EXPECT_STREQ(record->resultCode, "");
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
        sim->stop();
    }
}

// An abort of the cash register that a dialogue with it saw just before the
// server wait is served at once: answered, the transaction aborted, and the
// request never sent.
TEST_F(ServerDialogue, AbortKeptByAnEarlierWaitIsServedBeforeTheRequestLeaves_Mended) {
    Begin({"answer 1400 reply rs=00\n"});
    ASSERT_EQ(ConnectServer(0), 0);
    BuildRequest();
    SaveRequestServiceCommand("s0", "c1");
    context->abortCode = 1;
    // The cash register takes the acknowledgement and the abort answer.
    auto taken = std::async(std::launch::async, [this] {
        std::vector<std::string> got;
        while (got.size() < 2) {
            std::optional<std::string> message = peer.Receive(15000);
            if (!message) break;
            got.push_back(*message);
        }
        return got;
    });
    EXPECT_EQ(DealServer(), -2);
    const std::vector<std::string> received = taken.get();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], "0");
    EXPECT_NE(received[1].find("{SV}s0{CD}c1{RS}33"), std::string::npos) << received[1];
    EXPECT_EQ(context->abortCode, 3);
    EXPECT_TRUE(sims[0]->waitForLinksEnded(1, 5000));
    EXPECT_TRUE(sims[0]->requests().empty());
}

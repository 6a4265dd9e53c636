// The server exchange step in process against the acquirer simulator: the
// context tags of a request, the routing of every message type, the lost
// connection, and the small routines of the program's waits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/connection_block.h"
#include "comm/message_box.h"
#include "comm/tls_transport.h"
#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "station/net_resources.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "support/com_fixture.h"
#include "support/relay_link.h"
#include "support/server_session.h"
#include "support/tls_pki.h"
#include "support/trace_capture.h"
#include "transactions/terminal_commands.h"

using testsupport::LoopbackResource;
using testsupport::TraceCapture;

namespace {

class ServerExchange : public testsupport::ServerSession {
protected:
    // A session connected to a simulator playing this scenario.
    // Over TLS (tls set): the simulator with the "localhost" certificate of
    // the test certificates, verified against their root CA.
    void Connect(const std::string& scenario, const std::vector<std::string>& extraNet = {}, int debugLevel = 1,
                 bool tls = false) {
        std::string error;
        auto parsed = netsim::AcquirerScenario::Parse(scenario, &error);
        ASSERT_TRUE(parsed) << error;
        sim = std::make_unique<netsim::AcquirerSim>(*parsed);
        std::vector<std::string> lines;
        if (tls) {
            if (pki_ == nullptr) pki_ = new testsupport::TestPki;
            ASSERT_TRUE(pki_->ok()) << "the test certificates could not be made";
            netsim::TlsSettings settings;
            settings.certificate = pki_->path("localhost.crt");
            settings.key = pki_->path("server.key");
            ASSERT_TRUE(sim->setTls(settings, &error)) << error;
            WSSLSetInterface(0);
        }
        ASSERT_TRUE(sim->start());
        if (tls) {
            lines = testsupport::TlsResource(0, {{"localhost", sim->port(), ""}});
            for (const std::string& line : testsupport::CertificateSettings(pki_->path("cadir/ca.crt"), 1, 1))
                lines.push_back(line);
        } else {
            lines = LoopbackResource(0, sim->port());
        }
        lines.insert(lines.end(), extraNet.begin(), extraNet.end());
        Open(lines, debugLevel);
        TOC_EnableAllServers();
        ASSERT_EQ(TOC_ConnectServers(context), 1);
        TOC_SetEmptyPollCount(0);
    }
    void SetRequest(const std::string& text) { CopyField(context->serverRequest, text.c_str()); }
    // Steps until one reports something (at most 25); the last result.
    int StepUntilSomething() {
        int result = 0;
        for (int i = 0; i < 25 && result == 0; ++i) result = TOC_ServerExchangeStep(context);
        return result;
    }
    // The tag message of the n-th request the simulator read.
    std::string RequestTags(size_t n) {
        if (!sim->waitForRequests(n + 1, 5000)) return "<none>";
        return netsim::DecodeFieldBody(sim->requests()[n].M).value_or("<not a field body>");
    }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    std::unique_ptr<netsim::AcquirerSim> sim;
    static inline testsupport::TestPki* pki_ = nullptr;  // made by the first TLS test
};

}  // namespace

TEST_F(ServerExchange, RequestGoesWithItsContextTags) {
    struct Case {
        const char* what;
        const char* request;
        int maintainer;
        const char* sent;
        int maintainerAfter;
    } cases[] = {
        {"CD c1: DAY from the till right, PS forced to 1", "{SS}R{PS}7{SV}s0{CD}c1{PS}8{F}", 1,
         "{SS}R{!S}7{SV}s0{CD}c1{!S}8{D7V}ILOT{DA4}RUDA{DAH}1{D91}001A{GRAPH}1{DAY}1{LTZ}0{VWAY}1{SNI}front.example{PS}1{F}", 1},
        {"DAY of the request sets the till right", "{SS}R{SV}s0{CD}C3{DAY}0x{F}", 1,
         "{SS}R{SV}s0{CD}C3{DAY}0x{D7V}ILOT{DA4}RUDA{DAH}1{D91}001A{GRAPH}1{LTZ}0{VWAY}1{SNI}front.example{PS}1{F}", 0},
        {"CD c19: no DAY", "{SS}R{SV}s2{CD}c19{GRAPH}0{F}", 0,
         "{SS}R{SV}s2{CD}c19{GRAPH}0{D7V}ILOT{DA4}RUDA{DAH}1{D91}001A{LTZ}0{VWAY}1{SNI}front.example{PS}1{F}", 0},
    };
    Connect("default answer 1400 reply\n", {"[SNI1_000:front.example]"});
    ASSERT_EQ(KTS_AddWindow(context->box, "F5", 5, 20), 1);
    ASSERT_EQ(KTS_SetWindowGraphic(context->box, "F5", '1'), 1);
    CopyField(record->station, "7");
    Options.IlotLabel[0] = '\0';
    CopyField(Options.IlotLabel, "ILOT");
    Options.AddPosNumber = 1;
    Options.PosGuiOptions = 0x1A;
    EFTOC_SetApplicationCode(context, "1400");
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Options.MaintainerTillRight = static_cast<uint8_t>(c.maintainer);
        SetRequest(c.request);
        EXPECT_EQ(StepUntilSomething(), 21);
        EXPECT_STREQ(context->serverRequest, "");
        EXPECT_EQ(RequestTags(n), c.sent);
        EXPECT_EQ(sim->requests()[n].A, "1400");
        EXPECT_EQ(Options.MaintainerTillRight, c.maintainerAfter);
        ++n;
    }
    EXPECT_NE(ServerLog().find("(ZNP) {SS}R{SV}s2{CD}c19"), std::string::npos);
}

TEST_F(ServerExchange, EveryMessageTypeIsRouted) {
    const std::string flash = "{SS}A{SV}s11{CD}c1{RS}01{D16}A3{D3E}4567{F}";
    Connect(
        "answer 1400 reply rs=05\n"
        "answer 1500 reply\n"
        "answer 1410 tags=\"" + flash + "\"\n"
        "answer 1200\n"
        "answer 9998\n"
        "answer 9996 body=MAINT001\n"
        "answer 9995 body=REBOOT01\n"
        "answer 1210\n"
        "answer 4242\n");
    struct Case {
        const char* appCode;
        int result;
    } cases[] = {{"1200", 21}, {"1500", 31}, {"1410", 11}, {"1400", 11}, {"1400", 1},
                 {"1400", 1},  {"1400", 1},  {"1400", 11}, {"1400", 1}};
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(i++);
        EFTOC_SetApplicationCode(context, c.appCode);
        record->serverMessageSeen = 0;
        record->resetRequired = 0;
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        SetRequest("{SS}R{SV}s2{CD}c19{F}");
        EXPECT_EQ(StepUntilSomething(), c.result);
        EXPECT_EQ(record->serverMessageSeen, 1);
        switch (i) {
            case 1:  // transaction answer: application code 1400, answer kept
                EXPECT_STREQ(context->applicationCode, "1400");
                EXPECT_STREQ(context->serverAnswer, "{SS}A{PS}{SV}s2{CD}c19{RS}05{F}");
                break;
            case 2:  // maintenance answer: application code unchanged
                EXPECT_STREQ(context->applicationCode, "1500");
                EXPECT_STREQ(context->serverAnswer, "{SS}A{PS}{SV}s2{CD}c19{RS}01{F}");
                break;
            case 3:  // flash information: to the cash register, completed
                EXPECT_STREQ(context->posAnswer, (flash.substr(0, flash.size() - 3) + "{VWAY}1{F}").c_str());
                EXPECT_STREQ(context->serverAnswer, "");
                EXPECT_EQ(record->resetRequired, 1);
                EXPECT_STREQ(record->flashD16, "A3");
                EXPECT_STREQ(record->flashD3E, "4567");
                break;
            case 4:  // relay without a descriptor: refused, counted (+10); the terminal is reset at the end
                EXPECT_EQ(record->resetRequired, 1);
                EXPECT_EQ(record->serverUsedTerminal, 1);
                break;
            case 5: EXPECT_EQ(context->abortInhibition, 1); break;
            case 6:
                EXPECT_EQ(record->maintenanceInProgress, 1);
                EXPECT_EQ(record->maintenanceNotified, 1);
                break;
            case 7: EXPECT_EQ(record->terminalRebootRequested, 1); break;
            default: break;
        }
    }
}

TEST_F(ServerExchange, ExchangeLogAtDebugLevelZeroKeepsOnlyMaintenanceAndReboot) {
    Connect("answer 1400 reply\nanswer 9996 body=MAINT000\nanswer 9995 body=REBOOT00\n", {}, 0);
    for (int expected : {21, 1, 1}) {
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        SetRequest("{SS}R{SV}s0{CD}c1{F}");
        EXPECT_EQ(StepUntilSomething(), expected);
    }
    EXPECT_EQ(record->maintenanceInProgress, 0);
    EXPECT_EQ(record->terminalRebootRequested, 0);
    const std::string log = ServerLog();
    EXPECT_NE(log.find("MAINT000"), std::string::npos);
    EXPECT_NE(log.find("REBOOT00"), std::string::npos);
    EXPECT_EQ(log.find("{SS}"), std::string::npos) << log;
}

TEST_F(ServerExchange, FlashInformationIsCompletedWithinItsFields) {
    struct Case {
        const char* what;
        std::string flash;
        int addCardInfo;
        std::string expected;
        const char* d16;
        const char* d3e;
        int reset;
    } cases[] = {
        {"VWAY added, D16 33 asks a reset", "{SS}A{D16}33{F}", 0, "{SS}A{D16}33{VWAY}3{F}", "33", "", 1},
        {"VWAY kept, D16 other", "{SS}A{D16}00_0000{VWAY}4{F}", 0, "{SS}A{D16}00_0000{VWAY}4{F}", "00", "", 0},
        {"card fields for fgs", "{SS}A{D3G}fgs{D1A}123{F}", 1,
         "{SS}A{D3G}fgs{D1A}123{D2F}B0000000000000000000D00000000000000000F{VWAY}3{F}", "", "", 0},
        {"no card fields without the option", "{SS}A{D3G}fgs{F}", 0, "{SS}A{D3G}fgs{VWAY}3{F}", "", "", 0},
        // Mended: long values reach the record cut to their fields (a D16
        // that is not exactly A3 or 33 asks no reset).
        {"long D16 and D3E", "{SS}A{D16}A3" + std::string(300, 'x') + "{D3E}" + std::string(500, '9') + "{F}", 0, "",
         "A3", "9999", 0},
    };
    Open(LoopbackResource(0, 1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        record->resetRequired = 0;
        record->currentServer = 2;
        std::memset(record->flashD16, 0, sizeof record->flashD16);
        std::memset(record->flashD3E, 0, sizeof record->flashD3E);
        Options.DoAddCardInfoInFlash = static_cast<uint8_t>(c.addCardInfo);
        CopyField(context->posAnswer, c.flash.c_str());
        TOC_CompleteFlashInfo();
        if (!c.expected.empty()) {
            EXPECT_STREQ(context->posAnswer, c.expected.c_str());
        }
        EXPECT_STREQ(record->flashD16, c.d16);
        EXPECT_STREQ(record->flashD3E, c.d3e);
        EXPECT_EQ(record->resetRequired, c.reset);
    }
}

TEST_F(ServerExchange, EmptyFlashAndUnreadableAnswerLeaveTheBuffersEmpty) {
    Connect("answer 1410 body=\"\"\nanswer 1400 body=notafield\n");
    CopyField(context->posAnswer, "kept");
    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    int result = 0;
    // The empty flash counts for nothing: only the request is reported.
    for (int i = 0; i < 25 && sim->requests().empty(); ++i) result = TOC_ServerExchangeStep(context);
    EXPECT_EQ(result, 1);
    for (int i = 0; i < 5 && record->serverMessageSeen == 0; ++i) result += TOC_ServerExchangeStep(context);
    EXPECT_EQ(record->serverMessageSeen, 1);
    EXPECT_STREQ(context->posAnswer, "kept");
    TraceCapture trace;
    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    EXPECT_EQ(StepUntilSomething(), 21);
    EXPECT_STREQ(context->serverAnswer, "");
    EXPECT_TRUE(trace.Contains("Message recu illisible (1400)"));
}

TEST_F(ServerExchange, LostConnectionIsNeverAnAnswer) {
    for (const char* scenario : {"answer 9999\n", "close\n", "reset\n"}) {
        SCOPED_TRACE(scenario);
        Connect(scenario);
        TraceCapture trace;
        SetRequest("{SS}R{SV}s0{CD}c1{F}");
        int result = 0;
        for (int i = 0; i < 25 && result >= 0; ++i) {
            result = TOC_ServerExchangeStep(context);
            EXPECT_LT(result, 20);
        }
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(trace.Contains("Connexion perdue"));
        EXPECT_EQ(TOC_GetEmptyPollCount(), 0);
        TearDown();
    }
}

// Over TLS each answer is taken whole however its bytes come: in pieces, one
// byte at a time, two frames in one write (the second one waits deciphered
// in the TLS layer, not on the socket), a long body; a server that ends the
// link, in order or with a reset, is the lost connection.
TEST_F(ServerExchange, AnswersOverTlsAreTakenWholeHoweverTheyCome) {
    const std::string longTags = "{SS}A{SV}s0{CD}c1{RS}01{D3G}" + std::string(9000, 'z') + "{F}";
    Connect("answer 1400 reply rs=02 split=3,9,40 gap=30\n"
            "answer 1400 reply rs=03 bytewise gap=1\n"
            "answer 1500 reply rs=04 copies=2\n"
            "answer 1400 tags=\"" + longTags + "\"\n"
            "close\n",
            {}, 1, true);
    const auto exchange = [&](const char* request) {
        std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
        if (request != nullptr) SetRequest(request);
        return StepUntilSomething();
    };
    EFTOC_SetApplicationCode(context, "1400");
    EXPECT_EQ(exchange("{SS}R{SV}s0{CD}c1{F}"), 21);
    EXPECT_STREQ(context->serverAnswer, "{SS}A{PS}{SV}s0{CD}c1{RS}02{F}");
    EXPECT_EQ(exchange("{SS}R{SV}s0{CD}c1{F}"), 21);
    EXPECT_STREQ(context->serverAnswer, "{SS}A{PS}{SV}s0{CD}c1{RS}03{F}");
    EXPECT_EQ(exchange("{SS}R{SV}s2{CD}c19{F}"), 31);
    EXPECT_STREQ(context->serverAnswer, "{SS}A{PS}{SV}s2{CD}c19{RS}04{F}");
    EXPECT_EQ(exchange(nullptr), 30) << "the second frame of the same write";
    EXPECT_STREQ(context->serverAnswer, "{SS}A{PS}{SV}s2{CD}c19{RS}04{F}");
    EXPECT_EQ(exchange("{SS}R{SV}s0{CD}c1{F}"), 21);
    EXPECT_EQ(std::string(context->serverAnswer), longTags);
    TraceCapture trace;
    std::memset(context->serverAnswer, 0, sizeof context->serverAnswer);
    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    int result = 0;
    for (int i = 0; i < 25 && result >= 0; ++i) result = TOC_ServerExchangeStep(context);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(trace.Contains("Connexion perdue"));
    EXPECT_EQ(sim->tlsHandshakes(), 1);
    TearDown();

    Connect("reset\n", {}, 1, true);
    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    result = 0;
    for (int i = 0; i < 25 && result >= 0; ++i) result = TOC_ServerExchangeStep(context);
    EXPECT_EQ(result, -1);
}

TEST_F(ServerExchange, EmptyPollsCountUpToTheLimit) {
    Connect("");
    TOC_SetEmptyPollCount(kEmptyPollLimit - 1);
    EXPECT_EQ(TOC_ServerExchangeStep(context), 0);
    EXPECT_EQ(TOC_GetEmptyPollCount(), kEmptyPollLimit);
    context->silenceAllowed = 1;
    EXPECT_EQ(TOC_ServerExchangeStep(context), 0);
    EXPECT_EQ(TOC_GetEmptyPollCount(), kEmptyPollLimit);
    context->silenceAllowed = 0;
    TraceCapture trace;
    EXPECT_EQ(TOC_ServerExchangeStep(context), -1);
    EXPECT_TRUE(trace.Contains("Connexion perdue"));
    EXPECT_EQ(TOC_GetEmptyPollCount(), 0);
}

TEST_F(ServerExchange, NoConnectionNoExchange) {
    Open(LoopbackResource(0, 1));
    TraceCapture trace;
    SetRequest("{SS}R{F}");
    EXPECT_EQ(TOC_ServerExchangeStep(context), 0);
    EXPECT_TRUE(trace.Contains("Acces ferme"));
    EXPECT_STREQ(context->serverRequest, "{SS}R{F}");
    EXPECT_EQ(TOC_ServerExchangeStep(nullptr), -1);
}

// Mended: a context tag that does not fit fails the step; the request stays
// as it was and nothing is sent.
TEST_F(ServerExchange, MendedContextTagThatDoesNotFitFailsTheStep) {
    Connect("");
    const std::string head = "{SS}R{SV}s0{CD}c1{XX}";
    const std::string request = head + std::string(10230 - head.size() - 3, 'x') + "{F}";
    SetRequest(request);
    TraceCapture trace;
    EXPECT_EQ(TOC_ServerExchangeStep(context), -1);
    EXPECT_EQ(std::string(context->serverRequest), request);
    EXPECT_TRUE(trace.Contains("Ajout des tags de contexte a la requete echoue"));
    EXPECT_FALSE(sim->waitForRequests(1, 300));
}

// Mended: a request that could not be sent is left as it was (without the
// context tags), ready for the next server.
TEST_F(ServerExchange, MendedFailedSendKeepsTheRequestAsItWas) {
    Connect("");
    KTM_CloseCom(context->serverBox->box->com, 1);  // the link is gone
    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    TraceCapture trace;
    EXPECT_EQ(TOC_ServerExchangeStep(context), -1);
    EXPECT_STREQ(context->serverRequest, "{SS}R{SV}s0{CD}c1{F}");
    EXPECT_TRUE(trace.Contains("Emission requete echouee"));
}

TEST_F(ServerExchange, AlertCheckWaitsAndEndsTheLoopOnAFatalAlert) {
    Open(LoopbackResource(0, 1));
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        int debug, contextLevel, consoleLevel, result;
        int64_t waitedMs;
        int loopState;
    } cases[] = {
        {1, 0, 0, 1, 0, 0},     {1, 1, 0, 1, 0, 0},    {2, 1, 0, 1, 5000, 0},
        {1, 2, 0, 1, 5000, 0},  {1, 0, 3, -1, 5000, -1}, {1, 3, 1, -1, 5000, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "debug " << c.debug << " context " << c.contextLevel << " console "
                                          << c.consoleLevel);
        context->debugLevel = c.debug;
        context->loopState = 0;
        context->alertLevel = c.contextLevel;
        context->box->console->alertLevel = c.consoleLevel;
        const int64_t before = plat::MonotonicMs();
        EXPECT_EQ(EFTOC_CheckAlert(context), c.result);
        EXPECT_EQ(plat::MonotonicMs() - before, c.waitedMs);
        EXPECT_EQ(context->loopState, c.loopState);
        EXPECT_EQ(context->alertLevel, 0);
        // Mended: the console's alert is read once.
        EXPECT_EQ(context->box->console->alertLevel, c.consoleLevel == 1 && c.debug < 2 ? 1 : 0);
    }
    context->loopState = 0;
    CSIBox* box = context->box;
    context->box = nullptr;
    EXPECT_EQ(EFTOC_CheckAlert(context), -1);
    context->box = box;
}

TEST_F(ServerExchange, RemovalDetectionFollowsItsOption) {
    Open(LoopbackResource(0, 1));
    record->cardReadRecord.mode = 0;
    Options.ActivateRemovalDetection = 0;
    EXPECT_EQ(TermStartRemovalDetection(), 0);
    EXPECT_EQ(record->cardReadRecord.mode, 0);
    Options.ActivateRemovalDetection = 1;
    // The card status goes to the reader, whose line is not there: the link
    // failure comes back unchanged.
    EXPECT_EQ(TermStartRemovalDetection(), PV_NET_FAILED);
    EXPECT_EQ(record->cardReadRecord.mode, 2);
}

// "1200" messages go to the terminal relay and count +10: a command for the
// terminal of port 0 and the fetch of its answer, the replies read back by
// the simulator (the terminal's acknowledgement, then its answer). A reset
// during the relay (the cash register's abort through the wait callback
// while a terminal's announcement is awaited) gives 80.
TEST_F(ServerExchange, RelayedTerminalCommandsAreCounted) {
    Connect("relay port=0 bodyhex=00B2010C00 fetch\nsilent\nsilent\nfetch port=0\n");
    testsupport::ComTable table(1, 0, 0, 0, 0);
    KT_EPERIPH_API* box = EPAP_GetBox();
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(EPAP_CreateFunctionProfile("EFT_CAM_1", 0, PAP_TRANSPORT_SERIAL, "RUDA"), 0);
    testsupport::FakeTerminalLink link(0);
    ASSERT_TRUE(link.ready());
    link.attach(box, 0);
    link.answers.push_back({PAP_MES_FINAL, std::string("\x70\x03\x5A\x01\x00\x90\x00", 7)});

    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    EXPECT_EQ(StepUntilSomething(), 11);  // the request sent, the command relayed
    EXPECT_EQ(record->resetRequired, 1);
    EXPECT_EQ(record->serverUsedTerminal, 1);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].payload, std::string("\x00\xB2\x01\x0C\x00", 5));
    EXPECT_EQ(StepUntilSomething(), 10);  // the fetch
    ASSERT_TRUE(sim->waitForRequests(3, 5000));
    auto requests = sim->requests();
    EXPECT_EQ(requests[1].A, "1200");
    EXPECT_NE(requests[1].S.find("/02/"), std::string::npos) << requests[1].S;
    EXPECT_EQ(requests[1].M, "");
    EXPECT_EQ(requests[2].A, "1200");
    EXPECT_EQ(requests[2].M, std::string("\x70\x03\x5A\x01\x00\x90\x00", 7));

    // A terminal that announces its answers, and an abort while it is
    // awaited.
    box->resources[0].protocol = 2;
    const EPAP_WaitCallbackFn previous = EPAP_GetWaitCallback();
    EPAP_SetWaitCallback([](char* echo) { echo[0] = 'S'; });
    SetRequest("{SS}R{SV}s0{CD}c1{F}");
    EXPECT_EQ(StepUntilSomething(), 80);
    EPAP_SetWaitCallback(previous);
    EXPECT_EQ(link.receives, 1);
}

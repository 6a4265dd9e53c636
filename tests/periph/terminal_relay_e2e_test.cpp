// The terminal relay end to end: the payment-server simulator (over loopback
// TCP) drives the chip card through the program's server exchange step and
// the RUDA terminal simulator (on a pseudo-terminal, the EMV card simulator
// behind it): a relayed SELECT, GET PROCESSING OPTIONS, READ RECORD and
// GENERATE AC each reach the card, and the card's answers reach the server
// on the fetches that follow, before the server gives the authorisation
// answer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/ruda/ruda_link.h"
#include "comm/port_api.h"
#include "doransim/doran_terminal.h"
#include "protocols/module_contract.h"
#include "protocols/xpro/xpro_context.h"
#include "rudasim/ruda_terminal.h"
#include "station/net_resources.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "support/com_fixture.h"
#include "support/doran_station.h"
#include "support/net_config.h"
#include "support/server_session.h"

namespace {

using cardsim::Bytes;

std::string Hex(const std::string& text) { return *netsim::HexToBytes(text); }

// The card APDUs of one payment, in order.
const std::string kSelect = "00A4040007A000000042101000";
const std::string kGpo = "80A8000002830000";
const std::string kReadRecord = "00B2010C00";
// GENERATE AC (ARQC) with the 29 bytes of the card's CDOL1: amount, other
// amount, country, TVR, currency, date, type, unpredictable number.
const std::string kGenerateAc =
    "80AE80001D" "000000001250" "000000000000" "0250" "0000000000" "0978" "261211" "00" "11223344" "00";

// The server got, after its request, for each relayed command the
// terminal's acknowledgement (the local descriptor, MesStat 02, no body),
// then on the fetch the terminal's answer as it gave it (ending 9000).
void ExpectAcknowledgementsAndAnswers(netsim::AcquirerSim& server, const std::vector<rudasim::Exchange>& exchanges) {
    const size_t count = 1 + 2 * exchanges.size();
    ASSERT_TRUE(server.waitForRequests(count, 5000));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), count);
    for (size_t i = 0; i < exchanges.size(); ++i) {
        const netsim::NetMessage& ack = requests[1 + 2 * i];
        const netsim::NetMessage& answer = requests[2 + 2 * i];
        EXPECT_EQ(ack.A, "1200");
        EXPECT_NE(ack.S.find("/02/"), std::string::npos) << ack.S;
        EXPECT_EQ(ack.M, "");
        EXPECT_EQ(answer.A, "1200");
        const Bytes& terminal = exchanges[i].answer;
        EXPECT_EQ(answer.M, std::string(terminal.begin(), terminal.end())) << i;
        ASSERT_GE(answer.M.size(), 2u);
        EXPECT_EQ(answer.M.substr(answer.M.size() - 2), Hex("9000")) << i;
    }
}

class RelayEndToEnd : public testsupport::ServerSession {
protected:
    // The payment server: each card command relayed with its fetch, then
    // the authorisation answer.
    virtual std::string ServerScenario() const {
        std::string scenario;
        for (const std::string& apdu : {kSelect, kGpo, kReadRecord, kGenerateAc})
            scenario += "relay port=0 bodyhex=" + apdu + " fetch\nsilent\n";
        return scenario + "answer 1400 tags=\"{SS}A{RS}00{F}\"\n";
    }
    // The terminal at the far end of the line, and its protocol.
    virtual std::unique_ptr<linesim::FrameHandler> Terminal() {
        std::string error;
        auto terminal = rudasim::RudaScenario::FromFile(
            std::string(ZNP_SOURCE_DIR) + "/tools/rudasim/scenarios/ruda_terminal.scn", &error);
        EXPECT_TRUE(terminal) << error;
        auto handler = std::make_unique<rudasim::RudaBlockHandler>(terminal.value_or(rudasim::RudaScenario{}));
        ruda = handler.get();
        return handler;
    }
    virtual const char* Protocol() const { return "RUDA"; }
    virtual int ProtocolNumber() const { return 16; }
    void SetUp() override {
        std::string error;
        auto handler = Terminal();
        auto parsed = netsim::AcquirerScenario::Parse(ServerScenario(), &error);
        ASSERT_TRUE(parsed) << error;
        sim = std::make_unique<netsim::AcquirerSim>(*parsed);
        ASSERT_TRUE(sim->start());
        Open(testsupport::LoopbackResource(0, sim->port()));
        TOC_EnableAllServers();
        ASSERT_EQ(TOC_ConnectServers(context), 1);
        TOC_SetEmptyPollCount(0);
        // The terminal's line: a port of a table of its own on the RUDA
        // simulator, the card reader of the terminal box on it, its link open
        // as after the first command of the session.
        table = std::make_unique<testsupport::ComTable>(1, 0, 0, 0, 0);
        pty = std::make_unique<testsupport::PtyPort>(std::move(handler));
        ASSERT_TRUE(pty->ready());
        ASSERT_EQ(pty->port, 0);
        WCOM_SetResourceConnType(0, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        KT_EPERIPH_API* box = EPAP_GetBox();
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(EPAP_CreateFunctionProfile("EFT_CAM_1", 0, PAP_TRANSPORT_SERIAL, Protocol()), 0);
        KT_PERES* reader = TWEP_FindFunction(box, 4, 1);
        ASSERT_NE(reader, nullptr);
        TWEP_SwitchToPort(box, 0);
        for (KT_PERES* r = TWEP_FindPort(box, 0, PAP_TRANSPORT_SERIAL, 1); r != nullptr;
             r = TWEP_FindPort(box, 0, PAP_TRANSPORT_SERIAL, 0)) {
            // The session's own devices of the port are this terminal's too.
            r->protocol = ProtocolNumber();
            r->dialServiceChar = PAP_OPERATION_SET;
        }
        EPAP_OpenLinks();
        ASSERT_NE(reader->link, nullptr) << reader->xproAddress;
        linkContext = reader->linkContext;
    }
    void TearDown() override {
        TWEP_CloseSerialPorts(EPAP_GetBox());
        ServerSession::TearDown();
        pty.reset();
        table.reset();
        TWEP_ResetPortState();
    }
    int StepUntilSomething() {
        int result = 0;
        for (int i = 0; i < 50 && result == 0; ++i) result = TOC_ServerExchangeStep(context);
        return result;
    }

    std::unique_ptr<netsim::AcquirerSim> sim;
    std::unique_ptr<testsupport::ComTable> table;
    std::unique_ptr<testsupport::PtyPort> pty;
    rudasim::RudaBlockHandler* ruda = nullptr;
    KT_XPROT* linkContext = nullptr;
};

TEST_F(RelayEndToEnd, TheServerDrivesTheCardThroughTheTerminal) {
    CopyField(context->serverRequest, "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{F}");
    EXPECT_EQ(StepUntilSomething(), 11);  // the request sent, the SELECT relayed
    int relayed = 1;
    for (int step = 0; step < 7; ++step) {
        const int result = StepUntilSomething();
        ASSERT_EQ(result, 10) << "step " << step;
        ++relayed;
    }
    EXPECT_EQ(relayed, 8);  // four commands, four fetches
    EXPECT_EQ(StepUntilSomething(), 20);  // the authorisation answer
    EXPECT_STREQ(context->serverAnswer, "{SS}A{RS}00{F}");
    EXPECT_EQ(record->resetRequired, 1);

    // Each command reached the card on the card's NAD, in order.
    const auto exchanges = ruda->exchanges();
    ASSERT_EQ(exchanges.size(), 4u);
    const std::string apdus[] = {kSelect, kGpo, kReadRecord, kGenerateAc};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(exchanges[i].nad, RUDA_NAD_CARD) << i;
        EXPECT_EQ(std::string(exchanges[i].apdu.begin(), exchanges[i].apdu.end()), Hex(apdus[i])) << i;
    }

    // Each command acknowledged, then the card's answer fetched.
    ASSERT_NO_FATAL_FAILURE(ExpectAcknowledgementsAndAnswers(*sim, exchanges));
    const auto requests = sim->requests();
    EXPECT_EQ(static_cast<uint8_t>(requests[2].M[0]), 0x6F);  // FCI
    EXPECT_EQ(static_cast<uint8_t>(requests[4].M[0]), 0x80);  // GPO format 80
    EXPECT_EQ(static_cast<uint8_t>(requests[6].M[0]), 0x70);  // the record
    EXPECT_EQ(static_cast<uint8_t>(requests[8].M[0]), 0x80);  // GENERATE AC format 80
}

// The control codes a server sends with an empty body, "9001" then "9002",
// reach the RUDA terminal as the resets they are (RESET DEVICE soft and
// hard), and the server gets the terminal's acknowledgement and, on the
// fetch, its answer. The RUDA link refused an empty request, so they never
// left the program.
class RelayControlCodes : public RelayEndToEnd {
protected:
    std::string ServerScenario() const override {
        // Each control on the request before, its fetch (Application "1000")
        // on the terminal's acknowledgement.
        return "relay port=0 app=9001\nfetch port=0\nrelay port=0 app=9002\nfetch port=0\n"
               "answer 1400 tags=\"{SS}A{RS}00{F}\"\n";
    }
};

TEST_F(RelayControlCodes, ResetTheRudaTerminal_Mended) {
    CopyField(context->serverRequest, "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{F}");
    EXPECT_EQ(StepUntilSomething(), 11);  // the request sent, "9001" relayed
    for (int step = 0; step < 3; ++step) ASSERT_EQ(StepUntilSomething(), 10) << "step " << step;
    EXPECT_EQ(StepUntilSomething(), 20);
    EXPECT_STREQ(context->serverAnswer, "{SS}A{RS}00{F}");

    const auto exchanges = ruda->exchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(cardsim::ToHex(exchanges[0].apdu), "D0000000");
    EXPECT_EQ(cardsim::ToHex(exchanges[1].apdu), "D0000100");
    ASSERT_NO_FATAL_FAILURE(ExpectAcknowledgementsAndAnswers(*sim, exchanges));
}

// The same relay to a DORAN terminal (the XA link, the DORAN terminal
// simulator): the server's command reaches the terminal as a request
// dialogue; the fetch that follows waits for the terminal's announcement,
// then reads its answer; a terminal that refuses the fetch gives the busy
// text, which the relay marks "_X_SOFT_".
class RelayEndToEndDoran : public RelayEndToEnd {
protected:
    std::string TerminalScenario() const { return "echo A0 delay=200\nemv 5A0849701000123456785F2403251231\n"; }
    std::unique_ptr<linesim::FrameHandler> Terminal() override {
        auto handler = std::make_unique<doransim::XaLinkHandler>(testsupport::DoranScenario(TerminalScenario()));
        doran = handler.get();
        return handler;
    }
    const char* Protocol() const override { return "DORAN"; }
    int ProtocolNumber() const override { return 2; }
    std::string ServerScenario() const override {
        return "relay port=0 bodyhex=" + cardsim::ToHex(Request()) + " fetch\nsilent\n" +
               "answer 1400 tags=\"{SS}A{RS}00{F}\"\n";
    }
    void SetUp() override {
        RelayEndToEnd::SetUp();
        ASSERT_NE(linkContext, nullptr);
        // Byte waits widened: the test is about the relay, not the link's times.
        for (int i : {0, 1, 3, 4, 5, 6}) linkContext->timeouts[i] = 2000;
        linkContext->timeouts[2] = 300;
        PortVPSL(0, nullptr);
    }
    // Operation 30 for the card reader 0x2801: the card data.
    static doransim::Bytes Request() {
        return doransim::Encode({0x2801, 4, *cardsim::ParseHex("DF83821800000008"), {0xDF828000, 0xDF808400}});
    }
    doransim::XaLinkHandler* doran = nullptr;
};

TEST_F(RelayEndToEndDoran, TheFetchReadsOnceTheTerminalAnnounces) {
    CopyField(context->serverRequest, "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{F}");
    EXPECT_EQ(StepUntilSomething(), 11);  // the request sent, the command relayed
    EXPECT_EQ(StepUntilSomething(), 10);  // the fetch
    EXPECT_EQ(StepUntilSomething(), 20);
    EXPECT_STREQ(context->serverAnswer, "{SS}A{RS}00{F}");

    ASSERT_TRUE(doran->waitDialogues(2, 2000));
    const auto dialogues = doran->dialogues();
    EXPECT_EQ(dialogues[0].kind, 'S');
    EXPECT_EQ(dialogues[1].kind, 'R');  // read, not refused: after the announcement
    ASSERT_EQ(doran->requests().size(), 1u);
    EXPECT_EQ(doran->requests()[0].raw, Request());

    ASSERT_TRUE(sim->waitForRequests(3, 5000));
    const auto requests = sim->requests();
    EXPECT_NE(requests[1].S.find("/02/"), std::string::npos) << requests[1].S;
    EXPECT_EQ(requests[1].M, "");
    const auto answer = doransim::Decode(doransim::Bytes(requests[2].M.begin(), requests[2].M.end()));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->peripheral, 0x2801u);
    EXPECT_EQ(doransim::Find(answer->data, 0xDF808400), *cardsim::ParseHex("5A0849701000123456785F2403251231"));
}

class RelayEndToEndDoranRefusal : public RelayEndToEndDoran {
protected:
    std::unique_ptr<linesim::FrameHandler> Terminal() override {
        auto handler =
            std::make_unique<doransim::XaLinkHandler>(testsupport::DoranScenario("fault fetch eot\n"));
        doran = handler.get();
        return handler;
    }
};

TEST_F(RelayEndToEndDoranRefusal, RefusedFetchIsTheBusyTextMarkedSoft_Mended) {
    CopyField(context->serverRequest, "{SS}R{PS}1{SV}s0{CD}c1{D10}1250{F}");
    EXPECT_EQ(StepUntilSomething(), 11);
    EXPECT_EQ(StepUntilSomething(), 10);
    ASSERT_TRUE(sim->waitForRequests(3, 5000));
    const auto requests = sim->requests();
    EXPECT_EQ(requests[2].M, std::string(PAP_RELAY_BUSY_TEXT) + std::string(1, '\0'));
    EXPECT_NE(requests[2].S.find("/_X_SOFT_/"), std::string::npos) << requests[2].S;
}

}  // namespace

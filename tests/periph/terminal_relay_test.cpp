// Terminal relay for the payment servers: a "1200" message of the server
// stream (an in-memory client box decoded by netsim's own NET reader) relayed
// to the local terminal link and the terminal's replies back to the server.
// Most cases run against a terminal link of the test's own (reply states,
// queued answers, a broken link); one runs over a real pseudo-terminal
// against the raw test terminal of line_sim.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "comm/message_box.h"
#include "core/trace.h"
#include "linesim/raw_terminal.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "periph/terminal_relay.h"
#include "platform/clock.h"
#include "support/memory_client_box.h"
#include "support/relay_link.h"
#include "support/rushing_clock.h"
#include "support/terminal_line.h"
#include "support/trace_capture.h"

namespace {

using testsupport::FakeTerminalLink;
using testsupport::TraceCapture;

// A server descriptor naming a port, with an Application and a MesStat.
std::string Descriptor(int port = 0, const std::string& application = "1000", int mesStat = 11) {
    char text[128];
    std::snprintf(text, sizeof text, "XPRO/2/001/%s/0000000000000000/%d/0/00000000/00000000/010/%02d/",
                  application.c_str(), port, mesStat);
    return text;
}

netsim::NetMessage Message(const std::string& s, const std::string& body, const std::string& a = "1200") {
    netsim::NetMessage m;
    m.S = s;
    m.A = a;
    m.M = body;
    return m;
}

// MesStat field of a descriptor.
std::string MesStatOf(const std::string& descriptor) {
    if (descriptor.size() < 4) return "";
    const size_t end = descriptor.size() - 1;
    const size_t start = descriptor.rfind('/', end - 1);
    return descriptor.substr(start + 1, end - start - 1);
}

// A terminal box with one terminal function on port 0 served by a link of
// the test's own, and the server stream.
class Relay : public ::testing::Test {
protected:
    void SetUp() override { Build("RUDA"); }
    void TearDown() override {
        link.reset();
        box.reset();
        TWEP_ResetPortState();
        WSysSetLoggerLevel("twep", WLOG_WARN);
    }
    void Build(const char* protocol) {
        link.reset();
        box.reset();
        TWEP_ResetPortState();
        box = std::make_unique<testsupport::TerminalBox>(table.id, testsupport::UniqueStation());
        ASSERT_EQ(box->add("EFT_CAM_1", 0, protocol), 0);
        link = std::make_unique<FakeTerminalLink>(0);
        ASSERT_TRUE(link->ready());
        link->attach(box->box, 0);
        WSysSetLoggerLevel("twep", WLOG_DEBUG);
    }
    // The server's message received on the stream, then relayed.
    int Send(const netsim::NetMessage& message) {
        server.push(message);
        EXPECT_NE(KTX_SomeThingReceived(server.box()->mess, 0), nullptr);
        return EPAP_DealRelayMessage(server.box());
    }
    KT_PERES* local() { return box->function(4); }

    testsupport::ComTable table{2, 0, 0, 0, 1};
    std::unique_ptr<testsupport::TerminalBox> box;
    std::unique_ptr<FakeTerminalLink> link;
    testsupport::MemoryClientBox server;
};

// A command goes to the terminal with the server's message state; the
// server gets the terminal's acknowledgement (the local descriptor, reply
// state 2, no body). The fetch that follows (empty body, MesStat 0) reads
// the terminal's answer at once (a RUDA terminal announces nothing) and
// forwards it with the local descriptor.
TEST_F(Relay, CommandThenFetchReachTheTerminalAndComeBack) {
    TraceCapture trace;
    const std::string select("\x00\xA4\x04\x00\x07\xA0\x00\x00\x00\x42\x10\x10\x00", 13);
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 11), select)), PV_ALL_FINE);
    ASSERT_EQ(link->sent.size(), 1u);
    EXPECT_EQ(link->sent[0].payload, select);
    EXPECT_EQ(link->sent[0].state, 11);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].A, "1200");
    EXPECT_EQ(requests[0].S.rfind("XPRO/2/", 0), 0u) << requests[0].S;  // the link context's descriptor
    EXPECT_EQ(MesStatOf(requests[0].S), "02");
    EXPECT_EQ(requests[0].M, "");
    EXPECT_TRUE(trace.Contains("TWEP_DealPAPRelayHost: Server -> Client ressource"));
    EXPECT_TRUE(trace.Contains("TWEP_DealPAPRelayHost: Server <- Client ressource"));
    EXPECT_EQ(link->receives, 0);

    const std::string fci("\x6F\x0A\x84\x07\xA0\x00\x00\x00\x42\x10\x10\x90\x00", 13);
    link->answers.push_back({PAP_MES_FINAL, fci});
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_ALL_FINE);
    EXPECT_EQ(link->sent.size(), 1u);  // a fetch sends nothing to the terminal
    requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].A, "1200");
    EXPECT_EQ(requests[1].M, fci);
    EXPECT_EQ(MesStatOf(requests[1].S), "02");
    EXPECT_TRUE(trace.Contains("TWEP_DealPAPRelayHost: Client ressource (<)- <in memory> -> Server"));
    EXPECT_TRUE(trace.Contains("TWEP_DealPAPRelayHost: <in memory> -> Server (1)"));
    EXPECT_TRUE(trace.Contains("TWEP_RelaySrvMesSend: HJFUNC: FROM:"));
    // The answer does not stay in the server's request half.
    EXPECT_EQ(server.box()->mess->request->mLength, 0u);
    EXPECT_EQ(server.box()->mess->request->M[0], 0);
}

// A terminal that replies to a command with reply state 1 (answers follow)
// gets nothing sent back to the server.
TEST_F(Relay, ReplyStateOneSendsNothingBack) {
    TraceCapture trace;
    link->sendReplyState = PAP_MES_MORE;
    EXPECT_EQ(Send(Message(Descriptor(), "cmd")), PV_ALL_FINE);
    EXPECT_EQ(link->sent.size(), 1u);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(trace.Contains("TWEP_DealPAPRelayHost: no response to server"));
}

// The control codes "9001" and "9002" reach the terminal with an empty
// body; an empty body of another Application is a fetch.
TEST_F(Relay, ControlCodesWithAnEmptyBodyStillReachTheTerminal) {
    for (const char* application : {"9001", "9002"}) {
        SCOPED_TRACE(application);
        const size_t before = link->sent.size();
        EXPECT_EQ(Send(Message(Descriptor(0, application, 11), "")), PV_ALL_FINE);
        ASSERT_EQ(link->sent.size(), before + 1);
        EXPECT_EQ(link->sent.back().payload, "");
        EXPECT_STREQ(local()->application, application);
    }
    const size_t before = link->sent.size();
    EXPECT_EQ(Send(Message(Descriptor(0, "9003", 0), "")), PV_PROTO_ERROR);  // a fetch: nothing answered
    EXPECT_EQ(link->sent.size(), before);
    EXPECT_EQ(link->receives, 1);
}

// A port on which no resource is configured: "Resource Inconnue", the
// message is refused (PV_PER_UNKNOWN) and nothing goes anywhere.
TEST_F(Relay, PortWithoutResourceIsRefused) {
    TraceCapture trace;
    EXPECT_EQ(Send(Message(Descriptor(5), "cmd")), PV_PER_UNKNOWN);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_RelaySrvMesRecv : Resource Inconnue "));
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_ScriptSend : ressource Refusee"));
    EXPECT_TRUE(link->sent.empty());
    EXPECT_TRUE(server.requests().empty());
}

// Server messages the relay refuses: missing rubriques, another
// application, descriptors that are not whole (truncated, a field wider
// than the record's, cut into another valid descriptor by the 100-character
// rule, numbers beyond an int) and a body over 12700 bytes. Nothing reaches
// the terminal or the server, and the local resource keeps its fields.
TEST_F(Relay, MendedRefusedServerMessagesForwardNothing) {
    const std::string good = Descriptor(0, "1000", 11);
    struct Case {
        const char* name;
        netsim::NetMessage message;
        int status;
        const char* error;
    } cases[] = {
        {"no S", Message("", "cmd"), PV_PER_UNKNOWN, "TWEP_MasRecv : Contexte Incoherent - Niveau 2"},
        {"no A", Message(good, "cmd", ""), PV_PER_UNKNOWN, "TWEP_MasRecv : Contexte Incoherent - Niveau 2"},
        {"other application", Message(good, "cmd", "1210"), PV_PER_UNKNOWN,
         "TWEP_RelaySrvMesRecv : Contexte Incoherent - Niveau 3"},
        {"no slash", Message("XPRO", "cmd"), PV_PROTO_ERROR, "TWEP_RelaySrvMesRecv : Contexte Incoherent - Niveau 4"},
        {"truncated", Message(good.substr(0, 40), "cmd"), PV_PROTO_ERROR, "descripteur refuse"},
        {"nine fields", Message(good.substr(0, good.size() - 3), "cmd"), PV_PROTO_ERROR, "descripteur refuse"},
        {"wide application", Message(Descriptor(0, "10000"), "cmd"), PV_PROTO_ERROR, "descripteur refuse"},
        {"wide status",
         Message("XPRO/2/001/1000/0000000000000000/0/0/000000000/00000000/010/11/", "cmd"), PV_PROTO_ERROR,
         "descripteur refuse"},
        {"cut at 100", Message(good + std::string(50, '7'), "cmd"), PV_PROTO_ERROR, "descripteur refuse"},
        {"huge port", Message("XPRO/2/001/1000/0000000000000000/4294967296/0/00000000/00000000/010/11/", "cmd"),
         PV_PROTO_ERROR, "descripteur refuse"},
        {"long body", Message(good, std::string(PAP_PAYLOAD_MAX + 1, 'x')), PV_PROTO_ERROR, "message trop long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TraceCapture trace;
        const std::string before = local()->xproAddress;
        EXPECT_EQ(Send(c.message), c.status);
        EXPECT_TRUE(trace.Contains(c.error));
        EXPECT_TRUE(link->sent.empty());
        EXPECT_TRUE(server.requests().empty());
        EXPECT_EQ(std::string(local()->xproAddress), before);
        EXPECT_EQ(link->box()->mess->request->mLength, 0u);
    }
    // The longest body the terminal's buffer holds goes.
    EXPECT_EQ(Send(Message(good, std::string(PAP_PAYLOAD_MAX, 'y'))), PV_ALL_FINE);
    ASSERT_EQ(link->sent.size(), 1u);
    EXPECT_EQ(link->sent[0].payload.size(), static_cast<size_t>(PAP_PAYLOAD_MAX));
}

// A lost terminal link is PV_NET_FAILED (33); the server still receives
// the local descriptor, with an empty body.
TEST_F(Relay, LostTerminalLink) {
    link->broken = true;
    TraceCapture trace;
    EXPECT_EQ(Send(Message(Descriptor(), "cmd")), PV_NET_FAILED);
    EXPECT_TRUE(trace.Contains("TWEP_RelayPeriMesSend : Echec Niveau Transport...."));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].M, "");

    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_NET_FAILED);
    EXPECT_TRUE(trace.Contains("TWEP_DealPAPRelayHost: <in memory> -> Server (3)"));
    requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].M, "");
}

// A lost server link after the terminal's reply: PV_NET_FAILED.
TEST_F(Relay, LostServerLink) {
    link->answers.push_back({PAP_MES_FINAL, "answer"});
    server.push(Message(Descriptor(0, "1000", 0), ""));
    ASSERT_NE(KTX_SomeThingReceived(server.box()->mess, 0), nullptr);
    server.breakLink();
    TraceCapture trace;
    EXPECT_EQ(EPAP_DealRelayMessage(server.box()), PV_NET_FAILED);
    EXPECT_TRUE(trace.Contains("TWEP_RelaySrvMesSend : Echec Niveau Transport...."));
}

// Answers that the terminal chains (reply state 1) are all forwarded in
// one fetch, each with its own MesStat; the local link's answer body is
// emptied after each.
TEST_F(Relay, ChainedAnswersAreForwardedInOrder) {
    link->answers = {{PAP_MES_MORE, "first"}, {PAP_MES_MORE, "second"}, {PAP_MES_FINAL, "last"}};
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_ALL_FINE);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].M, "first");
    EXPECT_EQ(MesStatOf(requests[0].S), "01");
    EXPECT_EQ(requests[1].M, "second");
    EXPECT_EQ(requests[2].M, "last");
    EXPECT_EQ(MesStatOf(requests[2].S), "02");
    EXPECT_EQ(link->box()->mess->answer->mLength, 0u);
}

// A terminal that never stops announcing more answers cannot hold the
// program: the series ends at its bound in count, and in time on the
// monotonic clock, with PV_NET_TIMEOUT.
TEST_F(Relay, MendedEndlessAnswerSeriesIsBounded) {
    link->answers = {{PAP_MES_MORE, "again"}};
    link->repeatLast = true;
    TraceCapture trace;
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_NET_TIMEOUT);
    EXPECT_EQ(server.requests().size(), static_cast<size_t>(PAP_RELAY_MAX_ANSWERS));
    EXPECT_TRUE(trace.Contains("reponses du terminal sans fin"));

    // Each read of this clock moves it a second: the time bound comes
    // first.
    testsupport::RushingClock clock;
    plat::ScopedClock scoped(&clock);
    const size_t before = server.requests().size();
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_NET_TIMEOUT);
    const size_t forwarded = server.requests().size() - before;
    EXPECT_GT(forwarded, 0u);
    EXPECT_LT(forwarded, static_cast<size_t>(PAP_RELAY_MAX_ANSWERS));
}

// Every relayed message first switches to port 0 (the driver check runs
// when the last used port was another).
TEST_F(Relay, EveryMessageSwitchesToPortZero) {
    TWEP_SwitchToPort(box->box, 1);
    ASSERT_EQ(TWEP_LastUsedPort(), 1);
    EXPECT_EQ(Send(Message(Descriptor(), "cmd")), PV_ALL_FINE);
    EXPECT_EQ(TWEP_LastUsedPort(), 0);
    EXPECT_EQ(link->sent.size(), 1u);
}

// Without a box: 1.
TEST(RelayWithoutBox, AnswersOne) {
    PAP_FreePAPbox();
    testsupport::MemoryClientBox server;
    EXPECT_EQ(EPAP_DealRelayMessage(server.box()), 1);
    EXPECT_EQ(TWEP_DealPAPRelayHost(nullptr, nullptr), -1);
}

// A terminal that announces its answers (not RUDA, Application "1000") is
// waited for up to 20 s on the monotonic clock before its answer is read;
// a RUDA terminal is read at once.
class RelayAnnounced : public Relay {
protected:
    void SetUp() override { Build("DORAN"); }
};

TEST_F(RelayAnnounced, FetchWaitsTwentySecondsForTheAnnouncement) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    link->answers.push_back({PAP_MES_FINAL, "late"});
    const int64_t start = plat::MonotonicMs();
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_ALL_FINE);
    const int64_t waited = plat::MonotonicMs() - start;
    EXPECT_GE(waited, PAP_RELAY_ANNOUNCE_WAIT_MS);
    EXPECT_LT(waited, PAP_RELAY_ANNOUNCE_WAIT_MS + 2000);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].M, "late");

    // Another Application is read at once.
    link->answers.push_back({PAP_MES_FINAL, "now"});
    const int64_t again = plat::MonotonicMs();
    EXPECT_EQ(Send(Message(Descriptor(0, "2000", 0), "")), PV_ALL_FINE);
    EXPECT_LT(plat::MonotonicMs() - again, 1000);
}

TEST_F(Relay, RudaFetchDoesNotWait) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    link->answers.push_back({PAP_MES_FINAL, "at once"});
    const int64_t start = plat::MonotonicMs();
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_ALL_FINE);
    EXPECT_LT(plat::MonotonicMs() - start, 1000);
    EXPECT_EQ(server.requests().size(), 1u);
}

// The cash register's abort during the announcement wait ('S' from the
// wait callback) ends the relay with PV_PER_RESET (80): nothing is read
// from the terminal and nothing goes to the server.
TEST_F(RelayAnnounced, AbortThroughTheWaitCallbackIsAReset) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    static int calls = 0;
    calls = 0;
    EPAP_SetWaitCallback([](char* echo) {
        if (++calls == 3) echo[0] = 'S';
    });
    link->answers.push_back({PAP_MES_FINAL, "never read"});
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_PER_RESET);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(link->receives, 0);
    EXPECT_TRUE(server.requests().empty());
    EPAP_SetWaitCallback(nullptr);
}

// Over a real serial line: the raw test terminal of line_sim on a
// pseudo-terminal (the stub link under the RUDA protocol number) gets the
// relayed command as one frame carrying the server's message state, and
// its answer reaches the server on the fetch.
TEST(RelayOverLine, CommandAndFetchOverAPseudoTerminal) {
    testsupport::TerminalLines t;
    testsupport::ScopedStubProtocol ruda(16);
    auto& line = t.addLine({testsupport::Answer("ready"), testsupport::Answer("9000 from the terminal")});
    ASSERT_TRUE(line.pty->ready());
    ASSERT_EQ(line.port(), 0);
    ASSERT_EQ(t.box.add("EFT_CAM_1", line.port(), "RUDA"), 0);
    // The card was read before the server relays to the terminal: the link
    // is open.
    std::string out;
    EPAP_ClearAll();
    ASSERT_EQ(EPAP_SetCommand(4, 100, "card?", 5), 0);
    ASSERT_EQ(EPAP_GetResult(4, 100, &out), 0);
    ASSERT_EQ(out, "ready");
    testsupport::MemoryClientBox server;
    const auto relay = [&](const netsim::NetMessage& m) {
        server.push(m);
        EXPECT_NE(KTX_SomeThingReceived(server.box()->mess, 0), nullptr);
        return EPAP_DealRelayMessage(server.box());
    };
    EXPECT_EQ(relay(Message(Descriptor(0, "1000", 11), "READ RECORD")), PV_ALL_FINE);
    ASSERT_TRUE(line.terminal->waitRequests(2, 5000));
    const auto requests = line.terminal->requests();
    EXPECT_EQ(requests[1].payload, "READ RECORD");
    EXPECT_EQ(requests[1].status, 11);
    EXPECT_EQ(relay(Message(Descriptor(0, "1000", 0), "")), PV_ALL_FINE);
    const auto toServer = server.requests();
    ASSERT_EQ(toServer.size(), 2u);
    EXPECT_EQ(toServer[0].M, "");
    EXPECT_EQ(toServer[1].M, "9000 from the terminal");
    EXPECT_EQ(MesStatOf(toServer[1].S), "02");
}

}  // namespace

namespace {

// Relayed bodies hold card data (a READ RECORD answer carries the card
// number and track 2): no trace line shows them, whatever the loggers of
// the relay and of the message blocks let through.
TEST_F(Relay, RelayedCardDataNeverReachesTheTrace) {
    const std::string pan = "4970100000000055";
    const std::string record = "\x70\x13\x5A\x08" + std::string("\x49\x70\x10\x00\x00\x00\x00\x55", 8) + "57" + pan;
    for (const char* logger : {"ktm_wpro", "ktx_wsrv", "ktapi.peripheral.epap"}) WSysSetLoggerLevel(logger, WLOG_TRACE);
    TraceCapture trace;
    EXPECT_EQ(Send(Message(Descriptor(), "00B2010C" + pan)), PV_ALL_FINE);
    link->answers.push_back({PAP_MES_FINAL, record});
    EXPECT_EQ(Send(Message(Descriptor(0, "1000", 0), "")), PV_ALL_FINE);
    for (const char* logger : {"ktm_wpro", "ktx_wsrv", "ktapi.peripheral.epap"}) WSysSetLoggerLevel(logger, WLOG_WARN);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].M, record);
    EXPECT_GT(trace.count(), 10u);
    for (const std::string& line : trace.Snapshot()) {
        EXPECT_EQ(line.find(pan), std::string::npos) << line;
        EXPECT_EQ(line.find("4970100000"), std::string::npos) << line;
    }
}

}  // namespace

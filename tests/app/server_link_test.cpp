// trv_71 end to end with a payment server: the cash-register peer sends a
// request that goes to the server (a maintenance request, which needs of
// the terminal only its serial number) through the real POS link, the
// acquirer simulator answers over TCP, and the answer reaches the cash
// register.
#include <gtest/gtest.h>

#include <string>

#include "support/server_till.h"

using testsupport::LoopbackResource;
using testsupport::RequestTags;
using testsupport::StartAcquirer;

namespace {

// A till whose resource 0 is the server on this port, over TCP.
struct Till : testsupport::ServerTill {
    explicit Till(int serverPort) : ServerTill(LoopbackResource(0, serverPort)) {}
};

}  // namespace

// The till's RUDA terminal cannot be reached (its line does not open): the
// maintenance request carries the serial number of 36 zeros.
TEST(ServerLink, MaintenanceRequestReachesTheServerAndItsAnswerTheCashRegister) {
    auto sim = StartAcquirer("answer 1500 reply\n");
    Till till(sim->port());
    EXPECT_EQ(till.peer.Exchange("{SS}R{PS}1{SV}s2{CD}c19{F}", 20000), "0|{SS}A{PS}1{SV}s2{CD}c19{RS}01{VWAY}1{F}");

    ASSERT_EQ(sim->greetings().size(), 1u);
    EXPECT_EQ(sim->greetings()[0].A, "1500");
    EXPECT_EQ(sim->greetings()[0].M, "BONJOUR");
    ASSERT_EQ(sim->requests().size(), 1u);
    EXPECT_EQ(sim->requests()[0].A, "1500");
    EXPECT_EQ(RequestTags(sim->requests()[0]), "{SS}R{PS}1{SV}s2{CD}c19{MF}" + std::string(36, '0') + "{DA4}RUDA{DAH}1{D91}0000{LTZ}0{VWAY}1{SNI}{F}");
    // The connection ends with the closing message of a TALVO resource.
    EXPECT_TRUE(sim->waitForClosings(1, 5000));
    EXPECT_TRUE(sim->waitForLinksEnded(1, 5000));
    const std::string serverLog = testsupport::ReadFileText(till.dir.file("ECHANGES.SRV"));
    EXPECT_NE(serverLog.find("##### CONNEXION SERVEUR PRINCIPAL [127.0.0.1 / " + std::to_string(sim->port()) +
                             "] ETABLIE #####"),
              std::string::npos);
    EXPECT_NE(serverLog.find("(ZNP) {SS}R{PS}1{SV}s2{CD}c19{MF}" + std::string(36, '0') + "{DA4}RUDA{DAH}1{D91}"), std::string::npos);
    EXPECT_NE(serverLog.find("{SS}A{PS}1{SV}s2{CD}c19{RS}01{F}"), std::string::npos);
}

TEST(ServerLink, CashRegisterIsServedWhileTheServerIsAwaited) {
    auto sim = StartAcquirer("answer 1500 reply delay=1500\n");
    Till till(sim->port());
    ASSERT_TRUE(till.peer.Send("{SS}R{PS}1{SV}s2{CD}c19{F}"));
    ASSERT_EQ(till.peer.Receive(10000).value_or(""), "0");
    ASSERT_TRUE(sim->waitForRequests(1, 10000));
    // A flash information goes on to the server at once; a request at the
    // wrong moment is refused.
    ASSERT_TRUE(till.peer.Send("{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{F}"));
    EXPECT_EQ(till.peer.Receive(5000).value_or(""), "0");
    ASSERT_TRUE(till.peer.Send("{SS}R{PS}1{SV}s0{CD}c1{F}"));
    EXPECT_EQ(till.peer.Receive(5000).value_or(""), "5");
    ASSERT_TRUE(sim->waitForRequests(2, 5000));
    EXPECT_EQ(sim->requests()[1].A, "1410");
    EXPECT_EQ(RequestTags(sim->requests()[1]).rfind("{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{DA4}RUDA{DAH}1{D91}", 0), 0u);
    EXPECT_EQ(till.peer.Receive(10000).value_or(""), "{SS}A{PS}1{SV}s2{CD}c19{RS}01{VWAY}1{F}");
}

TEST(ServerLink, CashRegisterRedirectsTheServer) {
    netsim::RefusingPort configured;
    auto sim = StartAcquirer("answer 1500 reply rs=10\n");
    Till till(configured.port());
    const std::string port = std::to_string(sim->port());
    EXPECT_EQ(till.peer.Exchange("{SS}R{PS}1{SV}s2{CD}c19{HO1}127.0.0.1{SV1}" + port + "{F}", 20000),
              "0|{SS}A{PS}1{SV}s2{CD}c19{RS}10{VWAY}1{F}");
    EXPECT_EQ(sim->requests().size(), 1u);
}

TEST(ServerLink, LostOrUnreachableServerEndsWithResult31) {
    auto sim = StartAcquirer("close\n");
    Till till(sim->port());
    const std::string answer = till.peer.Exchange("{SS}R{PS}1{SV}s2{CD}c19{F}", 20000);
    EXPECT_EQ(answer, "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" + std::to_string(till.station) +
                          "{SV}s2{CD}c19{RS}31{F}");
    EXPECT_EQ(sim->requests().size(), 1u);
}

namespace {

// A maintenance request taken ('0') whose request reached the server.
bool MaintenanceAwaitsItsServer(Till& till, netsim::AcquirerSim& sim) {
    return till.peer.Send("{SS}R{PS}1{SV}s2{CD}c19{F}") && till.peer.Receive(10000).value_or("") == "0" &&
           sim.waitForRequests(1, 10000);
}

}  // namespace

// While the maintenance waits for its server, the cash register's abort ends
// it: '0', then the abort answer; the server connection is closed with its
// closing message.
TEST(ServerLink, AbortWhileTheServerIsAwaited) {
    auto sim = StartAcquirer("answer 1500 reply delay=2000\n");
    Till till(sim->port());
    ASSERT_TRUE(MaintenanceAwaitsItsServer(till, *sim));
    ASSERT_TRUE(till.peer.Send("{SS}R{PS}1{SV}s3{CD}c0{F}"));
    EXPECT_EQ(till.peer.Receive(5000).value_or(""), "0");
    EXPECT_EQ(till.peer.Receive(5000).value_or(""), "{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" +
                                                         std::to_string(till.station) + "{SV}s2{CD}c19{RS}33{F}");
    EXPECT_TRUE(sim->waitForClosings(1, 5000));
    // Back to idle: the next request is served.
    EXPECT_EQ(till.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{F}", 10000).substr(0, 2), "0|");
}

// A close request while the maintenance waits for its server ends the
// program with exit code 0 once it is acknowledged; the server gets its
// closing message.
TEST(ServerLink, CloseWhileTheServerIsAwaited) {
    auto sim = StartAcquirer("answer 1500 reply delay=2000\n");
    Till till(sim->port());
    ASSERT_TRUE(MaintenanceAwaitsItsServer(till, *sim));
    ASSERT_TRUE(till.peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}"));
    EXPECT_EQ(till.peer.Receive(5000).value_or(""), "0");
    EXPECT_EQ(till.trv.Wait(10000), 0);
    till.ended = true;
    EXPECT_TRUE(sim->waitForClosings(1, 5000));
}

// A card payment with the terminal in server mode, end to end: the cash
// register test client loads the library, which starts trv_71 on a copy of
// the example till whose card reader is a connected socket; the program
// waits for its terminal (refusing the payment for the moment until it
// comes), the RUDA terminal simulator connects over TCP or TLS, answers the
// program's first request (readers off), the card is read on that link, the
// payment server simulator approves, and the program resets the terminal
// and answers RS "00". Strangers who reach the port first, or while the
// terminal is linked, change nothing of that.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "netsim/tcp_link.h"
#include "rudasim/ruda_net.h"
#include "support/child_process.h"
#include "support/config_tree.h"
#include "support/signed_file_writer.h"
#include "support/station_lock.h"
#include "support/tls_pki.h"

namespace {

using testsupport::ChildProcess;

// The lines of a parameter file without its signature record.
std::vector<std::string> Lines(const std::string& path) {
    std::istringstream in(testsupport::ReadFileText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("{(C)", 0) != 0) lines.push_back(line);
    }
    return lines;
}

// Rewrites a parameter file with its key set to the value (added when
// absent), signed again.
bool SetKey(const std::string& path, const std::string& key, const std::string& value) {
    std::vector<std::string> lines = Lines(path);
    bool found = false;
    for (std::string& line : lines) {
        if (line.rfind("[" + key + ":", 0) == 0) {
            line = "[" + key + ":" + value + "]";
            found = true;
        }
    }
    if (!found) lines.push_back("[" + key + ":" + value + "]");
    return testsupport::WriteSignedParamFile(path, lines);
}

// What reaches the program's port besides the terminal.
enum class Stranger { None, ClosesAtOnce, SendsGarbage, StaysSilent, OpensManySockets, ComesWhileLinked };

// The port's first connection once the program listens (20 s at most, or
// until the cash register gave up).
std::unique_ptr<netsim::Link> ConnectWhenListening(uint16_t port, const ChildProcess& cashRegister) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end && cashRegister.Output().find("close:") == std::string::npos)
        if (auto link = netsim::ConnectLoopback(port, 1000)) return link;
    return nullptr;
}

struct Case {
    const char* name;
    int reseauType;
    Stranger stranger;
    bool terminalGoes = false;  // the terminal closes its link during the card wait
};

void PayThroughTheTerminalThatConnected(const Case& c, const testsupport::TestPki& pki) {
    SCOPED_TRACE(c.name);
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    const std::string pos = std::to_string(testsupport::UniquePosNumber());
    const std::string program = tree.file("trv_71_server_mode_" + pos);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
    std::filesystem::create_directories(tree.file("WOut"));
    const uint16_t port = netsim::UnusedLoopbackPort();
    ASSERT_NE(port, 0);
    // The reader on the first connected resource (002, after the two
    // serial ones), listening on the port; the program waits for it. A
    // connection has 300 ms to answer the program's first request.
    ASSERT_TRUE(SetKey(tree.file("WCFG/com_00.wt"), "PHY_0", "CONNECTED"));
    ASSERT_TRUE(SetKey(tree.file("WCFG/med_00.wt"), "COM_0", "002"));
    ASSERT_TRUE(testsupport::WriteSignedParamFile(
        tree.file("WCFG/pinpad.cfg"),
        {"[Service1:" + std::to_string(port) + "]", "[ReseauType:" + std::to_string(c.reseauType) + "]",
         "[TerminalAnswerTimeout:300]"}));
    ASSERT_TRUE(SetKey(tree.file("WPAF/znpop_00.wt"), "WaitForPinpad", "1"));
    rudasim::RudaNetOptions options;
    options.port = port;
    options.connectTimeoutMs = 2000;
    if (c.reseauType == 4) {
        ASSERT_TRUE(testsupport::TestPki::EncipherFile(pki.path("server.key"), tree.file("WCERT/server.key")));
        std::filesystem::copy_file(pki.path("localhost.crt"), tree.file("WCERT/server.crt"));
        for (const auto& entry : std::filesystem::directory_iterator(pki.path("cadir")))
            if (entry.path().extension() == ".0")
                std::filesystem::copy_file(entry.path(), tree.file("WCERT/" + entry.path().filename().string()));
        options.tls = true;
        options.caFile = pki.path("ca.crt");
        options.serverName = "localhost";
        options.certificate = pki.path("client.crt");
        options.key = pki.path("client.key");
    }

    ChildProcess acquirer;
    const std::string acquirerScenario = tree.file("acquirer.scn");
    ASSERT_TRUE(testsupport::WriteWholeFile(acquirerScenario, "default answer reply rs=00\n"));
    ASSERT_TRUE(acquirer.Start({testsupport::BinPath("acquirer_sim"), "--scenario", acquirerScenario}));
    const std::string acquirerPort = acquirer.WaitForMatch("listening on 127\\.0\\.0\\.1:([0-9]+)", 10000);
    ASSERT_FALSE(acquirerPort.empty()) << acquirer.Output();
    ASSERT_TRUE(SetKey(tree.file("WCFG/net_00.wt"), "SV1_000", acquirerPort));

    ChildProcess cashRegister;
    ASSERT_TRUE(cashRegister.Start({testsupport::BinPath("cash_register"), "--lib",
                                    testsupport::BinPath("../lib/libznp_dll.so"), "--client", program, "--pos", pos,
                                    "--log", tree.file("znp_dll.log"), "--busy-retry", "20000",
                                    "SV=s0,CD=c1,D10=500,D0=978"}));

    // The strangers come first, once the program listens; those that stay
    // are dropped by the program.
    std::vector<std::unique_ptr<netsim::Link>> strangers;
    if (c.stranger != Stranger::None && c.stranger != Stranger::ComesWhileLinked) {
        auto first = ConnectWhenListening(port, cashRegister);
        ASSERT_NE(first, nullptr) << cashRegister.Output();
        if (c.stranger == Stranger::ClosesAtOnce) {
            first->close();
        } else {
            if (c.stranger == Stranger::SendsGarbage) {
                ASSERT_TRUE(first->sendAll("GET / HTTP/1.0\r\n\r\n"));
            }
            strangers.push_back(std::move(first));
        }
        // More connections than the program checks at once.
        if (c.stranger == Stranger::OpensManySockets) {
            for (int i = 0; i < 40; ++i) {
                auto more = netsim::ConnectLoopback(port, 2000);
                ASSERT_NE(more, nullptr) << i;
                strangers.push_back(std::move(more));
            }
        }
    }

    std::string error;
    auto scenario = rudasim::RudaScenario::Parse(
        std::string("card ") + ZNP_SOURCE_DIR + "/tools/cardsim/scenarios/chip_card.scn\n", "", &error);
    ASSERT_TRUE(scenario.has_value()) << error;
    rudasim::RudaNetSim terminal(std::move(*scenario));
    // Again until the program listens (its session opens first).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool connected = false;
    while (!connected && std::chrono::steady_clock::now() < end &&
           cashRegister.Output().find("close:") == std::string::npos)
        connected = terminal.connect(options, &error);
    ASSERT_TRUE(connected) << error << "\n" << cashRegister.Output();

    // The program's first request, then the card status that arms the
    // readers: the terminal is linked and the program listens no more.
    ASSERT_TRUE(terminal.waitExchanges(2, 20000)) << cashRegister.Output();
    if (c.stranger == Stranger::ComesWhileLinked) {
        EXPECT_EQ(netsim::ConnectLoopback(port, 2000), nullptr) << "a second connection is refused";
    }
    if (c.terminalGoes) {
        EXPECT_EQ(cardsim::ToHex(terminal.exchanges()[1].apdu), "D0601F01");
        terminal.stop();
        EXPECT_EQ(cashRegister.WaitExit(60000), 0) << cashRegister.Output();
        const std::string out = cashRegister.Output();
        EXPECT_NE(out.find("{SS}A{PS}" + pos + "{SV}s0{CD}c1{RS}32{"), std::string::npos) << out;
        return;
    }
    // The card comes once the program armed the readers and waits for it,
    // and goes once it watches for its removal: each time the terminal tells
    // it unasked while the program waits on the link.
    terminal.pushEvent(rudasim::ChipEvent({*cardsim::ParseHex("A0000000421010")}));
    // The event, the readers off once the card is read, the terminal's
    // serial number asked for the request, the removal watch.
    ASSERT_TRUE(terminal.waitExchanges(6, 20000)) << cashRegister.Output();
    EXPECT_EQ(cardsim::ToHex(terminal.exchanges()[3].apdu), "D0600000");
    EXPECT_EQ(cardsim::ToHex(terminal.exchanges()[4].apdu), "D0000021");
    EXPECT_EQ(cardsim::ToHex(terminal.exchanges()[5].apdu), "D0604300");
    terminal.pushEvent({0xE0, 0x04, 0x48, 0x02, 0x00, 0x00, 0x90, 0x00});
    EXPECT_EQ(cashRegister.WaitExit(60000), 0) << cashRegister.Output();
    const std::string out = cashRegister.Output();
    EXPECT_NE(out.find("{SS}A{PS}" + pos + "{SV}s0{CD}c1{RS}00{"), std::string::npos) << out;
    EXPECT_NE(out.find("{VWAY}1"), std::string::npos) << out;
    EXPECT_TRUE(terminal.waitClosed(10000));
    std::vector<std::string> apdus;
    for (const rudasim::Exchange& e : terminal.exchanges())
        if (!e.apdu.empty()) apdus.push_back(cardsim::ToHex(e.apdu));
    // The first request (readers off), the card status, the readers off,
    // the serial number, the removal watch, then the abort and the final
    // reset with the card's removal awaited.
    EXPECT_EQ(apdus, (std::vector<std::string>{"D0600000", "D0601F01", "D0600000", "D0000021", "D0604300",
                                               "D0FF0000", "D000002F"}));
    // Every stranger that stayed was dropped by the program.
    for (size_t i = 0; i < strangers.size(); ++i) EXPECT_TRUE(strangers[i]->waitClosed(10000)) << i;
}

TEST(ServerModePayment, ACardPaymentGoesThroughTheTerminalThatConnected) {
    testsupport::TestPki pki;
    ASSERT_TRUE(pki.ok());
    const Case cases[] = {{"TCP", 2, Stranger::None}, {"TLS, the terminal's certificate required", 4, Stranger::None}};
    for (const Case& c : cases) PayThroughTheTerminalThatConnected(c, pki);
}

// Over TCP nothing but its answer tells the terminal: whoever reaches the
// port first is checked and dropped, the terminal is taken, and nobody else
// once it is linked.
TEST(ServerModePayment, StrangersOnThePortCannotTakeTheTerminalsPlace_Mended) {
    testsupport::TestPki pki;
    ASSERT_TRUE(pki.ok());
    const Case cases[] = {
        {"a stranger who closes at once", 2, Stranger::ClosesAtOnce},
        {"a stranger who sends garbage", 2, Stranger::SendsGarbage},
        {"a stranger who stays silent", 2, Stranger::StaysSilent},
        {"a stranger who opens many sockets", 2, Stranger::OpensManySockets},
        {"a second connection while the terminal is linked", 2, Stranger::ComesWhileLinked},
        {"a silent stranger before a TLS terminal", 4, Stranger::StaysSilent},
    };
    for (const Case& c : cases) PayThroughTheTerminalThatConnected(c, pki);
}

// The terminal goes (closes its link) while the program waits for the card:
// the wait ends at once as a terminal failure, RS "32", instead of running
// to the card time-out and answering "30".
TEST(ServerModePayment, TerminalThatGoesDuringTheCardWaitIsATerminalFailure_Mended) {
    testsupport::TestPki pki;
    ASSERT_TRUE(pki.ok());
    const Case cases[] = {{"TCP", 2, Stranger::None, true},
                          {"TLS, the terminal's certificate required", 4, Stranger::None, true}};
    for (const Case& c : cases) PayThroughTheTerminalThatConnected(c, pki);
}

}  // namespace

// The RUDA terminal simulator's network side as a program: ruda_sim
// --connect reaches a listening peer over TCP or TLS (offering its client
// certificate), answers the RUDA blocks it gets on the socket, and ends
// when the peer closes the link. Its command line and the HOST:PORT text.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "netsim/tcp_link.h"
#include "rudasim/ruda_net.h"
#include "rudasim/ruda_terminal.h"
#include "support/child_process.h"
#include "support/config_tree.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"
#include "support/tls_pki.h"

namespace {

using testsupport::ChildProcess;

TEST(RudaNetSimHostPort, Parse) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1:4000", true, "127.0.0.1", 4000},
        {"localhost:65535", true, "localhost", 65535},
        {":2000", true, "127.0.0.1", 2000},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:12a", false, "", 0},
        {"host:", false, "", 0},
        {"4000", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host;
        uint16_t port = 0;
        EXPECT_EQ(rudasim::ParseHostPort(c.text, &host, &port), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(RudaSimProgram, BadCommandLinesAreRefused) {
    const std::vector<std::vector<std::string>> lines = {
        {"--connect", "127.0.0.1:4000", "--tls-cert", "c.crt"},          // a certificate without its key
        {"--connect", "127.0.0.1:4000", "--driver-config", "pinpad.cfg"},  // both sides at once
        {"--connect", "127.0.0.1"},                                        // no port
        {"--tls-ca", "ca.crt"},                                            // TLS without --connect
    };
    for (const auto& line : lines) {
        std::vector<std::string> args = {testsupport::BinPath("ruda_sim")};
        args.insert(args.end(), line.begin(), line.end());
        ChildProcess sim;
        ASSERT_TRUE(sim.Start(args));
        EXPECT_EQ(sim.WaitExit(10000), 64) << line[0] << " " << line[1] << ": " << sim.Output();
    }
}

// On a pseudo-terminal with --driver-config the simulator writes its slave
// into the till's line file while it runs and puts the file back as it was
// when it ends (SIGTERM), so the till is never left on a gone line.
TEST(RudaSimProgram, DriverConfigIsPutBackAtTheEnd) {
    testsupport::TempDir dir;
    const std::string config = dir.file("pinpad.cfg");
    testsupport::WriteSignedFile(config, {"[Driver:COM1]", "[Vpsl:4018]"});
    const std::string before = testsupport::ReadFileText(config);
    ChildProcess sim;
    ASSERT_TRUE(sim.Start({testsupport::BinPath("ruda_sim"), "--driver-config", config}));
    const std::string slave = sim.WaitForMatch("ruda_sim slave (\\S+)", 10000);
    ASSERT_FALSE(slave.empty()) << sim.Output();
    EXPECT_NE(testsupport::ReadFileText(config).find("[Driver:" + slave + "]"), std::string::npos);
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.WaitExit(10000), 0) << sim.Output();
    EXPECT_EQ(testsupport::ReadFileText(config), before);
}

// The peer plays the program: it listens, takes the simulator, sends the
// blocks of a readers-off request and gets the terminal's answer, then
// closes; the simulator reports the close and ends.
TEST(RudaSimProgram, ConnectsAnswersAndEndsWhenThePeerCloses) {
    testsupport::TestPki pki;
    ASSERT_TRUE(pki.ok());
    struct Case {
        const char* name;
        bool tls;
    } cases[] = {{"TCP", false}, {"TLS with the terminal's certificate", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        netsim::Listener listener;
        ASSERT_TRUE(listener.open());
        netsim::TlsContext context;
        if (c.tls) {
            netsim::TlsSettings settings;
            settings.certificate = pki.path("localhost.crt");
            settings.key = pki.path("server.key");
            settings.caFile = pki.path("ca.crt");
            settings.requireClientCertificate = true;
            std::string error;
            ASSERT_TRUE(context.makeServer(settings, &error)) << error;
        }
        std::vector<std::string> args = {testsupport::BinPath("ruda_sim"), "--connect",
                                         "127.0.0.1:" + std::to_string(listener.port())};
        if (c.tls) {
            args.insert(args.end(), {"--tls-ca", pki.path("ca.crt"), "--tls-name", "localhost", "--tls-cert",
                                     pki.path("client.crt"), "--tls-key", pki.path("client.key")});
        }
        ChildProcess sim;
        ASSERT_TRUE(sim.Start(args));
        std::unique_ptr<netsim::Link> link = listener.accept(10000);
        ASSERT_NE(link, nullptr) << sim.Output();
        if (c.tls) {
            std::string error;
            ASSERT_TRUE(link->startTlsServer(context.get(), 10000, &error)) << error;
            EXPECT_NE(link->peerSubject().find("caisse 7"), std::string::npos) << link->peerSubject();
        }
        EXPECT_TRUE(sim.WaitForOutput("ruda_sim connected to 127.0.0.1:", 10000)) << sim.Output();
        ASSERT_TRUE(link->sendAll(rudasim::Blocks(0x01, {0xD0, 0x60, 0x00, 0x00}, false)));
        const std::string expected = rudasim::Blocks(0x01, {0x90, 0x00}, false);
        std::string answer;
        EXPECT_TRUE(link->receiveExactly(expected.size(), &answer, 10000));
        EXPECT_EQ(answer, expected);
        EXPECT_TRUE(sim.WaitForOutput("D0600000 -> 9000", 10000)) << sim.Output();
        link->close();
        EXPECT_EQ(sim.WaitExit(10000), 0) << sim.Output();
        EXPECT_NE(sim.Output().find("ruda_sim link closed by the program"), std::string::npos) << sim.Output();
    }
}

}  // namespace

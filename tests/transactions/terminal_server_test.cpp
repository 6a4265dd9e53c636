// The card reader in server mode: the program listens on the port of the
// reader's link configuration and the terminal connects to it, over TCP or
// over TLS with the certificates of WCERT ("openssl s_client" plays the
// terminal). A client certificate is required exactly when CA files
// ("*.0") are there and pass the check. A connection is the terminal once
// it answers the program's first request (readers off) with RUDA blocks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "comm/com_resources.h"
#include "comm/shared_connections.h"
#include "comm/tls_internal.h"
#include "comm/tls_transport.h"
#include "netsim/tcp_link.h"
#include "periph/terminal_box.h"
#include "platform/net_socket.h"
#include "protocols/card_records.h"
#include "protocols/pv_status.h"
#include "rudasim/ruda_net.h"
#include "station/options.h"
#include "support/app_session.h"
#include "support/child_process.h"
#include "support/net_contexts.h"
#include "support/openssl_peer.h"
#include "support/signed_file_writer.h"
#include "support/tls_pki.h"
#include "support/trace_capture.h"
#include "transactions/terminal_commands.h"

using testsupport::AppSessionTest;
using testsupport::ChildProcess;
using testsupport::TraceCapture;

namespace {

class TerminalServer : public AppSessionTest {
protected:
    static void SetUpTestSuite() { pki_ = new testsupport::TestPki; }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    static std::string P(const std::string& name) { return pki_->path(name); }

    // Changes to the till's files before the session opens on them.
    virtual void PrepareTree() {}

    void SetUp() override {
        PrepareTree();
        AppSessionTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(pki_->ok());
        // The reader's link stays as the session made it; the program is
        // back in the real time for the sockets and the handshakes.
        scoped.reset();
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        ASSERT_EQ(chdir(tree.str().c_str()), 0);
        std::filesystem::create_directories("WCERT");
        Put("server.key", "server.key.enc");
        Put("server.crt", "localhost.crt");
        KT_PERES* reader = TWEP_FindFunction(EPAP_GetBox(), 4, 1);
        ASSERT_NE(reader, nullptr);
        com_ = WCOM_GetResourceByNum(reader->port);
        ASSERT_NE(com_, nullptr);
        port_ = FreePort();
        Options.WaitForPinpad = 1;
        record->terminalServerWait = 0;
        record->terminalServerSocket = 0;
    }
    void TearDown() override {
        if (record != nullptr && record->terminalServerSocket > 0) {
            plat::SocketClose(record->terminalServerSocket);
            record->terminalServerSocket = 0;
        }
        if (handle_ >= 0 && com_ != nullptr) {
            if (tls_) {
                comInfos* e = WSharedTable().entry(handle_);
                wssl::WSSLCloseCOM_INFO(e, "test");
                WSharedReleaseUser(e);
            } else {
                plat::SocketClose(handle_);
            }
        }
        // The network contexts that linked terminals took.
        testsupport::FreeAllNetContexts();
        if (previous_[0] != '\0') {
            EXPECT_EQ(chdir(previous_), 0);
        }
        AppSessionTest::TearDown();
    }

    static void Put(const std::string& name, const std::string& from) {
        std::filesystem::copy_file(P(from), "WCERT/" + name, std::filesystem::copy_options::overwrite_existing);
    }
    static void PutCaFiles() {
        for (const auto& entry : std::filesystem::directory_iterator(P("cadir"))) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 2 && name.substr(name.size() - 2) == ".0")
                std::filesystem::copy_file(entry.path(), "WCERT/" + name);
        }
    }
    // A port that nothing uses at the moment (the kernel's choice).
    static uint16_t FreePort() {
        const int fd = plat::SocketCreateTcp();
        uint16_t port = 0;
        if (fd >= 0 && plat::SocketBindAny(fd, 0) == 0) port = static_cast<uint16_t>(plat::SocketLocalPort(fd));
        if (fd >= 0) plat::SocketClose(fd);
        return port;
    }
    void Configure(int reseauType, const char* acceptTimeout = nullptr) {
        std::vector<std::string> lines = {"[Service1:" + std::to_string(port_) + "]",
                                          "[ReseauType:" + std::to_string(reseauType) + "]"};
        if (acceptTimeout != nullptr) lines.push_back(std::string("[SSLAcceptTimeout:") + acceptTimeout + "]");
        ASSERT_TRUE(testsupport::WriteSignedParamFile(com_->configFile, lines));
        tls_ = reseauType == 4;
    }
    // The wait of the program in a thread.
    void StartWait() {
        wait_ = std::async(std::launch::async, [] { return RUDA_WaitFor103(0); });
    }
    // A plain connection once the program listens (10 s at most): the
    // first link that connects.
    std::unique_ptr<netsim::Link> ConnectWhenListening() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (auto link = netsim::ConnectLoopback(port_, 1000)) return link;
            if (wait_.valid() && wait_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) break;
        }
        return nullptr;
    }
    // The wait, and a client that leaves during the handshake: it is
    // dropped and the program keeps listening for the terminal.
    bool StartWaitPastAFailedHandshake() {
        StartWait();
        return ConnectWhenListening() != nullptr;
    }
    int Result() {
        if (wait_.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return -100;
        const int result = wait_.get();
        if (result == 0) handle_ = com_->handle;
        return result;
    }
    void StartClient(ChildProcess& client, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-CAfile", P("ca.crt"), "-servername", "localhost"};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_TRUE(testsupport::StartOpensslClient(client, port_, args));
    }
    // The program's first request as RUDA blocks (card status, readers off)
    // and the answer a terminal gives it (90 00).
    static std::string CheckRequest() { return std::string("\x01\x00\x04\xD0\x60\x00\x00\xB5", 8); }
    static std::string CheckAnswer() { return std::string("\x01\x00\x02\x90\x00\x93", 6); }
    // An s_client that answers the first request as a terminal does (its
    // input goes out once the handshake is done).
    void StartTerminalClient(ChildProcess& client, std::vector<std::string> more = {}) {
        StartClient(client, more);
        ASSERT_TRUE(client.Write(CheckAnswer()));
    }
    // A plain link that answers the first request as a terminal does.
    static bool AnswerAsATerminal(netsim::Link& link) {
        std::string request;
        return link.receiveExactly(CheckRequest().size(), &request, 10000) && request == CheckRequest() &&
               link.sendAll(CheckAnswer());
    }

    static inline testsupport::TestPki* pki_ = nullptr;
    char previous_[4096] = {};
    ComResource* com_ = nullptr;
    uint16_t port_ = 0;
    bool tls_ = false;
    int handle_ = -1;
    std::future<int> wait_;
};

TEST_F(TerminalServer, ATerminalConnectsOverTcpAndNobodyElseAfterIt_Mended) {
    Configure(2);
    StartWait();
    auto link = ConnectWhenListening();
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(AnswerAsATerminal(*link));
    EXPECT_EQ(Result(), 0);
    EXPECT_GE(com_->handle, 0);
    EXPECT_EQ(record->terminalServerWait, 0);
    // The listening socket went with the wait: a second connection is
    // refused.
    EXPECT_EQ(record->terminalServerSocket, 0);
    EXPECT_EQ(netsim::ConnectLoopback(port_, 2000), nullptr);
}

// What reaches the port before the terminal is checked and dropped; the
// wait goes on and takes the terminal.
TEST_F(TerminalServer, StrangersAreDroppedAndTheTerminalIsTaken_Mended) {
    struct Case {
        const char* name;
        std::string sent;  // by the stranger before it waits
        bool closes;       // the stranger leaves at once
        const char* why;   // traced when the program drops it
    } cases[] = {
        {"closes at once", "", true, "abandonnee: fermee"},
        {"sends garbage", "GET / HTTP/1.0\r\n\r\n", false, "abandonnee: pas un bloc RUDA"},
        {"a block with a wrong check byte", std::string("\x01\x00\x02\x90\x00\x94", 6), false,
         "abandonnee: pas un bloc RUDA"},
        {"stays silent", "", false, "abandonnee: pas de reponse"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port_ = FreePort();
        ASSERT_TRUE(testsupport::WriteSignedParamFile(
            com_->configFile,
            {"[Service1:" + std::to_string(port_) + "]", "[ReseauType:2]", "[TerminalAnswerTimeout:200]"}));
        TraceCapture trace;
        StartWait();
        auto stranger = ConnectWhenListening();
        ASSERT_NE(stranger, nullptr);
        if (!c.sent.empty()) {
            ASSERT_TRUE(stranger->sendAll(c.sent));
        }
        if (c.closes) {
            stranger->close();
        } else {
            EXPECT_TRUE(stranger->waitClosed(10000)) << "the program drops the stranger";
        }
        auto terminal = ConnectWhenListening();
        ASSERT_NE(terminal, nullptr);
        ASSERT_TRUE(AnswerAsATerminal(*terminal));
        ASSERT_EQ(Result(), 0);
        EXPECT_TRUE(trace.Contains(c.why));
        EXPECT_TRUE(trace.Contains("Terminal connecte: 127.0.0.1"));
        plat::SocketClose(com_->handle);
        handle_ = -1;
        testsupport::FreeAllNetContexts();
    }
}

// The listener binds the local address of "Host1" in the reader's link
// file; without it every address, so that a terminal on the shop's network
// reaches it.
TEST_F(TerminalServer, TheListenerBindsTheAddressOfHost1_Mended) {
    struct Case {
        const char* host1;         // none when null
        const char* reachable;     // the terminal connects there
        const char* unreachable;   // refused there (none when null)
    } cases[] = {
        {nullptr, "127.0.0.2", nullptr},
        {"127.0.0.1", "127.0.0.1", "127.0.0.2"},
        {"127.0.0.2", "127.0.0.2", "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host1 != nullptr ? c.host1 : "no Host1");
        port_ = FreePort();
        std::vector<std::string> lines = {"[Service1:" + std::to_string(port_) + "]", "[ReseauType:2]"};
        if (c.host1 != nullptr) lines.push_back(std::string("[Host1:") + c.host1 + "]");
        ASSERT_TRUE(testsupport::WriteSignedParamFile(com_->configFile, lines));
        StartWait();
        std::unique_ptr<netsim::Link> terminal;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (terminal == nullptr && std::chrono::steady_clock::now() < end)
            terminal = netsim::ConnectHost(c.reachable, port_, 1000);
        ASSERT_NE(terminal, nullptr);
        if (c.unreachable != nullptr) {
            EXPECT_EQ(netsim::ConnectHost(c.unreachable, port_, 1000), nullptr);
        }
        ASSERT_TRUE(AnswerAsATerminal(*terminal));
        ASSERT_EQ(Result(), 0);
        plat::SocketClose(com_->handle);
        handle_ = -1;
        testsupport::FreeAllNetContexts();
    }
    ASSERT_TRUE(testsupport::WriteSignedParamFile(
        com_->configFile, {"[Service1:" + std::to_string(port_) + "]", "[ReseauType:2]", "[Host1:no.such.host.]"}));
    TraceCapture trace;
    EXPECT_EQ(RUDA_WaitFor103(0), -1);
    EXPECT_TRUE(trace.Contains("[RUDA_WaitFor103] Adresse d'ecoute inconnue : no.such.host."));
    EXPECT_EQ(record->terminalServerSocket, 0);
}

// The cash register's abort still ends the wait while connections are
// being checked.
TEST_F(TerminalServer, AnAbortEndsTheWaitWhileAStrangerIsChecked) {
    Configure(2);
    StartWait();
    auto stranger = ConnectWhenListening();
    ASSERT_NE(stranger, nullptr);
    Send("{SS}R{PS}1{SV}s3{CD}c0{D9C}1{F}");
    // The cash register takes the program's answers until the wait ends.
    while (wait_.wait_for(std::chrono::milliseconds(1)) == std::future_status::timeout) clock.Serve();
    EXPECT_EQ(Result(), PV_PER_RESET);
    ASSERT_FALSE(clock.received.empty());
    EXPECT_EQ(clock.received.front(), "0");
    EXPECT_EQ(record->terminalServerSocket, 0);
    EXPECT_TRUE(stranger->waitClosed(10000));
    EXPECT_EQ(netsim::ConnectLoopback(port_, 2000), nullptr);
}

TEST_F(TerminalServer, OnlyTcpAndTlsAreServed) {
    Configure(3);
    TraceCapture trace;
    EXPECT_EQ(RUDA_WaitFor103(0), -1);
    EXPECT_EQ(record->terminalServerSocket, 0);  // no socket was made
    EXPECT_EQ(record->terminalServerWait, 0);
    EXPECT_EQ(netsim::ConnectLoopback(port_, 200), nullptr);
}

TEST_F(TerminalServer, NothingIsAwaitedWithoutWaitForPinpad) {
    Options.WaitForPinpad = 0;
    Configure(4);
    EXPECT_EQ(RUDA_WaitFor103(0), 0);
    EXPECT_EQ(record->terminalServerSocket, 0);
}

TEST_F(TerminalServer, WithoutCaFilesNoClientCertificateAndAFailedHandshakeKeepsTheWait_Mended) {
    Configure(4);
    TraceCapture trace;
    ASSERT_TRUE(StartWaitPastAFailedHandshake());
    ChildProcess client;
    StartTerminalClient(client);
    EXPECT_EQ(Result(), 0);
    EXPECT_TRUE(trace.Contains("Double authentification Client Desactive"));
    EXPECT_TRUE(client.WaitForOutput("Verify return code: 0", 10000)) << client.Output();
    EXPECT_NE(com_->handle, 0);
}

TEST_F(TerminalServer, CaFilesRequireAClientCertificate) {
    PutCaFiles();
    Configure(4);
    TraceCapture trace;
    ASSERT_TRUE(StartWaitPastAFailedHandshake());
    {
        ChildProcess stranger;  // no certificate: refused, the wait goes on
        StartClient(stranger);
        stranger.WaitExit(10000);
    }
    EXPECT_EQ(wait_.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ChildProcess terminal;
    StartTerminalClient(terminal, {"-cert", P("client.crt"), "-key", P("client.key")});
    EXPECT_EQ(Result(), 0);
    EXPECT_TRUE(trace.Contains("Double authentification Client Active"));
    EXPECT_TRUE(trace.Contains("[RUDA_WaitFor103] SSL_accept"));
}

TEST_F(TerminalServer, ACorruptCaFileStopsTheSetUp) {
    std::filesystem::copy_file(P("bad-second.crt"), "WCERT/0badca11.0");
    Configure(4);
    TraceCapture trace;
    EXPECT_EQ(RUDA_WaitFor103(0), -1);
    EXPECT_EQ(record->terminalServerSocket, 0);
    EXPECT_TRUE(trace.Contains("WSSL_CTX_check_ca_file()"));
}

TEST_F(TerminalServer, ASilentClientCannotHoldTheWaitWithAShortAcceptTimeout_Mended) {
    // 500 ms is below one second: the handshake still has a time-out.
    Configure(4, "500");
    TraceCapture trace;
    StartWait();
    auto silent = ConnectWhenListening();
    ASSERT_NE(silent, nullptr);
    // Dropped once its handshake ran out of time, the wait going on.
    EXPECT_TRUE(silent->waitClosed(10000));
    EXPECT_TRUE(trace.Contains("abandonnee: pas de handshake TLS"));
    EXPECT_EQ(wait_.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ChildProcess client;
    StartTerminalClient(client);
    EXPECT_EQ(Result(), 0);
}

TEST_F(TerminalServer, MissingServerFilesStopTheSetUp) {
    std::filesystem::remove("WCERT/server.key");
    Configure(4);
    TraceCapture trace;
    EXPECT_EQ(RUDA_WaitFor103(0), -1);
    EXPECT_TRUE(trace.Contains("[RUDA_WaitFor103] No server key"));
}

// The RUDA terminal simulator as the terminal: the reader's link is a
// connected socket ("CONNECTED" in "com": the first resource of that kind
// comes after the two serial ones), the simulator connects to the
// waiting program over TCP or TLS, and the card-status command goes
// through that connection and back.
class TerminalServerLink : public TerminalServer {
protected:
    void SetUp() override {
        TerminalServer::SetUp();
        WSSLSetInterface(0);  // the program's TLS transport (direct entries)
    }
    void TearDown() override {
        TerminalServer::TearDown();
        WSSLSetInterface(1);
    }
    void PrepareTree() override {
        ASSERT_TRUE(testsupport::WriteSignedParamFile(
            tree.file("WCFG/com_00.wt"), {"[COM_0:000]", "[PHY_0:CONNECTED]", "[MED_0:DIRECT]", "[ADA_0:PHONE]",
                                          "[LOG_0:pinpad.log]", "[LGT_0:NONE]", "[SC1_0:pinpad.cfg]"}));
        ASSERT_TRUE(testsupport::WriteSignedParamFile(tree.file("WCFG/med_00.wt"),
                                                      {"[FUN_0:EFT_CAM_1]", "[COM_0:002]", "[PRO_0:RUDA]"}));
    }
    // The simulator connected once the program listens (10 s at most); the
    // error of the last attempt otherwise.
    bool ConnectTerminal(rudasim::RudaNetSim& terminal, rudasim::RudaNetOptions options, std::string* error) {
        options.port = port_;
        options.connectTimeoutMs = 2000;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (terminal.connect(options, error)) return true;
            if (wait_.valid() && wait_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) break;
            // Not listening yet: the next attempt once the program's socket
            // may be there (the refusal itself came at once).
            std::this_thread::yield();
        }
        return false;
    }
    static rudasim::RudaScenario Scenario(const std::string& text) {
        std::string error;
        auto scenario = rudasim::RudaScenario::Parse(text, "", &error);
        EXPECT_TRUE(scenario.has_value()) << error;
        return scenario ? *scenario : rudasim::RudaScenario{};
    }
    // A card-status request for a chip card or a swiped stripe.
    void AskForACard() {
        CardReadRecord& r = record->cardReadRecord;
        r = CardReadRecord{};
        r.mode = 1;
        r.chipRequested = 1;
        r.chipOptions = 0x10;
        r.isoRequested = 1;
        r.isoOptions = 0x10;
    }
    rudasim::RudaNetOptions Tls(bool withCertificate) const {
        rudasim::RudaNetOptions o;
        o.tls = true;
        o.caFile = P("ca.crt");
        o.serverName = "localhost";
        if (withCertificate) {
            o.certificate = P("client.crt");
            o.key = P("client.key");
        }
        return o;
    }
};

TEST_F(TerminalServerLink, ACardStatusGoesThroughTheTerminalThatConnected) {
    struct Case {
        const char* name;
        int reseauType;
        bool caFiles;          // "*.0" CA files in WCERT: a client certificate is required
        bool clientCertificate;
        const char* traced;
    } cases[] = {
        {"TCP", 2, false, false, ""},
        {"TLS without client authentication", 4, false, false, "Double authentification Client Desactive"},
        {"TLS with a client certificate", 4, true, true, "Double authentification Client Active"},
        {"TLS, a certificate offered but not asked for", 4, false, true, "Double authentification Client Desactive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& entry : std::filesystem::directory_iterator("WCERT"))
            if (entry.path().extension() == ".0") std::filesystem::remove(entry.path());
        if (c.caFiles) PutCaFiles();
        port_ = FreePort();
        Configure(c.reseauType);
        TraceCapture trace;
        StartWait();
        rudasim::RudaNetSim terminal(Scenario(""));
        rudasim::RudaNetOptions options = c.reseauType == 4 ? Tls(c.clientCertificate) : rudasim::RudaNetOptions{};
        std::string error;
        ASSERT_TRUE(ConnectTerminal(terminal, options, &error)) << error;
        ASSERT_EQ(Result(), 0);
        EXPECT_TRUE(trace.Contains(c.traced));
        if (c.reseauType == 4) {
            EXPECT_FALSE(terminal.tlsVersion().empty());
        }

        // The card-status request arms the readers: no card yet, the
        // terminal answers at once and watches for one.
        // The program's first request: readers off.
        std::vector<rudasim::Exchange> got = terminal.exchanges();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(cardsim::ToHex(got[0].apdu), "D0600000");
        AskForACard();
        EXPECT_EQ(TermCardStatus(&record->cardReadRecord), 0);
        got = terminal.exchanges();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(cardsim::ToHex(got[1].apdu), "D0601F00");
        EXPECT_TRUE(got[1].lrcOk);
        EXPECT_EQ(cardsim::ToHex(got[1].answer), "E00448020000" "9000");
        // Nothing comes: the wait for the terminal ends empty, not failed.
        char event[8] = {};
        EXPECT_EQ(EPAP_WaitEvent(4, 200, event), PV_NOT_YET);
        // The card goes in: the terminal tells it unasked, the program's
        // wait wakes and reads it.
        const rudasim::Bytes chip = rudasim::ChipEvent({*cardsim::ParseHex("A0000000421010")});
        terminal.pushEvent(chip);
        EXPECT_EQ(EPAP_WaitEvent(4, 10000, event), 0);
        EXPECT_EQ(event[0], 'A');
        EXPECT_EQ(TermGetCardResult(100), 0);
        EXPECT_EQ(record->cardReadRecord.technology, CARD_TECH_CHIP);
        EXPECT_STREQ(record->cardReadRecord.eventData, "3b6500002063cb6a00");
        got = terminal.exchanges();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[2].answer, chip);

        // The program closes the terminal's link; the terminal sees it go.
        EPAP_ClearAll();
        TWEP_CloseSerialPorts(EPAP_GetBox());
        handle_ = -1;
        EXPECT_TRUE(terminal.waitClosed(10000));
    }
}

// With CA files in WCERT a terminal without a certificate is refused and
// the program goes on waiting; the terminal with its certificate is taken.
TEST_F(TerminalServerLink, ATerminalWithoutCertificateIsRefusedWhenCaFilesAreThere) {
    PutCaFiles();
    Configure(4);
    TraceCapture trace;
    // Once the program listens (the client that tells it leaves and is
    // dropped), one attempt without a certificate.
    ASSERT_TRUE(StartWaitPastAFailedHandshake());
    {
        rudasim::RudaNetSim stranger(Scenario(""));
        rudasim::RudaNetOptions options = Tls(false);
        options.port = port_;
        std::string error;
        // Over TLS 1.3 the client may finish its side before the program
        // checks it: then the program closes the link.
        if (stranger.connect(options, &error)) {
            EXPECT_TRUE(stranger.waitClosed(10000));
        }
    }
    EXPECT_EQ(wait_.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    rudasim::RudaNetSim terminal(Scenario(""));
    std::string error;
    ASSERT_TRUE(ConnectTerminal(terminal, Tls(true), &error)) << error;
    EXPECT_EQ(Result(), 0);
    EXPECT_TRUE(trace.Contains("[RUDA_WaitFor103] SSL_accept"));
    AskForACard();
    EXPECT_EQ(TermCardStatus(&record->cardReadRecord), 0);
    EXPECT_EQ(terminal.exchanges().size(), 2u);
}

// The server-mode context takes DHE suites with the library's own
// parameters (without them no DHE suite could be chosen). Its refusal of
// triple-DES suites is not tried: this OpenSSL has none to offer.
TEST_F(TerminalServer, DheSuitesWorkWithTheLibrarysParameters_Mended) {
    Configure(4);
    ASSERT_TRUE(StartWaitPastAFailedHandshake());
    ChildProcess client;
    StartTerminalClient(client, {"-tls1_2", "-cipher", "DHE-RSA-AES128-GCM-SHA256"});
    EXPECT_EQ(Result(), 0);
    EXPECT_TRUE(client.WaitForOutput("Cipher is DHE-RSA-AES128-GCM-SHA256", 10000)) << client.Output();
}

}  // namespace


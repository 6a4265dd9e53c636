// The card reader in server mode: the program listens on the port of the
// reader's link configuration and the terminal connects to it, over TCP or
// over TLS with the certificates of WCERT ("openssl s_client" plays the
// terminal). A client certificate is required exactly when CA files
// ("*.0") are there and pass the check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "app/options.h"
#include "comm/com_resources.h"
#include "comm/shared_connections.h"
#include "comm/tls_internal.h"
#include "netsim/tcp_link.h"
#include "periph/terminal_box.h"
#include "platform/net_socket.h"
#include "support/app_session.h"
#include "support/child_process.h"
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

    void SetUp() override {
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

    static inline testsupport::TestPki* pki_ = nullptr;
    char previous_[4096] = {};
    ComResource* com_ = nullptr;
    uint16_t port_ = 0;
    bool tls_ = false;
    int handle_ = -1;
    std::future<int> wait_;
};

TEST_F(TerminalServer, ATerminalConnectsOverTcp) {
    Configure(2);
    StartWait();
    auto link = ConnectWhenListening();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(Result(), 0);
    EXPECT_GE(com_->handle, 0);
    EXPECT_EQ(record->terminalServerWait, 0);
    EXPECT_GT(record->terminalServerSocket, 0);
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
    StartClient(client);
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
    StartClient(terminal, {"-cert", P("client.crt"), "-key", P("client.key")});
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
    ChildProcess client;
    StartClient(client);
    EXPECT_EQ(Result(), 0);
    EXPECT_TRUE(trace.Contains("[RUDA_WaitFor103] SSL_accept"));
}

TEST_F(TerminalServer, MissingServerFilesStopTheSetUp) {
    std::filesystem::remove("WCERT/server.key");
    Configure(4);
    TraceCapture trace;
    EXPECT_EQ(RUDA_WaitFor103(0), -1);
    EXPECT_TRUE(trace.Contains("[RUDA_WaitFor103] No server key"));
}

}  // namespace

// Shared TLS client connections through the network dispatch with SSLShared
// selected: the request goes into the shared connection table, an owner
// thread opens the connection to "openssl s_server" and pumps it, and the
// requester reads and writes the entry's buffers; the owner's failures
// reach the requester.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "comm/network_dispatch.h"
#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_transport.h"
#include "support/net_contexts.h"
#include "support/openssl_peer.h"
#include "support/tls_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::OpensslServer;
using testsupport::TestPki;
using testsupport::TraceCapture;

class TlsShared : public testsupport::TlsFixture {
protected:
    void SetUp() override {
        testsupport::FreeAllNetContexts();
        TlsFixture::SetUp();
        WSSLSetInterface(1);
    }
    void TearDown() override {
        WSSLSetInterface(0);
        testsupport::FreeAllNetContexts();
        TlsFixture::TearDown();
    }

    // A TLS client context to the host and service with the PKI's root.
    static int Context(const std::string& host, const std::string& service, const std::string& clientCert = "") {
        const int n = testsupport::ClientContext(0, WNET_TYPE_TLS);
        WNetSetServices(service.c_str(), service.c_str());
        WNetSetHosts(host.c_str(), host.c_str());
        WNetSetHostCert(P("ca.crt").c_str());
        WNetSetClientCert(clientCert.empty() ? "" : P(clientCert).c_str());
        WNetSetCheckCert(0);
        WNetSetVersionSSL(0);
        return n;
    }
    static std::string ReadUntil(int32_t handle, const std::string& wanted) {
        return testsupport::ReadUntil([handle](void* b, uint32_t n) { return WNetRead(handle, b, n); }, wanted);
    }
};

TEST_F(TlsShared, AnOwnerOpensAndPumpsTheRequestedConnection) {
    OpensslServer server;
    ASSERT_TRUE(server.Start({"-cert", P("localhost.crt"), "-key", P("server.key"), "-rev"}));
    for (int round = 0; round < 2; ++round) {
        const int context = Context("localhost", server.service());
        TraceCapture trace;
        int32_t handle = -1;
        ASSERT_EQ(WNetOpenClient(&handle, 1, 1), 0) << round;
        comInfos* e = WShared_GetOneCOM_INFOS(handle);
        EXPECT_EQ(e->Type, COM_BY_SEV);
        EXPECT_EQ(e->ConnState, WSHARED_CONNECTED);
        EXPECT_TRUE(trace.Contains("** INFO. ** subject: /CN=localhost"));
        if (round == 0) {
            // A first connection: nothing to resume, no session id.
            bool empty = false;
            for (const std::string& l : trace.Snapshot()) {
                const size_t at = l.find("@@ DEBUG @@ SSL recon KO: id: 0x");
                if (at != std::string::npos)
                    empty = l.substr(l.find("session: ", at) + 9).find_first_not_of(" \r\n") == std::string::npos;
            }
            EXPECT_TRUE(empty);
        } else {
            // The session the first connection left behind, by its id.
            EXPECT_TRUE(trace.Contains("@@ DEBUG @@ SSL recon OK: id: 0x"));
            bool hexId = false;
            for (const std::string& line : trace.Snapshot()) {
                const size_t at = line.find("SSL recon OK: id: 0x");
                if (at == std::string::npos) continue;
                const std::string session = line.substr(line.find("session: ", at) + 9, 64);
                hexId = session.size() == 64 && session.find_first_not_of("0123456789abcdef") == std::string::npos;
            }
            EXPECT_TRUE(hexId) << "the resumed session's id as 64 lower-case hexadecimal digits";
        }
        const std::string line = "round " + std::to_string(round) + "\n";
        ASSERT_EQ(WNetWrite(handle, line.data(), static_cast<uint32_t>(line.size())), static_cast<int>(line.size()));
        const std::string reversed = std::string(line.rbegin() + 1, line.rend()) + "\n";
        EXPECT_EQ(ReadUntil(handle, reversed), reversed) << round;
        EXPECT_EQ(WNetDisConnect(handle), 1);
        EXPECT_TRUE(WSSLWaitPumpThreads(10000));
        WNetFreeContext(context);
    }
}

TEST_F(TlsShared, TheOwnersFailureReachesTheRequester) {
    int32_t handle = -1;
    {
        Context("no-such-host.invalid", "4433");
        TraceCapture trace;
        EXPECT_EQ(WNetOpenClient(&handle, 1, 1), -1);
        EXPECT_TRUE(trace.Contains(
            "** INFO. ** WSSLImplOpenClientForShare(): echec recuperation ip à partir du nom d'hote : "
            "no-such-host.invalid"));
        EXPECT_TRUE(WSSLWaitPumpThreads(10000));
        testsupport::FreeAllNetContexts();
    }
    OpensslServer server;
    ASSERT_TRUE(server.Start({"-cert", P("localhost.crt"), "-key", P("server.key"), "-rev"}));
    {
        Context("localhost", server.service(), "missing.crt");
        TraceCapture trace;
        EXPECT_EQ(WNetOpenClient(&handle, 1, 1), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClientForShare(): client cert " + P("missing.crt") +
                                   " not found"));
        EXPECT_TRUE(WSSLWaitPumpThreads(10000));
        testsupport::FreeAllNetContexts();
    }
    // The set-up lock was let go on the way out: the next owner gets it.
    Context("localhost", server.service());
    ASSERT_EQ(WNetOpenClient(&handle, 1, 1), 0);
    EXPECT_EQ(WNetWrite(handle, "ok\n", 3), 3);
    EXPECT_EQ(ReadUntil(handle, "ko\n"), "ko\n");
    EXPECT_EQ(WHardNetDisConnect(handle), 1);
}

}  // namespace

// Network dispatch: the table of seven contexts, selection, types, setters,
// and the link operations reaching each transport (TCP over loopback here;
// the local transports have their own tests).
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "comm/network_dispatch.h"
#include "netsim/tcp_link.h"
#include "support/net_contexts.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override { testsupport::FreeAllNetContexts(); }
    void TearDown() override {
        testsupport::FreeAllNetContexts();
        unsetenv("C_LOCAL");
    }
};

TEST_F(Dispatch, SevenContextsThenNone) {
    for (int n = 0; n < WNET_CONTEXT_COUNT; ++n) {
        ASSERT_EQ(WNetGetFreeContext(), n);
        // Taken but still free until typed: the same one comes back.
        EXPECT_EQ(WNetGetFreeContext(), n);
        ASSERT_EQ(WNetSetTypReseau(WNET_TYPE_NONE), 0);
    }
    EXPECT_EQ(WNetGetFreeContext(), -1);
    EXPECT_EQ(WNetIsCurrentContext(6), 6);
    EXPECT_EQ(WNetFreeContext(3), 0);
    EXPECT_EQ(WNetGetFreeContext(), 3);
    EXPECT_EQ(WNetFreeContext(7), -1);
    EXPECT_EQ(WNetGetContext(7), nullptr);
    EXPECT_EQ(WNetSelectContext(7), -1);
}

TEST_F(Dispatch, SelectingTheCurrentOrAFreeContext) {
    ASSERT_EQ(WNetGetFreeContext(), 0);
    WNetSetTypReseau(WNET_TYPE_NONE);
    EXPECT_EQ(WNetSelectContext(0), 0);
    EXPECT_EQ(WNetIsCurrentContext(0), 0);
    // A free context cannot be selected for use, but it becomes current.
    EXPECT_EQ(WNetSelectContext(4), -1);
    EXPECT_EQ(WNetIsCurrentContext(4), 4);
    EXPECT_EQ(WNetIsCurrentContext(0), -1);
    EXPECT_EQ(WNetGetCurrentContext(), WNetGetContext(4));
}

TEST_F(Dispatch, ContextsWithTheSameSettingsAreStillTwoContexts_Mended) {
    for (int n : {0, 1}) {
        ASSERT_EQ(WNetGetFreeContext(), n);
        WNetSetServices("9000", "9001");
        WNetSetHosts("127.0.0.1", "127.0.0.1");
        WNetSetTypReseau(WNET_TYPE_NONE);
    }
    EXPECT_EQ(WNetSelectContext(0), 0);
    EXPECT_EQ(WNetSelectContext(1), 1);
    EXPECT_EQ(WNetGetCurrentContext(), WNetGetContext(1));
    EXPECT_EQ(WNetIsCurrentContext(0), -1);
    EXPECT_EQ(WNetIsCurrentContext(1), 1);
}

TEST_F(Dispatch, AFreedContextKeepsNothingOfItsLastUser_Mended) {
    ASSERT_EQ(WNetGetFreeContext(), 0);
    WNetSetServices("7000", "7001");
    WNetSetHosts("bank.example", "backup.example");
    WNetSetTypReseau(WNET_TYPE_TLS);
    WNetSetClientCert("client.pem");
    WNetSetHostCert("ca.pem");
    WNetSetSSLType(3);
    WNetSetCheckCert(1);
    WNetSetVersionSSL(2);
    WNetContext* c = WNetGetContext(0);
    WNetSetReuseAddress(c, 0);
    WNetSetSSLArguments(c, "-no_tls1");
    WNetSetSSLArgument(c, "ServerNameIndicator", "bank.example");
    EXPECT_EQ(WNetFreeContext(0), 0);

    EXPECT_EQ(c->type, WNET_TYPE_FREE);
    EXPECT_EQ(c->listenHandle, -1);
    EXPECT_STREQ(c->service1, "");
    EXPECT_STREQ(c->host2, "");
    EXPECT_STREQ(c->clientCert, "");
    EXPECT_STREQ(c->hostCert, "");
    EXPECT_EQ(c->sslType, -1);
    EXPECT_EQ(c->checkCert, -1);
    EXPECT_EQ(c->versionSSL, -1);
    EXPECT_EQ(c->reuseAddress, 1);
    EXPECT_STREQ(c->sslArguments, "");
    EXPECT_TRUE(c->sslArgumentMap.empty());
}

TEST_F(Dispatch, SettersCutAndRefuse) {
    ASSERT_EQ(WNetGetFreeContext(), 0);
    const std::string long100(100, 's');
    EXPECT_EQ(WNetSetServices(long100.c_str(), "x"), 0);
    EXPECT_EQ(WNetSetHosts("h", long100.c_str()), 0);
    WNetContext* c = WNetGetContext(0);
    EXPECT_EQ(std::string(c->service1), std::string(79, 's'));
    EXPECT_STREQ(c->service2, "x");
    EXPECT_EQ(std::string(c->host2), std::string(79, 's'));
    EXPECT_EQ(WNetSetServices(nullptr, nullptr), 0);
    EXPECT_STREQ(c->service1, "");

    // Certificate names up to 256 characters; longer ones are refused, not cut.
    const std::string name256(256, 'n');
    EXPECT_EQ(WNetSetClientCert(name256.c_str()), 1);
    EXPECT_EQ(std::string(c->clientCert), name256);
    EXPECT_EQ(WNetSetClientCert((name256 + "x").c_str()), 0);
    EXPECT_EQ(std::string(c->clientCert), name256);
    EXPECT_EQ(WNetSetHostCert(nullptr), 0);

    const std::string args(120, 'a');
    WNetSetSSLArguments(c, args.c_str());
    EXPECT_EQ(std::string(c->sslArguments), std::string(80, 'a'));
    WNetSetSSLArgument(c, "k", "v1");
    WNetSetSSLArgument(c, "k", "v2");
    WNetSetSSLArgument(c, nullptr, "v3");
    WNetSetSSLArgument(c, "other", nullptr);
    ASSERT_EQ(c->sslArgumentMap.size(), 1u);
    EXPECT_EQ(c->sslArgumentMap["k"], "v2");
}

TEST_F(Dispatch, UnknownTypeIsStoredAsNoneAndOpensNothing) {
    ASSERT_EQ(WNetGetFreeContext(), 0);
    TraceCapture trace;
    EXPECT_EQ(WNetSetTypReseau(9), 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WNetSetTyp: Type RESEAU INCORRECT"));
    EXPECT_EQ(WNetGetContext(0)->type, WNET_TYPE_NONE);
    int32_t handle = 55, station = 0;
    EXPECT_EQ(WNetOpenServer(1, 5), 0);
    EXPECT_EQ(WNetGetContext(0)->listenHandle, -1);
    EXPECT_EQ(WNetOpenClient(&handle, 1, 1), 0);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(WNetConnect(&handle, &station), -1);
    EXPECT_EQ(WNetWrite(3, "x", 1), 0);
    EXPECT_EQ(WNetRead(3, &station, 1), 0);
    EXPECT_EQ(WNetPeek(3, &station, 1), 0);
    EXPECT_EQ(WNetDisConnect(3), 0);
    EXPECT_EQ(WNetClose(0), 0);
}

TEST_F(Dispatch, SharedTableContextsCannotBeOpenedButReachTheTable) {
    ASSERT_EQ(WNetGetFreeContext(), 0);
    EXPECT_EQ(WNetSetTypReseau(WNET_TYPE_SHARED), 0);
    int32_t handle = 0;
    EXPECT_EQ(WNetOpenServer(1, 0), -1);
    EXPECT_EQ(WNetOpenClient(&handle, 1, 1), -1);
    char b[4];
    // The table holds no entry yet: every id is unknown.
    EXPECT_EQ(WNetWrite(1, "x", 1), -2);
    EXPECT_EQ(WNetRead(1, b, 4), -2);
    EXPECT_EQ(WNetPeek(1, b, 4), -2);
    EXPECT_EQ(WNetDisConnect(1), -2);
    EXPECT_EQ(WHardNetDisConnect(-1), -1);
}

TEST_F(Dispatch, OpensOnAMissingOrFreeContextAreIncoherent) {
    TraceCapture trace;
    WNetSelectContext(2);  // free
    int32_t handle = 9;
    EXPECT_EQ(WNetOpenServer(1, 0), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WNetOpenServer(): echec Contexte incoherent()"));
    EXPECT_EQ(WNetOpenClient(&handle, 1, 1), -1);
    EXPECT_EQ(handle, -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WNetOpenClient(): echec Contexte incoherent()"));
}

TEST_F(Dispatch, TcpLinkThroughTheDispatch) {
    testsupport::NetTraceOn traceOn;
    setenv("C_LOCAL", "c5", 1);
    TraceCapture trace;
    int port = 0;
    const int server = testsupport::OpenListeningContext(WNET_TYPE_TCP, &port);
    ASSERT_GE(server, 0);
    EXPECT_TRUE(trace.Contains("max. conn.: 10"));  // backlog 0 means 10
    EXPECT_TRUE(trace.Contains("WNetOpenServer: return: 0, type: 2"));

    const int client = testsupport::ClientContext(port);
    int32_t out = -1;
    ASSERT_EQ(WNetOpenClient(&out, 1, 1), 0);
    ASSERT_GE(out, 0);
    EXPECT_TRUE(trace.Contains("WNetOpenClient: type: 2, port: " + std::to_string(port) + ", address: 127.0.0.1"));

    ASSERT_EQ(WNetSelectContext(server), server);
    int32_t in = -1, station = -1;
    ASSERT_EQ(WNetConnect(&in, &station), 0);
    EXPECT_EQ(station, 5);

    ASSERT_EQ(WNetSelectContext(client), client);
    EXPECT_EQ(WNetWrite(out, "hello", 5), 5);
    ASSERT_EQ(WNetSelectContext(server), server);
    char buffer[16] = {};
    EXPECT_EQ(WNetPeek(in, buffer, sizeof buffer), 5);
    EXPECT_EQ(WNetRead(in, buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(WNetRead(in, buffer, sizeof buffer), 0);
    EXPECT_TRUE(trace.Contains("WNetRead: type: 2, handle: 0x" ));

    ASSERT_EQ(WNetSelectContext(client), client);
    EXPECT_EQ(WNetDisConnect(out), 0);
    ASSERT_EQ(WNetSelectContext(server), server);
    EXPECT_EQ(WNetRead(in, buffer, sizeof buffer), -2);  // the peer closed
    EXPECT_EQ(WHardNetDisConnect(in), 0);
    EXPECT_EQ(WNetClose(0), 0);
    EXPECT_EQ(WNetGetContext(server)->listenHandle, -1);
}

TEST_F(Dispatch, DisconnectingHandleMinusOneTouchesNothing) {
    ASSERT_EQ(WNetGetFreeContext(), 0);
    WNetSetTypReseau(WNET_TYPE_TCP);
    TraceCapture trace;
    EXPECT_EQ(WNetDisConnect(-1), -1);
    EXPECT_EQ(WHardNetDisConnect(-1), -1);
    for (const auto& line : trace.lines()) EXPECT_EQ(line.find("WTCP"), std::string::npos) << line;
}

TEST_F(Dispatch, ASecondCloseDoesNotCloseAnotherSocket_Mended) {
    int port = 0;
    const int server = testsupport::OpenListeningContext(WNET_TYPE_TCP, &port);
    ASSERT_GE(server, 0);
    EXPECT_EQ(WNetClose(0), 0);
    // A new socket may take the old descriptor number: a second close of the
    // context (the one at exit) must leave it alone.
    auto other = netsim::Listener();
    ASSERT_TRUE(other.open());
    EXPECT_EQ(WNetClose(0), -1);
    auto link = netsim::ConnectLoopback(other.port(), 2000);
    EXPECT_NE(link, nullptr);
}

}  // namespace

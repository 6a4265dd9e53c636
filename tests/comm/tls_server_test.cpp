// TLS listening service of the program through the network dispatch, with
// its key (enciphered for the built-in key pair) and certificate in
// W00_0000/WCERT under the working directory: "openssl s_client" and
// scripted TLS clients connect, one pump thread serves each, data goes both
// ways; mutual authentication, silent and overflowing clients, successive
// clients beyond the table's size, and the refusals of the open.
#include <openssl/ssl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/network_dispatch.h"
#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_transport.h"
#include "core/trace.h"
#include "netsim/tcp_link.h"
#include "support/child_process.h"
#include "support/net_contexts.h"
#include "support/openssl_peer.h"
#include "support/tls_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::ChildProcess;
using testsupport::ReadWholeFile;
using testsupport::TempDir;
using testsupport::TestPki;
using testsupport::TraceCapture;
using testsupport::WriteWholeFile;

class TlsServer : public testsupport::TlsFixture {
protected:
    void SetUp() override {
        TlsFixture::SetUp();
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        ASSERT_EQ(chdir(work_.str().c_str()), 0);
        std::filesystem::create_directories("W00_0000/WCERT");
        Put("server.key", "server.key.enc");
        Put("server.crt", "localhost.crt");
        setenv("C_LOCAL", "c5", 1);
        WSysSetLoggerLevel("ktn_ssl", WLOG_DEBUG);
    }
    void TearDown() override {
        WSysSetLoggerLevel("ktn_ssl", WLOG_WARN);
        testsupport::FreeAllNetContexts();
        TlsFixture::TearDown();
        unsetenv("C_LOCAL");
        EXPECT_EQ(chdir(previous_), 0);
    }

    // A file of the server's certificate directory from a PKI file.
    static void Put(const std::string& name, const std::string& from) {
        WriteWholeFile("W00_0000/WCERT/" + name, ReadWholeFile(P(from)));
    }
    // Client CAs: the root under its hashed name (from "openssl rehash" of
    // the PKI's CA directory).
    static void AnnounceClientCertificates() {
        int copied = 0;
        for (const auto& entry : std::filesystem::directory_iterator(P("cadir"))) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 2 && name.substr(name.size() - 2) == ".0") {
                WriteWholeFile("W00_0000/WCERT/" + name, ReadWholeFile(entry.path().string()));
                ++copied;
            }
        }
        ASSERT_EQ(copied, 1);
    }

    // A listening TLS context: its number, the port in port_.
    int Listen() {
        const int n = testsupport::OpenListeningContext(WNET_TYPE_TLS, &port_);
        return n;
    }
    // Polls the accept until a client comes (10 s at most): its handle.
    int32_t Accept(int context, int32_t* station = nullptr) {
        int32_t handle = -1, number = -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            WNetSelectContext(context);
            if (WNetConnect(&handle, &number) == 0) break;
        }
        if (station != nullptr) *station = number;
        return handle;
    }
    static std::string ReadUntil(int32_t handle, const std::string& wanted, int* last = nullptr) {
        return testsupport::ReadUntil([handle](void* b, uint32_t n) { return WNetRead(handle, b, n); }, wanted, last);
    }
    // A scripted TLS client of the service (trusting the root), accepted on
    // the context: the link, its handle in *handle.
    std::unique_ptr<netsim::Link> TlsClientLink(const netsim::TlsContext& tls, int context, int32_t* handle,
                                                std::string* error) {
        auto link = netsim::ConnectLoopback(static_cast<uint16_t>(port_), 5000);
        *handle = link ? Accept(context) : -1;
        if (*handle < 0 || !link->startTlsClient(tls.get(), "localhost", 5000, error)) return nullptr;
        return link;
    }
    void StartClient(ChildProcess& client, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-CAfile", P("ca.crt"), "-servername", "localhost", "-quiet"};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_TRUE(testsupport::StartOpensslClient(client, static_cast<uint16_t>(port_), args));
    }

    TempDir work_;
    char previous_[4096] = {};
    int port_ = 0;
};

TEST_F(TlsServer, ServesAnOpensslClientBothWays) {
    TraceCapture trace;
    const int context = Listen();
    ASSERT_GE(context, 0);
    EXPECT_TRUE(trace.Contains("** INFO. ** WSSLImplOpenServer(): Mutual authentication deactivated"));
    ChildProcess client;
    StartClient(client);
    int32_t station = -1;
    const int32_t h = Accept(context, &station);
    ASSERT_GT(h, 0);
    EXPECT_EQ(station, 5);
    EXPECT_TRUE(trace.Contains("** INFO. ** WSSLImplConnect(): IP: 127.0.0.1"));
    ASSERT_TRUE(client.Write("ping from the till\n"));
    EXPECT_NE(ReadUntil(h, "ping from the till\n").find("ping from the till\n"), std::string::npos);
    ASSERT_EQ(WNetWrite(h, "pong\n", 5), 5);
    EXPECT_TRUE(client.WaitForOutput("pong", 10000)) << client.Output();
    EXPECT_EQ(WNetDisConnect(h), 1);
    EXPECT_EQ(client.WaitExit(10000), 0) << "the client sees the end of the connection";
}

// The listening service takes TLS 1.2 and 1.3 only, whatever the client
// offers, and its TLS 1.2 suites leave out DSS, RSA key exchange and CBC
// with SHA-1.
TEST_F(TlsServer, ClientsBelowTls12AreRefusedAndNoDssSuiteIsServed_Mended) {
    TraceCapture trace;
    const int context = Listen();
    ASSERT_GE(context, 0);
    comInfos* listening = WShared_GetOneCOM_INFOS(WNetGetContext(context)->listenHandle);
    ASSERT_NE(listening, nullptr);
    ASSERT_NE(listening->SslCtx, nullptr);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(listening->SslCtx), TLS1_2_VERSION);
    STACK_OF(SSL_CIPHER)* suites = SSL_CTX_get_ciphers(listening->SslCtx);
    for (int i = 0; i < sk_SSL_CIPHER_num(suites); ++i) {
        const SSL_CIPHER* suite = sk_SSL_CIPHER_value(suites, i);
        if (SSL_CIPHER_get_kx_nid(suite) == NID_kx_any) continue;  // a TLS 1.3 suite
        EXPECT_NE(SSL_CIPHER_get_auth_nid(suite), NID_auth_dss) << SSL_CIPHER_get_name(suite);
        EXPECT_NE(SSL_CIPHER_get_kx_nid(suite), NID_kx_rsa) << SSL_CIPHER_get_name(suite);
        EXPECT_TRUE(SSL_CIPHER_is_aead(suite)) << SSL_CIPHER_get_name(suite);
    }
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool served;
    } cases[] = {
        {"TLS 1.0", {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
        {"TLS 1.2 with RSA key exchange only", {"-tls1_2", "-cipher", "AES256-SHA"}, false},
        {"TLS 1.2 with DHE-DSS only", {"-tls1_2", "-cipher", "DHE-DSS-AES256-GCM-SHA384"}, false},
        {"TLS 1.2", {"-tls1_2"}, true},
        {"TLS 1.3", {"-tls1_3"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess client;
        StartClient(client, c.args);
        const int32_t h = Accept(context);
        ASSERT_GT(h, 0);
        if (c.served) {
            ASSERT_TRUE(client.Write("served\n"));
            EXPECT_NE(ReadUntil(h, "served\n").find("served\n"), std::string::npos);
        } else {
            int last = 0;
            EXPECT_EQ(ReadUntil(h, "", &last), "");
            EXPECT_EQ(last, -2) << "the handshake failed: the connection ends";
        }
        EXPECT_EQ(WNetDisConnect(h), 1);
        client.WaitExit(10000);
        EXPECT_TRUE(WSSLWaitPumpThreads(10000));
    }
}

TEST_F(TlsServer, WhatIsQueuedBeforeAnOrderlyDisconnectStillGoesOut_Mended) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    ChildProcess client;
    StartClient(client);
    const int32_t h = Accept(context);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(client.Write("hello\n"));
    ReadUntil(h, "hello\n");
    const std::string last = "last words of the server\n";
    ASSERT_EQ(WNetWrite(h, last.data(), static_cast<uint32_t>(last.size())), static_cast<int>(last.size()));
    EXPECT_EQ(WNetDisConnect(h), 1);
    EXPECT_TRUE(client.WaitForOutput(last, 10000)) << client.Output();
}

TEST_F(TlsServer, MutualAuthenticationRefusesClientsWithoutCertificate_Mended) {
    AnnounceClientCertificates();
    TraceCapture trace;
    const int context = Listen();
    ASSERT_GE(context, 0);
    EXPECT_TRUE(trace.Contains("** INFO. ** WSSLImplOpenServer(): Mutual authentication activated"));
    {
        ChildProcess anonymous;
        StartClient(anonymous);
        const int32_t h = Accept(context);
        ASSERT_GT(h, 0);
        int last = 0;
        ReadUntil(h, "", &last);
        EXPECT_EQ(last, -2) << "the handshake failed: the connection ends";
        EXPECT_TRUE(trace.Contains("-- ERROR -- KTN_SSL_Thread(): SSL_accept() returned an error:"));
        EXPECT_EQ(WNetDisConnect(h), 1);
    }
    ChildProcess known;
    StartClient(known, {"-cert", P("client.crt"), "-key", P("client.key")});
    const int32_t h = Accept(context);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(known.Write("with certificate\n"));
    EXPECT_NE(ReadUntil(h, "with certificate\n").find("with certificate\n"), std::string::npos);
    EXPECT_TRUE(trace.Contains("subject: /CN=caisse 7, issuer: /CN=ZNP Test Root"));
    EXPECT_EQ(WHardNetDisConnect(h), -2);
}

TEST_F(TlsServer, MoreThanNineSuccessiveClientsAreServed_Mended) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    netsim::TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.makeClient({"", "", P("ca.crt"), false, true}, &error)) << error;
    for (int i = 0; i < 14; ++i) {
        int32_t h = -1;
        auto link = TlsClientLink(tls, context, &h, &error);
        ASSERT_TRUE(link) << i << ": " << error;
        const std::string message = "client " + std::to_string(i);
        ASSERT_TRUE(link->sendAll(message));
        EXPECT_EQ(ReadUntil(h, message), message);
        ASSERT_EQ(WNetWrite(h, "ok", 2), 2);
        std::string answer;
        EXPECT_TRUE(link->receiveExactly(2, &answer, 5000)) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(WNetDisConnect(h), 1);
        } else {
            link->close();  // the client goes first this time
            int last = 0;
            ReadUntil(h, "", &last);
            EXPECT_EQ(last, -2) << i;
            EXPECT_EQ(WNetDisConnect(h), 1);
        }
        EXPECT_TRUE(WSSLWaitPumpThreads(10000)) << i;
    }
    EXPECT_EQ(WSharedFreeCount(), free_ - 1) << "only the listening entry is taken";
}

TEST_F(TlsServer, BytesSentBeforeTheClientClosedAreStillRead_Mended) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    netsim::TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.makeClient({"", "", P("ca.crt"), false, true}, &error)) << error;
    int32_t h = -1;
    auto link = TlsClientLink(tls, context, &h, &error);
    ASSERT_TRUE(link) << error;
    ASSERT_TRUE(link->sendAll("last request before leaving"));
    link->close();
    EXPECT_TRUE(WSSLWaitPumpThreads(10000)) << "the pump ends with the connection";
    int last = 0;
    EXPECT_EQ(ReadUntil(h, "", &last), "last request before leaving");
    EXPECT_EQ(last, -2);
    EXPECT_EQ(WNetDisConnect(h), 1);
}

TEST_F(TlsServer, AClientThatHangsUpDuringTheHandshakeEndsItsConnection) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    TraceCapture trace;
    auto link = netsim::ConnectLoopback(static_cast<uint16_t>(port_), 5000);
    ASSERT_TRUE(link);
    const int32_t h = Accept(context);
    ASSERT_GT(h, 0);
    link->close();
    EXPECT_TRUE(WSSLWaitPumpThreads(10000));
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTN_SSL_Thread(): SSL_accept() returned an error:"));
    int last = 0;
    EXPECT_EQ(ReadUntil(h, "", &last), "");
    EXPECT_EQ(last, -2) << "no connection is served after a failed handshake";
    EXPECT_EQ(WNetDisConnect(h), 1);
}

TEST_F(TlsServer, ASilentClientCannotHoldAThreadOrAnEntry_Mended) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    WTCPSetConnectTimeOut(0, 300000);
    TraceCapture trace;
    auto silent = netsim::ConnectLoopback(static_cast<uint16_t>(port_), 5000);
    ASSERT_TRUE(silent);
    const int32_t h = Accept(context);
    ASSERT_GT(h, 0);
    EXPECT_TRUE(WSSLWaitPumpThreads(10000));
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTN_SSL_Thread(): SSL_accept() sans reponse en 300 ms"));
    char buffer[8];
    EXPECT_EQ(WNetRead(h, buffer, sizeof buffer), -2);
    EXPECT_EQ(WNetDisConnect(h), 1);

    // A hard disconnect during a pending handshake ends its thread at once,
    // long before the handshake's own time-out.
    WTCPSetConnectTimeOut(600, 0);
    auto another = netsim::ConnectLoopback(static_cast<uint16_t>(port_), 5000);
    ASSERT_TRUE(another);
    const int32_t pending = Accept(context);
    ASSERT_GT(pending, 0);
    EXPECT_EQ(WHardNetDisConnect(pending), -2);
    EXPECT_TRUE(WSSLWaitPumpThreads(10000));
}

TEST_F(TlsServer, AClientOverflowingTheBufferIsStopped) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    netsim::TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.makeClient({"", "", P("ca.crt"), false, true}, &error)) << error;
    int32_t h = -1;
    auto link = TlsClientLink(tls, context, &h, &error);
    ASSERT_TRUE(link) << error;
    TraceCapture trace;
    ASSERT_TRUE(link->sendAll(std::string(WSHARED_BUFFER_SIZE + 5000, 'o')));
    EXPECT_TRUE(WSSLWaitPumpThreads(10000));
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTN_SSL_Thread(): No more space to store incoming bytes, drop bytes, stop "
                               "connection..."));
    // What was kept can still be read, then the link reads as ended.
    int last = 0;
    const std::string kept = ReadUntil(h, "", &last);
    EXPECT_LE(kept.size(), static_cast<size_t>(WSHARED_BUFFER_SIZE));
    EXPECT_EQ(last, -2);
    EXPECT_EQ(WNetDisConnect(h), 1);
}

TEST_F(TlsServer, AcceptsOnlyWhatComesAndKnownTills) {
    const int context = Listen();
    ASSERT_GE(context, 0);
    TraceCapture trace;
    int32_t handle = 0, station = 0;
    WNetSelectContext(context);
    EXPECT_EQ(WNetConnect(&handle, &station), -1) << "nobody waits";
    EXPECT_EQ(trace.count(), 0u);
    unsetenv("C_LOCAL");
    auto unknown = netsim::ConnectLoopback(static_cast<uint16_t>(port_), 5000);
    ASSERT_TRUE(unknown);
    for (int i = 0; i < 2000 && !trace.Contains("POS unknown"); ++i) WNetConnect(&handle, &station);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplConnect(): POS unknown"));
    EXPECT_EQ(handle, -1);
}

TEST_F(TlsServer, ALongServiceTextStillGivesResumableSessions_Mended) {
    // The port comes from the leading digits; the whole text names the
    // session-id context, cut to what the library takes. With client
    // certificates asked for, a session resumes only under such a context.
    AnnounceClientCertificates();
    const uint16_t port = netsim::UnusedLoopbackPort();
    const std::string service = std::to_string(port) + "-service-text-longer-than-the-context";
    const int32_t listening = WSSLImplOpenServerEx(service.c_str(), 5, 1, "");
    ASSERT_GT(listening, 0);
    netsim::TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.makeClient({P("client.crt"), P("client.key"), P("ca.crt"), false, true}, &error)) << error;
    SSL_SESSION* session = nullptr;
    for (int round = 0; round < 2; ++round) {
        auto link = netsim::ConnectLoopback(port, 5000);
        ASSERT_TRUE(link);
        int32_t station = -1;
        int32_t h = -1;
        for (int i = 0; i < 2000 && h < 0; ++i) h = WSSLImplConnect(listening, &station);
        ASSERT_GT(h, 0);
        ASSERT_TRUE(link->startTlsClient(tls.get(), "localhost", 5000, &error, session)) << round << ": " << error;
        EXPECT_EQ(link->tlsResumed(), round == 1) << round;
        ASSERT_EQ(WSSLImplWrite(h, "x", 1), 1);
        std::string got;
        EXPECT_TRUE(link->receiveExactly(1, &got, 5000));  // the session tickets come with it
        if (session != nullptr) SSL_SESSION_free(session);
        session = link->tlsSession();
        link->close();
        EXPECT_EQ(WSSLImplDisConnect(h), 1);
        EXPECT_TRUE(WSSLWaitPumpThreads(10000));
    }
    SSL_SESSION_free(session);
    EXPECT_EQ(WSSLImplDisConnect(listening), 0);
}

TEST_F(TlsServer, OpenRefusesUnusableFiles) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // name, PKI file ("" empty, "-" removed)
        std::string message;
    };
    const Case cases[] = {
        {"no key", {{"server.key", "-"}}, "-- ERROR -- WSSLImplOpenServer(): Private key file not found: file: "},
        {"empty key", {{"server.key", ""}}, "-- ERROR -- WSSLImplOpenServer(): Private key file not found: file: "},
        {"key in clear", {{"server.key", "server.key"}}, "-- ERROR -- WSSLImplOpenServer(): RSAKEY_Action() returned"},
        {"no certificate", {{"server.crt", "-"}}, "-- ERROR -- WSSLImplOpenServer(): Server certificate not found"},
        {"certificate of another key", {{"server.crt", "ca.crt"}},
         "-- ERROR -- WSSLImplOpenServer(): SSL_CTX_check_private_key() returned an error"},
        {"damaged CA", {{"a.0", "bad-second.crt"}},
         "-- ERROR -- WSSLImplOpenServer(): WSSL_CTX_check_ca_file() returned 0, incorrect CA kernel files"},
        {"client certificates from nowhere", {{"client.crt", "stranger.crt"}},
         "-- ERROR -- WSSLImplOpenServer(): WSSL_CTX_check_crt_file() returned an error, file: "},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all("W00_0000/WCERT");
        std::filesystem::create_directories("W00_0000/WCERT");
        Put("server.key", "server.key.enc");
        Put("server.crt", "localhost.crt");
        for (const auto& [name, from] : c.files) {
            if (from == "-")
                std::filesystem::remove("W00_0000/WCERT/" + name);
            else if (from.empty())
                WriteWholeFile("W00_0000/WCERT/" + name, "");
            else
                Put(name, from);
        }
        TraceCapture trace;
        EXPECT_EQ(WSSLImplOpenServerEx(std::to_string(netsim::UnusedLoopbackPort()).c_str(), 5, 1, ""), -1)
            << c.what;
        EXPECT_TRUE(trace.Contains(c.message)) << c.what;
        EXPECT_EQ(WSharedFreeCount(), free_) << c.what;
    }
}

}  // namespace

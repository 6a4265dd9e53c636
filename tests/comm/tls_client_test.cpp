// TLS client connections against "openssl s_server" with certificates made
// by the openssl command: data both ways, session resumption as the server
// sees it, the server name, the certificates refused and why, the client
// certificate with its enciphered key and the key cache, the SSL arguments,
// the host-certificate rules, bounded reads and writes, and entries and
// contexts given back on every close.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_certificates.h"
#include "comm/tls_transport.h"
#include "netsim/tcp_link.h"
#include "platform/clock.h"
#include "support/openssl_peer.h"
#include "support/rushing_clock.h"
#include "support/storage_cert.h"
#include "support/temp_dir.h"
#include "support/tls_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::OpensslServer;
using testsupport::TestPki;
using testsupport::TraceCapture;

constexpr const char* kGet = "GET / HTTP/1.0\r\n\r\n";

using testsupport::RushingClock;

class TlsClient : public testsupport::TlsFixture {
protected:
    // s_server with a certificate of the PKI and its key.
    static bool Serve(OpensslServer& server, const std::string& certificate, std::vector<std::string> more) {
        std::vector<std::string> args = {"-cert", P(certificate), "-key", P("server.key")};
        args.insert(args.end(), more.begin(), more.end());
        return server.Start(args);
    }

    static int32_t Open(const std::string& host, const std::string& service, const std::string& hostCert = "ca.crt",
                        const std::string& clientCert = "", const std::string& sslArguments = "",
                        const WSSLArgumentMap& map = {}, int32_t checkCert = 0, int32_t versionSSL = 0) {
        return WSSLImplOpenClientEx(host.c_str(), service.c_str(), 0, hostCert.empty() ? "" : P(hostCert).c_str(),
                                    clientCert.empty() ? "" : P(clientCert).c_str(), checkCert, versionSSL, nullptr,
                                    sslArguments.c_str(), &map);
    }

    static bool WriteAll(int32_t handle, const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const int n = WSSLImplWrite(handle, text.data() + done, static_cast<uint32_t>(text.size() - done));
            if (n < 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    static std::string ReadUntil(int32_t handle, const std::string& wanted) {
        return testsupport::ReadUntil([handle](void* b, uint32_t n) { return WSSLImplRead(handle, b, n); }, wanted);
    }

    // One page of "s_server -www": what it says of the connection.
    static std::string FetchPage(const std::string& service, const std::string& host = "localhost") {
        const int32_t h = Open(host, service);
        if (h < 0) return "no connection";
        std::string page;
        if (WriteAll(h, kGet)) page = ReadUntil(h, "");  // the server closes after the page
        WSSLImplDisConnect(h);
        return page;
    }

    static std::string PeerSubject(int32_t handle) {
        comInfos* e = WShared_GetOneCOM_INFOS(handle);
        X509* cert = SSL_get1_peer_certificate(e->Ssl.load());
        char text[256] = "";
        if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
        X509_free(cert);
        return text;
    }

};

TEST_F(TlsClient, ExchangesDataWithAnOpensslServer) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev"}));
    const int32_t h = Open("localhost", server.service());
    ASSERT_GT(h, 0);
    EXPECT_EQ(WShared_GetOneCOM_INFOS(h)->Type, COM_DIRECT);
    ASSERT_TRUE(WriteAll(h, "bonjour caisse 7\n"));
    EXPECT_NE(ReadUntil(h, "7 essiac ruojnob").find("7 essiac ruojnob"), std::string::npos);
    // Nothing more comes: a read gives 0 after its wait.
    char buffer[16];
    EXPECT_EQ(WSSLImplRead(h, buffer, sizeof buffer), 0);
    EXPECT_GE(WSSLImplDisConnect(h), 0);
}

TEST_F(TlsClient, TheSecondConnectResumesTheSessionOnce) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-www"}));
    EXPECT_NE(FetchPage(server.service()).find("New, TLS"), std::string::npos);
    EXPECT_NE(FetchPage(server.service()).find("Reused, TLS"), std::string::npos) << "seen by s_server";

    // The cached session goes to one connection only, and its close caches
    // the session again.
    const int32_t h = Open("localhost", server.service());
    ASSERT_GT(h, 0);
    SSL_SESSION* session = nullptr;
    EXPECT_EQ(WSSLSessionCacheTake("localhost", server.service().c_str(), &session), -1);
    ASSERT_TRUE(WriteAll(h, kGet));
    EXPECT_NE(ReadUntil(h, "").find("Reused, TLS"), std::string::npos);
    WSSLImplDisConnect(h);
    ASSERT_EQ(WSSLSessionCacheTake("localhost", server.service().c_str(), &session), 1);
    SSL_SESSION_free(session);
    EXPECT_NE(FetchPage(server.service()).find("New, TLS"), std::string::npos) << "nothing was left to resume";
}

TEST_F(TlsClient, TheServerNameChoosesAndChecksTheCertificate) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt",
                      {"-rev", "-servername", "other.example", "-cert2", P("other.crt"), "-key2", P("server.key")}));
    struct Case {
        const char* indicator;  // null: no map entry
        const char* subject;
    };
    const Case cases[] = {
        {nullptr, "/CN=localhost"},
        {"", "/CN=localhost"},  // an empty value names the host
        {"other.example", "/CN=other.example"},
    };
    for (const Case& c : cases) {
        WSSLArgumentMap map;
        if (c.indicator != nullptr) map["ServerNameIndicator"] = c.indicator;
        TraceCapture trace;
        const int32_t h = Open("localhost", server.service(), "ca.crt", "", "", map);
        ASSERT_GT(h, 0) << (c.indicator ? c.indicator : "(none)");
        EXPECT_EQ(PeerSubject(h), c.subject);
        EXPECT_TRUE(trace.Contains(std::string("Setup Server Name Indicator with value: ") +
                                   (c.indicator && *c.indicator ? c.indicator : "localhost")));
        WSSLImplDisConnect(h);
    }
}

TEST_F(TlsClient, CertificatesThatDoNotNameOrProveTheServerAreRefused_Mended) {
    struct Case {
        const char* certificate;
        std::vector<std::string> more;
        const char* host;
        const char* reason;  // null: accepted
    };
    const Case cases[] = {
        {"other.crt", {}, "localhost", "hostname mismatch"},
        {"expired.crt", {}, "localhost", "certificate has expired"},
        {"stranger.crt", {}, "localhost", "unable to get local issuer certificate"},
        {"localhost.crt", {}, "127.0.0.1", nullptr},  // the address is in the certificate
        {"leaf-inter.crt", {"-cert_chain", P("inter.crt")}, "localhost", nullptr},
    };
    for (const Case& c : cases) {
        OpensslServer server;
        ASSERT_TRUE(Serve(server, c.certificate, c.more)) << c.certificate;
        TraceCapture trace;
        const int32_t h = Open(c.host, server.service());
        if (c.reason == nullptr) {
            EXPECT_GT(h, 0) << c.certificate;
            if (h > 0) WSSLImplDisConnect(h);
            continue;
        }
        EXPECT_EQ(h, -1) << c.certificate;
        EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): SSL_connect():")) << c.certificate;
        EXPECT_TRUE(trace.Contains(std::string("-- ERROR -- WSSLImplOpenClient(): certificat refuse: ") + c.reason +
                                   ", host: " + c.host))
            << c.certificate;
    }
}

TEST_F(TlsClient, ClientCertificateWithItsEncipheredKeyAndTheKeyCache) {
    OpensslServer server;
    // TLS 1.2: the server decides on the client certificate within the
    // handshake.
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev", "-tls1_2", "-Verify", "1", "-CAfile", P("ca.crt")}));
    TraceCapture trace;
    EXPECT_EQ(Open("localhost", server.service()), -1) << "a client without certificate is refused";

    const int32_t h = Open("localhost", server.service(), "ca.crt", "client.crt");
    ASSERT_GT(h, 0);
    ASSERT_TRUE(WriteAll(h, "abc\n"));
    EXPECT_NE(ReadUntil(h, "cba").find("cba"), std::string::npos);
    WSSLImplDisConnect(h);

    // The key was deciphered once: without its file the same client opens
    // again, while the same certificate for another service needs the file.
    ASSERT_EQ(std::rename(P("client.crt.key").c_str(), P("client.crt.key.away").c_str()), 0);
    const int32_t again = Open("localhost", server.service(), "ca.crt", "client.crt");
    EXPECT_GT(again, 0);
    if (again > 0) WSSLImplDisConnect(again);
    OpensslServer other;
    ASSERT_TRUE(Serve(other, "localhost.crt", {"-rev"}));
    EXPECT_EQ(Open("localhost", other.service(), "ca.crt", "client.crt"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): Failed to open private key, file: " +
                               P("client.crt.key")));
    ASSERT_EQ(std::rename(P("client.crt.key.away").c_str(), P("client.crt.key").c_str()), 0);
    EXPECT_EQ(Open("localhost", server.service(), "ca.crt", "missing.crt"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClientEx(): Client certificate not found, file: " +
                               P("missing.crt")));
}

// Which servers the client reaches, by the server's versions and suites and
// the resource's TLS words: TLS 1.2 is the lowest version, suites with RSA
// key exchange or CBC with SHA-1 are offered only when "-cipher" names
// them, "-no_tls1_2" no longer leaves TLS 1.3 alone, "-tls1_3" does.
TEST_F(TlsClient, TlsWordsChooseVersionsAndSuitesAboveTheFloor_Mended) {
    // s_server of OpenSSL 3 serves TLS 1.0 and 1.1 only at security level 0.
    const std::vector<std::string> legacy = {"-cipher", "DEFAULT:@SECLEVEL=0"};
    struct Server {
        const char* name;
        std::vector<std::string> args;
    };
    const Server tls10{"TLS 1.0", {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}};
    const Server tls11{"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}};
    const Server tls12{"TLS 1.2", {"-tls1_2"}};
    const Server tls13{"TLS 1.3", {"-tls1_3"}};
    const Server rsaKx{"TLS 1.2, RSA key exchange only", {"-tls1_2", "-cipher", "AES256-SHA"}};
    const Server sha1Cbc{"TLS 1.2, DHE with CBC and SHA-1 only", {"-tls1_2", "-cipher", "DHE-RSA-AES128-SHA"}};
    std::vector<std::string> upTo12 = {"-no_tls1_3"};
    upTo12.insert(upTo12.end(), legacy.begin(), legacy.end());
    const Server anyLegacy{"TLS 1.0 to 1.2 at security level 0", upTo12};
    struct Case {
        const Server* server;
        const char* words;
        const char* version;  // negotiated; empty: no connection
        const char* suite;    // negotiated suite when it matters
    } cases[] = {
        {&tls10, "", "", ""},
        {&tls10, "-no_ssl3", "", ""},
        {&tls10, "-cipher DEFAULT:@SECLEVEL=0", "", ""},
        {&tls11, "", "", ""},
        {&tls11, "-no_tls1", "", ""},
        {&tls11, "-cipher DEFAULT:@SECLEVEL=0", "", ""},
        {&tls12, "", "TLSv1.2", ""},
        {&tls12, "-no_ssl3 -no_tls1", "TLSv1.2", ""},
        {&tls12, "-no_tls1_2", "TLSv1.2", ""},
        {&tls12, "-no_tls1_1 -no_tls1_2", "TLSv1.2", ""},
        {&tls12, "-tls1_3", "", ""},
        {&tls13, "", "TLSv1.3", ""},
        {&tls13, "-no_tls1_2", "TLSv1.3", ""},
        {&tls13, "-tls1_3", "TLSv1.3", ""},
        {&tls13, "-cipher AES256-SHA", "TLSv1.3", ""},
        {&rsaKx, "", "", ""},
        {&rsaKx, "-no_ssl3 -no_tls1", "", ""},
        {&rsaKx, "-cipher AES256-SHA", "TLSv1.2", "AES256-SHA"},
        {&rsaKx, "-cipher DEFAULT", "TLSv1.2", "AES256-SHA"},
        {&sha1Cbc, "", "", ""},
        {&sha1Cbc, "-cipher DHE-RSA-AES128-SHA", "TLSv1.2", "DHE-RSA-AES128-SHA"},
        {&anyLegacy, "", "TLSv1.2", ""},
        {&anyLegacy, "-no_tls1_2", "TLSv1.2", ""},
        {&anyLegacy, "-no_tls1 -no_tls1_1 -no_tls1_2", "TLSv1.2", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.server->name) + " / words \"" + c.words + "\"");
        OpensslServer server;
        ASSERT_TRUE(Serve(server, "localhost.crt", c.server->args));
        const int32_t h = Open("localhost", server.service(), "ca.crt", "", c.words);
        if (*c.version == '\0') {
            EXPECT_EQ(h, -1);
            if (h > 0) WSSLImplDisConnect(h);
            continue;
        }
        ASSERT_GT(h, 0);
        SSL* ssl = WShared_GetOneCOM_INFOS(h)->Ssl.load();
        EXPECT_STREQ(SSL_get_version(ssl), c.version);
        if (*c.suite != '\0') {
            EXPECT_STREQ(SSL_get_cipher_name(ssl), c.suite);
        }
        WSSLImplDisConnect(h);
    }
}

// What the client offers without "-cipher": no version below TLS 1.2, no
// suite with RSA key exchange, CBC with SHA-1 or DSS; and the words that
// cannot be applied refuse the open.
TEST_F(TlsClient, TheClientHelloHoldsOnlyForwardSecretAeadSuites_Mended) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev"}));
    const int32_t h = Open("localhost", server.service(), "ca.crt", "", "-no_ssl3 -no_tls1");
    ASSERT_GT(h, 0);
    SSL* ssl = WShared_GetOneCOM_INFOS(h)->Ssl.load();
    EXPECT_EQ(SSL_get_min_proto_version(ssl), TLS1_2_VERSION);
    STACK_OF(SSL_CIPHER)* offered = SSL_get_ciphers(ssl);
    ASSERT_NE(offered, nullptr);
    int tls12Suites = 0;
    for (int i = 0; i < sk_SSL_CIPHER_num(offered); ++i) {
        const SSL_CIPHER* suite = sk_SSL_CIPHER_value(offered, i);
        const std::string name = SSL_CIPHER_get_name(suite);
        if (SSL_CIPHER_get_kx_nid(suite) == NID_kx_any) continue;  // a TLS 1.3 suite
        ++tls12Suites;
        EXPECT_NE(SSL_CIPHER_get_kx_nid(suite), NID_kx_rsa) << name;
        EXPECT_NE(SSL_CIPHER_get_auth_nid(suite), NID_auth_dss) << name;
        EXPECT_TRUE(SSL_CIPHER_is_aead(suite)) << name;
    }
    EXPECT_GT(tls12Suites, 0);
    WSSLImplDisConnect(h);

    TraceCapture trace;
    EXPECT_EQ(Open("localhost", server.service(), "ca.crt", "", "-cipher"), -1);
    EXPECT_EQ(Open("localhost", server.service(), "ca.crt", "", "-cipher NO-SUCH-SUITE"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLApplyArguments(): liste de suites refusee: NO-SUCH-SUITE"));
}

TEST_F(TlsClient, HostCertificateRules) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev"}));
    const std::string s = server.service();
    {
        TraceCapture trace;
        EXPECT_EQ(Open("localhost", s, "", "", "", {}, 0, 1), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): host cert.:  ssl version: 1"));
    }
    {
        TraceCapture trace;
        EXPECT_EQ(Open("localhost", s, "missing.crt"), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): host cert.: " + P("missing.crt")));
    }
    {
        TraceCapture trace;
        EXPECT_EQ(Open("localhost", s, "bad-second.crt", "", "", {}, 1, 0), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): echec WSSL_CTX_check_ca_file() host old"));
    }
    // Checks and version 1: the directory of the host certificate has no
    // "*.0" file (not a failure) and the CA file itself is checked and used.
    const int32_t h = Open("localhost", s, "ca.crt", "", "", {}, 1, 1);
    EXPECT_GT(h, 0);
    if (h > 0) WSSLImplDisConnect(h);
    // The hashed directory alone, through a host certificate that is not there.
    const int32_t byDirectory = WSSLImplOpenClientEx("localhost", s.c_str(), 0, (P("cadir") + "/none.pem").c_str(),
                                                     "", 1, 1, nullptr, "", nullptr);
    EXPECT_GT(byDirectory, 0);
    if (byDirectory > 0) WSSLImplDisConnect(byDirectory);
}

// The context of a server configuration is set up once and taken again by
// the next connections, until a file it was built from changes: a CA file
// replaced, or a "*.0" file added to the CA directory, is read at the next
// open, never answered from the kept context.
TEST_F(TlsClient, TheContextOfAConfigurationIsKeptUntilItsFilesChange) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev"}));
    const std::string s = server.service();
    testsupport::TempDir trust;
    const std::string hostCert = trust.file("trusted.pem");
    // Rewritten through a new file and a rename, as a deployment does.
    const auto install = [&](const std::string& from, const std::string& to) {
        return testsupport::WriteWholeFile(to + ".new", testsupport::ReadWholeFile(P(from))) &&
               std::rename((to + ".new").c_str(), to.c_str()) == 0;
    };
    const auto open = [&](const std::string& cert, int32_t check, int32_t version) {
        return WSSLImplOpenClientEx("localhost", s.c_str(), 0, cert.c_str(), "", check, version, nullptr, "", nullptr);
    };
    const auto contextOf = [](int32_t h) { return SSL_get_SSL_CTX(WShared_GetOneCOM_INFOS(h)->Ssl.load()); };

    // s_server serves one connection at a time: each is closed before the
    // next, and a reference taken here keeps the first context's address
    // from being given to a new one.
    ASSERT_TRUE(install("ca.crt", hostCert));
    int32_t h = open(hostCert, 0, 0);
    ASSERT_GT(h, 0);
    SSL_CTX* kept = contextOf(h);
    SSL_CTX_up_ref(kept);
    WSSLImplDisConnect(h);
    h = open(hostCert, 0, 0);
    ASSERT_GT(h, 0);
    EXPECT_EQ(contextOf(h), kept) << "one context for one configuration";
    WSSLImplDisConnect(h);
    h = open(hostCert, 1, 0);
    ASSERT_GT(h, 0);
    EXPECT_NE(contextOf(h), kept) << "another check value is another configuration";
    WSSLImplDisConnect(h);
    SSL_CTX_free(kept);

    // The CA file now names a CA that did not sign the server: refused; the
    // right CA back, trusted again.
    ASSERT_TRUE(install("stranger-ca.crt", hostCert));
    {
        TraceCapture trace;
        EXPECT_EQ(open(hostCert, 0, 0), -1);
        EXPECT_TRUE(trace.Contains("certificat refuse: unable to get local issuer certificate"));
    }
    ASSERT_TRUE(install("ca.crt", hostCert));
    h = open(hostCert, 0, 0);
    EXPECT_GT(h, 0) << "the right CA back";
    if (h > 0) WSSLImplDisConnect(h);

    // A CA directory (check 1, version 1, a host certificate that is not
    // there): empty, nothing proves the server; the CA and its "*.0" name
    // added, the next open trusts it.
    testsupport::TempDir directory;
    const std::string absent = directory.file("none.pem");
    EXPECT_EQ(open(absent, 1, 1), -1);
    ASSERT_TRUE(install("ca.crt", directory.file("ca.crt")));
    ASSERT_EQ(std::system(("openssl rehash " + directory.str() + " 2>/dev/null").c_str()), 0);
    const int32_t byDirectory = open(absent, 1, 1);
    EXPECT_GT(byDirectory, 0);
    if (byDirectory > 0) WSSLImplDisConnect(byDirectory);

    // A configuration that fails is never kept: every open checks and says so.
    for (int i = 0; i < 2; ++i) {
        TraceCapture trace;
        EXPECT_EQ(open(P("bad-second.crt"), 1, 0), -1);
        EXPECT_TRUE(trace.Contains("echec WSSL_CTX_check_ca_file() host old")) << "open " << i + 1;
    }
}

TEST_F(TlsClient, ASilentServerCannotHoldTheHandshake_Mended) {
    netsim::Listener silent;
    ASSERT_TRUE(silent.open());
    RushingClock clock;
    plat::ScopedClock scoped(&clock);
    TraceCapture trace;
    EXPECT_EQ(Open("localhost", std::to_string(silent.port())), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): SSL_connect() sans reponse en 3000 ms"));
}

TEST_F(TlsClient, APeerThatHangsUpDuringTheHandshakeFailsTheOpen) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    std::thread hangUp([&] {
        auto link = listener.accept(5000);
        if (link) link->close();  // end of stream in the middle of the handshake
    });
    TraceCapture trace;
    EXPECT_EQ(Open("localhost", std::to_string(listener.port())), -1);
    hangUp.join();
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplOpenClient(): SSL_connect():"));
}

TEST_F(TlsClient, AWriteToAPeerThatNeverReadsEndsWithinItsBound_Mended) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open(0, 4, 4096));
    netsim::TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.makeServer({P("localhost.crt"), P("server.key"), "", false, true}, &error)) << error;
    std::unique_ptr<netsim::Link> peer;
    std::thread accepting([&] {
        peer = listener.accept(5000);
        if (peer) peer->startTlsServer(tls.get(), 5000, &error);
    });
    const int32_t h = Open("localhost", std::to_string(listener.port()));
    accepting.join();
    ASSERT_GT(h, 0);
    ASSERT_TRUE(peer && peer->tls());
    RushingClock clock;
    plat::ScopedClock scoped(&clock);
    const std::string block(1 << 20, 'z');
    int total = 0;
    int n = 0;
    TraceCapture trace;
    for (int i = 0; i < 64 && (n = WSSLImplWrite(h, block.data(), static_cast<uint32_t>(block.size()))) > 0; ++i)
        total += n;
    EXPECT_EQ(n, 0) << "the write gives up once the socket stays full past its bound";
    EXPECT_GT(total, 0);
    EXPECT_LT(total, 64 << 20);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplWrite():pas de connexion"));
    EXPECT_EQ(WSSLImplHardDisConnect(h), 0);
}

TEST_F(TlsClient, PeekShowsWhatCameWithoutTakingIt) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev"}));
    const int32_t h = Open("localhost", server.service());
    ASSERT_GT(h, 0);
    char buffer[64] = {};
    EXPECT_EQ(WSSLImplPeek(h, buffer, sizeof buffer), 0);
    ASSERT_TRUE(WriteAll(h, "xyz\n"));
    int peeked = 0;
    for (int i = 0; i < 500 && peeked <= 0; ++i) peeked = WSSLImplPeek(h, buffer, sizeof buffer);
    ASSERT_GT(peeked, 0);
    EXPECT_EQ(ReadUntil(h, "zyx\n"), "zyx\n") << "the peeked bytes are still there to read";
    WSSLImplDisConnect(h);
}

TEST_F(TlsClient, EveryCloseGivesTheEntryBack_Mended) {
    OpensslServer server;
    ASSERT_TRUE(Serve(server, "localhost.crt", {"-rev"}));
    // More opens than the table has entries: each close gives its entry back.
    for (int i = 0; i < 12; ++i) {
        const int32_t h = Open("localhost", server.service());
        ASSERT_GT(h, 0) << i;
        if (i % 3 == 0) {
            EXPECT_EQ(WSSLImplDisConnect(h), 0);
        } else if (i % 3 == 1) {
            EXPECT_EQ(WSSLImplHardDisConnect(h), 0);
        } else {
            EXPECT_EQ(WSSLImplClose(h), 0);
            EXPECT_EQ(WSSLImplDisConnect(h), 0);
        }
        EXPECT_EQ(WSharedFreeCount(), free_) << i;
    }
    EXPECT_EQ(WSSLImplPingServer("localhost", server.service().c_str(), 0, P("ca.crt").c_str(), "", 0, 0, nullptr),
              2);
    EXPECT_EQ(WSharedFreeCount(), free_) << "a ping leaves nothing open";
    EXPECT_EQ(WSSLImplPingServer("localhost", "1", 0, P("ca.crt").c_str(), "", 0, 0, nullptr), -1);
}

TEST_F(TlsClient, TheForwardersReachTheObjectChosen) {
    for (int flag : {1, 5}) {
        WSSLSetInterface(flag);
        EXPECT_EQ(&WSSLCurrentInterface(), &WSSLSharedInterface());
        TraceCapture trace;
        int32_t station = 0;
        EXPECT_EQ(Connect(1, &station), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLSharedConnect(): Not implemented"));
    }
    WSSLSetInterface(0);
    EXPECT_EQ(&WSSLCurrentInterface(), &WSSLImplInterface());
    TraceCapture trace;
    int32_t station = 0;
    EXPECT_EQ(Connect(0, &station), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLImplConnect : WShared_GetOneCOM_INFOS(0x0) returned NULL"));
}

TEST(TlsErrorNames, EveryCodeHasItsText) {
    EXPECT_STREQ(WSSLErrorName(0), "SSL_ERROR_NONE - The TLS/SSL I/O operation completed");
    EXPECT_STREQ(WSSLErrorName(6), "SSL_ERROR_ZERO_RETURN - The TLS/SSL connection has been closed");
    EXPECT_EQ(std::string(WSSLErrorName(8)).rfind("SSL_ERROR_WANT_ACCEPT", 0), 0u);
    EXPECT_STREQ(WSSLErrorName(9), "Undocumented error");
    EXPECT_STREQ(WSSLErrorName(-1), "Undocumented error");
}

}  // namespace

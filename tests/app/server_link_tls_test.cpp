// trv_71 end to end with payment servers over TLS: resources of network type
// 4 in "net" with their certificate settings, a maintenance request through
// the real POS link, the acquirer simulator answering over TLS with
// certificates made by the openssl command, and the answer back at the cash
// register; the fall-back to the backup when the principal's certificate is
// refused, the session resumed on the next connection, the client
// certificate, and servers redirected by the cash register under verified
// TLS.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/server_till.h"
#include "support/tls_fixture.h"

using testsupport::CertificateSettings;
using testsupport::RequestTags;
using testsupport::ServerTill;
using testsupport::TlsResource;

namespace {

const std::string kRequest = "{SS}R{PS}1{SV}s2{CD}c19{F}";

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ServerLinkTls : public testsupport::PkiSuite {
protected:
    // The simulator over TLS with this certificate (the key of every server
    // certificate), requiring a client certificate of the root CA when asked.
    static std::unique_ptr<netsim::AcquirerSim> StartTls(const std::string& certificate,
                                                         const std::string& scenario = "default answer 1500 reply\n",
                                                         bool requireClient = false) {
        netsim::TlsSettings tls;
        tls.certificate = P(certificate);
        tls.key = P("server.key");
        if (requireClient) {
            tls.caFile = P("ca.crt");
            tls.requireClientCertificate = true;
        }
        return testsupport::StartAcquirer(scenario, &tls);
    }
    // Verified TLS: the root CA in its hashed directory, every file checked.
    static std::vector<std::string> Verified(const std::string& clientCert = "") {
        return CertificateSettings(P("cadir/ca.crt"), 1, 1, clientCert);
    }
    static std::string Answer(const std::string& rs, int vway) {
        return "0|{SS}A{PS}1{SV}s2{CD}c19{RS}" + rs + "{VWAY}" + std::to_string(vway) + "{F}";
    }
    // The answer of a request the program could not take to any server.
    static std::string Unreachable(const ServerTill& till) {
        return "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" + std::to_string(till.station) + "{SV}s2{CD}c19{RS}31{F}";
    }
};

}  // namespace

TEST_F(ServerLinkTls, MaintenanceRequestGoesOverTlsAndTheNextConnectionResumesTheSession) {
    auto sim = StartTls("localhost.crt");
    ServerTill till(TlsResource(0, {{"localhost", sim->port(), ""}}) + Verified());
    for (int request = 0; request < 2; ++request) {
        SCOPED_TRACE(request);
        EXPECT_EQ(till.peer.Exchange(kRequest, 20000), Answer("01", 1)) << till.Trace();
        ASSERT_TRUE(sim->waitForLinksEnded(request + 1, 5000));
    }
    ASSERT_EQ(sim->greetings().size(), 2u);
    EXPECT_EQ(sim->greetings()[0].M, "BONJOUR");
    ASSERT_EQ(sim->requests().size(), 2u);
    EXPECT_EQ(sim->requests()[0].A, "1500");
    EXPECT_EQ(RequestTags(sim->requests()[0]), "{SS}R{PS}1{SV}s2{CD}c19{MF}" + std::string(36, '0') + "{DA4}RUDA{DAH}1{D91}0000{LTZ}0{VWAY}1{SNI}{F}");
    // Each connection ends with the closing message, read through TLS.
    EXPECT_TRUE(sim->waitForClosings(2, 5000));
    EXPECT_EQ(sim->tlsHandshakes(), 2);
    EXPECT_EQ(sim->tlsResumed(), 1) << "the second connection resumes the first one's session";
    EXPECT_EQ(sim->tlsFailures(), 0);
    EXPECT_NE(testsupport::ReadFileText(till.dir.file("ECHANGES.SRV"))
                  .find("##### CONNEXION SERVEUR PRINCIPAL [localhost / " + std::to_string(sim->port()) +
                        "] ETABLIE #####"),
              std::string::npos);
    EXPECT_NE(till.Trace().find("Tentative de connexion sur PRINCIPAL (4, -no_ssl3)"), std::string::npos);
}

// The echo asked at the greeting comes back through TLS; a server that
// then drops the link is a lost connection (result 31), never an answer.
TEST_F(ServerLinkTls, EchoOverTlsAndLostServer) {
    auto sim = StartTls("localhost.crt", "close\n");
    ServerTill till(TlsResource(0, {{"localhost", sim->port(), ""}}) + Verified() +
                    std::vector<std::string>{"[EO1_000:2000]"});
    EXPECT_EQ(till.peer.Exchange(kRequest, 20000), Unreachable(till)) << till.Trace();
    ASSERT_EQ(sim->greetings().size(), 1u);
    EXPECT_EQ(sim->greetings()[0].M, "ECHO_ASKED");
    EXPECT_EQ(sim->requests().size(), 1u);
    EXPECT_NE(till.Trace().find("Echo serveur recu"), std::string::npos) << till.Trace();
    EXPECT_NE(till.Trace().find("Connexion perdue"), std::string::npos) << till.Trace();
}

// The principal's certificate is refused (each reason with its trace line),
// the backup answers; a server name set for the principal names the
// certificate that the principal's host alone does not.
TEST_F(ServerLinkTls, RefusedPrincipalCertificateFallsBackToTheBackup) {
    struct Case {
        const char* what;
        const char* certificate;
        const char* serverName;
        int vway;
        const char* trace;
    } cases[] = {
        {"wrong name", "other.crt", "", 2, "certificat refuse: hostname mismatch, host: localhost"},
        {"expired", "expired.crt", "", 2, "certificat refuse: certificate has expired, host: localhost"},
        {"unknown CA", "stranger.crt", "", 2,
         "certificat refuse: unable to get local issuer certificate, host: localhost"},
        {"the server name names it", "other.crt", "other.example", 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto principal = StartTls(c.certificate);
        auto backup = StartTls("localhost.crt");
        ServerTill till(TlsResource(0, {{"localhost", principal->port(), c.serverName},
                                        {"localhost", backup->port(), ""}}) +
                        Verified());
        EXPECT_EQ(till.peer.Exchange(kRequest, 20000), Answer("01", c.vway)) << till.Trace();
        auto& answered = c.vway == 1 ? principal : backup;
        EXPECT_EQ(answered->requests().size(), 1u);
        EXPECT_EQ(answered->tlsHandshakes(), 1);
        if (c.trace != nullptr) {
            EXPECT_NE(till.Trace().find(c.trace), std::string::npos) << till.Trace();
            EXPECT_NE(till.Trace().find("CONNEXION ECHOUE PRINCIPAL"), std::string::npos);
            // The operator's line names the server, where it is and why.
            const std::string reason = std::string(c.trace).substr(0, std::string(c.trace).find(", host:"));
            const std::string line = "Connexion au serveur PRINCIPAL [localhost / " +
                                     std::to_string(principal->port()) + "] impossible: " + reason;
            EXPECT_NE(till.Trace().find(line), std::string::npos) << line;
            EXPECT_EQ(principal->requests().size(), 0u);
            EXPECT_EQ(principal->greetings().size(), 0u) << "nothing goes to a refused server";
        }
    }
}

TEST_F(ServerLinkTls, ClientCertificateIsPresentedWhenTheServerRequiresOne) {
    auto sim = StartTls("localhost.crt", "default answer 1500 reply\n", true);
    {
        ServerTill anonymous(TlsResource(0, {{"localhost", sim->port(), ""}}) + Verified());
        EXPECT_EQ(anonymous.peer.Exchange(kRequest, 20000), Unreachable(anonymous));
        EXPECT_TRUE(sim->waitForLinksEnded(1, 5000));
        EXPECT_EQ(sim->requests().size(), 0u);
    }
    // The certificate and, beside it, its key enciphered for the built-in key.
    ServerTill till(TlsResource(0, {{"localhost", sim->port(), ""}}) + Verified(P("client.crt")));
    EXPECT_EQ(till.peer.Exchange(kRequest, 20000), Answer("01", 1)) << till.Trace();
    EXPECT_EQ(sim->lastClientSubject(), "/CN=caisse 7");
    EXPECT_EQ(sim->requests().size(), 1u);
}

// Verified TLS: a server that the cash register names (HO1, SV1) must hold a
// certificate of the resource's authority that names the host it was given,
// or the server name set for the principal when there is one.
TEST_F(ServerLinkTls, RedirectedServerPassesTheSameCertificateChecks) {
    auto named = StartTls("localhost.crt");  // localhost and 127.0.0.1
    auto other = StartTls("other.crt");      // other.example
    netsim::RefusingPort configured;
    struct Case {
        const char* serverName;  // of the configured principal
        const char* host;        // given by the cash register
        bool toOther;
        const char* refusal;  // null: answered
    } cases[] = {
        {"", "localhost", true, "certificat refuse: hostname mismatch, host: localhost"},
        {"", "127.0.0.1", true, "certificat refuse: IP address mismatch, host: 127.0.0.1"},
        {"", "localhost", false, nullptr},
        {"", "127.0.0.1", false, nullptr},
        {"other.example", "localhost", false, "certificat refuse: hostname mismatch, host: other.example"},
        {"other.example", "127.0.0.1", true, nullptr},
    };
    std::unique_ptr<ServerTill> till;  // one per server name
    std::string tillServerName;
    for (const Case& c : cases) {
        const netsim::AcquirerSim& sim = c.toOther ? *other : *named;
        SCOPED_TRACE(std::string(c.serverName) + " " + c.host + ":" + (c.toOther ? "other.crt" : "localhost.crt"));
        if (!till || tillServerName != c.serverName) {
            till.reset();
            till = std::make_unique<ServerTill>(TlsResource(0, {{"localhost", configured.port(), c.serverName}}) +
                                                Verified());
            tillServerName = c.serverName;
        }
        const size_t requests = sim.requests().size();
        const size_t greetings = sim.greetings().size();
        const std::string answer = till->peer.Exchange(
            "{SS}R{PS}1{SV}s2{CD}c19{HO1}" + std::string(c.host) + "{SV1}" + std::to_string(sim.port()) + "{F}", 20000);
        EXPECT_EQ(answer, c.refusal != nullptr ? Unreachable(*till) : Answer("01", 1)) << till->Trace();
        const size_t reached = c.refusal != nullptr ? 0 : 1;
        EXPECT_EQ(sim.requests().size(), requests + reached);
        EXPECT_EQ(sim.greetings().size(), greetings + reached) << "nothing goes to a refused server";
        if (c.refusal != nullptr) {
            EXPECT_NE(till->Trace().find(c.refusal), std::string::npos) << till->Trace();
        }
    }
}

// Network resources read from "net" and the connection to their servers,
// in process, against the acquirer simulator on loopback ports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/connection_block.h"
#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "netsim/acquirer.h"
#include "netsim/tcp_link.h"
#include "periph/terminal_box.h"
#include "station/net_resources.h"
#include "station/text_field.h"
#include "support/server_session.h"
#include "support/trace_capture.h"

using testsupport::LoopbackResource;
using testsupport::ServerSession;
using testsupport::TraceCapture;

namespace {

std::unique_ptr<netsim::AcquirerSim> StartSim(const std::string& scenario = "") {
    std::string error;
    auto parsed = netsim::AcquirerScenario::Parse(scenario, &error);
    EXPECT_TRUE(parsed) << error;
    auto sim = std::make_unique<netsim::AcquirerSim>(parsed.value_or(netsim::AcquirerScenario{}));
    EXPECT_TRUE(sim->start());
    return sim;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Port(int port) { return std::to_string(port); }

using NetResources = ServerSession;

}  // namespace

TEST_F(NetResources, KeysOfOneResource) {
    const std::vector<std::string> lines = {
        "[NTY_000:2]", "[HO1_000:127.0.0.1]", "[SV1_000:1]",
        // Resource 5: three-digit keys win over plain ones, plain ones fill in.
        "[NTY_005:4]", "[NT2_005:2]", "[HO1_005:pay.example]", "[HO2_005:" + std::string(81, 'h') + "]",
        "[HO3_5:third.example]", "[SV1_005:7005]", "[SV1_5:9999]", "[SV2_5:7006]",
        "[LTY_005:" + std::string(20, 'L') + "]", "[TO1_005:2500]", "[EO1_005:300]", "[EOD_005:400]",
        "[S01_005:-no_tls1]", "[SNI1_005:front.example]", "[ClientCert:WCERT/client.crt]",
        "[HostCert:WCERT\\sub\\talvo_ca.pem]", "[CheckCert:1]", "[VersionSSL:1]",
        // Resource 6: no usable service of the principal server.
        "[NTY_006:2]", "[HO1_006:h6]", "[SV1_006:" + std::string(81, 's') + "]", "[LTY_006:SIX]"};
    Open(lines);
    ASSERT_EQ(TOC_LoadNetResource(context, 5), 0);
    const NetResource& r = context->netResources[5];
    EXPECT_STREQ(r.servers[0].host, "pay.example");
    EXPECT_STREQ(r.servers[1].host, "");  // over 80 characters: refused
    EXPECT_STREQ(r.servers[2].host, "third.example");
    EXPECT_STREQ(r.servers[0].service, "7005");
    EXPECT_STREQ(r.servers[1].service, "7006");
    EXPECT_EQ(r.servers[0].networkType, 4);
    EXPECT_EQ(r.servers[1].networkType, 2);
    EXPECT_EQ(r.servers[3].networkType, 4);
    EXPECT_STREQ(r.label, "TALVO");  // 20 characters: the default
    EXPECT_EQ(r.servers[0].timeOut, 2500u);
    EXPECT_EQ(r.servers[0].echoTimeOut, 300u);
    EXPECT_EQ(r.servers[3].echoTimeOut, 400u);
    EXPECT_STREQ(r.servers[0].sslOptions, "-no_tls1");
    EXPECT_STREQ(r.servers[1].sslOptions, "");          // TCP: nothing
    EXPECT_STREQ(r.servers[2].sslOptions, "-no_ssl3");  // TLS without S03
    EXPECT_STREQ(r.servers[0].sni, "front.example");
    EXPECT_STREQ(r.clientCert, "WCERT/client.crt");
    EXPECT_STREQ(r.hostCert, "WCERT/sub/talvo_ca.pem");
    EXPECT_EQ(r.checkCert, 1);
    EXPECT_EQ(r.versionSSL, 1);
    EXPECT_EQ(TOC_IsNetResourceLoaded(context, 5), 1);

    // Loading stops at SV1: what was read before it stays, nothing after.
    EXPECT_EQ(TOC_LoadNetResource(context, 6), 1);
    EXPECT_STREQ(context->netResources[6].servers[0].host, "h6");
    EXPECT_EQ(context->netResources[6].servers[0].networkType, 2);
    EXPECT_STREQ(context->netResources[6].label, "");
    EXPECT_EQ(TOC_IsNetResourceLoaded(context, 7), 0);
    EXPECT_EQ(TOC_LoadNetResource(context, 999), -1);
}

TEST_F(NetResources, OpeningLoadsTheResourceInUseAndNeedsTheDirectory) {
    Open(LoopbackResource(0, 4321) + LoopbackResource(1, 4322));
    EXPECT_EQ(TOC_IsNetResourceLoaded(context, 0), 1);
    EXPECT_EQ(TOC_IsNetResourceLoaded(context, 1), 0);  // on demand only
    EXPECT_STREQ(context->netResources[0].servers[0].service, "4321");
    EXPECT_EQ(context->connectionState, 0);
    // The text manager was moved to another file: the load reopens "net".
    ASSERT_EQ(KTS_SetDirectory(context->box, EFTOC_GetDirectory(context, "WPAF")), 1);
    ASSERT_EQ(KTS_SetFile(context->box, "znpop"), 1);
    EXPECT_EQ(TOC_LoadNetResource(context, 1), 0);
    EXPECT_STREQ(context->netResources[1].servers[0].service, "4322");

    std::filesystem::remove_all(tree.file("WCFG"));
    EXPECT_EQ(TOC_OpenNetResources(context), -3);
    EXPECT_EQ(TOC_OpenNetResources(nullptr), -1);
}

TEST_F(NetResources, AvailabilityFlags) {
    Open(LoopbackResource(0, 1));
    EXPECT_EQ(TOC_ClearServerFlags(), 0);
    EXPECT_TRUE(TOC_NoServerEnabled());
    EXPECT_EQ(TOC_EnableServer(3), 3);
    EXPECT_TRUE(TOC_IsOnlyServerEnabled(3));
    EXPECT_FALSE(TOC_IsOnlyServerEnabled(0));
    EXPECT_FALSE(TOC_IsOnlyServerEnabled(4));
    EXPECT_EQ(TOC_EnableServer(0), 0);
    EXPECT_FALSE(TOC_IsOnlyServerEnabled(3));
    EXPECT_EQ(TOC_DisableServer(0), 0);
    EXPECT_EQ(TOC_EnableServer(7), 7);  // out of range: nothing
    EXPECT_TRUE(TOC_IsOnlyServerEnabled(3));
    EXPECT_EQ(TOC_EnableAllServers(), 1);
    for (int flag : record->serverEnabled) EXPECT_EQ(flag, 1);
}

TEST_F(NetResources, GreetingAndEcho) {
    struct Case {
        const char* what;
        const char* label;
        int echoMs;
        const char* scenario;
        const char* greeting;  // body of the first message
        int connected;
        const char* trace;
    } cases[] = {
        {"TALVO without echo", "TALVO", 0, "", "BONJOUR", 1, "CONNEXION SERVEUR PRINCIPAL"},
        {"TALVO with echo", "talvo-net", 2000, "", "ECHO_ASKED", 1, "Echo serveur recu"},
        {"echo never comes", "TALVO", 300, "echo silent\n", "ECHO_ASKED", 0, "Pas d'echo recu du serveur"},
        {"echo of another type", "TALVO", 2000, "echo answer 1400\n", "ECHO_ASKED", 0,
         "Pas d'echo recu du serveur"},
        {"other label: empty greeting, echo still awaited", "OTHER", 2000, "answer 9997\n", "", 1,
         "Echo serveur recu"},
    };
    Open(LoopbackResource(0, 1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto sim = StartSim(c.scenario);
        NetResource& r = context->netResources[0];
        CopyField(r.label, c.label);
        CopyField(r.servers[0].service, Port(sim->port()).c_str());
        r.servers[0].echoTimeOut = static_cast<uint32_t>(c.echoMs);
        context->connectionState = 0;
        TraceCapture trace;
        EXPECT_EQ(TOC_ConnectServer(context, &r, &r.servers[0], "PRINCIPAL"), c.connected);
        EXPECT_TRUE(trace.Contains(c.trace));
        EXPECT_TRUE(trace.Contains("Tentative de connexion sur PRINCIPAL (2, )"));
        EXPECT_EQ(context->serverBox != nullptr, c.connected == 1);
        EXPECT_EQ(context->connectionState, c.connected);
        const bool arrived = c.greeting[0] != '\0' ? sim->waitForGreetings(1, 5000) : sim->waitForRequests(1, 5000);
        EXPECT_TRUE(arrived);
        std::vector<netsim::NetMessage> first = sim->greetings();
        if (first.empty()) first = sim->requests();
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].A, "1200");
        EXPECT_EQ(first[0].M, c.greeting);
        if (c.connected == 0) {
            EXPECT_TRUE(trace.Contains("CONNEXION ECHOUE PRINCIPAL"));
            EXPECT_TRUE(sim->waitForLinksEnded(1, 5000));
        }
        Options.ConnectedMode = 0;
        TOC_CloseServer(context);
    }
    EXPECT_NE(ServerLog().find("##### CONNEXION SERVEUR PRINCIPAL [127.0.0.1 / "), std::string::npos);
}

// A failed connection gives the operator one line with the server, its host,
// its port and why: the system's error, the time that passed, an echo that
// never came, a port that is no port.
TEST_F(NetResources, AFailedConnectionNamesHostPortAndReason) {
    netsim::RefusingPort refusing;
    netsim::FullBacklogListener full;
    ASSERT_TRUE(full.open());
    auto silent = StartSim("echo silent\n");
    struct Case {
        const char* what;
        std::string service;
        uint32_t timeOutMs, echoMs;
        std::string reason;
    };
    const Case cases[] = {
        {"nothing listens", Port(refusing.port()), 0, 0, std::strerror(ECONNREFUSED)},
        {"no answer to the connection", Port(full.port()), 200, 0, "pas de reponse en 200 ms"},
        {"no echo", Port(silent->port()), 0, 200, "pas d'echo du serveur en 200 ms"},
        {"a port that is no port", "99999", 0, 0, "port \"99999\" invalide"},
    };
    Open(LoopbackResource(0, 1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NetResource& r = context->netResources[0];
        CopyField(r.servers[0].service, c.service.c_str());
        r.servers[0].timeOut = c.timeOutMs;
        r.servers[0].echoTimeOut = c.echoMs;
        TraceCapture trace;
        EXPECT_EQ(TOC_ConnectServer(context, &r, &r.servers[0], "PRINCIPAL"), 0);
        EXPECT_TRUE(trace.Contains("CONNEXION ECHOUE PRINCIPAL"));
        const std::string line =
            "Connexion au serveur PRINCIPAL [127.0.0.1 / " + c.service + "] impossible: " + c.reason;
        EXPECT_TRUE(trace.Contains(line)) << line;
    }
}

TEST_F(NetResources, FallBackFromServerToServer) {
    netsim::RefusingPort refusing;
    auto backup = StartSim();
    Open({"[NTY_000:2]", "[HO1_000:127.0.0.1]", "[SV1_000:" + Port(refusing.port()) + "]",
          "[HO2_000:127.0.0.1]", "[SV2_000:" + Port(backup->port()) + "]"});
    TraceCapture trace;
    TOC_EnableAllServers();
    ASSERT_EQ(TOC_ConnectServers(context), 1);
    EXPECT_EQ(record->currentServer, 1);
    EXPECT_EQ(record->serverEnabled[0], 0);  // the principal is not tried again
    EXPECT_EQ(record->serverEnabled[1], 1);
    EXPECT_TRUE(trace.Contains("CONNEXION ECHOUE PRINCIPAL"));
    EXPECT_TRUE(backup->waitForGreetings(1, 5000));
    EXPECT_NE(ServerLog().find("##### CONNEXION SERVEUR SECOURS [127.0.0.1 / " + Port(backup->port()) +
                               "] ETABLIE #####"),
              std::string::npos);
    TOC_CloseServer(context);

    // A disabled backup is skipped: every server fails.
    record->serverEnabled[0] = 1;
    record->serverEnabled[1] = 0;
    EXPECT_EQ(TOC_ConnectServers(context), -1);
    EXPECT_EQ(backup->connections(), 1);
    EXPECT_NE(ServerLog().find("!!!!! CONNEXION SERVEURS [127.0.0.1 / " + Port(refusing.port()) +
                               "] [127.0.0.1 / " + Port(backup->port()) + "] [ / ] ECHOUEE !!!!!"),
              std::string::npos);
    EXPECT_TRUE(TOC_IsOnlyServerEnabled(3));  // the degraded server is tried apart
}

namespace {
void PressStop(char* text) {
    if (text != nullptr) text[0] = 'S';
}
}  // namespace

TEST_F(NetResources, StopKeyAbandonsBeforeTheNextServer) {
    netsim::RefusingPort refusing;
    auto backup = StartSim();
    Open({"[NTY_000:2]", "[HO1_000:127.0.0.1]", "[SV1_000:" + Port(refusing.port()) + "]",
          "[HO2_000:127.0.0.1]", "[SV2_000:" + Port(backup->port()) + "]"});
    EPAP_WaitCallbackFn kept = EPAP_GetWaitCallback();
    EPAP_SetWaitCallback(PressStop);
    TraceCapture trace;
    TOC_EnableAllServers();
    EXPECT_EQ(TOC_ConnectServers(context), -2);
    EPAP_SetWaitCallback(kept);
    EXPECT_TRUE(trace.Contains("Abandon recu lors de la phase de connexion au serveur."));
    EXPECT_EQ(backup->connections(), 0);
    EXPECT_EQ(record->serverEnabled[0], 0);
    EXPECT_EQ(record->serverEnabled[1], 1);
}

TEST_F(NetResources, DegradedServerOnlyWhenEnabled) {
    auto degraded = StartSim();
    Open({"[NTY_000:2]", "[HO1_000:127.0.0.1]", "[SV1_000:1]", "[HOD_000:127.0.0.1]",
          "[SVD_000:" + Port(degraded->port()) + "]"});
    TOC_ClearServerFlags();
    EXPECT_EQ(TOC_ConnectDegradedServer(context), -1);
    EXPECT_EQ(degraded->connections(), 0);
    TOC_EnableServer(3);
    EXPECT_EQ(TOC_ConnectDegradedServer(context), 1);
    EXPECT_EQ(record->currentServer, 3);
    EXPECT_TRUE(degraded->waitForGreetings(1, 5000));
}

TEST_F(NetResources, CloseSendsTheClosingMessageOfTalvoResources) {
    for (const char* label : {"TALVO", "OTHER"}) {
        SCOPED_TRACE(label);
        auto sim = StartSim();
        Open(LoopbackResource(0, sim->port(), label));
        TOC_EnableAllServers();
        ASSERT_EQ(TOC_ConnectServers(context), 1);
        // Connected mode keeps the connection.
        Options.ConnectedMode = 1;
        EXPECT_EQ(TOC_CloseServer(context), 1);
        EXPECT_NE(context->serverBox, nullptr);
        EXPECT_EQ(context->connectionState, 1);
        Options.ConnectedMode = 0;
        TraceCapture trace;
        EXPECT_EQ(TOC_CloseServer(context), 1);
        EXPECT_EQ(context->serverBox, nullptr);
        EXPECT_EQ(context->connectionState, 0);
        EXPECT_TRUE(sim->waitForLinksEnded(1, 5000));
        EXPECT_EQ(sim->closings(), std::string(label) == "TALVO" ? 1 : 0);
        EXPECT_TRUE(trace.Contains("##### CONNEXION SERVEUR CLOSE #####"));
        EXPECT_NE(ServerLog().find(std::string(80, '#') + "\n"), std::string::npos);
        TearDown();
    }
}

// Mended: a connection made while another is still open releases the first
// one (its socket and network context) instead of forgetting it.
TEST_F(NetResources, MendedReconnectingReleasesTheOpenConnection) {
    auto sim = StartSim();
    Open(LoopbackResource(0, sim->port()));
    for (int i = 0; i < 2 * WNET_CONTEXT_COUNT; ++i) {
        TOC_EnableAllServers();
        ASSERT_EQ(TOC_ConnectServers(context), 1) << "connection " << i;
    }
    EXPECT_TRUE(sim->waitForLinksEnded(2 * WNET_CONTEXT_COUNT - 1, 5000));
}

// A server redirected by the cash register goes through the connection of
// the resource, with the resource's certificate settings.
TEST_F(NetResources, RedirectedServerKeepsTheResourceCertificateSettings) {
    netsim::RefusingPort refusing;
    auto sim = StartSim();
    Open(LoopbackResource(0, refusing.port()) +
         std::vector<std::string>{"[HostCert:WCERT/talvo_ca.pem]", "[ClientCert:WCERT/till.crt]", "[VersionSSL:1]"});
    EXPECT_EQ(TOC_RedirectServer(context, 0, 0, "", nullptr), 1);  // empty: nothing
    EXPECT_EQ(context->netResources[0].servers[0].redirected, 0);
    EXPECT_EQ(TOC_RedirectServer(context, 0, 0, std::string(81, 'h').c_str(), "1"), -1);
    EXPECT_EQ(TOC_RedirectServer(context, 0, 3, "127.0.0.1", "1"), -1);  // the degraded server stays
    EXPECT_STREQ(context->netResources[0].servers[0].service, Port(refusing.port()).c_str());
    ASSERT_EQ(TOC_RedirectServer(context, 0, 0, "127.0.0.1", Port(sim->port()).c_str()), 1);
    EXPECT_EQ(context->netResources[0].servers[0].redirected, 1);

    TOC_EnableAllServers();
    ASSERT_EQ(TOC_ConnectServers(context), 1);
    const KTM_COMM* com = context->serverBox->box->com;
    const WNetContext* link = WNetGetContext(com->resource);
    EXPECT_STREQ(link->hostCert, "WCERT/talvo_ca.pem");
    EXPECT_STREQ(link->clientCert, "WCERT/till.crt");
    EXPECT_EQ(link->versionSSL, 1);
    EXPECT_EQ(link->checkCert, 0);
    TOC_CloseServer(context);
}

// Mended: with verified TLS (CheckCert 1) a server that the cash register
// redirected is reached over TLS or not at all, never in clear.
TEST_F(NetResources, MendedRedirectedServerNeedsTlsWhenCertificatesAreChecked) {
    auto sim = StartSim();
    Open(LoopbackResource(0, sim->port()) + std::vector<std::string>{"[CheckCert:1]"});
    TOC_EnableAllServers();
    ASSERT_EQ(TOC_ConnectServers(context), 1);  // configured by the operator: taken
    TOC_CloseServer(context);
    ASSERT_TRUE(sim->waitForLinksEnded(1, 5000));

    ASSERT_EQ(TOC_RedirectServer(context, 0, 0, "127.0.0.1", Port(sim->port()).c_str()), 1);
    TraceCapture trace;
    TOC_EnableAllServers();
    EXPECT_EQ(TOC_ConnectServers(context), -1);
    EXPECT_TRUE(trace.Contains("Serveur PRINCIPAL redirige par la caisse refuse: TLS verifie exige (type 2)"));
    EXPECT_EQ(sim->connections(), 1);
}

// The acquirer link over TLS at the message-box level: a client box opened
// over a TLS network context exchanges NET frames with the acquirer
// simulator running TLS (certificates made by the openssl command), resumes
// its session on the next box, presents its client certificate when the
// acquirer asks for one, and refuses an acquirer whose certificate does not
// name the host.
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "comm/connection_block.h"
#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "comm/shared_connections.h"
#include "comm/tls_transport.h"
#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/net_contexts.h"
#include "support/tls_fixture.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TestPki;
using testsupport::TraceCapture;

class TlsBoxes : public testsupport::TlsFixture {
protected:
    void SetUp() override {
        testsupport::FreeAllNetContexts();
        TlsFixture::SetUp();
    }
    void TearDown() override {
        Close();
        sim_.reset();
        testsupport::FreeAllNetContexts();
        TlsFixture::TearDown();
    }

    // The acquirer with TLS: its certificate and, when given, the CA of the
    // client certificates it requires.
    void StartAcquirer(const std::string& certificate, const std::string& clientCa = "",
                       const std::string& scenario = "default answer 1400 S=\"AUTORISATION OK\" echo\n") {
        std::string error;
        auto parsed = netsim::AcquirerScenario::Parse(scenario, &error);
        ASSERT_TRUE(parsed) << error;
        sim_ = std::make_unique<netsim::AcquirerSim>(*parsed);
        netsim::TlsSettings tls;
        tls.certificate = P(certificate);
        tls.key = P("server.key");
        tls.caFile = clientCa.empty() ? "" : P(clientCa);
        tls.requireClientCertificate = !clientCa.empty();
        ASSERT_TRUE(sim_->setTls(tls, &error)) << error;
        ASSERT_TRUE(sim_->start());
    }
    int Open(const std::string& clientCert = "", const std::string& serverName = "") {
        box_ = KTX_NewClientBox(1, 0);
        const std::string port = std::to_string(sim_->port());
        return KTX_ClientNetStart(box_, WNET_TYPE_TLS, port.c_str(), port.c_str(), "localhost", "localhost",
                                  clientCert.empty() ? "" : P(clientCert).c_str(), P("ca.crt").c_str(), 0, 0, "",
                                  serverName.c_str());
    }
    void Close(int hangUp = 0) {
        if (box_ != nullptr) KTX_CloseClientBox(box_, hangUp);
        box_ = nullptr;
    }
    // One request and the A rubrique of the answer ("(null)" for none).
    std::string Exchange(const std::string& body) {
        KTM_PutArg(box_->mess, 'K', "2", 1);
        KTM_PutArg(box_->mess, 'A', "1400", 1);
        std::memcpy(KTM_GetRequestMessage(box_->mess), body.data(), body.size());
        box_->mess->request->mLength = static_cast<uint32_t>(body.size());
        if (KTX_SomeThingToSend(box_->mess, 0) <= 0) return "(not sent)";
        KTX_SetTimeOutAndModes(box_, 5000, -1, -1);
        const char* a = KTX_SomeThingReceived(box_->mess, 0);
        return a != nullptr ? a : "(null)";
    }
    std::string AnswerBody() const {
        return std::string(reinterpret_cast<char*>(box_->mess->answer->M), box_->mess->answer->mLength);
    }

    std::unique_ptr<netsim::AcquirerSim> sim_;
    KTX_WSERV* box_ = nullptr;
};

TEST_F(TlsBoxes, ABoxExchangesFramesWithTheAcquirerOverTls) {
    StartAcquirer("localhost.crt");
    const int context = Open();
    ASSERT_GE(context, 0);
    EXPECT_EQ(WNetGetContext(context)->type, WNET_TYPE_TLS);
    for (int i = 0; i < 3; ++i) {
        const std::string body = "authorisation request " + std::to_string(i);
        EXPECT_EQ(Exchange(body), "1400") << i;
        EXPECT_STREQ(KTM_GetRubrique(box_->mess, 'S'), "AUTORISATION OK");
        EXPECT_EQ(AnswerBody(), body) << "the body went scrambled both ways";
    }
    ASSERT_TRUE(sim_->waitForRequests(3, 5000));
    EXPECT_EQ(sim_->requests().back().M, "authorisation request 2");
    EXPECT_EQ(sim_->tlsHandshakes(), 1);
    Close();
    EXPECT_TRUE(sim_->waitForLinksEnded(1, 5000));
}

TEST_F(TlsBoxes, TheNextBoxResumesTheSession) {
    StartAcquirer("localhost.crt");
    for (int box = 0; box < 3; ++box) {
        ASSERT_GE(Open(), 0) << box;
        EXPECT_EQ(Exchange("box " + std::to_string(box)), "1400") << box;
        Close();
        ASSERT_TRUE(sim_->waitForLinksEnded(box + 1, 5000)) << box;
    }
    EXPECT_EQ(sim_->tlsHandshakes(), 3);
    EXPECT_EQ(sim_->tlsResumed(), 2) << "every box after the first resumes";
}

TEST_F(TlsBoxes, TheAcquirerAsksForTheClientCertificate) {
    StartAcquirer("localhost.crt", "ca.crt");
    // Without a certificate the acquirer ends the link as soon as the
    // handshake reaches it: depending on when its alert comes, the request
    // cannot be sent or its answer is the lost link.
    if (Open() >= 0) {
        const std::string answer = Exchange("anonymous");
        EXPECT_TRUE(answer == "9999" || answer == "(not sent)") << answer;
    }
    Close(1);
    EXPECT_TRUE(sim_->waitForLinksEnded(1, 5000));
    EXPECT_EQ(sim_->tlsFailures(), 1);

    ASSERT_GE(Open("client.crt"), 0);
    EXPECT_EQ(Exchange("with certificate"), "1400");
    EXPECT_EQ(sim_->lastClientSubject(), "/CN=caisse 7");
}

TEST_F(TlsBoxes, AnAcquirerWhoseCertificateNamesAnotherHostIsRefused_Mended) {
    StartAcquirer("other.crt");
    TraceCapture trace;
    EXPECT_EQ(Open(), -1) << "both addresses refused";
    EXPECT_EQ(box_->com, nullptr) << "a failed start leaves nothing behind";
    EXPECT_TRUE(trace.Contains("certificat refuse: hostname mismatch, host: localhost"));
    Close();
    // Named by the server name indicator, the same certificate is the right one.
    ASSERT_GE(Open("", "other.example"), 0);
    EXPECT_EQ(Exchange("by name"), "1400");
}

}  // namespace

namespace {

// The simulator program by hand, with TLS: a client with its certificate
// gets its answers, and its next link resumes the session.
TEST_F(TlsBoxes, TheSimulatorProgramSpeaksTls) {
    testsupport::ChildProcess sim;
    ASSERT_TRUE(sim.Start({testsupport::BinPath("acquirer_sim"), "--tls-cert", P("localhost.crt"), "--tls-key",
                           P("server.key"), "--tls-ca", P("ca.crt"), "--tls-verify-client", "--answer", "1410"}));
    const std::string port = sim.WaitForMatch("acquirer_sim listening on 127\\.0\\.0\\.1:([0-9]+) \\(TLS\\)", 10000);
    ASSERT_FALSE(port.empty()) << sim.Output();
    netsim::TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.makeClient({P("client.crt"), P("client.key"), P("ca.crt"), false, true}, &error)) << error;
    SSL_SESSION* session = nullptr;
    for (int link = 0; link < 2; ++link) {
        auto till = netsim::ConnectLoopback(static_cast<uint16_t>(std::stoi(port)), 5000);
        ASSERT_TRUE(till);
        ASSERT_TRUE(till->startTlsClient(tls.get(), "localhost", 5000, &error, session)) << error;
        netsim::NetMessage request;
        request.K = "1";
        request.A = "1400";
        request.M = "request " + std::to_string(link);
        ASSERT_TRUE(till->sendAll(netsim::EncodeFrame(request)));
        netsim::FrameAssembler frames;
        std::optional<std::string> frame;
        for (int i = 0; i < 100 && !frame; ++i) {
            std::string bytes;
            if (till->receive(&bytes, 100) < 0) break;
            frames.feed(bytes.data(), bytes.size());
            frame = frames.next();
        }
        ASSERT_TRUE(frame) << link;
        const auto answer = netsim::DecodeFrame(*frame);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->A, "1410");
        if (session != nullptr) SSL_SESSION_free(session);
        session = till->tlsSession();
        till->close();
    }
    SSL_SESSION_free(session);
    EXPECT_TRUE(sim.WaitForOutput("session resumed, client /CN=caisse 7", 10000)) << sim.Output();
}

}  // namespace

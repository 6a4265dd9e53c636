// Message boxes: the NET frame on bytes alone (built and decoded), the
// rubrique setters and getters, and whole exchanges with the acquirer
// simulator over loopback TCP, including its misbehaviours.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/connection_block.h"
#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/param_file.h"
#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "netsim/tcp_link.h"
#include "support/net_contexts.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;

// The body XORed with scrambling key k from its first byte: computed here
// from the key table, apart from the scrambler itself.
std::string WithKey(const std::string& body, int k) {
    const ScrambleKey& key = ScrambleKeyTable().at(static_cast<size_t>(k - 1));
    std::string out = body;
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ key[i % key.size()]);
    return out;
}

std::string Framed(const std::string& body) {
    char header[8];
    std::snprintf(header, sizeof header, "%4.4X", static_cast<unsigned>(body.size() + 5));
    return std::string(header, 4) + std::string(1, '\0') + body;
}

struct MessDeleter {
    void operator()(KTM_WPRO* m) const { KTM_FreeMess(m); }
};
using Mess = std::unique_ptr<KTM_WPRO, MessDeleter>;

Mess NewMess() {
    int32_t stamp = -1;
    return Mess(KTM_NewMess(1, 1, nullptr, 0, &stamp));
}

void SetBody(KTM_WPRO* m, const std::string& body) {
    std::memcpy(KTM_GetRequestMessage(m), body.data(), body.size());
    m->request->mLength = static_cast<uint32_t>(body.size());
}

std::string FrameOf(KTM_WPRO* m, int n) { return std::string(reinterpret_cast<char*>(m->frame), static_cast<size_t>(n)); }

// Puts a received frame into the block and decodes it.
int Decode(KTM_WPRO* m, const std::string& frame) {
    std::memcpy(m->frame, frame.data(), std::min<size_t>(frame.size(), KTM_FRAME_SIZE));
    return NET_MapAnswer(m, static_cast<uint32_t>(frame.size()));
}

// ---------------------------------------------------------------------------
// NET frame on bytes alone
// ---------------------------------------------------------------------------

TEST(NetFrame, WorkedExampleIsByteExact) {
    Mess m = NewMess();
    ASSERT_TRUE(m);
    KTM_PutArg(m.get(), 'K', "1", 1);
    KTM_PutArg(m.get(), 'S', "AB", 1);
    KTM_PutArg(m.get(), 'A', "1200", 1);
    const std::string body("\x01\x02\x03\x04\x05", 5);
    SetBody(m.get(), body);
    const int n = NET_MAP_Request(m.get());
    ASSERT_EQ(n, 38);
    const std::string expected = std::string("0026", 4) + std::string(1, '\0') + "<K>1<F>" + "<S>AB<F>" + "<A>1200<F>" +
                                 "<M>" + WithKey(body, 1);
    EXPECT_EQ(FrameOf(m.get(), n), expected);
    EXPECT_EQ(m->request->totalLength, 38u);
    // The request half keeps its body in clear.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(KTM_GetRequestMessage(m.get())), 5), body);
}

TEST(NetFrame, FramesOfOtherHalves) {
    struct Case {
        const char* name;
        const char* K;
        const char* S;
        const char* U;
        const char* A;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {"A alone", "", "", "", "1200", "", Framed("<A>1200<F>")},
        {"U between S and A", "", "s", "u", "1400", "", Framed("<S>s<F><U>u<F><A>1400<F>")},
        {"no K: body as it is", "", "", "", "1400", "abc", Framed("<A>1400<F><M>abc")},
        {"K naming no key: body as it is", "7", "", "", "1400", "abc", Framed("<K>7<F><A>1400<F><M>abc")},
        {"K 06: key 6", "06", "", "", "", "hello", Framed("<K>06<F><M>" + WithKey("hello", 6))},
        {"nothing at all", "", "", "", "", "", Framed("")},
    };
    for (const auto& c : cases) {
        Mess m = NewMess();
        KTM_PutArg(m.get(), 'K', c.K, 1);
        KTM_PutArg(m.get(), 'S', c.S, 1);
        KTM_PutArg(m.get(), 'U', c.U, 1);
        KTM_PutArg(m.get(), 'A', c.A, 1);
        SetBody(m.get(), c.body);
        const int n = NET_MAP_Request(m.get());
        EXPECT_EQ(FrameOf(m.get(), n), c.expected) << c.name;
    }
}

TEST(NetFrame, BodyLengthBeyondTheRubriqueIsRefused_Mended) {
    Mess m = NewMess();
    m->request->mLength = KTM_M_MAX + 1;
    EXPECT_EQ(NET_MAP_Request(m.get()), -1);
    m->request->mLength = KTM_M_MAX;
    EXPECT_EQ(NET_MAP_Request(m.get()), static_cast<int>(5 + 3 + KTM_M_MAX));
}

TEST(NetFrame, DecodingAFullAnswer) {
    Mess m = NewMess();
    const std::string body("\x00\xFFpayload<K>9<F>", 16);
    const std::string frame = Framed("<K>2<F><S>status<F><U>user<F><A>1400<F><M>" + WithKey(body, 2));
    EXPECT_EQ(Decode(m.get(), frame), 16);
    EXPECT_STREQ(KTM_GetRubrique(m.get(), 'k'), "2");
    EXPECT_STREQ(KTM_GetRubrique(m.get(), 'S'), "status");
    EXPECT_STREQ(KTM_GetRubrique(m.get(), 'u'), "user");
    EXPECT_STREQ(KTM_GetRubrique(m.get(), 'A'), "1400");
    EXPECT_EQ(m->answer->mLength, 16u);
    EXPECT_EQ(m->answer->totalLength, frame.size() - 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(KTM_GetAnswerMessage(m.get())), 16), body);
    EXPECT_EQ(std::string(KTM_GetRubrique(m.get(), 'M'), 2), body.substr(0, 2));
    TraceCapture trace;
    EXPECT_EQ(KTM_GetRubrique(m.get(), 'Z'), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTM_GetRubrique(): Key 'Z' not found!"));
    EXPECT_EQ(KTM_GetRubrique(nullptr, 'A'), nullptr);
}

TEST(NetFrame, RubriquesAreLookedForBeforeTheBodyOnly) {
    Mess m = NewMess();
    EXPECT_EQ(Decode(m.get(), Framed("<A>1200<F><M>text with <K>5<F> and <A>9999<F>")), 32);
    EXPECT_STREQ(m->answer->A, "1200");
    EXPECT_STREQ(m->answer->K, "");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m->answer->M), 32), "text with <K>5<F> and <A>9999<F>");
}

TEST(NetFrame, AnAnswerKeepsNothingOfThePreviousOne_Mended) {
    Mess m = NewMess();
    ASSERT_GE(Decode(m.get(), Framed("<K>1<F><S>long status<F><U>user<F><A>1400<F><M>" + WithKey("abc", 1))), 0);
    ASSERT_STREQ(m->answer->U, "user");
    ASSERT_GE(Decode(m.get(), Framed("<S>ok<F><A>1410<F>")), 0);
    EXPECT_STREQ(m->answer->K, "");
    EXPECT_STREQ(m->answer->S, "ok");
    EXPECT_STREQ(m->answer->U, "");
    EXPECT_STREQ(m->answer->A, "1410");
    EXPECT_EQ(m->answer->mLength, 0u);
    EXPECT_EQ(m->answer->M[0], 0);
}

TEST(NetFrame, RefusedAnswers) {
    struct Case {
        const char* name;
        std::string frame;
        int result;
        const char* trace;
    };
    const std::string longK(129, 'k'), longS(1025, 's'), longU(33, 'u'), longA(11, 'a');
    const Case cases[] = {
        {"K without <F>", Framed("<S>s<F><K>1"), -3, nullptr},
        {"S without <F>", Framed("<S>abc"), -4, nullptr},
        {"U without <F>", Framed("<U>abc"), -5, nullptr},
        {"A without <F>", Framed("<A>1400<M>body<F>"), -3, nullptr},
        {"K of 129", Framed("<K>" + longK + "<F>"), -2,
         "-- ERROR -- NET_MapAnswer(): Message <K> too long, max. size: 128, message length: 129"},
        {"S of 1025", Framed("<S>" + longS + "<F>"), -2, "Message <S> too long, max. size: 1024, message length: 1025"},
        {"U of 33", Framed("<U>" + longU + "<F>"), -2, "Message <U> too long, max. size: 32, message length: 33"},
        {"A of 11", Framed("<A>" + longA + "<F>"), -2, "Message <A> too long, max. size: 10, message length: 11"},
        {"M of 38145", Framed("<A>1400<F><M>" + std::string(38145, 'm')), -2,
         "-- ERROR -- NET_MapAnswer(): Message <M> too long, max. size: 38144, message length: 38145"},
        {"shorter than a header", std::string("000", 3), -1, "Erreur Application Aucun Message"},
    };
    for (const auto& c : cases) {
        Mess m = NewMess();
        // A good answer first: a refused one must not leave it standing.
        ASSERT_GE(Decode(m.get(), Framed("<S>old<F><A>1400<F><M>old")), 0);
        TraceCapture trace;
        EXPECT_EQ(Decode(m.get(), c.frame), c.result) << c.name;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        }
        EXPECT_STREQ(m->answer->A, "") << c.name;
        EXPECT_STREQ(m->answer->S, "") << c.name;
        EXPECT_EQ(m->answer->mLength, 0u) << c.name;
    }
    Mess m = NewMess();
    TraceCapture trace;
    EXPECT_EQ(NET_MapAnswer(m.get(), 65537), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- NET_MapAnswer(): Message too long, max. size: 65536, message size: 65537"));
    EXPECT_EQ(NET_MapAnswer(m.get(), 0), -1);
    EXPECT_EQ(NET_MapAnswer(nullptr, 10), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- NET_MapAnswer(): null parameter : pNet"));
}

TEST(NetFrame, RubriquesAtTheirLimitsAreTakenWhole) {
    Mess m = NewMess();
    const std::string k(128, 'k'), s(1024, 's'), u(32, 'u'), a(10, '9'), body(38144, 'b');
    const int r = Decode(m.get(), Framed("<K>" + k + "<F><S>" + s + "<F><U>" + u + "<F><A>" + a + "<F><M>" + body));
    EXPECT_EQ(r, 38144);
    EXPECT_EQ(std::string(m->answer->K), k);
    EXPECT_EQ(std::string(m->answer->S), s);
    EXPECT_EQ(std::string(m->answer->U), u);
    EXPECT_EQ(std::string(m->answer->A), a);
}

TEST(NetFrame, RequestRubriquesAreSetReplacedAndAppended) {
    Mess m = NewMess();
    EXPECT_EQ(KTM_PutNextArg(m.get(), 's', "one", 1), 3);
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'S', "two", 0), 7);
    EXPECT_STREQ(m->request->S, "one:two");
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'S', "three", 1), 5);
    EXPECT_STREQ(m->request->S, "three");
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'U', "first", 2), 5);  // appending to an empty rubrique
    EXPECT_STREQ(m->request->U, "first");
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'S', nullptr, 1), 5);  // null: unchanged
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'm', "text body", 1), 9);
    EXPECT_EQ(m->request->mLength, 9u);
    EXPECT_EQ(KTM_PutArg(m.get(), 'a', "1400", 1), 0);
    EXPECT_STREQ(m->request->A, "1400");
    TraceCapture trace;
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'X', "x", 1), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTM_PutNextArg() : Erreur Application : Argument Incorrect"));
    EXPECT_EQ(KTM_PutNextArg(m.get(), 'M', "more", 0), -1);
    EXPECT_EQ(KTM_PutNextArg(nullptr, 'A', "x", 1), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTM_PutNextArg() : Erreur Application"));
    EXPECT_EQ(KTM_PutArg(nullptr, 'A', "x", 1), -1);
}

TEST(NetFrame, RequestValuesLongerThanTheirRubriqueAreRefused_Mended) {
    Mess m = NewMess();
    struct Case {
        char letter;
        size_t max;
    };
    for (const Case c : {Case{'K', KTM_K_MAX}, Case{'S', KTM_S_MAX}, Case{'U', KTM_U_MAX}, Case{'A', KTM_A_MAX},
                         Case{'M', KTM_M_MAX}}) {
        EXPECT_EQ(KTM_PutNextArg(m.get(), c.letter, std::string(c.max, 'v').c_str(), 1), static_cast<int>(c.max))
            << c.letter;
        EXPECT_EQ(KTM_PutNextArg(m.get(), c.letter, std::string(c.max + 1, 'w').c_str(), 1), -1) << c.letter;
        if (c.letter != 'M') {
            // An append that would overflow is refused as well.
            EXPECT_EQ(KTM_PutNextArg(m.get(), c.letter, "x", 0), -1) << c.letter;
        }
    }
    EXPECT_EQ(std::string(m->request->A), std::string(KTM_A_MAX, 'v'));
}

TEST(NetFrame, TerminalLinkBlocksFrameThroughTheirCallbacks) {
    Mess m = NewMess();
    KTM_BindTransportProtocol(
        m.get(), nullptr, nullptr, nullptr, nullptr,
        [](KTM_WPRO* b) {
            std::memcpy(b->frame, "\x02XPRO\x03", 6);
            return 6;
        },
        [](KTM_WPRO* b) {
            std::memcpy(b->answer->M, b->frame + 1, 3);
            std::strcpy(b->answer->A, "1200");
            return 3;
        });
    EXPECT_EQ(COM_MAP_Request(m.get()), 6);
    EXPECT_EQ(m->request->totalLength, 6u);
    std::memcpy(m->frame, "\x02" "abc\x03", 5);
    EXPECT_EQ(COM_MapAnswer(m.get(), 5), 3);
    EXPECT_EQ(m->answer->mLength, 3u);
    EXPECT_EQ(m->answer->totalLength, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m->answer->M), 3), "abc");
    m->BoxType = KTM_BOX_COM;
    EXPECT_EQ(KTM_MapAnswer(m.get(), 5), 3);
    TraceCapture trace;
    EXPECT_EQ(COM_MapAnswer(m.get(), 0xFFFFFFFFu), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- COM_MapAnswer(): Message length set to NO_MORE_UINT"));
    EXPECT_EQ(COM_MapAnswer(m.get(), 65537), -2);
    m->BoxType = 7;
    EXPECT_EQ(KTM_MapAnswer(m.get(), 5), -1);
    // Without a transport, a terminal-link block sends and receives nothing.
    m->BoxType = KTM_BOX_COM;
    EXPECT_EQ(KTM_SomeThingToSend(m.get()), -1);
    uint32_t length = 0;
    EXPECT_EQ(KTM_SomeThingReceived(m.get(), &length), nullptr);
}

TEST(NetFrame, BlockSettings) {
    Mess m = NewMess();
    EXPECT_EQ(m->timeOut, -1);
    EXPECT_EQ(m->id, -1);
    EXPECT_EQ(m->BoxType, KTM_BOX_NONE);
    EXPECT_EQ(KTM_SetTimeOut(m.get(), 2500), 0);
    EXPECT_EQ(m->timeOut, 2500);
    EXPECT_EQ(KTM_SetWaitMode(m.get(), 3), 0);
    EXPECT_EQ(KTM_SetLastMode(m.get(), 4), 0);
    EXPECT_EQ(KTM_BindTransportProtocol(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(KTM_SetTimeOut(nullptr, 1), -1);
    EXPECT_EQ(KTM_SetWaitMode(nullptr, 1), -1);
    EXPECT_EQ(KTM_SetLastMode(nullptr, 1), -1);
    EXPECT_EQ(KTM_SomeThingToSend(nullptr), 0);
    EXPECT_EQ(KTM_SomeThingReceived(nullptr, nullptr), nullptr);
    EXPECT_EQ(KTX_SomeThingToSend(nullptr, 0), -1);
    TraceCapture trace;
    EXPECT_EQ(KTX_SomeThingReceived(nullptr, 0), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KTX_SomeThingReceived] ProBox == NULL"));

    // An initial frame is kept with its length.
    int32_t stamp = 0x1234;
    Mess withFrame(KTM_NewMess(2, 1, "0005", 5, &stamp));
    EXPECT_EQ(stamp, 0x1234);
    EXPECT_EQ(withFrame->answer->totalLength, 5u);
    EXPECT_EQ(std::memcmp(withFrame->frame, "0005", 5), 0);
}

TEST(BoxSettings, TransportDescriptionAndModes) {
    EXPECT_EQ(KTX_SetTransDescription("XPRO/1/2"), 1);
    EXPECT_STREQ(KTX_GetTransDescription(), "XPRO/1/2");
    EXPECT_EQ(KTX_SetTransDescription(""), -1);
    EXPECT_STREQ(KTX_GetTransDescription(), "");
    EXPECT_EQ(KTX_SetTransDescription(std::string(1024, 'd').c_str()), 1);
    EXPECT_EQ(KTX_SetTransDescription(std::string(1025, 'd').c_str()), -1);
    EXPECT_STREQ(KTX_GetTransDescription(), "");

    KTX_WSERV* box = KTX_NewClientBox(3, 1);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(KTX_SetTimeOutAndModes(box, 100, 1, 1), -1);  // no message block yet
    int32_t stamp = -1;
    box->mess = KTM_NewMess(3, 1, nullptr, 0, &stamp);
    KTM_SetWaitMode(box->mess, 5);
    KTM_SetLastMode(box->mess, 6);
    EXPECT_EQ(KTX_SetTimeOutAndModes(box, -2, -1, -1), 0);
    EXPECT_EQ(box->mess->timeOut, -1);
    EXPECT_EQ(box->mess->waitMode, 5);
    EXPECT_EQ(box->mess->lastMode, 6);
    EXPECT_EQ(KTX_SetTimeOutAndModes(box, 700, 0, 2), 0);
    EXPECT_EQ(box->mess->timeOut, 700);
    EXPECT_EQ(box->mess->waitMode, 0);
    EXPECT_EQ(box->mess->lastMode, 2);

    KTX_WSERV_CAPS* caps = KTX_WSERV_NewCaps(box);
    ASSERT_NE(caps, nullptr);
    caps->receive = [](KTX_WSERV_CAPS*, int32_t mode) -> const char* { return mode == 4 ? "1410" : "x"; };
    caps->send = [](KTX_WSERV_CAPS*, int32_t mode) { return mode * 10; };
    EXPECT_STREQ(KTX_CapsSomeThingReceived(caps, 4), "1410");
    EXPECT_EQ(KTX_CapsSomeThingToSend(caps, 3), 30);
    EXPECT_EQ(KTX_WSERV_FreeCaps(caps), 1);
    EXPECT_EQ(KTX_WSERV_FreeCaps(nullptr), -1);
    EXPECT_EQ(KTX_CapsSomeThingReceived(nullptr, 0), nullptr);
    EXPECT_EQ(KTX_CapsSomeThingToSend(nullptr, 0), -1);
    EXPECT_EQ(KTX_CloseClientBox(box, 0), 0);
    EXPECT_EQ(KTX_CloseClientBox(nullptr, 0), -1);
    EXPECT_EQ(KTX_FreeBox(nullptr, 0), -1);
}

// ---------------------------------------------------------------------------
// Connection blocks
// ---------------------------------------------------------------------------

TEST(ConnectionBlock, PairsAndTexts) {
    int32_t stamp = -1;
    KTM_COMM* com = KTM_NewCom(12, 1, &stamp);
    ASSERT_NE(com, nullptr);
    EXPECT_GE(stamp, 0);
    EXPECT_LT(stamp, 86400000);
    EXPECT_EQ(com->resource, -1);
    EXPECT_EQ(com->handle, -1);
    EXPECT_EQ(com->lockHandle, -1);
    EXPECT_EQ(com->appId, 12);

    const std::string longFirst(60, 'f');
    EXPECT_EQ(KTM_NetSetAddres(com, longFirst.c_str(), "short"), 0);
    EXPECT_STREQ(com->address2, "short");
    EXPECT_EQ(KTM_NetSetAddres(com, "only", nullptr), 0);
    EXPECT_STREQ(com->address1, "only");
    EXPECT_STREQ(com->address2, "only");
    EXPECT_EQ(KTM_NetSetServices(com, "8000", ""), 0);
    EXPECT_STREQ(com->service2, "8000");
    EXPECT_EQ(KTM_NetSetPhone(com, "0102", "0304"), 0);
    EXPECT_STREQ(com->phone2, "0304");
    // Values beyond 80 characters are refused whole.
    EXPECT_EQ(KTM_NetSetAddres(com, std::string(81, 'x').c_str(), "y"), -1);
    EXPECT_STREQ(com->address1, "only");
    EXPECT_EQ(KTM_SetCmplData(com, std::string(81, 'c').c_str()), 0);
    EXPECT_STREQ(com->cmplData, "");
    EXPECT_EQ(KTM_SetCmplData(com, std::string(80, 'c').c_str()), 0);
    EXPECT_EQ(std::string(com->cmplData), std::string(80, 'c'));
    EXPECT_EQ(KTM_SetAcces(com, "user", ""), 0);
    EXPECT_STREQ(com->cmplData, "user");
    EXPECT_STREQ(com->password, "");
    // No communication resource exists yet.
    EXPECT_EQ(KTM_SetResource(com, 3, 21), -2);
    EXPECT_EQ(com->resource, 3);
    EXPECT_EQ(com->resConnType, 21);
    EXPECT_EQ(ClientComStart(com), -1);
    EXPECT_EQ(KTM_CloseCom(com, 1), 0);
    EXPECT_EQ(KTM_FreeCom(com), 0);

    TraceCapture trace;
    EXPECT_EQ(KTM_NetSetServices(nullptr, "a", "b"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTM_NetSetAddres : Ressource incoherente "));
    EXPECT_EQ(KTM_NetSetConnType(nullptr, 2), -1);
    EXPECT_EQ(KTM_NetSetPhone(nullptr, "a", "b"), -1);
    EXPECT_EQ(KTM_SetAcces(nullptr, "a", "b"), -1);
    EXPECT_EQ(KTM_SetCmplData(nullptr, "a"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- KTM_SetCmplData : Ressource incoherente "));
    EXPECT_EQ(KTM_CloseCom(nullptr, 0), -1);
}

// ---------------------------------------------------------------------------
// Boxes against the acquirer simulator
// ---------------------------------------------------------------------------

class BoxExchange : public ::testing::Test {
protected:
    std::unique_ptr<netsim::AcquirerSim> sim;
    KTX_WSERV* box = nullptr;

    void SetUp() override { testsupport::FreeAllNetContexts(); }
    void TearDown() override {
        if (box != nullptr) KTX_CloseClientBox(box, 1);
        sim.reset();
        testsupport::FreeAllNetContexts();
        unsetenv("C_LOCAL");
    }
    void Start(const std::string& scenario) {
        std::string error;
        auto parsed = netsim::AcquirerScenario::Parse(scenario, &error);
        ASSERT_TRUE(parsed) << error;
        sim = std::make_unique<netsim::AcquirerSim>(*parsed);
        ASSERT_TRUE(sim->start());
    }
    std::string Port() const { return std::to_string(sim->port()); }
    int Connect(const std::string& service1, const std::string& service2) {
        box = KTX_NewClientBox(1, 0);
        return KTX_ClientNetStart(box, WNET_TYPE_TCP, service1.c_str(), service2.c_str(), "127.0.0.1", "127.0.0.1", "",
                                  "", 0, 0, "", "");
    }
    KTM_WPRO* mess() const { return box->mess; }
    int Send(const char* type, const std::string& body = "request", const char* key = "1") {
        KTM_PutArg(mess(), 'K', key, 1);
        KTM_PutArg(mess(), 'A', type, 1);
        SetBody(mess(), body);
        return KTX_SomeThingToSend(mess(), 0);
    }
    // The A rubrique of the next frame, "(null)" for nothing.
    std::string Receive(long timeoutMs = 3000) {
        KTX_SetTimeOutAndModes(box, timeoutMs, -1, -1);
        const char* a = KTX_SomeThingReceived(mess(), 0);
        return a != nullptr ? a : "(null)";
    }
    std::string AnswerBody() const {
        return std::string(reinterpret_cast<char*>(box->mess->answer->M), box->mess->answer->mLength);
    }
};

TEST_F(BoxExchange, EachMessageTypeComesBackWithItsRubriques) {
    std::string scenario;
    const char* types[] = {"1400", "1200", "1410", "1500", "9995", "9996", "9997", "9998", "9999"};
    for (const char* t : types)
        scenario += std::string("answer ") + t + " S=\"status of " + t + "\" U=u" + t + " body=\"answer " + t + "\"\n";
    Start(scenario);
    ASSERT_GE(Connect(Port(), Port()), 0);
    EXPECT_EQ(box->com->alternate, 0);
    int exchanged = 0;
    for (const char* t : types) {
        const std::string body = std::string("request for ") + t;
        ASSERT_EQ(Send("1400", body, "3"), static_cast<int>(5 + 7 + 10 + 3 + body.size())) << t;
        EXPECT_EQ(Receive(), t);
        EXPECT_EQ(std::string(KTM_GetRubrique(mess(), 'S')), std::string("status of ") + t);
        EXPECT_EQ(std::string(KTM_GetRubrique(mess(), 'U')), std::string("u") + t);
        EXPECT_STREQ(KTM_GetRubrique(mess(), 'K'), "3");
        EXPECT_EQ(AnswerBody(), std::string("answer ") + t);
        ++exchanged;
        // What the acquirer read: the same rubriques, the body unscrambled.
        ASSERT_TRUE(sim->waitForRequests(static_cast<size_t>(exchanged), 2000));
        const netsim::NetMessage request = sim->requests().back();
        EXPECT_EQ(request.K, "3");
        EXPECT_EQ(request.A, "1400");
        EXPECT_EQ(request.M, body);
    }
}

TEST_F(BoxExchange, SimulatorMisbehaviours) {
    struct Case {
        const char* name;
        const char* scenario;
        long timeoutMs;
        std::vector<std::string> receives;  // A of each receive after one request
        bool stillInStep;                   // a further request is answered normally
    };
    const std::string longS = "answer 1400 long=S:2000\n";
    const Case cases[] = {
        {"answer cut in pieces", "answer 1400 split=3,10,20", 3000, {"1400"}, true},
        {"answer byte by byte", "answer 1410 bytewise gap=2", 3000, {"1410"}, true},
        {"slow answer", "answer 1200 delay=300", 3000, {"1200"}, true},
        {"silence: nothing on time-out", "silent", 300, {"(null)"}, true},
        {"two answers merged in one write", "answer 1400 copies=2", 3000, {"1400", "1400"}, true},
        {"over-long S: refused, link still in step", "answer 1400 long=S:2000", 3000, {""}, true},
        {"over-long body: refused", "answer 1400 long=M:40000", 3000, {""}, true},
        {"link closed", "close", 3000, {"9999"}, false},
        {"link reset", "reset", 3000, {"9999"}, false},
        {"answer then close", "answer 1500 then=close", 3000, {"1500", "9999"}, false},
        {"HTTP bytes", "raw 47 45 54 20 2F 20 48 54 54 50", 3000, {"9999"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(std::string(c.scenario) + "\ndefault answer 1200 body=next\n");
        ASSERT_GE(Connect(Port(), Port()), 0);
        ASSERT_GT(Send("1400"), 0);
        for (const auto& expected : c.receives) EXPECT_EQ(Receive(c.timeoutMs), expected);
        if (c.stillInStep) {
            ASSERT_GT(Send("1200"), 0);
            EXPECT_EQ(Receive(), "1200");
            EXPECT_EQ(AnswerBody(), "next");
        }
        KTX_CloseClientBox(box, 1);
        box = nullptr;
        sim.reset();
    }
}

TEST_F(BoxExchange, TheLostLinkTextIsRewrittenByEveryFailedReceive) {
    Start("close\n");
    ASSERT_GE(Connect(Port(), Port()), 0);
    ASSERT_GT(Send("1400"), 0);
    const char* first = KTX_SomeThingReceived(mess(), 0);
    ASSERT_STREQ(first, "9999");
    const_cast<char*>(first)[0] = 'X';  // a caller scribbles on it
    EXPECT_STREQ(KTX_SomeThingReceived(mess(), 0), "9999");
}

TEST_F(BoxExchange, SecondAddressWhenTheFirstRefuses) {
    Start("");
    const std::string closed = std::to_string(netsim::UnusedLoopbackPort());
    const int context = Connect(closed, Port());
    ASSERT_GE(context, 0);
    EXPECT_EQ(box->com->alternate, 1);
    EXPECT_EQ(box->mess->id, context);
    ASSERT_GT(Send("1200"), 0);
    EXPECT_EQ(Receive(), "1200");
}

TEST_F(BoxExchange, BothAddressesRefusingLeaveNothingBehind) {
    const std::string closed = std::to_string(netsim::UnusedLoopbackPort());
    for (int i = 0; i < WNET_CONTEXT_COUNT + 2; ++i) {
        KTX_WSERV* b = KTX_NewClientBox(1, i);
        EXPECT_EQ(KTX_ClientNetStart(b, WNET_TYPE_TCP, closed.c_str(), closed.c_str(), "127.0.0.1", "127.0.0.1", "", "",
                                     0, 0, "", ""),
                  -1);
        EXPECT_EQ(b->com, nullptr);
        EXPECT_EQ(b->mess, nullptr);
        KTX_CloseClientBox(b, 0);
    }
    // Every context is still free.
    EXPECT_EQ(WNetGetFreeContext(), 0);
    for (int n = 0; n < WNET_CONTEXT_COUNT; ++n) EXPECT_EQ(WNetGetContext(n)->type, WNET_TYPE_FREE);
}

TEST_F(BoxExchange, ClosingWithoutHangUpStillClosesTheSocketAndFreesTheContext_Mended) {
    Start("");
    const int context = Connect(Port(), Port());
    ASSERT_GE(context, 0);
    ASSERT_GT(Send("1200"), 0);
    EXPECT_EQ(Receive(), "1200");
    TraceCapture trace;
    EXPECT_EQ(KTX_ClientDisconnect(box, 0), 0);
    box = nullptr;
    EXPECT_TRUE(sim->waitForLinksEnded(1, 5000));
    EXPECT_EQ(WNetGetContext(context)->type, WNET_TYPE_FREE);
    EXPECT_TRUE(trace.Contains("KTX_ClientDisconnect(): WNetFreeContext has been called, resource: " +
                               std::to_string(context)));
}

TEST_F(BoxExchange, ServerBoxListensAcceptsAndClosesItsService_Mended) {
    setenv("C_LOCAL", "c7", 1);
    KTX_WSERV* server = KTX_NewBox(7, 1);
    ASSERT_NE(server, nullptr);
    int context = -1;
    std::string port;
    for (int attempt = 0; attempt < 20 && context < 0; ++attempt) {
        port = std::to_string(netsim::UnusedLoopbackPort());
        context = KTX_ServerNetStart(server, 2, WNET_TYPE_TCP, port.c_str(), "");
    }
    ASSERT_GE(context, 0);
    EXPECT_EQ(server->comStamp, 0x8000002);
    EXPECT_EQ(server->mess, nullptr);
    auto till = netsim::ConnectLoopback(static_cast<uint16_t>(std::stoi(port)), 2000);
    ASSERT_NE(till, nullptr);
    ASSERT_EQ(WNetSelectContext(context), context);
    int32_t handle = -1, station = -1;
    for (int i = 0; i < 200 && WNetConnect(&handle, &station) != 0; ++i) {
    }
    EXPECT_EQ(station, 7);
    EXPECT_EQ(WNetDisConnect(handle), 0);
    EXPECT_EQ(KTX_FreeBox(server, 0), 0);
    EXPECT_EQ(WNetGetContext(context)->type, WNET_TYPE_FREE);
    // The service is closed: nobody can connect any more.
    EXPECT_EQ(netsim::ConnectLoopback(static_cast<uint16_t>(std::stoi(port)), 500), nullptr);
}

TEST_F(BoxExchange, ServerServiceNames) {
    testsupport::NetTraceOn traceOn;
    struct Case {
        const char* service;
        int result;
        const char* opened;
    };
    const Case cases[] = {
        {"pay", -3, "port: pay_012"},
        {"W_SRV", -3, "port: W_SRV,"},
        {"wsrv", -3, "port: wsrv,"},
        {"", -1, nullptr},
    };
    for (const auto& c : cases) {
        KTX_WSERV* server = KTX_NewBox(12, 0);
        TraceCapture trace;
        EXPECT_EQ(KTX_ServerNetStart(server, 0, WNET_TYPE_TCP, c.service, ""), c.result) << c.service;
        if (c.opened != nullptr) {
            EXPECT_TRUE(trace.Contains(c.opened)) << c.service;
        }
        // A failed start keeps no connection block and no context.
        EXPECT_EQ(server->com, nullptr) << c.service;
        EXPECT_EQ(WNetGetContext(0)->type, WNET_TYPE_FREE) << c.service;
        KTX_FreeBox(server, 0);
    }
    int32_t stamp = -1;
    KTM_COMM* com = KTM_NewCom(12, 1, &stamp);
    KTM_NetSetServices(com, std::string(46, '9').c_str(), nullptr);
    EXPECT_EQ(KTM_NetOpenServer(com), -1);
    KTM_FreeCom(com);
}

}  // namespace

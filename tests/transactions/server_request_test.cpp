// The server request of a card transaction built on an open session: the
// identification tags (LT, UUID) replaced and never repeated, the card and
// candidate tags of stripe, chip and contactless reads, the proxy read, the
// option-driven tags and the contactless transaction number kept in "znpop".
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "core/card_masking.h"
#include "core/trace_front.h"
#include "netsim/net_frame.h"
#include "station/options.h"
#include "station/text_field.h"
#include "support/server_session.h"
#include "support/trace_capture.h"
#include "transactions/server_request.h"

using testsupport::TraceCapture;

namespace {

class ServerRequest : public testsupport::ServerSession {
protected:
    void SetUp() override {
        Open({});
        ClearCardRecords();
        record->clientMode = 0;
        record->nonCompletionReason = 0;
        CopyField(record->service, "s0");
        CopyField(record->command, "c1");
        CopyField(record->titleId, "ZNP_DSP_TITLE_DEBIT");
        CopyField(context->transactionRequest, "{SS}R{PS}7{SV}s0{CD}c1{D10}1500{D0}978{F}");
        context->serverRequest[0] = '\0';
        context->ticketTag = 3;
    }
    void TearDown() override {
        if (Options.AdditionalTags != nullptr) {
            std::free(Options.AdditionalTags);
            Options.AdditionalTags = nullptr;
        }
        if (Options.ConditionalAdditionalTags != nullptr) {
            std::free(Options.ConditionalAdditionalTags);
            Options.ConditionalAdditionalTags = nullptr;
        }
        ServerSession::TearDown();
    }
    void Read(int technology, const char* eventData) {
        CardReadRecord& card = record->cardReadRecord;
        card.technology = technology;
        card.presentCount = 1;
        card.dataValid = 1;
        CopyField(card.eventData, eventData);
        card.eventLength = static_cast<int32_t>(std::strlen(eventData));
    }
    // One candidate with its mandatory fields.
    void OneCandidate() {
        TerminalResultArea& a = record->terminalResultArea;
        a.candidateCount = 1;
        CopyField(a.candidates[0], "A0000000031010");
        a.applicationCodeCount = 1;
        CopyField(a.applicationCodes[0], "0001");
        a.priorityCount = 1;
        a.priorities[0] = 1;
    }
    std::string Request() const { return context->serverRequest; }
    static size_t Count(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
    // "<absent>" tells a missing tag from an empty one.
    static std::string Value(const std::string& message, const std::string& code) {
        if (message.find("{" + code + "}") == std::string::npos) return "<absent>";
        return netsim::TagValue(message, code);
    }
};

}  // namespace

TEST_F(ServerRequest, StripeReadWithIdentificationTags) {
    Read(2, "4111111111111111D3012101");
    CopyField(record->cardReadRecord.track3Data, "0123456789");
    Options.TestCardMode = 1;
    ASSERT_EQ(BuildServerRequest(), 0);
    const std::string r = Request();
    EXPECT_EQ(r.rfind("{SS}R{PS}7{SV}s0{CD}c1{D10}1500{D0}978{ZNP}13.0.26.000000_Nov 24 2023", 0), 0u) << r;
    EXPECT_TRUE(std::regex_match(Value(r, "LT"), std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3})")))
        << Value(r, "LT");
    EXPECT_EQ(Value(r, "UUID").size(), 36u);
    EXPECT_EQ(Value(r, "TC1"), "2");
    EXPECT_EQ(Value(r, "TC3"), "4111111111111111D3012101");
    EXPECT_EQ(Value(r, "D6K"), "0123456789");
    EXPECT_EQ(Value(r, "ME"), std::to_string(context->echoMode));
    EXPECT_EQ(Value(r, "TT"), "3");
    EXPECT_EQ(Value(r, "D13"), "1");
    EXPECT_EQ(Value(r, "ECM"), "<absent>");
    EXPECT_EQ(r.substr(r.size() - 3), "{F}");
    // The copy the answer check compares with.
    EXPECT_STREQ(context->sentServerRequest, context->serverRequest);
    EXPECT_STREQ(context->posRequest, "");

    // Built again (the request of a next server): LT and UUID replaced, not repeated.
    const std::string firstUuid = Value(r, "UUID");
    ASSERT_EQ(BuildServerRequest(), 0);
    const std::string again = Request();
    EXPECT_EQ(Count(again, "{UUID}"), 1u);
    EXPECT_EQ(Count(again, "{LT}"), 1u);
    EXPECT_NE(Value(again, "UUID"), firstUuid);
}

TEST_F(ServerRequest, RequestHoldingD13AndD90KeepsThem) {
    CopyField(context->transactionRequest, "{SS}R{PS}7{SV}s0{CD}c1{D13}0{D90}0042{UUID}old{LT}old{F}");
    Read(2, "4111111111111111D3012101");
    Options.TestCardMode = 1;
    ASSERT_EQ(BuildServerRequest(), 0);
    const std::string r = Request();
    EXPECT_EQ(Count(r, "{D13}"), 1u);
    EXPECT_EQ(Value(r, "D13"), "0");
    EXPECT_EQ(Count(r, "{UUID}"), 1u);
    EXPECT_NE(Value(r, "UUID"), "old");
    EXPECT_NE(Value(r, "LT"), "old");
    EXPECT_STREQ(Options.NumTrsMonCaisse, "0042");
    EXPECT_EQ(record->posCounterOrigin, 16);
    // The next request without D90 gets the stored counter.
    CopyField(context->transactionRequest, "{SS}R{PS}7{SV}s0{CD}c1{F}");
    context->serverRequest[0] = '\0';
    ASSERT_EQ(BuildServerRequest(), 0);
    EXPECT_EQ(Value(Request(), "D90"), "0042");
    EXPECT_EQ(record->posCounterOrigin, 1);
}

TEST_F(ServerRequest, ChipCandidateWithGpoDataReplacesTc1) {
    Read(4, "A0000000031010");
    OneCandidate();
    auto& p = record->terminalResultArea.perCandidate[0];
    const unsigned char gpo[] = {0x77, 0x0A, 0x82, 0x02};
    std::memcpy(p.gpo, gpo, sizeof gpo);
    p.gpoLength = sizeof gpo;
    const unsigned char track2[] = {0x47, 0x61, 0x73, 0x90, 0x01, 0x01, 0x00, 0x10, 0xD3, 0x01, 0x22, 0x01};
    std::memcpy(p.track2, track2, sizeof track2);
    p.track2Length = sizeof track2;
    const unsigned char gac[] = {0x9F, 0x27, 0x01, 0x80};
    std::memcpy(p.generateAc, gac, sizeof gac);
    p.generateAcLength = sizeof gac;
    ASSERT_EQ(BuildServerRequest(), 0);
    const std::string r = Request();
    // The card's TC1 is disabled, "10" follows.
    EXPECT_EQ(Count(r, "{TC1}"), 1u);
    EXPECT_EQ(Count(r, "{!C1}4"), 1u);
    EXPECT_EQ(Value(r, "TC1"), "10");
    EXPECT_EQ(Value(r, "MD838"), "A0000000031010");
    EXPECT_EQ(Value(r, "TC4"), "0001");
    EXPECT_EQ(Value(r, "MD861"), "1");
    EXPECT_EQ(Value(r, "CSGPO"), "770a8202");
    EXPECT_EQ(Value(r, "CSGAC"), "9f270180");
    EXPECT_EQ(Value(r, "D2F"), "4761739001010010D3012201");
    EXPECT_EQ(Value(r, "CSRED"), "<absent>");
}

TEST_F(ServerRequest, CandidateFieldsMissing) {
    struct Case {
        const char* what;
        int technology;
        bool aid;
        int codeCount;
        int priorityCount;
        bool ctls9f28;
        int expected;
        const char* trace;
    } cases[] = {
        {"AID missing", 4, false, 1, 1, false, 1, "Creation de la requete serveur : AID manquant"},
        {"application code missing", 4, true, -1, 1, false, 1,
         "Creation de la requete serveur : Code Application manquant"},
        {"priority missing on a chip read", 4, true, 1, -1, false, 1, "Creation de la requete serveur : API manquant"},
        {"priority missing, contactless ending 9F 28", 10, true, 1, -1, true, 0,
         "Creation de la requete serveur : API manquant mais optionnel"},
        {"priority missing, contactless without 9F 28", 10, true, 1, -1, false, 1,
         "Creation de la requete serveur : API manquant"},
        {"stripe read: no candidate tags", 2, false, -1, -1, false, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearCardRecords();
        context->serverRequest[0] = '\0';
        Read(c.technology, "4111111111111111D3012101");
        OneCandidate();
        TerminalResultArea& a = record->terminalResultArea;
        if (!c.aid) a.candidates[0][0] = '\0';
        a.applicationCodeCount = c.codeCount;
        a.priorityCount = c.priorityCount;
        if (c.ctls9f28) {
            auto& ctls = record->cardReadRecord.ctlsData;
            ctls.bytes[0] = 0x9F;
            ctls.bytes[1] = 0x28;
            ctls.length = 2;
        }
        TraceCapture trace;
        EXPECT_EQ(BuildServerRequest(), c.expected);
        if (c.trace != nullptr) {
        EXPECT_TRUE(trace.Contains(c.trace));
        }
        if (c.expected == 1) {
            EXPECT_TRUE(trace.Contains("Echec mise en place de la liste des candidats"));
        }
    }
}

TEST_F(ServerRequest, ProxyReadGoesWithClientMode) {
    // The keyboard read of the proxy mode, which reaches the server directly.
    Read(0, "9999999999999999D3012");
    record->clientMode = 1;
    CopyField(record->titleId, "ZNP_DSP_USER_WAIT_FOR");
    ASSERT_EQ(BuildServerRequest(), 0);
    const std::string r = Request();
    EXPECT_EQ(Value(r, "ECM"), "1");
    EXPECT_EQ(Value(r, "TC3"), "<absent>");  // not a card title: no card tags
    CopyField(record->titleId, "ZNP_DSP_TITLE_SPECIFIC_X_OPTIONY");
    context->serverRequest[0] = '\0';
    ASSERT_EQ(BuildServerRequest(), 0);
    EXPECT_EQ(Value(Request(), "TC3"), "9999999999999999D3012");
    EXPECT_EQ(Value(Request(), "TC1"), "0");
}

TEST_F(ServerRequest, ContactlessNumberWrapsAndIsKeptInTheOptionsFile) {
    CopyField(Options.TransactionNumber, "998");
    EXPECT_EQ(AdvanceTransactionNumber(), 999);
    EXPECT_EQ(AdvanceTransactionNumber(), 1);
    EXPECT_STREQ(Options.TransactionNumber, "001");
    // Read back from "znpop".
    CopyField(Options.TransactionNumber, "555");
    TOC_LoadOptions();
    EXPECT_STREQ(Options.TransactionNumber, "001");
    Read(10, "");
    ASSERT_EQ(BuildServerRequest(), 0);
    EXPECT_EQ(Value(Request(), "D17"), "001001");
    record->nonCompletionReason = 3;
    Options.DonationVersion = 2;
    context->serverRequest[0] = '\0';
    ASSERT_EQ(BuildServerRequest(), 0);
    EXPECT_EQ(Value(Request(), "MTNA"), "3");
    EXPECT_EQ(Value(Request(), "MDV"), "2");
}

TEST_F(ServerRequest, AdditionalAndConditionalTags) {
    struct Case {
        const char* what;
        const char* rules;
        const char* added;  // null: nothing added
    } cases[] = {
        {"matching rule", "*{SV}s0{CD}c1{D0}978;{XA}1{XB}2;", "{XA}1{XB}2"},
        {"wildcard value", "*{SV}s0{CD}c1{D10}??;{XC}3;", "{XC}3"},
        {"two rules, both match", "*{SV}s0{CD}c1;{XD}4;*{CD}c1{SV}s0{D0}978;{XE}5;", "{XD}4{XE}5"},
        {"value differs", "*{SV}s0{CD}c1{D0}840;{XF}6;", nullptr},
        {"another command", "*{SV}s0{CD}c2;{XG}7;", nullptr},
        {"no star: never evaluated", "{SV}s0{CD}c1;{XH}8;", nullptr},
        {"no semicolon: never evaluated", "*{SV}s0{CD}c1", nullptr},
    };
    Read(2, "4111111111111111D3012101");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (Options.ConditionalAdditionalTags != nullptr) std::free(Options.ConditionalAdditionalTags);
        Options.ConditionalAdditionalTags = strdup(c.rules);
        context->serverRequest[0] = '\0';
        ASSERT_EQ(BuildServerRequest(), 0);
        const std::string r = Request();
        if (c.added != nullptr) {
            EXPECT_NE(r.find(std::string("{ZNP}13.0.26.000000_Nov 24 2023") + c.added + "{LT}"), std::string::npos)
                << r;
        } else {
            EXPECT_NE(r.find("{ZNP}13.0.26.000000_Nov 24 2023{LT}"), std::string::npos) << r;
        }
    }
    Options.AdditionalTags = strdup("{DX1}a{DX2}b");
    if (Options.ConditionalAdditionalTags != nullptr) std::free(Options.ConditionalAdditionalTags);
    Options.ConditionalAdditionalTags = nullptr;
    context->serverRequest[0] = '\0';
    ASSERT_EQ(BuildServerRequest(), 0);
    EXPECT_NE(Request().find("{ZNP}13.0.26.000000_Nov 24 2023{DX1}a{DX2}b{LT}"), std::string::npos) << Request();
}

TEST_F(ServerRequest, ChipCardNumbersAreMaskedBeforeAnyTrace) {
    Read(4, "A0000000031010");
    OneCandidate();
    auto& p = record->terminalResultArea.perCandidate[0];
    // Track 2 image 5555555555554445 D 3012 201: a number whose key is wrong,
    // which only its registration masks.
    const unsigned char track2[] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x44, 0x45, 0xD3, 0x01, 0x22, 0x01};
    std::memcpy(p.track2, track2, sizeof track2);
    p.track2Length = sizeof track2;
    ASSERT_EQ(BuildServerRequest(), 0);
    TraceCapture trace;
    TraceLog(TRACE_ERROR, "[TEST]", "carte 5555555555554445 lue");
    ASSERT_EQ(trace.Snapshot().size(), 1u);
    EXPECT_EQ(trace.Snapshot()[0].find("5555555555554445"), std::string::npos) << trace.Snapshot()[0];
    EXPECT_NE(trace.Snapshot()[0].find("555555"), std::string::npos) << trace.Snapshot()[0];
}

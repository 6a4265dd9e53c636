// Result codes of terminal statuses, the check that a server answer belongs
// to the request that was sent, the cross-transaction event (decoded by the
// system's base64 command) and the direct-mode and cancellation requests, on
// an open session.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "netsim/net_frame.h"
#include "platform/clock.h"
#include "protocols/pv_status.h"
#include "station/options.h"
#include "station/text_field.h"
#include "support/base64_command.h"
#include "support/server_session.h"
#include "support/trace_capture.h"
#include "transactions/server_messages.h"

using testsupport::TraceCapture;

namespace {

constexpr const char* kUuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

class ServerMessages : public testsupport::ServerSession {
protected:
    void SetUp() override {
        Open({});
        CopyField(record->service, "s0");
        CopyField(record->command, "c1");
        CopyField(record->station, "7");
        ClearEndOfTransactionRequests();
    }
    void TearDown() override {
        ClearEndOfTransactionRequests();
        ServerSession::TearDown();
    }
    void SetLastRequest(const std::string& text) { CopyField(context->sentServerRequest, text.c_str()); }
    void SetAnswer(const std::string& text) { CopyField(context->serverAnswer, text.c_str()); }
};


// "<absent>" tells a missing tag from an empty one.
std::string TagValue(const std::string& message, const std::string& code) {
    if (message.find("{" + code + "}") == std::string::npos) return "<absent>";
    return netsim::TagValue(message, code);
}

}  // namespace

TEST_F(ServerMessages, TerminalStatusesBecomeResultCodes) {
    plat::ManualClock clock;  // the pause after a pinpad failure runs on it
    plat::ScopedClock scoped(&clock);
    struct Case {
        int status;
        const char* rs;
        int resetRequired;
    } cases[] = {
        {PV_ALL_FINE, "01", 1},     {PV_APP_UNKNOWN, "99", 1},  {PV_PER_UNKNOWN, "34", 0},
        {PV_PROTO_ERROR, "34", 0},  {PV_PER_ACCES, "32", 0},    {PV_NET_FAILED, "31", 1},
        {PV_NET_TIMEOUT, "31", 1},  {PV_NOT_YET, "30", 1},      {PV_CTL_ERROR, "99", 1},
        {PV_CMD_VERIF_NF, "11", 1}, {PV_CMD_MUTE_CARD, "20", 1}, {PV_PER_BUSY, "99", 1},
        {0xFFFF, "xx", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        CopyField(record->resultCode, "xx");
        record->resetRequired = 1;
        record->step = 3;
        record->processingMode = 3;
        const int64_t before = clock.nowMs();
        ReportTerminalResult(c.status);
        EXPECT_STREQ(record->resultCode, c.rs);
        EXPECT_EQ(record->resetRequired, c.resetRequired);
        // A mute card goes back to the insertion step, reading again after removal.
        EXPECT_EQ(record->step, c.status == PV_CMD_MUTE_CARD ? 1 : 3);
        EXPECT_EQ(record->processingMode, c.status == PV_CMD_MUTE_CARD ? 4 : 3);
        EXPECT_EQ(clock.nowMs() - before, c.status == PV_PER_ACCES ? 4000 : 0);
    }
}

TEST_F(ServerMessages, AnswerCheck) {
    const std::string request = std::string("{SS}R{PS}7{SV}s0{CD}c1{D10}1500{UUID}") + kUuid + "{F}";
    struct Case {
        const char* what;
        std::string answer;
        int direct;
        int expected;
        const char* rs;  // RS of the answer afterwards
    } cases[] = {
        {"matching UUID", std::string("{SS}A{SV}s0{CD}c1{RS}00{UUID}") + kUuid + "{F}", 0, 1, "00"},
        {"no UUID in the answer", "{SS}A{SV}s0{CD}c1{RS}05{F}", 0, 1, "05"},
        {"SS in lower case", "{SS}a{SV}s0{CD}c1{RS}00{F}", 0, 1, "00"},
        {"SV in upper case", "{SS}A{SV}S0{CD}c1{RS}00{F}", 0, 0, "00"},
        {"CD in upper case", "{SS}A{SV}s0{CD}C1{RS}00{F}", 0, 0, "00"},
        {"SS missing", "{SV}s0{CD}c1{RS}00{F}", 0, 0, "00"},
        {"SS R", "{SS}R{SV}s0{CD}c1{RS}00{F}", 0, 0, "00"},
        {"SV missing", "{SS}A{CD}c1{RS}00{F}", 0, 0, "00"},
        {"CD missing", "{SS}A{SV}s0{RS}00{F}", 0, 0, "00"},
        {"RS missing", "{SS}A{SV}s0{CD}c1{F}", 0, 0, "<absent>"},
        {"no end tag", "{SS}A{SV}s0{CD}c1{RS}00", 0, 0, "00"},
        {"empty", "", 0, 0, "<absent>"},
        {"another UUID", "{SS}A{SV}s0{CD}c1{RS}00{UUID}1b4e28ba-2fa1-11d2-883f-0016d3cca427{F}", 0, 0, "37"},
        {"direct connection: header missing, UUID matching", std::string("{RS}00{UUID}") + kUuid + "{F}", 1, 1,
         "00"},
        {"direct connection: another UUID", "{UUID}other{F}", 1, 0, "<absent>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Options.DirectServerConnection = static_cast<uint8_t>(c.direct);
        SetLastRequest(request);
        SetAnswer(c.answer);
        ClearEndOfTransactionRequests();
        TraceCapture trace;
        EXPECT_EQ(CheckServerResponse(), c.expected);
        EXPECT_EQ(TagValue(context->serverAnswer, "RS"), c.rs);
        // Only a crossed answer with an RS queues the event.
        EXPECT_EQ(EndOfTransactionRequests().size(), std::strcmp(c.rs, "37") == 0 ? 1u : 0u);
        if (c.expected == 1) {
        EXPECT_TRUE(trace.Contains("Reponse du serveur recu"));
        }
    }
    // A request without UUID never differs.
    Options.DirectServerConnection = 0;
    SetLastRequest("{SS}R{SV}s0{CD}c1{F}");
    SetAnswer("{SS}A{SV}s0{CD}c1{RS}00{UUID}anything{F}");
    EXPECT_EQ(CheckServerResponse(), 1);
}

TEST_F(ServerMessages, CrossedAnswerQueuesAnEventTheServerCanDecode) {
    SetLastRequest(std::string("{SS}R{PS}7{SV}s0{CD}c1{D10}1500{D7V}ILOT 3{UUID}") + kUuid + "{TC3}4111{F}");
    SetAnswer("{SS}A{PS}7{SV}s0{CD}c1{RS}00{UUID}1b4e28ba-2fa1-11d2-883f-0016d3cca427{D16}A1{F}");
    TraceCapture trace;
    EXPECT_EQ(CheckServerResponse(), 0);
    EXPECT_TRUE(trace.Contains("Incoherence entre la requete initiale et la reponse du serveur, tags: UUID"));
    EXPECT_TRUE(trace.Contains("Transformation du code reponse en eftag_result_srv_syntax (37)"));
    ASSERT_EQ(EndOfTransactionRequests().size(), 1u);
    const std::string event = EndOfTransactionRequests()[0];
    EXPECT_EQ(TagValue(event, "SV"), "s10");
    EXPECT_EQ(TagValue(event, "CD"), "c47");
    EXPECT_EQ(TagValue(event, "event-id"), "20");
    EXPECT_EQ(testsupport::Base64DecodeWithCommand(TagValue(event, "message")),
              std::string("{R:PS}7{R:CD}c1{R:D10}1500{R:D7V}ILOT 3{R:UUID}") + kUuid +
                  "{A:PS}7{A:CD}c1{A:RS}37{A:UUID}1b4e28ba-2fa1-11d2-883f-0016d3cca427");
}

TEST_F(ServerMessages, EventOfAnUnreadableMessageIsEmpty) {
    EXPECT_EQ(BuildCrossTransactionEvent("{PS}1{F}", "no tags at all"), "");
    EXPECT_EQ(BuildCrossTransactionEvent(nullptr, "{RS}00{F}"), "");
    std::vector<std::string> differing;
    EXPECT_EQ(CompareRequestResponseTags("{UUID}a{F}", "{UUID}b{F}", &differing), 1);
    EXPECT_EQ(JoinStrings(differing, ", "), "UUID");
    EXPECT_EQ(CompareRequestResponseTags("{UUID}a{F}", "{RS}00{F}", nullptr), 0);
    EXPECT_EQ(JoinStrings({"A", "B", "C"}, ", "), "A, B, C");
}

TEST_F(ServerMessages, DirectModeAndCancellationRequests) {
    CopyField(record->e7, "FACT-001");
    record->amount = 1234;
    record->currency = 978;
    context->posLanguage = 250;
    CopyField(context->serverRequest, "{SS}R{SV}s0{CD}c1{OLD}x{F}");
    ASSERT_EQ(BuildDirectModeRequest(0), 0);
    EXPECT_STREQ(context->serverRequest,
                 "{SV}s0{CD}c1{D10}1234{D0}978{E7}FACT-001{PS}7{SS}R{D16}A2{D15}0{D2F}9999999999999999999D1212{D12}250{F}");
    // Any other flag only adds the language to the request as it is.
    CopyField(context->serverRequest, "{SS}R{SV}s0{F}");
    ASSERT_EQ(BuildDirectModeRequest(1), 0);
    EXPECT_STREQ(context->serverRequest, "{SS}R{SV}s0{D12}250{F}");

    CopyField(record->service, "s0");
    CopyField(record->command, "c9");
    CopyField(record->requestStation, "12");
    ASSERT_EQ(BuildCancelRequest(0, "A1", "042", "ILOT", 978, 2500, "E7-OLD"), 0);
    EXPECT_STREQ(context->serverRequest,
                 "{SV}s0{CD}c9{D10}2500{D0}978{E7}FACT-001{PS}12{SS}R{D16}A1{D9R}042{D7V}ILOT{DAN}1{E7}E7-OLD{D15}0"
                 "{D12}250{F}");
    // Without an E7 of its own the record's is left out.
    record->e7[0] = '\0';
    ASSERT_EQ(BuildCancelRequest(0, "A1", "042", "ILOT", 978, 2500, "E7-OLD"), 0);
    EXPECT_EQ(TagValue(context->serverRequest, "E7"), "E7-OLD");
}

// Protocols 6, 7 and 8 end to end: the cheque reader (function 3) of the
// script engine on a pseudo-terminal whose far end is the cheque reader
// simulator of the protocol, through the module and the simple-frame link.
// What the reader took and answered is the oracle of the bytes on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chequesim/cheque_reader.h"
#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/cheque/cheque_modules.h"
#include "protocols/pv_status.h"
#include "support/cheque_operation.h"
#include "support/com_fixture.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

constexpr int kChequeReader = testsupport::kChequeFunction;

chequesim::ChequeScenario Scenario(const std::string& text) {
    std::string error;
    auto s = chequesim::ChequeScenario::Parse(text, &error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(chequesim::ChequeScenario{});
}

const char* ProtocolName(int protocol) { return protocol == 6 ? "D5500" : protocol == 7 ? "M4400" : "OLVAR"; }

// The cheque reader of one protocol on a pseudo-terminal.
class ChequeStation {
public:
    ChequeStation(int protocol, const std::string& scenario)
        : reader_(new chequesim::ChequeReaderHandler(protocol, Scenario(scenario))),
          box(table.id, testsupport::UniqueStation()),
          pty(std::unique_ptr<linesim::FrameHandler>(reader_)) {
        if (!pty.ready()) return;
        WCOM_SetResourceConnType(pty.port, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        added = box.add("EFT_CM7", pty.port, ProtocolName(protocol));
    }
    ~ChequeStation() {
        PAP_FreePAPbox();
        TWEP_ResetPortState();
    }
    bool ready() const { return pty.ready() && added == 0; }
    chequesim::ChequeReaderHandler& reader() { return *reader_; }

    // A cheque operation with an answer, as a caller runs it; one whose
    // answer is not awaited.
    int run(CardReadRecord* r) { return testsupport::RunChequeOperation(r); }
    int send(CardReadRecord* r) { return testsupport::SendChequeOperation(r); }

    testsupport::ComTable table;

private:
    chequesim::ChequeReaderHandler* reader_;

public:
    testsupport::TerminalBox box;
    testsupport::PtyPort pty;
    int added = -1;
};

CardReadRecord Cheque(uint8_t options, const std::string& text = "") { return testsupport::ChequeRecord(options, text); }

// The reader's default line in host form.
const std::string kLine = "D0012345D000123456789F987654321012B";

}  // namespace

// A read on each protocol: its request on the line, the reader's line in
// the record in host form.
TEST(ChequeEndToEnd, Read) {
    struct Case {
        int protocol;
        uint8_t options;
        const char* request;
    };
    const Case cases[] = {{6, 0x10, "100"}, {7, 0x10, "910"}, {8, 0x10, "42?"}, {8, 0x11, "42"}};
    for (const Case& c : cases) {
        ChequeStation s(c.protocol, "");
        ASSERT_TRUE(s.ready());
        CardReadRecord r = Cheque(c.options);
        EXPECT_EQ(s.run(&r), PV_ALL_FINE) << c.protocol;
        ASSERT_TRUE(s.reader().waitAnswersDelivered(1, 2000)) << c.protocol;
        const auto requests = s.reader().requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].message, c.request);
        EXPECT_EQ(r.status, CHQ_LINE_READ) << c.protocol;
        EXPECT_EQ(r.errorSource, 0) << c.protocol;
        EXPECT_STREQ(r.eventData, kLine.c_str()) << c.protocol;
        EXPECT_EQ(r.eventLength, 35) << c.protocol;
        EXPECT_EQ(r.busy, 0);
    }
}

// A print: the line on the cheque as the reader took it, and the answer.
TEST(ChequeEndToEnd, Print) {
    const std::string text = "PAYEZ CONTRE CE CHEQUE*123,45*";
    struct Case {
        int protocol;
        int width;
    };
    for (const Case& c : {Case{6, 80}, Case{7, 80}, Case{8, 70}}) {
        ChequeStation s(c.protocol, "");
        ASSERT_TRUE(s.ready());
        CardReadRecord r = Cheque(0x20, text);
        EXPECT_EQ(s.run(&r), PV_ALL_FINE) << c.protocol;
        const auto requests = s.reader().requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].kind, chequesim::ChequeKind::Print);
        EXPECT_EQ(requests[0].printLine,
                  "PAYEZ CONTRE CE CHEQUE" + std::string(static_cast<size_t>(c.width) - 30, ' ') + "*123,45*");
        EXPECT_EQ(r.technology, CARD_TECH_CHEQUE) << c.protocol;
        EXPECT_EQ(r.errorSource, 0) << c.protocol;
        EXPECT_EQ(r.eventLength, 0);
    }
}

// The give-back: 6 and 8 answer it; 7 does not, its request only goes.
TEST(ChequeEndToEnd, GiveBack) {
    for (int protocol : {6, 8}) {
        ChequeStation s(protocol, "");
        ASSERT_TRUE(s.ready());
        CardReadRecord r = Cheque(0x40);
        EXPECT_EQ(s.run(&r), PV_ALL_FINE) << protocol;
        EXPECT_EQ(r.technology, CARD_TECH_CHEQUE);
        EXPECT_EQ(s.reader().requests().at(0).kind, chequesim::ChequeKind::GiveBack);
    }
    ChequeStation s(7, "");
    ASSERT_TRUE(s.ready());
    CardReadRecord r = Cheque(0x40);
    EXPECT_EQ(s.send(&r), PV_ALL_FINE);
    ASSERT_TRUE(s.reader().waitRequests(1, 2000));
    EXPECT_EQ(s.reader().requests()[0].message, "8");
    EXPECT_EQ(s.reader().requests()[0].answer, "");
}

// The reader says it read no line, or refuses: the record says so.
TEST(ChequeEndToEnd, NoLineAndRefusal) {
    struct Case {
        int protocol;
        const char* scenario;
        int32_t status, errorSource;
    };
    const Case cases[] = {
        {6, "error", 2, 2},
        {7, "error", 2, 2},
        {8, "no-line", 1, 10},
        {8, "error", CHQ_LINE_READ, 2},
    };
    for (const Case& c : cases) {
        ChequeStation s(c.protocol, c.scenario);
        ASSERT_TRUE(s.ready());
        CardReadRecord r = Cheque(0x10);
        EXPECT_EQ(s.run(&r), PV_ALL_FINE) << c.protocol << " " << c.scenario;
        EXPECT_EQ(r.status, c.status) << c.protocol << " " << c.scenario;
        EXPECT_EQ(r.errorSource, c.errorSource) << c.protocol << " " << c.scenario;
        EXPECT_EQ(r.eventLength, 0);
    }
}

// Faults of the line the link gets over: the host's ENQ and frame NAKed
// once, the reader's answer with a wrong check byte (NAKed, sent again).
TEST(ChequeEndToEnd, LineFaultsAreRepeated) {
    ChequeStation s(7, "nak-enq 1\nnak-data 1\nwrong-check\nline D12345F");
    ASSERT_TRUE(s.ready());
    CardReadRecord r = Cheque(0x10);
    EXPECT_EQ(s.run(&r), PV_ALL_FINE);
    EXPECT_STREQ(r.eventData, "D12345F");
    EXPECT_EQ(s.reader().naksReceived(), 1);
}

// Protocol 8 busy: the first answer says busy (16) and leaves the record
// busy; the read asked again gets the line.
TEST(ChequeEndToEnd, OlvarBusyThenLine) {
    ChequeStation s(8, "busy");
    ASSERT_TRUE(s.ready());
    CardReadRecord r = Cheque(0x10);
    EXPECT_EQ(s.run(&r), OLVAR_BUSY);
    EXPECT_EQ(r.busy, OLVAR_BUSY);
    ASSERT_TRUE(s.reader().waitAnswersDelivered(1, 2000));
    r = Cheque(0x10);
    EXPECT_EQ(s.run(&r), PV_ALL_FINE);
    EXPECT_STREQ(r.eventData, kLine.c_str());
    EXPECT_EQ(s.reader().requests().size(), 2u);
}

// A print text without '*' is refused when set: nothing reaches the reader.
TEST(ChequeEndToEnd, PrintTextWithoutStarSendsNothing_Mended) {
    ChequeStation s(6, "");
    ASSERT_TRUE(s.ready());
    CardReadRecord r = Cheque(0x20, "NO STAR");
    EXPECT_EQ(s.send(&r), PV_CMD_INTERNAL);
    EXPECT_EQ(r.busy, 1);
    EXPECT_FALSE(s.pty.sim.waitReceived(1, 200));
}

// The CMC7 line is card data: no trace line carries its digits, and the
// communication trace masks the reader's frames.
TEST(ChequeEndToEnd, LineNeverInTheTraces) {
    for (int protocol : {6, 7, 8}) {
        ChequeStation s(protocol, "");
        ASSERT_TRUE(s.ready());
        testsupport::TraceCapture trace;
        CardReadRecord r = Cheque(0x10);
        ASSERT_EQ(s.run(&r), PV_ALL_FINE);
        ASSERT_STREQ(r.eventData, kLine.c_str());
        for (const std::string& l : trace.Snapshot()) {
            EXPECT_EQ(l.find("0012345"), std::string::npos) << l;
            EXPECT_EQ(l.find("987654321012"), std::string::npos) << l;
        }
        WComTraceCloseAll();
        std::string received;
        for (const testsupport::TraceRecord& t : testsupport::ReadTraceRecords(s.pty.trace))
            if (t.status == 0 && t.direction == WCOM_TRACE_RECEPTION) received += static_cast<char>(t.byte);
        EXPECT_NE(received.find('\x05'), std::string::npos) << "the reader's turn is in the trace";
        EXPECT_NE(received.find('\x02'), std::string::npos) << "with its frame";
        EXPECT_EQ(received.find("0012345"), std::string::npos) << protocol;
        EXPECT_EQ(received.find("987654321012"), std::string::npos) << protocol;
        EXPECT_EQ(received.find("123456789"), std::string::npos) << protocol;
    }
}

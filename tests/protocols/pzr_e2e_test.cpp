// Protocol 5 end to end: the cheque reader (function 3) and the printer
// (function 1) of one printer with a cheque station, through the terminal
// script engine and the raw stack over a real pseudo-terminal, against the
// protocol-5 printer simulator. What the printer recorded is the oracle of
// the bytes on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chequesim/pzr_printer.h"
#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "platform/clock.h"
#include "protocols/pv_status.h"
#include "protocols/pzr/wtm_module.h"
#include "support/cheque_operation.h"
#include "support/com_fixture.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

constexpr int kChequeReader = 3;
constexpr int kPrinter = 1;

chequesim::PzrScenario Scenario(const std::string& text) {
    std::string error;
    auto s = chequesim::PzrScenario::Parse(text, &error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(chequesim::PzrScenario{});
}

// The cheque reader and the printer of a protocol-5 printer on one
// pseudo-terminal whose far end is the printer simulator.
class PzrStation {
public:
    explicit PzrStation(const std::string& scenario)
        : printer_(new chequesim::PzrPrinterHandler(Scenario(scenario))),
          box(table.id, testsupport::UniqueStation()),
          pty(std::unique_ptr<linesim::FrameHandler>(printer_)) {
        if (!pty.ready()) return;
        WCOM_SetResourceConnType(pty.port, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        added = box.add("EFT_CM7", pty.port, "PZR") + box.add("EFT_PRN", pty.port, "PZR");
    }
    ~PzrStation() {
        PAP_FreePAPbox();
        TWEP_ResetPortState();
    }
    bool ready() const { return pty.ready() && added == 0; }
    chequesim::PzrPrinterHandler& printer() { return *printer_; }

    // A cheque read as a caller runs it; operations that get no answer.
    int readCheque(CardReadRecord* r) { return testsupport::RunChequeOperation(r); }
    int sendCheque(CardReadRecord* r) { return testsupport::SendChequeOperation(r); }

    testsupport::ComTable table;

private:
    chequesim::PzrPrinterHandler* printer_;

public:
    testsupport::TerminalBox box;
    testsupport::PtyPort pty;
    int added = -1;
};

CardReadRecord Cheque(uint8_t options, const std::string& text = "") { return testsupport::ChequeRecord(options, text); }

const std::string kReadCommand("\x1c\x61\x30\x01", 4);

}  // namespace

// The read goes out as its four bytes; the printer's line, taken whole
// with its first byte (which the wait took off the line), fills the card
// record in its host form.
TEST(PzrEndToEnd, ChequeRead) {
    struct Case {
        const char* scenario;
        std::string line;
    };
    const Case cases[] = {
        {"", chequesim::kPzrDefaultLine},
        {"line \"A12 34#56/\"\npause 50", "A12 34#56/"},
    };
    for (const Case& c : cases) {
        PzrStation s(c.scenario);
        ASSERT_TRUE(s.ready());
        CardReadRecord r = Cheque(0x10);
        EXPECT_EQ(s.readCheque(&r), PV_ALL_FINE) << c.scenario;
        EXPECT_EQ(s.printer().received(), kReadCommand);
        EXPECT_EQ(r.status, WTM_LINE_READ) << c.scenario;
        EXPECT_STREQ(r.eventData, chequesim::PzrHostForm(c.line.substr(1)).c_str()) << c.scenario;
        EXPECT_EQ(r.eventLength, static_cast<int32_t>(std::strlen(r.eventData)));
        EXPECT_EQ(r.technology, CARD_TECH_CHEQUE);
        EXPECT_EQ(r.busy, 0);
    }
}

// A line sent in two pieces with a short gap is read whole (the clock runs
// slow here, so that a loaded machine cannot stretch the gap past the 10 ms
// that end an answer).
TEST(PzrEndToEnd, ChequeReadInTwoPieces) {
    PzrStation s("line \"A12 34#56/\"\nsplit 6 gap=3");
    ASSERT_TRUE(s.ready());
    testsupport::SlowClock slow;
    plat::ScopedClock scoped(&slow);
    CardReadRecord r = Cheque(0x10);
    EXPECT_EQ(s.readCheque(&r), PV_ALL_FINE);
    EXPECT_STREQ(r.eventData, "1234C56B");
    EXPECT_EQ(r.status, WTM_LINE_READ);
}

TEST(PzrEndToEnd, NoLineRead) {
    PzrStation s("no-line");
    ASSERT_TRUE(s.ready());
    CardReadRecord r = Cheque(0x10);
    EXPECT_EQ(s.readCheque(&r), PV_ALL_FINE);
    EXPECT_EQ(r.status, WTM_LINE_NOT_READ);
    EXPECT_EQ(r.eventLength, 0);
}

// The printer says nothing: the read finds no answer, and the wait nothing.
TEST(PzrEndToEnd, SilentPrinter) {
    PzrStation s("silence");
    ASSERT_TRUE(s.ready());
    CardReadRecord r = Cheque(0x10);
    EPAP_ClearAll();
    ASSERT_EQ(EPAP_SetCommand(kChequeReader, O_T_EVENT, &r), 0);
    EXPECT_EQ(EPAP_GetResult(kChequeReader, O_T_EVENT, &r), PV_NET_TIMEOUT);
    char event = 0;
    EXPECT_EQ(EPAP_WaitEvent(kChequeReader, 200, &event), PV_NOT_YET);
    EXPECT_EQ(r.status, 0);
}

// Print on the cheque and give it back: the bytes reach the printer, no
// answer is awaited.
TEST(PzrEndToEnd, ChequePrintAndGiveBack) {
    PzrStation s("");
    ASSERT_TRUE(s.ready());
    CardReadRecord print = Cheque(0x20, "PAYEZ CONTRE CE CHEQUE*123,45*");
    EXPECT_EQ(s.sendCheque(&print), PV_ALL_FINE);
    ASSERT_TRUE(s.printer().waitBytes(99, 5000));
    CardReadRecord giveBack = Cheque(0x40);
    EXPECT_EQ(s.sendCheque(&giveBack), PV_ALL_FINE);
    ASSERT_TRUE(s.printer().waitBytes(99 + 6, 5000));
    const auto commands = s.printer().commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].kind, chequesim::PzrCommand::Kind::ChequePrint);
    EXPECT_EQ(commands[0].bytes.size(), 99u);
    EXPECT_EQ(commands[0].chequeLine(), "PAYEZ CONTRE CE CHEQUE" + std::string(30, ' ') + "*123,45*");
    EXPECT_EQ(commands[1].kind, chequesim::PzrCommand::Kind::GiveBack);
    EXPECT_TRUE(s.printer().answers().empty());
}

// A print text without '*' is refused when the command is set: nothing
// reaches the printer.
TEST(PzrEndToEnd, PrintTextWithoutStarSendsNothing_Mended) {
    PzrStation s("");
    ASSERT_TRUE(s.ready());
    CardReadRecord print = Cheque(0x20, "NO STAR");
    EXPECT_EQ(s.sendCheque(&print), PV_CMD_INTERNAL);
    EXPECT_EQ(EPAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(print.busy, 1);
    EXPECT_FALSE(s.printer().waitBytes(1, 200));
}

// Ticket lines and the cut, on the printer function, in the order set.
TEST(PzrEndToEnd, TicketLinesAndCut) {
    PzrStation s("");
    ASSERT_TRUE(s.ready());
    const std::vector<std::string> lines = {"  CARTE BANCAIRE\n", "MONTANT   12,34 EUR\n",
                                            std::string(513, '=')};
    EPAP_ClearAll();
    for (const std::string& line : lines) {
        PrintCommandBlock block{PRINT_KIND_TEXT, static_cast<int32_t>(line.size()),
                                reinterpret_cast<const unsigned char*>(line.data()), 0, 0};
        ASSERT_EQ(EPAP_SetCommand(kPrinter, O_T_PRINT, &block), 0);
    }
    PrintCommandBlock cut{PRINT_KIND_CUT, 0, nullptr, 0, 0};
    ASSERT_EQ(EPAP_SetCommand(kPrinter, O_T_PRINT, &cut), 0);
    EXPECT_EQ(EPAP_SendScriptCommands(), PV_ALL_FINE);
    const std::string expected = lines[0] + lines[1] + lines[2] + std::string("\n\n\n\n\x1bi", 6);
    ASSERT_TRUE(s.printer().waitBytes(expected.size(), 5000));
    EXPECT_EQ(s.printer().received(), expected);
    const auto commands = s.printer().commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].kind, chequesim::PzrCommand::Kind::FeedAndCut);
}

// The CMC7 line is card data: no trace line carries it, and the
// communication trace keeps the printer's status byte only.
TEST(PzrEndToEnd, LineNeverInTheTraces_Mended) {
    PzrStation s("");
    ASSERT_TRUE(s.ready());
    testsupport::TraceCapture trace;
    CardReadRecord r = Cheque(0x10);
    ASSERT_EQ(s.readCheque(&r), PV_ALL_FINE);
    ASSERT_STREQ(r.eventData, "D0012345D000123456789F987654321012B");
    for (const std::string& l : trace.Snapshot()) {
        EXPECT_EQ(l.find("0012345"), std::string::npos) << l;
        EXPECT_EQ(l.find("987654321012"), std::string::npos) << l;
    }
    WComTraceCloseAll();
    std::string sent, received;
    for (const testsupport::TraceRecord& t : testsupport::ReadTraceRecords(s.pty.trace))
        if (t.status == 0) (t.direction == WCOM_TRACE_EMISSION ? sent : received) += static_cast<char>(t.byte);
    EXPECT_EQ(sent, kReadCommand);
    EXPECT_EQ(received, "A" + std::string(chequesim::kPzrDefaultLine.size() - 1, '-'));
}

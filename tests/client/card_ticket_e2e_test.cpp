// The ticket of a card payment end to end: the payment server (acquirer
// simulator) sends its ticket in D3L, two copies with CR LF line ends and
// the printer window's cut marker ESC 'i'; trv_71 deposits it byte for byte
// in the till's "TICKETCB.%03d" (the current directory of the program) and
// hands it back to the cash register only when the request's TT asks.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "support/config_tree.h"
#include "support/payment_station.h"

namespace {

using testsupport::PaymentStation;
using testsupport::PaymentStationSetup;
using testsupport::TagList;

const cardsim::Bytes kAid = {0xA0, 0x00, 0x00, 0x00, 0x42, 0x10, 0x10};
const cardsim::Bytes kCardRemoved = {0xE0, 0x04, 0x48, 0x02, 0x00, 0x00, 0x90, 0x00};
// "CARTE ############0003" CR LF "MARCHAND" CR LF ESC i "CLIENT" CR LF ESC i
const std::string kTicketHex =
    "434152544520232323232323232323232323303030330D0A4D41524348414E440D0A1B69434C49454E540D0A1B69";
const std::string kTicket = "CARTE ############0003\r\nMARCHAND\r\n\x1bi" "CLIENT\r\n\x1bi";

bool WaitApdu(rudasim::RudaSim& terminal, const std::string& prefix, int timeoutMs) {
    for (size_t n = 1;; ++n) {
        if (!terminal.waitExchanges(n, timeoutMs)) return false;
        if (cardsim::ToHex(terminal.exchanges()[n - 1].apdu).rfind(prefix, 0) == 0) return true;
    }
}

struct Row {
    const char* name;
    const char* tt;                  // "" none: 3, print only
    std::optional<std::string> d3l;  // D3L of the till's answer
    bool deposited;                  // the ticket file holds the ticket
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class CardTicketEndToEnd : public ::testing::TestWithParam<Row> {};

TEST_P(CardTicketEndToEnd, TicketFileAndAnswer) {
    const Row& row = GetParam();
    PaymentStationSetup setup;
    setup.servers = {"default answer reply rs=00 d3lhex=" + kTicketHex};
    setup.directories = {"WOut"};
    PaymentStation till(setup);
    std::string error, answer;
    ASSERT_TRUE(till.Start(&error)) << error;
    TagList request = {{"SV", "s0"}, {"CD", "c1"}, {"D10", "500"}, {"D0", "978"}};
    if (row.tt[0] != '\0') request.emplace_back("TT", row.tt);
    int ack = -1;
    ASSERT_TRUE(till.Send(request, &ack, &error)) << error;
    ASSERT_EQ(ack, 0);
    rudasim::RudaSim& terminal = till.terminal();
    ASSERT_TRUE(WaitApdu(terminal, "D0601F01", 20000));
    terminal.pushEvent(rudasim::ChipEvent({kAid}));
    ASSERT_TRUE(WaitApdu(terminal, "D06043", 30000));
    terminal.pushEvent(kCardRemoved);
    ASSERT_TRUE(till.WaitAnswer(60000, &answer, &error)) << error;
    EXPECT_EQ(PaymentStation::Tag(answer, "RS"), "00") << answer;
    EXPECT_EQ(PaymentStation::Tag(answer, "D3L"), row.d3l) << answer;
    char name[32];
    std::snprintf(name, sizeof name, "TICKETCB.%03u", till.pos());
    EXPECT_EQ(std::filesystem::exists(till.dir().file(name)), row.deposited);
    if (row.deposited) {
        EXPECT_EQ(testsupport::ReadFileText(till.dir().file(name)), kTicket);
    }
    // The ticket's text is in no other file of the till: not in the
    // program's trace (there: WOut exists), the exchange logs, the library
    // log.
    char trace[32];
    std::snprintf(trace, sizeof trace, "WOut/CA%03u000.SPO", till.pos());
    EXPECT_NE(testsupport::ReadFileText(till.dir().file(trace)).find("OUVERTURE DE SESSION"), std::string::npos);
    size_t read = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(till.dir().path())) {
        const std::string file = entry.path().filename().string();
        if (!entry.is_regular_file() || file == name || file.rfind("F5", 0) == 0) continue;
        const std::string text = testsupport::ReadFileText(entry.path().string());
        EXPECT_EQ(text.find("MARCHAND"), std::string::npos) << entry.path();
        EXPECT_EQ(text.find("############0003"), std::string::npos) << entry.path();
        ++read;
    }
    EXPECT_GT(read, 10u);
    // Nothing is left in the spool of the printer window.
    for (const auto& entry : std::filesystem::directory_iterator(till.dir().file("WOut")))
        if (entry.path().filename().string().rfind("F5", 0) == 0) {
            EXPECT_EQ(entry.file_size(), 0u) << entry.path();
        }
}

const Row kRows[] = {
    {"PrintOnly", "", std::nullopt, true},
    {"PrintAndReturn", "1", kTicket, true},
    // Nothing to print: the server's ticket goes to the till as it came.
    {"ReturnOnly", "2", kTicket, false},
};

INSTANTIATE_TEST_SUITE_P(Table, CardTicketEndToEnd, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace

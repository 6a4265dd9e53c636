// Card payments end to end: a cash register loads libznp_dll.so and asks for
// a payment (s0/c1); trv_71 reads the card on the RUDA terminal simulator
// over a pseudo-terminal, asks the payment servers (acquirer simulators,
// PRINCIPAL, SECOURS, TERTIAIRE), resets the terminal and answers the till.
// One table: each row is what the servers and the terminal do, what the till
// gets, and what the servers and the terminal recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "rudasim/ruda_terminal.h"
#include "support/base64_command.h"
#include "support/payment_station.h"
#include "support/tls_pki.h"

namespace {

using cardsim::Bytes;
using cardsim::ToHex;
using testsupport::PaymentStation;
using testsupport::PaymentStationSetup;
using testsupport::TagList;

const Bytes kAid = {0xA0, 0x00, 0x00, 0x00, 0x42, 0x10, 0x10};
const TagList kPayment = {{"SV", "s0"}, {"CD", "c1"}, {"D10", "500"}, {"D0", "978"}};
// The card of the terminal, gone: the answer to a card-status request.
const Bytes kCardRemoved = {0xE0, 0x04, 0x48, 0x02, 0x00, 0x00, 0x90, 0x00};

// The APDUs the terminal got, in hexadecimal.
std::vector<std::string> Apdus(rudasim::RudaSim& terminal) {
    std::vector<std::string> out;
    for (const rudasim::Exchange& e : terminal.exchanges()) out.push_back(ToHex(e.apdu));
    return out;
}

// Waits until the terminal got an APDU beginning with prefix (hexadecimal),
// after the first `from` exchanges; false after timeoutMs.
// Waits for a request beginning with the prefix after the first `from`
// exchanges; *found (when given) is the count of exchanges up to it.
bool WaitApdu(rudasim::RudaSim& terminal, const std::string& prefix, int timeoutMs, size_t from = 0,
              size_t* found = nullptr) {
    for (size_t n = from + 1;; ++n) {
        if (!terminal.waitExchanges(n, timeoutMs)) return false;
        if (ToHex(terminal.exchanges()[n - 1].apdu).rfind(prefix, 0) == 0) {
            if (found != nullptr) *found = n;
            return true;
        }
    }
}

// What the row does while the payment runs, after its acknowledgement.
enum class During {
    Nothing,      // the card events are in the terminal's scenario
    PushChip,     // the chip card comes after the card request, goes after the removal request
    Abort,        // no card; the till aborts (s3/c0) once the card request came
    MuteCardThenAbort,  // a mute chip card comes after the card request; the till aborts
                        // once the stripe was asked for it twice
    HangUp,       // no card; the terminal's line closes once the card request came
    // Requests of the till while a payment runs (duringAck: their acknowledgement):
    AbortAtTheServer,     // the card in the scenario; abort once the server got the request
    AbortAfterTheAnswer,  // as PushChip, with an abort once the removal watch runs (the answer came)
    FlashDuringTheCardWait,          // as PushChip, with a flash information (s11) first
    SecondPaymentDuringTheCardWait,  // as PushChip, with a second payment request first
    CloseDuringTheCardWait,          // SZelApiClose once the card request came: no answer
};

// A mute chip card comes to the terminal once the card request came; the
// program asks for the stripe instead, twice (the terminal tells the card
// again after answering each card request).
void MuteCardUntilTheStripeIsAskedTwice(rudasim::RudaSim& terminal) {
    size_t seen = terminal.exchanges().size();
    terminal.pushEvent(rudasim::MuteEvent());
    // Each search starts behind the request found before, so a second
    // request already recorded is still found.
    for (int stripe = 0; stripe < 2; ++stripe)
        ASSERT_TRUE(WaitApdu(terminal, "D0609D01", 20000, seen, &seen)) << testing::PrintToString(Apdus(terminal));
}

struct Row {
    const char* id;  // the test's name
    const char* name;
    std::vector<std::string> servers;
    std::string terminal;  // card events of the scenario ("" none)
    During during = During::Nothing;
    TagList options = {};
    bool tls = false;
    // The till's answer: these tags with these values.
    TagList answer;
    // What the servers and the terminal recorded.
    std::function<void(PaymentStation&)> check = nullptr;
    // An approved payment (its card in the terminal's scenario) comes first.
    bool afterAPayment = false;
    // The terminal gets no request during the row's payment.
    bool noTerminalDialogue = false;
    // The acknowledgement of the till's request during the payment.
    int duringAck = 0;
};

// gtest names a failing row by its id.
void PrintTo(const Row& row, std::ostream* os) { *os << row.id; }

const std::string kChipCard = "event chip A0000000421010\nevent removal\n";

// The till's request while the payment runs, as the row says, and the card
// events of the rows that push them.
void RequestDuringThePayment(const Row& row, PaymentStation& till) {
    rudasim::RudaSim& terminal = till.terminal();
    std::string error;
    int ack = -1;
    const auto send = [&](const TagList& tags) {
        ASSERT_TRUE(till.Send(tags, &ack, &error)) << error;
        EXPECT_EQ(ack, row.duringAck);
    };
    switch (row.during) {
        case During::AbortAtTheServer:
            ASSERT_TRUE(till.server(0).waitForRequests(1, 30000));
            ASSERT_NO_FATAL_FAILURE(send({{"SV", "s3"}, {"CD", "c0"}}));
            return;
        case During::CloseDuringTheCardWait:
            ASSERT_TRUE(WaitApdu(terminal, "D0601F01", 20000)) << testing::PrintToString(Apdus(terminal));
            EXPECT_EQ(till.Close(), 0);
            return;
        default: break;
    }
    ASSERT_TRUE(WaitApdu(terminal, "D0601F01", 20000)) << testing::PrintToString(Apdus(terminal));
    if (row.during == During::FlashDuringTheCardWait) {
        ASSERT_NO_FATAL_FAILURE(send({{"SV", "s11"}, {"CD", "c1"}, {"D3G", "caisse"}}));
    }
    if (row.during == During::SecondPaymentDuringTheCardWait) {
        ASSERT_NO_FATAL_FAILURE(send({{"SV", "s0"}, {"CD", "c1"}, {"D10", "700"}, {"D0", "978"}}));
    }
    terminal.pushEvent(rudasim::ChipEvent({kAid}));
    ASSERT_TRUE(WaitApdu(terminal, "D06043", 30000)) << testing::PrintToString(Apdus(terminal));
    if (row.during == During::AbortAfterTheAnswer) {
        ASSERT_NO_FATAL_FAILURE(send({{"SV", "s3"}, {"CD", "c0"}}));
    }
    terminal.pushEvent(kCardRemoved);
}

// The terminal's reset comes: the abort of its dialogue, then the reset.
void ExpectResetComes(rudasim::RudaSim& terminal) {
    ASSERT_TRUE(WaitApdu(terminal, "D0FF0000", 10000)) << testing::PrintToString(Apdus(terminal));
    const auto apdus = Apdus(terminal);
    const size_t abort = std::find(apdus.begin(), apdus.end(), "D0FF0000") - apdus.begin();
    ASSERT_TRUE(WaitApdu(terminal, "D000002F", 10000, abort + 1)) << testing::PrintToString(Apdus(terminal));
}

class CardPaymentEndToEnd : public ::testing::TestWithParam<Row> {
protected:
    // The test certificates, made once for the rows over TLS.
    static const testsupport::TestPki& Pki() {
        static const testsupport::TestPki pki;
        return pki;
    }

    void Run(const Row& row) {
        SCOPED_TRACE(row.name);
        if (row.tls) {
            ASSERT_TRUE(Pki().ok()) << "the test certificates could not be made";
        }
        PaymentStationSetup setup;
        setup.terminal += row.terminal;
        setup.servers = row.servers;
        setup.tls = row.tls ? &Pki() : nullptr;
        setup.options = row.options;
        PaymentStation till(setup);
        std::string error, answer;
        ASSERT_TRUE(till.Start(&error)) << error;
        int ack = -1;
        if (row.afterAPayment) {
            ASSERT_TRUE(till.Send(kPayment, &ack, &error)) << error;
            ASSERT_EQ(ack, 0);
            ASSERT_TRUE(till.WaitAnswer(60000, &answer, &error)) << error;
            ASSERT_EQ(PaymentStation::Tag(answer, "RS"), "00") << answer;
        }
        rudasim::RudaSim& terminal = till.terminal();
        const auto earlier = Apdus(terminal);
        ASSERT_TRUE(till.Send(kPayment, &ack, &error)) << error;
        ASSERT_EQ(ack, 0);
        if (row.during == During::PushChip) {
            ASSERT_TRUE(WaitApdu(terminal, "D0601F01", 20000)) << testing::PrintToString(Apdus(terminal));
            terminal.pushEvent(rudasim::ChipEvent({kAid}));
            ASSERT_TRUE(WaitApdu(terminal, "D06043", 30000)) << testing::PrintToString(Apdus(terminal));
            terminal.pushEvent(kCardRemoved);
        } else if (row.during == During::HangUp) {
            ASSERT_TRUE(WaitApdu(terminal, "D0601F01", 20000)) << testing::PrintToString(Apdus(terminal));
            // Once the program took the terminal's answer: it waits for the card.
            ASSERT_TRUE(terminal.line().waitDelivered(10000));
            terminal.line().stop();
        } else if (row.during == During::Abort || row.during == During::MuteCardThenAbort) {
            ASSERT_TRUE(WaitApdu(terminal, "D0601F01", 20000)) << testing::PrintToString(Apdus(terminal));
            if (row.during == During::MuteCardThenAbort) {
                ASSERT_NO_FATAL_FAILURE(MuteCardUntilTheStripeIsAskedTwice(terminal));
            }
            int abortAck = -1;
            ASSERT_TRUE(till.Send({{"SV", "s3"}, {"CD", "c0"}}, &abortAck, &error)) << error;
            EXPECT_EQ(abortAck, 0);
        } else if (row.during != During::Nothing) {
            ASSERT_NO_FATAL_FAILURE(RequestDuringThePayment(row, till));
            if (row.during == During::CloseDuringTheCardWait) {
                if (row.check) row.check(till);
                return;
            }
        }
        ASSERT_TRUE(till.WaitAnswer(60000, &answer, &error)) << error;
        for (const auto& [code, value] : row.answer)
            EXPECT_EQ(PaymentStation::Tag(answer, code), value) << code << " in " << answer;
        if (row.noTerminalDialogue) {
            EXPECT_EQ(Apdus(terminal), earlier);
        }
        if (row.check) row.check(till);
    }
};

// The serial number the terminal simulator gives unless told otherwise.
const std::string kSimulatorSerial = "RUDASIM00001";

// The payment's request as the server got it: a "1400" whose tags are the
// till's request and the terminal's serial number.
void ExpectPaymentRequests(netsim::AcquirerSim& server, size_t count, const std::string& serial = kSimulatorSerial) {
    ASSERT_TRUE(server.waitForRequests(count, 5000));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), count);
    for (const netsim::NetMessage& m : requests) {
        EXPECT_EQ(m.A, "1400");
        const std::string tags = netsim::DecodeFieldBody(m.M).value_or("");
        EXPECT_EQ(PaymentStation::Tag(tags, "SV"), "s0") << tags;
        EXPECT_EQ(PaymentStation::Tag(tags, "CD"), "c1") << tags;
        EXPECT_EQ(PaymentStation::Tag(tags, "D10"), "500") << tags;
        // The terminal's serial number (the simulator's unless its scenario
        // says otherwise).
        EXPECT_EQ(PaymentStation::Tag(tags, "MF"), serial) << tags;
    }
}

// The terminal's last two requests: the abort of the card dialogue, then the
// reset with the serial number.
void ExpectTerminalReset(rudasim::RudaSim& terminal) {
    const auto apdus = Apdus(terminal);
    ASSERT_GE(apdus.size(), 2u);
    EXPECT_EQ(apdus[apdus.size() - 2], "D0FF0000") << testing::PrintToString(apdus);
    EXPECT_EQ(apdus.back(), "D000002F") << testing::PrintToString(apdus);
}

// The tags of request i of a server ("" when it has none).
std::string RequestTags(netsim::AcquirerSim& server, size_t i) {
    const auto requests = server.requests();
    return i < requests.size() ? netsim::DecodeFieldBody(requests[i].M).value_or("") : "";
}

size_t CountApdus(rudasim::RudaSim& terminal, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& apdu : Apdus(terminal)) n += apdu.rfind(prefix, 0) == 0;
    return n;
}

// A swiped card whose number fails the Luhn check, on purpose (the test
// cards of the simulators pass it).
const std::string kStripeBadLuhn = "event stripe track2 \";4970100012345678=30122010000000000?\"\nevent removal\n";
const std::string kNobody = PaymentStationSetup::kNobodyListens;

// The card APDUs the server relays during the payment, in order: SELECT,
// GET PROCESSING OPTIONS, READ RECORD, GENERATE AC (ARQC, the 29 bytes of
// the card's CDOL1).
const std::vector<std::string> kRelayed = {
    "00A4040007A000000042101000", "80A8000002830000", "00B2010C00",
    "80AE80001D000000000500000000000000025000000000000978261211001122334400"};

// The server's script: each command relayed with its fetch (on the payment
// request, then on each answer of the terminal), the terminal's
// acknowledgements passed over, then the authorisation answer.
std::string RelayScenario() {
    std::string scenario;
    for (const std::string& apdu : kRelayed) scenario += "relay port=0 bodyhex=" + apdu + " fetch\nsilent\n";
    return scenario + "answer 1400 tags=\"{SS}A{SV}s0{CD}c1{RS}00{F}\"\n";
}

// The card commands reached the card (NAD 11) through the terminal, and
// their answers the server, each after the terminal's acknowledgement.
void ExpectRelayedDialogue(PaymentStation& t) {
    const size_t requests = 1 + 2 * kRelayed.size();
    ASSERT_TRUE(t.server(0).waitForRequests(requests, 5000));
    const auto got = t.server(0).requests();
    ASSERT_EQ(got.size(), requests);
    EXPECT_EQ(got[0].A, "1400");
    EXPECT_EQ(PaymentStation::Tag(netsim::DecodeFieldBody(got[0].M).value_or(""), "MF"), kSimulatorSerial);
    std::vector<rudasim::Exchange> card;
    for (const rudasim::Exchange& e : t.terminal().exchanges())
        if (e.nad == 0x11) card.push_back(e);
    for (size_t i = 0; i < kRelayed.size(); ++i) {
        SCOPED_TRACE(kRelayed[i]);
        const auto at = std::find_if(card.begin(), card.end(),
                                     [&](const rudasim::Exchange& e) { return ToHex(e.apdu) == kRelayed[i]; });
        ASSERT_NE(at, card.end());
        const netsim::NetMessage& ack = got[1 + 2 * i];
        const netsim::NetMessage& answer = got[2 + 2 * i];
        EXPECT_EQ(ack.A, "1200");
        EXPECT_EQ(ack.M, "");
        EXPECT_EQ(answer.A, "1200");
        EXPECT_EQ(answer.M, std::string(at->answer.begin(), at->answer.end()));
        ASSERT_GE(answer.M.size(), 2u);
        EXPECT_EQ(ToHex(Bytes(answer.M.end() - 2, answer.M.end())), "9000");
    }
}

// Each row runs as a test of its own, so that the rows run side by side.
const Row kRows[] = {
    {"ChipDebitApprovedOverTls", "chip debit approved over TLS, the card inserted after the card request",
     {"default answer reply rs=00"}, "", During::PushChip, {}, true,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "00"}, {"VWAY", "1"}, {"SNI", ""}},
     [](PaymentStation& t) {
         ExpectPaymentRequests(t.server(0), 1);
         EXPECT_EQ(t.server(0).tlsHandshakes(), 1);
         ExpectTerminalReset(t.terminal());
         // Card status, the card told unasked (""), the readers off once the
         // chip card is read, the removal watch and the removal, the reset.
         // The serial number is asked (D0 00 00 21) once the card is read,
         // before the request goes.
         EXPECT_EQ(Apdus(t.terminal()), (std::vector<std::string>{"D0601F01", "", "D0600000", "D0000021",
                                                                   "D0604300", "", "D0FF0000", "D000002F"}));
     }},
    {"ChipDebitApprovedTheServerDrivingTheCard", "chip debit approved over TLS, the server drives the card",
     {RelayScenario()}, "", During::PushChip, {}, true,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "00"}, {"VWAY", "1"}, {"SNI", ""}},
     [](PaymentStation& t) {
         ExpectRelayedDialogue(t);
         EXPECT_EQ(t.server(0).tlsHandshakes(), 1);
         ExpectTerminalReset(t.terminal());
     }},
    {"MendedPrincipalClosesSecoursAnswersOnce", "PRINCIPAL closes the link before its answer: SECOURS answers",
     {"close", "default answer reply rs=00"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"RS", "00"}, {"VWAY", "2"}},
     [](PaymentStation& t) {
         ExpectPaymentRequests(t.server(0), 1);
         ExpectPaymentRequests(t.server(1), 1);
         EXPECT_EQ(PaymentStation::Tag(RequestTags(t.server(1), 0), "VWAY"), "2");
         ExpectTerminalReset(t.terminal());
     }},
    {"TerminalWithoutSerialNumber", "a terminal whose resets tell no serial number: MF of 36 zeros",
     {"default answer reply rs=00"}, "serial none\n" + kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"RS", "00"}},
     [](PaymentStation& t) {
         ExpectPaymentRequests(t.server(0), 1, std::string(36, '0'));
         ExpectTerminalReset(t.terminal());
     }},
    {"MendedSerialNumberOfTheResetGoesWithTheNextPayment",
     "asked, the terminal tells no serial number, its reset after the payment does: the next payment sends it",
     {"default answer reply rs=00"}, "answer D0000021 => 9000\nserial TQ220-0042-7\n" + kChipCard,
     During::PushChip, {}, false,
     {{"SS", "A"}, {"RS", "00"}},
     [](PaymentStation& t) {
         ASSERT_TRUE(t.server(0).waitForRequests(2, 5000));
         EXPECT_EQ(PaymentStation::Tag(RequestTags(t.server(0), 0), "MF"), std::string(36, '0'));
         EXPECT_EQ(PaymentStation::Tag(RequestTags(t.server(0), 1), "MF"), "TQ220-0042-7");
         // Asked in the first payment only (of the card reader, then of the
         // display): the second has the reset's.
         const auto apdus = Apdus(t.terminal());
         const auto reset = std::find(apdus.begin(), apdus.end(), "D000002F");
         ASSERT_NE(reset, apdus.end());
         EXPECT_NE(std::find(apdus.begin(), reset, "D0000021"), reset) << testing::PrintToString(apdus);
         EXPECT_EQ(std::find(reset, apdus.end(), "D0000021"), apdus.end()) << testing::PrintToString(apdus);
     },
     true},
    {"RefusalWithDbwZeroTriesEveryServer", "RS 11 with DBW 0: SECOURS, then TERTIAIRE, then 11 to the till",
     {"default answer reply rs=11 dbw=0", "default answer reply rs=11 dbw=0", "default answer reply rs=11 dbw=0"},
     kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"RS", "11"}, {"VWAY", "3"}},
     [](PaymentStation& t) {
         for (size_t s = 0; s < 3; ++s) {
             ExpectPaymentRequests(t.server(s), 1);
             EXPECT_EQ(PaymentStation::Tag(RequestTags(t.server(s), 0), "VWAY"), std::to_string(s + 1));
         }
         ExpectTerminalReset(t.terminal());
     }},
    {"RefusalPassedOnUnchanged", "a refusal (RS 05) goes to the till unchanged; SECOURS is not asked",
     {"default answer reply rs=05", "default answer reply rs=00"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "05"}, {"VWAY", "1"}},
     [](PaymentStation& t) {
         ExpectPaymentRequests(t.server(0), 1);
         EXPECT_TRUE(t.server(1).requests().empty());
         ExpectTerminalReset(t.terminal());
     }},
    {"AnswerOfAnotherTransaction", "an answer with another UUID: RS 37, the server gets the s10/c47 event",
     {"answer 1400 reply rs=00 uuid=change\ndefault answer reply rs=00"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"RS", "37"}},
     [](PaymentStation& t) {
         // The event went (and was answered) before the till's answer left.
         ASSERT_EQ(t.server(0).requests().size(), 2u);
         const std::string request = RequestTags(t.server(0), 0);
         const std::string event = RequestTags(t.server(0), 1);
         EXPECT_EQ(PaymentStation::Tag(event, "SV"), "s10") << event;
         EXPECT_EQ(PaymentStation::Tag(event, "CD"), "c47") << event;
         const std::string decoded =
             testsupport::Base64DecodeWithCommand(PaymentStation::Tag(event, "message").value_or(""));
         const std::string uuid = PaymentStation::Tag(request, "UUID").value_or("<none>");
         EXPECT_NE(decoded.find("{R:UUID}" + uuid), std::string::npos) << decoded;
         EXPECT_NE(decoded.find("{R:CD}c1"), std::string::npos) << decoded;
         EXPECT_NE(decoded.find("{A:RS}37"), std::string::npos) << decoded;
         EXPECT_NE(decoded.find("{A:UUID}"), std::string::npos) << decoded;
         EXPECT_EQ(decoded.find("{A:UUID}" + uuid), std::string::npos) << decoded;
     }},
    {"NoServerListens", "nothing listens on the server's port: RS 31",
     {kNobody}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "31"}},
     [](PaymentStation& t) { ExpectTerminalReset(t.terminal()); }},
    {"SocketCutQueuedAtTheStart",
     "in connected mode the server cut the link after the previous payment: RS 31, no card asked",
     {"answer 1400 reply rs=00 then=close\ndefault answer reply rs=00"}, kChipCard, During::Nothing,
     {{"ConnectedMode", "1"}}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "31"}},
     [](PaymentStation& t) {
         EXPECT_EQ(t.server(0).requests().size(), 1u);
         // The previous payment asked for the card.
         EXPECT_EQ(CountApdus(t.terminal(), "D0601F01"), 1u) << testing::PrintToString(Apdus(t.terminal()));
     },
     true, true},
    {"AbortDuringTheCardWait", "the till aborts (s3/c0) while the terminal waits for the card: RS 33",
     {"default answer reply rs=00"}, "", During::Abort, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "33"}},
     [](PaymentStation& t) {
         EXPECT_TRUE(t.server(0).requests().empty());
         // The card wait ends on the terminal once the answer left.
         EXPECT_TRUE(WaitApdu(t.terminal(), "D0FF", 10000)) << testing::PrintToString(Apdus(t.terminal()));
     }},
    {"StripeWithAWrongLuhnKey", "a swiped card whose number fails the Luhn check: RS 11, no server asked",
     {"default answer reply rs=00"}, kStripeBadLuhn, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "11"}},
     [](PaymentStation& t) { EXPECT_TRUE(t.server(0).requests().empty()); }},
    // The card wait after a mute card took two answers of one card request
    // and stood on the first for ever: the abort was never served.
    {"MendedMuteCardThenAbort", "a mute chip card, the stripe asked instead, then the till aborts: RS 33",
     {"default answer reply rs=00"}, "", During::MuteCardThenAbort, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "33"}},
     [](PaymentStation& t) {
         EXPECT_TRUE(t.server(0).requests().empty());
         EXPECT_TRUE(WaitApdu(t.terminal(), "D0FF", 10000)) << testing::PrintToString(Apdus(t.terminal()));
     }},
    // The card wait went on until the card time-out (RS 30) on a closed line.
    {"MendedTerminalHangsUpDuringTheCardWait", "the terminal's line closes while it waits for the card: RS 32",
     {"default answer reply rs=00"}, "", During::HangUp, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "32"}},
     [](PaymentStation& t) { EXPECT_TRUE(t.server(0).requests().empty()); }},
    // Requests of the till and of the terminal's holder while the payment runs.
    {"AbortWhileTheServerIsSilent", "the till aborts while the server keeps silent: RS 33, then the terminal's reset",
     {"silent\ndefault answer reply rs=00"}, kChipCard, During::AbortAtTheServer, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "33"}},
     [](PaymentStation& t) {
         EXPECT_EQ(t.server(0).requests().size(), 1u);
         ExpectResetComes(t.terminal());
     }},
    {"AbortRefusedAfterTheAnswer", "the till aborts once the server answered: refused ('6'), the payment ends RS 00",
     {"default answer reply rs=00"}, "", During::AbortAfterTheAnswer, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "00"}},
     [](PaymentStation& t) {
         ExpectPaymentRequests(t.server(0), 1);
         ExpectTerminalReset(t.terminal());
         // The program refused it with '6', which the library gives back as
         // 0 for an abort (its log keeps what it read).
         const std::string log = testsupport::ReadFileText(t.dir().file("ZNP_DLL_" + std::to_string(t.pos()) + ".LOG"));
         const size_t read = log.find("DIAREA - Recu: 6");
         ASSERT_NE(read, std::string::npos) << log;
         EXPECT_TRUE(log.compare(read + 16, 1, "\r") == 0 || log.compare(read + 16, 1, "\n") == 0) << log;
     }},
    {"CloseDuringTheCardWait", "the till closes the library while the card is awaited: the program ends, cleanly",
     {"default answer reply rs=00"}, "", During::CloseDuringTheCardWait, {}, false, {},
     [](PaymentStation& t) {
         EXPECT_TRUE(t.ProgramProcesses().empty());
         EXPECT_TRUE(t.SharedObjects().empty()) << testing::PrintToString(t.SharedObjects());
         EXPECT_TRUE(t.server(0).requests().empty());
         // The card wait ended on the terminal before the program did.
         EXPECT_GE(CountApdus(t.terminal(), "D0FF"), 1u) << testing::PrintToString(Apdus(t.terminal()));
         // The program took the stop request ('0'), then ended by itself.
         const std::string log = testsupport::ReadFileText(t.dir().file("ZNP_DLL_" + std::to_string(t.pos()) + ".LOG"));
         const size_t stop = log.find("{SV}s3{CD}c99");
         ASSERT_NE(stop, std::string::npos) << log;
         EXPECT_NE(log.find("DIAREA - Recu: 0", stop), std::string::npos) << log;
     }},
    {"MendedFlashInformationDuringTheCardWait", "a flash information of the till during the card wait: '0', RS 00",
     {"default answer reply rs=00"}, "", During::FlashDuringTheCardWait, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "00"}},
     [](PaymentStation& t) {
         ASSERT_TRUE(t.server(0).waitForRequests(2, 5000));
         const auto requests = t.server(0).requests();
         ASSERT_EQ(requests.size(), 2u);
         // The flash information goes to the server as it is, the payment
         // as the payment.
         const std::string flash = RequestTags(t.server(0), 0);
         EXPECT_EQ(requests[0].A, "1410");
         EXPECT_EQ(PaymentStation::Tag(flash, "SV"), "s11") << flash;
         EXPECT_EQ(PaymentStation::Tag(flash, "D3G"), "caisse") << flash;
         EXPECT_EQ(requests[1].A, "1400");
         const std::string payment = RequestTags(t.server(0), 1);
         EXPECT_EQ(PaymentStation::Tag(payment, "SV"), "s0") << payment;
         EXPECT_EQ(PaymentStation::Tag(payment, "D10"), "500") << payment;
         EXPECT_EQ(PaymentStation::Tag(payment, "MF"), kSimulatorSerial) << payment;
         EXPECT_EQ(PaymentStation::Tag(payment, "D3G"), std::nullopt) << payment;
         ExpectTerminalReset(t.terminal());
     }},
    {"SecondPaymentDuringAPayment", "a second payment during the card wait is refused ('5'): the first ends RS 00",
     {"default answer reply rs=00"}, "", During::SecondPaymentDuringTheCardWait, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "00"}},
     [](PaymentStation& t) {
         ExpectPaymentRequests(t.server(0), 1);
         ExpectTerminalReset(t.terminal());
     },
     false, false, 5},
    {"CancelKeyOnTheTerminal", "the holder presses the cancel key during the card wait: RS 35, no server asked",
     {"default answer reply rs=00"}, "event key 1B\n", During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "35"}},
     [](PaymentStation& t) {
         EXPECT_TRUE(t.server(0).requests().empty());
         ExpectResetComes(t.terminal());
     }},
    // Malformed server answers: a clear RS, never a hang.
    {"ServerAnswerTruncated", "the server's answer is cut short, then the link closes: RS 31",
     {"answer 1400 reply rs=00 truncate=20 then=close"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "31"}},
     [](PaymentStation& t) { ExpectResetComes(t.terminal()); }},
    {"ServerAnswerWithoutRs", "the server's answer has no RS: RS 37",
     {"answer 1400 reply omit=RS"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "37"}},
     [](PaymentStation& t) { ExpectResetComes(t.terminal()); }},
    {"ServerAnswerGarbage", "the server answers bytes that are no message, then closes: RS 31",
     {"raw 0123456789ABCDEF0123456789ABCDEF then=close"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "31"}},
     [](PaymentStation& t) { ExpectResetComes(t.terminal()); }},
    {"ServerAnswerOfAnUnknownType", "the server answers with a message type of its own, then closes: RS 31",
     {"answer 4242 reply rs=00 then=close"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "31"}},
     [](PaymentStation& t) { ExpectResetComes(t.terminal()); }},
    {"ServerAnswerOfTheMaintenanceType", "the server answers the payment with the maintenance type: checked, RS 00",
     {"answer 1500 reply rs=00"}, kChipCard, During::Nothing, {}, false,
     {{"SS", "A"}, {"SV", "s0"}, {"CD", "c1"}, {"RS", "00"}},
     [](PaymentStation& t) { ExpectResetComes(t.terminal()); }},
};

TEST_P(CardPaymentEndToEnd, Row) { Run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Table, CardPaymentEndToEnd, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.id); });

}  // namespace

// The DORAN card operations (20, 40, 50, 51, 60, 80, 81, 82) without a
// line: no caller of the program sets them, so their requests and answers
// are checked here by tables, on a card-data record on the heap.
#include "protocols/doran/doran_card_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cardsim/emv_card.h"
#include "doransim/doran_terminal.h"
#include "protocols/doran/doran_syntax.h"
#include "support/apdu_bytes.h"
#include "support/openssl_cli.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::TraceCapture;

Bytes Two(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes Four(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Answer(uint32_t peripheral, uint32_t command, const Bytes& e2) {
    return doransim::Encode({peripheral, command, e2, {}});
}

class CardOps : public ::testing::Test {
protected:
    void SetUp() override {
        pot = std::make_unique<POT>();
        POT_StartTransaction(pot.get());
    }
    void TearDown() override {
        DRN_FreeSyntax(1, 'w');
        POT_StartTransaction(pot.get());
    }
    void Peripheral(const char* text) {
        pot->peripheralFlag = 1;
        std::snprintf(pot->peripheral, sizeof pot->peripheral, "%s", text);
    }
    // A request slot set by the caller.
    void SetText(uint32_t tag, const std::string& text) {
        PotCardView v = POT_CardSlot(pot.get(), tag);
        std::memcpy(v.text, text.data(), text.size());
        *v.length = int32_t(text.size());
    }
    void SetNumber(uint32_t tag, int64_t value) {
        PotCardView v = POT_CardSlot(pot.get(), tag);
        *v.value = value;
        *v.length = 1;
    }
    std::string Slot(uint32_t tag) {
        PotCardView v = POT_FindCardSlot(pot.get(), tag);
        return v.length == nullptr || *v.length <= 0 || *v.length == kPotAsked ? std::string()
                                                                                   : std::string(v.text, size_t(*v.length));
    }
    // A request decoded by the terminal simulator's own reader.
    doransim::Message Request(const unsigned char* message, const int* length) {
        const Bytes bytes = message != nullptr ? Bytes(message, message + *length) : Bytes{};
        DRN_FreeSyntax(1, 'w');
        last = bytes;
        return doransim::Decode(bytes).value_or(doransim::Message{});
    }

    std::unique_ptr<POT> pot;
    Bytes last;
};

std::string TagsOf(const doransim::Message& m) {
    std::string out;
    char t[12];
    for (uint32_t tag : m.tags) {
        std::snprintf(t, sizeof t, "%s%X", out.empty() ? "" : " ", tag);
        out += t;
    }
    return out;
}

}  // namespace

// Operation 20: the mask of the services in two bytes, the request
// elements of the slots set, the answer tags of each pair (DF81813E once);
// the answer: every slot its flags ask for, the card number cut at its
// first space, the service code's last three characters, the status; a
// slot asked that the answer lacks fails it.
TEST_F(CardOps, Reader1Card) {
    pot->services[0].mask = 0x4;
    pot->services[1].mask = 0x2 | 0x80;
    SetNumber(0xDF828232, 5);
    SetText(0xDF84822C, "AB");
    int length = 0;
    const doransim::Message request = Request(DRN_SetReader1Card(&length, pot.get()), &length);
    EXPECT_EQ(request.peripheral, 0x2001u);
    EXPECT_EQ(request.command, 4u);
    EXPECT_EQ(doransim::Find(request.data, 0xDF828234), Two(0x86));
    EXPECT_EQ(doransim::Find(request.data, 0xDF828232), Two(50));
    EXPECT_EQ(doransim::Find(request.data, 0xDF84822C), Text("AB"));
    EXPECT_EQ(TagsOf(request),
              "DF828000 DF828154 DF828100 DF81813E DF858104 DF828118 DF82811A DF82811E DF82811C DF828120 DF81813D "
              "DF858122 DF828102 DF858140 DF858156");
    EXPECT_FALSE(testsupport::OpensslAsn1Parse(last).empty());

    const Bytes answer = Answer(0x2001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF828154, Two(0x6)),
                                                   Element(0xDF828100, Two(0x9000)), Element(0xDF858104, Text("1234 567")),
                                                   Element(0xDF828118, Hex("0201")), Element(0xDF82811A, Four(0x20250101)),
                                                   Element(0xDF82811C, Four(0x20271231)), Element(0xDF82811E, Hex("0250")),
                                                   Element(0xDF828120, Hex("0978")), Element(0xDF858122, Text("DUPONT")),
                                                   Element(0xDF81813D, {2}), Element(0xDF81813E, {3}),
                                                   Element(0xDF828102, Two(0xABCD))}));
    EXPECT_EQ(DRN_DealReader1Card(answer.data(), int(answer.size()), pot.get()), 0);
    EXPECT_STREQ(pot->pan.text, "1234");
    EXPECT_EQ(pot->pan.length, 4);
    EXPECT_STREQ(pot->serviceCode.text, "201");
    EXPECT_EQ(Slot(0xDF82811A), "20250101");
    EXPECT_EQ(Slot(0xDF828102), "abcd");
    EXPECT_EQ(pot->status.value, 0x9000);
    EXPECT_EQ(pot->df81811a.value, 3);
    EXPECT_EQ(pot->countryCode.value, 250);
    EXPECT_EQ(pot->tag9f42.value, 978);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pot->cardholderName.bytes)), "DUPONT");
    EXPECT_EQ(pot->services[0].state, 1);
    EXPECT_EQ(pot->services[1].state, 1);
    EXPECT_EQ(pot->busy, 0);

    // Another reader's answer, or a missing answered-flags element: 32.
    const Bytes other = Answer(0x2002, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF828154, Two(0x4))}));
    EXPECT_EQ(DRN_DealReader1Card(other.data(), int(other.size()), pot.get()), 32);
    const Bytes noFlags = Answer(0x2001, 4, Element(0xDF828000, Two(0)));
    EXPECT_EQ(DRN_DealReader1Card(noFlags.data(), int(noFlags.size()), pot.get()), 32);
    // A slot asked that the answer lacks: busy 32 and 32.
    const Bytes lacking = Answer(0x2001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF828154, Two(0x4)),
                                                    Element(0xDF828100, Two(0))}));
    EXPECT_EQ(DRN_DealReader1Card(lacking.data(), int(lacking.size()), pot.get()), 32);
    EXPECT_EQ(pot->busy, 32);
}

// Operation 50: the card number, a 4-byte number written with ten digits
// (leading zeros), its first four digits as DF818211.
TEST_F(CardOps, Card4001NumberOfTenDigits) {
    const Bytes answer = Answer(0x4001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF838100, Four(0x2)),
                                                   Element(0xDF81811A, {2}), Element(0xDF838106, Four(123456)),
                                                   Element(0xDF828104, Hex("1225"))}));
    ASSERT_EQ(DRN_DealCard4001(answer.data(), int(answer.size()), pot.get()), 0);
    EXPECT_STREQ(pot->pan.text, "0000123456");
    EXPECT_EQ(pot->df818211.flag, 1);
    EXPECT_EQ(pot->df818211.value, 0);
    EXPECT_STREQ(pot->expiryDate.text, "2512");  // pairs swapped
    EXPECT_EQ(pot->status.value, 2);
    const Bytes noStatus = Answer(0x4001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF838100, Four(0x2))}));
    EXPECT_EQ(DRN_DealCard4001(noStatus.data(), int(noStatus.size()), pot.get()), 1);
    const Bytes other = Answer(0x3001, 4, Element(0xDF828000, Two(0)));
    EXPECT_EQ(DRN_DealCard4001(other.data(), int(other.size()), pot.get()), 1);
}

// Operation 50's request: the groups of the DF858400 slot's text (two, two
// and four characters, then n bytes, n from characters 3-4), read only
// within the slot: a count beyond its text builds nothing.
TEST_F(CardOps, Card4001GroupsStayWithinTheirSlot_Mended) {
    Peripheral("4001");
    SetText(0xDF858400, "0102AABBCCDD");
    SetText(0xDF848206, "251231");
    int length = 0;
    const doransim::Message request = Request(DRN_SetCard4001(&length, pot.get()), &length);
    EXPECT_EQ(doransim::Find(request.data, 0xDF818218), Hex("01"));
    EXPECT_EQ(doransim::Find(request.data, 0xDF818219), Hex("02"));
    EXPECT_EQ(doransim::Find(request.data, 0xDF84821A), Hex("AABB"));
    EXPECT_EQ(doransim::Find(request.data, 0xDF858400), Hex("CCDD"));
    EXPECT_EQ(doransim::Find(request.data, 0xDF848206), Hex("311225"));
    EXPECT_TRUE(doransim::Find(request.data, 0xDF82821C).has_value());

    SetText(0xDF858400, "0109AABBCCDD");  // nine bytes announced, two there
    EXPECT_EQ(DRN_SetCard4001(&length, pot.get()), nullptr);
    DRN_FreeSyntax(1, 'w');
}

// Operation 40: DF858418 "FRF" or "EUR" (any case) stores the currency;
// other letters store none and the answer is still taken.
TEST_F(CardOps, Card3001Currency) {
    struct Case {
        const char* letters;
        int flag;
        int64_t currency;
    };
    for (const Case c : {Case{"eur", 1, 978}, Case{"FRF", 1, 250}, Case{"ABC", 0, 0}}) {
        POT_StartTransaction(pot.get());
        pot->services[0].mask = 0x4;
        const Bytes answer = Answer(0x3001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF838102, Four(0x4)),
                                                       Element(0xDF828100, Two(0)), Element(0xDF858418, Text(c.letters)),
                                                       Element(0xDF858400, Hex("4970100012345678901F"))}));
        EXPECT_EQ(DRN_DealCard3001(answer.data(), int(answer.size()), pot.get()), 0) << c.letters;
        EXPECT_EQ(pot->currencyCode.flag, c.flag) << c.letters;
        EXPECT_EQ(pot->currencyCode.value, c.currency) << c.letters;
        EXPECT_EQ(Slot(0xDF858418), c.letters);
    }
    EXPECT_STREQ(pot->pan.text, "4970100012345678901");
    // The request: the mask in four bytes, the tags of bit 4.
    Peripheral("3001");
    pot->services[0].mask = 0x40;
    SetText(0xDF858400, "4970");
    int length = 0;
    const doransim::Message request = Request(DRN_SetCard3001(&length, pot.get()), &length);
    EXPECT_EQ(request.peripheral, 0x3001u);
    EXPECT_EQ(doransim::Find(request.data, 0xDF838200), Four(0x40));
    EXPECT_EQ(doransim::Find(request.data, 0xDF858400), Hex("4970"));
    EXPECT_EQ(TagsOf(request), "DF828000 DF838102 DF828100 DF859700");
}

// Operation 51: the answer's DF858400 into its slot; without it busy stays
// 32 and the decoder says 32.
TEST_F(CardOps, CardDataNeedsItsElement) {
    const Bytes without = Answer(0x1234, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF838100, Four(0))}));
    EXPECT_EQ(DRN_DealCardData(without.data(), int(without.size()), pot.get()), 32);
    EXPECT_EQ(pot->busy, 32);
    const Bytes with = Answer(0x1234, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF838100, Four(0)),
                                                 Element(0xDF858400, Hex("0A0B"))}));
    EXPECT_EQ(DRN_DealCardData(with.data(), int(with.size()), pot.get()), 0);
    EXPECT_EQ(pot->busy, 0);
    EXPECT_EQ(Slot(0xDF858400), "0a0b");
}

// Operation 60: bit 8 asks for the three DF808xxx answers (each its own
// slot, apart from the EMV request slots of the same tags); bits 0x40 and
// 0x80 take them back.
TEST_F(CardOps, Card6001Answers) {
    for (const uint32_t answered : {0x8u, 0x48u}) {
        POT_StartTransaction(pot.get());
        const Bytes answer = Answer(0x6001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF838102, Four(answered)),
                                                       Element(0xDF828100, Two(0)), Element(0xDF808600, Hex("C0FFEE")),
                                                       Element(0xDF858108, Text("abc"))}));
        EXPECT_EQ(DRN_DealCard6001(answer.data(), int(answer.size()), pot.get()), 0);
        EXPECT_EQ(Slot(0xDF808600), answered == 0x8 ? "c0ffee" : "") << answered;
        EXPECT_EQ(Slot(0xDF858108), answered == 0x8 ? "" : "abc") << answered;
        EXPECT_EQ(pot->df808600.length, 0);
    }
}

// Operation 82: the command is the first pair's mask; without it (or
// without the peripheral) nothing is built; the answer's command must be
// the request's; the reason, part number and part data are traced.
TEST_F(CardOps, EcoQuery) {
    TraceCapture trace;
    int length = 7;
    Peripheral("2A");
    EXPECT_EQ(DRN_SetECOCommand(&length, pot.get()), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [DRN_SetECOCommand] Code application TALVO absent"));

    pot->services[0].mask = 2;
    pot->services[1].mask = 8;
    SetNumber(0xDF818101, 3);
    const doransim::Message request = Request(DRN_SetECOCommand(&length, pot.get()), &length);
    EXPECT_EQ(request.peripheral, 0x2Au);
    EXPECT_EQ(request.command, 2u);
    EXPECT_EQ(doransim::Find(request.data, 0xDF818101), Bytes{3});
    EXPECT_EQ(TagsOf(request), "DF828000 DF818100 DF858200 DF818101 DF858200");

    const Bytes wrong = Answer(0x2A, 8, Element(0xDF828000, Two(0)));
    EXPECT_EQ(DRN_DealECOAnswer(wrong.data(), int(wrong.size()), pot.get()), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [DRN_DealECOAnswer] Code action incorrect (8 2)"));
    const Bytes noResult = Answer(0x2A, 2, Element(0xDF818100, {1}));
    EXPECT_EQ(DRN_DealECOAnswer(noResult.data(), int(noResult.size()), pot.get()), 32);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [DRN_DealECOAnswer] Extraction resultat echouee"));
    const Bytes good = Answer(0x2A, 2, Concat({Element(0xDF828000, Two(0)), Element(0xDF818100, {5}),
                                               Element(0xDF858200, Hex("0102"))}));
    EXPECT_EQ(DRN_DealECOAnswer(good.data(), int(good.size()), pot.get()), 0);
    EXPECT_TRUE(trace.Contains("** INFO. ** [DRN_DealECOAnswer] Resultat: 0"));
    EXPECT_TRUE(trace.Contains("** INFO. ** [Xa_Eco_GetReason] 1 5"));
    EXPECT_TRUE(trace.Contains("** INFO. ** [Xa_Eco_GetPartData] 1 0102"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- [Xa_Eco_GetPartNumber] Extraction echouee"));
}

// Operation 80: its own record; DFE08404 is required when asked and
// replaces the request's record, its first two bytes the derived number.
TEST(CardOpsRecord, RecordExchange) {
    auto r = std::make_unique<DrnRecordExchangeRecord>();
    r->services[0].mask = 0x2;
    r->peripheral = 0x5001;
    r->df828104Flag = 1;
    r->df828104 = 0x0102;
    r->headLength = 4;
    std::memcpy(r->head, "\x01\x02\x03\x04", 4);
    r->dataLengthFlag = 1;
    r->dataLengthByte = 2;
    r->dataFlag = 1;
    std::memcpy(r->data, "\xAA\xBB", 2);
    int length = 0;
    const unsigned char* message = DRN_SetRecordExchange(&length, r.get());
    ASSERT_NE(message, nullptr);
    const auto request = doransim::Decode(Bytes(message, message + length));
    DRN_FreeSyntax(1, 'w');
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(doransim::Find(request->data, 0xDF828100), Two(0x2));
    EXPECT_EQ(doransim::Find(request->data, 0xDF828104), Two(0x0102));
    EXPECT_EQ(doransim::Find(request->data, 0xDF828102), Two(0x0102));
    EXPECT_EQ(doransim::Find(request->data, 0xDFE08400), Hex("0102030402AABB"));

    const Bytes missing = Answer(0x5001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF828200, Two(0x2)),
                                                    Element(0xDF828202, Two(7))}));
    EXPECT_EQ(DRN_DealRecordExchange(missing.data(), int(missing.size()), r.get()), 32);
    const Bytes good = Answer(0x5001, 4, Concat({Element(0xDF828000, Two(0)), Element(0xDF828200, Two(0x2)),
                                                 Element(0xDF828202, Two(7)), Element(0xDFE08404, Hex("1234FF"))}));
    EXPECT_EQ(DRN_DealRecordExchange(good.data(), int(good.size()), r.get()), 0);
    EXPECT_EQ(r->df828202, 7);
    EXPECT_EQ(r->dataFlag, 3);
    EXPECT_EQ(r->dataLengthByte, 3);
    EXPECT_EQ(r->derived, 0x1234);
    // A request whose length byte would pass 255 is refused.
    r->dataLengthByte = 300;
    EXPECT_EQ(DRN_SetRecordExchange(&length, r.get()), nullptr);
    DRN_FreeSyntax(1, 'w');
}

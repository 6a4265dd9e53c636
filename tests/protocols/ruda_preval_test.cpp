// Prevalidation answers: status words, template kinds, the split by
// candidate on parsed 9F06 elements, and the data objects copied into POT.
#include "protocols/ruda/ruda_preval.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cardsim/emv_card.h"
#include "support/apdu_bytes.h"
#include "protocols/ruda/ruda_level2.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;

using testsupport::Hex;
using testsupport::Text;

class RudaPreval : public ::testing::Test {
protected:
    void SetUp() override {
        pot = std::make_unique<POT>();
        std::memset(candidates, 0, sizeof candidates);
    }
    int Extract(const Bytes& value, int operation, bool withCandidates = true, int room = kRudal2CandidateMax) {
        answer = value;
        TlvNode node;
        node.tag = 0xE3;
        node.value = answer.data();
        node.lg = static_cast<int>(answer.size());
        return RUDAL2_ExtractAllTag(&node, pot.get(), withCandidates ? candidates : nullptr, room, operation);
    }
    std::unique_ptr<POT> pot;
    RudaCandidateRecord candidates[kRudal2CandidateMax + 2];
    Bytes answer;
    testsupport::TraceCapture trace;
};

TEST_F(RudaPreval, StatusWordsAndTemplateKinds) {
    struct Sw {
        int sw;
        int result;
        int32_t state;
    } sws[] = {{0x9000, 0, -1}, {0x6985, 0, RUDA_OUTCOME_SW_6985}, {0x9F23, 0, RUDA_OUTCOME_CARD_GONE},
               {0x9F28, 0, RUDA_OUTCOME_SW_9F28}, {0x6A82, 1, -1}};
    for (const Sw& c : sws) {
        pot->services[0].state = -1;
        EXPECT_EQ(RUDAL2_CheckSwAnswer(pot.get(), c.sw), c.result) << std::hex << c.sw;
        EXPECT_EQ(pot->services[0].state, c.state) << std::hex << c.sw;
    }
    EXPECT_TRUE(trace.Contains("-- ERROR -- [RUDAL2_CheckSwAnswer] Autre erreur : SW1-SW2 : 6a82"));
    EXPECT_EQ(RUDAL2_CheckSwAnswer(pot.get(), 0x9F41), 1);
    EXPECT_EQ(pot->services[8].state, 5);

    struct Kind {
        uint8_t type;
        int result;
        int32_t state;
        int64_t mode;
    } kinds[] = {{0xE0, 32, RUDA_OUTCOME_CARD_GONE, -1}, {0xE2, 0, -1, -1}, {0xE3, 0, -1, 64},
                 {0xE4, 0, -1, 128}, {0xE5, 0, -1, 0}, {0xE6, 64, -1, -1}, {0x6F, 32, RUDA_OUTCOME_SW_REFUSED, -1}};
    for (const Kind& k : kinds) {
        pot->services[0].state = -1;
        pot->authorisationMode = PotNumber{0, -1};
        EXPECT_EQ(RUDAL2_CheckTypeAnswer(pot.get(), k.type), k.result) << std::hex << int(k.type);
        EXPECT_EQ(pot->services[0].state, k.state) << std::hex << int(k.type);
        EXPECT_EQ(pot->authorisationMode.value, k.mode) << std::hex << int(k.type);
        if (k.mode >= 0) {
            EXPECT_EQ(pot->authorisationMode.flag, 1);
        }
    }
}

TEST_F(RudaPreval, CandidatesAreSplitOnParsed9F06Elements) {
    const Bytes value = Concat({Element(0x9F27, {0x80}),
                                Element(0x9F06, Hex("A0000000421010")), Element(0x50, Text("CB")), Element(0x87, {0x01}),
                                Element(0xBF0C, Hex("5F550146")),
                                // 9F 06 as bytes inside a value is not a candidate.
                                Element(0x9F10, Hex("9F0601AA9F06")),
                                Element(0x9F06, Hex("A0000000041010")), Element(0x50, Text("MASTER"))});
    ASSERT_EQ(Extract(value, 182), 1);
    EXPECT_EQ(candidates[0].found, 1);
    EXPECT_EQ(Bytes(candidates[0].aid, candidates[0].aid + candidates[0].aidLength), Hex("A0000000421010"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(candidates[0].label), candidates[0].labelLength), "CB");
    EXPECT_STREQ(candidates[0].priority, "01");
    EXPECT_EQ(Bytes(candidates[0].fci, candidates[0].fci + candidates[0].fciLength), Hex("5F550146"));
    EXPECT_EQ(candidates[1].found, 1);
    EXPECT_EQ(Bytes(candidates[1].aid, candidates[1].aid + candidates[1].aidLength), Hex("A0000000041010"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(candidates[1].label), candidates[1].labelLength), "MASTER");
    EXPECT_EQ(candidates[1].priorityLength, 0);
    EXPECT_EQ(candidates[2].found, 0);
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo1), "80");
}

TEST_F(RudaPreval, CandidateRecordsStopAtTheirRoomMended) {
    Bytes value;
    for (int i = 0; i < 12; ++i) {
        const Bytes one = Element(0x9F06, {0xA0, 0x00, 0x00, 0x00, static_cast<uint8_t>(i)});
        value.insert(value.end(), one.begin(), one.end());
    }
    ASSERT_EQ(Extract(value, 182), 1);
    for (int i = 0; i < kRudal2CandidateMax; ++i) EXPECT_EQ(candidates[i].found, 1) << i;
    EXPECT_EQ(candidates[kRudal2CandidateMax].found, 0);
    EXPECT_EQ(candidates[kRudal2CandidateMax].aid[4], 0);

    std::memset(candidates, 0, sizeof candidates);
    ASSERT_EQ(Extract(value, 182, true, 2), 1);
    EXPECT_EQ(candidates[1].found, 1);
    EXPECT_EQ(candidates[2].found, 0);

    RudaCandidatePiece pieces[3];
    int count = 0;
    TlvNode node;
    node.value = answer.data();
    node.lg = static_cast<int>(answer.size());
    EXPECT_EQ(RUDAL2_SplitCandidates(&node, pieces, 3, &count), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(pieces[0].length, 8);
    TlvNode none;
    const Bytes plain = Element(0x5A, {0x9F, 0x06});
    none.value = const_cast<unsigned char*>(plain.data());
    none.lg = static_cast<int>(plain.size());
    EXPECT_EQ(RUDAL2_SplitCandidates(&none, pieces, 3, &count), 0);
    EXPECT_EQ(RUDAL2_SplitCandidates(nullptr, pieces, 3, &count), -1);
}

TEST_F(RudaPreval, CardNumberFillerAndLaterSteps) {
    ASSERT_EQ(Extract(Element(0x5A, Hex("4970100012345678901F")), 181, false), 1);
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345678901");
    // Later steps keep the number already read.
    ASSERT_EQ(Extract(Element(0x5A, Hex("5555555555554444")), 183, false), 1);
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345678901");
    ASSERT_EQ(Extract(Element(0x5A, Hex("5555555555554444")), 182, false), 1);
    EXPECT_EQ(testsupport::PotString(pot->pan), "5555555555554444");
}

TEST_F(RudaPreval, DataObjectsGoToTheirSlots) {
    const Bytes value = Concat({
        Element(0x57, Hex("4970100012345678d25122010f")),
        Element(0x82, Hex("5C00")), Element(0x95, Hex("0000008000")), Element(0x9C, {0x20}),
        Element(0x5F2A, Hex("0978")), Element(0x5F24, Hex("251231")), Element(0x9F26, Hex("1122334455667788")),
        Element(0x9F27, {0x40}), Element(0x9F33, Hex("e0f8c8")), Element(0x9F35, {0x22}), Element(0x9F36, {0x01, 0x02}),
        Element(0x9F37, Hex("A1B2C3D4")), Element(0x5F34, {0x01}), Element(0x5F20, Text("TEST")),
        Element(0x9F0B, Hex("0102")), Element(0x9F24, Hex("3132")),
        Element(0xFF7F, Concat({Element(0xDFDF10, {0xAA}), Element(0xDFDF12, {0xBB})})),
        Element(0xFF7C, Element(0xDF837F, {0x01, 0x02})),
    });
    ASSERT_EQ(Extract(value, 181, false), 1);
    EXPECT_EQ(testsupport::PotString(pot->track2Equivalent), "4970100012345678D25122010F");
    EXPECT_EQ(testsupport::PotString(pot->aip), "5c00");
    EXPECT_EQ(testsupport::PotString(pot->tvr), "0000008000");
    EXPECT_EQ(pot->transactionType.value, 20);
    EXPECT_EQ(pot->currencyCode.value, 978);
    EXPECT_EQ(testsupport::PotString(pot->expiryDate), "251231");
    EXPECT_EQ(testsupport::PotString(pot->cryptogram1), "1122334455667788");
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo1), "40");
    EXPECT_EQ(pot->cryptogram2.length, 0);
    EXPECT_EQ(testsupport::PotString(pot->terminalCapabilities), "E0F8C8");
    EXPECT_EQ(pot->terminalType.value, 22);
    EXPECT_EQ(pot->atc.value, 0x102);
    EXPECT_EQ(pot->unpredictableNumber.value, 0xA1B2C3D4);
    EXPECT_EQ(pot->panSequenceNumber.value, 1);
    EXPECT_EQ(testsupport::PotString(pot->cardholderNameHex), "54455354");
    EXPECT_EQ(pot->tag9f0b.length, 2);
    EXPECT_EQ(Bytes(pot->tag9f24.bytes, pot->tag9f24.bytes + 2), Hex("3132"));
    EXPECT_EQ(testsupport::PotString(pot->ff7fDfdf10), "aa");
    EXPECT_EQ(testsupport::PotString(pot->ff7fDfdf12), "bb");
    EXPECT_EQ(testsupport::PotString(pot->ff7cDf837f), "0102");

    // Operation 184 answers the second cryptogram.
    ASSERT_EQ(Extract(Concat({Element(0x9F26, Hex("8877665544332211")), Element(0x9F27, {0x00})}), 184, false), 1);
    EXPECT_EQ(testsupport::PotString(pot->cryptogram2), "8877665544332211");
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo2), "00");
    EXPECT_EQ(testsupport::PotString(pot->cryptogram1), "1122334455667788");
}

TEST_F(RudaPreval, ValuesWiderThanTheirSlotAreRefusedMended) {
    ASSERT_EQ(Extract(Concat({Element(0x5F24, Hex("20251231")), Element(0x9F26, Bytes(9, 0x11)),
                              Element(0x82, Hex("5C00"))}),
                      181, false),
              1);
    EXPECT_EQ(pot->expiryDate.length, 0);
    EXPECT_EQ(pot->cryptogram1.length, 0);
    EXPECT_EQ(testsupport::PotString(pot->aip), "5c00") << "the extraction goes on";
    EXPECT_TRUE(trace.Contains("<< WARN. >> [RUDAL2_ExtractAllTag] 5F24 de 8 caracteres refuse (au plus 6)"));
    EXPECT_EQ(RUDAL2_ExtractAllTag(nullptr, pot.get(), nullptr, 0, 181), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [RUDAL2_ExtractAllTag] Extract 57"));
}

}  // namespace

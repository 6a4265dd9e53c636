// The DORAN EMV exchange (operation 30) and the card-data record loader:
// request building checked by openssl, answered flags, the slot rules of
// the loader table, the cryptogram group, the offline-authentication buffer
// limit and the record lists.
#include "protocols/doran/doran_emv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cardsim/emv_card.h"
#include "support/apdu_bytes.h"
#include "protocols/doran/doran_syntax.h"
#include "support/openssl_cli.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;

using testsupport::Hex;

Bytes U32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

// An answer of operation 30: result 0, the answered flags, per-service
// states 0 for the first four pairs, status 0, the card data and further
// data-part elements.
Bytes Answer(uint32_t answered, const Bytes& card, const Bytes& more = {}, uint32_t peripheral = 0x2801) {
    const Bytes e2 = Concat({Element(0xDF828000, {0x00, 0x00}), Element(0xDF838102, U32(answered)),
                             Element(0xDF85810A, {0x00, 0x00, 0x00, 0x00}), Element(0xDF828100, {0x00}),
                             Element(0xDF808400, card), more});
    return Element(0xE0, Concat({Element(0xC3, {static_cast<uint8_t>(peripheral >> 8), static_cast<uint8_t>(peripheral)}),
                                 Element(0xE1, Concat({Element(0xC4, {0x00, 0x04}), Element(0xE2, e2)}))}));
}

class DoranEmv : public ::testing::Test {
protected:
    void SetUp() override {
        pot = std::make_unique<POT>();
        POT_StartTransaction(pot.get());
        DRN_ResetCdolFlag();
    }
    void TearDown() override {
        DRN_FreeAuthentificationBuffer();
        DRN_FreeSyntax(1, 'w');
        DRN_ResetCdolFlag();
    }
    int Deal(const Bytes& answer) { return DRN_DealEMVAnswer(answer.data(), static_cast<int>(answer.size()), pot.get()); }
    // Loads data-part elements directly (the RUDA path).
    int Load(const Bytes& data) { return DRN_DealEMVAnswerDatas(data.data(), static_cast<int>(data.size()), pot.get()); }
    std::string Text(const char* text, int length) { return std::string(text, static_cast<size_t>(length)); }

    std::unique_ptr<POT> pot;
};

TEST_F(DoranEmv, AnsweredFlagsOfExactlyEightLeaveTheCardSlotsAlone) {
    pot->services[1].mask = POT_SERVICE_CARD_DATA;
    std::strcpy(pot->pan.text, "1111");
    pot->pan.length = 4;
    const Bytes card = Element(0x5A, Hex("4970100012345678"));

    ASSERT_EQ(Deal(Answer(0x08, card)), 0);
    EXPECT_EQ(Text(pot->pan.text, pot->pan.length), "1111");

    ASSERT_EQ(Deal(Answer(0x0C, card)), 0);
    EXPECT_EQ(Text(pot->pan.text, pot->pan.length), "4970100012345678");
    EXPECT_EQ(pot->aip.length, 0) << "asked by bit 4 and absent";
    EXPECT_EQ(pot->status.flag, 1);
}

TEST_F(DoranEmv, CardNumberFillerAfterNineteenDigitsGoes) {
    struct Case {
        const char* pan;
        const char* stored;
    } cases[] = {{"4970100012345678901F", "4970100012345678901"},
                 {"49701000123456789012", "49701000123456789012"},
                 {"4970100012345678", "4970100012345678"}};
    for (const Case& c : cases) {
        pot->pan.length = kPotAsked;
        ASSERT_EQ(Load(Element(0xDF808400, Element(0x5A, Hex(c.pan)))), 0);
        EXPECT_EQ(Text(pot->pan.text, pot->pan.length), c.stored) << c.pan;
    }
}

TEST_F(DoranEmv, ShortFormatOneIsIgnoredAndTheAtcComesFrom9F36) {
    pot->cryptogram1.length = pot->cryptogramInfo1.length = kPotAsked;
    pot->atc.flag = kPotAsked;
    pot->issuerApplicationData.length = kPotAsked;
    // 80 of 10 bytes: 20 characters, fewer than the 22 of a format 1.
    const Bytes card = Concat({Element(0x80, Bytes(10, 0x11)), Element(0x9F36, {0x00, 0x2A})});
    ASSERT_EQ(Load(Element(0xDF808400, card)), 0);
    EXPECT_EQ(pot->atc.flag, 1);
    EXPECT_EQ(pot->atc.value, 0x2A);
    EXPECT_EQ(pot->atc.byteLength, 2);
}

TEST_F(DoranEmv, CryptogramFormatsFillTheFirstGroup) {
    pot->services[1].mask = POT_SERVICE_FIRST_AC;
    struct Case {
        const char* name;
        Bytes card;
    } cases[] = {
        {"format 1", Element(0x80, Hex("80 0017 1122334455667788 06010A03A00000"))},
        {"format 2", Concat({Element(0x9F27, {0x80}), Element(0x9F36, {0x00, 0x17}),
                             Element(0x9F26, Hex("1122334455667788")), Element(0x9F10, Hex("06010A03A00000"))})},
    };
    for (const Case& c : cases) {
        pot->services[1].state = 0;
        ASSERT_EQ(Deal(Answer(POT_SERVICE_FIRST_AC, c.card)), 0) << c.name;
        EXPECT_EQ(Text(pot->cryptogramInfo1.text, pot->cryptogramInfo1.length), "80") << c.name;
        EXPECT_EQ(Text(pot->cryptogram1.text, pot->cryptogram1.length), "1122334455667788") << c.name;
        EXPECT_EQ(pot->atc.value, 0x17) << c.name;
        EXPECT_EQ(Text(pot->issuerApplicationData.text, pot->issuerApplicationData.length), "06010a03a00000")
            << c.name;
        EXPECT_EQ(pot->services[1].state, 0) << c.name;
    }
}

TEST_F(DoranEmv, CryptogramInBothFormatsFailsTheService) {
    pot->services[1].mask = POT_SERVICE_FIRST_AC;
    const Bytes card = Concat({Element(0x80, Hex("80 0017 1122334455667788")), Element(0x9F26, Hex("1122334455667788"))});
    ASSERT_EQ(Deal(Answer(POT_SERVICE_FIRST_AC, card)), 0);
    EXPECT_EQ(pot->services[1].state, POT_STATE_INCONSISTENT);
    EXPECT_EQ(pot->cryptogramInfo1.length, 0);
}

TEST_F(DoranEmv, EmptyIssuerApplicationDataIsMarkedPresentAndEmpty) {
    pot->cryptogram1.length = pot->cryptogramInfo1.length = kPotAsked;
    pot->issuerApplicationData.length = kPotAsked;
    const Bytes card = Concat({Element(0x9F27, {0x40}), Element(0x9F26, Hex("1122334455667788")), Bytes{0x9F, 0x10, 0x00}});
    ASSERT_EQ(Load(Element(0xDF808400, card)), 0);
    EXPECT_EQ(pot->issuerApplicationData.length, kPotEmptyPresent);
}

TEST_F(DoranEmv, CdolFlagStoresTheListAsBytes) {
    const Bytes cdol = Hex("8A029F02069F03069F1A0295055F2A029A039C01");  // 20 bytes
    pot->cdol1.length = kPotAsked;
    ASSERT_EQ(Load(Element(0xDF808400, Element(0x8C, cdol))), 0);
    EXPECT_EQ(pot->cdol1.length, 40);
    EXPECT_EQ(Text(pot->cdol1.text, 6), "8a029f");

    DRN_SetCdolAsBytes(1);
    DRN_SetCdolAsBytes(0);  // never lowered
    pot->cdol1.length = kPotAsked;
    ASSERT_EQ(Load(Element(0xDF808400, Element(0x8C, cdol))), 0);
    EXPECT_EQ(pot->cdol1.length, 40);
    EXPECT_EQ(0, std::memcmp(pot->cdol1.text, cdol.data(), cdol.size()));
}

TEST_F(DoranEmv, RecordListsTakeWholeTwelveCharacterRecords) {
    struct Case {
        size_t characters;
        int records;
    } cases[] = {{24, 2}, {30, 2}, {10, 0}, {132, 10}, {144, 10}};
    for (const Case& c : cases) {
        pot->records8d.flag = kPotAsked;
        // Characters of hexadecimal text: a record is 8 characters then two
        // numbers of two digits ("12345678" "07" "42").
        std::string text;
        while (text.size() < c.characters) text += "123456780742";
        text.resize(c.characters);
        ASSERT_EQ(Load(Element(0xDF808D00, Hex(text))), 0);
        EXPECT_EQ(pot->records8d.count, c.records) << c.characters;
        if (c.records > 0) {
            EXPECT_STREQ(pot->records8d.entries[0].text, "12345678");
            EXPECT_EQ(pot->records8d.entries[0].first, 7);
            EXPECT_EQ(pot->records8d.entries[0].second, 42);
        }
    }
}

TEST_F(DoranEmv, AnAnswerCrossingTheAuthenticationLimitIsRefused) {
    pot->services[1].mask = POT_SERVICE_CARD_DATA;  // keeps the buffer
    const Bytes chunk = Element(0x9F4A, Bytes(2000, 0x82));  // 2005 bytes of card data
    int loaded = 0;
    for (int i = 0; i < 5; ++i) {
        pot->pan.length = kPotAsked;
        ASSERT_EQ(Load(Element(0xDF808400, chunk)), 0) << i;
        loaded += static_cast<int>(chunk.size());
    }
    int size = 0;
    ASSERT_NE(DRN_AuthentificationBuffer(&size), nullptr);
    EXPECT_EQ(size, loaded);
    // 10025 + 2005 + 1 > 10368: refused, the asked key slots put back to 0.
    pot->pan.length = kPotAsked;
    EXPECT_EQ(Load(Element(0xDF808400, chunk)), 1);
    EXPECT_EQ(pot->pan.length, 0);
    DRN_AuthentificationBuffer(&size);
    EXPECT_EQ(size, loaded);
    // Exactly to the limit (counting the one extra byte) still goes in.
    const int room = kDrnAuthenticationBufferMax - loaded - 1;
    const Bytes last = Element(0x9F4A, Bytes(static_cast<size_t>(room - 5), 0x01));
    ASSERT_EQ(static_cast<int>(last.size()), room);
    EXPECT_EQ(Load(Element(0xDF808400, last)), 0);
}

TEST_F(DoranEmv, AnElementRepeatedInTheCardDataFailsItsService) {
    pot->services[3].mask = POT_SERVICE_CARD_DATA;
    pot->caKeyIndex.length = kPotAsked;
    const Bytes card = Concat({Element(0x70, Element(0x8F, {0x05})), Element(0x70, Element(0x8F, {0x06}))});
    ASSERT_EQ(Load(Element(0xDF808400, card)), 0);
    EXPECT_EQ(pot->services[3].state, POT_STATE_INCONSISTENT);
    EXPECT_EQ(Text(pot->caKeyIndex.text, pot->caKeyIndex.length), "05") << "the first value stays";
}

TEST_F(DoranEmv, MendedSlotsRefuseValuesTooShortOrTooWide) {
    pot->services[0].mask = POT_SERVICE_CARD_DATA;
    pot->expiryDate.length = kPotAsked;        // at least 6 characters
    pot->serviceCode.length = kPotAsked;       // 4 characters
    pot->track2Equivalent.length = kPotAsked;  // at most 40 characters
    const Bytes card = Concat({Element(0x5F24, {0x25, 0x12}), Element(0x5F30, {0x02, 0x01}),
                               Element(0x57, Bytes(21, 0x49))});
    ASSERT_EQ(Load(Element(0xDF808400, card)), 0);
    EXPECT_EQ(pot->expiryDate.length, 0);
    EXPECT_EQ(pot->services[0].state, POT_STATE_INCONSISTENT) << "a format error fails service 8";
    EXPECT_EQ(Text(pot->serviceCode.text, pot->serviceCode.length), "0201");
    EXPECT_EQ(pot->track2Equivalent.length, 0);
}

TEST_F(DoranEmv, MendedRefusedAnswersLeaveNoDecodedPartsAndNoAskedKeySlots) {
    struct Case {
        const char* name;
        Bytes answer;
        int result;
    } cases[] = {
        {"other peripheral", Answer(0x0C, Element(0x5A, Hex("4970100012345678")), {}, 0x2802), 1},
        {"no result", Element(0xE0, Concat({Element(0xC3, {0x28, 0x01}),
                                            Element(0xE1, Concat({Element(0xC4, {0x00, 0x04}),
                                                                  Element(0xE2, Element(0xDF838102, {0x08}))}))})),
         32},
        {"not a message", Hex("0102030405"), 32},
    };
    for (const Case& c : cases) {
        pot->pan.length = kPotAsked;
        pot->cryptogram1.length = kPotAsked;
        EXPECT_EQ(Deal(c.answer), c.result) << c.name;
        EXPECT_EQ(pot->pan.length, 0) << c.name;
        EXPECT_EQ(pot->cryptogram1.length, 0) << c.name;
        EXPECT_EQ(DRN_DataPart(), nullptr) << c.name << ": decoded parts outlive the answer";
    }
}

TEST_F(DoranEmv, RequestCarriesTheServicesTheSlotsAndTheTagList) {
    pot->peripheralFlag = 1;
    std::strcpy(pot->peripheral, "2801");
    pot->services[0].mask = POT_SERVICE_CARD_DATA;
    pot->services[1].mask = POT_SERVICE_FIRST_AC | POT_SERVICE_PIN_TRY;
    pot->services[2].mask = POT_SERVICE_PIN_TRY_2 | POT_SERVICE_RECORDS_8D;
    pot->services[1].state = 26;
    std::strcpy(pot->selectedAid.text, "A0000000421010");
    pot->selectedAid.length = 14;
    pot->amount = PotNumber{1, 1000};
    pot->df818212 = PotNumber{1, 3};
    pot->df828214 = PotNumber{1, 7000};  // x 10 passes 0xFFFF
    pot->oneShotFlag = 1;

    int length = 0;
    const unsigned char* message = DRN_SetEMVCommand(&length, pot.get());
    ASSERT_NE(message, nullptr);
    const Bytes bytes(message, message + length);
    EXPECT_EQ(pot->services[1].state, 0) << "states reset by the request";
    EXPECT_EQ(pot->oneShotFlag, 0);

    const Bytes e2 = Concat({Element(0xDF838218, U32(0x8 | 0x400 | 0x20 | 0x200 | 0x1000)),
                             Element(0xDF808700, Hex("A0000000421010")), Element(0xDF848202, Hex("000000001000")),
                             Element(0xDF828214, {0xFF, 0xFF}), Element(0xDF818212, {0x03}),
                             Bytes{0xDF, 0x80, 0x8C, 0x00, 0x00}, Element(0xDF818228, {0x00})});
    const Bytes list = Hex("DF828000 DF838102 DF85810A DF828100 DF808400 DF85D500 DF85D600 DF81811A DF808D00");
    const Bytes expected = Element(0xE0, Concat({Element(0xC3, {0x28, 0x01}),
                                                 Element(0xE1, Concat({Element(0xC4, {0x00, 0x04}),
                                                                       Element(0xE2, e2), Element(0x5C, list)}))}));
    EXPECT_EQ(bytes, expected);
    const auto lines = testsupport::OpensslAsn1Parse(bytes);
    ASSERT_FALSE(lines.empty()) << "openssl refused the request";
    EXPECT_NE(lines.back().find("appl [ 28 ]"), std::string::npos) << lines.back();
    DRN_FreeSyntax(1, 'w');

    pot->peripheralFlag = 0;
    EXPECT_EQ(DRN_SetEMVCommand(&length, pot.get()), nullptr) << "no peripheral, no request";
}

TEST_F(DoranEmv, ResultTwentyReadsNoCardData) {
    pot->pan.length = kPotAsked;
    pot->aip.length = kPotAsked;
    pot->result = 20;
    ASSERT_EQ(Load(Element(0xDF808400, Element(0x5A, Hex("4970100012345678")))), 0);
    EXPECT_EQ(pot->pan.length, 0);
    EXPECT_EQ(pot->aip.length, 0);
    EXPECT_EQ(DRN_AuthentificationBuffer(nullptr), nullptr);
}

}  // namespace

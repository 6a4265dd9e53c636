// RUDA APDUs and data objects, byte for byte: the short and extended forms,
// Le rules, status words, the candidate table, the decimal-as-hexadecimal
// elements and the E0 templates of the transaction commands.
#include "protocols/ruda/ruda_apdu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <algorithm>
#include <string>

#include "cardsim/emv_card.h"
#include "support/apdu_bytes.h"
#include "core/helpers.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;

using testsupport::Hex;

struct Built {
    int result = 0;
    Bytes apdu;
};

template <typename Builder>
Built Take(Builder builder) {
    unsigned char* apdu = nullptr;
    int length = -1;
    Built b;
    b.result = builder(&apdu, &length);
    if (apdu != nullptr) {
        b.apdu.assign(apdu, apdu + length);
        WFree(apdu);
    }
    return b;
}

const unsigned char kMarker = 0x00;

TEST(RudaApdu, ShortFormWritesLcAndLeAsAsked) {
    const Bytes aid = Hex("A0000000421010");
    struct Case {
        const char* name;
        uint8_t cla, ins, p1, p2;
        Bytes data;
        bool marker;
        uint8_t expected;
        Bytes apdu;
    } cases[] = {
        {"select by name", 0x00, 0xA4, 0x04, 0x00, aid, true, 0x00, Hex("00A4040007A000000042101000")},
        {"no data, no Le", 0xD0, 0xFF, 0x00, 0x00, {}, false, 0x00, Hex("D0FF0000")},
        {"get response", 0x00, 0xC0, 0x00, 0x00, {}, false, 0x1C, Hex("00C000001C")},
        {"data without marker keeps no Le", 0xC0, 0xA0, 0x01, 0x00, {0xE0, 0x00}, false, 0x1C, Hex("C0A0010002E000")},
        {"marker without data", 0x80, 0xCA, 0x9F, 0x17, {}, true, 0x00, Hex("80CA9F1700")},
    };
    for (const Case& c : cases) {
        Built b = Take([&](unsigned char** a, int* n) {
            return RUDA_BuildApdu(c.cla, c.ins, c.p1, c.p2, c.data.empty() ? nullptr : c.data.data(),
                                  static_cast<int>(c.data.size()), c.marker ? &kMarker : nullptr, c.expected, a, n);
        });
        EXPECT_EQ(b.result, RUDA_APDU_BUILT) << c.name;
        EXPECT_EQ(b.apdu, c.apdu) << c.name;
    }
}

TEST(RudaApdu, ExtendedFormCarriesLongDataAndShortFormRefusesItMended) {
    const Bytes data(300, 0x42);
    Built b = Take([&](unsigned char** a, int* n) {
        return RUDA_BuildApduExtended(0xD0, 0xD6, 0x00, 0x00, data.data(), 300, nullptr, 0, a, n);
    });
    ASSERT_EQ(b.result, RUDA_APDU_BUILT);
    ASSERT_EQ(b.apdu.size(), 307u);
    EXPECT_EQ(Bytes(b.apdu.begin(), b.apdu.begin() + 7), Hex("D0D60000 00012C"));
    EXPECT_EQ(Bytes(b.apdu.begin() + 7, b.apdu.end()), data);

    // Below 256 bytes the extended builder writes the short form.
    b = Take([&](unsigned char** a, int* n) {
        return RUDA_BuildApduExtended(0xD0, 0xD6, 0x00, 0x00, data.data(), 255, &kMarker, 0, a, n);
    });
    ASSERT_EQ(b.apdu.size(), 4u + 1 + 255 + 1);
    EXPECT_EQ(b.apdu[4], 0xFF);

    // 256 bytes or more never go in one Lc byte (they used to lose all but
    // the low byte of their length).
    for (int length : {256, 300}) {
        b = Take([&](unsigned char** a, int* n) {
            return RUDA_BuildApdu(0xD0, 0xD6, 0x00, 0x00, data.data(), length, nullptr, 0, a, n);
        });
        EXPECT_EQ(b.result, RUDA_APDU_REFUSED) << length;
        EXPECT_TRUE(b.apdu.empty()) << length;
        b = Take([&](unsigned char** a, int* n) {
            return RUDA_MakeApdu(0xD0, 0xD6, 0x00, 0x00, data.data(), length, nullptr, 0, a, n);
        });
        EXPECT_EQ(b.result, RUDA_APDU_REFUSED) << length;
    }
}

TEST(RudaApdu, StatusWords) {
    const Bytes answer = Hex("6F00 6A88");
    EXPECT_EQ(RUDA_GetSw(answer.data(), 4), 0x6A88);
    EXPECT_EQ(RUDA_GetSw(answer.data(), 1), 0);
    EXPECT_EQ(RUDA_GetSw(nullptr, 4), 0);
    unsigned char sw[2] = {};
    EXPECT_EQ(RUDA_CopySw(answer.data(), 4, sw, 1), 0);
    EXPECT_EQ(RUDA_CopySw(answer.data(), 4, sw, 2), 1);
    EXPECT_EQ(sw[0], 0x6A);
    const unsigned char ok[] = {0x90, 0x00};
    const unsigned char cancel[] = {0x9F, 0x43};
    EXPECT_EQ(RUDA_IsSw9000(ok), 1);
    EXPECT_EQ(RUDA_IsSw9000(cancel), 0);
    EXPECT_EQ(RUDA_IsSw9F43(cancel), 1);
    EXPECT_EQ(RUDA_SwEquals(0x9F43, cancel), 1);

    unsigned char out[4];
    const unsigned char in[4] = {1, 2, 3, 4};
    RUDA_SwapBytes4(in, out);
    EXPECT_EQ(Bytes(out, out + 4), Bytes({4, 3, 2, 1}));
    uint32_t cell = 0x11223344;
    RUDA_ToBigEndian32(&cell);
    const auto* b = reinterpret_cast<const unsigned char*>(&cell);
    EXPECT_EQ(Bytes(b, b + 4), Bytes({0x11, 0x22, 0x33, 0x44}));
}

TEST(RudaApdu, CandidateTableGivesItsEntryOnceAfterEachReset) {
    RUDA_ResetCandidateIndex();
    unsigned char aid[7] = {};
    int length = -1;
    RUDA_NextCandidateAid(aid, &length);
    EXPECT_EQ(Bytes(aid, aid + length), Hex("A0000000421010"));
    RUDA_AdvanceCandidateIndex();
    RUDA_NextCandidateAid(aid, &length);
    EXPECT_EQ(length, 0);
    RUDA_AdvanceCandidateIndex();
    RUDA_ResetCandidateIndex();
    RUDA_NextCandidateAid(aid, &length);
    EXPECT_EQ(length, 7);
}

TEST(RudaApdu, DataObjectsWriteDecimalDigitsAsHexadecimal) {
    struct Case {
        const char* name;
        int (*add)(RudaBytes&);
        Bytes element;  // empty: nothing added (result 1)
    } cases[] = {
        {"amount 1000", [](RudaBytes& o) { return RUDA_AddAmount(o, true, 1000); }, Hex("9F0206000000001000")},
        {"amount absent", [](RudaBytes& o) { return RUDA_AddAmount(o, false, 1000); }, {}},
        {"amount of 13 digits", [](RudaBytes& o) { return RUDA_AddAmount(o, true, 1000000000000LL); }, {}},
        {"currency 978", [](RudaBytes& o) { return RUDA_AddCurrencyCode(o, true, 978); }, Hex("5F2A020978")},
        {"exponent 2", [](RudaBytes& o) { return RUDA_AddCurrencyExponent(o, true, 2); }, Hex("5F360102")},
        {"type 0", [](RudaBytes& o) { return RUDA_AddTransactionType(o, true, 0); }, Hex("9C0100")},
        {"type 20", [](RudaBytes& o) { return RUDA_AddTransactionType(o, true, 20); }, Hex("9C0120")},
        {"country 250", [](RudaBytes& o) { return RUDA_AddCountryCode(o, 250); }, Hex("9F1A020250")},
        {"country 0", [](RudaBytes& o) { return RUDA_AddCountryCode(o, 0); }, {}},
        {"terminal type 22", [](RudaBytes& o) { return RUDA_AddTerminalType(o, true, 22); }, Hex("9F350122")},
        {"bcd 42", [](RudaBytes& o) { return RUDA_AddBcdNumber(o, 42); }, Hex("DF81410142")},
        {"bcd 1234", [](RudaBytes& o) { return RUDA_AddBcdNumber(o, 1234); }, Hex("DF8141021234")},
        {"date", [](RudaBytes& o) { return RUDA_AddTransactionDate(o, "20261210", 8); }, Hex("9A03261210")},
        {"date not digits", [](RudaBytes& o) { return RUDA_AddTransactionDate(o, "2026121A", 8); }, {}},
        {"floor limit", [](RudaBytes& o) { return RUDA_AddFloorLimit(o, "5000"); }, Hex("9F1B0400001388")},
        {"floor limit not a number", [](RudaBytes& o) { return RUDA_AddFloorLimit(o, "50x0"); }, {}},
        {"version", [](RudaBytes& o) { return RUDA_AddAppVersion(o, "008C"); }, Hex("9F0902008C")},
        {"aid of odd length", [](RudaBytes& o) { return RUDA_AddAid(o, 3, "A12"); }, Hex("9F06020A12")},
        {"online flag 64", [](RudaBytes& o) { return RUDA_AddOnlineFlag(o, 64); }, Hex("C00101")},
        {"online flag 0", [](RudaBytes& o) { return RUDA_AddOnlineFlag(o, 0); }, Hex("C00100")},
        {"C2 default", [](RudaBytes& o) { return RUDA_AddC2Data(o, nullptr, 0); }, Hex("C2023130")},
        {"bitmap", [](RudaBytes& o) { return RUDA_AddBitmapName(o); }, Hex("E00FDFA3010B5449434B4554532E424D50")},
        {"DFA226", [](RudaBytes& o) { return RUDA_AddDFA226(o); }, Hex("DFA2260101")},
        {"DFED0D", [](RudaBytes& o) { return RUDA_AddDFED0D(o); }, Hex("DFED0D020700")},
        {"DFDF06", [](RudaBytes& o) { return RUDA_AddDFDF06(o, "0102030405"); }, Hex("DFDF06050102030405")},
        {"DFDF07 short", [](RudaBytes& o) { return RUDA_AddDFDF07(o, "01020304"); }, {}},
    };
    for (const Case& c : cases) {
        RudaBytes out;
        const int r = c.add(out);
        EXPECT_EQ(r, c.element.empty() ? 1 : 0) << c.name;
        EXPECT_EQ(Bytes(out.begin(), out.end()), c.element) << c.name;
    }
}

class RudaTemplates : public ::testing::Test {
protected:
    void SetUp() override {
        pot = std::make_unique<POT>();
        pot->amount = PotNumber{1, 1000};
        pot->currencyCode = PotNumber{1, 978};
        pot->currencyExponent = PotNumber{1, 2};
        pot->transactionType = PotNumber{1, 0};
        std::strcpy(pot->transactionDate.text, "20261210");
        pot->transactionDate.length = 8;
        std::strcpy(pot->transactionTime.text, "235959");
        pot->transactionTime.length = 6;
    }
    std::unique_ptr<POT> pot;
};

TEST_F(RudaTemplates, PrevalidationTemplate) {
    RudaBytes out;
    ASSERT_EQ(RUDA_BuildPrevalTemplate(out, pot.get()), 0);
    const Bytes expected = Element(0xE0, Hex("9F0206000000001000 5F2A020978 9A03261210 9F2103235959 DFA20401 00 "
                                             "DFA2260101 9C0100"));
    EXPECT_EQ(Bytes(out.begin(), out.end()), expected);

    pot->amount.flag = 0;
    out.clear();
    EXPECT_EQ(RUDA_BuildPrevalTemplate(out, pot.get()), 1);
    EXPECT_TRUE(out.empty());
}

TEST_F(RudaTemplates, ContinueTemplateKeepsTheCountryFixed) {
    std::strcpy(pot->selectedAid.text, "A0000000421010");
    pot->selectedAid.length = 14;
    std::memcpy(pot->applicationLabel.bytes, "CB", 2);
    pot->applicationLabel.length = 2;
    std::strcpy(pot->terminalCapabilities.text, "E0F8C8");
    pot->terminalCapabilities.length = 6;
    pot->terminalType = PotNumber{1, 22};
    pot->authorisationMode = PotNumber{1, 64};
    RudaBytes out;
    ASSERT_EQ(RUDA_BuildContinueTemplate(out, pot.get(), "008C", "5000", "0000000001", "0000000002", "0000000003"), 0);
    const Bytes expected = Element(
        0xE0, Hex("5F2A020978 5F360102 9C0100 9F0206000000001000 9F0607A0000000421010 50024342 9F0902008C "
                  "9F1A020250 9F1B0400001388 9F3303E0F8C8 9F350122 C00101 C2023130 DFDF06050000000003 "
                  "DFDF07050000000001 DFDF08050000000002"));
    EXPECT_EQ(Bytes(out.begin(), out.end()), expected);

    pot->amount.flag = 0;
    out.clear();
    EXPECT_EQ(RUDA_BuildContinueTemplate(out, pot.get(), "008C", "5000", nullptr, nullptr, nullptr), 1);
}

TEST_F(RudaTemplates, CandidateTemplatesAreSizedFromTheirEntriesMended) {
    RudaCandidateEntry list[kRudaCandidateListMax + 2] = {};
    RudaBytes out;
    ASSERT_EQ(RUDA_BuildCandidateTemplate(out, pot.get(), list), 0);
    EXPECT_EQ(Bytes(out.begin(), out.end()), Hex("E000")) << "an empty list";

    // Twelve entries of long identifiers and labels: far beyond 200 bytes.
    for (auto& e : list) {
        e.aidLength = 32;
        std::memset(e.aid, 'A', 32);
        e.labelLength = 16;
        std::memset(e.label, 'L', 16);
    }
    out.clear();
    ASSERT_EQ(RUDA_BuildCandidateTemplate(out, pot.get(), list), 0);
    const Bytes entry = Concat({Element(0x9F06, Bytes(16, 0xAA)), Hex("C2023130"), Element(0x50, Bytes(16, 'L'))});
    const Bytes expected = Element(0xE0, [&] {
        Bytes all;
        for (int i = 0; i < kRudaCandidateListMax; ++i) all.insert(all.end(), entry.begin(), entry.end());
        return all;
    }());
    EXPECT_EQ(Bytes(out.begin(), out.end()), expected) << "ten entries at most, the E0 length in 0x81 form";
}

TEST_F(RudaTemplates, AmountAndOnlineResultTemplates) {
    CtlsTransactionData ctls{};
    ctls.amountPresent = 1;
    ctls.amount = 1000;
    ctls.currencyPresent = 1;
    ctls.currency = 978;
    ctls.typePresent = 1;
    ctls.type = 0;
    RudaBytes out;
    ASSERT_EQ(RUDA_BuildAmountTemplate(out, &ctls, 250), 0);
    EXPECT_EQ(Bytes(out.begin(), out.end()), Element(0xE0, Hex("9F0206000000001000 5F2A020978 9C0100 9F1A020250")));

    pot->authorisationMode = PotNumber{1, 64};
    std::memcpy(pot->responseCode.bytes, "00", 2);
    pot->responseCode.length = 2;
    std::memcpy(pot->authorisationCode.bytes, "123456", 6);
    pot->authorisationCode.length = 6;
    std::strcpy(pot->issuerAuthenticationData.text, "0102030405060708");
    pot->issuerAuthenticationData.length = 16;
    out.clear();
    ASSERT_EQ(RUDA_BuildOnlineResultTemplate(out, pot.get()), 0);
    EXPECT_EQ(Bytes(out.begin(), out.end()),
              Element(0xE0, Hex("C00101 8A023030 8906313233343536 91080102030405060708")));
}

}  // namespace

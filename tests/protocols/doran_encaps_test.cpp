// Building DORAN messages: one-call and two-call building, the BER length
// forms, missing parts, and the built message read back by the decoder and
// by `openssl asn1parse`.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cardsim/emv_card.h"
#include "core/tlv.h"
#include "protocols/doran/doran_syntax.h"
#include "support/openssl_cli.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;

TlvNode* Sealed(unsigned tag, const Bytes& value) {
    TlvNode* node = TLV_NewPrimitive(tag, static_cast<int>(value.size()), value.data());
    return TLV_Seal(node);
}

Bytes Built(int length) {
    int n = 0;
    const unsigned char* bytes = DRN_MessageBytes(&n);
    EXPECT_EQ(n, length);
    return bytes == nullptr ? Bytes{} : Bytes(bytes, bytes + n);
}

class DoranEncaps : public ::testing::Test {
protected:
    void TearDown() override { DRN_FreeSyntax(1, 'w'); }
};

TEST_F(DoranEncaps, OneCallBuildsTheWholeMessage) {
    const Bytes data = Element(0xDF828000, {0x00});
    DRN_SetDataPart(Sealed(0xE2, data));
    DRN_SetTagListPart(Sealed(0x5C, {0xDF, 0x82, 0x80, 0x00}));
    const int length = DRN_EncapsSyntax(1, 1, 1, 1, 1, 1, 0x2801, 4);
    const Bytes expected =
        Element(0xE0, Concat({Element(0xC3, {0x28, 0x01}),
                              Element(0xE1, Concat({Element(0xC4, {0x00, 0x04}), Element(0xE2, data),
                                                    Element(0x5C, {0xDF, 0x82, 0x80, 0x00})}))}));
    ASSERT_EQ(length, static_cast<int>(expected.size()));
    EXPECT_EQ(Built(length), expected);
}

TEST_F(DoranEncaps, TwoCallsGiveTheSameBytesAsOne) {
    const Bytes data = Element(0xDF838218, {0x00, 0x00, 0x00, 0x08});
    const Bytes expected = Element(
        0xE0, Concat({Element(0xC3, {0x00, 0xA1}),
                      Element(0xE1, Concat({Element(0xC4, {0x00, 0x20}), Element(0xE2, data)}))}));
    DRN_SetDataPart(Sealed(0xE2, data));
    ASSERT_EQ(DRN_EncapsSyntax(1, 1, 1, 0, 1, 1, 0xA1, 0x20), static_cast<int>(expected.size()));
    EXPECT_EQ(Built(static_cast<int>(expected.size())), expected);
    DRN_FreeSyntax(1, 'w');

    EXPECT_EQ(DRN_EncapsSyntax(1, 1, 0, 0, 0, 0, 0xA1, 0x20), 0);
    EXPECT_EQ(DRN_MessageBytes(nullptr), nullptr) << "not closed yet";
    DRN_SetDataPart(Sealed(0xE2, data));
    const int length = DRN_EncapsSyntax(0, 0, 1, 0, 1, 1, 0, 0);
    ASSERT_EQ(length, static_cast<int>(expected.size()));
    EXPECT_EQ(Built(length), expected);
}

TEST_F(DoranEncaps, LongValuesTakeTheTwoLongLengthForms) {
    struct Case {
        size_t size;
        int lengthByte;  // the first length byte of E2 (below 0x80: the short form)
    } cases[] = {{100, 105}, {150, 0x81}, {300, 0x82}};
    for (const Case& c : cases) {
        const Bytes element = Element(0xDF808400, Bytes(c.size, 0x5A));
        DRN_SetDataPart(Sealed(0xE2, element));
        const int length = DRN_EncapsSyntax(1, 1, 1, 0, 1, 1, 0x2801, 4);
        ASSERT_GT(length, 0) << c.size;
        const Bytes message = Built(length);
        const Bytes e2 = Element(0xE2, element);
        const auto at = std::search(message.begin(), message.end(), e2.begin(), e2.end());
        ASSERT_NE(at, message.end()) << c.size;
        EXPECT_EQ(at[1], c.lengthByte) << c.size;

        uint32_t peripheral = 0;
        int command = 0;
        EXPECT_EQ(DRN_DecapsSyntax(message.data(), length, &peripheral, &command),
                  static_cast<int>(element.size()));
        EXPECT_EQ(peripheral, 0x2801u);
        EXPECT_EQ(command, 4);
        DRN_FreeSyntax(1, 'r');
    }
}

TEST_F(DoranEncaps, OpensslReadsTheBuiltMessage) {
    const Bytes data = Concat({Element(0xDF838218, {0x00, 0x00, 0x04, 0x08}), Element(0xDF808700, Bytes(7, 0xA0)),
                               Element(0xDF848202, Bytes(6, 0x00))});
    DRN_SetDataPart(Sealed(0xE2, data));
    DRN_SetTagListPart(Sealed(0x5C, {0xDF, 0x82, 0x80, 0x00, 0xDF, 0x80, 0x84, 0x00}));
    const int length = DRN_EncapsSyntax(1, 1, 1, 1, 1, 1, 0x2801, 4);
    ASSERT_GT(length, 0);
    const auto lines = testsupport::OpensslAsn1Parse(Built(length));
    ASSERT_EQ(lines.size(), 9u);
    const char* expected[] = {"d=0  hl=2 l=  54 cons: priv [ 0 ]", "d=1  hl=2 l=   2 prim: priv [ 3 ]",
                              "d=1  hl=2 l=  48 cons: priv [ 1 ]", "d=2  hl=2 l=   2 prim: priv [ 4 ]",
                              "d=2  hl=2 l=  32 cons: priv [ 2 ]", "d=3  hl=5 l=   4 prim: priv",
                              "d=3  hl=5 l=   7 prim: priv",       "d=3  hl=5 l=   6 prim: priv",
                              "d=2  hl=2 l=   8 prim: appl [ 28 ]"};
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
}

TEST_F(DoranEncaps, MissingPartsFailAndLeaveNothing) {
    // Data asked without a data part.
    EXPECT_EQ(DRN_EncapsSyntax(1, 1, 1, 0, 1, 1, 1, 1), -1);
    EXPECT_EQ(DRN_MessageBytes(nullptr), nullptr);
    // Closing a message whose command was never made.
    EXPECT_EQ(DRN_EncapsSyntax(1, 0, 0, 0, 0, 1, 1, 1), -1);
    // Peripheral and command codes travel in two bytes.
    EXPECT_EQ(DRN_EncapsSyntax(1, 1, 0, 0, 1, 1, 0x10000, 1), -1);
    EXPECT_EQ(DRN_EncapsSyntax(1, 1, 0, 0, 1, 1, 1, 0x10000), -1);
    EXPECT_EQ(DRN_DataPart(), nullptr);
}

TEST_F(DoranEncaps, BuildingAfterDecodingDropsTheDecodedParts) {
    const Bytes answer = Element(0xE0, Concat({Element(0xC3, {0x28, 0x01}),
                                               Element(0xE1, Concat({Element(0xC4, {0x00, 0x04}),
                                                                     Element(0xE2, Element(0xDF828000, {0x00}))}))}));
    ASSERT_GT(DRN_DecapsSyntax(answer.data(), static_cast<int>(answer.size()), nullptr, nullptr), 0);
    // A request built now holds its own data, not the decoded E2.
    DRN_SetDataPart(Sealed(0xE2, Element(0xDF818210, {0x07})));
    const int length = DRN_EncapsSyntax(1, 1, 1, 0, 1, 1, 0xA1, 0x60);
    ASSERT_GT(length, 0);
    const Bytes message = Built(length);
    const Bytes mine = Element(0xDF818210, {0x07});
    EXPECT_NE(std::search(message.begin(), message.end(), mine.begin(), mine.end()), message.end());
    const Bytes decoded = Element(0xDF828000, {0x00});
    EXPECT_EQ(std::search(message.begin(), message.end(), decoded.begin(), decoded.end()), message.end());
}

}  // namespace

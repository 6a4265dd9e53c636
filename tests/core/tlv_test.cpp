// BER-TLV codec: builder output checked by openssl asn1parse, EMV private
// tags, both parser generations, searches, typed getters and their capacity
// rules, and a table of malformed input.
#include "core/tlv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Of(const TlvNode* node) {
    if (node == nullptr || node->lg == 0) return {};
    return Bytes(node->value, node->value + node->lg);
}

// Takes a built node's bytes and releases it.
Bytes Take(TlvNode* node) {
    Bytes b = Of(node);
    TLV_Free(node, 'w');
    return b;
}

// A node whose value is the given data (what the getters search).
TlvNode Over(Bytes& data) {
    TlvNode n;
    n.value = data.data();
    n.lg = static_cast<int>(data.size());
    return n;
}

// Runs openssl asn1parse on the bytes; its output, or "<failed>" when it
// refuses them.
std::string Asn1Parse(const Bytes& der) {
    testsupport::TempDir dir;
    std::string path = dir.file("element.der");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    }
    std::string command = "openssl asn1parse -inform DER -in '" + path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "<failed>";
    std::string output;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    int status = pclose(pipe);
    if (status != 0) return "<failed>\n" + output;
    return output;
}

TEST(TlvBuild, EveryStandardTagBuilderOutputIsAcceptedByOpenSsl) {
    Bytes v200(200, 0x5A), v300(300, 0xA5);
    struct Case {
        const char* name;
        TlvNode* node;
        Bytes head;            // expected first bytes
        std::string expected;  // expected asn1parse text
    };
    Case cases[] = {
        {"one-byte length", TLV_NewBytes(0x04, v200.data(), 100), {0x04, 0x64},
         "hl=2 l= 100 prim: OCTET STRING"},
        {"0x81 length", TLV_NewBytes(0x04, v200.data(), 200), {0x04, 0x81, 0xC8},
         "hl=3 l= 200 prim: OCTET STRING"},
        {"0x82 length", TLV_NewBytes(0x04, v300.data(), 300), {0x04, 0x82, 0x01, 0x2C},
         "hl=4 l= 300 prim: OCTET STRING"},
        {"boolean", TLV_NewByte(0x01, 0xFF), {0x01, 0x01, 0xFF}, "prim: BOOLEAN"},
        {"integer 16", TLV_NewUShort(0x02, 0x1234), {0x02, 0x02, 0x12, 0x34}, "prim: INTEGER           :1234"},
        {"integer 32", TLV_NewULong(0x02, 0x01020304), {0x02, 0x04, 0x01, 0x02, 0x03, 0x04},
         "prim: INTEGER           :01020304"},
        {"odd hex", TLV_NewHex(0x04, "ABC", 3), {0x04, 0x02, 0x0A, 0xBC}, "l=   2 prim: OCTET STRING"},
        {"amount", TLV_NewAmount(0x04, 123456789012L), {0x04, 0x06, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12},
         "l=   6 prim: OCTET STRING"},
        {"bcd2", TLV_NewBCD2(0x04, 3000), {0x04, 0x02, 0x30, 0x00}, "l=   2 prim: OCTET STRING"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.node, nullptr);
        Bytes der = Take(c.node);
        ASSERT_GE(der.size(), c.head.size());
        EXPECT_EQ(Bytes(der.begin(), der.begin() + static_cast<long>(c.head.size())), c.head);
        std::string out = Asn1Parse(der);
        EXPECT_NE(out.find(c.expected), std::string::npos) << out;
    }
}

TEST(TlvBuild, NestedConstructedElementsAreParsedBackByOpenSsl) {
    // SEQUENCE { INTEGER 5, SET { OCTET STRING "hi", OCTET STRING of 150 bytes } }
    Bytes big(150, 0x11);
    TlvNode* set = TLV_NewPrimitive(0x31, 0, nullptr);
    ASSERT_NE(set, nullptr);
    const unsigned char hi[] = {'h', 'i'};
    set = TLV_AppendChild(set, 0x04, 2, hi);
    ASSERT_NE(set, nullptr);
    set = TLV_AppendChild(set, 0x04, static_cast<int>(big.size()), big.data());
    ASSERT_NE(set, nullptr);
    set = TLV_Seal(set);
    ASSERT_NE(set, nullptr);

    TlvNode* seq = TLV_NewPrimitive(0x30, 0, nullptr);
    const unsigned char five = 5;
    seq = TLV_AppendChild(seq, 0x02, 1, &five);
    ASSERT_NE(seq, nullptr);
    seq = TLV_AppendBytes(seq, set->lg, set->value);
    ASSERT_NE(seq, nullptr);
    TLV_Free(set, 'w');
    seq = TLV_Seal(seq);
    ASSERT_NE(seq, nullptr);
    Bytes der = Take(seq);

    std::string out = Asn1Parse(der);
    const char* expectedInOrder[] = {"d=0  hl=3 l= 163 cons: SEQUENCE", "d=1  hl=2 l=   1 prim: INTEGER           :05",
                                     "d=1  hl=3 l= 157 cons: SET", "d=2  hl=2 l=   2 prim: OCTET STRING      :hi",
                                     "d=2  hl=3 l= 150 prim: OCTET STRING"};
    size_t at = 0;
    for (const char* line : expectedInOrder) {
        size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << out;
        at = found;
    }
    EXPECT_EQ(CheckTLV(der.data(), static_cast<int>(der.size())), 1);
}

TEST(TlvBuild, EmvPrivateFourByteTagsAreWrittenAndReadAsGiven) {
    const unsigned char track[] = {0x49, 0x70, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0xD2, 0x51};
    TlvNode* inner = TLV_NewBytes(0x57, track, sizeof track);
    ASSERT_NE(inner, nullptr);
    TlvNode* outer = TLV_NewPrimitive(0xDF808400, inner->lg, inner->value);
    TLV_Free(inner, 'w');
    outer = TLV_Seal(outer);
    ASSERT_NE(outer, nullptr);
    TlvNode* three = TLV_NewByte(0xDF8101, 0x07);
    ASSERT_NE(three, nullptr);
    Bytes data = Take(outer);
    Bytes tail = Take(three);
    ASSERT_EQ(Bytes(data.begin(), data.begin() + 5), (Bytes{0xDF, 0x80, 0x84, 0x00, 0x0C}));
    EXPECT_EQ(tail, (Bytes{0xDF, 0x81, 0x01, 0x01, 0x07}));
    data.insert(data.end(), tail.begin(), tail.end());

    TlvNode* found = TLV_Find(data.data(), static_cast<int>(data.size()), 0xDF808400, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->tag, 0xDF808400u);
    EXPECT_EQ(found->lg, 12);
    // Tag 57 inside the private element's value.
    char hex[41];
    int length = sizeof hex;
    EXPECT_EQ(TLV_GetHex(found, 0x57, hex, &length), 1);
    EXPECT_STREQ(hex, "4970123456789012d251");
    TLV_Free(found, 'r');

    Bytes whole = data;
    TlvNode all = Over(whole);
    uint16_t v = 0;
    int flag = 1;
    EXPECT_EQ(TLV_GetUShort(&all, 0xDF8101, &v, &flag), 1);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(CheckTLV(data.data(), static_cast<int>(data.size())), 1);
}

TEST(TlvBuild, ConstructorRangesAndRefusals) {
    EXPECT_EQ(Take(TLV_NewBCD1(0x5F, 47)), (Bytes{0x5F, 0x01, 0x47}));
    EXPECT_EQ(Take(TLV_NewBCD1(0x5F, 300)), (Bytes{0x5F, 0x01, 0x44}));  // 300 mod 256 = 44
    EXPECT_EQ(Take(TLV_NewBCDN(0x9A, 12345678, 2)), (Bytes{0x9A, 0x02, 0x56, 0x78}));
    EXPECT_EQ(Take(TLV_NewBCDN(0x9A, 250131, 3)), (Bytes{0x9A, 0x03, 0x25, 0x01, 0x31}));
    EXPECT_EQ(TLV_NewBCDN(0x9A, 100000000, 4), nullptr);
    EXPECT_EQ(TLV_NewBCDN(0x9A, 1, 0), nullptr);
    EXPECT_EQ(TLV_NewBCDN(0x9A, 1, 5), nullptr);
    EXPECT_EQ(TLV_NewBCD2(0x9A, 10000), nullptr);
    EXPECT_EQ(TLV_NewAmount(0x9F02, -1), nullptr);
    EXPECT_EQ(TLV_NewAmount(0x9F02, 1000000000000L), nullptr);
    EXPECT_EQ(Take(TLV_NewAmount(0x9F02, 100)), (Bytes{0x9F, 0x02, 0x06, 0, 0, 0, 0, 0x01, 0x00}));
    EXPECT_EQ(TLV_NewHex(0x5A, "12G4", 4), nullptr);
    EXPECT_EQ(TLV_NewHex(0x5A, nullptr, 4), nullptr);
    EXPECT_EQ(TLV_NewHex(0x5A, "12", 0), nullptr);
    EXPECT_EQ(Take(TLV_NewHex(0x5A, "a1B2", 4)), (Bytes{0x5A, 0x02, 0xA1, 0xB2}));
    EXPECT_EQ(TLV_NewBytes(0x5A, nullptr, 3), nullptr);
    const unsigned char one = 1;
    EXPECT_EQ(TLV_NewBytes(0x5A, &one, 0), nullptr);
}

TEST(TlvBuild, OversizedValuesAreRefusedAndTheInputNodeStaysUsable) {
    Bytes big(kTlvMaxValueLength, 0x33);
    TlvNode* node = TLV_NewPrimitive(0x04, static_cast<int>(big.size()), big.data());
    ASSERT_NE(node, nullptr);
    const unsigned char extra = 1;
    EXPECT_EQ(TLV_AppendBytes(node, 1, &extra), nullptr);
    EXPECT_EQ(TLV_AppendChild(node, 0x5A, 1, &extra), nullptr);
    EXPECT_EQ(node->lg, kTlvMaxValueLength);
    EXPECT_EQ(node->value[kTlvMaxValueLength - 1], 0x33);
    EXPECT_EQ(TLV_NewPrimitive(0x04, kTlvMaxValueLength + 1, big.data()), nullptr);
    EXPECT_EQ(TLV_NewPrimitive(0x04, -1, big.data()), nullptr);
    EXPECT_EQ(TLV_NewPrimitive(0x04, 3, nullptr), nullptr);
    node = TLV_Seal(node);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->lg, kTlvMaxValueLength + 4);
    TLV_Free(node, 'w');
}

// ---------------------------------------------------------------------------
// Parsing and searching
// ---------------------------------------------------------------------------

TEST(TlvParse, AmountIsReadAsTwelveDigits) {
    Bytes data{0x9F, 0x02, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
    TlvNode all = Over(data);
    char text[13];
    int length = sizeof text;
    ASSERT_EQ(TLV_GetHex(&all, 0x9F02, text, &length), 1);
    EXPECT_STREQ(text, "000000000100");
    EXPECT_EQ(length, 12);
}

TEST(TlvParse, ConstructedElementsAreSearchedInto) {
    // 70 { 5A 01 11, 61 { 57 02 12 34 } }
    Bytes data{0x70, 0x09, 0x5A, 0x01, 0x11, 0x61, 0x04, 0x57, 0x02, 0x12, 0x34};
    TlvNode* n = TLV_Find(data.data(), static_cast<int>(data.size()), 0x57, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value, data.data() + 9);  // points into the data, no copy
    EXPECT_EQ(n->lg, 2);
    EXPECT_EQ(n->end, data.data() + data.size());
    TLV_Free(n, 'r');
    n = TLV_FindTag(data.data(), static_cast<int>(data.size()), 0x57, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->cls, 0);
    TLV_Free(n, 'r');
    n = TLV_FindTag(data.data(), static_cast<int>(data.size()), 0x61, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->cls, 1);
    TLV_Free(n, 'r');
}

TEST(TlvParse, GenerationsDifferOnASingleFfBeforeATag) {
    Bytes data{0xFF, 0x57, 0x02, 0x12, 0x34};
    TlvNode* first = TLV_ParseElement(data.data(), static_cast<int>(data.size()));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->tag, 0x57u);
    EXPECT_EQ(Of(first), (Bytes{0x12, 0x34}));
    TLV_Free(first, 'r');
    TlvNode* second = TLV_NewElement(data.data(), static_cast<int>(data.size()));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->tag, 0xFF57u);
    EXPECT_EQ(Of(second), (Bytes{0x12, 0x34}));
    TLV_Free(second, 'w');  // parsed: the value is never released

    // Two FF bytes are filler for both generations.
    Bytes two{0xFF, 0xFF, 0x57, 0x02, 0x12, 0x34};
    second = TLV_NewElement(two.data(), static_cast<int>(two.size()));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->tag, 0x57u);
    TLV_Free(second, 'r');
    int count = -1;
    EXPECT_EQ(TLV_SkipPadding(two.data(), static_cast<int>(two.size()), &count), two.data() + 2);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(TLV_SkipPadding(data.data(), static_cast<int>(data.size()), &count), data.data());
    EXPECT_EQ(count, 0);
}

TEST(TlvParse, FillerBetweenElementsAndALoneThreeByteElementAtTheEnd) {
    // The smallest element with a value (one-byte tag, length 1, one byte)
    // is found when it is all the data, and behind filler.
    struct Case {
        Bytes data;
        unsigned tag;
    };
    const Case cases[] = {
        {{0x5A, 0x01, 0x11}, 0x5A},
        {{0x00, 0xFF, 0x00, 0xFF, 0x5A, 0x01, 0x11}, 0x5A},
        {{0x9F, 0x02, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x5A, 0x01, 0x11}, 0x5A},
        {{0x9F, 0x02, 0x01, 0x00, 0x00, 0x00, 0x5A, 0x01, 0x11}, 0x5A},
    };
    for (const Case& c : cases) {
        Bytes data = c.data;
        TlvNode all = Over(data);
        uint32_t v = 0;
        int flag = 1;
        EXPECT_EQ(TLV_GetULong(&all, c.tag, &v, &flag), 1);
        EXPECT_EQ(v, 0x11u);
        EXPECT_EQ(CheckTLV(data.data(), static_cast<int>(data.size())), 1);
        TlvNode* n = TLV_FindTag(data.data(), static_cast<int>(data.size()), c.tag, nullptr);
        EXPECT_NE(n, nullptr);
        TLV_Free(n, 'r');
    }
    // Filler alone, or nothing, is no element and well-formed.
    Bytes filler{0x00, 0xFF, 0x00};
    TlvNode node;
    EXPECT_EQ(TLV_ReadElement(filler.data(), 3, &node), 0);
    EXPECT_EQ(CheckTLV(filler.data(), 3), 1);
    EXPECT_EQ(CheckTLV(filler.data(), 0), 1);
}

TEST(TlvParse, RepeatedTagsGiveTwoAndGetNextHexWalksThem) {
    Bytes data{0x5A, 0x01, 0x11, 0x70, 0x03, 0x5A, 0x01, 0x22, 0x9F, 0x02, 0x01, 0x33};
    TlvNode all = Over(data);
    char text[8];
    int length = sizeof text;
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, text, &length), 2);
    EXPECT_STREQ(text, "11");
    length = sizeof text;
    EXPECT_EQ(TLV_GetHex(&all, 0x9F02, text, &length), 1);

    std::vector<std::string> seen;
    const unsigned char* position = nullptr;
    for (int i = 0; i < 5; ++i) {
        length = sizeof text;
        int r = TLV_GetNextHex(&all, 0x5A, text, &length, &position);
        if (r == 0) break;
        ASSERT_EQ(r, 1);
        seen.emplace_back(text, static_cast<size_t>(length));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"11", "22"}));
    // A position outside the node's value is a bad argument.
    const unsigned char outside = 0;
    position = &outside;
    length = sizeof text;
    EXPECT_EQ(TLV_GetNextHex(&all, 0x5A, text, &length, &position), -1);
    EXPECT_EQ(length, 0);
}

TEST(TlvParse, ZeroLengthElementsAreAbsentExceptForFindTagExAtTheTopLevel) {
    Bytes top{0x5A, 0x00, 0x9F, 0x02, 0x01, 0x01};
    TlvNode all = Over(top);
    char text[8];
    int length = sizeof text;
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, text, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(TLV_Find(top.data(), 6, 0x5A, nullptr), nullptr);
    TlvNode* n = TLV_FindTagEx(top.data(), 6, 0x5A, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->lg, 0);
    TLV_Free(n, 'r');
    // A two-byte zero-length element alone is still an element.
    n = TLV_FindTagEx(top.data(), 2, 0x5A, nullptr);
    EXPECT_NE(n, nullptr);
    TLV_Free(n, 'r');

    Bytes nested{0x70, 0x02, 0x5A, 0x00};
    EXPECT_EQ(TLV_FindTagEx(nested.data(), 4, 0x5A, nullptr), nullptr);
    // An empty occurrence does not hide a later one.
    Bytes later{0x5A, 0x00, 0x5A, 0x01, 0x42};
    TlvNode l = Over(later);
    length = sizeof text;
    EXPECT_EQ(TLV_GetHex(&l, 0x5A, text, &length), 1);
    EXPECT_STREQ(text, "42");
}

TEST(TlvParse, SearchesFromAStartAddress) {
    Bytes data{0x5A, 0x01, 0x11, 0x5A, 0x01, 0x22};
    TlvNode* n = TLV_Find(data.data(), 6, 0x5A, data.data() + 3);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value[0], 0x22);
    TLV_Free(n, 'r');
    TlvNode node;
    EXPECT_EQ(TLV_SearchTag(&node, data.data(), 6, 0x5A, data.data() + 6), 0);  // at the end
    EXPECT_EQ(TLV_SearchTag(&node, data.data(), 6, 0x5A, data.data() - 1), 0);  // before
    EXPECT_EQ(TLV_SearchTag(&node, data.data(), 6, 0x5A, nullptr), 1);
    EXPECT_EQ(node.value[0], 0x11);
}

TEST(TlvParse, PrivateSeenFlagFollowsFirstGenerationSearches) {
    Bytes data{0xC1, 0x01, 0xAA, 0x5A, 0x01, 0x11};
    TlvNode all = Over(data);
    char text[8];
    int length = sizeof text;
    EXPECT_EQ(TLV_GetHexByTag(&all, 0x5A, text, &length, 2), 1);  // passes over C1
    EXPECT_EQ(TLV_PrivateSeen(), 1);
    Bytes plain{0x5A, 0x01, 0x11};
    TlvNode p = Over(plain);
    length = sizeof text;
    EXPECT_EQ(TLV_GetHexByTag(&p, 0x5A, text, &length, 2), 1);
    EXPECT_EQ(TLV_PrivateSeen(), 0);
    // Class-2 elements are never searched into by the first generation.
    Bytes e0{0xE0, 0x03, 0x5A, 0x01, 0x11};
    EXPECT_EQ(TLV_FindTag(e0.data(), 5, 0x5A, nullptr), nullptr);
    TlvNode* n = TLV_Find(e0.data(), 5, 0x5A, nullptr);
    EXPECT_NE(n, nullptr);
    TLV_Free(n, 'r');
}

TEST(TlvParse, HexByTagTracesARefusedLength) {
    Bytes data{0x5A, 0x02, 0x11, 0x22};
    TlvNode all = Over(data);
    char text[16];
    testsupport::TraceCapture capture;
    int length = sizeof text;
    EXPECT_EQ(TLV_GetHexByTag(&all, 0x5A, text, &length, 6), -1);  // 4 digits, minimum 6
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(capture.Contains("-- ERROR -- : TLV Format Erreur"));
    length = 3;  // 4 digits do not fit
    EXPECT_EQ(TLV_GetHexMin(&all, 0x5A, text, &length, 0), -1);
    length = 4;  // exactly fits: digits without NUL
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(TLV_GetHexMin(&all, 0x5A, text, &length, 4), 1);
    EXPECT_EQ(std::string(text, 5), "1122x");
}

// ---------------------------------------------------------------------------
// Getters
// ---------------------------------------------------------------------------

TEST(TlvGetters, TextAndByteGettersNeedRoomForTheTerminator) {
    Bytes data{0x5A, 0x03, 0x00, 0xAB, 0xCD, 0x9F, 0x02, 0x02, 0x01, 0x02};
    TlvNode all = Over(data);
    char text[16];
    unsigned char bytes[16];
    int length = 6;  // twice the value length: no room for the NUL
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, text, &length), -1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(text[6], 'x');
    length = 7;
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, text, &length), 1);
    EXPECT_STREQ(text, "00abcd");
    EXPECT_EQ(length, 6);

    length = 3;  // value length: no room for the zero byte
    EXPECT_EQ(TLV_GetBytes(&all, 0x5A, bytes, &length), -1);
    EXPECT_EQ(length, 0);
    std::memset(bytes, 0xEE, sizeof bytes);
    length = 4;
    EXPECT_EQ(TLV_GetBytes(&all, 0x5A, bytes, &length), 1);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Bytes(bytes, bytes + 5), (Bytes{0x00, 0xAB, 0xCD, 0x00, 0xEE}));

    length = 16;
    EXPECT_EQ(TLV_GetBytesNonZero(&all, 0x5A, bytes, &length), -1);  // first byte 0x00
    EXPECT_EQ(length, 0);
    length = 2;
    EXPECT_EQ(TLV_GetBytesNonZero(&all, 0x9F02, bytes, &length), -1);
    length = 3;
    EXPECT_EQ(TLV_GetBytesNonZero(&all, 0x9F02, bytes, &length), 1);
    EXPECT_EQ(length, 2);

    length = 0;
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, text, &length), -1);
    length = 16;
    EXPECT_EQ(TLV_GetHex(nullptr, 0x5A, text, &length), -1);
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, nullptr, &length), -1);
    EXPECT_EQ(TLV_GetHex(&all, 0x5A, text, nullptr), -1);
}

TEST(TlvGetters, NumericGettersByValueLength) {
    Bytes data{0xC1, 0x01, 0x07,                          // 1 byte
               0xC2, 0x02, 0x12, 0x34,                    // 2 bytes
               0xC3, 0x03, 0x01, 0x02, 0x03,              // 3 bytes
               0xC4, 0x04, 0x01, 0x02, 0x03, 0x04,        // 4 bytes
               0xC5, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05,  // 5 bytes
               0xC6, 0x02, 0x1A, 0x00,                    // a nibble above 9
               0xC7, 0x02, 0x9A, 0x00,                    // a byte above 0x99
               0xC8, 0x02, 0xA0, 0x00,                    // first nibble A
               0xCA, 0x02, 0x99, 0x99};
    TlvNode all = Over(data);
    struct Case {
        unsigned tag;
        int ushort, ulong, bcd2, bcd;  // expected results
        uint32_t ulongValue, leValue, bcdValue, bcd2Value;
    };
    const Case cases[] = {
        {0xC1, 1, 1, -1, 1, 0x07, 0x07, 7, 0},
        {0xC2, 1, 1, 1, 1, 0x1234, 0x3412, 1234, 1234},
        {0xC3, -1, 1, -1, 1, 0x010203, 0x030201, 10203, 0},
        {0xC4, -1, 1, -1, 1, 0x01020304, 0x04030201, 1020304, 0},
        {0xC5, -1, -1, -1, -1, 0, 0, 0, 0},
        // Nibbles count for their value; all ones for a byte above 0x99, and
        // for TLV_GetBCD2 when the four digits make more than 9999.
        {0xC6, 1, 1, 1, 1, 0x1A00, 0x001A, 2000, 2000},
        {0xC7, 1, 1, 1, 1, 0x9A00, 0x009A, 0xFFFFFFFFu, 0xFFFF},
        {0xC8, 1, 1, 1, 1, 0xA000, 0x00A0, 0xFFFFFFFFu, 0xFFFF},
        {0xCA, 1, 1, 1, 1, 0x9999, 0x9999, 9999, 9999},
        {0xC9, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        uint16_t s = 0;
        uint32_t l = 0;
        int flag = 1;
        EXPECT_EQ(TLV_GetUShort(&all, c.tag, &s, &flag), c.ushort);
        EXPECT_EQ(flag, c.ushort > 0 ? 1 : 0);
        if (c.ushort > 0) {
            EXPECT_EQ(s, c.ulongValue);
        }
        flag = 1;
        EXPECT_EQ(TLV_GetULong(&all, c.tag, &l, &flag), c.ulong);
        if (c.ulong > 0) {
            EXPECT_EQ(l, c.ulongValue);
        }
        flag = 1;
        EXPECT_EQ(TLV_GetULongLE(&all, c.tag, &l, &flag), c.ulong);
        if (c.ulong > 0) {
            EXPECT_EQ(l, c.leValue);
        }
        flag = 1;
        EXPECT_EQ(TLV_GetBCD2(&all, c.tag, &s, &flag), c.bcd2);
        if (c.bcd2 > 0) {
            EXPECT_EQ(s, c.bcd2Value);
        }
        flag = 1;
        EXPECT_EQ(TLV_GetBCD(&all, c.tag, &l, &flag), c.bcd);
        EXPECT_EQ(flag, c.bcd > 0 ? 1 : 0);
        if (c.bcd > 0) {
            EXPECT_EQ(l, c.bcdValue);
        }
    }
    uint16_t s = 0;
    int flag = 0;  // the value was not asked for
    EXPECT_EQ(TLV_GetUShort(&all, 0xC1, &s, &flag), -1);
    int length = 9;
    flag = 1;
    EXPECT_EQ(TLV_GetUShortLen(&all, 0xC2, &s, &flag, &length), 1);
    EXPECT_EQ(length, 2);
}

TEST(TlvGetters, Bcd2RoundTrip) {
    Bytes data = Take(TLV_NewBCD2(0x5F2A, 3000));
    TlvNode all = Over(data);
    uint16_t v = 0;
    int flag = 1;
    ASSERT_EQ(TLV_GetBCD2(&all, 0x5F2A, &v, &flag), 1);
    EXPECT_EQ(v, 3000);
}

// ---------------------------------------------------------------------------
// Malformed input
// ---------------------------------------------------------------------------

Bytes Nest(int depth, const Bytes& innermost) {
    Bytes data = innermost;
    for (int i = 0; i < depth; ++i) {
        Bytes outer{0x70};
        if (data.size() < 0x80) {
            outer.push_back(static_cast<unsigned char>(data.size()));
        } else {
            outer.push_back(0x82);
            outer.push_back(static_cast<unsigned char>(data.size() >> 8));
            outer.push_back(static_cast<unsigned char>(data.size()));
        }
        outer.insert(outer.end(), data.begin(), data.end());
        data = outer;
    }
    return data;
}

TEST(TlvMalformed, EveryMalformedInputGivesAClearResult) {
    struct Case {
        const char* name;
        Bytes data;
        int read;   // TLV_ReadElement
        int check;  // CheckTLV
    };
    const Case cases[] = {
        // Too short for an element, an over-long tag, a tag without length:
        // no further element, and well formed.
        {"single byte", {0x57}, 0, 1},
        {"tag without length", {0x9F, 0x02}, 0, 1},
        {"0x81 without its byte", {0x57, 0x81}, 0, 1},
        {"five-byte tag", {0x5F, 0x81, 0x82, 0x83, 0x04, 0x01, 0x00}, 0, 1},
        {"tag running past the end", {0x9F, 0x81, 0x82}, 0, 1},
        {"three-byte tag and nothing behind", {0x9F, 0x81, 0x02}, 0, 1},
        {"good element then a stray byte", {0x5A, 0x01, 0x11, 0x57}, 1, 1},
        {"good element then two stray bytes", {0x5A, 0x01, 0x11, 0x57, 0x81}, 1, 1},
        // Malformed lengths and elements beyond the data.
        {"0x82 with one byte", {0x57, 0x82, 0x01}, -1, 0},
        {"indefinite length 0x80", {0x57, 0x80, 0x01, 0x00, 0x00}, -1, 0},
        {"length byte 0x83", {0x57, 0x83, 0x00, 0x00, 0x01, 0x11}, -1, 0},
        {"length byte 0x84", {0x57, 0x84, 0x00, 0x00, 0x00, 0x01, 0x11}, -1, 0},
        {"length byte 0xFF", {0x57, 0xFF, 0x11}, -1, 0},
        {"length past the end", {0x57, 0x05, 0x01, 0x02}, -1, 0},
        {"0x82 length past the end", {0x57, 0x82, 0x01, 0x00, 0x11}, -1, 0},
        {"nested element longer than its parent", {0x70, 0x03, 0x57, 0x05, 0x11}, 1, 0},
        {"good element then garbage length", {0x5A, 0x01, 0x11, 0x57, 0x83, 0x01}, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = c.data;
        int n = static_cast<int>(data.size());
        TlvNode node;
        EXPECT_EQ(TLV_ReadElement(data.data(), n, &node), c.read);
        EXPECT_EQ(CheckTLV(data.data(), n), c.check);
        TlvNode* found = TLV_Find(data.data(), n, 0x57, nullptr);
        EXPECT_EQ(found, nullptr);
        TLV_Free(found, 'r');
        TlvNode all = Over(data);
        char text[64];
        int length = sizeof text;
        EXPECT_EQ(TLV_GetHex(&all, 0x57, text, &length), 0);
    }
    TlvNode node;
    EXPECT_EQ(TLV_ReadElement(nullptr, 5, &node), 0);
    EXPECT_EQ(CheckTLV(nullptr, 5), 0);
    EXPECT_EQ(TLV_Find(nullptr, 5, 0x57, nullptr), nullptr);
    const unsigned char ok[] = {0x57, 0x01, 0x01};
    EXPECT_EQ(TLV_Find(ok, -3, 0x57, nullptr), nullptr);
}

// A card answer is followed by padding or a status word: it is accepted,
// and the elements before stay readable.
TEST(TlvMalformed, AnswersWithTrailingPaddingAreAccepted) {
    const Bytes body{0x70, 0x06, 0x5A, 0x01, 0x11, 0x57, 0x01, 0x22};
    for (const Bytes& tail : {Bytes{}, Bytes{0x00, 0x00}, Bytes{0xFF}, Bytes{0x90, 0x00}, Bytes{0x90},
                              Bytes{0x00, 0x90, 0x00}, Bytes{0xFF, 0xFF, 0x61, 0x10}}) {
        Bytes data = body;
        data.insert(data.end(), tail.begin(), tail.end());
        EXPECT_EQ(CheckTLV(data.data(), int(data.size())), 1) << tail.size();
        TlvNode* found = TLV_FindTag(data.data(), int(data.size()), 0x57, nullptr);
        ASSERT_NE(found, nullptr) << tail.size();
        EXPECT_EQ(found->value[0], 0x22);
        TLV_Free(found, 'r');
    }
}

TEST(TlvMalformed, NestingIsBoundedAndDeepDataNeverOverflows) {
    const Bytes leaf{0x57, 0x01, 0x42};
    Bytes shallow = Nest(kTlvMaxDepth, leaf);
    TlvNode* n = TLV_Find(shallow.data(), static_cast<int>(shallow.size()), 0x57, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value[0], 0x42);
    TLV_Free(n, 'r');
    EXPECT_EQ(CheckTLV(shallow.data(), static_cast<int>(shallow.size())), 1);

    Bytes deep = Nest(kTlvMaxDepth + 1, leaf);
    EXPECT_EQ(TLV_Find(deep.data(), static_cast<int>(deep.size()), 0x57, nullptr), nullptr);
    EXPECT_EQ(CheckTLV(deep.data(), static_cast<int>(deep.size())), 0);

    // Far deeper than any stack would allow without a bound.
    Bytes abyss = Nest(10000, leaf);
    EXPECT_EQ(TLV_Find(abyss.data(), static_cast<int>(abyss.size()), 0x57, nullptr), nullptr);
    EXPECT_EQ(CheckTLV(abyss.data(), static_cast<int>(abyss.size())), 0);
}

TEST(TlvMalformed, LengthForms) {
    struct Case {
        Bytes bytes;
        int used, length;
    };
    const Case cases[] = {
        {{0x00}, 1, 0},        {{0x7F}, 1, 127},     {{0x81, 0xC8}, 2, 200},
        {{0x82, 0x01, 0x2C}, 3, 300}, {{0x80}, 0, 0}, {{0x83, 0, 0, 1}, 0, 0},
        {{0x81}, 0, 0},        {{0x82, 0xFF}, 0, 0},
    };
    for (const Case& c : cases) {
        int length = -1;
        EXPECT_EQ(TLV_ParseLength(c.bytes.data(), static_cast<int>(c.bytes.size()), &length), c.used);
        if (c.used > 0) {
            EXPECT_EQ(length, c.length);
        }
    }
}

TEST(TlvBytes, TagSizesOrderAndConstructedBit) {
    unsigned char out[8];
    EXPECT_EQ(TLV_PutTag(out, 0xDF808400) - out, 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xDF, 0x80, 0x84, 0x00}));
    EXPECT_EQ(TLV_PutTag(out, 0x9F02) - out, 2);
    EXPECT_EQ(TLV_TagSize(0x57), 1);
    EXPECT_EQ(TLV_TagSize(0xDF8101), 3);
    EXPECT_EQ(TLV_IsConstructed(0x70), 1);
    EXPECT_EQ(TLV_IsConstructed(0xBF0C), 1);  // constructed bit is in the first byte
    EXPECT_EQ(TLV_IsConstructed(0x9F38), 0);
    EXPECT_EQ(TLV_IsConstructed(0x57), 0);
    EXPECT_EQ(TLV_PutU32BE(out, 0x01020304) - out, 4);
    EXPECT_EQ(TLV_GetUIntBE(out, 3), 0x010203u);
    EXPECT_EQ(TLV_GetUIntBE(out, 5), 0u);
    TLV_PutU16BE(out, 0xBEEF);
    EXPECT_EQ(TLV_GetU16BE(out), 0xBEEF);
}

}  // namespace

// Tag exports: writer capacity rules, reading with and without from-start,
// hexadecimal values, refusals, the default instance, and what their log
// lines show of sensitive values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/dll_log.h"
#include "client/instance.h"
#include "client/program_side.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

class TagExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The log is enabled by an opening; open and close one on the stub so
        // that the log is on and lines go to this test's directory.
        uint32_t id = 0;
        ASSERT_EQ(clienttest::OpenOnStub(testsupport::UniquePosNumber(), &id, dir.str()), 0);
        ASSERT_EQ(SZelApiClose(id, 0), 0);
        // A fresh instance for the tag contexts: the default one for POS 1
        // would be re-created only once per process.
        pos_ = testsupport::UniquePosNumber();
        ASSERT_EQ(clienttest::OpenOnStub(pos_, &id_, dir.str()), 0);
    }
    void TearDown() override {
        SZelApiClose(id_, 0);
        znpdll::DllLogger::Get().Reset();
    }
    std::string Log() { return testsupport::ReadFileText(dir.str() + "/ZNP_DLL_" + std::to_string(pos_) + ".LOG"); }

    testsupport::TempDir dir;
    uint32_t pos_ = 0;
    uint32_t id_ = 0;
};

TEST_F(TagExportsTest, WriterCapacityRule) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(ATAG_WriteInitForInstance(id_, buf, 20), 1);
    EXPECT_EQ(std::string(buf, 20), std::string(20, '\0'));  // cleared
    EXPECT_EQ(buf[20], 'x');
    ASSERT_EQ(ATAG_SetStringValForInstance(id_, "SV", "s0"), 1);  // needs 10 of 20
    EXPECT_STREQ(buf, "{SV}s0{F}");
    // Text form: 6 + 1+2+1+v+3+1 needed; a 6-character value needs exactly 20: refused.
    EXPECT_EQ(ATAG_SetStringValForInstance(id_, "CD", "c10000"), -1);
    EXPECT_STREQ(buf, "{SV}s0{F}");
    EXPECT_NE(Log().find("Ajout inacceptable {CD} - Capacite du message [20 / 20]"), std::string::npos);
    // Byte form needing exactly the capacity is accepted: 6 + 1+2+1+6+3+1 = 20.
    const unsigned char bytes[] = {0xab, 0x01, 0xff};
    EXPECT_EQ(ATAG_SetStringValHEXForInstance(id_, "AB", bytes, 3), 1);
    EXPECT_STREQ(buf, "{SV}s0{AB}ab01ff{F}");
    EXPECT_EQ(buf[20], 'x');
    char copy[20];
    EXPECT_EQ(ATAG_GetWriteBufForInstance(id_, copy), 1);
    EXPECT_STREQ(copy, buf);
}

TEST_F(TagExportsTest, AddingDropsWhatFollowsTheFirstEndTag) {
    char buf[100] = {};
    ASSERT_EQ(ATAG_WriteInitForInstance(id_, buf, sizeof buf), 1);
    std::strcpy(buf, "{SV}s0{F}{CD}old{F}");
    ASSERT_EQ(ATAG_SetStringValForInstance(id_, "CD", "c1"), 1);
    EXPECT_STREQ(buf, "{SV}s0{CD}c1{F}");
    EXPECT_EQ(std::string(buf + 15, sizeof buf - 15), std::string(sizeof buf - 15, '\0'));
}

TEST_F(TagExportsTest, WriterRefusals) {
    char buf[100] = {};
    const unsigned char bytes[] = {1};
    struct Case {
        const char* name;
        int result;
    };
    ASSERT_EQ(ATAG_WriteInitForInstance(id_, nullptr, 10), -1);
    ASSERT_EQ(ATAG_WriteInitForInstance(id_, buf, 0), -1);
    ASSERT_EQ(ATAG_WriteInitForInstance(id_, buf, sizeof buf), 1);
    const Case cases[] = {
        {"null code", ATAG_SetStringValForInstance(id_, nullptr, "v")},
        {"null value", ATAG_SetStringValForInstance(id_, "SV", nullptr)},
        {"empty code", ATAG_SetStringValForInstance(id_, "", "v")},
        {"value holding an open brace", ATAG_SetStringValForInstance(id_, "SV", "a{b")},
        {"code holding a brace", ATAG_SetStringValForInstance(id_, "S}V", "a")},
        {"hex: null bytes", ATAG_SetStringValHEXForInstance(id_, "AB", nullptr, 1)},
        {"hex: count 0", ATAG_SetStringValHEXForInstance(id_, "AB", bytes, 0)},
        {"hex: empty code", ATAG_SetStringValHEXForInstance(id_, "", bytes, 1)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, -1) << c.name;
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ATAG_SetStringValForInstance(id_, "SV", ""), 1);  // an empty value is accepted
    EXPECT_STREQ(buf, "{SV}{F}");
    EXPECT_EQ(ATAG_SetStringValForInstance(id_ + 40, "SV", "x"), -1);
    EXPECT_NE(testsupport::ReadFileText(dir.str() + "/ZNP_DLL_x_0.LOG").find("Numero d'instance (" +
                                                                         std::to_string(id_ + 40) + ") inacceptable"),
              std::string::npos);
}

TEST_F(TagExportsTest, ReadingTable) {
    const char* text = "{SS}A{SV}s0{RS}{XX}1{XX}2{H}0a1b2c3d{F}";
    ASSERT_EQ(ATAG_ReadInitForInstance(id_, text, static_cast<uint32_t>(std::strlen(text) + 1)), 1);
    struct Case {
        const char* code;
        int fromStart;
        int result;
        const char* value;
    };
    const Case cases[] = {
        {"SV", 1, 1, "s0"},  {"SV", 0, -1, ""},   // one SV: the second read fails
        {"SS", 1, 1, "A"},   {"RS", 1, -1, ""},   // present, empty value
        {"XX", 1, 1, "1"},   {"XX", 0, 1, "2"},   {"XX", 0, -1, ""}, {"XX", 1, 1, "1"},
        {"F", 1, -1, ""},    {"NOPE", 1, -1, ""}, {"", 1, -1, ""},
    };
    for (const Case& c : cases) {
        char out[64] = "unchanged";
        EXPECT_EQ(ATAG_GetStringValForInstance(id_, c.code, out, c.fromStart), c.result) << c.code;
        if (c.result == 1) {
            EXPECT_STREQ(out, c.value) << c.code;
        }
    }
    const std::string log = Log();
    EXPECT_NE(log.find("WARNING - TAGGET - Etiquette non trouvee {SV}"), std::string::npos);
    EXPECT_NE(log.find("ERROR - TAGGET - Valeur non trouvee {RS}"), std::string::npos);

    unsigned char bytes[8] = {};
    uint32_t count = 3;
    EXPECT_EQ(ATAG_GetStringValHEXForInstance(id_, "H", bytes, &count, 1), -1);
    EXPECT_NE(Log().find("Valeur non logeable {H} [8 / 6]"), std::string::npos);
    count = 4;
    ASSERT_EQ(ATAG_GetStringValHEXForInstance(id_, "H", bytes, &count, 1), 1);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 5), (std::vector<unsigned char>{0x0a, 0x1b, 0x2c, 0x3d, 0}));
    EXPECT_EQ(ATAG_GetStringValHEXForInstance(id_, "H", bytes, nullptr, 1), -1);
}

// Only whole hexadecimal pairs decode; anything else is refused.
TEST_F(TagExportsTest, HexValuesMustBeWholePairs) {
    const char* text = "{A}0a1{B}zz{C}0A1B{F}";
    ASSERT_EQ(ATAG_ReadInitForInstance(id_, text, 100), 1);
    unsigned char bytes[8] = {0x55, 0x55, 0x55, 0x55};
    uint32_t count = 8;
    EXPECT_EQ(ATAG_GetStringValHEXForInstance(id_, "A", bytes, &count, 1), -1);
    EXPECT_EQ(ATAG_GetStringValHEXForInstance(id_, "B", bytes, &count, 1), -1);
    EXPECT_EQ(bytes[0], 0x55);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(ATAG_GetStringValHEXForInstance(id_, "C", bytes, &count, 1), 1);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bytes[1], 0x1b);
}

// The reader never looks past the length it was given.
TEST_F(TagExportsTest, ReaderStaysWithinTheGivenLength) {
    const char text[] = "{SV}s0{CD}c1{F}";
    ASSERT_EQ(ATAG_ReadInitForInstance(id_, text, 9), 1);  // "{SV}s0{CD"
    char out[16];
    EXPECT_EQ(ATAG_GetStringValForInstance(id_, "CD", out, 1), -1);
    EXPECT_EQ(ATAG_GetStringValForInstance(id_, "SV", out, 1), 1);
    EXPECT_STREQ(out, "s0");
    EXPECT_EQ(ATAG_ReadInitForInstance(id_, nullptr, 9), -1);
    EXPECT_EQ(ATAG_ReadInitForInstance(id_, text, 0), -1);
}

// No line shows a sensitive value: neither additions nor extractions.
TEST_F(TagExportsTest, SensitiveValuesNeverReachTheLog) {
    const char* codes[] = {"D1A", "D2F", "D6J", "D3L", "D3L1", "D3L2", "D3Y", "TC3", "CSGPO", "CSRED", "CSALL"};
    char buf[1024] = {};
    ASSERT_EQ(ATAG_WriteInitForInstance(id_, buf, sizeof buf), 1);
    for (const char* code : codes) ASSERT_EQ(ATAG_SetStringValForInstance(id_, code, "4970101234567890"), 1);
    const unsigned char pan[] = {0x49, 0x70, 0x10, 0x12};
    ASSERT_EQ(ATAG_SetStringValHEXForInstance(id_, "D3Y", pan, 4), 1);
    ASSERT_EQ(ATAG_ReadInitForInstance(id_, buf, sizeof buf), 1);
    for (const char* code : codes) {
        char out[64];
        ASSERT_EQ(ATAG_GetStringValForInstance(id_, code, out, 1), 1);
        EXPECT_STREQ(out, "4970101234567890");
    }
    unsigned char raw[8];
    uint32_t count = 8;
    ASSERT_EQ(ATAG_GetStringValHEXForInstance(id_, "D3Y", raw, &count, 0), 1);
    const std::string log = Log();
    EXPECT_EQ(log.find("4970101234567890"), std::string::npos);
    EXPECT_EQ(log.find("1234567890"), std::string::npos);
    EXPECT_EQ(log.find("49701012"), std::string::npos);
    EXPECT_NE(log.find("INFO - TAGGET - Extrait {CSALL}####"), std::string::npos);
}

// The id-less exports use the default instance: the last one opened; once it
// is closed they fail until the next opening.
TEST_F(TagExportsTest, DefaultInstanceFollowsTheLastOpening) {
    char buf[64] = {};
    ASSERT_EQ(ATAG_WriteInit(buf, sizeof buf), 1);  // the instance opened in SetUp
    ASSERT_EQ(ATAG_SetStringVal("SV", "s0"), 1);
    char copy[64];
    ASSERT_EQ(ATAG_GetWriteBufForInstance(id_, copy), 1);
    EXPECT_STREQ(copy, "{SV}s0{F}");
    ASSERT_EQ(SZelApiClose(id_, 0), 0);
    id_ = 0;
    EXPECT_EQ(ATAG_WriteInit(buf, sizeof buf), -1);
    EXPECT_EQ(ATAG_ReadInit("{A}1{F}", 8), -1);
    EXPECT_NE(testsupport::ReadFileText(dir.str() + "/ZNP_DLL_x_0.LOG").find("Numero d'instance introuvable"),
              std::string::npos);
    ASSERT_EQ(clienttest::OpenOnStub(testsupport::UniquePosNumber(), &id_, dir.str()), 0);
    EXPECT_EQ(ATAG_WriteInit(buf, sizeof buf), 1);
}

}  // namespace

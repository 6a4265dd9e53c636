// Tag dictionary contents and the entry-by-entry logging of tag messages.
#include "core/tag_dictionary.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <string>

#include "core/card_masking.h"
#include "support/trace_capture.h"

using testsupport::TraceCapture;

namespace {

// The eleven card-data codes, the pivot number and the display text (whose
// value can show a card number).
const std::set<std::string> kSensitive = {"D1A",   "D2F",   "D6J",   "D3L",   "D3L1", "D3L2",
                                          "D3Y",   "TC3",   "CSGPO", "CSRED", "CSALL", "DA8",
                                          "ED",    "D6K",   "CSGAC", "P2PE",  "P2PE_P"};

TEST(TagDictionary, TableHoldsEveryCodeOnceWithAnUpperCaseNameAndTheCardDataCodesSensitive_Mended) {
    size_t count = 0;
    const TagTableRow* table = TagTable(&count);
    ASSERT_EQ(count, 527u);
    std::set<std::string> codes, names, sensitive;
    for (size_t i = 0; i < count; ++i) {
        const std::string code = table[i].code, name = table[i].name;
        EXPECT_TRUE(codes.insert(code).second) << "twice: " << code;
        EXPECT_TRUE(names.insert(name).second) << "twice: " << name;
        EXPECT_GE(code.size(), 2u) << code;
        EXPECT_LE(code.size(), 16u) << code;
        EXPECT_EQ(name.rfind("EFTAG_", 0), 0u) << name;
        for (char ch : name)
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(ch)) || std::isdigit(ch) || ch == '_')
                << name;
        EXPECT_TRUE(table[i].sensitive == 0 || table[i].sensitive == 1) << code;
        if (table[i].sensitive) sensitive.insert(code);
        EXPECT_EQ(TagIsSensitive(code.c_str()), table[i].sensitive) << code;
    }
    EXPECT_EQ(sensitive, kSensitive);
    EXPECT_EQ(std::string(table[0].code) + table[1].code + table[2].code + table[3].code + table[4].code,
              "SSPSSVCDRS");
    EXPECT_EQ(std::string(table[count - 1].code), "MB55");
    EXPECT_EQ(codes.count("F"), 0u);
    EXPECT_EQ(TagIsSensitive("d1a"), 0);
    EXPECT_EQ(TagIsSensitive(nullptr), 0);
}

TEST(TagDictionary, NamesOtherPartsRelyOn) {
    TagDictionaryMap expected = {
        {"SS", {"EFTAG_HEAD_SENS", "", 0}},        {"RS", {"EFTAG_INFO_RESULT", "", 0}},
        {"D1A", {"EFTAG_DATA_PAN", "", 1}},        {"D3Y", {"EFTAG_DATA_VALEUR_CVV", "", 1}},
        {"TC3", {"EFTAG_SOMETHING_EVENT", "", 1}}, {"DA8", {"EFTAG_DATA_NUM_PIVOT", "", 1}},
        {"ED", {"EFTAG_DATA_POS_MESSAGE", "", 1}}, {"DBV", {"EFTAG_POSTICKETMODE", "", 0}},
        {"D6I", {"EFTAG_DATA_ZNP_OPTIONS_WITHDRAWAL_TIMEOUT", "", 0}},
    };
    FillTagDictionary();
    const TagDictionaryMap& dictionary = GetTagDictionary();
    EXPECT_EQ(dictionary.size(), 527u);
    for (const auto& [code, info] : expected) {
        auto found = dictionary.find(code);
        ASSERT_NE(found, dictionary.end()) << code;
        EXPECT_EQ(found->second.name, info.name) << code;
        EXPECT_EQ(found->second.sensitive, info.sensitive) << code;
        EXPECT_EQ(found->second.text, "") << code;
    }
    int sensitive = 0;
    for (const auto& entry : dictionary) sensitive += entry.second.sensitive;
    EXPECT_EQ(sensitive, int(kSensitive.size()));
}

// The masking tag list and the dictionary agree: the trace masking hides
// exactly the values of the sensitive codes.
TEST(TagDictionary, TraceMaskingHidesExactlyTheSensitiveCodes) {
    WSysSetMasks(nullptr, 1);
    size_t count = 0;
    const TagTableRow* table = TagTable(&count);
    for (size_t i = 0; i < count; ++i) {
        std::string text = std::string("{") + table[i].code + "}4970101234567890{F}";
        WSysMaskTags(text.data());
        EXPECT_EQ(text.find("4970101234567890") == std::string::npos, table[i].sensitive == 1) << table[i].code;
    }
}

class LogAtagTest : public ::testing::Test {
protected:
    void SetUp() override { WSysSetLoggerLevel(kLogger, WLOG_UNKNOWN); }
    void TearDown() override { WSysInitLoggerLevels(WSysProcessLoggerLevels()); }
    static constexpr const char* kLogger = "tagtest.request";
};

TEST_F(LogAtagTest, OneLinePerEntryWithoutSensitiveOrUnknownValues) {
    TraceCapture capture;
    logATAG(kLogger, WLOG_DEBUG,
            std::string("{SS}R{PS}001{SV}s0{CD}c1{D1A}4970101234567890{F}"));
    const std::vector<std::string> expected = {
        "tag: \"SS\" - \"EFTAG_HEAD_SENS\", value: \"R\"",
        "tag: \"PS\" - \"EFTAG_HEAD_POSTE\", value: \"001\"",
        "tag: \"SV\" - \"EFTAG_HEAD_SERVICE\", value: \"s0\"",
        "tag: \"CD\" - \"EFTAG_HEAD_COMMAND\", value: \"c1\"",
        "tag: \"D1A\" - \"EFTAG_DATA_PAN\"",
        "tag: \"F\"",
    };
    ASSERT_EQ(capture.count(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string& line = TraceCapture::lines()[i];
        EXPECT_NE(line.find("[tagtest.request]"), std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - expected[i].size()), expected[i]) << line;
    }
    for (const auto& line : TraceCapture::lines()) EXPECT_EQ(line.find("4970"), std::string::npos);
}

TEST_F(LogAtagTest, CodesAreCaseSensitiveAndUnknownCodesShowNoValue) {
    struct Case {
        const char* message;
        std::vector<std::string> lines;
    } cases[] = {
        {"{reDat}20240101{F}", {"tag: \"reDat\" - \"EFTAG_REDAT\", value: \"20240101\"", "tag: \"F\""}},
        {"{REDAT}SECRET1{F}", {"tag: \"REDAT\"", "tag: \"F\""}},
        {"{XYZ}SECRET2", {"tag: \"XYZ\""}},
        {"{D3L}SECRET3{TC3}SECRET4", {"tag: \"D3L\" - \"EFTAG_DATA_TICKET\"",
                                     "tag: \"TC3\" - \"EFTAG_SOMETHING_EVENT\""}},
        // The pivot number and display texts are sensitive too.
        {"{DA8}SECRET5{ED}Carte SECRET6", {"tag: \"DA8\" - \"EFTAG_DATA_NUM_PIVOT\"",
                                          "tag: \"ED\" - \"EFTAG_DATA_POS_MESSAGE\""}},
        {"no separator at all", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        TraceCapture capture;
        logATAG(kLogger, WLOG_DEBUG, c.message);
        ASSERT_EQ(capture.count(), c.lines.size()) << c.message;
        for (size_t i = 0; i < c.lines.size(); ++i) {
            const std::string& line = TraceCapture::lines()[i];
            EXPECT_EQ(line.substr(line.size() - c.lines[i].size()), c.lines[i]) << line;
            EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
        }
    }
    TraceCapture capture;
    logATAG(kLogger, WLOG_DEBUG, static_cast<const char*>(nullptr));
    logATAG(nullptr, WLOG_DEBUG, "{SS}R{F}");
    EXPECT_EQ(capture.count(), 0u);
}

TEST_F(LogAtagTest, OverLongValueStopsTheListingWithoutHarm) {
    TraceCapture capture;
    logATAG(kLogger, WLOG_DEBUG, "{SS}R{ED}" + std::string(20000, 'x') + "{CD}c1{F}");
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_NE(TraceCapture::lines()[0].find("value: \"R\""), std::string::npos);
}

// A disabled logger costs nothing: in a fresh process (this program run
// again with this one test, TAGTEST_FRESH set), the dictionary is still
// empty after the calls and no line is written; an enabled call then fills
// it. Run by ctest, the test starts that fresh process and checks its exit
// code; in the fresh process it makes the checks themselves.
TEST(LogAtag, DisabledLoggerNeitherFillsNorParses) {
    if (std::getenv("TAGTEST_FRESH") != nullptr) {
        WSysSetLoggerLevel("tagtest.off", WLOG_ERROR);
        TraceCapture capture;
        logATAG("tagtest.off", WLOG_DEBUG, "{SS}R{PS}1{F}");
        logATAG("tagtest.off", WLOG_DEBUG, std::string("{SS}R{PS}1{F}"));
        EXPECT_TRUE(GetTagDictionary().empty());
        EXPECT_EQ(capture.count(), 0u);
        logATAG("tagtest.off", WLOG_ERROR, "{SS}R{F}");
        EXPECT_EQ(GetTagDictionary().size(), 527u);
        EXPECT_EQ(capture.count(), 2u);
        return;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("TAGTEST_FRESH", "1", 1);
        const int out = ::open("/dev/null", O_WRONLY);
        dup2(out, 1);
        execl("/proc/self/exe", "tag_dictionary_test", "--gtest_filter=LogAtag.DisabledLoggerNeitherFillsNorParses",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

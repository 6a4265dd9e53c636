// Byte and string searches, comparisons and the range-list test.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "core/trace.h"
#include "support/trace_capture.h"

namespace {

TEST(HelpersSearch, FindCharAndIsFilledWith) {
    const char buf[] = {'a', 'b', '\0', 'c', 'b'};
    EXPECT_EQ(WFindChar(buf, 5, 'b'), 1);
    EXPECT_EQ(WFindChar(buf, 5, 'c'), 3);     // past the NUL: it is a buffer
    EXPECT_EQ(WFindChar(buf, 3, 'c'), 3);     // not among the first 3: the length
    EXPECT_EQ(WFindChar(buf, 0, 'a'), 0);
    EXPECT_EQ(WFindChar(nullptr, 7, 'a'), 7);
    EXPECT_EQ(WFindChar(buf, -4, 'a'), 0);

    EXPECT_EQ(WIsFilledWith("    x", 4, ' '), 1);
    EXPECT_EQ(WIsFilledWith("    x", 5, ' '), 0);
    EXPECT_EQ(WIsFilledWith("x", 0, ' '), 1);
    EXPECT_EQ(WIsFilledWith(nullptr, 0, ' '), 1);
    EXPECT_EQ(WIsFilledWith(nullptr, 3, ' '), 0);
}

TEST(HelpersSearch, FindWildString) {
    const char text[] = "abcde";
    EXPECT_EQ(WFindWildString(text, "b?d", '?'), text + 1);
    EXPECT_EQ(WFindWildString(text, "?", '?'), text);
    EXPECT_EQ(WFindWildString(text, "de", '?'), text + 3);
    EXPECT_EQ(WFindWildString(text, "", '?'), text);
    EXPECT_EQ(WFindWildString(text, "b?e", '?'), nullptr);
    EXPECT_EQ(WFindWildString(text, "abcdef", '?'), nullptr);
    EXPECT_EQ(WFindWildString("", "?", '?'), nullptr);
    // The wildcard counts in the pattern only.
    EXPECT_EQ(WFindWildString("a?c", "abc", '?'), nullptr);
    EXPECT_EQ(WFindWildString(static_cast<const char*>(nullptr), "a", '?'), nullptr);
    EXPECT_EQ(WFindWildString(text, nullptr, '?'), nullptr);
    char writable[] = "xxAyB";
    char* hit = WFindWildString(writable, "A*B", '*');
    ASSERT_EQ(hit, writable + 2);
}

TEST(HelpersSearch, RemoveChar) {
    char buf[] = "a-b--c-";
    EXPECT_EQ(WRemoveChar(buf, 7, '-'), 3);
    EXPECT_EQ(std::string(buf, 7), std::string("abc\0\0\0\0", 7));
    char same[] = "abc";
    EXPECT_EQ(WRemoveChar(same, 3, '-'), 3);
    EXPECT_STREQ(same, "abc");
    char all[] = "---";
    EXPECT_EQ(WRemoveChar(all, 3, '-'), 0);
    EXPECT_EQ(std::string(all, 3), std::string(3, '\0'));
    EXPECT_EQ(WRemoveChar(nullptr, 5, '-'), 0);
    EXPECT_EQ(WRemoveChar(same, 0, 'a'), 0);
    EXPECT_EQ(WRemoveChar(same, -1, 'a'), -1);
    EXPECT_STREQ(same, "abc");
}

TEST(HelpersSearch, ZeroTrimAndDigits) {
    char secret[] = "4970123412341234";
    WZeroString(secret);
    EXPECT_EQ(std::string(secret, sizeof secret), std::string(sizeof secret, '\0'));
    WZeroString(nullptr);

    struct Trim {
        const char* in;
        const char* out;
    };
    for (const Trim& t : {Trim{"ab  ", "ab"}, Trim{"a b", "a b"}, Trim{"   ", ""}, Trim{"", ""},
                          Trim{"ab\t ", "ab\t"}, Trim{" ab", " ab"}}) {
        std::string s = t.in;
        WTrimRight(s.data());
        EXPECT_STREQ(s.c_str(), t.out) << '"' << t.in << '"';
    }
    WTrimRight(nullptr);

    EXPECT_EQ(WIsDigitString("0123456789"), 1);
    EXPECT_EQ(WIsDigitString("12a"), 0);
    EXPECT_EQ(WIsDigitString("-12"), 0);
    EXPECT_EQ(WIsDigitString(" 12"), 0);
    EXPECT_EQ(WIsDigitString(""), 0);
    EXPECT_EQ(WIsDigitString(nullptr), 0);
}

TEST(HelpersCompare, CompareStringAndNString) {
    EXPECT_EQ(WCompareString("abc", "ABC", 1), 1);
    EXPECT_EQ(WCompareString("abc", "ABC", 0), 0);
    EXPECT_EQ(WCompareString("abc", "abcd", 1), 0);
    EXPECT_EQ(WCompareString("", "", 0), 1);
    EXPECT_EQ(WCompareString(nullptr, "abc", 0), -1);
    EXPECT_EQ(WCompareString("abc", nullptr, 1), -1);
    // Only a-z fold: accented bytes and symbols do not.
    EXPECT_EQ(WCompareString("\xe9t\xe9", "\xc9T\xc9", 1), 0);
    EXPECT_EQ(WCompareString("[", "{", 1), 0);

    EXPECT_EQ(WCompareNString("abcX", "ABCY", 1, 3), 1);
    EXPECT_EQ(WCompareNString("abcX", "ABCY", 1, 4), 0);
    EXPECT_EQ(WCompareNString("abcX", "ABCY", 0, 3), 0);
    EXPECT_EQ(WCompareNString("x", "y", 0, 0), 1);
    EXPECT_EQ(WCompareNString("x", "y", 0, -3), 1);
    // Bytes after a NUL count.
    const char a[] = {'a', '\0', 'x'};
    const char b[] = {'a', '\0', 'y'};
    EXPECT_EQ(WCompareNString(a, b, 0, 3), 0);
    EXPECT_EQ(WCompareNString(a, b, 0, 2), 1);
    EXPECT_EQ(WCompareNString(nullptr, b, 0, 2), 0);
}

TEST(HelpersCompare, CompareWildString) {
    struct Case {
        const char* a;
        const char* b;
        int fold;
        int32_t count;
        char wild;
        int expected;
    };
    const Case cases[] = {
        {"A*C", "ABC", 0, 3, '*', 1},
        {"ABC", "A*C", 0, 3, '*', 1},  // wildcard on either side
        {"A*C", "A*D", 0, 3, '*', 0},
        {"abc", "ABC", 1, 3, '*', 1},
        {"abc", "ABC", 0, 3, '*', 0},
        {"ABX", "ABY", 0, 2, '*', 1},  // only count positions compared
        {"x", "y", 0, 0, '*', 1},
        {"x", "y", 0, -1, '*', 1},
        {"a?c", "AbC", 1, 3, '?', 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WCompareWildString(c.a, c.b, c.fold, c.count, c.wild), c.expected)
            << c.a << " / " << c.b << " fold " << c.fold << " count " << c.count;
    }
    EXPECT_EQ(WCompareWildString(nullptr, "abc", 0, 3, '*'), -1);
    EXPECT_EQ(WCompareWildString("abc", nullptr, 0, 3, '*'), -1);
}

TEST(HelpersCompare, CompareStringIgnoring) {
    EXPECT_EQ(WCompareStringIgnoring("12 34", "1234", 0, 5, 4, ' '), 1);
    EXPECT_EQ(WCompareStringIgnoring("AB-CD", "ab--cd", 1, 5, 6, '-'), 1);
    EXPECT_EQ(WCompareStringIgnoring("AB-CD", "ab--cd", 0, 5, 6, '-'), 0);
    EXPECT_EQ(WCompareStringIgnoring("ab c", "abc d", 0, 4, 5, ' '), 0);  // lengths differ
    EXPECT_EQ(WCompareStringIgnoring("abd", "abc", 0, 3, 3, ' '), 0);
    EXPECT_EQ(WCompareStringIgnoring(nullptr, nullptr, 0, 0, 0, ' '), 1);
    EXPECT_EQ(WCompareStringIgnoring("   ", "", 0, 3, 0, ' '), 1);
    EXPECT_EQ(WCompareStringIgnoring(nullptr, "abc", 0, 3, 3, ' '), -1);
    EXPECT_EQ(WCompareStringIgnoring("abc", "abc", 0, -1, 3, ' '), -1);
    // The inputs are left as they were.
    char a[] = "A B";
    EXPECT_EQ(WCompareStringIgnoring(a, "ab", 1, 3, 2, ' '), 1);
    EXPECT_STREQ(a, "A B");
}

TEST(HelpersRangeList, Table) {
    struct Case {
        const char* list;
        int32_t number;
        int expected;
    };
    const Case cases[] = {
        {"100-199;300", 100, 1},  {"100-199;300", 150, 1},  {"100-199;300", 199, 1},
        {"100-199;300", 300, 1},  {"100-199;300", 200, 0},  {"100-199;300", 99, 0},
        {"100-199;300;", 300, 1}, {"100-199;300;", 200, 0},  // a final ';' reads the same
        {"1-5;8", 1, 1},          {"1-5;8", 5, 1},          {"1-5;8", 8, 1},
        {"1-5;8", 6, 0},          {"12", 12, 1},            {"12", 1, 0},
        {"-5;7", -5, 1},          {"-5;7", 7, 1},           {"-5;7", 5, 0},
        {"-5--2", -5, 1},         {"-5--2", -3, 1},         {"-5--2", -2, 1},
        {"-5--2", -1, 0},         {"-5--2", -6, 0},         {"-5--2", 5, 0},
        {" 7", 7, 1},             {"  10 - 20", 15, 1},     {"  10 - 20", 21, 0},
        {"3x;9", 3, 1},           {"+4", 4, 1},             // atoi stops at the first other character
        {";;5;;", 5, 1},          {";;5;;", 0, 1},          // empty items read as 0
        {"", 0, 1},               {";", 0, 1},              {"", 1, 0},
        {"5;", 0, 0},             {"5", 0, 0},              {"7;;", 0, 1},
        {"5-1", 3, 0},            // an inverted range holds nothing
        {"99999999999", INT32_MAX, 1},  // out-of-range numbers saturate like strtol
    };
    for (const Case& c : cases)
        EXPECT_EQ(WIsInRangeList(c.list, c.number), c.expected) << '"' << c.list << "\" " << c.number;
    EXPECT_EQ(WIsInRangeList(nullptr, 0), 0);
}

TEST(HelpersRangeList, OverLongListIsRefusedNotOverflowed) {
    // 1022 characters: read. The number is the last item, so a cut list
    // could not find it.
    std::string fits(1020, ';');
    fits += "77";
    ASSERT_EQ(fits.size(), kWRangeListMax);
    EXPECT_EQ(WIsInRangeList(fits.c_str(), 77), 1);

    std::string tooLong = fits + ";";
    EXPECT_EQ(WIsInRangeList(tooLong.c_str(), 77), 0);

    // 5000 characters of items: refused with a trace, and the buffer around
    // it stays as it was.
    std::string huge;
    while (huge.size() < 5000) huge += "1-9;";
    huge.resize(5000);
    std::string copy = huge;
    testsupport::TraceCapture trace;
    int result = WIsInRangeList(huge.c_str(), 5);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(huge, copy);
    const auto& lines = testsupport::TraceCapture::lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("WIsInRangeList"), std::string::npos) << lines.back();
}

}  // namespace

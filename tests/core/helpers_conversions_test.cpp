// Hexadecimal, Base64, quotient/remainder and padded decimal text.
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "support/temp_dir.h"

namespace {

TEST(HelpersHex, BinToHexAndBack) {
    const unsigned char bytes[] = {0x0A, 0xFF};
    char text[5];
    std::memset(text, '#', sizeof text);
    WBinToHex(text, bytes, 2);
    EXPECT_EQ(std::string(text, 5), "0aff#");  // no NUL written

    for (const char* in : {"0AFF", "0aff"}) {
        unsigned char out[3] = {0x11, 0x22, 0x33};
        WHexToBin(out, in, 2);
        EXPECT_EQ(out[0], 0x0A) << in;
        EXPECT_EQ(out[1], 0xFF) << in;
        EXPECT_EQ(out[2], 0x33) << in;  // only count bytes written
    }

    // Round trip over every byte value.
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    std::string hex(512, '\0');
    WBinToHex(hex.data(), all.data(), 256);
    for (char c : hex) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << c;
    std::vector<unsigned char> back(256, 0x5A);
    WHexToBin(back.data(), hex.c_str(), 256);
    EXPECT_EQ(back, all);
}

TEST(HelpersHex, BadTextNeverReadsPastItsEnd) {
    unsigned char out[4] = {1, 2, 3, 4};
    // Text shorter than 2 x count: a single trailing digit reads as its value,
    // everything after the NUL as 0.
    WHexToBin(out, "0a7", 4);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x07);
    EXPECT_EQ(out[2], 0x00);
    EXPECT_EQ(out[3], 0x00);
    WHexToBin(out, "zz1g", 2);  // no leading digit: 0; one digit: its value
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x01);
    WHexToBin(nullptr, "0a", 1);
    WHexToBin(out, nullptr, 1);
    WBinToHex(nullptr, out, 1);
    char text[2] = {'#', '#'};
    WBinToHex(text, nullptr, 1);
    WBinToHex(text, out, -1);
    EXPECT_EQ(text[0], '#');
}

TEST(HelpersBase64, EdgeLengths) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {{"", ""},          {"M", "TQ=="},          {"Ma", "TWE="},
                          {"Man", "TWFu"},   {"foobar", "Zm9vYmFy"}, {std::string("\xff\xfe", 2), "//4="}};
    for (const Case& c : cases) EXPECT_EQ(WBase64Encode(c.in), c.out) << c.in;
    EXPECT_EQ(WBase64Encode(nullptr, 5), "");
}

// What the system's base64 command makes of a file.
std::string Base64Command(const std::string& path) {
    std::string command = "base64 -w 0 '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "<popen failed>";
    std::string out;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    if (pclose(pipe) != 0) return "<base64 failed>";
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

TEST(HelpersBase64, MatchesTheBase64CommandOnRandomInput) {
    testsupport::TempDir dir;
    std::mt19937 rng(20240611);
    const std::string path = dir.file("input.bin");
    for (size_t length = 0; length <= 64; ++length) {
        std::string data(length, '\0');
        for (char& c : data) c = static_cast<char>(rng() & 0xFF);
        {
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            f.write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        std::string ours = WBase64Encode(data.data(), data.size());
        EXPECT_EQ(ours, Base64Command(path)) << "length " << length;
        EXPECT_EQ(ours.size(), (length + 2) / 3 * 4);
    }
}

TEST(HelpersFormat, PrintQuotRem) {
    char out[64];
    EXPECT_EQ(WPrintQuotRem(out, "%d.%02d", 1234, 100), 5);
    EXPECT_STREQ(out, "12.34");
    EXPECT_EQ(WPrintQuotRem(out, "%d,%d", -7, 2), 5);
    EXPECT_STREQ(out, "-3,-1");  // C division: truncates towards zero
    EXPECT_EQ(WPrintQuotRem(out, "%d/%d", 42, 0), 4);  // divisor 0 counts as 1
    EXPECT_STREQ(out, "42/0");
    // INT_MIN / -1 would trap; the quotient saturates.
    WPrintQuotRem(out, "%d %d", INT_MIN, -1);
    EXPECT_STREQ(out, "2147483647 0");
    EXPECT_EQ(WPrintQuotRem(nullptr, "%d%d", 1, 1), -1);
    EXPECT_EQ(WPrintQuotRem(out, nullptr, 1, 1), -1);

    char small[6];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(WPrintQuotRem(small, sizeof small, "%d.%02d", 123456, 100), 5);
    EXPECT_STREQ(small, "1234.");  // cut to the room there is
}

TEST(HelpersFormat, IntToString) {
    struct Case {
        int32_t value;
        int32_t width;
        char fill;
        const char* expected;
    };
    const Case cases[] = {
        {42, 0, ' ', "42"},       {42, 5, '0', "00042"},   {42, 1, '0', "42"},
        {-5, 4, '0', "00-5"},     {-5, 0, ' ', "-5"},      {0, 3, '*', "**0"},
        {INT_MIN, 0, ' ', "-2147483648"}, {7, -10, '0', "7"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(WIntToString(c.value, c.width, c.fill), c.expected) << c.value << " " << c.width;

    // Huge widths are bounded, never overflow.
    std::string wide = WIntToString(1, INT_MAX, '0');
    EXPECT_EQ(wide.size(), static_cast<size_t>(kWIntToStringMaxWidth));
    EXPECT_EQ(wide.back(), '1');

    // The static text stays valid while other values are converted into
    // caller storage.
    const char* kept = WIntToString(123, 6, ' ');
    char mine[4];
    EXPECT_STREQ(WIntToString(98765, 0, ' ', mine, sizeof mine), "987");  // cut to fit
    EXPECT_STREQ(kept, "   123");
    EXPECT_EQ(WIntToString(1, 0, ' ', nullptr, 10), nullptr);
    EXPECT_EQ(WIntToString(1, 0, ' ', mine, 0), nullptr);
}

}  // namespace

TEST(HelpersFormat, BcdOfTwoAndFourBytes) {
    struct Case {
        int64_t value;
        int bytes;
        int result;
        std::string bcd;
    };
    const Case cases[] = {
        {1234, 2, 1, std::string("\x12\x34", 2)},           {0, 2, 1, std::string("\x00\x00", 2)},
        {9999, 2, 1, std::string("\x99\x99", 2)},           {10000, 2, -1, "--"},
        {-1, 2, -1, "--"},                                   {7, 4, 1, std::string("\x00\x00\x00\x07", 4)},
        {99999999, 4, 1, std::string("\x99\x99\x99\x99", 4)}, {100000000, 4, -1, "----"},
        {12345678, 4, 1, std::string("\x12\x34\x56\x78", 4)},
    };
    for (const Case& c : cases) {
        unsigned char out[4];
        std::memset(out, '-', sizeof out);
        const int result = c.bytes == 2 ? IntToBCD2(static_cast<int32_t>(c.value), out) : LongToBCD4(c.value, out);
        EXPECT_EQ(result, c.result) << c.value;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(c.bytes)), c.bcd) << c.value;
    }
    EXPECT_EQ(IntToBCD2(1, nullptr), -1);
    EXPECT_EQ(LongToBCD4(1, nullptr), -1);
}

#include "platform/uuid.h"

#include <array>
#include <string>
#include <unordered_set>

#include <gtest/gtest.h>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case or anything else is wrong
}

TEST(NewUuidText, FormatVersionAndVariant) {
    for (int i = 0; i < 200; ++i) {
        std::string u = plat::NewUuidText();
        ASSERT_EQ(u.size(), 36u) << u;
        for (size_t k = 0; k < u.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23)
                EXPECT_EQ(u[k], '-') << u;
            else
                EXPECT_GE(HexValue(u[k]), 0) << u << " at " << k;
        }
        EXPECT_EQ(u[14], '4') << u;                  // version 4
        EXPECT_EQ(HexValue(u[19]) & 0xC, 0x8) << u;  // variant bits 10
    }
}

// Over a few thousand texts: no repeat, and every random bit takes both values
// (a byte left constant or a badly placed group would show here).
TEST(NewUuidText, UniqueAndEveryRandomBitVaries) {
    constexpr int kCount = 5000;
    std::unordered_set<std::string> seen;
    std::array<int, 32 * 4> ones{};  // per hex digit, per bit
    for (int i = 0; i < kCount; ++i) {
        std::string u = plat::NewUuidText();
        ASSERT_TRUE(seen.insert(u).second) << "repeated " << u;
        std::string digits;
        for (char c : u)
            if (c != '-') digits.push_back(c);
        ASSERT_EQ(digits.size(), 32u);
        for (int d = 0; d < 32; ++d)
            for (int b = 0; b < 4; ++b)
                if (HexValue(digits[d]) & (1 << b)) ++ones[d * 4 + b];
    }
    for (int d = 0; d < 32; ++d) {
        for (int b = 0; b < 4; ++b) {
            int n = ones[d * 4 + b];
            bool fixed = d == 12 || (d == 16 && b >= 2);
            if (fixed) continue;  // version nibble and variant bits, checked above
            EXPECT_GT(n, kCount / 4) << "digit " << d << " bit " << b;
            EXPECT_LT(n, kCount * 3 / 4) << "digit " << d << " bit " << b;
        }
    }
}

}  // namespace

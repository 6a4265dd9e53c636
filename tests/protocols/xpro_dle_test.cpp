// DLE doubling and undoubling of frame bodies.
#include "protocols/xpro/xpro_dle.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Undouble(const Bytes& in) {
    Bytes out(in.size() + 1, 0xEE);
    int n = XPRO_UndoubleDLE(out.data(), in.data(), static_cast<int>(in.size()));
    EXPECT_EQ(out[in.size()], 0xEE);  // never writes past the input's length
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes Double(const Bytes& in) {
    Bytes out(2 * in.size() + 1, 0xEE);
    int n = XPRO_DoubleDLE(out.data(), in.data(), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

TEST(XproDle, UndoublingTable) {
    struct Case {
        Bytes in, out;
    };
    const Case cases[] = {
        {{0x10, 0x10, 0x10, 0x03}, {0x10, 0x10, 0x03}},  // pair, then a lone DLE
        {{0x10, 0x10}, {0x10}},
        {{0x10}, {0x10}},                                // lone DLE at the end
        {{0x01, 0x10}, {0x01, 0x10}},
        {{0x10, 0x10, 0x10, 0x10}, {0x10, 0x10}},
        {{0x10, 0x02, 0x10, 0x10, 0x03}, {0x10, 0x02, 0x10, 0x03}},
        {{0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},
    };
    for (const Case& c : cases) EXPECT_EQ(Undouble(c.in), c.out);
}

TEST(XproDle, DoublingAndRoundTrip) {
    EXPECT_EQ(Double({0x10, 0x02, 0x10}), (Bytes{0x10, 0x10, 0x02, 0x10, 0x10}));
    std::mt19937 gen(7);
    for (int round = 0; round < 200; ++round) {
        Bytes data(gen() % 64);
        for (auto& b : data) b = (gen() % 3 == 0) ? 0x10 : static_cast<unsigned char>(gen());
        Bytes doubled = Double(data);
        EXPECT_EQ(Undouble(doubled), data);
        // In place, as the links do with their receive buffer.
        int n = XPRO_UndoubleDLE(doubled.data(), doubled.data(), static_cast<int>(doubled.size()));
        EXPECT_EQ(Bytes(doubled.begin(), doubled.begin() + n), data);
    }
}

TEST(XproDle, BadArgumentsWriteNothing) {
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const unsigned char in[2] = {0x10, 0x10};
    EXPECT_EQ(XPRO_UndoubleDLE(out, in, 0), 0);
    EXPECT_EQ(XPRO_UndoubleDLE(out, in, -5), 0);
    EXPECT_EQ(XPRO_UndoubleDLE(nullptr, in, 2), 0);
    EXPECT_EQ(XPRO_UndoubleDLE(out, nullptr, 2), 0);
    EXPECT_EQ(XPRO_DoubleDLE(out, in, -1), 0);
    EXPECT_EQ(out[0], 0xEE);
}

}  // namespace

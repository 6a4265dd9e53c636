// The library's tag codec over the shared corpus: every message reads back as
// its expected entries and is rebuilt identically, with text values and with
// byte values. The core tag-message buffer runs the same corpus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/tag_corpus.h"
#include "znp_dll.h"

namespace {

TEST(ClientTagCorpusTest, ReadAndRebuildIdentically) {
    const auto corpus = testsupport::LoadTagCorpus();
    ASSERT_GE(corpus.size(), 5u);
    for (const auto& e : corpus) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(ATAG_ReadInit(e.message.c_str(), static_cast<uint32_t>(e.message.size() + 1)), 1);
        std::vector<char> value(10241);
        for (const auto& [code, expected] : e.entries) {
            ASSERT_EQ(ATAG_GetStringVal(code.c_str(), value.data(), 0), 1) << code;
            EXPECT_EQ(std::string(value.data()), expected) << code;
        }
        std::vector<char> rebuilt(10241, 'x');
        ASSERT_EQ(ATAG_WriteInit(rebuilt.data(), static_cast<uint32_t>(rebuilt.size())), 1);
        for (const auto& [code, expected] : e.entries)
            ASSERT_EQ(ATAG_SetStringVal(code.c_str(), expected.c_str()), 1) << code;
        EXPECT_EQ(std::string(rebuilt.data()), e.message);

        // Byte values decoded and written back as bytes give the same text.
        ASSERT_EQ(ATAG_WriteInit(rebuilt.data(), static_cast<uint32_t>(rebuilt.size())), 1);
        ASSERT_EQ(ATAG_ReadInit(e.message.c_str(), static_cast<uint32_t>(e.message.size() + 1)), 1);
        for (const auto& [code, expected] : e.entries) {
            if (testsupport::LooksLikeBytes(expected)) {
                unsigned char bytes[512];
                uint32_t count = sizeof bytes;
                ASSERT_EQ(ATAG_GetStringValHEX(code.c_str(), bytes, &count, 0), 1) << code;
                EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + count), testsupport::HexBytes(expected));
                ASSERT_EQ(ATAG_SetStringValHEX(code.c_str(), bytes, count), 1);
            } else {
                ASSERT_EQ(ATAG_GetStringVal(code.c_str(), value.data(), 0), 1) << code;
                ASSERT_EQ(ATAG_SetStringVal(code.c_str(), value.data()), 1);
            }
        }
        EXPECT_EQ(std::string(rebuilt.data()), e.message);
    }
}

}  // namespace

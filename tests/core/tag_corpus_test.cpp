// The core tag-message buffer over the shared corpus: every message walks as
// its expected entries and is rebuilt identically, with text values and with
// byte values. The client library's codec runs the same corpus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/tag_buffer.h"
#include "support/tag_corpus.h"

namespace {

TEST(CoreTagCorpusTest, ReadAndRebuildIdentically) {
    const auto corpus = testsupport::LoadTagCorpus();
    ASSERT_GE(corpus.size(), 5u);
    ATAG_BUFFER tags;
    ATAG_Init(&tags);
    for (const auto& e : corpus) {
        SCOPED_TRACE(e.name);
        std::vector<char> text(TAG_MESSAGE_BUFFER_SIZE, '\0');
        std::copy(e.message.begin(), e.message.end(), text.begin());
        ASSERT_EQ(ATAG_InitRead(&tags, text.data(), TAG_MESSAGE_MAX_CHARS, 0), 1);
        std::vector<std::pair<std::string, std::string>> walked;
        char code[64];
        std::vector<char> value(TAG_MESSAGE_BUFFER_SIZE);
        while (ATAG_GetNext(&tags, code, sizeof code, value.data(), static_cast<int>(value.size())) == 1) {
            if (std::string(code) == "F") break;
            walked.emplace_back(code, value.data());
        }
        EXPECT_EQ(walked, e.entries);

        for (bool asBytes : {false, true}) {
            std::vector<char> rebuilt(TAG_MESSAGE_BUFFER_SIZE, 'x');
            ASSERT_EQ(ATAG_InitWrite(&tags, rebuilt.data(), TAG_MESSAGE_MAX_CHARS, 1), 1);
            for (const auto& [c, v] : e.entries) {
                if (asBytes && testsupport::LooksLikeBytes(v)) {
                    const auto bytes = testsupport::HexBytes(v);
                    ASSERT_GT(ATAG_SetHex(&tags, c.c_str(), bytes.data(), static_cast<int>(bytes.size())), 0) << c;
                } else {
                    ASSERT_GT(ATAG_Set(&tags, c.c_str(), v.c_str()), 0) << c;
                }
            }
            EXPECT_EQ(std::string(rebuilt.data()), e.message) << (asBytes ? "bytes" : "text");
        }
    }
}

}  // namespace

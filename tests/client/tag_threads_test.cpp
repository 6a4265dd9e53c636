// Tag functions of one instance called from two threads at once: each call
// sees one whole binding (buffer with its capacity, text with its length), so
// no call writes past the buffer it was given or reads past the text it was
// bound to. Logging stays off so that the calls run as fast as they can.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "znp_dll.h"

namespace {

constexpr int kRounds = 200000;

// The default instance (never opened) serves both threads; the tag functions
// need no program.
TEST(TagThreadsTest, WriterBindingsNeverMixAcrossThreads_Mended) {
    // The small buffer lies at the start of a larger area whose rest is a
    // guard pattern: any write past its 32 bytes shows there.
    constexpr size_t kSmall = 32;
    std::vector<char> smallArea(kSmall + 4096, 'G');
    std::vector<char> big(2048, '\0');
    const std::string longValue(2000, '7');
    std::atomic<bool> stop{false};
    std::atomic<int> guardBroken{0};

    std::thread small([&] {
        for (int i = 0; i < kRounds && !stop; ++i) {
            ATAG_WriteInit(smallArea.data(), kSmall);
            ATAG_SetStringVal("SV", "s0");
            if (std::memchr(smallArea.data() + kSmall, 0, smallArea.size() - kSmall) != nullptr ||
                std::string(smallArea.data() + kSmall, 16) != std::string(16, 'G')) {
                guardBroken = i + 1;
                stop = true;
            }
        }
        stop = true;
    });
    std::thread large([&] {
        while (!stop) {
            ATAG_WriteInit(big.data(), static_cast<uint32_t>(big.size()));
            ATAG_SetStringVal("D3L", longValue.c_str());
        }
    });
    small.join();
    large.join();
    EXPECT_EQ(guardBroken.load(), 0) << "a write went past the 32-byte buffer in round " << guardBroken.load();
}

TEST(TagThreadsTest, ReaderBindingsNeverMixAcrossThreads_Mended) {
    // The short text is "{SV}s0{F}"; what follows its terminator in the same
    // area is not part of it and holds a D3L entry that no read may find.
    std::vector<char> shortArea(4096, '\0');
    const std::string shortText = "{SV}s0{F}";
    const std::string hidden = "{D3L}HIDDEN{F}";
    std::memcpy(shortArea.data(), shortText.c_str(), shortText.size() + 1);
    std::memcpy(shortArea.data() + shortText.size() + 1, hidden.c_str(), hidden.size() + 1);
    const std::string longText = "{SV}s1" + std::string(3000, 'x') + "{D3L}VISIBLE{F}";
    std::atomic<bool> stop{false};
    std::atomic<int> wrongRead{0};

    std::thread shortReader([&] {
        std::vector<char> value(8192);
        for (int i = 0; i < kRounds && !stop; ++i) {
            ATAG_ReadInit(shortArea.data(), static_cast<uint32_t>(shortArea.size()));
            if (ATAG_GetStringVal("D3L", value.data(), 1) == 1 && std::strcmp(value.data(), "VISIBLE") != 0) {
                wrongRead = i + 1;
                stop = true;
            }
        }
        stop = true;
    });
    std::thread longReader([&] {
        std::vector<char> value(8192);
        while (!stop) {
            ATAG_ReadInit(longText.c_str(), static_cast<uint32_t>(longText.size() + 1));
            ATAG_GetStringVal("D3L", value.data(), 1);
        }
    });
    shortReader.join();
    longReader.join();
    EXPECT_EQ(wrongRead.load(), 0) << "a read went past the bound text in round " << wrongRead.load();
}

}  // namespace

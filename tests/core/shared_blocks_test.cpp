#include "core/shared_blocks.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/trace.h"
#include "platform/clock.h"
#include "platform/fork_child.h"
#include "platform/named_mutex.h"
#include "platform/shared_memory.h"
#include "support/trace_capture.h"

using testsupport::Channel;
using testsupport::ForkedChild;

namespace {

using testsupport::TraceCapture;

long long ObjectSize(const std::string& fullName) {
    struct stat st {};
    if (stat(("/dev/shm/" + fullName).c_str(), &st) != 0) return -1;
    return st.st_size;
}

class SharedBlocksTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(WSetShareMemPrefix(""), 0); }
    void TearDown() override {
        for (void* p : open_) WCloseShareMem(p);
        for (const auto& n : shm_) plat::SharedMemory::Unlink(n);
        for (const auto& n : mutexes_) plat::NamedMutex::Unlink(n);
        WSetShareMemPrefix("");
    }
    std::string Name(const char* tag) {
        std::string n = "sb" + std::to_string(getpid()) + tag;
        shm_.push_back("SHNT_" + n);
        return n;
    }
    std::string MutexName(const char* tag) {
        std::string n = "sbm" + std::to_string(getpid()) + tag;
        mutexes_.push_back(n);
        mutexes_.push_back(kSemNamePrefix + n);
        return n;
    }
    void* Keep(void* p) {
        if (p) open_.push_back(p);
        return p;
    }
    std::vector<void*> open_;
    std::vector<std::string> shm_, mutexes_;
};

TEST_F(SharedBlocksTest, SizeIsRoundedUpAndBlockIsSharedWithAnotherProcess) {
    const std::string name = Name("round");
    auto* p = static_cast<char*>(Keep(WCreateShareMem(name.c_str(), 20482)));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ObjectSize("SHNT_" + name), 20496);
    std::strcpy(p + 20000, "parent");
    p[20495] = 'e';  // last byte of the rounded block is ours to use

    ForkedChild child([&](Channel& ch) {
        auto* q = static_cast<char*>(WOpenShareMem(name.c_str(), 20482, 1));
        if (q == nullptr) return 1;
        if (std::strcmp(q + 20000, "parent") != 0 || q[20495] != 'e') return 2;
        std::strcpy(q, "child");
        ch.send('w');
        ch.receive();
        return WCloseShareMem(q) == 0 ? 0 : 3;
    });
    ASSERT_EQ(child.receive(), 'w');
    EXPECT_STREQ(p, "child");
    child.send('q');
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(SharedBlocksTest, SizesRoundToMultiplesOf16) {
    struct Case {
        size_t asked;
        long long expected;
    } cases[] = {{1, 16}, {16, 16}, {17, 32}, {20480, 20480}, {20482, 20496}};
    int i = 0;
    for (const auto& c : cases) {
        std::string name = Name(("r" + std::to_string(i++)).c_str());
        void* p = WCreateShareMem(name.c_str(), c.asked);
        ASSERT_NE(p, nullptr) << c.asked;
        EXPECT_EQ(ObjectSize("SHNT_" + name), c.expected) << c.asked;
        EXPECT_EQ(WCloseShareMem(p), 0);
    }
}

TEST_F(SharedBlocksTest, LargerSecondOpenGrowsInsteadOfMappingPastTheEnd) {
    const std::string name = Name("grow");
    auto* small = static_cast<char*>(Keep(WCreateShareMem(name.c_str(), 100)));
    ASSERT_NE(small, nullptr);
    small[0] = 's';
    ForkedChild child([&](Channel& ch) {
        auto* big = static_cast<char*>(WOpenShareMem(name.c_str(), 10000, 1));
        if (big == nullptr || big[0] != 's') return 1;
        big[9999] = 'b';  // would fault if the object were still 112 bytes
        ch.send('g');
        return 0;
    });
    ASSERT_EQ(child.receive(), 'g');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(ObjectSize("SHNT_" + name), 10000);
}

TEST_F(SharedBlocksTest, OpenFailuresAreTracedAndReturnNull) {
    const std::string missing = Name("missing");
    const std::string zero = Name("zero");
    TraceCapture trace;
    EXPECT_EQ(WOpenShareMem(missing.c_str(), 64, 1), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WOpenShareMem():echec open() MapFile 1 SHNT_" + missing));
    EXPECT_EQ(ObjectSize("SHNT_" + missing), -1);
    EXPECT_EQ(WOpenShareMem(zero.c_str(), 0, 0), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WOpenShareMem():echec open() MapFile 0 SHNT_" + zero));
    EXPECT_EQ(WOpenShareMem(nullptr, 64, 0), nullptr);
}

TEST_F(SharedBlocksTest, FullNamesLongerThan79AreRefused) {
    // "SHNT_" is 5 characters: 74 more make 79.
    std::string ok = Name("") + std::string(74 - Name("").size(), 'k');
    shm_.push_back("SHNT_" + ok);
    void* p = Keep(WCreateShareMem(ok.c_str(), 16));
    EXPECT_NE(p, nullptr);
    TraceCapture trace;
    std::string tooLong = ok + "x";
    EXPECT_EQ(WCreateShareMem(tooLong.c_str(), 16), nullptr);
    EXPECT_EQ(ObjectSize("SHNT_" + tooLong), -1);
    std::string huge(5000, 'h');
    EXPECT_EQ(WCreateShareMem(huge.c_str(), 16), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WOpenShareMem(): nom trop long"));
    // A long prefix counts too.
    ASSERT_EQ(WSetShareMemPrefix(std::string(70, 'P').c_str()), 0);
    EXPECT_EQ(WCreateShareMem("0123456789", 16), nullptr);
}

TEST_F(SharedBlocksTest, CloseOfUnknownAddressWarns) {
    TraceCapture trace;
    int local = 0;
    EXPECT_EQ(WCloseShareMem(&local), -1);
    EXPECT_TRUE(trace.Contains("<< WARN. >> WCloseShareMem(): cellule introuvable"));
    EXPECT_EQ(WCloseShareMem(nullptr), -1);
    EXPECT_EQ(WReleaseShareMem(&local), -1);

    const std::string name = Name("twice");
    void* p = WCreateShareMem(name.c_str(), 32);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(WReleaseShareMem(p), 0);
    EXPECT_EQ(WCloseShareMem(p), -1);  // already closed
}

TEST_F(SharedBlocksTest, SlotsRecordOpenBlocksAndAreFreedOnClose) {
    const std::string name = Name("slot");
    void* p = WCreateShareMem(name.c_str(), 32);
    ASSERT_NE(p, nullptr);
    WShareCell* cell = WGetHANDLEbyAddress(p);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->address, p);
    EXPECT_NE(cell->mapping, -1);
    WShareCell* freeCell = WGetHANDLEbyAddress(nullptr);
    ASSERT_NE(freeCell, nullptr);
    EXPECT_NE(freeCell, cell);
    EXPECT_EQ(freeCell->mapping, -1);
    ASSERT_EQ(WCloseShareMem(p), 0);
    EXPECT_EQ(WGetHANDLEbyAddress(p), nullptr);
    EXPECT_EQ(cell->mapping, -1);
    EXPECT_EQ(cell->address, nullptr);
    // The last user closed it: the block is gone.
    EXPECT_EQ(ObjectSize("SHNT_" + name), -1);
}

TEST_F(SharedBlocksTest, PrefixIsPutInFrontOfNames) {
    const std::string name = Name("pfx");
    shm_.push_back("SH" + name);
    ASSERT_EQ(WSetShareMemPrefix("SH"), 0);
    void* p = Keep(WCreateShareMem(name.c_str(), 16));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ObjectSize("SH" + name), 16);
    EXPECT_EQ(ObjectSize("SHNT_" + name), -1);
    // A null prefix once the table exists changes nothing.
    EXPECT_EQ(WSetShareMemPrefix(nullptr), 0);
    void* q = WOpenShareMem(name.c_str(), 16, 1);
    EXPECT_NE(q, nullptr);
    WCloseShareMem(q);
    // An empty prefix restores the default; an over-long one is refused.
    EXPECT_EQ(WSetShareMemPrefix(""), 0);
    EXPECT_EQ(WOpenShareMem(name.c_str(), 16, 1), nullptr);
    EXPECT_EQ(WSetShareMemPrefix(std::string(80, 'p').c_str()), -1);
    EXPECT_EQ(WSetShareMemPrefix(std::string(79, 'p').c_str()), 0);
}

TEST_F(SharedBlocksTest, HeapVariantGivesZeroedPrivateBlocks) {
    auto* p = static_cast<unsigned char*>(WOpenShareMemHeap("KT_SHARE_COM_1", 100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;
    auto* q = static_cast<unsigned char*>(WOpenShareMemHeap("KT_SHARE_COM_1", 100));
    ASSERT_NE(q, nullptr);
    EXPECT_NE(p, q);  // the name does not share anything
    EXPECT_EQ(WFreeShareMemHeap(p), 0);
    EXPECT_EQ(WFreeShareMemHeap(q), 0);
    EXPECT_EQ(WFreeShareMemHeap(nullptr), -1);
}

// The prefixed name starts with the program's prefix, not with the text
// "(null)" that a missing prefix printed.
TEST_F(SharedBlocksTest, PrefixedMutexIsNamedWithTheProgramsPrefix_Mended) {
    const std::string name = MutexName("RES01");
    WSEM_HANDLE h = nullptr;
    ASSERT_EQ(WSemOpenPrefixed(1, &h, name.c_str()), 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WSemWait(h, 0), 0);
    ForkedChild child([&](Channel& ch) {
        plat::NamedMutex m;
        if (m.Open("SH" + name) != 0) return 1;
        plat::MutexWait r = m.Wait(0);
        ch.send(r == plat::MutexWait::TimedOut ? 'T' : 'x');
        return 0;
    });
    EXPECT_EQ(child.receive(), 'T');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(WSemRelease(h), 0);
    EXPECT_EQ(WSemClose(h), 0);
}

TEST_F(SharedBlocksTest, MutexNamesOverTheLimitAreRefused) {
    TraceCapture trace;
    WSEM_HANDLE h = nullptr;
    std::string base = MutexName("");
    std::string p73 = base + std::string(73 - base.size(), 'a');
    std::string p74 = p73 + "a";
    mutexes_.push_back(kSemNamePrefix + p73);
    EXPECT_EQ(WSemOpenPrefixed(0, &h, p73.c_str()), 0);
    EXPECT_EQ(WSemClose(h), 0);
    EXPECT_EQ(WSemOpenPrefixed(0, &h, p74.c_str()), -1);
    EXPECT_EQ(h, nullptr);

    std::string n79 = base + std::string(79 - base.size(), 'b');
    mutexes_.push_back(n79);
    EXPECT_EQ(WSemOpen(1, &h, n79.c_str()), 0);
    EXPECT_EQ(WSemClose(h), 0);
    std::string n80 = n79 + "b";
    EXPECT_EQ(WSemOpen(1, &h, n80.c_str()), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSemOpen : Echec OpenCreateMutex  "));
    std::string huge(4000, 'z');
    EXPECT_EQ(WSemOpenPrefixed(1, &h, huge.c_str()), -1);
    EXPECT_EQ(WSemOpenPrefixed(1, &h, nullptr), -1);
    EXPECT_EQ(WSemOpen(1, nullptr, base.c_str()), -1);
    EXPECT_EQ(WSemOpen(1, &h, nullptr), -1);
    EXPECT_EQ(WSemOpen(1, &h, "bad/name"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSemOpen : Echec OpenCreateMutex  0016  bad/name"));
}

TEST_F(SharedBlocksTest, WaitOnMutexHeldByAnotherThreadFailsAfter500ms) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const std::string name = MutexName("held");
    WSEM_HANDLE mine = nullptr;
    ASSERT_EQ(WSemOpen(1, &mine, name.c_str()), 0);
    ASSERT_EQ(WSemWait(mine, 0), 0);
    ASSERT_EQ(WSemWait(mine, 0), 0);  // recursive for the owner
    int result = 0, released = 0;
    int64_t spent = 0;
    std::thread other([&] {
        WSEM_HANDLE h = nullptr;
        WSemOpen(1, &h, name.c_str());
        int64_t t0 = clock.nowMs();
        result = WSemWait(h, 0);
        spent = clock.nowMs() - t0;
        released = WSemRelease(h);
        WSemClose(h);
    });
    other.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(spent, 500);
    EXPECT_EQ(released, -1);
    EXPECT_EQ(WSemRelease(mine), 0);
    EXPECT_EQ(WSemRelease(mine), 0);
    EXPECT_EQ(WSemRelease(mine), -1);
    EXPECT_EQ(WSemClose(mine), 0);
}

TEST_F(SharedBlocksTest, WaitAcquiresMutexOfKilledHolder) {
    const std::string name = MutexName("killed");
    ForkedChild child([&](Channel& ch) {
        WSEM_HANDLE h = nullptr;
        if (WSemOpen(1, &h, name.c_str()) != 0 || WSemWait(h, 0) != 0) return 1;
        ch.send('h');
        ch.receive(60000);
        return 0;
    });
    ASSERT_EQ(child.receive(), 'h');
    child.killAndWait();
    WSEM_HANDLE h = nullptr;
    ASSERT_EQ(WSemOpen(0, &h, name.c_str()), 0);
    EXPECT_EQ(WSemWait(h, 1000), 0);
    EXPECT_EQ(WSemRelease(h), 0);
    EXPECT_EQ(WSemClose(h), 0);
}

TEST_F(SharedBlocksTest, NullMutexHandlesFail) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    int64_t t0 = clock.nowMs();
    EXPECT_EQ(WSemWait(nullptr, 0), -1);
    EXPECT_EQ(clock.nowMs() - t0, 500);
    EXPECT_EQ(WSemRelease(nullptr), -1);
    EXPECT_EQ(WSemClose(nullptr), -1);
}

TEST(CountryLanguages, LookUpByFirstThreeCharacters) {
    struct Case {
        const char* text;
        int result;
        const char* language;
    } cases[] = {
        {"250", 1, "FRE"}, {"276", 1, "GER"}, {"004", 1, "PUS"}, {"894", 1, "ENG"},
        {"756", 1, "FRE"}, {"2501", 1, "FRE"}, {"999", -1, ""},  {"25", -1, ""},
        {"", -1, ""},      {"000", -1, ""},    {"4", -1, ""},    {"895", -1, ""},
    };
    for (const auto& c : cases) {
        char out[8];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(WGetLanguageCode(c.text, out), c.result) << c.text;
        if (c.result == 1) {
            EXPECT_STREQ(out, c.language) << c.text;
        } else {
            EXPECT_EQ(out[0], '#') << c.text;  // untouched
        }
    }
    char out[4];
    EXPECT_EQ(WGetLanguageCode(nullptr, out), -1);
    EXPECT_EQ(WGetLanguageCode("250", nullptr), -1);
}

TEST(CountryLanguages, TableHas249AscendingRowsOfDigitsAndLetters) {
    ASSERT_EQ(g_countryLanguageCount, 249u);
    for (size_t i = 0; i < g_countryLanguageCount; ++i) {
        const auto& row = g_countryLanguages[i];
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(row.country[k] >= '0' && row.country[k] <= '9') << i;
            EXPECT_TRUE(row.language[k] >= 'A' && row.language[k] <= 'Z') << i;
        }
        EXPECT_EQ(row.country[3], '\0');
        EXPECT_EQ(row.language[3], '\0');
        if (i > 0) {
            EXPECT_LT(std::strcmp(g_countryLanguages[i - 1].country, row.country), 0) << i;
        }
        // Every row can be found.
        char out[4];
        EXPECT_EQ(WGetLanguageCode(row.country, out), 1);
        EXPECT_STREQ(out, row.language);
    }
}

}  // namespace

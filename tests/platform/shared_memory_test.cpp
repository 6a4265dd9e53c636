#include "platform/shared_memory.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fork_child.h"

using plat::SharedMemory;
using plat::ShmError;
using testsupport::Channel;
using testsupport::ForkedChild;

namespace {

class SharedMemoryTest : public ::testing::Test {
protected:
    std::string Name(const char* tag) {
        std::string n = "znp-shm-" + std::to_string(getpid()) + "-" + tag;
        names_.push_back(n);
        return n;
    }
    void TearDown() override {
        for (const auto& n : names_) SharedMemory::Unlink(n);
    }
    // Size of the POSIX object as the system sees it, -1 when absent.
    static long long ObjectSize(const std::string& name) {
        struct stat st {};
        if (stat(("/dev/shm/" + name).c_str(), &st) != 0) return -1;
        return st.st_size;
    }
    std::vector<std::string> names_;
};

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

TEST_F(SharedMemoryTest, BlockWrittenByOneProcessIsReadByAnother) {
    const std::string name = Name("rw");
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 4096, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    EXPECT_TRUE(mem.created());
    EXPECT_EQ(mem.size(), 4096u);
    std::strcpy(static_cast<char*>(mem.data()), "from parent");

    ForkedChild child([&](Channel& ch) {
        SharedMemory own;
        if (own.Open(name, 4096, SharedMemory::Mode::OpenOnly) != ShmError::None) return 1;
        if (own.created()) return 2;
        if (std::strcmp(static_cast<char*>(own.data()), "from parent") != 0) return 3;
        std::strcpy(static_cast<char*>(own.data()) + 100, "from child");
        ch.send('w');
        return ch.receive() == 'q' ? 0 : 4;
    });
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.receive(), 'w');
    EXPECT_STREQ(static_cast<char*>(mem.data()) + 100, "from child");
    child.send('q');
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(SharedMemoryTest, LargerSecondOpenerGrowsTheBlockForBothSides) {
    const std::string name = Name("grow");
    SharedMemory small;
    ASSERT_EQ(small.Open(name, 4096, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    std::memset(small.data(), 'a', 4096);

    ForkedChild child([&](Channel& ch) {
        SharedMemory big;
        if (big.Open(name, 3 * 4096, SharedMemory::Mode::OpenOnly) != ShmError::None) return 1;
        if (big.size() != 3 * 4096) return 2;
        auto* p = static_cast<char*>(big.data());
        if (p[0] != 'a' || p[4095] != 'a' || p[4096] != 0) return 3;
        // Writing at the very end must not fault: the object really grew.
        p[3 * 4096 - 1] = 'z';
        ch.send('g');
        return ch.receive() == 'q' ? 0 : 4;
    });
    ASSERT_EQ(child.receive(), 'g');
    EXPECT_EQ(ObjectSize(name), 3 * 4096);

    // A smaller request never shrinks it; a size of 0 maps everything.
    SharedMemory again;
    ASSERT_EQ(again.Open(name, 16, SharedMemory::Mode::OpenOnly), ShmError::None);
    EXPECT_EQ(again.size(), 3u * 4096);
    EXPECT_EQ(static_cast<char*>(again.data())[3 * 4096 - 1], 'z');
    SharedMemory whole;
    ASSERT_EQ(whole.Open(name, 0, SharedMemory::Mode::OpenOnly), ShmError::None);
    EXPECT_EQ(whole.size(), 3u * 4096);
    EXPECT_EQ(ObjectSize(name), 3 * 4096);
    // The first mapping still sees the shared bytes it covers.
    static_cast<char*>(whole.data())[10] = 'w';
    EXPECT_EQ(static_cast<char*>(small.data())[10], 'w');
    child.send('q');
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(SharedMemoryTest, StaleBlockOfKilledProcessIsClearedByNextFirstOpener) {
    const std::string name = Name("stale");
    {
        ForkedChild child([&](Channel& ch) {
            SharedMemory mem;
            if (mem.Open(name, 1024, SharedMemory::Mode::OpenOrCreate) != ShmError::None) return 1;
            std::memset(mem.data(), '1', 1024);
            ch.send('r');
            ch.receive(60000);  // killed here
            return 0;
        });
        ASSERT_EQ(child.receive(), 'r');
        EXPECT_EQ(child.killAndWait(), 128 + SIGKILL);
    }
    // The object survived its process, content included...
    ASSERT_EQ(ObjectSize(name), 1024);
    int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    void* raw = mmap(nullptr, 1024, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(raw, MAP_FAILED);
    EXPECT_EQ(static_cast<char*>(raw)[0], '1');
    munmap(raw, 1024);

    // ...but open-only finds nobody alive behind it, and a creator clears it.
    SharedMemory openOnly;
    EXPECT_EQ(openOnly.Open(name, 1024, SharedMemory::Mode::OpenOnly), ShmError::NotFound);
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 512, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    EXPECT_TRUE(mem.created());
    EXPECT_EQ(mem.size(), 512u);
    EXPECT_TRUE(AllZero(mem.data(), mem.size()));
}

TEST_F(SharedMemoryTest, StaleLargerBlockIsClearedInFull) {
    const std::string name = Name("stalebig");
    ForkedChild child([&](Channel& ch) {
        SharedMemory mem;
        if (mem.Open(name, 8192, SharedMemory::Mode::OpenOrCreate) != ShmError::None) return 1;
        std::memset(mem.data(), 'x', 8192);
        ch.send('r');
        ch.receive(60000);
        return 0;
    });
    ASSERT_EQ(child.receive(), 'r');
    child.killAndWait();
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 100, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    EXPECT_TRUE(mem.created());
    EXPECT_TRUE(AllZero(mem.data(), mem.size()));
    // A later, larger opener sees no stale bytes beyond the new size either.
    SharedMemory bigger;
    ASSERT_EQ(bigger.Open(name, 8192, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    EXPECT_FALSE(bigger.created());
    EXPECT_TRUE(AllZero(bigger.data(), bigger.size()));
}

TEST_F(SharedMemoryTest, BlockHeldByLiveProcessIsNotCleared) {
    const std::string name = Name("live");
    ForkedChild child([&](Channel& ch) {
        SharedMemory mem;
        if (mem.Open(name, 1024, SharedMemory::Mode::OpenOrCreate) != ShmError::None) return 1;
        std::memset(mem.data(), '7', 1024);
        ch.send('r');
        return ch.receive() == 'q' ? 0 : 2;
    });
    ASSERT_EQ(child.receive(), 'r');
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 1024, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    EXPECT_FALSE(mem.created());
    EXPECT_EQ(static_cast<char*>(mem.data())[0], '7');
    EXPECT_EQ(static_cast<char*>(mem.data())[1023], '7');
    child.send('q');
    EXPECT_EQ(child.wait(), 0);
    // The child has gone: we are the last user and closing removes the block.
    mem.Close();
    EXPECT_EQ(ObjectSize(name), -1);
    SharedMemory after;
    EXPECT_EQ(after.Open(name, 1024, SharedMemory::Mode::OpenOnly), ShmError::NotFound);
}

TEST_F(SharedMemoryTest, SecondHandleInSameProcessSharesAndKeepsBlockAlive) {
    const std::string name = Name("twice");
    SharedMemory a, b;
    ASSERT_EQ(a.Open(name, 64, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    static_cast<char*>(a.data())[5] = 'k';
    ASSERT_EQ(b.Open(name, 64, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    EXPECT_FALSE(b.created());
    EXPECT_EQ(static_cast<char*>(b.data())[5], 'k');
    a.Close();
    EXPECT_EQ(ObjectSize(name), 64);
    EXPECT_EQ(static_cast<char*>(b.data())[5], 'k');
    SharedMemory c;
    ASSERT_EQ(c.Open(name, 64, SharedMemory::Mode::OpenOnly), ShmError::None);
    EXPECT_EQ(static_cast<char*>(c.data())[5], 'k');
}

TEST_F(SharedMemoryTest, FirstUserInitialiserRunsOnceBeforeOthersJoin) {
    const std::string name = Name("init");
    int calls = 0;
    auto init = [&](void* p, size_t n) {
        ++calls;
        static_cast<char*>(p)[0] = 'I';
        EXPECT_EQ(n, 32u);
    };
    SharedMemory a, b;
    ASSERT_EQ(a.Open(name, 32, SharedMemory::Mode::OpenOrCreate, init), ShmError::None);
    ASSERT_EQ(b.Open(name, 32, SharedMemory::Mode::OpenOrCreate, init), ShmError::None);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(static_cast<char*>(b.data())[0], 'I');
}

TEST_F(SharedMemoryTest, RefusesBadNamesAndSizes) {
    SharedMemory mem;
    struct Case {
        std::string name;
        size_t size;
        SharedMemory::Mode mode;
        ShmError expected;
    } cases[] = {
        {"", 16, SharedMemory::Mode::OpenOrCreate, ShmError::BadName},
        {"a/b", 16, SharedMemory::Mode::OpenOrCreate, ShmError::BadName},
        {"..", 16, SharedMemory::Mode::OpenOrCreate, ShmError::BadName},
        {std::string(SharedMemory::kMaxName + 1, 'n'), 16, SharedMemory::Mode::OpenOrCreate, ShmError::BadName},
        {Name("zero"), 0, SharedMemory::Mode::OpenOrCreate, ShmError::BadSize},
        {Name("missing"), 16, SharedMemory::Mode::OpenOnly, ShmError::NotFound},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mem.Open(c.name, c.size, c.mode), c.expected) << c.name.substr(0, 20);
        EXPECT_FALSE(mem.isOpen());
        EXPECT_EQ(mem.data(), nullptr);
        EXPECT_NE(mem.lastErrno(), 0);
    }
    // Nothing was left behind by the refusals.
    EXPECT_EQ(ObjectSize(names_[0]), -1);
    EXPECT_EQ(ObjectSize(names_[0] + ".users"), -1);
    EXPECT_EQ(ObjectSize(names_[1] + ".users"), -1);
}

TEST_F(SharedMemoryTest, ObjectsAreCreatedOwnerOnly) {
    const std::string name = Name("mode");
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 16, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(("/dev/shm/" + name + ".users").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(SharedMemoryTest, ManyConcurrentOpenersAgreeOnOneFirstUser) {
    const std::string name = Name("race");
    constexpr int kChildren = 6;
    // Each child opens, reports whether it was first, then writes its mark.
    std::vector<std::unique_ptr<ForkedChild>> children;
    for (int i = 0; i < kChildren; ++i) {
        children.push_back(std::make_unique<ForkedChild>([&, i](Channel& ch) {
            if (ch.receive() != 'g') return 1;
            SharedMemory mem;
            if (mem.Open(name, 256, SharedMemory::Mode::OpenOrCreate) != ShmError::None) return 2;
            static_cast<char*>(mem.data())[i] = 'm';
            ch.send(mem.created() ? 'F' : 'o');
            return ch.receive() == 'q' ? 0 : 3;
        }));
    }
    for (auto& c : children) c->send('g');
    int firsts = 0;
    for (auto& c : children) {
        char r = c->receive();
        ASSERT_TRUE(r == 'F' || r == 'o');
        firsts += r == 'F';
    }
    EXPECT_EQ(firsts, 1);
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 256, SharedMemory::Mode::OpenOnly), ShmError::None);
    // No opener's write was wiped by a late "first" user.
    for (int i = 0; i < kChildren; ++i) EXPECT_EQ(static_cast<char*>(mem.data())[i], 'm') << i;
    for (auto& c : children) {
        c->send('q');
        EXPECT_EQ(c->wait(), 0);
    }
}

TEST_F(SharedMemoryTest, ObjectMadeShorterUnderTheMappingNeverCrashes_Mended) {
    const std::string name = Name("shrink");
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 3 * page, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    auto* p = static_cast<volatile char*>(mem.data());
    p[0] = 'a';
    p[2 * page] = 'c';
    EXPECT_FALSE(mem.truncated());
    // Another opener (here through the object itself) cuts it to one page.
    const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(page)), 0);
    close(fd);
    // The pages past the end read as zeros and take writes; the page that is
    // still there is still shared.
    EXPECT_EQ(p[2 * page], 0);
    p[2 * page + 1] = 'w';
    EXPECT_EQ(p[2 * page + 1], 'w');
    EXPECT_EQ(p[3 * page - 1], 0);
    EXPECT_TRUE(mem.truncated());
    EXPECT_EQ(p[0], 'a');
    SharedMemory other;
    ASSERT_EQ(other.Open(name, 0, SharedMemory::Mode::OpenOnly), ShmError::None);
    EXPECT_EQ(other.size(), page);
    EXPECT_EQ(static_cast<char*>(other.data())[0], 'a');
    EXPECT_FALSE(other.truncated());
}

TEST_F(SharedMemoryTest, BusErrorsOutsideTheBlocksKeepTheirDefaultEffect) {
    // With the guard of the blocks installed, a bus error on another mapping
    // still ends the process with SIGBUS.
    const std::string name = Name("guarded");
    SharedMemory mem;
    ASSERT_EQ(mem.Open(name, 64, SharedMemory::Mode::OpenOrCreate), ShmError::None);
    const std::string other = "/" + Name("plain");
    ForkedChild child([&](Channel&) {
        const int fd = shm_open(other.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return 1;
        shm_unlink(other.c_str());
        if (ftruncate(fd, 4096) != 0) return 2;
        auto* q = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (q == MAP_FAILED) return 3;
        if (ftruncate(fd, 0) != 0) return 4;
        return q[10] == 0 ? 5 : 6;  // faults here
    });
    ASSERT_TRUE(child.started());
    const int rc = child.wait();
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_NE(rc, 0);  // the sanitizer's handler reports the fault and ends it
    EXPECT_NE(rc, 5);
    EXPECT_NE(rc, 6);
#else
    EXPECT_EQ(rc, 128 + SIGBUS);
#endif
}

}  // namespace

#include "platform/named_mutex.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/fork_child.h"

using plat::MutexWait;
using plat::NamedMutex;
using testsupport::Channel;
using testsupport::ForkedChild;

namespace {

class NamedMutexTest : public ::testing::Test {
protected:
    std::string Name(const char* tag) {
        std::string n = "znp-mtx-" + std::to_string(getpid()) + "-" + tag;
        names_.push_back(n);
        return n;
    }
    void TearDown() override {
        for (const auto& n : names_) NamedMutex::Unlink(n);
    }
    std::vector<std::string> names_;
};

// A child that opens the mutex on its own, tries it once and reports.
char TryInChild(const std::string& name, int64_t timeoutMs) {
    ForkedChild child([&](Channel& ch) {
        NamedMutex m;
        if (m.Open(name) != 0) return 1;
        MutexWait r = m.Wait(timeoutMs);
        ch.send(r == MutexWait::Acquired ? 'A' : r == MutexWait::Abandoned ? 'B' : r == MutexWait::TimedOut ? 'T' : 'F');
        if (r == MutexWait::Acquired || r == MutexWait::Abandoned) m.Release();
        return 0;
    });
    char c = child.receive();
    child.wait();
    return c;
}

TEST_F(NamedMutexTest, HeldMutexTimesOutInAnotherProcessUntilReleased) {
    const std::string name = Name("proc");
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    ASSERT_EQ(m.Wait(0), MutexWait::Acquired);
    EXPECT_EQ(TryInChild(name, 0), 'T');
    EXPECT_EQ(TryInChild(name, 30), 'T');
    ASSERT_TRUE(m.Release());
    EXPECT_EQ(TryInChild(name, 0), 'A');
}

TEST_F(NamedMutexTest, WaiterInAnotherProcessGetsItWhenReleased) {
    const std::string name = Name("handoff");
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    ASSERT_EQ(m.Wait(-1), MutexWait::Acquired);
    ForkedChild child([&](Channel& ch) {
        NamedMutex own;
        if (own.Open(name) != 0) return 1;
        ch.send('w');
        MutexWait r = own.Wait(-1);
        ch.send(r == MutexWait::Acquired ? 'A' : 'x');
        own.Release();
        return 0;
    });
    ASSERT_EQ(child.receive(), 'w');
    ASSERT_TRUE(m.Release());
    EXPECT_EQ(child.receive(), 'A');
    EXPECT_EQ(child.wait(), 0);
}

// A child that opens and takes the mutex, reports 'h' and waits to be killed.
std::function<int(Channel&)> HoldUntilKilled(const std::string& name) {
    return [name](Channel& ch) {
        NamedMutex m;
        if (m.Open(name) != 0 || m.Wait(0) != MutexWait::Acquired) return 1;
        ch.send('h');
        ch.receive(60000);  // killed while holding
        return 0;
    };
}

TEST_F(NamedMutexTest, MutexOfKilledHolderIsAcquiredAsAbandoned) {
    const std::string name = Name("abandon");
    ForkedChild child(HoldUntilKilled(name));
    ASSERT_EQ(child.receive(), 'h');
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    EXPECT_EQ(m.Wait(0), MutexWait::TimedOut);
    EXPECT_EQ(child.killAndWait(), 128 + SIGKILL);
    EXPECT_EQ(m.Wait(1000), MutexWait::Abandoned);
    ASSERT_TRUE(m.Release());
    // Released properly this time: the next owner is not told it was abandoned.
    EXPECT_EQ(TryInChild(name, 0), 'A');
    EXPECT_EQ(m.Wait(0), MutexWait::Acquired);
    m.Release();
}

TEST_F(NamedMutexTest, RecursiveForOwnerThreadAndSharedByHandlesOfTheProcess) {
    const std::string name = Name("recursive");
    NamedMutex a, b;
    ASSERT_EQ(a.Open(name), 0);
    ASSERT_EQ(b.Open(name), 0);
    ASSERT_EQ(a.Wait(0), MutexWait::Acquired);
    ASSERT_EQ(a.Wait(0), MutexWait::Acquired);
    ASSERT_EQ(b.Wait(0), MutexWait::Acquired);  // same thread, other handle
    ASSERT_TRUE(a.Release());
    ASSERT_TRUE(b.Release());
    EXPECT_EQ(TryInChild(name, 0), 'T');  // one level still held
    ASSERT_TRUE(a.Release());
    EXPECT_FALSE(a.Release());  // not owned any more
    EXPECT_EQ(TryInChild(name, 0), 'A');
}

TEST_F(NamedMutexTest, OtherThreadTimesOutAndCannotRelease) {
    const std::string name = Name("thread");
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    ASSERT_EQ(m.Wait(0), MutexWait::Acquired);
    MutexWait tryOnce{}, timed{};
    bool released = true;
    int64_t before = clock.nowMs(), after = 0;
    std::thread other([&] {
        NamedMutex own;
        own.Open(name);
        tryOnce = own.Wait(0);
        timed = own.Wait(250);
        after = clock.nowMs();
        released = own.Release();
    });
    other.join();
    EXPECT_EQ(tryOnce, MutexWait::TimedOut);
    EXPECT_EQ(timed, MutexWait::TimedOut);
    EXPECT_GE(after - before, 250);
    EXPECT_LT(after - before, 300);
    EXPECT_FALSE(released);
    EXPECT_TRUE(m.Release());
}

TEST_F(NamedMutexTest, ThreadWaitingWithoutLimitGetsItOnRelease) {
    const std::string name = Name("threadwait");
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    ASSERT_EQ(m.Wait(0), MutexWait::Acquired);
    std::atomic<int> state{0};
    std::thread other([&] {
        NamedMutex own;
        own.Open(name);
        state = 1;
        MutexWait r = own.Wait(-1);
        state = r == MutexWait::Acquired ? 2 : 3;
        own.Release();
    });
    while (state.load() == 0) std::this_thread::yield();
    EXPECT_EQ(state.load(), 1);
    ASSERT_TRUE(m.Release());
    other.join();
    EXPECT_EQ(state.load(), 2);
}

TEST_F(NamedMutexTest, OwnerThreadEndingWithoutReleaseLeavesItAbandoned) {
    const std::string name = Name("threadexit");
    std::thread owner([&] {
        NamedMutex own;
        own.Open(name);
        own.Wait(0);
        // Keep the process's descriptor: another handle stays open below.
        static NamedMutex keep;
        keep.Open(name);
    });
    owner.join();
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    // join() can return while the kernel still lists the ending thread for a
    // moment: wait rather than try once.
    EXPECT_EQ(m.Wait(5000), MutexWait::Abandoned);
    EXPECT_TRUE(m.Release());
    EXPECT_EQ(m.Wait(0), MutexWait::Acquired);
    EXPECT_TRUE(m.Release());
}

TEST_F(NamedMutexTest, ForkedChildDoesNotInheritTheParentsOwnership) {
    const std::string name = Name("fork");
    NamedMutex m;
    ASSERT_EQ(m.Open(name), 0);
    ASSERT_EQ(m.Wait(0), MutexWait::Acquired);
    ForkedChild child([&](Channel& ch) {
        // The inherited handle is the parent's: unusable here.
        bool inheritedRefused = m.Wait(0) == MutexWait::Failed && !m.Release();
        NamedMutex own;
        if (own.Open(name) != 0) return 1;
        ch.send(inheritedRefused && own.Wait(0) == MutexWait::TimedOut ? 'T' : 'x');
        return 0;
    });
    EXPECT_EQ(child.receive(), 'T');
    EXPECT_EQ(child.wait(), 0);
    // And the child's exit did not release the parent's lock.
    EXPECT_EQ(TryInChild(name, 0), 'T');
    EXPECT_TRUE(m.Release());
}

TEST_F(NamedMutexTest, RefusesBadNamesAndClosedHandles) {
    NamedMutex m;
    EXPECT_EQ(m.Open(""), EINVAL);
    EXPECT_EQ(m.Open("a/b"), EINVAL);
    EXPECT_EQ(m.Open(std::string(NamedMutex::kMaxName + 1, 'x')), EINVAL);
    EXPECT_FALSE(m.isOpen());
    EXPECT_EQ(m.Wait(0), MutexWait::Failed);
    EXPECT_FALSE(m.Release());
}

bool LockFileExists(const std::string& name) {
    struct stat st {};
    return stat(("/dev/shm/" + name + ".mutex").c_str(), &st) == 0;
}

TEST_F(NamedMutexTest, NameExistsWhileOpenAndTheLastCloseRemovesItsFile_Mended) {
    const std::string name = Name("life");
    auto m = std::make_unique<NamedMutex>();
    ASSERT_EQ(m->Open(name), 0);
    EXPECT_FALSE(m->existed());
    EXPECT_TRUE(LockFileExists(name));
    // Another handle of this process and a handle of another process find
    // the name open already.
    NamedMutex again;
    ASSERT_EQ(again.Open(name), 0);
    EXPECT_TRUE(again.existed());
    again.Close();
    ForkedChild child([&](Channel& ch) {
        NamedMutex own;
        if (own.Open(name) != 0) return 1;
        ch.send(own.existed() ? 'e' : 'n');
        own.Close();
        return 0;
    });
    EXPECT_EQ(child.receive(), 'e');
    EXPECT_EQ(child.wait(), 0);
    // The child's close left the file to us; our close removes it.
    EXPECT_TRUE(LockFileExists(name));
    m.reset();
    EXPECT_FALSE(LockFileExists(name));
    // Opened afresh, nobody else has it.
    NamedMutex fresh;
    ASSERT_EQ(fresh.Open(name), 0);
    EXPECT_FALSE(fresh.existed());
}

TEST_F(NamedMutexTest, FileLeftByAKilledProcessIsTakenOverAndRemoved_Mended) {
    const std::string name = Name("leftover");
    ForkedChild child(HoldUntilKilled(name));
    ASSERT_EQ(child.receive(), 'h');
    EXPECT_EQ(child.killAndWait(), 128 + SIGKILL);
    EXPECT_TRUE(LockFileExists(name));
    {
        NamedMutex m;
        ASSERT_EQ(m.Open(name), 0);
        EXPECT_FALSE(m.existed());  // nobody alive has it open
        EXPECT_EQ(m.Wait(0), MutexWait::Abandoned);
        EXPECT_TRUE(m.Release());
    }
    EXPECT_FALSE(LockFileExists(name));
}

}  // namespace

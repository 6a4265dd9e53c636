#include "platform/named_event.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/fork_child.h"

using plat::EventWait;
using plat::NamedEvent;
using testsupport::Channel;
using testsupport::ForkedChild;

namespace {

class NamedEventTest : public ::testing::Test {
protected:
    std::string Name(const char* tag) {
        std::string n = "znp-evt-" + std::to_string(getpid()) + "-" + tag;
        names_.push_back(n);
        return n;
    }
    void TearDown() override {
        for (const auto& n : names_) NamedEvent::Unlink(n);
    }
    std::vector<std::string> names_;
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits (real time, bounded) until n waiters are blocked on the event.
bool WaitForWaiters(const NamedEvent& ev, int n) {
    for (int64_t end = NowMs() + 10000; NowMs() < end;) {
        if (ev.waiters() == n) return true;
        std::this_thread::yield();
    }
    return false;
}

TEST_F(NamedEventTest, SetInOneProcessWakesWaiterInAnother) {
    const std::string name = Name("wake");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    ForkedChild child([&](Channel& ch) {
        NamedEvent own;
        if (own.OpenExisting(name) != 0) return 1;
        int64_t start = NowMs();
        EventWait r = own.Wait(5000);
        int64_t took = NowMs() - start;
        ch.send(r != EventWait::Signalled ? 'x' : took < 1000 ? 'S' : 'L');
        return 0;
    });
    // Set only once the child is really blocked in its wait.
    ASSERT_TRUE(WaitForWaiters(ev, 1));
    ASSERT_TRUE(ev.Set());
    EXPECT_EQ(child.receive(), 'S');
    EXPECT_EQ(child.wait(), 0);
    // The waiter consumed the signal.
    EXPECT_EQ(ev.Wait(0), EventWait::TimedOut);
}

TEST_F(NamedEventTest, WaiterInThisProcessWokenBySetFromAnother) {
    const std::string name = Name("wake2");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    ForkedChild child([&](Channel& ch) {
        NamedEvent own;
        if (own.OpenExisting(name) != 0) return 1;
        if (!WaitForWaiters(own, 1)) return 2;
        return own.Set() ? 0 : 3;
    });
    int64_t start = NowMs();
    EXPECT_EQ(ev.Wait(5000), EventWait::Signalled);
    EXPECT_LT(NowMs() - start, 1000);
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(NamedEventTest, SetWithNobodyWaitingIsKeptForOneWait) {
    const std::string name = Name("kept");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    EXPECT_FALSE(ev.manualReset());
    ForkedChild child([&](Channel& ch) {
        NamedEvent own;
        if (own.OpenExisting(name) != 0) return 1;
        return own.Set() ? 0 : 2;
    });
    ASSERT_EQ(child.wait(), 0);
    EXPECT_EQ(ev.Wait(0), EventWait::Signalled);
    EXPECT_EQ(ev.Wait(0), EventWait::TimedOut);
    int64_t start = NowMs();
    EXPECT_EQ(ev.Wait(30), EventWait::TimedOut);
    EXPECT_GE(NowMs() - start, 29);
}

TEST_F(NamedEventTest, AutoResetSetWakesOnlyOneOfTwoWaiters) {
    const std::string name = Name("one");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        NamedEvent own;
        own.Open(name);
        if (own.Wait(2000) == EventWait::Signalled) ++woken;
    };
    std::thread t1(waiter), t2(waiter);
    ASSERT_TRUE(WaitForWaiters(ev, 2));
    ev.Set();
    // One wakes now; the other is woken by a second Set.
    for (int64_t end = NowMs() + 5000; woken.load() == 0 && NowMs() < end;) std::this_thread::yield();
    EXPECT_EQ(woken.load(), 1);
    ASSERT_TRUE(WaitForWaiters(ev, 1));
    ev.Set();
    t1.join();
    t2.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST_F(NamedEventTest, ManualResetStaysSetAndWakesAllUntilReset) {
    const std::string name = Name("manual");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name, true), 0);
    EXPECT_TRUE(ev.manualReset());
    std::atomic<int> woken{0};
    auto waiter = [&] {
        NamedEvent own;
        own.Open(name);
        if (own.Wait(5000) == EventWait::Signalled) ++woken;
    };
    std::thread t1(waiter), t2(waiter);
    ASSERT_TRUE(WaitForWaiters(ev, 2));
    ev.Set();
    t1.join();
    t2.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(ev.Wait(0), EventWait::Signalled);
    EXPECT_EQ(ev.Wait(0), EventWait::Signalled);
    ev.Reset();
    EXPECT_EQ(ev.Wait(0), EventWait::TimedOut);
    EXPECT_EQ(ev.Wait(10), EventWait::TimedOut);
}

TEST_F(NamedEventTest, ResetClearsAPendingSignal) {
    const std::string name = Name("reset");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    ev.Set();
    ev.Reset();
    EXPECT_EQ(ev.Wait(0), EventWait::TimedOut);
}

TEST_F(NamedEventTest, SignalLeftByKilledProcessIsNotReplayed) {
    const std::string name = Name("stale");
    ForkedChild child([&](Channel& ch) {
        NamedEvent own;
        if (own.Open(name) != 0) return 1;
        own.Set();
        ch.send('s');
        ch.receive(60000);
        return 0;
    });
    ASSERT_EQ(child.receive(), 's');
    child.killAndWait();
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    EXPECT_EQ(ev.Wait(0), EventWait::TimedOut);
}

TEST_F(NamedEventTest, OpenExistingNeedsALiveCreatorAndClosedHandlesFail) {
    NamedEvent ev;
    EXPECT_NE(ev.OpenExisting(Name("absent")), 0);
    EXPECT_FALSE(ev.isOpen());
    EXPECT_FALSE(ev.Set());
    EXPECT_FALSE(ev.Reset());
    EXPECT_EQ(ev.Wait(0), EventWait::Failed);
    EXPECT_EQ(ev.Open(""), EINVAL);
    EXPECT_EQ(ev.Open("x/y"), EINVAL);
}

}  // namespace

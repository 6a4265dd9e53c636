#include "platform/named_event.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/fork_child.h"
#include "platform/shared_memory.h"

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

// A process of the same user that maps the event's block and takes its
// state mutex: it reports 'h', then, on 'r', releases it and reports 'u'.
std::function<int(Channel&)> HoldStateMutex(const std::string& name) {
    return [name](Channel& ch) {
        plat::SharedMemory block;
        if (block.Open(name + ".event", 0, plat::SharedMemory::Mode::OpenOnly) != plat::ShmError::None) return 1;
        auto* state = static_cast<NamedEvent::State*>(block.data());
        if (pthread_mutex_lock(&state->mutex) != 0) return 2;
        ch.send('h');
        if (ch.receive(60000) != 'r') return 3;
        pthread_mutex_unlock(&state->mutex);
        ch.send('u');
        return ch.receive() == 'q' ? 0 : 4;
    };
}

TEST_F(NamedEventTest, StateMutexHeldByAnotherProcessNeverHoldsACallerPastItsTimeOut_Mended) {
    const std::string name = Name("held");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    // A process of the user maps the event's block and keeps its mutex.
    ForkedChild holder(HoldStateMutex(name));
    ASSERT_EQ(holder.receive(), 'h');
    // Each call runs in a process of its own, so that a call that would
    // hang is seen as a missing report instead of hanging the test.
    struct Case {
        const char* call;
        std::function<bool(NamedEvent&)> run;
    } cases[] = {
        {"Wait(50)", [](NamedEvent& e) { return e.Wait(50) == EventWait::TimedOut; }},
        {"Wait(0)", [](NamedEvent& e) { return e.Wait(0) == EventWait::TimedOut; }},
        {"Set(50)", [](NamedEvent& e) { return !e.Set(50); }},
        {"Reset(50)", [](NamedEvent& e) { return !e.Reset(50); }},
    };
    for (const Case& c : cases) {
        ForkedChild caller([&](Channel& ch) {
            NamedEvent own;
            if (own.OpenExisting(name) != 0) return 1;
            ch.send(c.run(own) ? 'y' : 'n');
            return 0;
        });
        EXPECT_EQ(caller.receive(10000), 'y') << c.call;
        caller.killAndWait();
    }
    // Released: the event works again.
    holder.send('r');
    ASSERT_EQ(holder.receive(), 'u');
    EXPECT_TRUE(ev.Set(50));
    EXPECT_EQ(ev.Wait(50), EventWait::Signalled);
    holder.send('q');
    EXPECT_EQ(holder.wait(), 0);
}

TEST_F(NamedEventTest, StateMutexOfAKilledHolderIsTakenBack) {
    const std::string name = Name("deadholder");
    NamedEvent ev;
    ASSERT_EQ(ev.Open(name), 0);
    ForkedChild holder(HoldStateMutex(name));  // killed while holding
    ASSERT_EQ(holder.receive(), 'h');
    holder.killAndWait();
    EXPECT_TRUE(ev.Set(1000));
    EXPECT_EQ(ev.Wait(1000), EventWait::Signalled);
}

}  // namespace

// Wake words between processes and threads, the wake signal, and the watch
// for named objects that appear.
#include "platform/wake_word.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/fork_child.h"
#include "platform/name_watch.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"

using testsupport::Channel;
using testsupport::ForkedChild;

namespace {

// Long bounds: a wait that is woken ends long before them; only a lost
// wake-up runs into them.
constexpr int64_t kLongMs = 20000;

int64_t RealMs() { return plat::RealMonotonicMs(); }

// A word in memory shared with a forked child.
class SharedWord {
public:
    SharedWord() {
        void* p = mmap(nullptr, sizeof(plat::WakeWord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        word_ = p == MAP_FAILED ? nullptr : new (p) plat::WakeWord{};
    }
    ~SharedWord() {
        if (word_ != nullptr) munmap(word_, sizeof(plat::WakeWord));
    }
    plat::WakeWord& operator*() const { return *word_; }
    bool ok() const { return word_ != nullptr; }

private:
    plat::WakeWord* word_ = nullptr;
};

// What a waiter does: armed, it looks (here: has the word moved from its
// first value 0?) and sleeps only when not; true when the word moved before
// `limitMs` ran out.
bool AwaitFirstBump(plat::WakeWord& word, int64_t limitMs) {
    const int64_t start = RealMs();
    const uint32_t seen = plat::Snapshot(word);
    if (seen != 0) {
        plat::Cancel(word);
        return true;
    }
    return plat::Wait(word, seen, limitMs) && RealMs() - start < limitMs;
}

// Waits (real time, at most kLongMs) until `n` waiters sleep on the word.
bool SleepersReach(const plat::WakeWord& word, uint32_t n) {
    const int64_t end = RealMs() + kLongMs;
    while (plat::SleepersOf(word) < n) {
        if (RealMs() >= end) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(WakeWord, ASleeperInAnotherProcessWakesWhenTheWordIsBumped) {
    SharedWord word;
    ASSERT_TRUE(word.ok());
    // Woken by the bump, not by the end of the bound.
    ForkedChild child([&](Channel&) { return AwaitFirstBump(*word, kLongMs) ? 0 : 1; });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(SleepersReach(*word, 1));
    plat::Bump(*word);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(plat::SleepersOf(*word), 0u);
}

TEST(WakeWord, AChangeBetweenTheLookAndTheSleepIsNeverLost) {
    // The waiter armed itself, then the other side changed and bumped before
    // it went to sleep: the sleep ends at once.
    plat::WakeWord word{};
    const uint32_t seen = plat::Snapshot(word);
    plat::Bump(word);
    const int64_t start = RealMs();
    EXPECT_TRUE(plat::Wait(word, seen, kLongMs));
    EXPECT_LT(RealMs() - start, kLongMs);
    // A waiter that found what it waited for cancels; nobody is left asleep.
    plat::Snapshot(word);
    plat::Cancel(word);
    EXPECT_EQ(plat::SleepersOf(word), 0u);
}

TEST(WakeWord, EveryThreadAsleepWakesAndNothingWakesAWaitThatIsNotDue) {
    plat::WakeWord word{};
    constexpr int kThreads = 4;
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            if (AwaitFirstBump(word, kLongMs)) woken.fetch_add(1);
        });
    ASSERT_TRUE(SleepersReach(word, kThreads));
    plat::Bump(word);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(woken.load(), kThreads);
    // Without a bump the wait ends at its bound and says so.
    const uint32_t seen = plat::Snapshot(word);
    EXPECT_FALSE(plat::Wait(word, seen, 20));
}

TEST(WakeWord, TheWakeSignalEndsASleep) {
    const int sig = plat::InstallWakeSignal();
    ASSERT_GT(sig, 0);
    plat::WakeWord word{};
    plat::SetSignalWakeWord(&word);
    std::atomic<bool> moved{false};
    std::thread sleeper([&] { moved = AwaitFirstBump(word, kLongMs); });
    ASSERT_TRUE(SleepersReach(word, 1));
    ASSERT_EQ(kill(getpid(), sig), 0);
    sleeper.join();
    plat::SetSignalWakeWord(nullptr);
    EXPECT_TRUE(moved.load());
    // With no word registered the signal changes nothing.
    const uint32_t before = plat::SequenceOf(word);
    ASSERT_EQ(kill(getpid(), sig), 0);
    EXPECT_EQ(plat::SequenceOf(word), before);
}

TEST(WakeWord, OnAReplacedClockAWaitSleepsOnThatClock) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    plat::WakeWord word{};
    const int64_t before = clock.nowMs();
    const uint32_t seen = plat::Snapshot(word);
    EXPECT_FALSE(plat::Wait(word, seen, 10));
    EXPECT_EQ(clock.nowMs() - before, 10);
    EXPECT_EQ(plat::SleepersOf(word), 0u);
}

class NameWatchTest : public ::testing::Test {
protected:
    std::string Name(const char* tag) {
        std::string n = "znp-watch-" + std::to_string(getpid()) + "-" + tag;
        names_.push_back(n);
        return n;
    }
    void TearDown() override {
        for (const auto& n : names_) plat::NamedEvent::Unlink(n);
    }
    std::vector<std::string> names_;
};

TEST_F(NameWatchTest, AnObjectMadeByAnotherProcessEndsTheWait) {
    const std::string name = Name("made");
    plat::NameWatch watch;
    ASSERT_EQ(watch.Start(name), 0);
    ForkedChild maker([&](Channel& ch) {
        plat::NamedEvent event;
        if (event.Open(name) != 0) return 1;
        ch.send('m');
        ch.receive();  // keeps the event until the parent has opened it
        return 0;
    });
    ASSERT_TRUE(maker.started());
    plat::NamedEvent opened;
    const int64_t end = RealMs() + kLongMs;
    while (opened.OpenExisting(name) != 0) {
        ASSERT_LT(RealMs(), end);
        EXPECT_NE(watch.Wait(end - RealMs()), plat::NameWatch::Result::TimedOut);
    }
    maker.send('x');
    EXPECT_EQ(maker.wait(), 0);
}

// The watches of one thread share its inotify instance (kept open: closing
// one waits for the kernel): a watch never sees what an earlier one left
// unread, and two watches alive at once in one thread each see their own
// names.
TEST_F(NameWatchTest, WatchesOfOneThreadOneAfterAnotherAndTwoAtOnce) {
    const std::string first = Name("first");
    plat::NamedEvent made;
    {
        plat::NameWatch watch;
        ASSERT_EQ(watch.Start(first), 0);
        ASSERT_EQ(made.Open(first), 0);  // its event stays unread
    }
    plat::NameWatch later;
    ASSERT_EQ(later.Start(first), 0);
    EXPECT_EQ(later.Wait(50), plat::NameWatch::Result::TimedOut) << "an earlier watch's event";
    later.Stop();

    const std::string a = Name("a-side"), b = Name("b-side");
    plat::NameWatch watchA, watchB;
    ASSERT_EQ(watchA.Start(a), 0);
    ASSERT_EQ(watchB.Start(b), 0);
    plat::NamedEvent eventB, eventA;
    ASSERT_EQ(eventB.Open(b), 0);
    EXPECT_EQ(watchB.Wait(kLongMs), plat::NameWatch::Result::Changed);
    EXPECT_EQ(watchA.Wait(50), plat::NameWatch::Result::TimedOut);
    ASSERT_EQ(eventA.Open(a), 0);
    EXPECT_EQ(watchA.Wait(kLongMs), plat::NameWatch::Result::Changed);
}

TEST_F(NameWatchTest, OtherNamesDoNotEndTheWaitButTheProcessEndDoes) {
    const std::string name = Name("wanted");
    ForkedChild child([&](Channel& ch) { return ch.receive() == 'e' ? 0 : 1; });
    ASSERT_TRUE(child.started());
    plat::NameWatch watch;
    ASSERT_EQ(watch.Start(name, child.pid()), 0);
    plat::NamedEvent other;
    ASSERT_EQ(other.Open(Name("other")), 0);
    EXPECT_EQ(watch.Wait(50), plat::NameWatch::Result::TimedOut);
    child.send('e');
    EXPECT_EQ(watch.Wait(kLongMs), plat::NameWatch::Result::ProcessEnded);
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace

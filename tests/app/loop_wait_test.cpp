// How long the main loop sleeps after a pass: not at all between states that
// follow each other at once, the pass sleep in the working states and for a
// cash register that does not wake the program, until the next due timer in
// the idle state otherwise.
#include "app/loop_wait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "app/main_loop.h"
#include "platform/clock.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "support/pos_peer.h"
#include "support/station_lock.h"

namespace {

class LoopWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        Options = OptionValues{};
        context = std::make_unique<EFTCBox>();
        record = std::make_unique<TransactionRecord>();
    }
    void TearDown() override {
        if (context->posLink != nullptr) ZelDiaClose(context->posLink);
        Options = OptionValues{};
    }
    int64_t Delay() { return NextPassDelayMs(context.get(), record.get()); }

    std::unique_ptr<EFTCBox> context;
    std::unique_ptr<TransactionRecord> record;
};

TEST_F(LoopWaitTest, StatesThatHandOverAtOnceAndTheWorkingStatesTable) {
    struct Case {
        int state;
        int step;
        int64_t delay;
    } cases[] = {
        {-1, 0, 0},                       // the loop ends
        {100, 0, 0}, {102, 0, 0}, {103, 0, 0},  // end of transaction, error answer, back to idle
        {40, 2, 0},                       // the echo wait polls on its own
        {40, 0, kPassSleepMs}, {10, 0, kPassSleepMs}, {50, 1, kPassSleepMs},
        {150, 0, kPassSleepMs}, {200, 0, kPassSleepMs}, {77, 0, kPassSleepMs},
    };
    for (const Case& c : cases) {
        context->loopState = c.state;
        record->step = c.step;
        EXPECT_EQ(Delay(), c.delay) << "state " << c.state << " step " << c.step;
    }
}

// A working pass that moved the work on (a new state, step or processing
// mode) is followed by the next at once; one that found the loop where it
// left it waits for the working states' pace.
TEST_F(LoopWaitTest, AWorkingPassThatMovedTheWorkOnIsFollowedAtOnce) {
    struct Case {
        const char* what;
        PassMark before;
        int state, step, mode;
        int64_t delay;
    } cases[] = {
        {"idle dispatched a payment", {0, 0, 0}, 40, 0, 0, 0},
        {"step 0 to 1", {40, 0, 1}, 40, 1, 1, 0},
        {"step 3 back to 1, next phase", {40, 3, 1}, 40, 1, 2, 0},
        {"new processing mode only", {40, 3, 2}, 40, 3, 3, 0},
        {"maintenance step moved", {10, 0, 0}, 10, 1, 0, 0},
        {"nothing moved", {40, 1, 1}, 40, 1, 1, kPassSleepMs},
        {"service state, nothing moved", {50, 1, 0}, 50, 1, 0, kPassSleepMs},
    };
    for (const Case& c : cases) {
        context->loopState = c.state;
        record->step = c.step;
        record->processingMode = c.mode;
        EXPECT_EQ(NextPassDelayMs(context.get(), record.get(), &c.before), c.delay) << c.what;
        EXPECT_EQ(Delay(), kPassSleepMs) << c.what << ": without the mark every working pass waits";
    }
}

TEST_F(LoopWaitTest, SomethingToWriteOrToReadIsDoneWithoutSleeping) {
    context->loopState = 0;
    for (char* buffer : {context->posAnswer, context->posCommand, context->posRequest}) {
        std::strcpy(buffer, "0");
        EXPECT_EQ(Delay(), 0);
        buffer[0] = '\0';
    }
    EXPECT_EQ(Delay(), kIdleHeartbeatMs);
}

TEST_F(LoopWaitTest, IdleSleepsOnlyForACashRegisterThatWakesTheProgram) {
    const int station = testsupport::UniqueStation();
    context->loopState = 0;
    context->posLink = ZelDiaOpen(station, 0);
    ASSERT_NE(context->posLink, nullptr);
    {
        testsupport::PosPeer polled;
        ASSERT_TRUE(polled.Open(station, false));
        EXPECT_EQ(Delay(), kPassSleepMs);
    }
    testsupport::PosPeer waking;
    ASSERT_TRUE(waking.Open(station, true));
    EXPECT_EQ(Delay(), kIdleHeartbeatMs);
    waking.Close();
    EXPECT_EQ(Delay(), kPassSleepMs);
}

TEST_F(LoopWaitTest, IdleTimersShortenTheSleep) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    context->loopState = 0;
    // The scheduled maintenance is looked at each second.
    std::strcpy(Options.UploadTime, "020000");
    const int64_t upload = Delay();
    EXPECT_GE(upload, 1);
    EXPECT_LE(upload, 1000);
    Options.UploadTime[0] = '\0';
    // The idle behaviour: due at once, or when its time since the stamp is up.
    record->barcodeActive = 1;
    Options.TimeBeforeIdleBehaviour = 0;
    EXPECT_EQ(Delay(), kPassSleepMs);
    Options.TimeBeforeIdleBehaviour = 300;
    GetLoopStartupState().idleStamp = WGetTimeStamp();
    clock.advance(100);
    EXPECT_EQ(Delay(), 200);
    clock.advance(200);
    EXPECT_EQ(Delay(), kPassSleepMs);
}

}  // namespace

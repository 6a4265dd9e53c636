// The library's side of the wake-ups: it wakes the program after each change
// of a mailbox, sleeps on the link's wake words while it waits for the
// program, and serves a program that never wakes it (no wake-up, no event) by
// polling, with the same results.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>

#include "client/dll_log.h"
#include "client/program_side.h"
#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "platform/wake_word.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

using clienttest::PollUntil;
using clienttest::ProgramSide;
using clienttest::StubInstance;

constexpr uint32_t kCap = 10241;

int Send(uint32_t id, const char* service, const std::string& text) {
    std::string message = text;
    message.resize(kCap, '\0');
    uint32_t cap = kCap;
    return SZelApiSendMessage(id, service, message.data(), &cap);
}

class LinkWakeTest : public ::testing::Test {
protected:
    void TearDown() override { znpdll::DllLogger::Get().Reset(); }
    testsupport::TempDir dir;
};

TEST_F(LinkWakeTest, ProgramsThatWakeTheLibraryOrNeverDoAreServedAlike) {
    for (const bool programWakes : {true, false}) {
        SCOPED_TRACE(programWakes ? "program that wakes the library" : "program that never does");
        StubInstance s(dir, 5, programWakes);
        ASSERT_EQ(s.result(), 0);
        ProgramSide& side = s.side();
        // The library has declared that it wakes the program.
        EXPECT_EQ(std::atomic_ref<uint32_t>(side.wakeArea()->clientBumps).load(), 1u);
        for (int round = 0; round < 3; ++round) {
            const std::string sv = round == 2 ? "s12" : "s0";
            auto program = std::async(std::launch::async, [&] {
                std::string request;
                if (!side.TakeRequest(&request)) return std::string("<no request>");
                // Acknowledgement and answer without the message event: only
                // the wake words, or nothing, tell the library.
                side.Write("0", false);
                side.Write("{SS}A{PS}1{SV}" + sv + "{CD}c1{RS}0" + std::to_string(round) + "{F}", false);
                return request;
            });
            EXPECT_EQ(Send(s.id(), sv.c_str(), "{SV}" + sv + "{CD}c1{F}"), 0);
            int waited = 7;
            for (int i = 0; i < 100 && waited == 7; ++i) waited = SZelApiWaitSynchro(s.id(), 100);
            ASSERT_EQ(waited, 0);
            char service[4] = {};
            std::string answer(kCap, '\0');
            uint32_t cap = kCap;
            ASSERT_EQ(SZelApiGetMessage(s.id(), service, answer.data(), &cap), 0);
            EXPECT_STREQ(service, sv.c_str());
            EXPECT_EQ(std::string(answer.c_str()), "{SS}A{PS}1{SV}" + sv + "{CD}c1{RS}0" + std::to_string(round) + "{F}");
            EXPECT_NE(program.get().find("{SV}" + sv + "{CD}c1{SS}R"), std::string::npos);
        }
    }
}

TEST_F(LinkWakeTest, TheLibrarySleepsOnTheWakeWordUntilTheAcknowledgementComes) {
    StubInstance s(dir, 5, true);
    ASSERT_EQ(s.result(), 0);
    ProgramSide& side = s.side();
    poslink::WakeArea* area = side.wakeArea();
    const uint32_t requestsBefore = plat::SequenceOf(area->fromPos);
    auto sent = std::async(std::launch::async, [&] { return Send(s.id(), "s0", "{SV}s0{CD}c1{F}"); });
    // The request came with a wake-up, then the library went to sleep on the
    // word of the program's mailbox.
    ASSERT_TRUE(PollUntil([&] { return plat::SleepersOf(area->toPos) >= 1; }));
    EXPECT_NE(plat::SequenceOf(area->fromPos), requestsBefore);
    std::string request;
    ASSERT_TRUE(side.TakeRequest(&request));
    side.Write("0", false);
    EXPECT_EQ(sent.get(), 0);
    EXPECT_EQ(plat::SleepersOf(area->toPos), 0u);
}

}  // namespace

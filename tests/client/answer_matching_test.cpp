// Answers go to the request they answer: an acknowledgement or an answer that
// comes late (after the library gave up on it) is dropped with a log line and
// never taken for a later request's; an answer needs the SV and the CD of the
// pending request; the acknowledgement wait has one deadline and keeps a
// bounded number of the program's other messages; the text of a message taken
// does not stay in the block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "client/dll_log.h"
#include "client/instance.h"
#include "client/program_side.h"
#include "platform/clock.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

using clienttest::PollUntil;
using clienttest::ProgramSide;
using clienttest::StubInstance;

constexpr uint32_t kCap = 10241;

std::string Answer(const std::string& sv, const std::string& cd, const std::string& rs) {
    return "{SS}A{PS}1{SV}" + sv + "{CD}" + cd + "{RS}" + rs + "{F}";
}

class AnswerMatchingTest : public ::testing::Test {
protected:
    void TearDown() override { znpdll::DllLogger::Get().Reset(); }
    std::string LogOf(uint32_t pos) {
        return testsupport::ReadFileText(dir.str() + "/ZNP_DLL_" + std::to_string(pos) + ".LOG");
    }
    static int Send(uint32_t id, const char* service, const std::string& text) {
        static char message[kCap];
        std::memset(message, 0, sizeof message);
        std::strcpy(message, text.c_str());
        uint32_t cap = kCap;
        return SZelApiSendMessage(id, service, message, &cap);
    }
    // Waits for the next message and takes it; empty when none came.
    static std::string Next(uint32_t id, int tries = 100) {
        int waited = 7;
        for (int i = 0; i < tries && waited == 7; ++i) waited = SZelApiWaitSynchro(id, 20);
        if (waited != 0) return {};
        char service[4];
        static char out[kCap];
        uint32_t cap = kCap;
        return SZelApiGetMessage(id, service, out, &cap) == 0 ? std::string(out) : std::string();
    }
    // A request that the program took but acknowledged only after the
    // library gave up on it (5).
    static void SendUnacknowledged(StubInstance& s, const std::string& text) {
        {
            plat::ManualClock clock;
            plat::ScopedClock scoped(&clock);
            ASSERT_EQ(Send(s.id(), "s12", text), 5);
        }
        std::string taken;
        ASSERT_TRUE(s.side().TakeRequest(&taken));
    }

    testsupport::TempDir dir;
};

// Request A was not acknowledged in time; its late "0" and its answer come
// before (or while) request B is sent. B gets its own acknowledgement and its
// own answer; A's late messages are dropped.
TEST_F(AnswerMatchingTest, LateAcknowledgementAndAnswerNeverPassForTheNextRequests_Mended) {
    const std::string requestA = "{SV}s12{CD}c25{F}";
    const std::string requestB = "{SV}s12{CD}c26{F}";
    const std::string answerA = Answer("s12", "c25", "01");
    const std::string answerB = Answer("s12", "c26", "01");
    for (const bool beforeB : {true, false}) {
        SCOPED_TRACE(beforeB ? "A's acknowledgement already waits when B is sent"
                             : "A's acknowledgement comes while B waits for its own");
        StubInstance s(dir, 1);
        ASSERT_EQ(s.result(), 0);
        SendUnacknowledged(s, requestA);
        if (beforeB) {
            ASSERT_TRUE(s.side().Write("0"));
        }
        // The program, one thing after the other: A's acknowledgement and
        // answer, then B taken, acknowledged and answered.
        std::thread program([&] {
            if (!beforeB) {
                PollUntil([&] { return ProgramSide::Status(s.side().fromPos()) == poslink::kStatusPresent; });
                s.side().Write("0");
            }
            s.side().Write(answerA);
            std::string taken;
            if (!s.side().TakeRequest(&taken)) return;
            s.side().Write("0");
            s.side().Write(answerB);
        });
        EXPECT_EQ(Send(s.id(), "s12", requestB), 0);
        EXPECT_EQ(Next(s.id()), answerB);
        program.join();
        EXPECT_EQ(Next(s.id(), 2), "");
        const std::string log = LogOf(s.pos());
        EXPECT_NE(log.find("WARNING - DLLSND - Acquittement tardif ignore"), std::string::npos);
        EXPECT_NE(log.find("WARNING - DLLSND - Reponse tardive ignoree (s12 / c25)"), std::string::npos);
    }
}

// Request A was acknowledged but the cash register stopped waiting for its
// answer and sent B. A's answer, arriving before B's, is dropped; B's answer
// is the one handed over.
TEST_F(AnswerMatchingTest, AnswerOfAnAbandonedRequestIsDropped_Mended) {
    const std::string answerA = Answer("s12", "c25", "01");
    const std::string answerB = Answer("s12", "c26", "01");
    for (const bool beforeB : {true, false}) {
        SCOPED_TRACE(beforeB ? "A's answer already waits when B is sent" : "A's answer comes while B is sent");
        StubInstance s(dir);
        ASSERT_EQ(s.result(), 0);
        {
            clienttest::Responder program(s.side(), [](const std::string&) -> std::vector<std::string> {
                return {"0"};
            });
            ASSERT_EQ(Send(s.id(), "s12", "{SV}s12{CD}c25{F}"), 0);
        }
        EXPECT_EQ(SZelApiWaitSynchro(s.id(), 10), 7);  // the cash register gives up on A
        if (beforeB) {
            ASSERT_TRUE(s.side().Write(answerA));
        }
        std::thread program([&] {
            if (!beforeB) {
                PollUntil([&] { return ProgramSide::Status(s.side().fromPos()) == poslink::kStatusPresent; });
                s.side().Write(answerA);
            }
            std::string taken;
            if (!s.side().TakeRequest(&taken)) return;
            s.side().Write("0");
            s.side().Write(answerB);
        });
        EXPECT_EQ(Send(s.id(), "s12", "{SV}s12{CD}c26{F}"), 0);
        EXPECT_EQ(Next(s.id()), answerB);
        program.join();
        EXPECT_EQ(Next(s.id(), 2), "");
        EXPECT_NE(LogOf(s.pos()).find("WARNING - DLLSND - Reponse tardive ignoree (s12 / c25)"), std::string::npos);
    }
}

// A message with the pending request's SV but another CD is not its answer:
// an abort sent while it waits is written to the program, not refused as if
// the answer were there.
TEST_F(AnswerMatchingTest, AnswerNeedsTheServiceAndTheCommand_Mended) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    {
        clienttest::Responder program(s.side(), [](const std::string&) -> std::vector<std::string> { return {"0"}; });
        ASSERT_EQ(Send(s.id(), "s0", "{SV}s0{CD}c1{F}"), 0);
    }
    const std::string other = Answer("s0", "c2", "00");
    ASSERT_TRUE(s.side().Write(other));
    EXPECT_EQ(SZelApiWaitSynchro(s.id(), 1000), 0);
    std::string abort;
    clienttest::Responder program(s.side(), [&](const std::string& request) -> std::vector<std::string> {
        abort = request;
        return {"0"};
    });
    EXPECT_EQ(Send(s.id(), "s3", "{SV}s3{CD}c0{F}"), 0);
    program.Stop();
    EXPECT_NE(abort.find("{SV}s3{CD}c0"), std::string::npos);
    // The other message is still there for the cash register.
    EXPECT_EQ(Next(s.id()), other);
}

// A program that writes message after message and never acknowledges: the
// request still ends when its acknowledgement time-out has passed since the
// send, and only a few of those messages are kept, the oldest purged.
TEST_F(AnswerMatchingTest, AcknowledgementWaitHasOneDeadlineAndKeepsFewMessages_Mended) {
    StubInstance s(dir, 1);
    ASSERT_EQ(s.result(), 0);
    std::atomic<bool> stop{false};
    std::atomic<bool> flooding{true};
    std::atomic<int> written{0};
    std::thread program([&] {
        std::string taken;
        if (s.side().TakeRequest(&taken)) {
            const int64_t end = plat::RealMonotonicMs() + 60000;
            while (!stop && plat::RealMonotonicMs() < end &&
                   s.side().Write("{SS}A{SV}s6{CD}c20{ED}ligne " + std::to_string(written) + "{F}", true, 1000))
                ++written;
        }
        flooding = false;
    });
    const int result = Send(s.id(), "s0", "{SV}s0{CD}c1{F}");
    const bool floodGoesOn = flooding.load();
    stop = true;
    program.join();
    EXPECT_EQ(result, 5);
    EXPECT_TRUE(floodGoesOn);
    EXPECT_GT(written.load(), 20);
    ASSERT_NE(s.instance(), nullptr);
    EXPECT_LE(s.instance()->heldCount(), znpdll::ClientInstance::kMaxKept);
    EXPECT_NE(LogOf(s.pos()).find("INFO - DLLSND - Purge: {SS}A{SV}s6{CD}c20{ED}ligne 0{F}"), std::string::npos);
}

bool TextAreaIsClear(const char* mailbox, size_t from = 0) {
    return std::all_of(mailbox + 1 + from, mailbox + poslink::kMailboxSize, [](char c) { return c == '\0'; });
}

// Whatever way the library takes a message, its text leaves the block; a
// short request written after a long one leaves nothing of the long one.
TEST_F(AnswerMatchingTest, MessagesTakenLeaveNoTextInTheBlock_Mended) {
    const std::string card = "{D1A}4970101111111119{D2F}4970101111111119D2512{F}";
    struct Case {
        const char* name;
        std::function<void(StubInstance&)> take;
    };
    const Case cases[] = {
        {"acknowledgement",
         [&](StubInstance& s) {
             clienttest::Responder program(s.side(), [](const std::string&) -> std::vector<std::string> {
                 return {"0"};
             });
             ASSERT_EQ(Send(s.id(), "s0", "{SV}s0{CD}c1{F}"), 0);
         }},
        {"answer taken by the wait",
         [&](StubInstance& s) {
             {
                 clienttest::Responder program(s.side(), [](const std::string&) -> std::vector<std::string> {
                     return {"0"};
                 });
                 ASSERT_EQ(Send(s.id(), "s0", "{SV}s0{CD}c1{F}"), 0);
             }
             ASSERT_TRUE(s.side().Write("{SS}A{SV}s0{CD}c1{RS}00" + card));
             ASSERT_EQ(SZelApiWaitSynchro(s.id(), 1000), 0);
         }},
        {"message taken by the get",
         [&](StubInstance& s) {
             ASSERT_TRUE(s.side().Write("{SS}A{SV}s6{CD}c20{ED}" + card));
             EXPECT_NE(Next(s.id()), "");
         }},
        {"message kept aside before a request",
         [&](StubInstance& s) {
             ASSERT_TRUE(s.side().Write("{SS}A{SV}s6{CD}c20{ED}" + card));
             clienttest::Responder program(s.side(), [](const std::string&) -> std::vector<std::string> {
                 return {"0"};
             });
             ASSERT_EQ(Send(s.id(), "s6", "{SV}s6{CD}c21{EF}1{F}"), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StubInstance s(dir);
        ASSERT_EQ(s.result(), 0);
        c.take(s);
        EXPECT_NE(ProgramSide::Status(s.side().toPos()), poslink::kStatusPresent);
        EXPECT_TRUE(TextAreaIsClear(s.side().toPos()));
    }

    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    std::string taken;
    clienttest::Responder program(s.side(), [&](const std::string& request) -> std::vector<std::string> {
        taken = request;
        return {"5"};
    });
    ASSERT_EQ(Send(s.id(), "s0", "{SV}s0{CD}c1" + card), 5);
    ASSERT_EQ(Send(s.id(), "s12", "{SV}s12{CD}c25{F}"), 5);
    program.Stop();
    ASSERT_EQ(taken.find("{SV}s12"), 0u);
    EXPECT_TRUE(TextAreaIsClear(s.side().fromPos(), taken.size()));
}

}  // namespace

// The program's side of the POS link in process: mailbox rules, bounds, and
// the waits of the writer on a manual clock.
#include "station/pos_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/startup.h"
#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "support/config_tree.h"
#include "support/pos_peer.h"
#include "support/session_tree.h"
#include "support/trace_capture.h"
#include "support/trv_process.h"

using testsupport::PosPeer;

namespace {

// A manual clock on which the cash register takes the program's message once
// a given number of simulated milliseconds has passed (never when negative).
class ReadingClock : public plat::ManualClock {
public:
    void sleepMs(int64_t ms) override {
        plat::ManualClock::sleepMs(ms);
        slept += ms;
        if (readAfterMs >= 0 && slept >= readAfterMs && mailbox != nullptr &&
            PosPeer::Status(mailbox) == poslink::kStatusPresent) {
            PosPeer::SetStatus(mailbox, poslink::kStatusTaken);
            readAtMs = slept;
        }
    }
    int64_t slept = 0;
    int64_t readAfterMs = -1;
    int64_t readAtMs = -1;
    char* mailbox = nullptr;
};

class PosLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        station = testsupport::UniqueStation();
        link = ZelDiaOpen(station, 0);
        ASSERT_NE(link, nullptr);
        ASSERT_TRUE(peer.Open(station));
        Options = OptionValues{};
    }
    void TearDown() override {
        peer.Close();
        ZelDiaClose(link);
        Options = OptionValues{};
    }
    int station = 0;
    PosLinkHandle* link = nullptr;
    PosPeer peer;
};

}  // namespace

TEST_F(PosLinkTest, BothSidesMapTheBlockAndExchange) {
    // The peer asked for the library's 40962 bytes, the program for 20482.
    ASSERT_TRUE(peer.Send("{SS}R{SV}s3{CD}c0{F}"));
    char buffer[poslink::kMailboxSize];
    EXPECT_EQ(ZelDiaRead(buffer, sizeof buffer, link, 10), static_cast<int>(sizeof buffer));
    EXPECT_STREQ(buffer, "{SS}R{SV}s3{CD}c0{F}");
    EXPECT_EQ(PosPeer::Status(peer.fromPos()), poslink::kStatusTaken);
    // Nothing more to read: a look with wait 10 or 0 returns at once.
    EXPECT_EQ(ZelDiaRead(buffer, sizeof buffer, link, 10), 0);
    EXPECT_EQ(ZelDiaRead(buffer, sizeof buffer, link, 0), 0);
    EXPECT_EQ(ZelDiaWrite("1", 1, link, 0, 5), 1);
    EXPECT_EQ(peer.Receive(1000).value_or(""), "1");
}

TEST_F(PosLinkTest, ReadAlwaysTerminatesWhatItCopies) {
    ASSERT_TRUE(peer.Send("ABCDEFGHIJ"));
    char small[5];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(ZelDiaRead(small, sizeof small, link, 10), 5);
    EXPECT_STREQ(small, "ABCD");
    // A mailbox whose text area has no terminator is still read within it.
    char* text = peer.fromPos() + 1;
    std::memset(text, 'y', poslink::kTextSize);
    PosPeer::SetStatus(peer.fromPos(), poslink::kStatusPresent);
    std::string big(poslink::kTextSize + 16, 'z');
    EXPECT_EQ(ZelDiaRead(big.data(), 0, link, 10), static_cast<int>(poslink::kTextSize));
    EXPECT_EQ(std::strlen(big.c_str()), poslink::kTextSize - 1);
}

TEST_F(PosLinkTest, PutThenReadGivesTheSameText) {
    EXPECT_EQ(ZelDiaPut("{SS}R{SV}s0{CD}c1{F}", link), 1);
    char buffer[poslink::kMailboxSize];
    EXPECT_EQ(ZelDiaRead(buffer, sizeof buffer, link, 10), static_cast<int>(sizeof buffer));
    EXPECT_STREQ(buffer, "{SS}R{SV}s0{CD}c1{F}");
    EXPECT_EQ(ZelDiaPut("", link), 0);
    EXPECT_EQ(ZelDiaPut("x", nullptr), 0);
}

TEST_F(PosLinkTest, MessagesLongerThanTheTextAreaAreRefused) {
    const std::string longest(poslink::kMaxMessageChars, 'a');
    const std::string tooLong(poslink::kMaxMessageChars + 1, 'a');
    EXPECT_EQ(ZelDiaPut(tooLong.c_str(), link), 0);
    EXPECT_EQ(PosPeer::Status(peer.fromPos()), poslink::kStatusNever);
    EXPECT_EQ(ZelDiaWrite(tooLong.c_str(), static_cast<int>(tooLong.size()), link, 0, 5), -1);
    EXPECT_EQ(PosPeer::Status(peer.toPos()), poslink::kStatusNever);
    EXPECT_EQ(ZelDiaWrite(longest.c_str(), static_cast<int>(longest.size()), link, 0, 5),
              static_cast<int>(longest.size()));
    EXPECT_EQ(peer.Receive(1000).value_or("").size(), longest.size());
}

TEST(PosLinkCommands, PaymentCommands) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {{"{CD}c1{RS}00{F}", 1}, {"{CD}c10{F}", 1}, {"{CD}c9{F}", 1}, {"{CD}c4{F}", 0},
                 {"{CD}C1{F}", 0},       {"{CD}c11{F}", 0}, {"{CD}c1", 0},    {nullptr, 0}};
    for (const Case& c : cases) EXPECT_EQ(ZelDiaIsPaymentCommand(c.text), c.expected) << (c.text ? c.text : "null");
}

// A message the cash register has not taken when the wait ends stays where
// it is (the cash register still takes it whole); the new message is not
// written and the writer is told so.
TEST_F(PosLinkTest, UnreadMessageIsKeptAndTheLaterWriteFails_Mended) {
    struct Case {
        int timeoutSec;
        int64_t minimumWaitMs;  // the wait before giving up: 5 s at least
    } cases[] = {{3, 4000}, {5, 4000}, {30, 29000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeoutSec);
        ReadingClock clock;
        plat::ScopedClock scoped(&clock);
        testsupport::TraceCapture trace;
        const char* answer = "{SS}A{PS}1{SV}s0{CD}c1{RS}00{F}";
        const int length = static_cast<int>(std::strlen(answer));
        ASSERT_EQ(ZelDiaWrite(answer, length, link, 0, c.timeoutSec), length);
        const int64_t before = clock.slept;
        EXPECT_EQ(ZelDiaWrite("second", 6, link, 0, c.timeoutSec), -1);
        EXPECT_GE(clock.slept - before, c.minimumWaitMs);
        EXPECT_TRUE(trace.Contains("!!!!! Application de vente inactive !!!!!"));
        EXPECT_TRUE(trace.Contains("Message non transmis, le precedent n'a pas ete lu (6 caracteres)"));
        // The cash register takes the first message as it was written.
        EXPECT_EQ(peer.Receive(10).value_or(""), answer);
        // Once taken, the next message goes through.
        EXPECT_EQ(ZelDiaWrite("third", 5, link, 0, c.timeoutSec), 5);
        EXPECT_EQ(peer.Receive(10).value_or(""), "third");
    }
}

TEST_F(PosLinkTest, LongerTimeOutWaitsLonger) {
    ReadingClock clock;
    plat::ScopedClock scoped(&clock);
    clock.mailbox = peer.toPos();
    ASSERT_EQ(ZelDiaWrite("first", 5, link, 0, 30), 5);
    clock.readAfterMs = 25000;  // read after 25 s: within the 30 s wait
    testsupport::TraceCapture trace;
    ASSERT_EQ(ZelDiaWrite("second", 6, link, 0, 30), 6);
    EXPECT_GE(clock.readAtMs, 25000);
    EXPECT_FALSE(trace.Contains("Application de vente inactive"));
}

TEST_F(PosLinkTest, DeadCashRegisterStopsTheProgramWhenAsked) {
    EXPECT_EXIT(
        {
            plat::ManualClock clock;
            plat::ScopedClock scoped(&clock);
            Options.ExitOnDeathPOS = 1;
            ZelDiaWrite("first", 5, link, 0, 5);
            ZelDiaWrite("second", 6, link, 0, 5);
            std::_Exit(3);  // not reached
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(PosLinkTest, UnreadAbortAnswerIsWithdrawn) {
    ReadingClock clock;
    plat::ScopedClock scoped(&clock);
    testsupport::TraceCapture trace;
    const char* answer = "{SS}A{SV}s3{CD}c0{RS}33{F}";
    ASSERT_EQ(ZelDiaWrite(answer, static_cast<int>(std::strlen(answer)), link, 0, 1), 26);
    EXPECT_EQ(PosPeer::Status(peer.toPos()), poslink::kStatusTaken);
    EXPECT_TRUE(trace.Contains("!!!!! Suppression reponse abandon non lue !!!!!"));
    // Read in time, an abort answer stays delivered.
    clock.mailbox = peer.toPos();
    clock.readAfterMs = clock.slept + 1000;
    testsupport::TraceCapture again;
    ZelDiaWrite(answer, static_cast<int>(std::strlen(answer)), link, 0, 1);
    EXPECT_FALSE(again.Contains("Suppression reponse abandon"));
}

bool TextAreaIsClear(const char* mailbox) {
    for (size_t i = 1; i < poslink::kMailboxSize; ++i)
        if (mailbox[i] != 0) return false;
    return true;
}

TEST_F(PosLinkTest, TakenRequestAndWithdrawnAnswerLeaveNoTextInTheBlock_Mended) {
    // A request with a card number, read with a buffer of any size: once
    // taken, nothing of it stays in the shared block.
    const std::string request = "{SS}R{PS}1{SV}s0{CD}c1{D2F}4970100000000063=25121011000012345678{F}";
    for (int size : {0, 16, static_cast<int>(poslink::kMailboxSize)}) {
        ASSERT_TRUE(peer.Send(request));
        std::string buffer(poslink::kMailboxSize + 1, '\0');
        ASSERT_GT(ZelDiaRead(buffer.data(), size, link, 10), 0) << size;
        EXPECT_EQ(PosPeer::Status(peer.fromPos()), poslink::kStatusTaken);
        EXPECT_TRUE(TextAreaIsClear(peer.fromPos())) << size;
    }
    // A message put back and read again is cleared the same way.
    ASSERT_EQ(ZelDiaPut(request.c_str(), link), 1);
    char buffer[poslink::kMailboxSize];
    ASSERT_GT(ZelDiaRead(buffer, sizeof buffer, link, 10), 0);
    EXPECT_EQ(buffer, request);
    EXPECT_TRUE(TextAreaIsClear(peer.fromPos()));
    // An abort answer nobody read is withdrawn with its text.
    ReadingClock clock;
    plat::ScopedClock scoped(&clock);
    const char* answer = "{SS}A{SV}s0{CD}c1{RS}33{F}";
    ASSERT_EQ(ZelDiaWrite(answer, static_cast<int>(std::strlen(answer)), link, 0, 1), 26);
    EXPECT_EQ(PosPeer::Status(peer.toPos()), poslink::kStatusTaken);
    EXPECT_TRUE(TextAreaIsClear(peer.toPos()));
}

TEST_F(PosLinkTest, PaymentAnswersReadInTimeAreCounted) {
    struct Case {
        const char* start;
        const char* answer;
        int countForPos;
        int64_t readAfterMs;
        const char* expected;
    } cases[] = {
        {"9999", "{SS}A{SV}s0{CD}c1{RS}05{F}", 1, 1000, "0001"},
        {"0041", "{SS}A{SV}s0{CD}c1{RS}00{F}", 1, 15000, "0042"},
        {"0041", "{SS}A{SV}s0{CD}c1{RS}00{F}", 0, 1000, "0041"},
        {"0041", "{SS}A{SV}s0{CD}c4{RS}00{F}", 1, 1000, "0041"},   // c4 is not a payment
        {"0041", "{SS}A{SV}s0{CD}c1{RS}33{F}", 1, 1000, "0041"},   // result 33 is not counted
        {"0041", "{SS}A{SV}s11{CD}c1{RS}00{F}", 1, 1000, "0041"},  // s11 is not counted
        {"0041", "{SS}A{SV}s0{CD}c1{RS}00{F}", 1, -1, "0041"},     // never read
    };
    InitDefaultOptions();
    g_processOptions.station = station;
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    testsupport::UseTreeForSession(tree.str());
    ASSERT_EQ(TOC_OpenSession(), 1);
    TransactionRecord* record = GetTransactionRecord();
    ASSERT_NE(record, nullptr);
    for (const Case& c : cases) {
        ReadingClock clock;
        plat::ScopedClock scoped(&clock);
        clock.mailbox = peer.toPos();
        clock.readAfterMs = c.readAfterMs;
        std::strcpy(Options.NumTrsMonCaisse, c.start);
        record->countForPos = static_cast<uint8_t>(c.countForPos);
        ZelDiaWrite(c.answer, static_cast<int>(std::strlen(c.answer)), link, 0, 5);
        EXPECT_STREQ(Options.NumTrsMonCaisse, c.expected) << c.answer << " read " << c.readAfterMs;
        PosPeer::SetStatus(peer.toPos(), poslink::kStatusTaken);
    }
    EFTOC_Close(GetEftContext());
    SetEftContext(nullptr);
}

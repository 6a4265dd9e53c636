// Both sides of the POS link in one process and on one mapping: the
// program's side (ZelDiaRead, ZelDiaWrite) in one thread and the library's
// (DialogChannel) in another, each sleeping on the link's wake words. Every
// message arrives whole and in order, under the status bytes' acquire and
// release ordering; the CI runs these tests under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/pos_channel.h"
#include "platform/pos_mailbox.h"
#include "platform/wake_word.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "support/station_lock.h"

namespace {

// A message of a length that changes from one to the next (long ones leave
// more behind them than a short one covers).
std::string Message(const char* kind, int i) {
    std::string text = std::string("{SV}") + kind + "{NO}" + std::to_string(i) + "{D0}";
    text.append(static_cast<size_t>((i * 7919) % 3000), static_cast<char>('a' + i % 26));
    return text + "{F}";
}

class PosLinkThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Options = OptionValues{};
        link = ZelDiaOpen(testsupport::UniqueStation(), 0);
        ASSERT_NE(link, nullptr);
        // Direction 0 writes ToPosMailbox, at the start of the block.
        char* block = link->writeMailbox;
        library = znpdll::DialogChannel::Attach(block, 0, poslink::kProgramBlockSize);
        area = poslink::WakeAreaOf(block, poslink::kProgramBlockSize);
        std::atomic_ref<uint32_t>(area->clientBumps).store(1);
    }
    void TearDown() override {
        library.reset();
        ZelDiaClose(link);
        Options = OptionValues{};
    }

    PosLinkHandle* link = nullptr;
    std::unique_ptr<znpdll::DialogChannel> library;
    poslink::WakeArea* area = nullptr;
};

TEST_F(PosLinkThreadsTest, RequestsAcknowledgementsAndAnswersArriveWholeAndInOrder) {
    constexpr int kRequests = 600;
    std::atomic<int> programErrors{0};
    // The program: takes each request (asleep until it comes), then writes
    // its acknowledgement and its answer, the second waiting until the first
    // was taken.
    std::thread program([&] {
        std::vector<char> buffer(poslink::kTextSize + 1);
        for (int i = 0; i < kRequests; ++i) {
            while (ZelDiaRead(buffer.data(), 0, link, -1) == 0) {
            }
            if (std::string(buffer.data()) != Message("s0", i)) programErrors.fetch_add(1);
            const std::string ack = std::to_string(i % 10);
            const std::string answer = Message("s1", i);
            ZelDiaWrite(ack.c_str(), static_cast<int>(ack.size()), link, 0, 5);
            ZelDiaWrite(answer.c_str(), static_cast<int>(answer.size()), link, 0, 5);
        }
    });
    int libraryErrors = 0;
    for (int i = 0; i < kRequests; ++i) {
        const std::string request = Message("s0", i);
        // The program took the previous request before it answered it.
        if (library->Write(request.c_str(), 0) != 1) ++libraryErrors;
        std::string ack, answer;
        if (library->Read(true, &ack, 10000, 0).status != 1 || ack != std::to_string(i % 10)) ++libraryErrors;
        if (library->Read(true, &answer, 10000, 0).status != 1 || answer != Message("s1", i)) ++libraryErrors;
        if (libraryErrors != 0) break;
    }
    program.join();
    EXPECT_EQ(libraryErrors, 0);
    EXPECT_EQ(programErrors.load(), 0);
    // Nothing is left asleep, and both mailboxes were taken.
    EXPECT_EQ(plat::SleepersOf(area->toPos), 0u);
    EXPECT_EQ(plat::SleepersOf(area->fromPos), 0u);
    EXPECT_EQ(ZelDiaStatus(link->writeMailbox), poslink::kStatusTaken);
    EXPECT_EQ(ZelDiaStatus(link->readMailbox), poslink::kStatusTaken);
}

TEST_F(PosLinkThreadsTest, TheIdleProgramSleepsUntilTheLibraryWrites) {
    constexpr int kRequests = 200;
    std::atomic<int> served{0};
    std::thread program([&] {
        std::vector<char> buffer(poslink::kTextSize + 1);
        while (served.load() < kRequests) {
            // The main loop's sleep: until a request comes (long bound).
            if (ZelDiaWaitRequest(link, 20000, nullptr) == 0) continue;
            if (ZelDiaRead(buffer.data(), 0, link, 10) == 0) continue;
            const std::string text(buffer.data());
            ZelDiaWrite(text.c_str(), static_cast<int>(text.size()), link, 0, 5);
            served.fetch_add(1);
        }
    });
    int errors = 0;
    for (int i = 0; i < kRequests && errors == 0; ++i) {
        const std::string request = Message("s3", i);
        if (library->Write(request.c_str(), 0) != 1) ++errors;
        std::string echo;
        if (library->Read(true, &echo, 10000, 0).status != 1 || echo != request) ++errors;
    }
    program.join();
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(served.load(), kRequests);
}

}  // namespace

// Shared connection table: its slots, the round-robin take, the entry lock,
// the reader's and writer's side of a pumped entry with a second thread as
// the pump, the requester's side of a shared client connection, and the
// SSLShared functions.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "support/rushing_clock.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;

using testsupport::RushingClock;

class TableLogs {
public:
    TableLogs() {
        for (const char* l : {"wshared", "ktn_shared", "sharedssl"}) WSysSetLoggerLevel(l, WLOG_TRACE);
    }
    ~TableLogs() {
        for (const char* l : {"wshared", "ktn_shared", "sharedssl"}) WSysSetLoggerLevel(l, WLOG_WARN);
    }
};

TEST(SharedTable, InitializeNamesTheTableAndMakesEveryEntryFree) {
    TableLogs logs;
    TraceCapture trace;
    WShared table;
    table.initialize(7, 10);
    EXPECT_TRUE(trace.Contains("initialize: name: COM_SHARED_MEMORY_007, size: 10"));
    ASSERT_EQ(table.size(), 10);
    for (int id = 1; id < 10; ++id) {
        comInfos* e = table.entry(id);
        EXPECT_EQ(e->Id, id);
        EXPECT_EQ(e->State, WSHARED_FREE);
        EXPECT_EQ(e->Type, COM_NEVER_TAKEN);
    }
    table.initialize(7, 30);  // the first call decided
    table.initialize(8, 0);
    EXPECT_EQ(table.size(), 10);
}

TEST(SharedTable, AttachBeforeAnyTableMakesTheProgramsTable_Mended) {
    WShared table;
    table.initialize(3, 0);
    EXPECT_EQ(table.size(), WSHARED_DEFAULT_SLOTS);
    table.initialize(3, 10);
    EXPECT_EQ(table.size(), WSHARED_DEFAULT_SLOTS);
    EXPECT_NE(table.getOneFreeCom(), nullptr) << "an attached service finds entries to take";
}

TEST(SharedTable, EntriesAreTakenRoundRobin) {
    WShared table;
    table.initialize(4, 10);
    std::vector<int> ids;
    for (int i = 0; i < 5; ++i) ids.push_back(table.getOneFreeCom()->Id);
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5}));
    comInfos* taken = table.entry(3);
    EXPECT_EQ(taken->State, WSHARED_TAKEN);
    EXPECT_EQ(taken->Type, COM_DIRECT);
    EXPECT_EQ(taken->Socket, 0);
    table.entry(2)->State = WSHARED_FREE;
    EXPECT_EQ(table.getOneFreeCom()->Id, 6) << "the search goes on from where the last take ended";
    EXPECT_EQ(table.getOneFreeCom()->Id, 7);
    EXPECT_EQ(table.getOneFreeCom()->Id, 8);
    EXPECT_EQ(table.getOneFreeCom()->Id, 9);
    EXPECT_EQ(table.getOneFreeCom()->Id, 2);
    TraceCapture trace;
    EXPECT_EQ(table.getOneFreeCom(), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WShared::getOneFreeCom(): No free space in array, max. size: 10"));
    table.entry(5)->State = WSHARED_CLOSED;
    EXPECT_EQ(table.getOneFreeCom(), nullptr) << "a closed entry that the user still holds is not free";
}

TEST(SharedTable, ATableOfOneSlotHasNoEntries) {
    WShared table;
    table.initialize(5, 1);
    EXPECT_EQ(table.getOneFreeCom(), nullptr);
}

TEST(SharedTable, IdsOutsideTheEntriesAreReported) {
    WShared table;
    table.initialize(6, 10);
    for (int id : {0, 10, -1}) {
        TraceCapture trace;
        EXPECT_EQ(table.getOneCom(id), nullptr) << id;
        char text[96];
        std::snprintf(text, sizeof text, "Index 0x%X out of bounds [1...9] !", static_cast<unsigned>(id));
        EXPECT_TRUE(trace.Contains(text)) << id;
    }
    EXPECT_NE(table.getOneCom(9), nullptr);
}

// Fixture over the process's table: every test gives back what it took.
class SharedEntries : public ::testing::Test {
protected:
    void SetUp() override {
        WShared_Initialize(7, 10);
        free_ = WSharedFreeCount();
        ASSERT_GT(free_, 2);
    }
    void TearDown() override {
        WTCPSetConnectTimeOut(3, 0);
        EXPECT_EQ(WSharedFreeCount(), free_) << "an entry was not given back";
    }
    // A taken entry of the given type.
    static comInfos* Take(int32_t type) {
        comInfos* e = WShared_GetOneFreeCOM_INFOS();
        if (e != nullptr) e->Type = type;
        return e;
    }
    int free_ = 0;
};

TEST_F(SharedEntries, WritesFillTheOutBufferToItsLastByte) {
    comInfos* e = Take(COM_BY_SEV);
    ASSERT_NE(e, nullptr);
    std::vector<char> data(WSHARED_BUFFER_SIZE - 10, 'a');
    EXPECT_EQ(WSharedWrite(e->Id, data.data(), static_cast<uint32_t>(data.size())), WSHARED_BUFFER_SIZE - 10);
    EXPECT_EQ(WSharedWrite(e->Id, "0123456789", 10), 10);
    TraceCapture trace;
    EXPECT_EQ(WSharedWrite(e->Id, "x", 1), 0);
    EXPECT_TRUE(trace.Contains("<< WARN. >> [WSharedWrite] Too many data : max msg len=25000, current data size=25000, "
                               "incoming additional data=1"));
    EXPECT_EQ(e->OutLength, WSHARED_BUFFER_SIZE);
    EXPECT_EQ(std::memcmp(e->OutBuffer + WSHARED_BUFFER_SIZE - 10, "0123456789", 10), 0);
    EXPECT_EQ(WSharedDisConnect(e->Id), 1);
    EXPECT_EQ(WSharedWrite(e->Id, "x", 1), -2) << "a stopped entry takes nothing";
}

// What a connection left in an entry's buffers is gone when the entry is
// taken again (only what it wrote needs clearing: the rest never held
// anything), and the entry's wake descriptor exists from its first take.
TEST_F(SharedEntries, WhatAnEntryHeldIsClearedWhenItIsTakenAgain) {
    comInfos* e = Take(COM_DIRECT);
    ASSERT_NE(e, nullptr);
    EXPECT_GE(e->WakeFd, 0);
    const int32_t id = e->Id;
    WSharedLockEntry(e);
    ASSERT_EQ(WSharedAppendOutputLocked(e, "4970123456789012", 16), 16);
    ASSERT_TRUE(WSharedAppendInputLocked(e, "reponse du serveur", 18));
    WSharedUnlockEntry(e);
    WSharedReleaseUser(e);
    // Round robin: the entry comes back after every other free one.
    std::vector<comInfos*> others;
    comInfos* again = nullptr;
    while (again == nullptr) {
        comInfos* next = Take(COM_DIRECT);
        ASSERT_NE(next, nullptr);
        if (next->Id == id)
            again = next;
        else
            others.push_back(next);
    }
    const std::vector<uint8_t> zeros(WSHARED_BUFFER_SIZE, 0);
    EXPECT_EQ(std::memcmp(again->OutBuffer, zeros.data(), zeros.size()), 0);
    EXPECT_EQ(std::memcmp(again->InBuffer, zeros.data(), zeros.size()), 0);
    EXPECT_EQ(again->OutLength, 0);
    EXPECT_EQ(again->InLength, 0);
    WSharedReleaseUser(again);
    for (comInfos* other : others) WSharedReleaseUser(other);
}

TEST_F(SharedEntries, ReadsWaitForDataThenGiveTheEntrysResult) {
    comInfos* e = Take(COM_BY_SEV);
    ASSERT_NE(e, nullptr);
    char buffer[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WSharedRead(e->Id, buffer, sizeof buffer), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    e->Result = -1;
    EXPECT_EQ(WSharedRead(e->Id, buffer, sizeof buffer), -1) << "a closed connection reads as its result";
    e->Result = 0;

    WSharedLockEntry(e);
    ASSERT_TRUE(WSharedAppendInputLocked(e, "abcdef", 6));
    WSharedUnlockEntry(e);
    EXPECT_EQ(WSharedPeek(e->Id, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(WSharedRead(e->Id, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(WSharedRead(e->Id, buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "ef");
    EXPECT_EQ(WSharedPeek(e->Id, buffer, sizeof buffer), 0);

    WSharedStop(e);
    TraceCapture trace;
    EXPECT_EQ(WSharedRead(e->Id, buffer, sizeof buffer), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSharedRead(): Stop flag has been set"));
    EXPECT_EQ(WSharedPeek(e->Id, buffer, sizeof buffer), -2);
    EXPECT_EQ(WSharedDisConnect(e->Id), 1);
}

TEST_F(SharedEntries, OperationsOnEntriesThatAreNotPumped) {
    comInfos* e = Take(COM_DIRECT);
    ASSERT_NE(e, nullptr);
    char buffer[8];
    TraceCapture trace;
    EXPECT_EQ(WSharedWrite(e->Id, "x", 1), -2);
    EXPECT_EQ(WSharedRead(e->Id, buffer, sizeof buffer), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSharedRead(): Function should not have been called with COM_BY_SEV mode "
                               "not set"));
    EXPECT_EQ(WSharedHardDisConnect(e->Id), -2);
    EXPECT_EQ(e->Stop, 0) << "the hard disconnect leaves another kind of entry alone";
    EXPECT_EQ(WSharedDisConnect(e->Id), -2);
    EXPECT_EQ(e->Stop, 1) << "the disconnect stops it all the same";
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSharedDisConnect(): Function should not have been called"));
    EXPECT_EQ(WSSLSharedRead(e->Id, buffer, sizeof buffer), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLSharedRead(): Function should not have been called with COM_BY_SEV "
                               "mode not set, resource: "));
    EXPECT_EQ(WSharedRead(0, buffer, sizeof buffer), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSharedRead: WShared_GetOneCOM_INFOS(0) returned NULL"));
    WSharedReleaseUser(e);
}

TEST_F(SharedEntries, TheLockWordIsHeldByOneSideAtATime) {
    comInfos* e = Take(COM_BY_SEV);
    ASSERT_NE(e, nullptr);
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread other([&] {
        WSharedLockEntry(e);
        held = true;
        while (!release) std::this_thread::yield();
        WSharedUnlockEntry(e);
    });
    while (!held) std::this_thread::yield();
    EXPECT_FALSE(WSharedTryLockEntry(e, 50));
    release = true;
    EXPECT_TRUE(WSharedTryLockEntry(e, 5000));
    WSharedUnlockEntry(e);
    other.join();
    EXPECT_FALSE(WSharedTryLockEntry(nullptr, 10));
    WSharedReleaseUser(e);
}

TEST_F(SharedEntries, TwoThreadsExchangeDataThroughAnEntrysBuffers) {
    comInfos* e = Take(COM_BY_SEV);
    ASSERT_NE(e, nullptr);
    WSharedAttachPump(e);
    // The pump: every byte queued for sending comes back as received, upper-cased.
    std::thread pump([e] {
        std::vector<uint8_t> out(WSHARED_BUFFER_SIZE);
        while (e->Stop != 1) {
            WSharedLockEntry(e);
            const int32_t n = e->OutLength;
            std::memcpy(out.data(), e->OutBuffer, static_cast<size_t>(n));
            e->OutLength = 0;
            for (int32_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(std::toupper(out[static_cast<size_t>(i)]));
            const bool kept = WSharedAppendInputLocked(e, out.data(), static_cast<uint32_t>(n));
            if (n == 0) WSharedWaitLocked(e, 50);
            WSharedUnlockEntry(e);
            if (!kept) WSharedStop(e);
        }
        WSharedReleasePump(e);
    });
    for (int round = 0; round < 300; ++round) {
        const std::string message = "message " + std::to_string(round) + " of the requester";
        ASSERT_EQ(WSharedWrite(e->Id, message.data(), static_cast<uint32_t>(message.size())),
                  static_cast<int>(message.size()));
        std::string got;
        while (got.size() < message.size()) {
            char buffer[7];  // smaller than a message: it comes in parts
            const int n = WSharedRead(e->Id, buffer, sizeof buffer);
            ASSERT_GE(n, 0);
            got.append(buffer, static_cast<size_t>(n));
        }
        std::string expected = message;
        for (char& c : expected) c = static_cast<char>(std::toupper(c));
        ASSERT_EQ(got, expected);
    }
    EXPECT_EQ(WSharedDisConnect(e->Id), 1);
    pump.join();
    EXPECT_EQ(e->State, WSHARED_FREE) << "both sides let go";
}

TEST_F(SharedEntries, ARequestNobodyServesTimesOutAndIsGivenBack_Mended) {
    const WSharedRequestHandler previous = WSharedSetRequestHandler(nullptr);
    RushingClock clock;
    plat::ScopedClock scoped(&clock);
    TraceCapture trace;
    EXPECT_EQ(WSharedOpenClientEx("localhost", "4433", 0, "", "", 0, 0, nullptr, "", 0), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSharedOpenClientEx(): Timeout during connection establishment (polling "
                               "shared memory), resource: "));
    WSharedSetRequestHandler(previous);
}

// A handler that answers requests from a thread of its own with the result
// the test chose, then plays the pump until the requester lets go.
std::atomic<int32_t> g_answer{WSHARED_CONNECTED};
std::thread g_owner;

void AnswerRequest(int32_t id) {
    g_owner = std::thread([id] {
        comInfos* e = WShared_GetOneCOM_INFOS(id);
        WSharedLockEntry(e);
        EXPECT_EQ(e->ConnState, WSHARED_REQUESTED);
        EXPECT_STREQ(e->HostName, "payments.example");
        EXPECT_STREQ(e->Service, "4433");
        EXPECT_STREQ(e->SslArguments, "-no_tls1");
        EXPECT_EQ(e->Type, COM_BY_SEV);
        e->ConnState = g_answer.load();
        WSharedUnlockEntry(e);
        if (g_answer == WSHARED_CONNECTED) {
            WSharedLockEntry(e);
            while (e->Stop != 1) WSharedWaitLocked(e, 50);
            WSharedUnlockEntry(e);
        }
        WSharedReleasePump(e);
    });
}

TEST_F(SharedEntries, ARequestAnsweredByItsOwnerGivesTheEntry) {
    const WSharedRequestHandler previous = WSharedSetRequestHandler(AnswerRequest);
    for (int32_t answer : {WSHARED_CONNECTED, WSHARED_REQUEST_FAILED}) {
        g_answer = answer;
        const int32_t id = WSSLSharedOpenClientEx("payments.example", "4433", 0, "ca.crt", "", 0, 0, nullptr,
                                                  "-no_tls1", nullptr);
        if (answer == WSHARED_CONNECTED) {
            ASSERT_GT(id, 0);
            EXPECT_EQ(WSSLSharedDisConnect(id), 1);
        } else {
            EXPECT_EQ(id, -1);
        }
        g_owner.join();
    }
    WSharedSetRequestHandler(previous);
}

TEST(SharedSsl, OperationsThatTheSharedObjectDoesNotOffer) {
    TraceCapture trace;
    int32_t station = 0;
    EXPECT_EQ(WSSLSharedConnect(1, &station), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLSharedConnect(): Not implemented"));
    EXPECT_EQ(WSSLSharedOpenServerEx("4433", 5, 1, ""), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WSSLSharedOpenServerEx(): Not implemented"));
    EXPECT_EQ(WSSLSharedPingServer("h", "1", 0, "", "", 0, 0, nullptr), -1);
    EXPECT_EQ(WSSLSharedClose(1), -1);
}

}  // namespace

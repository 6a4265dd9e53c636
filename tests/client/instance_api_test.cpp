// Instance exports against a stand-in program process (pos_stub) with the
// test playing the program's side of the mailboxes: the normal request cycle,
// acknowledgements, held messages, the failure table, closing and ids.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/dll_log.h"
#include "client/instance.h"
#include "client/program_side.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "support/station_lock.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

using clienttest::ProgramSide;
using clienttest::Responder;
using clienttest::StubInstance;

constexpr uint32_t kCap = 10241;

class InstanceApiTest : public ::testing::Test {
protected:
    void SetUp() override { znpdll::ClientInstance::SetStopGraceMs(3000); }
    void TearDown() override { znpdll::DllLogger::Get().Reset(); }
    std::string LogOf(uint32_t pos) { return testsupport::ReadFileText(dir.str() + "/ZNP_DLL_" + std::to_string(pos) + ".LOG"); }

    testsupport::TempDir dir;
};

std::string Answer(const std::string& sv, const std::string& cd, const std::string& rs) {
    return "{SS}A{PS}1{SV}" + sv + "{CD}" + cd + "{RS}" + rs + "{F}";
}

TEST_F(InstanceApiTest, RequestAcknowledgedThenAnswerWaitedForAndTaken) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    ASSERT_NE(s.id(), 0u);
    std::string seen;
    Responder program(s.side(), [&](const std::string& request) -> std::vector<std::string> {
        seen = request;
        return {"0", Answer("s12", "c25", "01")};
    });
    char message[kCap] = "{SV}s12{CD}c25{F}";
    uint32_t cap = kCap;
    ASSERT_EQ(SZelApiSendMessage(s.id(), "s12", message, &cap), 0);
    // The caller's buffer holds the message as sent: SS "R" and PS added.
    EXPECT_STREQ(message, ("{SV}s12{CD}c25{SS}R{PS}" + std::to_string(s.pos()) + "{F}").c_str());
    EXPECT_EQ(seen, message);

    int waited = 7;
    for (int i = 0; i < 200 && waited == 7; ++i) waited = SZelApiWaitSynchro(s.id(), 50);
    ASSERT_EQ(waited, 0);
    char service[4] = "xxx";
    char answer[kCap];
    cap = kCap;
    ASSERT_EQ(SZelApiGetMessage(s.id(), service, answer, &cap), 0);
    EXPECT_STREQ(service, "s12");
    EXPECT_EQ(std::string(answer), Answer("s12", "c25", "01"));
    EXPECT_EQ(cap, std::strlen(answer));
    EXPECT_EQ(ProgramSide::Status(s.side().toPos()), poslink::kStatusTaken);
    // Nothing further.
    EXPECT_EQ(SZelApiGetMessage(s.id(), service, answer, &cap), 7);
    program.Stop();
}

TEST_F(InstanceApiTest, PresentPsIsKeptAndSsIsAlwaysAppended) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    Responder program(s.side(), [](const std::string&) -> std::vector<std::string> { return {"0"}; });
    char message[kCap] = "{SS}X{PS}77{SV}s0{F}";
    uint32_t cap = kCap;
    ASSERT_EQ(SZelApiSendMessage(s.id(), "s0", message, &cap), 0);
    EXPECT_STREQ(message, "{SS}X{PS}77{SV}s0{SS}R{F}");
    program.Stop();
}

// Acknowledgement codes come back as results; 6 to "s3" reads as 0; a
// request without CD is sent with a warning.
TEST_F(InstanceApiTest, AcknowledgementCodes) {
    struct Case {
        const char* service;
        const char* message;
        const char* ack;
        int expected;
    };
    const Case cases[] = {
        {"s0", "{SV}s0{CD}c1{F}", "5", 5}, {"s3", "{SV}s3{CD}c0{F}", "1", 1}, {"s3", "{SV}s3{CD}c1{F}", "6", 0},
        {"s0", "{SV}s0{CD}c1{F}", "6", 6}, {"s9", "{SV}s9{F}", "5", 5},
    };
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.message) + " ack " + c.ack);
        Responder program(s.side(), [&](const std::string&) -> std::vector<std::string> { return {c.ack}; });
        char message[kCap];
        std::strcpy(message, c.message);
        uint32_t cap = kCap;
        EXPECT_EQ(SZelApiSendMessage(s.id(), c.service, message, &cap), c.expected);
    }
    EXPECT_NE(LogOf(s.pos()).find("WARNING - DLLSND - Code commande absent"), std::string::npos);
}

// A request without PS (the usual case: the library adds it) leaves no
// warning in the log; a tag the application asks for and does not find
// still gives one.
TEST_F(InstanceApiTest, ARequestWithoutPsLeavesNoWarning) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    Responder program(s.side(), [&](const std::string&) -> std::vector<std::string> { return {"1"}; });
    char message[kCap] = "{SV}s3{CD}c0{F}";
    uint32_t cap = kCap;
    ASSERT_EQ(SZelApiSendMessage(s.id(), "s3", message, &cap), 1);
    EXPECT_NE(std::string(message).find("{PS}"), std::string::npos);
    char value[16] = "";
    ASSERT_EQ(ATAG_ReadInitForInstance(s.id(), message, kCap), 1);
    EXPECT_EQ(ATAG_GetStringValForInstance(s.id(), "D10", value, 1), -1);
    const std::string log = LogOf(s.pos());
    EXPECT_EQ(log.find("WARNING - TAGGET - Etiquette non trouvee {PS}"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO - TAGGET - Etiquette non trouvee {PS}"), std::string::npos) << log;
    EXPECT_NE(log.find("WARNING - TAGGET - Etiquette non trouvee {D10}"), std::string::npos) << log;
}

// The acknowledgement is one digit; an empty message is skipped; any other
// text is an error, not an acceptance.
TEST_F(InstanceApiTest, OnlyASingleDigitIsAnAcknowledgement) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"", "0"}, 0}, {{"x"}, 8}, {{"01"}, 8}, {{"OK"}, 8}, {{"7"}, 7}};
    for (const auto& [acks, expected] : cases) {
        Responder program(s.side(), [&](const std::string&) { return acks; });
        char message[kCap] = "{SV}s5{CD}c27{F}";
        uint32_t cap = kCap;
        EXPECT_EQ(SZelApiSendMessage(s.id(), "s5", message, &cap), expected) << acks.back();
    }
}

// A message of the program that is not the awaited answer, arriving while the
// acknowledgement is awaited, is kept and handed over in order; the answer
// arriving there is kept too and reported at once.
TEST_F(InstanceApiTest, MessagesArrivingDuringTheAcknowledgementWaitAreKept) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    char message[kCap] = "{SV}s0{CD}c1{F}";
    uint32_t cap = kCap;
    {
        Responder program(s.side(), [](const std::string&) -> std::vector<std::string> { return {"0"}; });
        ASSERT_EQ(SZelApiSendMessage(s.id(), "s0", message, &cap), 0);  // s0 now pending
    }
    const std::string display = "{SS}A{SV}s6{CD}c20{F}";
    const std::string answer = Answer("s0", "c1", "01");
    {
        // The cash register answers the display request; before acknowledging
        // it the program writes its payment answer and another request.
        Responder program(s.side(), [&](const std::string&) -> std::vector<std::string> {
            return {display, answer, "0"};
        });
        std::strcpy(message, "{SV}s6{CD}c20{F}");
        ASSERT_EQ(SZelApiSendMessage(s.id(), "s6", message, &cap), 0);
    }
    EXPECT_EQ(SZelApiWaitSynchro(s.id(), 0), 0);
    // An abort while the answer is held is refused with 0 and nothing is written.
    std::strcpy(message, "{SV}s3{CD}c0{F}");
    EXPECT_EQ(SZelApiSendMessage(s.id(), "s3", message, &cap), 0);
    EXPECT_NE(ProgramSide::Status(s.side().fromPos()), poslink::kStatusPresent);

    char service[4];
    char out[kCap];
    cap = kCap;
    ASSERT_EQ(SZelApiGetMessage(s.id(), service, out, &cap), 0);
    EXPECT_EQ(std::string(out), display);
    EXPECT_STREQ(service, "s6");
    cap = kCap;
    ASSERT_EQ(SZelApiGetMessage(s.id(), service, out, &cap), 0);
    EXPECT_EQ(std::string(out), answer);
    EXPECT_STREQ(service, "s0");
    EXPECT_EQ(s.instance()->heldCount(), 0u);
}

// A message that is not the pending answer is reported by the wait and left in
// the mailbox untouched; the next take gets it.
TEST_F(InstanceApiTest, WaitLeavesOtherMessagesInTheMailboxUntouched) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    const std::string request = "{SS}A{SV}s6{CD}c43{ZZ}ticket{F}";
    ASSERT_TRUE(s.side().Write(request));
    const std::string before(s.side().toPos(), poslink::kMailboxSize);
    EXPECT_EQ(SZelApiWaitSynchro(s.id(), 1000), 0);
    EXPECT_EQ(std::string(s.side().toPos(), poslink::kMailboxSize), before);
    // Reported again (its signal was consumed, the mailbox still holds it).
    EXPECT_EQ(SZelApiWaitSynchro(s.id(), 50), 0);

    char service[4];
    char out[kCap];
    uint32_t cap = static_cast<uint32_t>(request.size());  // no room for the terminator
    EXPECT_EQ(SZelApiGetMessage(s.id(), service, out, &cap), 2);
    EXPECT_EQ(std::string(s.side().toPos(), poslink::kMailboxSize), before);
    cap = static_cast<uint32_t>(request.size() + 1);
    ASSERT_EQ(SZelApiGetMessage(s.id(), service, out, &cap), 0);
    EXPECT_EQ(std::string(out), request);
    EXPECT_EQ(cap, request.size());
    EXPECT_EQ(ProgramSide::Status(s.side().toPos()), poslink::kStatusTaken);
}

// The capacity is never written past, for a held message as for a mailbox
// one, and a refused message stays available.
TEST_F(InstanceApiTest, GetMessageNeverWritesPastTheCapacity) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    char message[kCap] = "{SV}s0{CD}c1{F}";
    uint32_t cap = kCap;
    const std::string answer = Answer("s0", "c1", "01");
    {
        Responder program(s.side(), [&](const std::string&) -> std::vector<std::string> { return {"0", answer}; });
        ASSERT_EQ(SZelApiSendMessage(s.id(), "s0", message, &cap), 0);
        int waited = 7;
        for (int i = 0; i < 200 && waited == 7; ++i) waited = SZelApiWaitSynchro(s.id(), 50);
        ASSERT_EQ(waited, 0);
    }
    std::vector<char> out(answer.size() + 8, '#');
    char service[8] = "#######";
    cap = static_cast<uint32_t>(answer.size());
    EXPECT_EQ(SZelApiGetMessage(s.id(), service, out.data(), &cap), 2);
    EXPECT_EQ(std::string(out.data(), out.size()), std::string(out.size(), '#'));
    cap = static_cast<uint32_t>(answer.size() + 1);
    ASSERT_EQ(SZelApiGetMessage(s.id(), service, out.data(), &cap), 0);
    EXPECT_EQ(std::string(out.data()), answer);
    EXPECT_EQ(out[answer.size() + 1], '#');
    EXPECT_STREQ(service, "s0");
    EXPECT_EQ(service[4], '#');
}

// Every failure row of the instance exports, one fresh opening per row.
TEST_F(InstanceApiTest, FailureTable) {
    struct Row {
        const char* name;
        std::function<int(StubInstance&)> call;
        int expected;
    };
    auto send = [](StubInstance& s, const char* service, const char* text, uint32_t cap = kCap) {
        static char message[kCap];
        std::memset(message, 0, sizeof message);
        std::strcpy(message, text);
        return SZelApiSendMessage(s.id(), service, message, &cap);
    };
    auto killProgram = [](StubInstance& s) {
        pid_t pid = s.instance()->programPid();
        kill(pid, SIGKILL);
        plat::WaitForExit(pid, 5000);
    };
    auto holdBusy = [](StubInstance& s) {
        auto instance = s.instance();
        instance->SetBusyTimeoutMs(30);
        EXPECT_TRUE(instance->TakeBusy(1000));
    };
    char service[4];
    char out[kCap];
    uint32_t cap = kCap;
    const std::vector<Row> rows = {
        {"send: unknown id", [&](StubInstance& s) { return SZelApiSendMessage(s.id() + 50, "s0", out, &cap); }, 8},
        {"send: null service", [&](StubInstance& s) { return SZelApiSendMessage(s.id(), nullptr, out, &cap); }, 3},
        {"send: null message", [&](StubInstance& s) { return SZelApiSendMessage(s.id(), "s0", nullptr, &cap); }, 3},
        {"send: null capacity", [&](StubInstance& s) { return SZelApiSendMessage(s.id(), "s0", out, nullptr); }, 3},
        {"send: empty service", [&](StubInstance& s) { return send(s, "", "{SV}s0{F}"); }, 3},
        {"send: empty message", [&](StubInstance& s) { return send(s, "s0", ""); }, 3},
        {"send: capacity 0", [&](StubInstance& s) { return send(s, "s0", "{SV}s0{F}", 0); }, 3},
        {"send: no SV", [&](StubInstance& s) { return send(s, "s0", "{CD}c1{F}"); }, 3},
        {"send: not a tag message", [&](StubInstance& s) { return send(s, "s0", "hello"); }, 3},
        {"send: SV too long", [&](StubInstance& s) { return send(s, "s0", "{SV}s1234{F}"); }, 3},
        {"send: PS too long", [&](StubInstance& s) { return send(s, "s0", "{SV}s0{PS}1234{F}"); }, 3},
        {"send: CD too long", [&](StubInstance& s) { return send(s, "s0", "{SV}s0{CD}c1000{F}"); }, 3},
        {"send: no room for SS and PS", [&](StubInstance& s) { return send(s, "s0", "{SV}s0{F}", 12); }, 8},
        {"send: mailbox still full",
         [&](StubInstance& s) {
             ProgramSide::SetStatus(s.side().fromPos(), poslink::kStatusPresent);
             return send(s, "s0", "{SV}s0{F}");
         },
         5},
        {"send: no acknowledgement",
         [&](StubInstance& s) {
             plat::ManualClock clock;
             plat::ScopedClock scoped(&clock);
             return send(s, "s0", "{SV}s0{F}");
         },
         5},
        {"send: program not running",
         [&](StubInstance& s) {
             killProgram(s);
             return send(s, "s0", "{SV}s0{F}");
         },
         1},
        {"send: busy",
         [&](StubInstance& s) {
             holdBusy(s);
             return send(s, "s0", "{SV}s0{F}");
         },
         5},
        {"wait: unknown id", [&](StubInstance& s) { return SZelApiWaitSynchro(s.id() + 50, 10); }, 8},
        {"wait: nothing within T", [&](StubInstance& s) { return SZelApiWaitSynchro(s.id(), 20); }, 7},
        {"wait: program not running",
         [&](StubInstance& s) {
             killProgram(s);
             return SZelApiWaitSynchro(s.id(), 10);
         },
         1},
        {"wait: busy",
         [&](StubInstance& s) {
             holdBusy(s);
             return SZelApiWaitSynchro(s.id(), 10);
         },
         7},
        {"get: unknown id", [&](StubInstance& s) { return SZelApiGetMessage(s.id() + 50, service, out, &cap); }, 8},
        {"get: null service", [&](StubInstance& s) { return SZelApiGetMessage(s.id(), nullptr, out, &cap); }, 2},
        {"get: null message", [&](StubInstance& s) { return SZelApiGetMessage(s.id(), service, nullptr, &cap); }, 2},
        {"get: null capacity", [&](StubInstance& s) { return SZelApiGetMessage(s.id(), service, out, nullptr); }, 2},
        {"get: no message", [&](StubInstance& s) { return SZelApiGetMessage(s.id(), service, out, &cap); }, 7},
        {"get: too small",
         [&](StubInstance& s) {
             s.side().Write("{SV}s6{F}");
             uint32_t small = 5;
             return SZelApiGetMessage(s.id(), service, out, &small);
         },
         2},
        {"get: program not running, nothing held",
         [&](StubInstance& s) {
             s.side().Write("{SV}s6{F}");
             killProgram(s);
             return SZelApiGetMessage(s.id(), service, out, &cap);
         },
         1},
        {"get: busy",
         [&](StubInstance& s) {
             holdBusy(s);
             return SZelApiGetMessage(s.id(), service, out, &cap);
         },
         5},
        {"close: unknown id", [&](StubInstance& s) { return SZelApiClose(s.id() + 50, 0); }, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        StubInstance s(dir);
        ASSERT_EQ(s.result(), 0);
        cap = kCap;
        EXPECT_EQ(row.call(s), row.expected);
        if (auto instance = s.instance()) {
            instance->SetBusyTimeoutMs(10000);
            instance->ReleaseBusy();
        }
    }
}

TEST_F(InstanceApiTest, OpeningFailures) {
    const std::string stub = testsupport::BinPath("pos_stub");
    const std::string missing = dir.str() + "/nowhere/";
    const std::string longPath(300, 'a');
    const uint32_t pos = testsupport::UniquePosNumber();
    struct Case {
        const char* name;
        bool nullId;
        uint32_t pos;
        const char* path;
        int expected;
    };
    const Case cases[] = {
        {"POS 0", false, 0, stub.c_str(), 8},
        {"POS 1000", false, 1000, stub.c_str(), 8},
        {"null id pointer", true, pos, stub.c_str(), 1},
        {"no program in the directory", false, pos, missing.c_str(), 1},
        {"client path over 255 characters", false, pos, longPath.c_str(), 1},
    };
    const size_t before = znpdll::InstanceTable::Get().Count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t id = 77;
        const std::string logName = dir.str() + "/ECHANGES.LOG";
        EXPECT_EQ(SZelApiOpen(c.nullId ? nullptr : &id, 0, 0, 0, 1, logName.c_str(), 0, c.pos, 0, c.path, 0, 1, 0,
                              "", 0, "", 0),
                  c.expected);
        if (!c.nullId && c.pos >= 1 && c.pos <= 999) {
            EXPECT_EQ(id, 0u);
        }
        // A failed opening leaves nothing in the table.
        EXPECT_EQ(znpdll::InstanceTable::Get().Count(), before);
    }
    const std::string log0 = testsupport::ReadFileText(dir.str() + "/ZNP_DLL_x_0.LOG");
    EXPECT_NE(log0.find("ERROR - DLLOPN - Numero de caisse (1000) inacceptable"), std::string::npos);
    EXPECT_NE(log0.find("FATAL - DLLOPN - Adresse de l'identifiant d'instance inconnue"), std::string::npos);
}

// Ninety-nine instances at most; ids are the smallest free ones.
TEST_F(InstanceApiTest, NinetyNineInstancesAndSmallestFreeIds) {
    std::vector<uint32_t> ids;
    // POS numbers of their own: the stop requests of closing must not reach
    // the programs of the other tests running at the same time.
    std::vector<uint32_t> posNumbers;
    for (int i = 0; i < 100; ++i) posNumbers.push_back(testsupport::UniquePosNumber());
    for (size_t i = 0; i < 99; ++i) {
        const uint32_t pos = posNumbers[i];
        uint32_t id = 0;
        ASSERT_EQ(clienttest::OpenOnStub(pos, &id, dir.str()), 0) << pos;
        ids.push_back(id);
    }
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], i + 1);
    uint32_t id = 0;
    EXPECT_EQ(clienttest::OpenOnStub(posNumbers[99], &id, dir.str()), 8);
    EXPECT_NE(testsupport::ReadFileText(dir.str() + "/ZNP_DLL_x_0.LOG").find("Nombre maximal d'instance (99) atteint"),
              std::string::npos);
    EXPECT_EQ(SZelApiClose(2, 0), 0);
    ASSERT_EQ(clienttest::OpenOnStub(posNumbers[99], &id, dir.str()), 0);
    EXPECT_EQ(id, 2u);
    ids[1] = id;
    for (uint32_t i : ids) EXPECT_EQ(SZelApiClose(i, 0), 0);
    EXPECT_EQ(znpdll::InstanceTable::Get().Count(), 0u);
}

// Closing sends the stop request and lets the program end by itself.
TEST_F(InstanceApiTest, CloseStopsTheProgramCleanly) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    const pid_t pid = s.instance()->programPid();
    ASSERT_TRUE(plat::IsRunning(pid));
    EXPECT_EQ(s.Close(), 0);
    plat::ExitStatus status = plat::GetExitCode(pid);
    EXPECT_EQ(status.kind, plat::ExitStatus::Kind::Exited);
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(LogOf(s.pos()).find("CLIENT ARRETE"), std::string::npos);
    EXPECT_EQ(SZelApiClose(s.id(), 0), 8);
}

// A program that ignores the stop request is killed after its grace time and
// reaped (no zombie left).
TEST_F(InstanceApiTest, CloseKillsAProgramThatDoesNotStop) {
    setenv("POS_STUB_IGNORE_STOP", "1", 1);
    StubInstance s(dir, 1);
    unsetenv("POS_STUB_IGNORE_STOP");
    ASSERT_EQ(s.result(), 0);
    znpdll::ClientInstance::SetStopGraceMs(100);
    const pid_t pid = s.instance()->programPid();
    EXPECT_EQ(s.Close(), 0);
    plat::ExitStatus status = plat::GetExitCode(pid);
    EXPECT_EQ(status.kind, plat::ExitStatus::Kind::Signaled);
    EXPECT_EQ(status.code, SIGKILL);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // already reaped
}

// Closing when the program has already ended sends nothing.
TEST_F(InstanceApiTest, CloseAfterTheProgramEndedSendsNothing) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    const pid_t pid = s.instance()->programPid();
    kill(pid, SIGKILL);
    plat::WaitForExit(pid, 5000);
    EXPECT_EQ(s.Close(), 0);
    EXPECT_NE(ProgramSide::Status(s.side().fromPos()), poslink::kStatusPresent);
}

// Without the program's event the opening still succeeds after its tries,
// and waits poll the mailbox.
TEST_F(InstanceApiTest, ProgramWithoutEvent) {
    setenv("POS_STUB_NO_EVENT", "1", 1);
    const uint32_t pos = testsupport::UniquePosNumber();
    uint32_t id = 0;
    int opened;
    {
        plat::ManualClock clock;
        plat::ScopedClock scoped(&clock);
        opened = clienttest::OpenOnStub(pos, &id, dir.str());
        EXPECT_GE(clock.nowMs() - 1000000, 10000);  // 1000 tries, 10 ms apart
    }
    unsetenv("POS_STUB_NO_EVENT");
    ASSERT_EQ(opened, 0);
    ProgramSide side(pos);
    EXPECT_EQ(SZelApiWaitSynchro(id, 10), 7);
    side.Write("{SS}A{SV}s6{CD}c21{F}", false);
    EXPECT_EQ(SZelApiWaitSynchro(id, 10), 0);
    EXPECT_NE(testsupport::ReadFileText(dir.str() + "/ZNP_DLL_" + std::to_string(pos) + ".LOG").find("WARNING - UTIEVT - Creation echouee"),
              std::string::npos);
    EXPECT_EQ(SZelApiClose(id, 0), 0);
}

// Calls racing a close on another thread end cleanly with a result.
TEST_F(InstanceApiTest, CallsRacingACloseAreSafe) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    const uint32_t id = s.id();
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::thread caller([&] {
        char service[4];
        char out[kCap];
        while (!stop) {
            uint32_t cap = kCap;
            int w = SZelApiWaitSynchro(id, 1);
            int g = SZelApiGetMessage(id, service, out, &cap);
            EXPECT_TRUE(w == 7 || w == 8 || w == 1) << w;
            EXPECT_TRUE(g == 7 || g == 8 || g == 1) << g;
            calls++;
        }
    });
    while (calls < 5) std::this_thread::yield();
    EXPECT_EQ(s.Close(), 0);
    const int after = calls.load();
    while (calls < after + 3) std::this_thread::yield();
    stop = true;
    caller.join();
    EXPECT_EQ(SZelApiWaitSynchro(id, 1), 8);
}

// The program path and the log file name reach the program unchanged whatever
// blanks, quotes and backslashes they hold.
TEST(ProgramCommandLine, QuotedArgumentsSplitBackUnchanged) {
    const std::vector<std::string> texts = {"", "plain", "two words", "tab\there", "a\"b", "end\\",
                                            "end\\\\", "\\\"x", "\\server\\share dir\\", "\"\""};
    for (const std::string& t : texts) {
        const std::vector<std::string> words = plat::SplitCommandLine(znpdll::QuoteArgument(t) + " next");
        ASSERT_EQ(words.size(), 2u) << t;
        EXPECT_EQ(words[0], t);
        EXPECT_EQ(words[1], "next");
    }
}

TEST(ProgramCommandLine, ClientPathAsDirectoryOrProgramFile) {
    testsupport::TempDir dir;
    znpdll::ProgramLocation where;
    ASSERT_TRUE(znpdll::LocateProgram(dir.str().c_str(), 1, &where));
    EXPECT_EQ(where.directory, dir.str());
    EXPECT_EQ(where.path, dir.str() + "/trv_71");
    ASSERT_TRUE(znpdll::LocateProgram("/opt/pos/bin/", 1, &where));
    EXPECT_EQ(where.path, "/opt/pos/bin/trv_71");
    ASSERT_TRUE(znpdll::LocateProgram("/opt/pos/trv_71.bin", 1, &where));
    EXPECT_EQ(where.directory, "/opt/pos");
    EXPECT_EQ(where.fileName, "trv_71");
    EXPECT_EQ(where.extension, ".bin");
    EXPECT_EQ(where.path, "/opt/pos/trv_71.bin");
    EXPECT_FALSE(znpdll::LocateProgram("", 1, &where));
    EXPECT_FALSE(znpdll::LocateProgram(nullptr, 1, &where));
    EXPECT_FALSE(znpdll::LocateProgram(std::string(256, 'a').c_str(), 1, &where));
    EXPECT_TRUE(znpdll::LocateProgram(std::string(255, 'a').c_str(), 1, &where));
}

// Given a till's directory, the library starts the till's own program file
// (named after its POS number) when the directory holds one, so that tills
// made that way never share a program file name.
TEST(ProgramCommandLine, DirectoryStartsTheTillsOwnProgramFile_Mended) {
    testsupport::TempDir dir;
    std::ofstream(dir.file("trv_71_007")).put('x');
    std::ofstream(dir.file("trv_71")).put('x');
    std::filesystem::create_directory(dir.file("trv_71_009"));  // not a program file
    struct Case {
        std::string clientPath;
        uint32_t pos;
        std::string path;
    } cases[] = {
        {dir.str(), 7, dir.str() + "/trv_71_007"},
        {dir.str() + "/", 7, dir.str() + "/trv_71_007"},
        {dir.str(), 8, dir.str() + "/trv_71"},
        {dir.str(), 9, dir.str() + "/trv_71"},
        {dir.str(), 0, dir.str() + "/trv_71"},
        {dir.file("trv_71"), 7, dir.str() + "/trv_71"},  // a program file named by the application stays
    };
    for (const Case& c : cases) {
        znpdll::ProgramLocation where;
        ASSERT_TRUE(znpdll::LocateProgram(c.clientPath.c_str(), c.pos, &where)) << c.clientPath;
        EXPECT_EQ(where.path, c.path) << c.clientPath << " POS " << c.pos;
        EXPECT_EQ(where.directory, dir.str());
    }
    EXPECT_EQ(znpdll::TillProgramName(42), "trv_71_042");
}

}  // namespace

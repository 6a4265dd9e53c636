// When the program ends, or is ended, while the library waits: a close ends
// the calls in progress and does not keep other openings and closings
// waiting while its program ends; a program that dies ends the waits at
// once; an opening whose program ends before it is ready fails at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include "client/dll_log.h"
#include "client/instance.h"
#include "client/program_side.h"
#include "platform/named_mutex.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

using clienttest::PollUntil;
using clienttest::ProgramSide;
using clienttest::StubInstance;
using namespace std::chrono_literals;

constexpr uint32_t kCap = 10241;

class ProgramEndTest : public ::testing::Test {
protected:
    void SetUp() override { znpdll::ClientInstance::SetStopGraceMs(3000); }
    void TearDown() override {
        znpdll::ClientInstance::SetStopGraceMs(3000);
        znpdll::DllLogger::Get().Reset();
    }
    std::string LogOf(uint32_t pos) {
        return testsupport::ReadFileText(dir.str() + "/ZNP_DLL_" + std::to_string(pos) + ".LOG");
    }

    testsupport::TempDir dir;
};

template <typename T>
bool ReadyWithin(std::future<T>& f, std::chrono::seconds limit) {
    return f.wait_for(limit) == std::future_status::ready;
}

// A close while another thread waits ten minutes for a message: the wait ends
// with 1 and the close returns, without waiting for the wait's time-out.
TEST_F(ProgramEndTest, CloseEndsACallInProgress_Mended) {
    StubInstance s(dir);
    ASSERT_EQ(s.result(), 0);
    const uint32_t id = s.id();
    auto waiting = std::async(std::launch::async, [id] { return SZelApiWaitSynchro(id, 600000); });
    ASSERT_TRUE(PollUntil([&] { return s.side().EventWaiters() > 0; }));
    auto closing = std::async(std::launch::async, [&] { return s.Close(); });
    const bool closed = ReadyWithin(closing, 60s);
    // A library that does not end the wait gets a message to end it, so that
    // the test finishes either way.
    if (!closed) s.side().Write("{SS}A{SV}s6{CD}c20{F}");
    EXPECT_TRUE(closed);
    EXPECT_EQ(closing.get(), 0);
    EXPECT_EQ(waiting.get(), 1);
    EXPECT_NE(LogOf(s.pos()).find("ERROR - DLLWAI - Process client arrete"), std::string::npos);
}

// While a close waits for its program to end (here a program that ignores
// the stop request, with a long grace time), other instances open and close.
TEST_F(ProgramEndTest, CloseKeepsNoTableWhileItsProgramEnds_Mended) {
    setenv("POS_STUB_IGNORE_STOP", "1", 1);
    StubInstance slow(dir, 1);
    unsetenv("POS_STUB_IGNORE_STOP");
    ASSERT_EQ(slow.result(), 0);
    const pid_t slowPid = slow.instance()->programPid();
    znpdll::ClientInstance::SetStopGraceMs(120000);
    auto closingSlow = std::async(std::launch::async, [&] { return slow.Close(); });
    // The close has sent its stop request and now waits for the program.
    ASSERT_TRUE(PollUntil([&] { return LogOf(slow.pos()).find("INFO - UTIPSS - Libere") != std::string::npos; }));

    const uint32_t otherPos = testsupport::UniquePosNumber();
    auto other = std::async(std::launch::async, [&] {
        uint32_t id = 0;
        const int opened = clienttest::OpenOnStub(otherPos, &id, dir.str());
        return opened == 0 ? SZelApiClose(id, 0) * 10 : opened;
    });
    const bool otherDone = ReadyWithin(other, 60s);
    const bool slowStillClosing = !ReadyWithin(closingSlow, 0s);
    kill(slowPid, SIGKILL);  // ends the grace time
    EXPECT_TRUE(otherDone);
    EXPECT_TRUE(slowStillClosing);
    EXPECT_EQ(other.get(), 0);
    EXPECT_EQ(closingSlow.get(), 0);
}

// A program that dies while the library waits for its message or for its
// acknowledgement ends the wait at once: 1 and "Process client arrete".
TEST_F(ProgramEndTest, ProgramDeathEndsTheWaits_Mended) {
    struct Case {
        const char* name;
        uint32_t uxTimeOut;
        std::function<int(uint32_t id)> call;
        std::function<bool(ProgramSide&)> waiting;  // the call is inside its wait
        const char* line;
    };
    const Case cases[] = {
        {"message wait", 5, [](uint32_t id) { return SZelApiWaitSynchro(id, 600000); },
         [](ProgramSide& side) { return side.EventWaiters() > 0; }, "ERROR - DLLWAI - Process client arrete"},
        {"acknowledgement wait", 600,
         [](uint32_t id) {
             char message[kCap] = "{SV}s12{CD}c25{F}";
             uint32_t cap = kCap;
             return SZelApiSendMessage(id, "s12", message, &cap);
         },
         [](ProgramSide& side) { return ProgramSide::Status(side.fromPos()) == poslink::kStatusPresent; },
         "ERROR - DLLSND - Process client arrete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StubInstance s(dir, c.uxTimeOut);
        ASSERT_EQ(s.result(), 0);
        const uint32_t id = s.id();
        auto call = std::async(std::launch::async, [&] { return c.call(id); });
        ASSERT_TRUE(PollUntil([&] { return c.waiting(s.side()); }));
        kill(s.instance()->programPid(), SIGKILL);
        const bool ended = ReadyWithin(call, 60s);
        // A library that does not notice gets what it waits for.
        if (!ended) s.side().Write(c.uxTimeOut > 5 ? "0" : "{SS}A{SV}s6{CD}c20{F}");
        EXPECT_TRUE(ended);
        EXPECT_EQ(call.get(), 1);
        EXPECT_NE(LogOf(s.pos()).find(c.line), std::string::npos);
    }
}

// A program that cannot start, or ends before it created its message event
// (no configuration, or not a program of ours): the opening fails at once
// with 1, and the log names the program and why: the system's error, or how
// it ended and, for a session that could not open, where to look.
TEST_F(ProgramEndTest, OpeningWhoseProgramEndsAtOnceFails_Mended) {
    // trv_71 under a name of its own in a directory without configuration.
    const std::string name = "trv_71_unconfigured_" + std::to_string(getpid());
    const std::string unconfigured = dir.file(name);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), unconfigured);
    // A file that is not executable.
    const std::string notExecutable = dir.file("trv_71_not_executable");
    { std::ofstream(notExecutable) << "#!/bin/sh\n"; }
    ::chmod(notExecutable.c_str(), 0600);
    struct Case {
        const char* name;
        std::string program;
        const char* line;
        std::string what;
    };
    const Case cases[] = {
        {"program that fails", "/bin/false", "ERROR - DLLOPN - Process client arrete au demarrage", "code de sortie 1"},
        {"trv_71 without configuration", unconfigured, "ERROR - DLLOPN - Process client arrete au demarrage",
         "code de sortie 255 - ouverture de session impossible: configuration absente ou illisible dans " + dir.str()},
        {"program file that does not exist", dir.str() + "/no-such-dir/trv_71_none",
         "ERROR - UTIPSS - Creation echouee", std::string(": ") + std::strerror(ENOENT)},
        {"program file that is not executable", notExecutable, "ERROR - UTIPSS - Creation echouee",
         std::string(": ") + std::strerror(EACCES)},
    };
    const size_t before = znpdll::InstanceTable::Get().Count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t pos = testsupport::UniquePosNumber();
        uint32_t id = 77;
        EXPECT_EQ(clienttest::OpenOnStub(pos, &id, dir.str(), 5, c.program), 1);
        EXPECT_EQ(id, 0u);
        EXPECT_EQ(znpdll::InstanceTable::Get().Count(), before);
        const std::string log = LogOf(pos);
        const size_t line = log.find(c.line);
        ASSERT_NE(line, std::string::npos) << log;
        const std::string text = log.substr(line, log.find('\r', line) - line);
        EXPECT_NE(text.find(c.program), std::string::npos) << text;
        EXPECT_NE(text.find(c.what), std::string::npos) << text;
        EXPECT_EQ(log.find("CLIENT DEMARRE"), std::string::npos);
        // The banner names the library's version.
        EXPECT_NE(log.find(std::string("##### ZNP_DLL x86 Version ") + ZNP_DLL_VERSION + " ####"), std::string::npos);
    }
    plat::NamedMutex::Unlink("$$_" + name);  // the program's single-instance lock
}

}  // namespace

// End to end: a cash-register host loads libznp_dll.so with dlopen, opens an
// instance (which starts trv_71), sends requests, waits for and takes the
// answer, reads it with the tag exports and closes; two instances side by side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "support/config_tree.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"
#include "support/znp_dll_loader.h"

namespace {

using testsupport::ZnpDll;

ZnpDll& Dll() {
    static ZnpDll dll;
    static bool loaded = dll.Load();
    EXPECT_TRUE(loaded) << dll.error;
    return dll;
}

constexpr uint32_t kCap = 10241;

// Children of this process running a given program file name.
std::vector<pid_t> ChildrenNamed(const std::string& name) {
    std::vector<pid_t> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string text;
        try {
            std::ifstream stat(entry.path() / "stat");
            text.assign(std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            continue;  // the process ended while its status was read
        }
        const size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        const std::string comm = text.substr(text.find('(') + 1, close - text.find('(') - 1);
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (ppid == getpid() && comm == name) out.push_back(std::stoi(pid));
    }
    return out;
}

// Sends one request built with the tag exports; the result of the send.
int SendRequest(uint32_t id, const char* sv, const char* cd, char* message) {
    ZnpDll& dll = Dll();
    EXPECT_EQ(dll.WriteInit(id, message, kCap), 1);
    EXPECT_EQ(dll.SetStringVal(id, "SV", sv), 1);
    if (cd) {
        EXPECT_EQ(dll.SetStringVal(id, "CD", cd), 1);
    }
    const uint32_t cap = kCap;
    return dll.Send(id, sv, message, &cap);
}

// Waits for the answer and takes it; the result of the take.
int TakeAnswer(uint32_t id, char* service, char* answer) {
    ZnpDll& dll = Dll();
    int waited = 7;
    for (int i = 0; i < 300 && waited == 7; ++i) waited = dll.Wait(id, 100);
    EXPECT_EQ(waited, 0);
    uint32_t cap = kCap;
    return dll.Get(id, service, answer, &cap);
}

TEST(Trv71EndToEndTest, RequestsThroughTheLibraryToTheProgram) {
    ZnpDll& dll = Dll();
    ASSERT_NE(dll.handle, nullptr);
    // The program runs in a directory holding the example configuration.
    testsupport::ConfigTree dir;
    ASSERT_TRUE(dir.ok());
    const std::string logName = dir.file("ECHANGES.LOG");
    // A program file name of our own: a starting program ends any running
    // program of the same file name.
    const std::string name = "trv_71_e2e_" + std::to_string(testsupport::UniquePosNumber());
    const std::string program = dir.file(name);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
    uint32_t id = 0;
    ASSERT_EQ(dll.OpenStation(&id, 1, program, logName), 0);
    ASSERT_NE(id, 0u);
    const std::vector<pid_t> programs = ChildrenNamed(name);
    ASSERT_EQ(programs.size(), 1u);

    std::vector<char> message(kCap);
    // Abort while nothing runs: acknowledgement 1.
    EXPECT_EQ(SendRequest(id, "s3", "c0", message.data()), 1);
    EXPECT_STREQ(message.data(), "{SV}s3{CD}c0{SS}R{PS}1{F}");
    // A request without CD is refused by the program: 5.
    EXPECT_EQ(SendRequest(id, "s12", nullptr, message.data()), 5);
    // A served request: taken (0), then its answer.
    ASSERT_EQ(SendRequest(id, "s12", "c25", message.data()), 0);
    EXPECT_STREQ(message.data(), "{SV}s12{CD}c25{SS}R{PS}1{F}");
    char service[4] = {};
    std::vector<char> answer(kCap);
    ASSERT_EQ(TakeAnswer(id, service, answer.data()), 0);
    EXPECT_STREQ(service, "s12");
    ASSERT_EQ(dll.DefaultReadInit(answer.data(), kCap), 1);
    char value[64];
    ASSERT_EQ(dll.DefaultGetStringVal("SS", value, 1), 1);
    EXPECT_STREQ(value, "A");
    ASSERT_EQ(dll.DefaultGetStringVal("RS", value, 1), 1);
    EXPECT_STREQ(value, "01");
    ASSERT_EQ(dll.DefaultGetStringVal("CD", value, 1), 1);
    EXPECT_STREQ(value, "c25");

    EXPECT_EQ(dll.Close(id, 0), 0);
    // The program has ended (and was reaped by the library).
    EXPECT_TRUE(ChildrenNamed(name).empty());
    struct stat st {};
    EXPECT_NE(stat(("/proc/" + std::to_string(programs[0])).c_str(), &st), 0);
    // Nothing of station 1 is left to replay.
    plat::SharedMemory block;
    if (block.Open("SHTPIPE1", 0, plat::SharedMemory::Mode::OpenOnly) == plat::ShmError::None) {
        const char* base = static_cast<const char*>(block.data());
        EXPECT_NE(base[poslink::kToPosMailbox], poslink::kStatusPresent);
        EXPECT_NE(base[poslink::kFromPosMailbox], poslink::kStatusPresent);
    }
    const std::string log = [&] {
        std::ifstream f(dir.file("ZNP_DLL_1.LOG"));
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }();
    EXPECT_NE(log.find("CLIENT DEMARRE"), std::string::npos);
    EXPECT_NE(log.find("Acquittee: 0"), std::string::npos);
    EXPECT_NE(log.find("CLIENT ARRETE"), std::string::npos);
}

// Two POS numbers side by side need program files of different names: each
// start of a program file ends the running process of the same name.
TEST(Trv71EndToEndTest, TwoInstancesSideBySide) {
    ZnpDll& dll = Dll();
    ASSERT_NE(dll.handle, nullptr);
    testsupport::ConfigTree dir;
    ASSERT_TRUE(dir.ok());
    const std::string logName = dir.file("ECHANGES.LOG");
    uint32_t a = 0, b = 0;
    const uint32_t posA = testsupport::UniquePosNumber();
    const uint32_t posB = testsupport::UniquePosNumber();
    const std::string nameA = "trv_71_a" + std::to_string(posA);
    const std::string nameB = "trv_71_b" + std::to_string(posB);
    const std::string programA = dir.file(nameA);
    const std::string programB = dir.file(nameB);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), programA);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), programB);
    ASSERT_EQ(dll.OpenStation(&a, posA, programA, logName), 0);
    ASSERT_EQ(dll.OpenStation(&b, posB, programB, logName), 0);
    EXPECT_EQ(ChildrenNamed(nameA).size(), 1u);
    EXPECT_EQ(ChildrenNamed(nameB).size(), 1u);

    std::vector<char> ma(kCap), mb(kCap);
    ASSERT_EQ(SendRequest(a, "s12", "c25", ma.data()), 0);
    ASSERT_EQ(SendRequest(b, "s12", "c25", mb.data()), 0);
    char service[4];
    std::vector<char> answer(kCap);
    for (auto [id, ps] : {std::pair{b, std::to_string(posB)}, std::pair{a, std::to_string(posA)}}) {
        ASSERT_EQ(TakeAnswer(id, service, answer.data()), 0);
        ASSERT_EQ(dll.ReadInit(id, answer.data(), kCap), 1);
        char value[16];
        ASSERT_EQ(dll.GetStringVal(id, "PS", value, 1), 1);
        EXPECT_EQ(std::string(value), ps);
        ASSERT_EQ(dll.GetStringVal(id, "RS", value, 1), 1);
        EXPECT_STREQ(value, "01");
    }
    EXPECT_EQ(dll.Close(a, 0), 0);
    EXPECT_EQ(dll.Close(b, 0), 0);
    EXPECT_TRUE(ChildrenNamed(nameA).empty());
    EXPECT_TRUE(ChildrenNamed(nameB).empty());
}

}  // namespace

namespace {

// Entries of /dev/shm of a POS number (its block and events) or of a
// program file name.
std::vector<std::string> ShmEntriesOf(uint32_t pos, const std::string& program) {
    char padded[16];
    std::snprintf(padded, sizeof padded, "%03u", pos);
    const std::string prefixes[] = {poslink::BlockName(static_cast<int>(pos)), std::string("TALVO") + padded,
                                    std::string("TRVOK") + padded};
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        bool ours = name.find(program) != std::string::npos;
        for (const std::string& prefix : prefixes) ours = ours || name == prefix || name.starts_with(prefix + ".");
        if (ours) found.push_back(name);
    }
    return found;
}

std::string FileText(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

// Two tills whose programs share a file name: opening the second ends the
// first till's program (the single-instance guard). The ended program says
// so in its trace with the newer program's process id and gives up its named
// objects; the first till's call that was waiting returns 1 at once.
TEST(Trv71EndToEndTest, NewerProgramOfTheSameNameEndsTheOlderInOrder_Mended) {
    ZnpDll& dll = Dll();
    ASSERT_NE(dll.handle, nullptr);
    testsupport::ConfigTree dirA, dirB;
    ASSERT_TRUE(dirA.ok() && dirB.ok());
    std::filesystem::create_directory(dirA.file("WOut"));
    std::filesystem::create_directory(dirB.file("WOut"));
    const uint32_t posA = testsupport::UniquePosNumber();
    const uint32_t posB = testsupport::UniquePosNumber();
    const std::string name = "trv_71_same_" + std::to_string(posA);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), dirA.file(name));
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), dirB.file(name));
    uint32_t a = 0, b = 0;
    std::future<int> waiting;  // ended by the close below when the test fails first
    // A failing run still closes its tills and removes what they left.
    struct Leftovers {
        ZnpDll& dll;
        uint32_t& a;
        uint32_t& b;
        uint32_t posA, posB;
        std::string name;
        ~Leftovers() {
            if (a != 0) dll.Close(a, 0);
            if (b != 0) dll.Close(b, 0);
            for (uint32_t pos : {posA, posB})
                for (const std::string& entry : ShmEntriesOf(pos, name)) unlink(("/dev/shm/" + entry).c_str());
        }
    } leftovers{dll, a, b, posA, posB, name};
    ASSERT_EQ(dll.OpenStation(&a, posA, dirA.file(name), dirA.file("znp.log")), 0);
    const std::vector<pid_t> older = ChildrenNamed(name);
    ASSERT_EQ(older.size(), 1u);

    // Till A's application waits ten minutes for a message of its program.
    waiting = std::async(std::launch::async, [&dll, id = a] { return dll.Wait(id, 600000); });
    {
        char event[32];
        std::snprintf(event, sizeof event, "TALVO%03u", posA);
        plat::NamedEvent talvo;
        ASSERT_EQ(talvo.OpenExisting(event), 0);
        const int64_t end = plat::MonotonicMs() + 10000;
        while (talvo.waiters() < 1 && plat::MonotonicMs() < end) usleep(1000);
        ASSERT_GE(talvo.waiters(), 1);
    }

    // The library's logs are the process's: both tills log into A's directory.
    ASSERT_EQ(dll.OpenStation(&b, posB, dirB.file(name), dirA.file("znp.log")), 0);
    const bool ended = waiting.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!ended) {
        dll.Close(a, 0);  // ends the wait, so that the test finishes
        a = 0;
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ(waiting.get(), 1);
    EXPECT_NE(FileText(dirA.file("ZNP_DLL_" + std::to_string(posA) + ".LOG")).find("Process client arrete"),
              std::string::npos);
    pid_t newer = 0;
    for (pid_t pid : ChildrenNamed(name))
        if (pid != older[0]) newer = pid;
    ASSERT_GT(newer, 0);

    char trace[32];
    std::snprintf(trace, sizeof trace, "WOut/CA%03u000.SPO", posA);
    const std::string text = FileText(dirA.file(trace));
    EXPECT_NE(text.find(">>>>> Arret demande par une nouvelle instance du programme (processus " +
                        std::to_string(newer) + "): arret du client monetique"),
              std::string::npos)
        << text;
    // The ended program's ready event is gone; its block and message event
    // stay while till A's application has them open.
    char ready[32];
    std::snprintf(ready, sizeof ready, "TRVOK%03u.event", posA);
    for (const std::string& entry : ShmEntriesOf(posA, "<none>")) EXPECT_NE(entry.rfind(ready, 0), 0u) << entry;
    EXPECT_EQ(dll.Close(a, 0), 0);
    a = 0;
    EXPECT_EQ(ShmEntriesOf(posA, name), (std::vector<std::string>{"##_" + name, "##_" + name + ".users",
                                                                  "$$_" + name + ".mutex"}))
        << "only the newer program's guard remains";

    // Till B is served, then closed: nothing of either till is left.
    std::vector<char> message(kCap);
    EXPECT_EQ(SendRequest(b, "s3", "c0", message.data()), 1);
    EXPECT_EQ(dll.Close(b, 0), 0);
    b = 0;
    EXPECT_EQ(ShmEntriesOf(posA, name), std::vector<std::string>{});
    EXPECT_EQ(ShmEntriesOf(posB, name), std::vector<std::string>{});
}

// End to end: a cash-register host loads libznp_dll.so with dlopen, opens an
// instance (which starts trv_71), sends requests, waits for and takes the
// answer, reads it with the tag exports and closes; two instances side by side.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"

namespace {

// The library as an application sees it: a handle and its exports.
struct ZnpDll {
    void* handle = nullptr;
    int (*Open)(uint32_t*, uint32_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, uint32_t, uint32_t,
                const char*, uint32_t, uint32_t, uint32_t, const char*, uint32_t, const char*, uint32_t) = nullptr;
    int (*Close)(uint32_t, uint32_t) = nullptr;
    int (*Send)(uint32_t, const char*, char*, const uint32_t*) = nullptr;
    int (*Wait)(uint32_t, uint32_t) = nullptr;
    int (*Get)(uint32_t, char*, char*, uint32_t*) = nullptr;
    int (*WriteInit)(uint32_t, char*, uint32_t) = nullptr;
    int (*SetStringVal)(uint32_t, const char*, const char*) = nullptr;
    int (*ReadInit)(uint32_t, const char*, uint32_t) = nullptr;
    int (*GetStringVal)(uint32_t, const char*, char*, int32_t) = nullptr;
    int (*DefaultReadInit)(const char*, uint32_t) = nullptr;
    int (*DefaultGetStringVal)(const char*, char*, int32_t) = nullptr;

    template <typename F>
    void Bind(F*& f, const char* name) {
        f = reinterpret_cast<F*>(dlsym(handle, name));
    }
    bool Load() {
        handle = dlopen(testsupport::BinPath("../lib/libznp_dll.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return false;
        Bind(Open, "SZelApiOpen");
        Bind(Close, "SZelApiClose");
        Bind(Send, "SZelApiSendMessage");
        Bind(Wait, "SZelApiWaitSynchro");
        Bind(Get, "SZelApiGetMessage");
        Bind(WriteInit, "ATAG_WriteInitForInstance");
        Bind(SetStringVal, "ATAG_SetStringValForInstance");
        Bind(ReadInit, "ATAG_ReadInitForInstance");
        Bind(GetStringVal, "ATAG_GetStringValForInstance");
        Bind(DefaultReadInit, "ATAG_ReadInit");
        Bind(DefaultGetStringVal, "ATAG_GetStringVal");
        return Open && Close && Send && Wait && Get && WriteInit && SetStringVal && ReadInit && GetStringVal &&
               DefaultReadInit && DefaultGetStringVal;
    }
};

ZnpDll& Dll() {
    static ZnpDll dll;
    static bool loaded = dll.Load();
    EXPECT_TRUE(loaded) << dlerror();
    return dll;
}

constexpr uint32_t kCap = 10241;

// Children of this process running a given program file name.
std::vector<pid_t> ChildrenNamed(const std::string& name) {
    std::vector<pid_t> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
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
    const std::string program = dir.file("trv_71");
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
    uint32_t id = 0;
    ASSERT_EQ(dll.Open(&id, 0, 0, 0, 1, logName.c_str(), 0, 1, 0, program.c_str(), 0, 0, 0, "", 0, "", 0), 0);
    ASSERT_NE(id, 0u);
    const std::vector<pid_t> programs = ChildrenNamed("trv_71");
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
    EXPECT_TRUE(ChildrenNamed("trv_71").empty());
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
    const std::string programA = dir.file("trv_71_a");
    const std::string programB = dir.file("trv_71_b");
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), programA);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), programB);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(dll.Open(&a, 0, 0, 0, 1, logName.c_str(), 0, 21, 0, programA.c_str(), 0, 0, 0, "", 0, "", 0), 0);
    ASSERT_EQ(dll.Open(&b, 0, 0, 0, 1, logName.c_str(), 0, 22, 0, programB.c_str(), 0, 0, 0, "", 0, "", 0), 0);
    EXPECT_EQ(ChildrenNamed("trv_71_a").size(), 1u);
    EXPECT_EQ(ChildrenNamed("trv_71_b").size(), 1u);

    std::vector<char> ma(kCap), mb(kCap);
    ASSERT_EQ(SendRequest(a, "s12", "c25", ma.data()), 0);
    ASSERT_EQ(SendRequest(b, "s12", "c25", mb.data()), 0);
    char service[4];
    std::vector<char> answer(kCap);
    for (auto [id, ps] : {std::pair{b, "22"}, std::pair{a, "21"}}) {
        ASSERT_EQ(TakeAnswer(id, service, answer.data()), 0);
        ASSERT_EQ(dll.ReadInit(id, answer.data(), kCap), 1);
        char value[16];
        ASSERT_EQ(dll.GetStringVal(id, "PS", value, 1), 1);
        EXPECT_STREQ(value, ps);
        ASSERT_EQ(dll.GetStringVal(id, "RS", value, 1), 1);
        EXPECT_STREQ(value, "01");
    }
    EXPECT_EQ(dll.Close(a, 0), 0);
    EXPECT_EQ(dll.Close(b, 0), 0);
    EXPECT_TRUE(ChildrenNamed("trv_71_a").empty());
    EXPECT_TRUE(ChildrenNamed("trv_71_b").empty());
}

}  // namespace

// Communication resources: the table, creation from configuration files
// with their defaults and clamps, searches, locks between two processes,
// configuration updates with a fresh signature record, and the entry points
// with their trace records.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "core/param_file.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "support/com_fixture.h"
#include "platform/fork_child.h"
#include "support/serial_fake.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::ComTable;
using testsupport::ReadTraceRecords;
using testsupport::TempDir;
using testsupport::TraceCapture;
using testsupport::TraceRecord;
using testsupport::WriteSignedFile;

std::string ReadAll(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    std::string out;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

}  // namespace

TEST(ComTableTest, GroupsOfTheStationTable) {
    ComTable table(2, 0, 0, 0, 1);
    ASSERT_EQ(table.created, 1);
    ComCtx* c = WCOM_GetContext();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->count, 3);
    const int firsts[5] = {0, -1, -1, -1, 2};
    const int numbers[5] = {2, 0, 0, 0, 1};
    for (int g = 0; g < 5; ++g) {
        EXPECT_EQ(c->groups[g].first, firsts[g]) << g;
        EXPECT_EQ(c->groups[g].number, numbers[g]) << g;
    }
    char base[32];
    std::snprintf(base, sizeof base, "KT_SEM_COM_%03d", table.id);
    EXPECT_STREQ(c->mutexBase, base);
    EXPECT_STREQ(c->signature, "Talvo Technologies.");
    const int types[3] = {WCOM_TYPE_SERIAL, WCOM_TYPE_SERIAL, WCOM_TYPE_CONNECTED};
    for (int i = 0; i < 3; ++i) {
        ComResource* r = WCOM_GetResourceByNum(i);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->type, types[i]);
        EXPECT_EQ(r->connectionType, -1);
        EXPECT_EQ(r->handle, -1);
        EXPECT_EQ(r->ownerPid, -1);
        EXPECT_EQ(std::string(r->ids[0], 10), std::string(10, ' '));
    }
    EXPECT_EQ(WCOM_GetResourceByNum(3), nullptr);
    EXPECT_EQ(WCOM_IsSerialResource(1), 1);
    EXPECT_EQ(WCOM_IsSerialResource(2), 0);

    TraceCapture trace;
    EXPECT_GE(WCOM_CreateResource(1, "", "", ""), 0);
    EXPECT_GE(WCOM_CreateResource(1, "", "", ""), 0);
    EXPECT_EQ(WCOM_CreateResource(1, "", "", ""), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WCOM_CreateResource : Pas Assez de Resource de type 1 "));
}

// Each configuration read into the resource's line and transmit settings.
TEST(ComTableTest, ConfigurationKeysDefaultsAndClamps) {
    struct Case {
        std::vector<std::string> lines;
        int speed, parity, stop, length, txSize, txDelay, directMode;
        int reloadSpeed;  // speed after a reload of the same file
    };
    const Case cases[] = {
        {{"[Vpsl:4018]"}, 4, 0, 1, 8, 4096, 0, 0, 4},
        {{"[Vpsl:40181]"}, 4, 0, 1, 8, 4096, 0, 0, 4},
        {{"[Vpsl:52271]"}, 4, 0, 1, 8, 4096, 0, 0, 5},
        {{"[Vpsl:5]"}, 4, 0, 1, 8, 4096, 0, 0, 4},
        {{"[Vpsl:6217]", "[Tx_size:600]"}, 6, 2, 1, 7, 512, 0, 0, 6},
        {{"[Tx_size:-1]"}, 4, 0, 1, 8, 512, 0, 0, 4},
        {{"[Tx_size:0]"}, 4, 0, 1, 8, 0, 0, 0, 4},
        {{"[Tx_size:]"}, 4, 0, 1, 8, 4096, 0, 0, 4},
        {{"[Tx_delay:-3]", "[DirectMode:1]"}, 4, 0, 1, 8, 4096, 0, 1, 4},
        {{"[Tx_delay:205]"}, 4, 0, 1, 8, 4096, 205, 0, 4},
    };
    for (const Case& c : cases) {
        ComTable table;
        TempDir dir;
        WriteSignedFile(dir.file("line.cfg"), c.lines);
        const int n = WCOM_CreateResource(1, "", dir.file("line.cfg").c_str(), "");
        ASSERT_EQ(n, 0);
        const ComResource* r = WCOM_GetResourceByNum(n);
        const std::string what = c.lines[0];
        EXPECT_EQ(r->vpslSpeed, c.speed) << what;
        EXPECT_EQ(r->vpslParity, c.parity) << what;
        EXPECT_EQ(r->vpslStop, c.stop) << what;
        EXPECT_EQ(r->vpslLength, c.length) << what;
        EXPECT_EQ(r->txSize, c.txSize) << what;
        EXPECT_EQ(r->txDelay, c.txDelay) << what;
        EXPECT_EQ(r->directMode, c.directMode) << what;
        EXPECT_EQ(r->lockState, -1);
        EXPECT_EQ(r->connectionType, 0);
        EXPECT_EQ(WCOM_ReloadResourceConfig(n), 1);
        EXPECT_EQ(r->vpslSpeed, c.reloadSpeed) << what;
    }
}

TEST(ComTableTest, FileNamesTakeTheirExtensions) {
    ComTable table;
    TraceCapture trace;
    const int n = WCOM_CreateResource(1, "COM1   ", "pinpad", "scripts/modem");
    const ComResource* r = WCOM_GetResourceByNum(n);
    EXPECT_STREQ(r->traceFile, "COM1.log");
    EXPECT_STREQ(r->configFile, "pinpad.cfg");
    EXPECT_STREQ(r->scriptFile, "scripts/modem.cfg");
    const int m = WCOM_CreateResource(1, ".trace", "./conf/line.txt", "");
    r = WCOM_GetResourceByNum(m);
    EXPECT_STREQ(r->traceFile, ".trace.log");
    EXPECT_STREQ(r->configFile, "./conf/line.txt");
    EXPECT_STREQ(r->scriptFile, "");
    EXPECT_FALSE(trace.Contains("Chemin vers FPCfg trop long"));
}

// Names given to a resource never run past its 79-character fields.
TEST(ComTableTest, OverLongNamesAreRefused_Mended) {
    ComTable table;
    TraceCapture trace;
    const std::string name75(75, 'a');
    const int n = WCOM_CreateResource(1, name75.c_str(), name75.c_str(), name75.c_str());
    ASSERT_EQ(n, 0);
    const ComResource* r = WCOM_GetResourceByNum(n);
    EXPECT_STREQ(r->configFile, "");
    EXPECT_STREQ(r->traceFile, "");
    EXPECT_TRUE(trace.Contains("** INFO. ** Chemin vers FPCfg trop long 75 "));

    const std::string name79(79, 'b');
    const std::string name80(80, 'c');
    EXPECT_EQ(WCOM_SetResourceFile(n, 1, name79.c_str()), 1);
    EXPECT_EQ(std::string(r->configFile), name79);
    EXPECT_EQ(WCOM_SetResourceFile(n, 1, name80.c_str()), -1);
    EXPECT_EQ(std::string(r->configFile), name79);
    EXPECT_EQ(WCOM_SetResourceFile(n, 3, "trace.bin   "), 1);
    EXPECT_STREQ(r->traceFile, "trace.bin");
    EXPECT_EQ(WCOM_SetResourceFile(n, 4, "x"), -1);
    EXPECT_EQ(WCOM_SetResourceFile(7, 1, "x"), -3);
}

TEST(ComTableTest, MediaAdapterAndResultsWithoutATable) {
    ComTable table;
    ASSERT_EQ(WCOM_CreateResource(1, "", "", ""), 0);
    EXPECT_EQ(WCOM_SetResourceConnType(0, 22), 1);
    EXPECT_EQ(WCOM_GetResourceMedia(0), 20);
    EXPECT_EQ(WCOM_GetResourceAdapter(0), 2);
    EXPECT_EQ(WCOM_SetResourceConnType(9, 22), -3);
    EXPECT_EQ(WCOM_GetResourceMedia(9), -1);
    EXPECT_EQ(WCOM_SetPadDoubleFF(0, 1), 1);
    EXPECT_EQ(WCOM_GetPadDoubleFF(0), 1);
    EXPECT_EQ(WCOM_FreeResource(0), 1);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->lockState, -1);
}

TEST(ComTableTest, SearchesTakeFreeEntriesMatchesAndRandomPicks) {
    ComTable table(4, 0, 0, 0, 2);
    // Connection type -1 finds entries no resource took; taking one claims it.
    EXPECT_EQ(WCOM_FindResource(0, 1, 1, -1, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->lockState, 1);
    EXPECT_EQ(WCOM_FindResource(1, 1, 1, -1, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), 1);
    for (int i = 0; i < 4; ++i) WCOM_GetResourceByNum(i)->connectionType = i == 0 ? 11 : 22;

    EXPECT_EQ(WCOM_FindResource(0, 0, 1, 22, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), 1);
    EXPECT_EQ(WCOM_FindResource(1, 0, 1, 22, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), 2);
    EXPECT_EQ(WCOM_FindResource(1, 0, 1, 22, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), 3);
    EXPECT_EQ(WCOM_FindResource(1, 0, 1, 22, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(WCOM_FindResource(0, 0, 1, 33, 0, nullptr, nullptr, nullptr, nullptr, 0, 0), -1);
    // An owner key claims its entries for itself.
    EXPECT_EQ(WCOM_FindResource(0, 0, 1, 11, 0, nullptr, nullptr, nullptr, nullptr, 0, 77), 0);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->ownerKey, 77);
    EXPECT_EQ(WCOM_FindResource(0, 0, 1, 11, 0, nullptr, nullptr, nullptr, nullptr, 0, 78), -1);
    // Ids against the blank ids of the entries: exact, then with blanks as wildcards.
    EXPECT_EQ(WCOM_FindResource(0, 0, 1, 22, 0, "ABC", nullptr, nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(WCOM_FindResource(0, 1, 1, 22, 0, "ABC", nullptr, nullptr, nullptr, 0, 0), 1);

    // A random pick among three matches: (seconds since 1970) modulo 3.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const long long before = plat::RealtimeMs() / 1000;
        const int found = WCOM_FindResource(0, 0, 1, 22, 0, nullptr, nullptr, nullptr, nullptr, 1, 0);
        const long long after = plat::RealtimeMs() / 1000;
        if (before != after) continue;
        EXPECT_EQ(found, 1 + static_cast<int>(before % 3));
        break;
    }
}

// The lock lives in /dev/shm under the program's prefix, the table's id and
// the resource's number: "SHKT_SEM_COM_<id><nn>.mutex", never under a name
// that begins with "(null)".
TEST(ComTableTest, LockTwiceWaitsOnceAndUnlockReleases_Mended) {
    ComTable table;
    ASSERT_EQ(WCOM_CreateResource(1, "", "", ""), 0);
    const int handle = WCOM_LockResource(0);
    ASSERT_GT(handle, 0);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->lockState, 2);
    char lockFile[64];
    std::snprintf(lockFile, sizeof lockFile, "/dev/shm/SHKT_SEM_COM_%03d00.mutex", table.id);
    EXPECT_TRUE(std::filesystem::exists(lockFile)) << lockFile;
    EXPECT_EQ(testsupport::ComMutexName(table.id, 0) + ".mutex", lockFile + 9);
    char nullName[64];
    std::snprintf(nullName, sizeof nullName, "/dev/shm/(null)KT_SEM_COM_%03d00.mutex", table.id);
    EXPECT_FALSE(std::filesystem::exists(nullName));
    EXPECT_EQ(WCOM_LockResource(0), handle);
    EXPECT_EQ(WCOM_UnlockResource(0), 1);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->lockState, -1);
    EXPECT_EQ(WCOM_LockResource(9), -3);
    EXPECT_EQ(WCOM_UnlockResource(9), -3);
    EXPECT_EQ(WCOM_UnlockResource(-1), -1);
}

// Two processes with tables of the same id exclude each other on a resource;
// a resource the other process keeps fails the lock after a bounded wait
// instead of freezing the caller; one left locked by a process that died is
// taken over.
TEST(ComLockTest, TwoProcessesExcludeEachOtherWithABoundedWait_Mended) {
    ComTable table;
    ASSERT_EQ(WCOM_CreateResource(1, "", "", ""), 0);
    const int id = table.id;
    testsupport::ForkedChild child([id](testsupport::Channel& ch) {
        if (WCOM_CreateContext(id, 2, 0, 0, 0, 1) != 1 || WCOM_CreateResource(1, "", "", "") != 0) return 1;
        for (;;) {
            const char order = ch.receive(60000);
            if (order == 'L' && WCOM_LockResource(0) > 0) ch.send('l');
            else if (order == 'U' && WCOM_UnlockResource(0) == 1) ch.send('u');
            else return 2;
        }
    });
    ASSERT_TRUE(child.started());
    child.send('L');
    ASSERT_EQ(child.receive(), 'l');
    {
        plat::ManualClock clock;
        plat::ScopedClock scoped(&clock);
        TraceCapture trace;
        const int64_t start = clock.nowMs();
        EXPECT_EQ(WCOM_LockResource(0), -1);
        EXPECT_GE(clock.nowMs() - start, WCOM_LOCK_WAIT_MS);
        EXPECT_TRUE(trace.Contains("WCOM_LockResource : ressource 0 occupee"));
        EXPECT_NE(WCOM_GetResourceByNum(0)->lockState, 2);
    }
    child.send('U');
    ASSERT_EQ(child.receive(), 'u');
    EXPECT_GT(WCOM_LockResource(0), 0);
    EXPECT_EQ(WCOM_UnlockResource(0), 1);

    child.send('L');
    ASSERT_EQ(child.receive(), 'l');
    child.killAndWait();
    EXPECT_GT(WCOM_LockResource(0), 0);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->lockState, 2);
}

TEST(ComConfigTest, UpdateRewritesKeysUnderAValidSignature) {
    ComTable table;
    TempDir dir;
    const std::string path = dir.file("ip.cfg");
    WriteSignedFile(path, {"[Host1:old.example]", "[Service1:1000]", "[Vpsl:4018]"});
    ASSERT_EQ(WCOM_CreateResource(1, "", path.c_str(), ""), 0);
    ASSERT_EQ(WCOM_UpdatePhysicalConfig(0, {{"Host1", "10.1.2.3"}, {"Service2", "2000"}}), 1);

    KTDK_FILE* file = FILE_NewFile(path.c_str());
    ASSERT_GT(FILE_OpenReadClose(file), 0);
    EXPECT_EQ(FILE_GetRecordSignat(file), 1);
    const std::string text(file->content, static_cast<size_t>(file->length));
    EXPECT_NE(text.find("[Host1:10.1.2.3]\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Service2:2000]\r\n"), std::string::npos);
    EXPECT_EQ(text.find("old.example"), std::string::npos);
    EXPECT_EQ(text.find(FILE_SIGNATURE_MARKER), std::string::npos);  // the one record was taken off above
    FILE_FreeFile(file);
    const std::string all = ReadAll(path);
    EXPECT_EQ(all.find(FILE_SIGNATURE_MARKER), all.rfind(FILE_SIGNATURE_MARKER));

    // A missing configuration is nothing to update.
    ASSERT_EQ(WCOM_CreateResource(1, "", dir.file("none.cfg").c_str(), ""), 1);
    EXPECT_EQ(WCOM_UpdatePhysicalConfig(1, {{"Host1", "x"}}), -1);
    EXPECT_EQ(WCOM_UpdatePhysicalConfig(9, {{"Host1", "x"}}), -1);
}

TEST(ComConfigTest, ASignatureWithoutItsLineEndStaysAndANewOneFollows) {
    ComTable table;
    TempDir dir;
    const std::string path = dir.file("cut.cfg");
    const std::string body = "[Vpsl:4018]\r\n{(C)Talvo_Technologies__File_System:abcd}";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
    ASSERT_EQ(WCOM_CreateResource(1, "", path.c_str(), ""), 0);
    TraceCapture trace;
    EXPECT_EQ(WCOM_UpdatePhysicalConfig(0, {{"Tx_size", "64"}}), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Fichier de configuration : Fin de signature non trouvee (manque un saut "
                               "de ligne final ?)"));
    const std::string all = ReadAll(path);
    EXPECT_NE(all.find("{(C)Talvo_Technologies__File_System:abcd}"), std::string::npos);
    EXPECT_NE(all.find("[Tx_size:64]\r\n"), std::string::npos);
    EXPECT_NE(all.find(FILE_SIGNATURE_MARKER), all.rfind(FILE_SIGNATURE_MARKER));
}

TEST(ComConfigTest, ConnectionScriptVariantOfTheProgramIsPreferred) {
    ComTable table;
    TempDir dir;
    const std::string script = dir.file("modem.cfg");
    WriteSignedFile(script, {"[DIRECT:]"});
    ASSERT_EQ(WCOM_CreateResource(1, "", "", script.c_str()), 0);
    KTDK_FILE* file = WCOM_GetConnectionConfig(0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::string(file->path), script);
    FILE_FreeFile(file);

    const std::string variant = script + "." + WCOM_ScriptVariantSuffix();
    WriteSignedFile(variant, {"[ANALOGIC:]"});
    file = WCOM_GetConnectionConfig(0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::string(file->path), variant);
    FILE_FreeFile(file);

    ASSERT_EQ(WCOM_CreateResource(1, "", "", dir.file("absent").c_str()), 1);
    EXPECT_EQ(WCOM_GetConnectionConfig(1), nullptr);
}

TEST(ComEntryTest, UsbResourcesHaveNoChannel) {
    ComTable table(0, 1, 0, 0, 0);
    ASSERT_EQ(WCOM_CreateResource(2, "", "", ""), 0);
    TraceCapture trace;
    char buffer[4] = {};
    EXPECT_EQ(WComOpen2(0), -1);
    EXPECT_EQ(WComClose2(0), -1);
    EXPECT_EQ(WComRead2(0, buffer, 4), -1);
    EXPECT_EQ(WComWrite2(0, buffer, 4), -1);
    EXPECT_EQ(WComReadIOCtl2(0, 0, buffer, 4), -1);
    EXPECT_EQ(WComWriteIOCtl2(0, 0, buffer, 4), -1);
    for (const char* name : {"WComOpen2", "WComClose2", "WComRead2", "WComWrite2", "WComReadIOCtl2", "WComWriteIOCtl2"})
        EXPECT_TRUE(trace.Contains(std::string("-- ERROR -- ") + name +
                                   "(): WComSwitch() returned an error: -1, resource: 0"))
            << name;
}

TEST(ComEntryTest, OpenReadWriteCloseAreRecordedInTheTrace) {
    ComTable table;
    testsupport::ScopedFakeSerial fake;
    TempDir dir;
    WriteSignedFile(dir.file("c.cfg"), {"[Driver:COM3]"});
    const std::string trace = dir.file("t.log");
    ASSERT_EQ(WCOM_CreateResource(1, trace.c_str(), dir.file("c.cfg").c_str(), ""), 0);

    EXPECT_EQ(WComClose2(0), -1);
    EXPECT_TRUE(ReadTraceRecords(trace).empty());
    ASSERT_EQ(WComOpen2(0), 0);
    EXPECT_EQ(fake.state->lastPath, "/dev/ttyS2");
    EXPECT_EQ(WCOM_GetResourceByNum(0)->ownerPid, static_cast<int>(getpid()));
    EXPECT_EQ(WComOpen2(0), 0);  // already open: the queue probe keeps it
    EXPECT_EQ(fake.state->opens, 1);
    EXPECT_EQ(WComWrite2(0, "AB", 2), 2);
    fake.feed("z");
    char buffer[8] = {};
    EXPECT_EQ(WComRead2(0, buffer, 8), 1);
    EXPECT_EQ(WComRead2(0, buffer, 8), 0);
    fake.state->failWrites = true;
    EXPECT_EQ(WComWrite2(0, "Q", 1), -1);
    EXPECT_EQ(WComClose2(0), 1);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->handle, -1);

    const std::vector<TraceRecord> expected = {
        {1, 'O', 0}, {1, 'O', 0}, {1, 0, 'A'}, {1, 0, 'B'}, {2, 0, 'z'},
        {2, 'T', 'z'}, {1, 'E', 'Q'}, {1, 'C', 0}};
    EXPECT_EQ(ReadTraceRecords(trace), expected);

    // Trace mode "NONE" records nothing.
    WCOM_SetResourceTraceMode(0, WCOM_TRACE_NONE);
    ASSERT_EQ(WComOpen2(0), 0);
    EXPECT_EQ(WComClose2(0), 1);
    EXPECT_EQ(ReadTraceRecords(trace).size(), expected.size());
}

TEST(ComEntryTest, AnOpenWithoutDriverFailsAndTriesAgainNextTime) {
    ComTable table;
    testsupport::ScopedFakeSerial fake;
    TempDir dir;
    WriteSignedFile(dir.file("c.cfg"), {"[Vpsl:4018]"});
    ASSERT_EQ(WCOM_CreateResource(1, "", dir.file("c.cfg").c_str(), ""), 0);
    EXPECT_EQ(WComOpen2(0), -1);
    EXPECT_EQ(WCOM_GetResourceByNum(0)->handle, -1);
    WriteSignedFile(dir.file("c.cfg"), {"[Driver:/dev/fake0]"});
    EXPECT_EQ(WComOpen2(0), 0);
    EXPECT_EQ(fake.state->lastPath, "/dev/fake0");
}

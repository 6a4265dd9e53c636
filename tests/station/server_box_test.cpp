// The server box API: the main instance and its listening services, the
// per-application boxes, the peripheral boxes of the console and the client
// connection box (annex) against the acquirer simulator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include <memory>
#include <string>

#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/text_manager.h"
#include "netsim/acquirer.h"
#include "netsim/tcp_link.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/server_box.h"
#include "support/net_contexts.h"
#include "support/storage_cert.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

using testsupport::TraceCapture;

namespace {

// A fresh main instance for each test (the process's one is left alone).
struct MainInstance : ::testing::Test {
    void TearDown() override {
        for (KTS_SERVICE& service : instance.services) {
            if (service.box != nullptr) KTX_FreeBox(service.box, 1);
            service.box = nullptr;
        }
        WFree(instance.clones);
        testsupport::FreeAllNetContexts();
    }
    KT_MAIN_SERVER_INSTANCE instance{};
};

}  // namespace

TEST_F(MainInstance, TypeMaskEnablesServices) {
    ASSERT_EQ(instance.initialize(7, 1), 1);
    EXPECT_EQ(instance.resourceId, 7);
    ASSERT_EQ(KTS_GetMain(&instance, 0, "Eft_001", nullptr, nullptr, nullptr), 1);
    for (const KTS_SERVICE& s : instance.services) {
        EXPECT_EQ(s.enabled, 0);
        EXPECT_EQ(s.box, nullptr);
    }
    EXPECT_EQ(instance.start(), 1);
    EXPECT_STREQ(instance.services[1].name, "Eft_001");
    EXPECT_STREQ(instance.services[1].description, "TCP/IP");
    EXPECT_STREQ(instance.services[3].name, "SSL");
    EXPECT_EQ(instance.services[3].networkType, WNET_TYPE_TLS);
    EXPECT_EQ(instance.services[4].typeBit, 16);

    // An HTTP name of 20 characters leaves HTTP off and nameless; default
    // names for TCP/IP and SSL.
    ASSERT_EQ(KTS_GetMain(&instance, 16 | 4, nullptr, nullptr, nullptr, std::string(20, 'h').c_str()), 1);
    EXPECT_EQ(instance.services[4].enabled, 0);
    EXPECT_STREQ(instance.services[4].name, "");
    EXPECT_STREQ(instance.services[1].name, "IP");
    EXPECT_EQ(instance.services[2].enabled, 1);
    EXPECT_NE(instance.services[2].box, nullptr);
}

TEST_F(MainInstance, StartOpensTheListeningServiceOrFails) {
    ASSERT_EQ(instance.initialize(7, 1), 1);
    const std::string port = std::to_string(netsim::UnusedLoopbackPort());
    ASSERT_EQ(KTS_GetMain(&instance, 2, port.c_str(), nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(instance.start(), 1);
    auto link = netsim::ConnectLoopback(static_cast<uint16_t>(std::stoi(port)), 2000);
    EXPECT_NE(link, nullptr) << "the TCP/IP service listens on " << port;
    link.reset();
    KTX_FreeBox(instance.services[1].box, 1);
    instance.services[1].box = nullptr;

    // A service name that names no port cannot be opened.
    ASSERT_EQ(KTS_GetMain(&instance, 2, "no-such-service", nullptr, nullptr, nullptr), 1);
    TraceCapture trace;
    EXPECT_EQ(instance.start(), -3);
    EXPECT_TRUE(trace.Contains(
        "KT_MAIN_SERVER_INSTANCE::start(): KTX_ServerNetStart() returned an error: -3, desc.: TCP/IP, id: 1, "
        "service: no-such-service"));
}

TEST_F(MainInstance, ApplicationBoxesLiveInTheTable) {
    ASSERT_EQ(instance.initialize(3, 1), 1);
    CSIBox* box = KTS_GetClone(&instance, nullptr, "Eft_012", 3, 0);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(instance.clones[0], box);
    EXPECT_EQ(instance.cloneCount, 1);
    EXPECT_EQ(box->instanceId, 3);
    EXPECT_STREQ(box->name, "Eft_012");
    // Mended: an index beyond the table is refused.
    EXPECT_EQ(KTS_GetClone(&instance, nullptr, "Eft_012", 3, 2), nullptr);
    EXPECT_EQ(instance.cloneCount, 1);

    EXPECT_EQ(KTS_ResetTransport(box), 0);
    ASSERT_EQ(KTS_NewTextManager(box), 1);
    ASSERT_EQ(KTS_NewConsole(box, "CONS"), 1);
    struct Level {
        int given, handed;
    } levels[] = {{0, 0}, {1, 0}, {3, 2}};
    for (const Level& l : levels) {
        EXPECT_EQ(KTS_SetDebug(box, l.given), 1);
        EXPECT_EQ(box->debugLevel, l.handed) << l.given;
        EXPECT_EQ(box->console->debug, l.handed != 0 ? 1 : 0) << l.given;
    }
    EXPECT_EQ(KTS_SetDebug(nullptr, 1), -1);
    EXPECT_EQ(instance.freeClone(box, 0), 1);
    EXPECT_EQ(instance.clones[0], nullptr);
    EXPECT_EQ(instance.cloneCount, 0);
    EXPECT_EQ(instance.freeClone(nullptr, 0), -1);
}

TEST(ServerBox, PeripheralBoxesNeedAConsoleAndAreMadeOnce) {
    KT_MAIN_SERVER_INSTANCE instance{};
    ASSERT_EQ(instance.initialize(1, 1), 1);
    CSIBox* box = KTS_GetClone(&instance, nullptr, "Eft_001", 1, 0);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(WTextGetExternalPeriphManager(box, 1, 1, 0), -2);
    EXPECT_EQ(KTS_NewInterfacePeriphBox(box, 1, 1, 0), -2);
    ASSERT_EQ(KTS_NewTextManager(box), 1);
    ASSERT_EQ(KTS_NewConsole(box, "CONS"), 1);
    EXPECT_EQ(WTextGetExternalPeriphManager(box, 1, 5, 0), 1);
    KT_EPERIPH_API* first = EPAP_GetBox();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->station, 5);
    EXPECT_EQ(WTextGetExternalPeriphManager(box, 1, 6, 0), 2);
    EXPECT_EQ(EPAP_GetBox(), first);
    EXPECT_EQ(KTS_NewInterfacePeriphBox(box, 1, 5, 0), 1);
    EXPECT_EQ(KTS_NewInterfacePeriphBox(box, 1, 5, 0), 2);
    EXPECT_EQ(SAP_GetBox()->console, box->console);
    instance.freeClone(box, 0);
    WFree(instance.clones);
}

// The file printer's spool restarts at each request: the spool file becomes
// the backup and a new one begins. A spool that is still empty is kept as it
// is, and a missing one is made without touching the backup, so the backup
// keeps the last tickets printed instead of becoming empty or going.
TEST(ServerBox, AnEmptySpoolRestartsWithoutLosingTheBackup_Mended) {
    testsupport::TempDir dir;
    KTCONSOL_SetWorkDirectory(dir.str().c_str(), "");
    ASSERT_EQ(mkdir(dir.file("WOut").c_str(), 0700), 0);
    KT_MAIN_SERVER_INSTANCE instance{};
    ASSERT_EQ(instance.initialize(1, 1), 1);
    CSIBox* box = KTS_GetClone(&instance, nullptr, "Eft_002", 1, 0);
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(KTS_NewTextManager(box), 1);
    ASSERT_EQ(KTS_NewConsole(box, "CONS"), 1);
    ASSERT_EQ(KTS_AddWindow(box, "F5", 3, 40), 1);
    const std::string spool = KTS_GetWindow(box, "F5")->spoolPath;
    std::string backup = spool;
    backup.replace(backup.size() - 3, 3, "SPB");

    ASSERT_TRUE(testsupport::WriteWholeFile(spool, "TICKET 1\r\n"));
    EXPECT_EQ(KTS_RestartWindowSpool(box, "F5"), 1);
    EXPECT_EQ(testsupport::ReadWholeFile(backup), "TICKET 1\r\n");
    EXPECT_EQ(testsupport::ReadWholeFile(spool), "");
    EXPECT_EQ(KTS_RestartWindowSpool(box, "F5"), 1);  // nothing printed since
    EXPECT_EQ(testsupport::ReadWholeFile(backup), "TICKET 1\r\n");
    EXPECT_EQ(testsupport::ReadWholeFile(spool), "");
    ASSERT_TRUE(testsupport::WriteWholeFile(spool, "TICKET 2\r\n"));
    EXPECT_EQ(KTS_RestartWindowSpool(box, "F5"), 1);
    EXPECT_EQ(testsupport::ReadWholeFile(backup), "TICKET 2\r\n");
    // No spool file yet: one is made.
    ASSERT_EQ(std::remove(spool.c_str()), 0);
    EXPECT_EQ(KTS_RestartWindowSpool(box, "F5"), 1);
    struct stat st {};
    EXPECT_EQ(stat(spool.c_str(), &st), 0);
    EXPECT_EQ(testsupport::ReadWholeFile(backup), "TICKET 2\r\n");
    instance.freeClone(box, 0);
    WFree(instance.clones);
    KTCONSOL_SetWorkDirectory(".", "");
}

namespace {

struct Annex : ::testing::Test {
    void SetUp() override {
        std::string error;
        sim = std::make_unique<netsim::AcquirerSim>(*netsim::AcquirerScenario::Parse("", &error));
        ASSERT_TRUE(sim->start());
        port = std::to_string(sim->port());
        annex = KTS_GetAnnex(1001, 12, WNET_TYPE_TCP, port.c_str(), "127.0.0.1", nullptr, "", "", 0, 0, "", "");
        ASSERT_NE(annex, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(KTS_FreeAnnex(annex, 1), 1);
        testsupport::FreeAllNetContexts();
    }
    std::unique_ptr<netsim::AcquirerSim> sim;
    std::string port;
    ANIBox* annex = nullptr;
};

}  // namespace

TEST_F(Annex, PutRequestSendsOnlyWithM) {
    EXPECT_EQ(annex->kind, 2);
    EXPECT_EQ(annex->appId, 1001);
    EXPECT_EQ(annex->cloneId, 12);
    KTM_WPRO* mess = annex->box->mess;
    EXPECT_EQ(KTS_AnnexPutRequest(annex, nullptr, nullptr, nullptr, "1400", nullptr), 1);
    EXPECT_STREQ(mess->request->A, "1400");
    EXPECT_FALSE(sim->waitForRequests(1, 200));
    EXPECT_EQ(KTS_AnnexPutRequest(annex, "1", "desc", "u", nullptr, "payload"), 1);
    ASSERT_TRUE(sim->waitForRequests(1, 5000));
    const netsim::NetMessage got = sim->requests()[0];
    EXPECT_EQ(got.K, "1");
    EXPECT_EQ(got.S, "desc");
    EXPECT_EQ(got.U, "u");
    EXPECT_EQ(got.A, "1400");
    EXPECT_EQ(got.M, "payload");
    // Mended: a rubrique that does not fit refuses the request, nothing goes.
    EXPECT_EQ(KTS_AnnexPutRequest(annex, nullptr, nullptr, nullptr, std::string(11, 'a').c_str(), "again"), -1);
    EXPECT_FALSE(sim->waitForRequests(2, 300));
    EXPECT_EQ(KTS_AnnexPutRequest(nullptr, nullptr, nullptr, nullptr, "1400", "x"), 0);

    EXPECT_EQ(KTS_SetAnnexTimeOut(annex, 250), 1);
    EXPECT_EQ(mess->timeOut, 250);
    EXPECT_EQ(KTS_SetAnnexTimeOut(nullptr, 250), 0);
}

TEST(ServerBox, AnnexThatCannotConnectIsTracedAndFreed) {
    netsim::RefusingPort refusing;
    const std::string port = std::to_string(refusing.port());
    TraceCapture trace;
    EXPECT_EQ(KTS_GetAnnex(1001, 12, WNET_TYPE_TCP, port.c_str(), "127.0.0.1", nullptr, "", "", 0, 0, "", ""),
              nullptr);
    EXPECT_TRUE(trace.Contains("KTS_GetAnnex() KTX_ClientNetStart() returned an error: -1, service: " + port +
                               ", host 1: 127.0.0.1"));
    EXPECT_EQ(KTS_GetAnnex(1001, 12, WNET_TYPE_TCP, port.c_str(), "127.0.0.1", "127.0.0.2", "", "", 0, 0, "", ""),
              nullptr);
    EXPECT_TRUE(trace.Contains("service: " + port + ", host 1: 127.0.0.1, host 2: 127.0.0.2"));
    for (int n = 0; n < WNET_CONTEXT_COUNT; ++n) EXPECT_EQ(WNetGetContext(n)->type, WNET_TYPE_FREE) << n;
    EXPECT_EQ(KTS_FreeAnnex(nullptr, 1), 0);
}

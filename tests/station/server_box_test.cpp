// The server box API: the main instance and its listening services, the
// per-application boxes, the peripheral boxes of the console and the client
// connection box (annex) against the acquirer simulator.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/text_manager.h"
#include "netsim/acquirer.h"
#include "netsim/tcp_link.h"
#include "periph/console_windows.h"
#include "periph/document.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/server_box.h"
#include "platform/clock.h"
#include "support/net_contexts.h"
#include "support/scripted_keys.h"
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

namespace {

// An application box with its text manager, console (video block of the
// test's own), and both peripheral boxes, as the session opening makes them.
struct ConsoleBoxes : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(instance.initialize(1, 1), 1);
        box = KTS_GetClone(&instance, nullptr, "Eft_001", 1, 0);
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(KTS_NewTextManager(box), 1);
        ASSERT_EQ(KTS_NewConsole(box, "CONS"), 1);
        ASSERT_GE(WTextGetExternalPeriphManager(box, 1, 1, 0), 1);
        ASSERT_GE(KTS_NewInterfacePeriphBox(box, 1, 1, 0), 1);
        block.assign(8192, 0);
        box->console->video = block.data();
        gui = {Display, Key, Entry, Selection};
        ISAP_SetPosGuiExecutors(&gui);
        calls.clear();
    }
    void TearDown() override {
        ISAP_SetPosGuiExecutors(nullptr);
        if (box != nullptr) {
            box->console->video = nullptr;
            instance.freeClone(box, 0);
        }
        WFree(instance.clones);
    }
    KT_TEXT_WINDOW* Window(const char* name, int resource) {
        if (KTS_AddWindow(box, name, 3, 20) != 1) return nullptr;
        KTS_SetWindowResource(box, name, resource);
        return KTS_GetWindow(box, name);
    }

    // The cash register's side of the POS GUI windows: what it was asked.
    static std::vector<std::string>& Calls() { return calls; }
    static int Display(ConsoBox*, KT_TEXT_WINDOW*, const char* text, int, int, int row, int, int clear, int) {
        calls.push_back("display " + std::to_string(row) + " " + std::to_string(clear) + " " + text);
        return 1;
    }
    static int Key(int timeoutMs, int, char* key) {
        calls.push_back("key " + std::to_string(timeoutMs));
        *key = 'V';
        return 1;
    }
    static int Entry(ConsoBox*, KT_TEXT_WINDOW*, int timeoutMs, int, int, int, char* zone, const char*, char* key) {
        calls.push_back("entry " + std::to_string(timeoutMs));
        std::strcpy(zone, "4321");
        *key = static_cast<char>(131);
        return 1;
    }
    static int Selection(ConsoBox*, KT_TEXT_WINDOW*, int timeoutMs, int, int, int, int, int, const char*, const char*,
                         unsigned* choice) {
        calls.push_back("selection " + std::to_string(timeoutMs));
        *choice = 3;
        return 1;
    }
    static std::vector<std::string> calls;

    KT_MAIN_SERVER_INSTANCE instance{};
    CSIBox* box = nullptr;
    std::vector<unsigned char> block;
    PosGuiExecutors gui{};
};
std::vector<std::string> ConsoleBoxes::calls;

}  // namespace

// The box frees its document and script with its console, which takes the
// terminal and interface boxes that serve it along.
TEST_F(ConsoleBoxes, FreeBoxTakesDocumentScriptConsoleAndItsBoxes) {
    box->document = KTDOC_New(nullptr);
    box->script = SCRIPT_New();
    ASSERT_NE(box->document, nullptr);
    ASSERT_NE(box->script, nullptr);
    EXPECT_EQ(KTS_SetDebug(box, 3), 1);
    EXPECT_EQ(box->script->debug, 2);
    EXPECT_EQ(box->document->debug, 2);
    const ConsoBox* console = box->console;
    box->console->video = nullptr;
    EXPECT_EQ(instance.freeClone(box, 0), 1);
    box = nullptr;
    EXPECT_EQ(EPAP_GetBox(), nullptr);
    EXPECT_TRUE(SAP_GetBox() == nullptr || SAP_GetBox()->console != console);
}

// Without a script the debug setting traces nothing (it would at every
// start).
TEST_F(ConsoleBoxes, DebugWithoutScriptOrDocumentTracesNothing) {
    TraceCapture trace;
    EXPECT_EQ(KTS_SetDebug(box, 2), 1);
    EXPECT_FALSE(trace.Contains("SCRIPT_SetDebug"));
    EXPECT_EQ(box->console->debug, 1);
}

TEST_F(ConsoleBoxes, WindowShownWhereItsResourceSays) {
    struct Case {
        int resource;
        int result;
        bool screen;
        bool posGui;
    } cases[] = {
        {0, 1, false, false},  {41, 1, true, false},  {42, 1, true, false},  {45, 1, false, true},
        {46, -1, false, false}, {47, -1, false, false}, {99, -1, false, false},
    };
    KT_TEXT_WINDOW* w = Window("D", 0);
    ASSERT_NE(w, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.resource);
        w->resource = c.resource;
        std::memset(block.data(), 0, 4000);
        const std::string text = "shown " + std::to_string(c.resource);
        ASSERT_EQ(TWI_WriteText(w, text.c_str(), 1), 1);
        const uint64_t writes = WVideoWriteCount();
        calls.clear();
        EXPECT_EQ(KTS_DisplayWindow(box, "D"), c.result);
        EXPECT_EQ(WVideoWriteCount() > writes, c.screen);
        EXPECT_EQ(!calls.empty(), c.posGui);
        if (c.posGui) {
            EXPECT_EQ(calls[0], "display 0 1 " + text);
        }
        const bool console = c.resource == 0 || c.resource == 41 || c.resource == 42;
        // Its first text cell, row 1 column 1 (a position 0 is drawn as 1).
        EXPECT_EQ(block[(80 + 1) * 2], console ? 's' : 0);
    }
    EXPECT_EQ(KTS_SetWindowResource(box, "D", 41), 0);  // its interface resource is there
    EXPECT_EQ(KTS_SetWindowResource(box, "NONE", 41), -1);
}

// The waits of a POS GUI window go to the cash register with the console's
// seconds in milliseconds.
TEST_F(ConsoleBoxes, PosWindowWaitsGetTheConsoleSecondsInMilliseconds) {
    ASSERT_NE(Window("P5", 45), nullptr);
    EXPECT_EQ(TWAE_Action(box->console, "P5", 7, 1), 1);
    EXPECT_EQ(TWAE_GetEventKey(), 'V');
    EXPECT_EQ(TWAE_Action(box->console, "P5", 0, 1), 1);
    char field[8] = {};
    box->console->timeout = 3;
    EXPECT_EQ(TWAE_Info(box->console, "P5", 1, 1, 4, field, sizeof field, ""), 2);
    EXPECT_STREQ(field, "4321");
    box->console->timeout = 60;
    EXPECT_EQ(KTS_SelectInWindow(box, "P5", 4, 10, 1, std::string(40, 'x').c_str(), "", 0), 3);
    EXPECT_EQ(calls, (std::vector<std::string>{"key 7000", "key 0", "entry 3000", "selection 60000"}));
}

TEST_F(ConsoleBoxes, SelectionInAWindowByResource) {
    testsupport::ScriptedKeys keys;
    keys.queue("\xE0\x4D");  // right, then Enter: the second item
    keys.queue("\r");
    plat::ManualClock clock;  // the choice stays a second on the screen
    plat::ScopedClock scoped(&clock);
    ASSERT_NE(Window("L", 41), nullptr);
    box->console->timeout = 5;
    const std::string items = std::string("AAAA") + "BBBB" + "CCCC";
    EXPECT_EQ(KTS_SelectInWindow(box, "L", 3, 4, 0, items.c_str(), "", 0), 2);
    EXPECT_EQ(keys.waits(), 2);
    ASSERT_NE(Window("S", 43), nullptr);
    EXPECT_EQ(KTS_SelectInWindow(box, "S", 3, 4, 1, items.c_str(), "", 0), 255);
    EXPECT_EQ(KTS_SelectInWindow(box, "NONE", 3, 4, 1, items.c_str(), "", 0), 255);
    EXPECT_TRUE(calls.empty());
}

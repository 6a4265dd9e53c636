// Peripheral context of a real session on a copy of the example tree: the
// communication resources from "com", the windows of "dsp" and "prn", the
// protocol class from "med", the station-specific file names, the network
// resource by label, and the example's terminal on a serial line driven over
// a pseudo-terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "linesim/line_sim.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/periph_context.h"
#include "support/com_fixture.h"
#include "support/config_tree.h"
#include "support/signed_file.h"
#include "support/station_lock.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;
using testsupport::WriteSignedFile;

class PeriphTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tree.ok());
        std::filesystem::create_directory(tree.file("WOut"));
        InitDefaultOptions();
        KTCONSOL_SetWorkDirectory(tree.str().c_str(), nullptr);
        g_processOptions.station = testsupport::UniqueStation();
        g_processOptions.resourceId = contextId;
        std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", tree.str().c_str());
    }
    void TearDown() override {
        for (int i = 0; i < 3; ++i) {
            WCOM_UnlockResource(i);
            plat::NamedMutex::Unlink(testsupport::ComMutexName(contextId, i));
        }
        if (opened) ShutdownClient();
        KTCONSOL_SetWorkDirectory(".", nullptr);
        Options.PhysicalFileNameSearchCalculation = 0;
        Options.LastPOSNumberUsed[0] = '\0';
    }
    int Open() {
        const int r = TOC_OpenSession();
        opened = GetEftContext() != nullptr;
        context = GetEftContext();
        return r;
    }
    void Write(const char* file, const std::vector<std::string>& lines) {
        WriteSignedFile(tree.file(std::string("WCFG/") + file), lines);
    }
    // Reads the sections again after a change of the files, on a fresh
    // console (windows are added, never replaced).
    int Rebuild() {
        KTS_NewConsole(context->box, context->box->name);
        return TOC_MakePeripheralContext(context);
    }

    testsupport::ConfigTree tree;
    int contextId = testsupport::UniqueComContext();
    EFTCBox* context = nullptr;
    bool opened = false;
};

}  // namespace

TEST_F(PeriphTest, TheExampleStationHasItsTerminalOnASerialLine) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(context->comContextId, contextId);
    ComCtx* table = WCOM_GetContext();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->count, 3);
    EXPECT_EQ(context->comResources[0], 0);
    const ComResource* r = WCOM_GetResourceByNum(0);
    EXPECT_EQ(r->type, WCOM_TYPE_SERIAL);
    EXPECT_EQ(r->connectionType, 1);
    EXPECT_EQ(r->traceMode, WCOM_TRACE_NONE);
    EXPECT_EQ(std::string(r->configFile), tree.str() + "/WCFG/pinpad.cfg");
    EXPECT_EQ(std::string(r->traceFile), tree.str() + "/WLOG/pinpad.log");
    EXPECT_EQ(r->vpslSpeed, 4);
    for (const char* zone : {"E5", "F5"}) EXPECT_NE(KTS_GetWindow(context->box, zone), nullptr) << zone;
    EXPECT_EQ(KTS_GetWindow(context->box, "V5"), nullptr);
    const KT_TEXT_WINDOW* printer = KTS_GetWindow(context->box, "F5");
    EXPECT_EQ(printer->resource, 43);
    EXPECT_EQ(printer->rows, 10);
    EXPECT_EQ(printer->lineMode, 2);
    EXPECT_EQ(printer->trim, 1);
    EXPECT_STREQ(printer->auxText3, "\x1b\x69");
    const KT_TEXT_WINDOW* terminal = KTS_GetWindow(context->box, "E5");
    EXPECT_EQ(terminal->resource, 47);
    EXPECT_EQ(terminal->rows, 4);
    EXPECT_EQ(terminal->columns, 20);
    EXPECT_EQ(terminal->row, 12);
    EXPECT_STREQ(terminal->title, "EFT_DSP");

    // The terminal's line, once its "Driver" names a pseudo-terminal whose far
    // end acknowledges one framed message.
    std::string error;
    auto steps = linesim::ParseScenario("expect 02 61 62 63 03 63\nsend 06\n", &error);
    ASSERT_TRUE(steps.has_value()) << error;
    linesim::LineSim terminalSim(std::make_unique<linesim::ScenarioHandler>(std::move(*steps)));
    ASSERT_TRUE(terminalSim.start());
    ASSERT_EQ(linesim::SetDriver(r->configFile, terminalSim.slaveName()), "");
    ASSERT_EQ(PortVPSL(0, "????"), 0);
    ASSERT_EQ(PortTxCar(0, 0x02, PORT_TX_NEW), 0);
    EXPECT_EQ(PortEmist(0, "abc\x03", 4, 3 + PORT_METHOD_APPEND), 0);
    unsigned char answer = 0;
    EXPECT_EQ(PortRxCar(0, &answer, 2000), 0);
    EXPECT_EQ(answer, 0x06);
    EXPECT_EQ(terminalSim.wait(2000), "");
    EXPECT_EQ(PortClose(0), 1);
}

// The spools of the windows (tickets, terminal screens) can hold card data:
// they are private to the user.
TEST_F(PeriphTest, WindowSpoolsArePrivate_Mended) {
    ASSERT_EQ(Open(), 1);
    for (const char* zone : {"E5", "F5"}) {
        const KT_TEXT_WINDOW* w = KTS_GetWindow(context->box, zone);
        ASSERT_NE(w, nullptr) << zone;
        struct stat st {};
        ASSERT_EQ(stat(w->spoolPath, &st), 0) << w->spoolPath;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << w->spoolPath;
    }
}

TEST_F(PeriphTest, ComEntriesTypesNamesAndNumbers) {
    ASSERT_EQ(Open(), 1);
    Write("com_00.wt", {"[COM_0:1]", "[PHY_0:serial_port]", "[MED_0:ANALOGIC]", "[ADA_0:EBA]", "[LOG_0:line]",
                        "[LGT_0:WANALY]", "[SC1_0:line.cfg]", "[SC2_0:modem.scr]", "[COM_1:1]", "[PHY_1:CONNECTED]",
                        "[MED_1:B_CHANEL]", "[ADA_1:EMA]", "[LGT_1:SQLITE]"});
    ASSERT_EQ(Rebuild(), 1);
    const ComResource* r0 = WCOM_GetResourceByNum(context->comResources[0]);
    EXPECT_EQ(r0->type, WCOM_TYPE_SERIAL);
    EXPECT_EQ(r0->connectionType, 12);
    EXPECT_EQ(r0->traceMode, WCOM_TRACE_WANALY);
    EXPECT_EQ(std::string(r0->traceFile), tree.str() + "/WLOG/line.log");
    EXPECT_EQ(std::string(r0->scriptFile), tree.str() + "/WCFG/modem.scr");
    EXPECT_EQ(context->comResources[1], 2);
    const ComResource* r1 = WCOM_GetResourceByNum(2);
    EXPECT_EQ(r1->type, WCOM_TYPE_CONNECTED);
    EXPECT_EQ(r1->connectionType, 23);
    EXPECT_EQ(r1->traceMode, WCOM_TRACE_SQLITE);
    EXPECT_STREQ(r1->configFile, "");
}

TEST_F(PeriphTest, StationSpecificNamesAndTheirReload) {
    ASSERT_EQ(Open(), 1);
    Options.PhysicalFileNameSearchCalculation = 1;
    std::snprintf(Options.LastPOSNumberUsed, sizeof Options.LastPOSNumberUsed, "%s", "7");
    struct Case {
        const char* name;
        const char* physical;
    };
    const Case cases[] = {{"trace.log", "trace_007.log"}, {"a.b.c", "a_007.b"}, {"trace", "trace_007"},
                          {"..x.y", "x_007.y"}};
    for (const Case& c : cases) {
        char out[64];
        EXPECT_EQ(TOC_MakePhysicalFileName(c.name, out, sizeof out), 1);
        EXPECT_STREQ(out, c.physical) << c.name;
    }
    char small[8];
    EXPECT_EQ(TOC_MakePhysicalFileName("trace.log", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    std::snprintf(Options.LastPOSNumberUsed, sizeof Options.LastPOSNumberUsed, "%s", "0");
    char out[64];
    TOC_MakePhysicalFileName("p.cfg", out, sizeof out);
    EXPECT_STREQ(out, "p_001.cfg");

    // A reload takes the files of the new station and locks the resource.
    WriteSignedFile(tree.file("WCFG/pinpad_012.cfg"), {"[Driver:COM2]", "[Vpsl:5018]"});
    std::snprintf(Options.LastPOSNumberUsed, sizeof Options.LastPOSNumberUsed, "%s", "12");
    KTS_SetDirectory(context->box, EFTOC_GetDirectory(context, "WCFG"));
    KTS_SetCountry(context->box, 0);
    ASSERT_GE(KTS_SetFile(context->box, "com"), 0);
    EXPECT_EQ(TOC_LoadComResources(context, 1), 1);
    const ComResource* r = WCOM_GetResourceByNum(0);
    EXPECT_EQ(std::string(r->configFile), tree.str() + "/WCFG/pinpad_012.cfg");
    EXPECT_EQ(std::string(r->traceFile), tree.str() + "/WLOG/pinpad_012.log");
    EXPECT_EQ(r->vpslSpeed, 5);
    EXPECT_EQ(r->lockState, 2);
}

// File names built from "com" never run past what a resource keeps: an
// over-long one is refused with an error line, never cut.
TEST_F(PeriphTest, OverLongFileNamesAreRefused_Mended) {
    ASSERT_EQ(Open(), 1);
    const std::string longName(80, 'n');
    Write("com_00.wt", {"[COM_0:000]", "[PHY_0:SERIAL]", "[SC1_0:" + longName + ".cfg]", "[LOG_0:" + longName + "]"});
    TraceCapture trace;
    ASSERT_EQ(Rebuild(), 1);
    const ComResource* r = WCOM_GetResourceByNum(0);
    EXPECT_STREQ(r->configFile, "");
    EXPECT_STREQ(r->traceFile, "");
    EXPECT_TRUE(trace.Contains("Nom de fichier trop long pour SC1_0"));
    EXPECT_TRUE(trace.Contains("Nom de fichier trop long pour LOG_0"));
}

TEST_F(PeriphTest, WindowsAndTheirFailures) {
    ASSERT_EQ(Open(), 1);
    struct Case {
        const char* what;
        std::vector<std::string> dsp;
        std::vector<std::string> prn;
        int result;
        const char* trace;
    };
    const Case cases[] = {
        {"unknown display function", {"[FUN_0:XXX_DSP]"}, {}, -2,
         "TOC_MakePeripheralContext - Echec chargement ressources affichage"},
        {"unknown printer function", {}, {"[FUN_0:VIO_DSP2]", "[FUN_1:NONE]"}, -2,
         "TOC_MakePeripheralContext - Echec chargement ressources impression"},
        {"empty sections", {}, {}, 1, nullptr},
    };
    for (const Case& c : cases) {
        Write("dsp_00.wt", c.dsp);
        Write("prn_00.wt", c.prn);
        TraceCapture trace;
        EXPECT_EQ(Rebuild(), c.result) << c.what;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.what;
        }
    }
    // Cut sequences, resource numbers and defaults of a printer window.
    struct Cut {
        const char* value;
        std::string bytes;
    };
    const Cut cuts[] = {{"#1B#69", "\x1b\x69"}, {"", "--/--"}, {"  ", "--/--"}, {"AB#00C", "ABC"},
                        {"x#1", "x#1"},       {"#zz!", "#zz!"}, {"##41", "#A"}};
    for (const Cut& c : cuts) {
        Write("prn_00.wt", {"[FUN_0:SYS_PRN]", "[COM_0:1]", std::string("[CUT_0:") + c.value + "]"});
        ASSERT_EQ(Rebuild(), 1);
        const KT_TEXT_WINDOW* w = KTS_GetWindow(context->box, "S5");
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(std::string(w->auxText3), c.bytes) << c.value;
        EXPECT_EQ(w->rows, 10);
        EXPECT_EQ(w->columns, 24);
        EXPECT_EQ(w->resource, 44);
    }
    Write("prn_00.wt", {"[FUN_0:SYS_PRN]", "[CUT_0:" + std::string(40, 'c') + "]"});
    TraceCapture trace;
    ASSERT_EQ(Rebuild(), 1);
    EXPECT_STREQ(KTS_GetWindow(context->box, "S5")->auxText3, "--/--");
    EXPECT_TRUE(trace.Contains("Sequence de coupe trop longue"));
}

TEST_F(PeriphTest, ProtocolClassAndPrinterFlagFromTheirNames) {
    ASSERT_EQ(Open(), 1);
    struct Case {
        const char* pro;
        int cls;
    };
    const Case cases[] = {{"OLVAR", 1}, {"m4400x", 2}, {"D5500", 3}, {"PZR01", 4}, {"DORANDORAN", 0x85},
                          {"OLVARDORAN", 0x81}, {"M4400", 2}, {"QUENTDORANYY", 0x82}, {"RUDA", 0x82}};
    context->pinpadProtocolClass = 0;
    for (const Case& c : cases) {
        Write("med_00.wt", {"[FUN_0:EFT_CAM_1]", "[COM_0:000]", std::string("[PRO_0:") + c.pro + "]"});
        ASSERT_EQ(Rebuild(), 1);
        EXPECT_EQ(context->pinpadProtocolClass, c.cls) << c.pro;
    }
    Write("prn_00.wt", {"[FUN_0:EFT_PRN]", "[PRO_0:RUDA_DORAN]"});
    ASSERT_EQ(Rebuild(), 1);
    EXPECT_EQ(context->printerProtocolFlag, 0x80);
    Write("prn_00.wt", {"[FUN_0:EFT_PRN]", "[PRO_0:DORAN]"});
    ASSERT_EQ(Rebuild(), 1);
    EXPECT_EQ(context->printerProtocolFlag, 0);
}

TEST_F(PeriphTest, ZonesOfFunctionsAndNetworkResourcesByLabel) {
    int resource = -1;
    EXPECT_STREQ(TOC_GetZoneOfFunction("MY_EFT_DSP_2", &resource), "E5");
    EXPECT_EQ(resource, 47);
    resource = -1;
    EXPECT_EQ(TOC_GetZoneOfFunction("PRINTER", &resource), nullptr);
    EXPECT_EQ(resource, -1);
    int row = 0, column = 0;
    TOC_GetZonePosition("V6", &row, &column);
    EXPECT_EQ(row, 2);
    EXPECT_EQ(column, 35);
    TOC_GetZonePosition("ZZ", &row, &column);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(column, 1);
    EXPECT_EQ(ReturnOne(), 1);

    ASSERT_EQ(Open(), 1);
    Write("net_00.wt", {"[LTY_000:TALVO]", "[LTY_3:PN40_SHOP]", "[LTY_005:LUD]"});
    EXPECT_EQ(TOC_getResourceIndexToUse(context, "PN40", 1), 3);
    EXPECT_EQ(TOC_getResourceIndexToUse(context, "LUD", 1), 5);
    TraceCapture trace;
    EXPECT_EQ(TOC_getResourceIndexToUse(context, "NOWHERE", 1), -1);
    EXPECT_TRUE(trace.Contains("getRessourceIndexToUse : Index de ressource non retrouvable (NET)"));
    EXPECT_EQ(TOC_getResourceIndexToUse(context, "PN40", 2), -1);
    Options.NetResourceIndexToUse = 4;
    EXPECT_EQ(TOC_getResourceIndexToUse(context, nullptr, 1), 4);
    Options.NetResourceIndexToUse = 0;
}

// The terminal box of the session holds the terminal functions of "med" and
// the terminal windows of "dsp" and "prn", each on its link of "com"; a
// device or protocol name that is not known stops the set-up.
TEST_F(PeriphTest, TheTerminalBoxAndItsFunctions) {
    ASSERT_EQ(Open(), 1);
    KT_EPERIPH_API* box = EPAP_GetBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(context->papBox, box);
    EXPECT_EQ(box->console, context->box->console);
    EXPECT_EQ(box->station, g_processOptions.station);
    EXPECT_STREQ(box->netApplication, "1200");
    EXPECT_NE(EPAP_GetWaitCallback(), nullptr);
    EXPECT_EQ(EPAP_GetProtocol(4), 16);
    EXPECT_EQ(EPAP_GetProtocol(0), 16);
    EXPECT_EQ(EPAP_GetProtocol(1), -1);
    EXPECT_EQ(TWEP_FindFunction(box, 4, 1)->port, 0);

    // A new console makes a new box from the files as they are now.
    Write("med_00.wt", {"[FUN_0:EFT_CAM_1]", "[COM_0:000]", "[PRO_0:RUDA]", "[FUN_1:EFT_PRN]", "[COM_1:001]",
                        "[PRO_1:DORAN]"});
    ASSERT_EQ(Rebuild(), 1);
    box = EPAP_GetBox();
    EXPECT_EQ(context->papBox, box);
    EXPECT_EQ(EPAP_GetProtocol(1), 2);
    EXPECT_EQ(TWEP_FindFunction(box, 1, 1)->port, 1);
    int count = 0;
    for (int i = 0; i < PAP_RESOURCES; ++i) count += box->resources[i].configured;
    EXPECT_EQ(count, 3);  // not added twice

    struct Case {
        const char* what;
        std::vector<std::string> med;
    };
    const Case cases[] = {
        {"unknown device", {"[FUN_0:EFT_CARD]", "[COM_0:000]", "[PRO_0:RUDA]"}},
        {"unknown protocol", {"[FUN_0:EFT_CAM_1]", "[COM_0:000]", "[PRO_0:TALVO]"}},
    };
    for (const Case& c : cases) {
        Write("med_00.wt", c.med);
        TraceCapture trace;
        EXPECT_EQ(Rebuild(), -1) << c.what;
        EXPECT_TRUE(trace.Contains("TOC_MakePeripheralContext - Echec chargement ressources pinpad")) << c.what;
    }
}

TEST_F(PeriphTest, AMissingConfigurationDirectory) {
    std::filesystem::remove_all(tree.file("WCFG"));
    TraceCapture trace;
    // The network resources, opened first, already need the directory.
    EXPECT_EQ(Open(), -5);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(TOC_MakePeripheralContext(context), -3);
    EXPECT_TRUE(trace.Contains("TOC_MakePeripheralContext - EFTOC_GetDirectory fails to find WCFG"));
    EXPECT_EQ(TOC_MakePeripheralContext(nullptr), -1);
}

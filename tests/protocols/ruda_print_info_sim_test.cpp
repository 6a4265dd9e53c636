// The printer, file, terminal information and key operations of the RUDA
// module end to end: set and read through the terminal script engine,
// carried by the RUDA block link over a pseudo-terminal, answered by the
// RUDA terminal simulator, whose recorders are the oracle of what reached
// the terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <string>

#include "periph/terminal_box.h"
#include "protocols/term_files.h"
#include "protocols/term_print.h"
#include "protocols/terminal_info.h"
#include "rudasim/ruda_terminal.h"
#include "support/apdu_bytes.h"
#include "support/ruda_line_station.h"

namespace {

using cardsim::Bytes;
using testsupport::Hex;

constexpr int kTerminal = 4;

// A RUDA terminal (function 4) of the script engine whose line's far end is
// the simulator with the scenario given.
class SimTerminal : public testsupport::RudaLineStation {
public:
    explicit SimTerminal(const std::string& scenario) : RudaLineStation(scenario, "EFT_CAM_1") {}

    // Sets the operation, then reads its answer (the engine sends the row
    // first): the status of the read, or -1000 when the set failed.
    template <typename... Set, typename... Get>
    int run(int operation, std::tuple<Set...> set, std::tuple<Get...> get) {
        EPAP_ClearAll();
        const int s = std::apply([&](auto... a) { return EPAP_SetCommand(kTerminal, operation, a...); }, set);
        if (s != 0) return -1000;
        const int status = std::apply([&](auto... a) { return EPAP_GetResult(kTerminal, operation, a...); }, get);
        EPAP_ClearAll();
        return status;
    }
    rudasim::Exchange last() {
        const auto all = exchanges();
        return all.empty() ? rudasim::Exchange{} : all.back();
    }
    rudasim::RudaServiceRecord record() { return terminal().serviceRecord(); }
};

TermPrintRecord Line(const std::string& text) {
    return TermPrintRecord{PRINT_KIND_TEXT, static_cast<int32_t>(text.size()),
                           reinterpret_cast<const unsigned char*>(text.data()), 0, 0};
}

TEST(RudaPrintInfoSim, PrinterPrintsAndReportsItsState) {
    struct Case {
        const char* scenario;
        int print;
        int status;
    } cases[] = {
        {"printer ok\n", 0, 0},
        {"printer paper-out\n", 1, 1},
        {"printer none sw 6A80\n", 0, 1},
        {"printer jam\n", 1, 1},
    };
    for (const Case& c : cases) {
        SimTerminal t(c.scenario);
        ASSERT_TRUE(t.ready());
        const std::string text = "MERCI DE VOTRE VISITE\r\n";
        const TermPrintRecord line = Line(text);
        EXPECT_EQ(t.run(13, std::make_tuple(&line), std::make_tuple()), c.print) << c.scenario;
        EXPECT_EQ(t.record().printed, Bytes(text.begin(), text.end())) << c.scenario;
        const TermPrintRecord cut{PRINT_KIND_CUT, 0, nullptr, 0, 0};
        EXPECT_EQ(t.run(13, std::make_tuple(&cut), std::make_tuple()), c.print) << c.scenario;
        const std::string both = text + "\n\n";
        EXPECT_EQ(t.record().printed, Bytes(both.begin(), both.end())) << c.scenario;
        EXPECT_EQ(t.run(15, std::make_tuple(), std::make_tuple(0)), c.status) << c.scenario;
        EXPECT_EQ(t.run(120, std::make_tuple(), std::make_tuple()), c.print) << c.scenario;
        ASSERT_EQ(t.record().images.size(), 1u);
        EXPECT_EQ(t.record().images[0], "TICKETS.BMP");
    }
}

TEST(RudaPrintInfoSim, FilesSelectedWrittenAndReadBack) {
    SimTerminal t("file www/talvo/xxdmess.html 12 content 3C68746D6C3E\n");
    ASSERT_TRUE(t.ready());
    const TermFileRecord page{"www/talvo/xxdmess.html", nullptr};
    int32_t size = -1;
    EXPECT_EQ(t.run(153, std::make_tuple(&page), std::make_tuple(&size)), 0);
    EXPECT_EQ(size, 12);
    // The select goes as class 00 on node 01.
    const rudasim::Exchange select = t.last();
    EXPECT_EQ(select.nad, 0x01);
    ASSERT_GE(select.apdu.size(), 4u);
    EXPECT_EQ(Bytes(select.apdu.begin(), select.apdu.begin() + 4), Hex("00 A4 05 00"));
    const TermFileRecord missing{"www/none.html", nullptr};
    EXPECT_EQ(t.run(153, std::make_tuple(&missing), std::make_tuple(&size)), 1);

    const uint8_t data[] = {'B', 'O', 'D', 'Y'};
    const TermWriteRecord write{6, 4, data};
    EXPECT_EQ(t.run(153, std::make_tuple(&page), std::make_tuple(&size)), 0);
    EXPECT_EQ(t.run(154, std::make_tuple(&write), std::make_tuple()), 0);
    const uint32_t want = 10, from = 0;
    unsigned char buffer[32];
    int copied = 0;
    EXPECT_EQ(t.run(194, std::make_tuple(&want, &from),
                    std::make_tuple(buffer, static_cast<int>(sizeof buffer), &copied)),
              0);
    ASSERT_EQ(copied, 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), std::string("<html>BODY"));

    const uint8_t selector = 1;
    uint32_t logSize = 0;
    char name[kTermDumpNameMax + 1];
    EXPECT_EQ(t.run(193, std::make_tuple(&selector), std::make_tuple(&logSize, name)), 0);
    EXPECT_EQ(logSize, 4096u);
    EXPECT_STREQ(name, "logs.tgz");
}

TEST(RudaPrintInfoSim, TerminalInformationPresets) {
    struct Case {
        const char* scenario;
        int part;
        int model;
        const char* modelName;
    } cases[] = {
        {"serial TQSERIAL01\ninfo TQ202 family QT app 05.03.00 os 0001ABCD\n", 0, 200, "TQ202"},
        {"serial TQSERIAL01\ninfo TQ202 app 05.03.00\n", 0, 600, "TQ202"},
        {"serial TQSERIAL01\ninfo LR520 app 05.03.00\n", 1, 650, "LR520"},
    };
    for (const Case& c : cases) {
        SimTerminal t(c.scenario);
        ASSERT_TRUE(t.ready());
        auto info = std::make_unique<TerminalInfoArea>();
        EXPECT_EQ(t.run(93, std::make_tuple(info.get()), std::make_tuple(info.get())), 0) << c.scenario;
        EXPECT_STREQ(info->modelName, c.modelName) << c.scenario;
        const TerminalPartInfo& part = info->parts[c.part];
        EXPECT_EQ(part.modelNumber, c.model) << c.scenario;
        EXPECT_EQ(std::string(part.serial, 12), "TQSERIAL0100") << c.scenario;
        EXPECT_STREQ(part.applicationVersion, "05.03.00") << c.scenario;
        EXPECT_STREQ(info->identifier, "RUDASIMTID01") << c.scenario;
        // The contactless reader, then the system information probe.
        info->mode = 1;
        EXPECT_EQ(t.run(93, std::make_tuple(info.get()), std::make_tuple(info.get())), 0) << c.scenario;
        EXPECT_EQ(info->parts[2].contactlessAnswered, 1) << c.scenario;
        EXPECT_STREQ(info->parts[2].packageTables[0][0], "7001") << c.scenario;
        auto probe = std::make_unique<TerminalPartInfo>();
        EXPECT_EQ(t.run(90, std::make_tuple(probe.get()), std::make_tuple(probe.get())), 0) << c.scenario;
        EXPECT_EQ(probe->filled, 1) << c.scenario;
    }
    SimTerminal refusing("info TQ202 status 9F55\n");
    ASSERT_TRUE(refusing.ready());
    auto probe = std::make_unique<TerminalPartInfo>();
    EXPECT_EQ(refusing.run(90, std::make_tuple(probe.get()), std::make_tuple(probe.get())), 0);
    EXPECT_EQ(probe->filled, 0);
}

TEST(RudaPrintInfoSim, FileVersionsKeySlotsAndSred) {
    SimTerminal t("file-version boot.bin 1.0\nfile-version emv.so 4.3\nkeyslot 3 FFFF9876543210E00001\n"
                  "sred tampered\n");
    ASSERT_TRUE(t.ready());
    FileVersionEntry first{};
    EXPECT_EQ(t.run(94, std::make_tuple(), std::make_tuple(&first)), 0);
    EXPECT_STREQ(first.name, "boot.bin");
    ASSERT_NE(first.next, nullptr);
    EXPECT_STREQ(first.next->version, "4.3");
    FileVersionList_Free(&first);

    KeySlot slot{};
    int32_t count = 0;
    EXPECT_EQ(t.run(97, std::make_tuple("A"), std::make_tuple(&slot, &count, static_cast<int32_t*>(nullptr))), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(slot.slot, 3);
    KeySlotList_Free(&slot);

    SredStatus sred{};
    EXPECT_EQ(t.run(190, std::make_tuple(), std::make_tuple(&sred)), 1);
    EXPECT_EQ(sred.state, '2');
}

}  // namespace

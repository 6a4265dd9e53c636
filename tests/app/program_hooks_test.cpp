// The program's hooks (station/program_hooks.h) are installed before the
// first request: each is reached from the first request a fresh program or
// session serves, and does the program's part (the shutdown of the session,
// the menu), which the fallbacks of the layers below do not.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/program_hooks.h"
#include "support/app_session.h"
#include "support/config_tree.h"
#include "support/epap_fake.h"
#include "support/pos_peer.h"
#include "support/signed_file.h"
#include "support/trv_process.h"

using testsupport::ConfigTree;
using testsupport::PosPeer;
using testsupport::TrvProcess;

namespace {

// The closing line of the exchange log, written by the shutdown of the EFT
// context.
const std::string kClosingLine = "(ZNP) " + std::string(80, '#');

// Adds option lines to the options file of the tree, signed as the program
// expects.
void AddOptions(const ConfigTree& tree, const std::vector<std::string>& more) {
    const std::string path = tree.file("WPAF/znpop_00.wt");
    std::istringstream in(testsupport::ReadFileText(path));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("{", 0) == 0) continue;  // the signature record
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    lines.insert(lines.end(), more.begin(), more.end());
    testsupport::WriteSignedFile(path, lines);
}

// A fresh trv_71 on its own station and tree.
struct Program {
    ConfigTree tree;
    int station = testsupport::UniqueStation();
    TrvProcess trv{tree, "trv_71_hooks_" + std::to_string(station)};
    PosPeer peer;

    void Start() {
        trv.Start({"-i" + std::to_string(station), "-p" + tree.str()});
        ASSERT_TRUE(peer.Open(station));
    }
    std::string PosLog() const { return testsupport::ReadFileText(tree.file("ECHANGES.POS")); }
};

}  // namespace

// The close asked by the first request ends the run through the program:
// the session is shut down (its closing line) before the process ends.
TEST(ProgramHooks, EndOfTheRunAtTheFirstRequestShutsTheSessionDown) {
    Program p;
    ASSERT_TRUE(p.tree.ok());
    p.Start();
    ASSERT_TRUE(p.peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}"));
    EXPECT_EQ(p.peer.Receive(10000).value_or(""), "0");
    ASSERT_EQ(p.trv.Wait(30000), 0);
    const std::string log = p.PosLog();
    const size_t stop = log.find("(POS) {SS}R{PS}1{SV}s3{CD}c99{F}");
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_NE(log.find(kClosingLine, stop), std::string::npos) << log;
}

// The cash register that never reads the answers of its first request: the
// POS link traces it, then the program stops in order (exit code 0, the
// session shut down).
TEST(ProgramHooks, DeadCashRegisterAtTheFirstRequestStopsTheProgramInOrder) {
    Program p;
    ASSERT_TRUE(p.tree.ok());
    AddOptions(p.tree, {"[ExitOnDeathPOS:1]"});
    p.Start();
    // Acknowledged with '0', then answered: the answer waits behind the
    // acknowledgement nobody takes.
    ASSERT_TRUE(p.peer.Send("{SS}R{PS}1{SV}s12{CD}c25{F}"));
    ASSERT_EQ(p.trv.Wait(30000), 0);
    const std::string log = p.PosLog();
    const size_t dead = log.find("!!!!! Application de vente inactive: Arret du client monetique !!!!!");
    ASSERT_NE(dead, std::string::npos) << log;
    EXPECT_NE(log.find(kClosingLine, dead), std::string::npos) << log;
}

namespace {

// A session opened as the program opens it, from a process whose hook table
// is empty.
class HooksSession : public testsupport::AppSessionTest {
protected:
    void SetUp() override {
        SetProgramHooks(nullptr);
        AppSessionTest::SetUp();
    }
    testsupport::EpapFake fake;
};

}  // namespace

// The card wait of the first request in touch mode opens the program's
// hidden service menu: its list goes to the cash register.
TEST_F(HooksSession, TouchModeCardWaitOfTheFirstRequestOpensTheProgramsMenu) {
    fake.protocols[0] = 2;
    fake.protocols[4] = 2;
    optionsHook() = [](OptionValues& o) {
        o.TouchMode = 1;
        o.TelechMode = 3;     // two maintenances: the menu asks
        o.PosGuiOptions = 0x100;  // the cash register shows the lists
    };
    AddPosWindow();
    clock.replies["c44"].push_back("{SS}R{PS}1{SV}s6{CD}c44{EK}1{F}");  // the leave entry
    Send("{SS}R{PS}" + std::to_string(station) + "{SV}s0{CD}c1{F}");
    for (int pass = 0; pass < 20 && clock.With("{CD}c44").empty(); ++pass) {
        RunLoopPass();
        clock.Serve();
    }
    ASSERT_EQ(clock.With("{CD}c44").size(), 1u);
    EXPECT_EQ(Options.TouchMode, 2);  // the menu was left, the card wait goes on
}

// The README's main job end to end: the cash-register test client loads the
// library, which starts trv_71 on a copy of the example configuration.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/config_tree.h"
#include "support/run_program.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace {

TEST(CashRegisterTool, RunsTheExampleConfigurationThroughTheLibrary) {
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    // A POS number no other process uses, and a program file name of our
    // own: a starting program ends any running program of the same file name.
    const std::string pos = std::to_string(testsupport::UniquePosNumber());
    const std::string program = tree.file("trv_71_example_" + pos);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
    const std::string out = tree.file("out.txt");
    const std::string lib = testsupport::BinPath("../lib/libznp_dll.so");
    const int rc = testsupport::RunProgram({testsupport::BinPath("cash_register"), "--lib", lib, "--client",
                                            program, "--pos", pos, "--log", tree.file("znp_dll.log"),
                                            "SV=s3,CD=c0", "SV=s12,CD=c25", "--ack", "5", "SV=s12"},
                                           {}, out);
    const std::string text = testsupport::ReadFileText(out);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("open POS " + pos), std::string::npos) << text;
    // Abort while idle: 1; a served request: 0 and its answer; no CD: 5.
    EXPECT_NE(text.find("send {SV}s3{CD}c0{SS}R{PS}" + pos + "{F}\n  acknowledgement: 1 (nothing to abort)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  acknowledgement: 0 (taken, the answer follows)\n  answer: "), std::string::npos) << text;
    EXPECT_NE(text.find("{SS}A{PS}" + pos + "{SV}s12{CD}c25{RS}01{F}"), std::string::npos) << text;
    EXPECT_NE(text.find("send {SV}s12{SS}R{PS}" + pos + "{F}\n  acknowledgement: 5 "), std::string::npos) << text;
    // The summary says each outcome in words.
    EXPECT_NE(text.find("summary:\n  abort while idle: nothing to abort (1)\n  request s12/c25: taken, the answer "
                        "follows (0); answer RS 01: done: answered without a transaction, or accepted\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("close: done (0)"), std::string::npos) << text;
    // The program kept its exchange log beside the library's log.
    const std::string exchange = testsupport::ReadFileText(tree.file("znp_dll.POS"));
    EXPECT_NE(exchange.find("(POS) {SV}s12{CD}c25{SS}R{PS}" + pos + "{F}"), std::string::npos) << exchange;
}

TEST(CashRegisterTool, FailsWhenAStepDoesNotGoAsExpected) {
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    // A program file of our own name: a starting program ends any running
    // program of the same file name.
    const std::string name = "trv_71_register_" + std::to_string(getpid());
    const std::string program = tree.file(name);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
    const std::string out = tree.file("out.txt");
    const std::string pos = std::to_string(testsupport::UniquePosNumber());
    // A request without CD is refused (5) where 0 was expected; the request
    // after it still runs and the summary names the failed step.
    const int rc = testsupport::RunProgram(
        {testsupport::BinPath("cash_register"), "--lib", testsupport::BinPath("../lib/libznp_dll.so"), "--client",
         program, "--pos", pos, "--log", tree.file("znp_dll.log"), "SV=s12",
         "SV=s12,CD=c26"},
        {}, out);
    const std::string text = testsupport::ReadFileText(out);
    EXPECT_EQ(rc, 1) << text;
    EXPECT_NE(text.find("  FAILED request s12/-: refused at this moment, or not acknowledged in time (5), expected 0\n"
                        "  request s12/c26: taken, the answer follows (0); answer RS 01"),
              std::string::npos)
        << text;
}

TEST(CashRegisterTool, RefusesABadCommandLine) {
    testsupport::TempDir dir;
    EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("cash_register"), "--lib"}), 2);
    EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("cash_register"), "--lib", "x", "--client", dir.str(),
                                       "--bogus"}),
              2);
    // An expected acknowledgement with no request after it.
    EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("cash_register"), "--lib", "x", "--client", dir.str(),
                                       "SV=s3,CD=c0", "--ack", "1"}),
              2);
    // A library that cannot be loaded.
    EXPECT_EQ(testsupport::RunProgram({testsupport::BinPath("cash_register"), "--lib", dir.file("none.so"),
                                       "--client", dir.str(), "SV=s3,CD=c0"}),
              1);
}

}  // namespace

// A card payment that waits for its card (a terminal whose protocol module
// is not built sends no echo: the wait runs to its detection time-out) is
// aborted by the client after its time.
TEST(CashRegisterTool, TimedAbortDuringTheCardWait) {
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    {
        std::ofstream med(tree.file("WCFG/med_00.wt"), std::ios::binary | std::ios::trunc);
        med << "[FUN_0:EFT_CAM_1]\r\n[COM_0:000]\r\n[PRO_0:DORAN]\r\n";
    }
    ASSERT_EQ(testsupport::RunProgram({testsupport::BinPath("sign_param_file"), tree.file("WCFG/med_00.wt")}), 0);
    const std::string pos = std::to_string(testsupport::UniquePosNumber());
    const std::string program = tree.file("trv_71_abort_" + pos);
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), program);
    const std::string out = tree.file("out.txt");
    const int rc = testsupport::RunProgram({testsupport::BinPath("cash_register"), "--lib",
                                            testsupport::BinPath("../lib/libznp_dll.so"), "--client", program, "--pos",
                                            pos, "--log", tree.file("znp_dll.log"), "--wait-ms", "20000",
                                            "--abort-after", "300", "SV=s0,CD=c1,D10=500,D0=978"},
                                           {}, out);
    const std::string text = testsupport::ReadFileText(out);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("  abort after 300 ms: acknowledgement 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("{SS}A{PS}" + pos + "{SV}s0{CD}c1{RS}33{F}"), std::string::npos) << text;
    EXPECT_NE(text.find("request s0/c1: taken, the answer follows (0); abort after 300 ms (0); answer RS 33: aborted"),
              std::string::npos)
        << text;
}

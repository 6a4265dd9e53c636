// The line simulator itself: scenario files and their errors, what a
// scenario does on the line (expects, sends, delays, silence, corruption,
// hang-up, records), the modem and the PAD, the "Driver" of a configuration,
// and the line_sim program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/param_file.h"
#include "linesim/line_sim.h"
#include "platform/serial_device.h"
#include "support/config_tree.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;
using testsupport::TempDir;

// The program's side of the line: the slave, raw.
class ProgramSide {
public:
    explicit ProgramSide(const std::string& slave) : device(plat::OpenSerialDevice(slave, nullptr)) {}
    void send(const std::string& bytes) { device->write(bytes.data(), static_cast<int>(bytes.size()), 1000); }
    // Reads until n bytes came (or 5 s passed).
    std::string take(size_t n) {
        std::string out;
        char buffer[256];
        for (int i = 0; i < 50 && out.size() < n; ++i) {
            const int got = device->read(buffer, static_cast<int>(std::min<size_t>(sizeof buffer, n - out.size())), 100);
            if (got < 0) break;
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }
    std::unique_ptr<plat::SerialDevice> device;
};

std::unique_ptr<linesim::LineSim> StartScenario(const std::string& text) {
    std::string error;
    auto steps = linesim::ParseScenario(text, &error);
    EXPECT_TRUE(steps.has_value()) << error;
    if (!steps) return nullptr;
    auto sim = std::make_unique<linesim::LineSim>(std::make_unique<linesim::ScenarioHandler>(std::move(*steps)));
    EXPECT_TRUE(sim->start());
    return sim;
}

}  // namespace

TEST(LineSimBytesTest, BytesOfAScriptText) {
    struct Case {
        const char* text;
        bool valid;
        std::string bytes;
    };
    const Case cases[] = {
        {"\"AT\\r\"", true, "AT\r"},
        {"41 0d", true, "A\r"},
        {"410D", true, "A\r"},
        {"\"a\" 00 \"b\"", true, "a\0b"s},
        {"\"\\x41\\n\\0\"", true, "A\n\0"s},
        {"\"\\a\\t\\\\\"", true, "\a\t\\"},
        {"4", false, ""},
        {"zz", false, ""},
        {"\"open", false, ""},
        {"\"\\x4\"", false, ""},
    };
    for (const Case& c : cases) {
        auto bytes = linesim::ParseBytes(c.text);
        EXPECT_EQ(bytes.has_value(), c.valid) << c.text;
        if (bytes && c.valid) {
            EXPECT_EQ(*bytes, c.bytes) << c.text;
        }
    }
}

TEST(LineSimScenarioTest, ErrorsNameTheirLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"send", "line 1: cannot read the bytes of 'send'"},
        {"# comment\nexpect zz", "line 2: cannot read the bytes of 'expect zz'"},
        {"pause x", "line 1: cannot read the number of 'pause x'"},
        {"send 41 corrupt=5", "line 1: corrupt= beyond the bytes"},
        {"send 41 speed=5", "line 1: cannot read option 'speed=5'"},
        {"dance", "line 1: unknown step 'dance'"},
        {"hangup now", "line 1: unknown step 'hangup now'"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(linesim::ParseScenario(c.text, &error).has_value()) << c.text;
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    auto steps = linesim::ParseScenario(
        "timeout 300\nexpect \"AT\\r\" timeout=50  # the command\nsend \"OK\" 0d 0a delay=10 gap=5 bytewise "
        "corrupt=0:20\nexpect-any 3\npause 5\nsilence 7\nhangup\n",
        &error);
    ASSERT_TRUE(steps.has_value()) << error;
    ASSERT_EQ(steps->size(), 7u);
    const linesim::ScenarioStep& send = (*steps)[2];
    EXPECT_EQ(send.bytes, "OK\r\n");
    EXPECT_EQ(send.delayMs, 10);
    EXPECT_EQ(send.gapMs, 5);
    EXPECT_TRUE(send.bytewise);
    EXPECT_EQ(send.corruptAt, 0);
    EXPECT_EQ(send.corruptMask, 0x20);
    EXPECT_EQ(send.line, 3);
    EXPECT_EQ((*steps)[1].ms, 50);
    EXPECT_EQ((*steps)[3].count, 3u);
}

TEST(LineSimScenarioTest, PlaysExpectsSendsSilenceAndCorruption) {
    auto sim = StartScenario(
        "expect \"ping\"\n"
        "send \"pong\" bytewise gap=2\n"
        "silence 100\n"
        "expect \"B\"\n"
        "send \"abc\" corrupt=1:20\n"
        "expect-any 2\n"
        "send \"end\" delay=20\n");
    ASSERT_NE(sim, nullptr);
    ProgramSide program(sim->slaveName());
    program.send("ping");
    EXPECT_EQ(program.take(4), "pong");
    program.send("A");  // dropped by the silence
    ASSERT_TRUE(sim->waitReceived(5, 2000));
    usleep(150 * 1000);
    program.send("B");
    EXPECT_EQ(program.take(3), "aBc");
    program.send("xy");
    EXPECT_EQ(program.take(3), "end");
    EXPECT_EQ(sim->wait(2000), "");
    // Records in time order, both ways.
    const std::vector<linesim::Record> records = sim->records();
    ASSERT_GE(records.size(), 8u);
    for (size_t i = 1; i < records.size(); ++i) EXPECT_LE(records[i - 1].us, records[i].us);
    std::string in, out;
    for (const linesim::Record& r : records) (r.direction == 'i' ? in : out) += r.bytes;
    EXPECT_EQ(in, "pingABxy");
    EXPECT_EQ(out, "pongaBcend");
    EXPECT_NE(linesim::FormatRecords(records).find(" in  70 69 6e 67"), std::string::npos);
}

TEST(LineSimScenarioTest, OutcomesOfAMismatchATimeOutAndAHangUp) {
    auto wrong = StartScenario("expect \"AT\\r\"\n");
    ProgramSide a(wrong->slaveName());
    a.send("AX\r");
    EXPECT_EQ(wrong->wait(2000).rfind("line 1: expected 41 54 0d, got 41 58", 0), 0u);

    auto late = StartScenario("timeout 50\nexpect \"OK\"\n");
    EXPECT_EQ(late->wait(2000), "line 2: expected 4f 4b within 50 ms, got ");

    auto gone = StartScenario("expect \"x\"\nsend \"bye\"\npause 100\nhangup\n");
    ProgramSide c(gone->slaveName());
    c.send("x");
    EXPECT_EQ(c.take(3), "bye");
    EXPECT_EQ(gone->wait(2000), "");
    char buffer[4];
    EXPECT_EQ(c.device->read(buffer, 4, 1000), -1);
    EXPECT_EQ(gone->records().back().direction, 'h');
}

TEST(LineSimModemTest, CommandsResultsAndDataMode) {
    linesim::ModemOptions options;
    options.dialDelayMs = 0;
    options.dialResults["666"] = "NO DIALTONE";
    options.dropAfterMs = 200;
    linesim::LineSim sim(std::make_unique<linesim::ModemHandler>(options, std::make_unique<linesim::EchoHandler>()));
    ASSERT_TRUE(sim.start());
    ProgramSide program(sim.slaveName());
    struct Exchange {
        std::string sent;
        std::string answer;
    };
    const Exchange exchanges[] = {
        {"AT\r", "AT\r\r\nOK\r\n"},
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},
        {"AT\r", "\r\nOK\r\n"},
        {"ATW\r", "\r\nERROR\r\n"},
        {"hello\r", "\r\nERROR\r\n"},
        {"ATDT666\r", "\r\nNO DIALTONE\r\n"},
        {"ATD0123\r", "\r\nCONNECT 9600\r\n"},
        {"data", "data"},
        {"+++", "\r\nOK\r\n"},
        {"ATH\r", "\r\nOK\r\n"},
        {"ATD1\r", "\r\nCONNECT 9600\r\n"},
    };
    for (const Exchange& e : exchanges) {
        program.send(e.sent);
        EXPECT_EQ(program.take(e.answer.size()), e.answer) << testing::PrintToString(e.sent);
    }
    // The carrier drops by itself after a while.
    EXPECT_EQ(program.take(14), "\r\nNO CARRIER\r\n");
}

TEST(LineSimPadTest, CallsPasswordsAndClears) {
    linesim::PadOptions options;
    options.password = "pw";
    options.callDelayMs = 0;
    options.clearAfterMs = 100;
    options.callResults["13"] = "LIB 00";
    auto handler = std::make_unique<linesim::PadHandler>(options, std::make_unique<linesim::EchoHandler>());
    linesim::PadHandler* pad = handler.get();
    linesim::LineSim sim(std::move(handler));
    ASSERT_TRUE(sim.start());
    ProgramSide program(sim.slaveName());
    program.send("SET1:0\r");
    EXPECT_EQ(program.take(2), "\r\n");
    program.send("13\r");
    EXPECT_EQ(program.take(10), "\r\nLIB 00\r\n");
    program.send("\xb1\x32" "D44\r");  // 7-bit line: "12D44"
    EXPECT_EQ(program.take(7), "\r\nCOM\r\n");
    program.send("nope\r");
    program.send("pw\r");
    EXPECT_EQ(program.take(4), "\r\n\a\t");
    program.send("echo");
    EXPECT_EQ(program.take(4), "echo");
    EXPECT_EQ(program.take(10), "\r\nLIB 00\r\n");
    EXPECT_EQ(pad->lines(), (std::vector<std::string>{"SET1:0", "13", "12D44", "nope", "pw"}));
}

TEST(LineSimConfigTest, DriverGoesIntoASignedConfiguration) {
    TempDir dir;
    const std::string path = dir.file("pinpad.cfg");
    testsupport::WriteSignedFile(path, {"[Driver:COM1]", "[Vpsl:4018]"});
    EXPECT_EQ(linesim::SetDriver(path, "/dev/pts/42"), "");
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    ASSERT_GT(FILE_OpenReadClose(file), 0);
    EXPECT_EQ(FILE_GetRecordSignat(file), 1);
    EXPECT_STREQ(FILE_GetStringParam(file, "Driver"), "/dev/pts/42");
    EXPECT_STREQ(FILE_GetStringParam(file, "Vpsl"), "4018");
    FILE_FreeFile(file);

    const std::string fresh = dir.file("new.cfg");
    EXPECT_EQ(linesim::SetDriver(fresh, "/dev/pts/43"), "");
    file = FILE_NewFile(fresh.c_str());
    ASSERT_GT(FILE_OpenReadClose(file), 0);
    EXPECT_EQ(FILE_GetRecordSignat(file), 1);
    EXPECT_STREQ(FILE_GetStringParam(file, "Driver"), "/dev/pts/43");
    FILE_FreeFile(file);
}

// What SetDriver changed goes back byte for byte; a file it made goes.
TEST(LineSimConfigTest, RestoreGivesTheFileBackAsItWas) {
    TempDir dir;
    const std::string path = dir.file("pinpad.cfg");
    testsupport::WriteSignedFile(path, {"[Driver:COM1]", "[Vpsl:4018]"});
    const std::string before = testsupport::ReadFileText(path);
    linesim::DriverConfigBackup backup;
    ASSERT_EQ(linesim::SetDriver(path, "/dev/pts/42", &backup), "");
    EXPECT_NE(testsupport::ReadFileText(path), before);
    EXPECT_EQ(linesim::RestoreDriverConfig(backup), "");
    EXPECT_EQ(testsupport::ReadFileText(path), before);

    const std::string fresh = dir.file("new.cfg");
    linesim::DriverConfigBackup made;
    ASSERT_EQ(linesim::SetDriver(fresh, "/dev/pts/43", &made), "");
    EXPECT_TRUE(std::filesystem::exists(fresh));
    EXPECT_EQ(linesim::RestoreDriverConfig(made), "");
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(linesim::RestoreDriverConfig(linesim::DriverConfigBackup{}), "");  // nothing was changed
}

TEST(LineSimProgramTest, PlaysAScenarioFileAndSetsTheDriver) {
    TempDir dir;
    {
        std::ofstream scenario(dir.file("s.scn"));
        scenario << "# a modem that answers once\nexpect \"ATZ\\r\"\nsend 0d 0a \"OK\" 0d 0a\n";
    }
    testsupport::WriteSignedFile(dir.file("line.cfg"), {"[Vpsl:4018]"});
    const std::string configBefore = testsupport::ReadFileText(dir.file("line.cfg"));
    const std::string command = testsupport::BinPath("line_sim") + " --quiet --scenario " + dir.file("s.scn") +
                                " --driver-config " + dir.file("line.cfg") + " --record " + dir.file("rec.txt");
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char first[256] = {};
    ASSERT_NE(std::fgets(first, sizeof first, out), nullptr);
    std::string slave(first);
    ASSERT_EQ(slave.rfind("line_sim slave ", 0), 0u) << slave;
    slave = slave.substr(15);
    slave.erase(slave.find_last_not_of("\r\n") + 1);

    // The program sets the driver before it prints its first line.
    KTDK_FILE* file = FILE_NewFile(dir.file("line.cfg").c_str());
    FILE_OpenReadClose(file);
    EXPECT_STREQ(FILE_GetStringParam(file, "Driver"), slave.c_str());
    FILE_FreeFile(file);

    ProgramSide program(slave);
    program.send("ATZ\r");
    EXPECT_EQ(program.take(6), "\r\nOK\r\n");
    std::string rest;
    char line[256];
    while (std::fgets(line, sizeof line, out) != nullptr) rest += line;
    const int status = pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rest;
    EXPECT_NE(rest.find("line_sim: scenario played as written"), std::string::npos) << rest;
    // Its end put the configuration back: no till points at the gone line.
    EXPECT_EQ(testsupport::ReadFileText(dir.file("line.cfg")), configBefore);
    std::ifstream record(dir.file("rec.txt"));
    std::string recorded((std::istreambuf_iterator<char>(record)), std::istreambuf_iterator<char>());
    EXPECT_NE(recorded.find(" in  41 54 5a 0d"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find(" out 0d 0a 4f 4b 0d 0a"), std::string::npos) << recorded;
}

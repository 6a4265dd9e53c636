// Connection control and connection scripts: the interpreter's commands
// with their placeholders, the waits for text, Hayes and PAD answers, the
// phone calls, hang-ups and the EBA call against the modem and PAD
// simulators on a pseudo-terminal, and dialled connection blocks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/connection_block.h"
#include "comm/connection_script.h"
#include "comm/port_api.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "linesim/line_sim.h"
#include "platform/clock.h"
#include "support/com_fixture.h"
#include "support/serial_fake.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using namespace std::string_literals;
using testsupport::ComTable;
using testsupport::FakePort;
using testsupport::PtyPort;
using testsupport::ScopedFakeSerial;
using testsupport::TempDir;
using testsupport::TraceCapture;

// Script lines as the file holds them.
std::string ScriptText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return text;
}

// A script object read from the start.
struct Script {
    explicit Script(const std::vector<std::string>& lines) {
        file = FILE_NewFile("in-memory.cfg");
        const std::string text = ScriptText(lines);
        FILE_SetFileContent(file, static_cast<int32_t>(text.size()), text.data());
        file->cursor = 0;
    }
    ~Script() { FILE_FreeFile(file); }
    KTDK_FILE* file;
};


class ScriptTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(line.opened, 0); }
    int Play(const std::vector<std::string>& lines, int count = 0, ScriptVar* vars = nullptr) {
        Script s(lines);
        return WCOMPlayScript(line.port, s.file, count, vars);
    }
    ComTable table;
    FakePort line;
};

// A modem on a pseudo-terminal behind a resource of the given connection
// type and script.
class ModemLine {
public:
    ModemLine(linesim::ModemOptions options, int connectionType, const std::vector<std::string>& script) {
        auto handler = std::make_unique<linesim::ModemHandler>(std::move(options));
        modem = handler.get();
        pty = std::make_unique<PtyPort>(std::move(handler), std::vector<std::string>{}, "modem.cfg");
        testsupport::WriteSignedFile(pty->dir.file("modem.cfg"), script);
        WCOM_SetResourceConnType(pty->port, connectionType);
    }
    int port() const { return pty->port; }
    std::vector<std::string> commands() {
        // The modem's list is filled in the simulator's thread: read it once
        // the bytes are all in.
        return modem->commands();
    }
    linesim::ModemHandler* modem;
    std::unique_ptr<PtyPort> pty;
};

const std::vector<std::string> kModemScript = {
    "[ANALOGIC:]",
    "[__PHONE:]",
    "[INIT:]",
    "[SSEND:ATZ]",
    "[HAYESRECV:]",
    "[END:]",
    "[CONNECT:]",
    "[VSEND:ATD(_PhoneNumber_)]",
    "[HAYESRECV:]",
    "[END:]",
    "[EMA_PHONE:]",
    "[CONNECT:]",
    "[ALWAYSDISCO:]",
    "[VSEND:ATD(_PhoneNumber_)]",
    "[HAYESRECV:]",
    "[END:]",
    "[DISCONNECT:]",
    "[SSEND:ATH]",
    "[HAYESRECV:]",
    "[END:]",
};

}  // namespace

TEST_F(ScriptTest, SendCommandsWithPlaceholders) {
    ScriptVar vars[6];
    WCOMBuildPhoneVariables("0123 456", "X25 9", "AB\xff", "", vars);
    struct Case {
        std::string command;
        std::string sent;
    };
    const Case cases[] = {
        {"[VSEND:ATD(_PhoneNumber_)]", "ATD0123\r"},
        {"[VSEND:LOGIN (_PassWord_)]", "LOGIN\r"},
        {"[VSENDNOCR:(_X25Adress_)]", "X25"},
        {"[VSEND:(_ComplementDataHexa_)]", "4142ff\r"},
        {"[VSEND:(_ComplementDataOctal_)]", "\\101\\102\\377\r"},
        {"[VSEND:D(_ComplementData_)]", "DAB\0\r"s},
        {"[VSEND:(_a_)(_b_)(_c_)(_d_)(_e_)(_f_)(_g_)]", "(_a_)(_b_)(_c_)(_d_)(_e_)(_f_)(_g_)\r"},
        {"[VSEND_CPL:C(_ComplementData_)]", "CAB\0\r"s},
        {"[VSEND_NOCPL:N]", ""},
        {"[SSEND:AT&F]", "AT&F\r"},
        {"[HEXSEND:41420D]", "AB\r"},
        {"[VSENDHEX:(_ComplementDataHexa_)0D]", "AB\xff\r"},
        {"[VSENDDIESE:Z#0D]", "Z\r"},
    };
    for (const Case& c : cases) {
        line.fake.state->writes.clear();
        EXPECT_EQ(Play({c.command, "[END:]"}, 6, vars), 1) << c.command;
        EXPECT_EQ(line.fake.written(), c.sent) << c.command;
    }
    // Without complement data the other branch runs.
    WCOMBuildPhoneVariables("1", "", "", "pw", vars);
    line.fake.state->writes.clear();
    EXPECT_EQ(Play({"[VSEND_CPL:C]", "[VSEND_NOCPL:N (_PassWord_)]", "[END:]"}, 6, vars), 1);
    EXPECT_EQ(line.fake.written(), "N pw\r");
}

TEST_F(ScriptTest, EndingsOfAScript) {
    TraceCapture trace;
    EXPECT_EQ(Play({"[SSEND:AT]", "[SOFT:]", "[SSEND:never]"}), 2);
    EXPECT_EQ(line.fake.written(), "AT\r");
    EXPECT_TRUE(trace.Contains("<< WARN. >> Error while processing script on command: SOFT, script file name: "
                               "in-memory.cfg"));
    EXPECT_EQ(Play({"[SSEND:AT]", "[TIMEOUT:4]"}), -1);
    EXPECT_TRUE(trace.Contains("Error while processing script on command: TIMEOUT"));
    EXPECT_EQ(Play({"[ALWAYSDISCO:]", "[CLOSE:]"}), -2);
    EXPECT_EQ(Play({"[HEXSEND:41420]", "[END:]"}), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WCOMSendHexCommand(): Command must contain an even number of hexadecimal "
                               "digits, command: 41420"));
    EXPECT_EQ(Play({"[REGEXRECV:OK.*]", "[END:]"}), -1);
    EXPECT_TRUE(trace.Contains("WCOM_waitForRegexMessageAnalysis: Not implemented on KESSALIB CLIENT (without QT)"));
    EXPECT_EQ(Play({"[WHATEVER:1]", "[end:]"}), 1);
    EXPECT_EQ(Play({"[WAITMUTE:200 0]", "[END:]"}), 1);
    EXPECT_EQ(WCOMCurrentTimeout(), 200);
    // Lines the reader refuses end the script.
    EXPECT_EQ(Play({"[NOCOLON]", "[END:]"}), -1);
    EXPECT_EQ(Play({"[" + std::string(21, 'C') + ":x]", "[END:]"}), -1);
    EXPECT_EQ(Play({"[SSEND:" + std::string(201, 'a') + "]", "[END:]"}), -1);
}

TEST_F(ScriptTest, WaitTimeComesFromTimeout) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    EXPECT_EQ(Play({"[TIMEOUT:3]", "[SRECV:CONNECT]", "[END:]"}), -1);
    EXPECT_GE(clock.nowMs() - start, 2000);
    EXPECT_LE(clock.nowMs() - start, 3000);
    // SDIESERECV never ends the script, whatever came.
    EXPECT_EQ(Play({"[TIMEOUT:1]", "[SDIESERECV:#06OK]", "[END:]"}), 1);
}

TEST_F(ScriptTest, LineCommandsAndDelays) {
    line.fake.state->line.baud = 1200;
    line.fake.feed("junk");
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    EXPECT_EQ(Play({"[OPEN:4018]", "[DELAYMS:250]", "[DELAY:2]", "[CLEAR:]", "[CLOSE:]", "[END:]"}), 1);
    EXPECT_GE(clock.nowMs() - start, 2250);
    EXPECT_LT(clock.nowMs() - start, 2400);
    EXPECT_EQ(line.fake.state->line.baud, 9600);
    EXPECT_TRUE(line.fake.state->input.empty());
    EXPECT_EQ(WCOM_GetResourceByNum(line.port)->handle, -1);
    // A line set-up that fails ends the script.
    EXPECT_EQ(Play({"[OPEN:5049]", "[END:]"}), -1);
}

// A substitution whose result the argument cannot hold fails the command.
TEST_F(ScriptTest, OverLongSubstitutionFails_Mended) {
    ScriptVar vars[6];
    WCOMBuildPhoneVariables(std::string(80, '9').c_str(), "", "", "", vars);
    TraceCapture trace;
    const std::string argument = std::string(150, 'x') + "(_PhoneNumber_)";
    EXPECT_EQ(Play({"[VSEND:" + argument + "]", "[END:]"}, 6, vars), -1);
    EXPECT_TRUE(line.fake.writes().empty());
    EXPECT_TRUE(trace.Contains("argument too long after substitution"));
}

// The matcher finds an occurrence that starts inside a false start.
TEST_F(ScriptTest, TextWaitFindsOverlappingOccurrences_Mended) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        std::string input;
        std::string text;
        int result;
    };
    const Case cases[] = {
        {"xxaaab", "aab", 1}, {"ababac", "abac", 1}, {"CONNECT", "connect", 1},
        {"aab", "aaab", -1},  {"\xe1\x62", "ab", 1},  {"xyz", "", 0},
    };
    for (const Case& c : cases) {
        line.fake.state->input = c.input;
        std::string text = c.text;
        EXPECT_EQ(WCOMWaitForMess(line.port, 2, text.data()), c.result) << c.input;
    }
    line.fake.state->input = "\x10\x10\x02";
    EXPECT_EQ(WCOMWaitForHexMess(line.port, 2, reinterpret_cast<const unsigned char*>("\x10\x02"), 2), 1);
    EXPECT_EQ(WCOMWaitForMess(line.port, 0, nullptr), 0);
    std::string any = "x";
    EXPECT_EQ(WCOMWaitForMess(line.port, 0, any.data()), -1);
}

// Modem answers are whole result words, failure words first.
TEST_F(ScriptTest, HayesAnswersAreWholeResultWords_Mended) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        std::string input;
        int result;
    };
    const Case cases[] = {
        {"\r\nOK\r\n", 1},
        {"ok\r\n", 1},
        {"\r\nCONNECT 9600\r\n", 1},
        {"\r\nCOM\r\n", 1},
        {"ATDT0123\r\r\nNO CARRIER\r\n", -1},
        {"\r\nOK\r\n\r\nNO CARRIER\r\n", -1},
        {"\r\nNO DIALTONE\r\n", -1},
        {"\r\nERROR\r\n", -1},
        {"\r\nLIB 00\r\n", -1},
        {"\r\nBUSY\r\n", -1},
        {"\r\nBROKEN\r\n", -1},        // not "ok"
        {"AT+COMMAND\r\n", -1},        // not "com"
        {"\r\nOPENING\r\n", -1},       // not "open"
        {"\xcf\xcb\r\n", 1},           // "OK" with bit 7 set
    };
    for (const Case& c : cases) {
        line.fake.state->input = c.input;
        EXPECT_EQ(WCOMWaitForHayes(line.port, 2), c.result) << testing::PrintToString(c.input);
    }
    line.fake.state->input = "login:\r\n";
    EXPECT_EQ(WCOMWaitForPad(line.port, 2), 1);
    line.fake.state->input = "";
    EXPECT_EQ(WCOMWaitForPad(line.port, 2), -1);
}

// FEXEC runs the words of its argument as a program and its arguments: no
// shell ever reads them.
TEST_F(ScriptTest, FexecRunsAFixedArgumentList_Mended) {
    TempDir dir;
    const std::string a = dir.file("a");
    const std::string b = dir.file("b");
    EXPECT_EQ(Play({"[FEXEC:/usr/bin/touch " + a + ";touch " + b + "]", "[END:]"}), 1);
    struct stat st {};
    EXPECT_EQ(stat((a + ";touch").c_str(), &st), 0);
    EXPECT_NE(stat(a.c_str(), &st), 0);
    EXPECT_EQ(stat(b.c_str(), &st), 0);  // touch got it as its second argument
    EXPECT_EQ(Play({"[FEXEC:/no/such/program]", "[END:]"}), 1);
}

TEST_F(ScriptTest, HexSendGoesWithoutFfDoubling) {
    WCOM_SetPadDoubleFF(line.port, 1);
    EXPECT_EQ(WCOMSendHexCommand(line.port, "ff00", 3), 1);
    EXPECT_EQ(line.fake.written(), "\xff\x00\r\n"s);
    EXPECT_EQ(WCOM_GetPadDoubleFF(line.port), 1);
}

TEST(PhoneCallTest, ScriptsAgainstTheModem) {
    ComTable table;
    linesim::ModemOptions options;
    options.dialResults["555"] = "NO CARRIER";
    ModemLine m(options, 11, kModemScript);
    ASSERT_TRUE(m.pty->ready());
    EXPECT_EQ(PhoneCall(m.port(), "0123 456", "", "", ""), 1);
    EXPECT_EQ(m.commands(), (std::vector<std::string>{"ATZ", "ATD0123"}));

    // A refused dial (on a second line: the first is connected): -1, the
    // resource left unlocked so that the next call plays INIT again.
    ModemLine other(options, 11, kModemScript);
    EXPECT_EQ(PhoneCall(other.port(), "555", "", "", ""), -1);
    EXPECT_EQ(WCOM_GetResourceByNum(other.port())->lockState, -1);
    EXPECT_EQ(other.commands(), (std::vector<std::string>{"ATZ", "ATD555"}));
}

TEST(PhoneCallTest, AlwaysDiscoPlaysTheDisconnection) {
    ComTable table;
    linesim::ModemOptions options;
    options.dialResults["555"] = "BUSY";
    ModemLine m(options, 13, kModemScript);
    WCOM_GetResourceByNum(m.port())->lockState = 2;  // no INIT while locked
    EXPECT_EQ(PhoneCall(m.port(), "555", "", "", ""), -1);
    EXPECT_EQ(m.commands(), (std::vector<std::string>{"ATD555", "ATH"}));
    // The hang-up of an EMA resource plays the same section.
    EXPECT_EQ(PhoneHangUp(m.port()), 1);
    EXPECT_EQ(m.commands().back(), "ATH");
}

TEST(PhoneCallTest, CasesWithoutAScript) {
    ComTable table;
    testsupport::PtyPort p;
    ASSERT_TRUE(p.ready());
    TraceCapture trace;
    WCOM_SetResourceConnType(p.port, 4);  // no connection script at all
    EXPECT_EQ(PhoneCall(p.port, "1", "", "", ""), 1);
    WCOM_SetResourceConnType(p.port, 1);  // DIRECT __PHONE: the host of an IP link, nothing for a serial one
    EXPECT_EQ(PhoneCall(p.port, "host", "svc", "", ""), 1);
    EXPECT_EQ(PhoneHangUp(p.port), 1);
    WCOM_SetResourceConnType(p.port, 11);
    EXPECT_EQ(PhoneCall(p.port, "1", "", "", ""), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WPhoneCall(): Connection failed, port: 0"));
    EXPECT_EQ(PhoneHangUp(p.port), 1);
    WCOM_SetResourceConnType(p.port, 12);
    EXPECT_EQ(PhoneHangUp(p.port), -2);
    EXPECT_EQ(PhoneCall(9, "1", "", "", ""), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WPhoneCall(): Failed to retrieve resource: 9"));
}

// The access password never reaches a trace line.
TEST(PhoneCallTest, ThePasswordNeverReachesATraceLine_Mended) {
    ComTable table;
    WSysSetLoggerLevel("con_eapi", WLOG_DEBUG);
    WSysSetLoggerLevel("coscript", WLOG_DEBUG);
    ModemLine m(linesim::ModemOptions{}, 11,
                {"[ANALOGIC:]", "[__PHONE:]", "[CONNECT:]", "[VSEND:ATD(_PhoneNumber_)P(_PassWord_)]",
                 "[HAYESRECV:]", "[END:]"});
    TraceCapture trace;
    EXPECT_EQ(PhoneCall(m.port(), "0123", "", "", "s3cr3tw0rd"), 1);
    EXPECT_EQ(m.commands().back(), "ATD0123Ps3cr3tw0rd");
    EXPECT_TRUE(trace.Contains("password: ***"));
    EXPECT_TRUE(trace.Contains("WCOMSendCommand: command: ATD(_PhoneNumber_)P(_PassWord_), cr: 1"));
    for (const std::string& l : TraceCapture::lines()) EXPECT_EQ(l.find("s3cr3tw0rd"), std::string::npos) << l;
    WSysSetLoggerLevel("con_eapi", WLOG_WARN);
    WSysSetLoggerLevel("coscript", WLOG_WARN);
}

TEST(DialTest, ConnectionBlockFallsBackToItsSecondNumber) {
    ComTable table;
    linesim::ModemOptions options;
    options.dialResults["555"] = "BUSY";
    ModemLine m(options, 11, kModemScript);
    KTM_COMM* com = KTM_NewCom(1, 1, nullptr);
    ASSERT_NE(com, nullptr);
    ASSERT_EQ(KTM_SetResource(com, m.port(), 11), 1);
    KTM_NetSetPhone(com, "555", "0123");
    KTM_NetSetAddres(com, "a", "a");
    EXPECT_EQ(ClientComStart(com), 1);
    EXPECT_EQ(com->state, KTM_COMM_DIALLED);
    EXPECT_EQ(com->alternate, 1);
    EXPECT_GT(com->lockHandle, 0);
    // Locked, the first attempt plays no INIT; its failure marks the
    // resource unlocked, so the second one does.
    EXPECT_EQ(m.commands(), (std::vector<std::string>{"ATD555", "ATZ", "ATD0123"}));
    EXPECT_EQ(KTM_CloseCom(com, 1), 0);
    EXPECT_EQ(WCOM_GetResourceByNum(m.port())->handle, -1);
    EXPECT_EQ(WCOM_GetResourceByNum(m.port())->lockState, -1);

    // Equal choices (without case) are dialled once; both failing gives 0
    // (on a second line: the first modem is still connected).
    ModemLine other(options, 11, kModemScript);
    ASSERT_EQ(KTM_SetResource(com, other.port(), 11), 1);
    KTM_NetSetPhone(com, "555", "555");
    KTM_NetSetAddres(com, "A", "a");
    EXPECT_EQ(ClientComStart(com), 0);
    EXPECT_EQ(other.commands(), (std::vector<std::string>{"ATD555"}));
    EXPECT_EQ(WCOM_GetResourceByNum(other.port())->lockState, -1);
    KTM_FreeCom(com);
}

TEST(WebaCallTest, PadCallWithPassword) {
    ComTable table;
    linesim::PadOptions options;
    options.password = "pw";
    options.callDelayMs = 0;
    options.callResults["999"] = "LIB 00";
    auto handler = std::make_unique<linesim::PadHandler>(options);
    linesim::PadHandler* pad = handler.get();
    PtyPort p(std::move(handler));
    ASSERT_TRUE(p.ready());
    WCOM_SetResourceConnType(p.port, 2);
    testsupport::FastClock clock(10);
    plat::ScopedClock scoped(&clock);
    EXPECT_EQ(WEBACall(p.port, nullptr, "1234 x", "DATA  ", "pw"), 1);
    EXPECT_EQ(pad->lines(), (std::vector<std::string>{"SET1:0,2:0,3:0,4:8,5:0", "1234DDATA", "pw"}));

    // A call the PAD clears (a second line: the first one is connected).
    PtyPort refused(std::make_unique<linesim::PadHandler>(options));
    EXPECT_EQ(WEBACall(refused.port, nullptr, "999", "", "pw"), -5);
}

TEST(WebaCallTest, AWrongPasswordIsTriedThreeTimes) {
    ComTable table;
    linesim::PadOptions options;
    options.password = "right";
    options.callDelayMs = 0;
    auto handler = std::make_unique<linesim::PadHandler>(options);
    linesim::PadHandler* pad = handler.get();
    PtyPort p(std::move(handler));
    ASSERT_TRUE(p.ready());
    testsupport::FastClock clock(10);
    plat::ScopedClock scoped(&clock);
    EXPECT_EQ(WEBACall(p.port, nullptr, "1", "", "wrong"), -6);
    EXPECT_EQ(pad->lines(), (std::vector<std::string>{"SET1:0,2:0,3:0,4:8,5:0", "1", "wrong", "wrong", "wrong"}));
    EXPECT_EQ(WEBACall(9, nullptr, "1", "", ""), -1);
}

// Port API over a serial line: the line parameters, single characters within
// a time, the buffered and paced transmitter, write failures told apart by
// the carrier, purges watching for the PAD clear sequence, quiet-line waits,
// flow control. The link-level cases run over every kind of link the fixture
// knows: a pseudo-terminal and loopback TCP through an IP channel.
#include <gtest/gtest.h>

#include <termios.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "platform/clock.h"
#include "support/com_fixture.h"
#include "support/port_link.h"
#include "support/serial_fake.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using namespace std::string_literals;
using testsupport::ComTable;
using testsupport::FakePort;
using testsupport::LinkKind;
using testsupport::MakeLink;
using testsupport::PtyLink;
using testsupport::PtyPort;
using testsupport::ReadTraceRecords;
using testsupport::ScopedFakeSerial;
using testsupport::TempDir;
using testsupport::TraceCapture;
using testsupport::TraceRecord;

class PortLinkTest : public ::testing::TestWithParam<LinkKind> {
protected:
    void SetUp() override { SeqLibPadReset(); }
    ComTable table{2, 0, 1, 0, 1};
};


}  // namespace

INSTANTIATE_TEST_SUITE_P(Links, PortLinkTest, ::testing::Values(LinkKind::Pty, LinkKind::Tcp),
                         testsupport::LinkKindName);

TEST_P(PortLinkTest, CharactersBothWays) {
    auto link = MakeLink(GetParam());
    ASSERT_NE(link, nullptr);
    link->peerSends("OK");
    unsigned char c = 0;
    EXPECT_EQ(PortRxCar(link->port(), &c, 2000), 0);
    EXPECT_EQ(c, 'O');
    EXPECT_EQ(PortRxCar(link->port(), &c, 2000), 0);
    EXPECT_EQ(c, 'K');
    EXPECT_EQ(PortRxCar(link->port(), &c, 20), 'T');

    EXPECT_EQ(PortTxCar(link->port(), 'A', PORT_TX_NEW), 0);
    EXPECT_EQ(PortTxCar(link->port(), 'T', PORT_TX_APPEND), 0);
    EXPECT_EQ(PortTxCar(link->port(), '\r', PORT_TX_APPEND_SEND), 0);
    EXPECT_EQ(PortTxPending(), 0);
    EXPECT_EQ(link->peerGot(3), "AT\r");

    int out = -1, in = -1;
    EXPECT_EQ(PortQueueStatus(link->port(), &out, &in), 0);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(PortWaitTxEmpty(link->port(), 2), 0);
}

TEST_P(PortLinkTest, PurgeSeesThePadClearSequence) {
    auto link = MakeLink(GetParam());
    ASSERT_NE(link, nullptr);
    ComResource* r = WCOM_GetResourceByNum(link->port());
    r->padClearDetection = 0;
    link->peerSends("noise\r\nERROR");
    ASSERT_EQ(WComWaitInput2(link->port(), 2000), 1);
    EXPECT_EQ(PortPurgeRx(link->port(), 2), 0);
    int out = 0, in = -1;
    PortQueueStatus(link->port(), &out, &in);
    EXPECT_EQ(in, 0);

    r->padClearDetection = 1;
    link->peerSends("\r\n\0\0LIB 00\r\n"s);
    ASSERT_EQ(WComWaitInput2(link->port(), 2000), 1);
    EXPECT_EQ(PortPurgeRx(link->port(), 2), 1);
}

TEST_P(PortLinkTest, WaitMuteReturnsOnceTheLineIsQuiet) {
    auto link = MakeLink(GetParam());
    ASSERT_NE(link, nullptr);
    link->peerSends("chatter");
    ASSERT_EQ(WComWaitInput2(link->port(), 2000), 1);
    EXPECT_EQ(PortWaitMute(link->port(), 50, 5), 0);
    int out = 0, in = -1;
    PortQueueStatus(link->port(), &out, &in);
    EXPECT_EQ(in, 0);
}

TEST(PortVpslTest, InitVpslChecksBeforeItStores_Mended) {
    ComTable table;
    ASSERT_EQ(WCOM_CreateResource(1, "", "", ""), 0);
    TraceCapture trace;
    struct Case {
        const char* text;
        int result;
        const char* stored;
    };
    const Case cases[] = {
        {"4018", 0, "4018"}, {"?218", 0, "4218"}, {"9018", 0, "9018"}, {"5049", -1, "9018"},
        {"0018", -1, "9018"}, {"4418", -1, "9018"}, {"401", -1, "9018"}, {"", 0, "9018"},
        {"6127", 0, "6127"}, {"????", 0, "6127"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InitVPSL(0, c.text), c.result) << c.text;
        char text[5];
        ASSERT_EQ(GetVPSL(0, text), 0);
        EXPECT_STREQ(text, c.stored) << c.text;
    }
    EXPECT_TRUE(trace.Contains("-- ERROR -- InitVPSL(): port: 0, wrong VPSL parameter: 5049"));
    EXPECT_EQ(InitVPSL(5, "4018"), 'E');
    char text[5];
    EXPECT_EQ(GetVPSL(5, text), 'E');
    EXPECT_EQ(GetVPSL(0, nullptr), 'E');
}

TEST(PortVpslTest, PortVpslSetsTheLineAndRaisesDtr) {
    ComTable table;
    PtyLink link({});
    ASSERT_EQ(link.opened, 0);
    WComModemLinesBlock low{0, 1};
    ASSERT_EQ(WComWriteIOCtl2(link.port(), WCOM_IOCTL_MODEM_LINES, &low, 2), 2);
    ASSERT_EQ(PortVPSL(link.port(), "4018"), 0);
    termios t{};
    tcgetattr(link.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CSIZE), static_cast<tcflag_t>(CS8));
    WComModemLinesBlock lines{};
    ASSERT_EQ(WComReadIOCtl2(link.port(), WCOM_IOCTL_MODEM_LINES, &lines, 2), 2);
    EXPECT_EQ(lines.dtr, 1);
    EXPECT_EQ(lines.rts, 1);

    ASSERT_EQ(PortVPSL(link.port(), "2028"), 0);
    tcgetattr(link.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B2400);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    ASSERT_EQ(PortVPSL(link.port(), "9018"), 0);  // speed 9 keeps the rate
    tcgetattr(link.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B2400);
    // A pseudo-terminal has no parity: the line set-up fails.
    EXPECT_EQ(PortVPSL(link.port(), "?217"), -1);
    TraceCapture trace;
    EXPECT_EQ(PortVPSL(link.port(), "5049"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- PortVPSL():  port: 0, InitVPSL returned an error: -1"));
    EXPECT_EQ(PortVPSL(7, "4018"), 'E');
}

TEST(PortVpslTest, ParityAndLengthReachTheDevice) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    ASSERT_EQ(PortVPSL(line.port, "?217"), 0);
    EXPECT_EQ(line.fake.state->line.parity, 2);
    EXPECT_EQ(line.fake.state->line.dataBits, 7);
    EXPECT_EQ(line.fake.state->line.stopBits, 1);
    EXPECT_EQ(line.fake.state->line.baud, 9600);
    WComModemLinesBlock low{0, 1};
    ASSERT_EQ(WComWriteIOCtl2(line.port, WCOM_IOCTL_MODEM_LINES, &low, 2), 2);
    EXPECT_FALSE(line.fake.state->dtr);
    ASSERT_EQ(PortVPSL(line.port, "3328"), 0);  // parity 3 is even
    EXPECT_EQ(line.fake.state->line.parity, 2);
    EXPECT_EQ(line.fake.state->line.stopBits, 2);
    EXPECT_EQ(line.fake.state->line.baud, 4800);
    EXPECT_TRUE(line.fake.state->dtr);
}

// The line is watched for the time asked, never longer: with the serial
// line's default read time (110 ms) each of the time / 10 tries of a plain
// read loop would wait 110 ms, eleven times the time asked.
TEST(PortRxCarTest, MendedWaitEndsAtTheAskedTime) {
    ComTable table;
    PtyPort pty;
    ASSERT_EQ(pty.open(), 0);
    pty.sim.inject("Z");
    ASSERT_EQ(WComWaitInput2(pty.port, 5000), 1);

    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    // A byte already waiting is read at once, the time does not run on.
    unsigned char byte = 0;
    EXPECT_EQ(PortRxCar(pty.port, &byte, 1000), 0);
    EXPECT_EQ(byte, 'Z');
    EXPECT_EQ(clock.nowMs(), 1000000);
    for (const int timeMs : {5, 10, 250, 1000, 30000}) {
        const int64_t before = clock.nowMs();
        byte = 0xAA;
        EXPECT_EQ(PortRxCar(pty.port, &byte, timeMs), 'T') << timeMs;
        EXPECT_EQ(byte, 0) << timeMs;
        EXPECT_EQ(clock.nowMs() - before, timeMs) << timeMs;
    }
}

TEST(PortTransmitTest, TransmitSizeGroupsBytesIntoOneWrite) {
    ComTable table;
    FakePort line({"[Tx_size:4]"});
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(PortTxCar(line.port, 'a', PORT_TX_NEW), 0);
    EXPECT_EQ(PortTxCar(line.port, 'b', PORT_TX_APPEND), 0);
    EXPECT_EQ(PortTxCar(line.port, 'c', PORT_TX_APPEND), 0);
    EXPECT_TRUE(line.fake.writes().empty());
    EXPECT_EQ(PortTxCar(line.port, 'd', PORT_TX_APPEND), 0);
    EXPECT_EQ(line.fake.writes(), (std::vector<std::string>{"abcd"}));
    EXPECT_EQ(PortTxCar(line.port, 'e', PORT_TX_APPEND_SEND), 0);
    EXPECT_EQ(line.fake.writes(), (std::vector<std::string>{"abcd", "e"}));
    // Mode 3 drops what was left and sends its byte alone.
    EXPECT_EQ(PortTxCar(line.port, 'x', PORT_TX_NEW), 0);
    EXPECT_EQ(PortTxCar(line.port, 'y', PORT_TX_NEW_SEND), 0);
    EXPECT_EQ(line.fake.writes().back(), "y");
    // PortFlush without the send flag drops the buffer.
    EXPECT_EQ(PortTxCar(line.port, 'z', PORT_TX_NEW), 0);
    EXPECT_EQ(PortFlush(line.port, 0), 0);
    EXPECT_EQ(PortTxPending(), 0);
    EXPECT_EQ(line.fake.writes().size(), 3u);
}

// A transmit size of 0 sets no limit: the buffer goes when the caller sends
// it, never stays behind while reported sent.
TEST(PortTransmitTest, TransmitSizeZeroMeansNoLimit_Mended) {
    ComTable table;
    FakePort line({"[Tx_size:0]"});
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(PortTxCar(line.port, 'a', PORT_TX_NEW), 0);
    for (char c : std::string("bcdefgh")) EXPECT_EQ(PortTxCar(line.port, static_cast<unsigned char>(c), PORT_TX_APPEND), 0);
    EXPECT_TRUE(line.fake.writes().empty());
    EXPECT_EQ(PortFlush(line.port, 1), 0);
    EXPECT_EQ(line.fake.writes(), (std::vector<std::string>{"abcdefgh"}));
    EXPECT_EQ(PortTxPending(), 0);
    // The buffer still goes by itself once full.
    EXPECT_EQ(PortTxCar(line.port, 0, PORT_TX_NEW), 0);
    for (int i = 1; i < PORT_TX_BUFFER_SIZE; ++i) PortTxCar(line.port, static_cast<unsigned char>(i), PORT_TX_APPEND);
    ASSERT_EQ(line.fake.writes().size(), 2u);
    EXPECT_EQ(line.fake.writes()[1].size(), static_cast<size_t>(PORT_TX_BUFFER_SIZE));
}

TEST(PortTransmitTest, PacingFollowsTheDelayAndTheSpeed) {
    struct Case {
        const char* delay;
        const char* vpsl;
        int bytes;
        int64_t ms;
    };
    const Case cases[] = {
        {"[Tx_delay:0]", "[Vpsl:4018]", 20, 0},
        {"[Tx_delay:1203]", "[Vpsl:4018]", 20, 10 * 3 + 20 * 12},
        {"[Tx_delay:205]", "[Vpsl:2018]", 10, 10 * 5 + 10 * 2 * 4},
        {"[Tx_delay:100]", "[Vpsl:8018]", 10, (10 / 4) * 1},
    };
    for (const Case& c : cases) {
        ComTable t;
        FakePort line({c.delay, c.vpsl});
        ASSERT_EQ(line.opened, 0);
        plat::ManualClock clock;
        plat::ScopedClock scoped(&clock);
        const int64_t start = clock.nowMs();
        EXPECT_EQ(PortTxCar(line.port, 'a', PORT_TX_NEW), 0);
        for (int i = 1; i < c.bytes - 1; ++i) PortTxCar(line.port, 'b', PORT_TX_APPEND);
        EXPECT_EQ(PortTxCar(line.port, 'c', PORT_TX_APPEND_SEND), 0);
        EXPECT_EQ(clock.nowMs() - start, c.ms) << c.delay << " " << c.vpsl;
    }
}

TEST(PortTransmitTest, WriteFailuresAreToldApartByTheCarrier) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    line.fake.state->failWrites = true;
    TraceCapture trace;
    struct Case {
        int carrierCheck;
        bool modemLines;
        unsigned status;
        int result;
    };
    const Case cases[] = {
        {0, true, 0, 'E'},
        {1, false, 0, 'E'},
        {1, true, plat::kModemCarrier, 'E'},
        {1, true, plat::kModemCts, 'P'},
    };
    for (const Case& c : cases) {
        PortSetCarrierCheck(line.port, c.carrierCheck);
        line.fake.state->hasModemLines = c.modemLines;
        line.fake.state->modemStatus = c.status;
        EXPECT_EQ(PortTxCar(line.port, 'q', PORT_TX_NEW_SEND), c.result);
        EXPECT_EQ(PortTxCar(line.port, 'q', PORT_TX_NEW), 0);
        EXPECT_EQ(PortFlush(line.port, 1), c.result);
        EXPECT_EQ(PortTxPending(), 0);
    }
    EXPECT_EQ(PortGetCarrierCheck(line.port), 1);
    EXPECT_EQ(PortGetCarrierCheck(9), -1);
    EXPECT_EQ(PortSetCarrierCheck(9, 1), nullptr);
}

// A serial channel whose writes take at most the next of its limits (then
// as much as is given): a write that takes part of what it is given, or
// nothing at all (limit 0), as a channel may. Put in place of the serial
// channel object for its lifetime.
class ShortWritingChannel : public WComInterface {
public:
    explicit ShortWritingChannel(std::vector<int> limits) : limits_(std::move(limits)) {
        WComSetChannelOfType(WCOM_TYPE_SERIAL, this);
    }
    ~ShortWritingChannel() override { WComSetChannelOfType(WCOM_TYPE_SERIAL, nullptr); }
    int Open(int* handle, KTDK_FILE* config) override { return serial_.Open(handle, config); }
    int Close(int handle) override { return serial_.Close(handle); }
    int Read(int handle, void* buffer, int size) override { return serial_.Read(handle, buffer, size); }
    int Write(int handle, const void* bytes, int length) override {
        int n = length;
        if (!limits_.empty()) {
            n = std::min(length, limits_.front());
            limits_.erase(limits_.begin());
        }
        return n > 0 ? WComSerialWrite(handle, bytes, n) : 0;
    }
    int ReadIOCtl(int handle, int code, void* block, int size) override {
        return serial_.ReadIOCtl(handle, code, block, size);
    }
    int WriteIOCtl(int handle, int code, void* block, int size) override {
        return serial_.WriteIOCtl(handle, code, block, size);
    }
    int Connect(int* handle) override { return serial_.Connect(handle); }

private:
    WComSerial serial_;
    std::vector<int> limits_;
};

// A buffer that the channel takes in parts is sent whole, the rest given
// again until all went; one whose rest the channel does not take is an
// emission failure, not a success after its first part.
TEST(PortTransmitTest, TheWholeBufferGoesOrTheSendFails_Mended) {
    struct Case {
        const char* name;
        std::vector<int> limits;
        int result;
        std::vector<std::string> device;  // the writes that reached the line
    };
    const Case cases[] = {
        {"taken whole", {}, 0, {"abcdefgh"}},
        {"taken three bytes at a time", {3, 3, 3}, 0, {"abc", "def", "gh"}},
        {"one byte, then the rest", {1}, 0, {"a", "bcdefgh"}},
        {"two bytes, then nothing", {2, 0}, 'E', {"ab"}},
        {"nothing", {0}, 'E', {}},
    };
    for (const bool flush : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (flush ? ", PortFlush" : ", PortTxCar"));
            ComTable table;
            ShortWritingChannel channel(c.limits);
            FakePort line({"[Tx_size:0]"});
            ASSERT_EQ(line.opened, 0);
            PortSetCarrierCheck(line.port, 0);
            TraceCapture trace;
            EXPECT_EQ(PortTxCar(line.port, 'a', PORT_TX_NEW), 0);
            for (char b : std::string("bcdefg")) PortTxCar(line.port, static_cast<unsigned char>(b), PORT_TX_APPEND);
            const int result =
                flush ? (PortTxCar(line.port, 'h', PORT_TX_APPEND), PortFlush(line.port, 1))
                      : PortTxCar(line.port, 'h', PORT_TX_APPEND_SEND);
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(line.fake.writes(), c.device);
            EXPECT_EQ(PortTxPending(), 0);
            EXPECT_EQ(trace.Contains("emission interrompue"), c.result != 0);
        }
    }
}

TEST(PortDrainTest, DrainStopsAtItsDeadlineWhateverKeepsComing_Mended) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    line.fake.state->endlessInput = true;
    line.fake.state->readCostMs = 5;
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    // The reads of a chattering line take no time: only the settle waits do.
    const int64_t start = clock.nowMs();
    EXPECT_EQ(PortDrainRx(line.port, 1), 0);
    EXPECT_GE(clock.nowMs() - start, 1000);
    EXPECT_LT(clock.nowMs() - start, 1100);
}

TEST(PortDrainTest, WaitMuteReadsInBoundedPieces_Mended) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    line.fake.feed(std::string(5000, 'n'));
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    EXPECT_EQ(PortWaitMute(line.port, 10, 5), 0);
    EXPECT_TRUE(line.fake.state->input.empty());
    EXPECT_LE(line.fake.state->largestRead, 256);
}

TEST(PortDrainTest, PurgeMarksItsChunksInTheTrace) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    line.fake.feed(std::string(300, 'p'));
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    EXPECT_EQ(PortPurgeRx(line.port, 2), 0);
    WComTraceClose();
    std::string markers;
    for (const TraceRecord& r : ReadTraceRecords(line.trace))
        if (r.direction == 2 && r.status != 0 && r.status != 'T') markers.push_back(static_cast<char>(r.status));
    // 256 then 44 bytes in the first poll, none in the second: "PP", then F.
    EXPECT_EQ(markers, "PPF");
}

TEST(PortFlowTest, FlowControlModes) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    struct Case {
        int mode;
        int cts, dsr, rts;
        bool hardware;
    };
    const Case cases[] = {{0, 0, 0, 1, false}, {1, 1, 0, 1, true}, {16, 0, 0, 3, false}, {17, 1, 1, 2, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(PortSetFlowControl(line.port, c.mode), 0);
        WComControlBlock b{};
        ASSERT_EQ(WComReadIOCtl2(line.port, WCOM_IOCTL_CONTROL, &b, sizeof b), 16);
        EXPECT_EQ(b.ctsOutFlow, c.cts) << c.mode;
        EXPECT_EQ(b.dsrOutFlow, c.dsr) << c.mode;
        EXPECT_EQ(b.rtsControl, c.rts) << c.mode;
        EXPECT_EQ(b.dtrControl, 1);
        EXPECT_EQ(b.readTimeout, 10);
        EXPECT_EQ(b.writeTimeout, 10);
        EXPECT_EQ(line.fake.state->hardwareFlow, c.hardware) << c.mode;
    }
    EXPECT_EQ(PortSetFlowControl(line.port, 2), 'T');
    EXPECT_EQ(PortRaiseDTR(9), 'T');
}

TEST(SeqLibPadTest, ClearSequences) {
    ComTable table;
    ASSERT_EQ(WCOM_CreateResource(1, "", "", ""), 0);
    WCOM_GetResourceByNum(0)->padClearDetection = 1;
    struct Case {
        std::string bytes;
        int firesAt;  // index of the byte that completes it, -1 none
    };
    const Case cases[] = {
        {"\r\n\0\0LIB"s, 6},
        {"\r\n\0\0\0\0\0LIB"s, -1},
        {"\r\nERROR", 6},
        {"\r\n\0\0\0\0ERROR"s, 10},
        {"\r\nERRXR", -1},
        {"\r\r\nLIB", 5},
        {"\r\nlib", -1},
        {"\x8d\x8aLIB", 4},  // taken on 7 bits
        {"x\r\nLIB", 5},
    };
    for (const Case& c : cases) {
        SeqLibPadReset();
        WCOM_GetResourceByNum(0);
        int fired = -1;
        for (size_t i = 0; i < c.bytes.size(); ++i)
            if (SeqLibPad(static_cast<unsigned char>(c.bytes[i])) == 1 && fired < 0) fired = static_cast<int>(i);
        EXPECT_EQ(fired, c.firesAt) << testing::PrintToString(c.bytes);
    }
    WCOM_GetResourceByNum(0)->padClearDetection = 0;
    SeqLibPadReset();
    for (char ch : std::string("\r\nLIB")) EXPECT_EQ(SeqLibPad(static_cast<unsigned char>(ch)), 0);
}

// The serial channel: line settings on a real pseudo-terminal read back with
// tcgetattr, line control and its time-outs, and through the device seam what
// a pseudo-terminal cannot do (modem lines, line errors, queue sizes, short
// writes). The communication trace file: records, markers, rotation, mode.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "platform/clock.h"
#include "support/com_fixture.h"
#include "platform/fork_child.h"
#include "support/serial_fake.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::ComTable;
using testsupport::FakePort;
using testsupport::PtyPort;
using testsupport::ReadTraceRecords;
using testsupport::ScopedFakeSerial;
using testsupport::TempDir;
using testsupport::WriteSignedFile;
using testsupport::TraceCapture;
using testsupport::TraceRecord;


termios SlaveSettings(const PtyPort& p) {
    termios t{};
    tcgetattr(p.sim.slaveDescriptor(), &t);
    return t;
}

}  // namespace

// A pseudo-terminal keeps the speed and the stop bits; its driver forces
// eight bits without parity, so those go through the device seam below.
TEST(SerialLineTest, LineSettingsReachTheDeviceAndReadBack) {
    ComTable table;
    PtyPort p;
    ASSERT_TRUE(p.ready());
    ASSERT_EQ(p.open(), 0);
    struct Case {
        WComLineBlock block;
        bool twoStops;
        speed_t speed;
        WComLineBlock readBack;
    };
    const Case cases[] = {
        {{0, 0, 3, 7}, false, B9600, {0, 0, 3, 7}},
        {{0, 2, 3, 4}, true, B1200, {0, 2, 3, 4}},
        {{0, 1, 3, 11}, true, B115200, {0, 2, 3, 11}},
        {{0, 0, 3, 0}, false, B110, {0, 0, 3, 0}},
    };
    for (const Case& c : cases) {
        WComLineBlock block = c.block;
        EXPECT_EQ(WComWriteIOCtl2(p.port, WCOM_IOCTL_LINE, &block, sizeof block), 4);
        const termios t = SlaveSettings(p);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        WComLineBlock back{9, 9, 9, 9};
        EXPECT_EQ(WComReadIOCtl2(p.port, WCOM_IOCTL_LINE, &back, sizeof back), 4);
        EXPECT_EQ(std::memcmp(&back, &c.readBack, 4), 0)
            << int(back.parity) << " " << int(back.stopBits) << " " << int(back.dataBits) << " " << int(back.speedIndex);
    }
    // An index outside the table keeps the rate.
    WComLineBlock keep{0, 0, 3, 12};
    EXPECT_EQ(WComWriteIOCtl2(p.port, WCOM_IOCTL_LINE, &keep, sizeof keep), 4);
    const termios kept = SlaveSettings(p);
    EXPECT_EQ(cfgetospeed(&kept), B110);
    WComLineBlock tooSmall{};
    EXPECT_EQ(WComReadIOCtl2(p.port, WCOM_IOCTL_LINE, &tooSmall, 3), -1);
    EXPECT_EQ(WComReadIOCtl2(p.port, 9, &tooSmall, 4), -1);
}

// A line that cannot open says in the trace which device it tried and what
// the system answered: a missing device, a file that is no terminal, a
// configuration without "Driver".
TEST(SerialLineTest, ALineThatCannotOpenNamesItsDeviceAndTheSystemsError) {
    struct Case {
        std::vector<std::string> lines;  // of the resource's configuration; {} : a regular file as Driver
        std::string expected;
    };
    TempDir dir;
    const std::string notATerminal = dir.file("plain.txt");
    WriteSignedFile(notATerminal, {"[x:y]"});
    const Case cases[] = {
        {{"[Driver:/dev/znp-no-such-tty]"},
         "Ouverture de la ligne serie /dev/znp-no-such-tty impossible: " + std::string(std::strerror(ENOENT))},
        {{"[Driver:" + notATerminal + "]"},
         "Ouverture de la ligne serie " + notATerminal + " impossible: " + std::string(std::strerror(ENOTTY))},
        {{"[Vpsl:4018]"}, "Ligne serie sans \"Driver\" dans "},
    };
    for (const Case& c : cases) {
        ComTable table;
        WriteSignedFile(dir.file("line.cfg"), c.lines);
        const int port = WCOM_CreateResource(WCOM_TYPE_SERIAL, "", dir.file("line.cfg").c_str(), "");
        ASSERT_GE(port, 0);
        TraceCapture trace;
        EXPECT_NE(WComOpen2(port), 0) << c.lines[0];
        EXPECT_TRUE(trace.Contains(c.expected)) << c.expected;
    }
}

// What the device does not take is a failure, never reported as set: a
// pseudo-terminal has no parity, and a device may refuse a whole set-up.
TEST(SerialLineTest, ARefusedLineSetUpIsAFailure_Mended) {
    ComTable table;
    {
        PtyPort p;
        ASSERT_EQ(p.open(), 0);
        WComLineBlock even{2, 0, 2, 7};
        EXPECT_EQ(WComWriteIOCtl2(p.port, WCOM_IOCTL_LINE, &even, sizeof even), -1);
    }
    FakePort f;
    ASSERT_EQ(f.opened, 0);
    f.fake.state->refuseLine = true;
    WComLineBlock block{0, 0, 3, 7};
    EXPECT_EQ(WComWriteIOCtl2(f.port, WCOM_IOCTL_LINE, &block, sizeof block), -1);
}

TEST(SerialLineTest, OddAndEvenParityReadBackApart_Mended) {
    ComTable table;
    FakePort f;
    ASSERT_EQ(f.opened, 0);
    for (uint8_t parity : {1, 2, 0}) {
        WComLineBlock block{parity, 0, 2, 5};
        ASSERT_EQ(WComWriteIOCtl2(f.port, WCOM_IOCTL_LINE, &block, sizeof block), 4);
        EXPECT_EQ(f.fake.state->line.parity, parity);
        EXPECT_EQ(f.fake.state->line.dataBits, 7);
        EXPECT_EQ(f.fake.state->line.baud, 2400);
        WComLineBlock back{};
        ASSERT_EQ(WComReadIOCtl2(f.port, WCOM_IOCTL_LINE, &back, sizeof back), 4);
        EXPECT_EQ(back.parity, parity);
        EXPECT_EQ(back.dataBits, 2);
    }
}

TEST(SerialLineTest, LineControlTimeOutsAndHandshake) {
    ComTable table;
    FakePort f;
    ASSERT_EQ(f.opened, 0);
    WComControlBlock control{};
    control.writeTimeout = 10;
    control.readTimeout = 10;
    control.ctsOutFlow = 1;
    control.stored = 0x5A;
    control.dtrControl = 7;  // any other value: handshake
    control.rtsControl = 3;
    EXPECT_EQ(WComWriteIOCtl2(f.port, WCOM_IOCTL_CONTROL, &control, sizeof control), 16);
    EXPECT_TRUE(f.fake.state->hardwareFlow);
    WComControlBlock back{};
    EXPECT_EQ(WComReadIOCtl2(f.port, WCOM_IOCTL_CONTROL, &back, sizeof back), 16);
    EXPECT_EQ(back.writeTimeout, 10);
    EXPECT_EQ(back.readTimeout, 10);
    EXPECT_EQ(back.ctsOutFlow, 1);
    EXPECT_EQ(back.dsrOutFlow, 0);
    EXPECT_EQ(back.stored, 0x5A);
    EXPECT_EQ(back.dtrControl, 2);
    EXPECT_EQ(back.rtsControl, 3);
}

TEST(SerialLineTest, ReadTimeOfTheLineControl) {
    ComTable table;
    WComControlBlock control{};
    control.writeTimeout = 10;
    control.readTimeout = 10;
    // The read time: (10 + 1) * 10 ms and 1 ms per byte asked.
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    PtyPort p;
    ASSERT_EQ(p.open(), 0);
    EXPECT_EQ(WComWriteIOCtl2(p.port, WCOM_IOCTL_CONTROL, &control, sizeof control), 16);
    char buffer[4];
    const int64_t start = clock.nowMs();
    EXPECT_EQ(WComRead2(p.port, buffer, 4), 0);
    EXPECT_EQ(clock.nowMs() - start, 114);
}

TEST(SerialLineTest, ModemLinesAreStoredForEveryPortFromOneSet) {
    // A fresh process: the stored lines are one set for the whole process.
    const int id = testsupport::UniqueComContext();
    testsupport::ForkedChild child([id](testsupport::Channel&) {
        ComTable table(2, 0, 0, 0, 1, id);
        {
            // On a pseudo-terminal the lines cannot be set: traced, stored.
            PtyPort p;
            if (p.open() != 0) return 1;
            WComModemLinesBlock lines{};
            if (WComReadIOCtl2(p.port, WCOM_IOCTL_MODEM_LINES, &lines, 2) != 2 || lines.dtr != 1 || lines.rts != 1)
                return 2;
            WComModemLinesBlock raise{1, 0};
            if (WComWriteIOCtl2(p.port, WCOM_IOCTL_MODEM_LINES, &raise, 2) != 2) return 3;
        }
        FakePort f;
        if (f.opened != 0) return 4;
        WComModemLinesBlock back{};
        WComReadIOCtl2(f.port, WCOM_IOCTL_MODEM_LINES, &back, 2);
        if (back.dtr != 1 || back.rts != 0) return 5;
        WComModemLinesBlock set{0, 1};
        if (WComWriteIOCtl2(f.port, WCOM_IOCTL_MODEM_LINES, &set, 2) != 2) return 6;
        return !f.fake.state->dtr && f.fake.state->rts ? 0 : 7;
    });
    EXPECT_EQ(child.wait(), 0);
}

TEST(SerialLineTest, ModemStatusAndLineErrorsThroughTheSeam) {
    ComTable table;
    FakePort f;
    ASSERT_EQ(f.opened, 0);
    f.fake.state->modemStatus = plat::kModemCarrier | plat::kModemCts | 0x03;
    f.fake.state->lineErrors = true;
    WComModemStatusBlock status{};
    EXPECT_EQ(WComReadIOCtl2(f.port, WCOM_IOCTL_MODEM_STATUS, &status, 2), 2);
    EXPECT_EQ(status.status, 0x90);
    EXPECT_EQ(status.errors, 14);
    EXPECT_EQ(WComReadIOCtl2(f.port, WCOM_IOCTL_MODEM_STATUS, &status, 2), 2);
    EXPECT_EQ(status.errors, 0);
    EXPECT_EQ(WComWriteIOCtl2(f.port, WCOM_IOCTL_MODEM_STATUS, &status, 2), -1);
    f.fake.state->hasModemLines = false;
    EXPECT_EQ(WComReadIOCtl2(f.port, WCOM_IOCTL_MODEM_STATUS, &status, 2), -1);
}

TEST(SerialLineTest, APseudoTerminalHasNoModemStatus) {
    ComTable table;
    WComModemStatusBlock status{};
    PtyPort p;
    ASSERT_EQ(p.open(), 0);
    EXPECT_EQ(WComReadIOCtl2(p.port, WCOM_IOCTL_MODEM_STATUS, &status, 2), -1);
}

TEST(SerialLineTest, QueuesCountsAndSizes) {
    ComTable table;
    FakePort f;
    ASSERT_EQ(f.opened, 0);
    f.fake.feed("hello");
    f.fake.state->outputWaiting = 3;
    WComQueueBlock q{};
    EXPECT_EQ(WComReadIOCtl2(f.port, WCOM_IOCTL_QUEUES, &q, sizeof q), 24);
    EXPECT_EQ(q.inputWaiting, 5);
    EXPECT_EQ(q.outputWaiting, 3);
    EXPECT_EQ(q.inputSize, 4096);
    WComQueueBlock sizes{};
    sizes.inputSize = 1024;
    sizes.outputSize = 512;
    EXPECT_EQ(WComWriteIOCtl2(f.port, WCOM_IOCTL_QUEUES, &sizes, sizeof sizes), 0);
    EXPECT_EQ(f.fake.state->inputSize, 1024);
    EXPECT_EQ(f.fake.state->outputSize, 512);
    f.fake.state->refuseQueueSizes = true;
    EXPECT_EQ(WComWriteIOCtl2(f.port, WCOM_IOCTL_QUEUES, &sizes, sizeof sizes), -1);
}

TEST(SerialLineTest, InputCountOfAPseudoTerminal) {
    ComTable table;
    WComQueueBlock q{};
    PtyPort p;
    ASSERT_EQ(p.open(), 0);
    p.sim.inject("abc");
    char one;
    ASSERT_EQ(WComWaitInput2(p.port, 2000), 1);
    EXPECT_EQ(WComReadIOCtl2(p.port, WCOM_IOCTL_QUEUES, &q, sizeof q), 24);
    EXPECT_GE(q.inputWaiting, 1);
    EXPECT_EQ(WComRead2(p.port, &one, 1), 1);
    EXPECT_EQ(one, 'a');
}

TEST(SerialWriteTest, ShortWritesAreRetriedAndTraced) {
    ComTable table;
    FakePort f;
    ASSERT_EQ(f.opened, 0);
    TraceCapture trace;
    f.fake.state->writeLimits = {2, 0, 8};
    EXPECT_EQ(WComWrite2(f.port, "ABCDEFGH", 8), 8);
    EXPECT_EQ(f.fake.writes(), (std::vector<std::string>{"AB", "", "CDEFGH"}));
    EXPECT_TRUE(trace.Contains("@@ DEBUG @@ [WComSerialWrite] "));

    f.fake.state->writes.clear();
    f.fake.state->writeLimits = std::vector<int>(200, 0);
    EXPECT_EQ(WComWrite2(f.port, "XY", 2), -1);
    EXPECT_EQ(f.fake.writes().size(), static_cast<size_t>(WCOM_SERIAL_WRITE_ATTEMPTS));
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WComSerialWrite] "));
}

TEST(CommTraceTest, StatusSWritesNothingAndNoResourceIsAnError) {
    ComTable table;
    TempDir dir;
    const std::string path = dir.file("s.log");
    ASSERT_EQ(WCOM_CreateResource(1, path.c_str(), "", ""), 0);
    WCOM_GetResourceByNum(0);
    EXPECT_EQ(WComTrace(1, 'S', "ab", 2), 1);
    EXPECT_TRUE(ReadTraceRecords(path).empty());
    EXPECT_EQ(WComTrace(1, '*', "12", 2), 1);
    EXPECT_EQ(ReadTraceRecords(path), (std::vector<TraceRecord>{{1, '*', '1'}, {1, '*', '2'}}));
    WComTraceClose();
    WCOM_SetResourceTraceMode(0, WCOM_TRACE_NONE);
    EXPECT_EQ(WComTrace(1, '*', "3", 1), 1);
    EXPECT_EQ(ReadTraceRecords(path).size(), 2u);
    // A trace file that cannot be opened drops the record.
    WCOM_SetResourceTraceMode(0, WCOM_TRACE_WANALY);
    WCOM_SetResourceFile(0, 3, (dir.str() + "/missing/dir/t.log").c_str());
    EXPECT_EQ(WComTrace(1, '*', "4", 1), -1);
}

// The trace holds terminal bytes: it is private to the user.
TEST(CommTraceTest, TraceFileIsCreatedPrivate_Mended) {
    ComTable table;
    TempDir dir;
    const std::string path = dir.file("p.log");
    ASSERT_EQ(WCOM_CreateResource(1, path.c_str(), "", ""), 0);
    WCOM_GetResourceByNum(0);
    ASSERT_EQ(WComTraceRecord(2, 0, "x", 1), 1);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(CommTraceTest, AFullFileRotatesToItsLobName) {
    ComTable table;
    TempDir dir;
    const std::string path = dir.file("COM1.log");
    const std::string lob = dir.file("COM1.LOB");
    ASSERT_EQ(WCOM_CreateResource(1, path.c_str(), "", ""), 0);
    WCOM_GetResourceByNum(0);
    const int kb = WComTraceGetMaxSize();
    ASSERT_EQ(kb, WCOM_TRACE_DEFAULT_MAX_KB);
    {
        FILE* old = std::fopen(lob.c_str(), "wb");
        std::fputs("older", old);
        std::fclose(old);
        FILE* f = std::fopen(path.c_str(), "wb");
        const std::string filler(static_cast<size_t>(kb) * 1024 - 4, 'f');
        std::fwrite(filler.data(), 1, filler.size(), f);
        std::fclose(f);
    }
    // 512000 - 4 + 1 + 2 stays under 500 KB: appended.
    ASSERT_EQ(WComTraceRecord(1, 0, "a", 1), 1);
    WComTraceClose();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kb * 1024 - 1);
    // Now (511999 + 1 + 2) / 1024 reaches 500: the file moves to COM1.LOB.
    ASSERT_EQ(WComTraceRecord(1, 0, "b", 1), 1);
    WComTraceClose();
    ASSERT_EQ(stat(lob.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kb * 1024 - 1);
    EXPECT_EQ(ReadTraceRecords(path), (std::vector<TraceRecord>{{1, 0, 'b'}}));

    WComTraceSetMaxSize(0);
    EXPECT_EQ(WComTraceGetMaxSize(), kb);
    WComTraceSetMaxSize(1);
    EXPECT_EQ(WComTraceGetMaxSize(), 1);
    WComTraceSetMaxSize(WCOM_TRACE_DEFAULT_MAX_KB);
}

namespace {

// The data bytes of a trace, by direction.
std::string TraceData(const std::string& path, int direction) {
    std::string out;
    for (const TraceRecord& r : ReadTraceRecords(path))
        if (r.direction == direction && r.status == 0) out.push_back(static_cast<char>(r.byte));
    return out;
}

// A link's masker of the test: every sent "s" and received "r" becomes "*",
// and it sees each exchange whole.
std::vector<std::pair<std::string, std::string>> g_exchanges;
bool StarMasker(unsigned char* sent, size_t sentLength, unsigned char* received, size_t receivedLength) {
    g_exchanges.emplace_back(std::string(sent, sent + sentLength), std::string(received, received + receivedLength));
    for (size_t i = 0; i < sentLength; ++i)
        if (sent[i] == 's') sent[i] = '*';
    for (size_t i = 0; i < receivedLength; ++i)
        if (received[i] == 'r') received[i] = '*';
    return false;
}

}  // namespace

// The bytes of one exchange are held until the next exchange starts, then
// written with their card data masked, in the order they went: a track that
// came in pieces is masked whole. Markers with nothing held go at once.
TEST(CommTraceTest, AnExchangeIsWrittenWithItsCardDataMasked_Mended) {
    for (const uint8_t mode : {WCOM_TRACE_WANALY, WCOM_TRACE_SQLITE}) {
        SCOPED_TRACE(static_cast<int>(mode));
        ComTable table;
        FakePort line;
        ASSERT_EQ(line.opened, 0);
        WCOM_SetResourceTraceMode(line.port, mode);
        ASSERT_EQ(ReadTraceRecords(line.trace), (std::vector<TraceRecord>{{1, 'O', 0}}));

        EXPECT_EQ(WComWrite2(line.port, "READ", 4), 4);
        char buffer[64] = {};
        line.fake.feed(";49701000123");
        EXPECT_EQ(WComRead2(line.port, buffer, sizeof buffer), 12);
        line.fake.feed("45678=25122010000000000?");
        EXPECT_EQ(WComRead2(line.port, buffer, sizeof buffer), 24);
        EXPECT_EQ(WComRead2(line.port, buffer, sizeof buffer), 0);  // a 'T' marker, held in order
        EXPECT_EQ(ReadTraceRecords(line.trace).size(), 1u);          // the exchange is held
        EXPECT_EQ(WComWrite2(line.port, "NEXT", 4), 4);

        const std::vector<TraceRecord> records = ReadTraceRecords(line.trace);
        ASSERT_EQ(records.size(), 1u + 4 + 36 + 1);
        EXPECT_EQ(records.back(), (TraceRecord{2, 'T', '4'}));  // the buffer's first byte
        EXPECT_EQ(TraceData(line.trace, 1), "READ");
        EXPECT_EQ(TraceData(line.trace, 2), ";497010------5678=-----------------?");
        // The closing writes what is held, then its marker.
        EXPECT_EQ(WComClose2(line.port), 1);
        EXPECT_EQ(TraceData(line.trace, 1), "READNEXT");
        EXPECT_EQ(ReadTraceRecords(line.trace).back(), (TraceRecord{1, 'C', 0}));
    }
}

// A link's own masker sees what was sent and what was received apart, each
// exchange whole, before the masks for any bytes.
TEST(CommTraceTest, TheLinksMaskerSeesEachExchangeWhole_Mended) {
    ComTable table;
    FakePort line;
    ASSERT_EQ(line.opened, 0);
    g_exchanges.clear();
    WComTraceSetMasker(line.port, StarMasker);
    char buffer[32] = {};
    for (const char* answer : {"rr4970303333333330", "xr"}) {
        EXPECT_EQ(WComWrite2(line.port, "ss", 2), 2);
        EXPECT_EQ(WComWrite2(line.port, "as", 2), 2);
        line.fake.feed(answer);
        EXPECT_EQ(WComRead2(line.port, buffer, sizeof buffer), static_cast<int>(std::strlen(answer)));
    }
    WComTraceClose();
    EXPECT_EQ(g_exchanges, (std::vector<std::pair<std::string, std::string>>{
                               {"ssas", "rr4970303333333330"}, {"ssas", "xr"}}));
    EXPECT_EQ(TraceData(line.trace, 1), "**a***a*");
    EXPECT_EQ(TraceData(line.trace, 2), "**497030------3330x*");
    // Without a masker, the masks for any bytes alone.
    WComTraceSetMasker(line.port, nullptr);
    EXPECT_EQ(WComWrite2(line.port, "ss", 2), 2);
    WComTraceClose();
    EXPECT_EQ(TraceData(line.trace, 1), "**a***a*ss");
    EXPECT_EQ(g_exchanges.size(), 2u);
}

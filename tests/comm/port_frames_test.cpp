// Frames with checksums: the worked examples byte for byte, every reception
// control value the link layers use, direct mode, and garbage, truncated and
// over-long frames. Over a pseudo-terminal with the line simulator at the far
// end, over loopback TCP through an IP channel, and over the device seam
// where a test counts the writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "linesim/line_sim.h"
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
using testsupport::ScopedFakeSerial;
using testsupport::TempDir;
using testsupport::TraceCapture;


class FramesTest : public ::testing::Test {
protected:
    void SetUp() override {
        SeqLibPadReset();
        ASSERT_EQ(line.opened, 0);
    }
    // Receives with the control byte from what the far end sent; the buffer
    // has room for `wanted` bytes and a guard behind them.
    int Receive(const std::string& sent, int control, uint32_t wanted, std::string* frame, uint32_t time = 100) {
        line.fake.state->input = sent;
        std::vector<unsigned char> buffer(wanted + 8, 0xEE);
        uint32_t length = wanted;
        const int result = PortRecest(line.port, buffer.data(), &length, control, time);
        for (size_t i = wanted; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << "written past the length";
        EXPECT_LE(length, wanted);
        frame->assign(reinterpret_cast<const char*>(buffer.data()), length);
        return result;
    }
    std::string Left() { return line.fake.state->input; }

    ComTable table;
    FakePort line;
};

}  // namespace

TEST_F(FramesTest, EmissionTrailersOfTheWorkedExample) {
    struct Case {
        int method;
        std::string written;
    };
    const Case cases[] = {
        {1, "\x61\x62\x63\x72\x76"},
        {2, "\x61\x62\x63\x9f"},
        {3, "\x61\x62\x63\x60"},
        {0, "\x61\x62\x63"},
    };
    for (const Case& c : cases) {
        line.fake.state->writes.clear();
        EXPECT_EQ(PortEmist(line.port, "abc", 3, c.method), 0) << c.method;
        EXPECT_EQ(line.fake.writes(), std::vector<std::string>{c.written}) << c.method;
    }
    // Method 6: method 2 added to a buffer the caller started.
    line.fake.state->writes.clear();
    ASSERT_EQ(PortTxCar(line.port, 0x02, PORT_TX_NEW), 0);
    EXPECT_EQ(PortEmist(line.port, "abc", 3, 6), 0);
    EXPECT_EQ(line.fake.writes(), std::vector<std::string>{"\x02\x61\x62\x63\x9f"});
}

TEST_F(FramesTest, EmissionEdges) {
    TraceCapture trace;
    EXPECT_EQ(PortEmist(line.port, "abc", 3, 9), 'E');
    EXPECT_TRUE(trace.Contains("-- ERROR -- PortEmist(): Checksum method is not supported: 9 (should be 0, 1, 2 or 3)"));
    EXPECT_TRUE(line.fake.writes().empty());
    // An empty frame without append drops what was buffered.
    EXPECT_EQ(PortEmist(line.port, "", 0, 0), 0);
    EXPECT_TRUE(line.fake.writes().empty());
    EXPECT_EQ(PortEmist(9, "abc", 3, 0), 'E');
    // The PAD clear sequence waiting on a serial line stops the emission.
    WCOM_GetResourceByNum(line.port)->padClearDetection = 1;
    line.fake.feed("\r\nLIB");
    EXPECT_EQ(PortEmist(line.port, "abc", 3, 3), 'E');
    EXPECT_TRUE(line.fake.writes().empty());
}

TEST_F(FramesTest, ReceptionControlValuesOfTheLinkLayers) {
    struct Case {
        std::string sent;
        int control;
        uint32_t wanted;
        int result;
        std::string frame;
        std::string left;  // bytes still on the line afterwards
    };
    const Case cases[] = {
        {"\x02\x61\x62\x63\x03\x61", 19, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"\x02\x61\x62\x63\x03\xe1", 19, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"\x02\x61\x62\x63\x03\x62", 19, 64, 'X', "\x02\x61\x62\x63\x03", ""},
        {"\x02\x61\x62\x63\x03\x9e", 18, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"\x02\x61\x62\x63\x03\x1e", 18, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"abcd", 0, 3, 0, "abc", "d"},
        {"ab\x03zz", 16, 64, 0, "ab\x03", "zz"},
        {"ab\x17zz", 16, 64, 0, "ab\x17", "zz"},
        {"ab\x04zz", 16, 64, 0, "ab\x04", "zz"},
        {"\x02\x61\x62\x63\x03r{", 0x51, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"\xc0\x41\xc1\x40", 0xA3, 64, 0, "\xc0\x41\xc1", ""},
    };
    for (const Case& c : cases) {
        std::string frame;
        EXPECT_EQ(Receive(c.sent, c.control, c.wanted, &frame), c.result) << testing::PrintToString(c.sent);
        EXPECT_EQ(frame, c.frame) << testing::PrintToString(c.sent);
        EXPECT_EQ(Left(), c.left) << testing::PrintToString(c.sent);
    }
}

TEST_F(FramesTest, GarbageTruncatedAndOverLongFrames) {
    struct Case {
        const char* what;
        std::string sent;
        int control;
        uint32_t wanted;
        int result;
        std::string frame;
    };
    const Case cases[] = {
        {"garbage before the start", "zz\x01\x02" "ab\x03" "\x02", 0x53, 64, 0, "\x02" "ab\x03"},
        {"nothing but garbage", "zzzz", 0x53, 64, 'T', ""},
        {"silence", "", 19, 64, 'T', ""},
        {"cut in the frame", "\x02" "ab", 0x53, 64, 'T', "\x02" "ab"},
        {"cut before the checksum", "\x02" "ab\x03", 0x53, 64, 'T', "\x02" "ab\x03"},
        {"longer than the room", "\x02" "abcdefghijkl", 0x53, 8, 'X', "\x02" "abcdefg"},
        {"exactly the room", "\x02" "abcdef\x03" "\x06", 0x53, 8, 0, "\x02" "abcdef\x03"},
        {"no room at all", "\x02\x03\x01", 0x53, 0, 'X', ""},
        {"bad sum characters", "\x02\x61\x62\x63\x03qv", 0x51, 64, 'X', "\x02\x61\x62\x63\x03"},
        {"one sum character", "\x02\x61\x62\x63\x03r", 0x51, 64, 'T', "\x02\x61\x62\x63\x03"},
    };
    for (const Case& c : cases) {
        std::string frame;
        EXPECT_EQ(Receive(c.sent, c.control, c.wanted, &frame), c.result) << c.what;
        EXPECT_EQ(frame, c.frame) << c.what;
    }
}

// The checksum is read into a variable of its own: a frame that fills the
// caller's room exactly leaves every byte after it untouched.
TEST_F(FramesTest, TheChecksumNeverLandsPastTheLength_Mended) {
    std::string frame;
    EXPECT_EQ(Receive("\x02\x61\x62\x63\x03\x61", 19, 5, &frame), 0);
    EXPECT_EQ(frame, "\x02\x61\x62\x63\x03");
    EXPECT_EQ(Receive("\x02\x61\x62\x63\x03r{", 0x51, 5, &frame), 0);
}

TEST_F(FramesTest, AnUnsupportedReceptionMethodIsAnError_Mended) {
    TraceCapture trace;
    std::string frame;
    EXPECT_EQ(Receive("\x02" "abc\x03", 0x1C, 64, &frame), 'X');
    EXPECT_EQ(frame, "");
    EXPECT_EQ(Left(), "\x02" "abc\x03");  // nothing taken from the line
    EXPECT_TRUE(trace.Contains("-- ERROR -- PortRecest(): Checksum method is not supported: 28 (should be 0, 1, 2 or 3)"));
}

// A frame started by EOT ends at its first byte: the length counts it.
TEST_F(FramesTest, EotStartedFramesCountTheBytesKept_Mended) {
    std::string frame;
    EXPECT_EQ(Receive("\x04{", 0x50, 64, &frame), 0);
    EXPECT_EQ(frame, "\x04{");
    EXPECT_EQ(Receive("\x04" "A", 0x50, 64, &frame), 'X');
    EXPECT_EQ(frame, "\x04" "A");
    EXPECT_EQ(Receive("\x04\x03", 0x50, 64, &frame), 0);
    EXPECT_EQ(frame, "\x04\x03");
}

// End mode 3: three digits after the start give the frame's length less
// one; a frame that would not fit the caller's room is refused.
TEST_F(FramesTest, LengthFieldFramesAreCappedAtTheRoom_Mended) {
    std::string frame;
    EXPECT_EQ(Receive("\x02" "006ABCrest", 0x70, 64, &frame), 0);
    EXPECT_EQ(frame, "\x02" "006ABC");
    EXPECT_EQ(Left(), "rest");
    EXPECT_EQ(Receive("\x02" "999ABC", 0x70, 64, &frame), 'X');
    EXPECT_EQ(frame, "\x02" "999");
    EXPECT_EQ(Left(), "ABC");
    EXPECT_EQ(Receive("\x02" "001ABC", 0x70, 64, &frame), 'X');
    EXPECT_EQ(Receive("003X", 0x30, 64, &frame), 0);
    EXPECT_EQ(frame, "003X");
}

// A frame of a known length (a RUDA block's header, then its rest) is taken
// as the line holds it: one read for what is there, never a byte past the
// count asked; a frame looked for by its end byte, or on a line watched for
// the PAD clear sequence, is still read a byte at a time.
TEST_F(FramesTest, KnownLengthsAreReadAsTheLineHoldsThem) {
    const std::string block = "\x01\x00\x05"s + "hello" + "\x6e";
    const std::string next = "\x01\x00\x02"s;
    struct Case {
        const char* what;
        std::string sent;
        int control;
        uint32_t wanted;
        std::string frame;
        int reads;  // read calls the line saw
        std::string left;
    };
    const Case cases[] = {
        {"the header", block + next, 0, 3, "\x01\x00\x05"s, 1, "hello\x6e" + next},
        {"the whole block", block + next, 0, 9, block, 1, next},
        {"a length-field frame: header, then the rest", "003XYrest", 0x30, 64, "003X", 2, "Yrest"},
        {"an end byte: one read a byte", "ab\x03zz", 16, 64, "ab\x03", 3, "zz"},
    };
    for (const Case& c : cases) {
        line.fake.state->reads = 0;
        std::string frame;
        EXPECT_EQ(Receive(c.sent, c.control, c.wanted, &frame), 0) << c.what;
        EXPECT_EQ(frame, c.frame) << c.what;
        EXPECT_EQ(line.fake.state->reads, c.reads) << c.what;
        EXPECT_EQ(Left(), c.left) << c.what;
    }
    WCOM_GetResourceByNum(line.port)->padClearDetection = 1;
    line.fake.state->reads = 0;
    std::string frame;
    EXPECT_EQ(Receive(block, 0, 9, &frame), 0);
    EXPECT_EQ(frame, block);
    EXPECT_EQ(line.fake.state->reads, 9) << "a watched line is read a byte at a time";
}

TEST_F(FramesTest, PadClearDuringAFrameEndsIt) {
    WCOM_GetResourceByNum(line.port)->padClearDetection = 1;
    std::string frame;
    EXPECT_EQ(Receive("ab\r\nLIB", 16, 64, &frame), 'P');
    EXPECT_EQ(frame, "ab\r\nLI");  // the byte that completed the sequence is not kept
    EXPECT_EQ(Receive("\r\nERROR", 0x53, 64, &frame), 'P');
    EXPECT_EQ(frame, "");
}

TEST(FramesDirectTest, DirectModeSendsAndReceivesRaw) {
    ComTable table;
    FakePort line({"[DirectMode:1]"});
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(PortEmist(line.port, "raw", 3, 3), 0);
    EXPECT_EQ(line.fake.writes(), std::vector<std::string>{"raw"});
    line.fake.feed("abcdef");
    unsigned char buffer[16];
    uint32_t length = 4;
    EXPECT_EQ(PortRecest(line.port, buffer, &length, 19, 50), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "abcd");

    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    length = 16;
    const int64_t start = clock.nowMs();
    EXPECT_EQ(PortRecest(line.port, buffer, &length, 0, 50), 'T');
    EXPECT_EQ(length, 2u);  // "ef" came, then nothing for 500 ms
    EXPECT_GE(clock.nowMs() - start, 500);
    EXPECT_LT(clock.nowMs() - start, 600);
    line.fake.state->failWrites = true;
    EXPECT_EQ(PortEmist(line.port, "x", 1, 0), 'P');
    EXPECT_EQ(PortRecest(9, buffer, &length, 0, 50), 'R');
}

// The worked frame over a real line, with the simulator at the far end.
TEST(FramesLineTest, WorkedFramesOverAPseudoTerminal) {
    ComTable table;
    std::string error;
    auto steps = linesim::ParseScenario(
        "expect 61 62 63 60\n"
        "send 02 61 62 63 03 61\n"
        "expect 02 41 be\n"
        "send 02 61 62 63 03 61 corrupt=2:01\n",
        &error);
    ASSERT_TRUE(steps.has_value()) << error;
    testsupport::PtyPort p(std::make_unique<linesim::ScenarioHandler>(std::move(*steps)));
    ASSERT_EQ(p.open(), 0);
    EXPECT_EQ(PortEmist(p.port, "abc", 3, 3), 0);
    unsigned char buffer[64];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(PortRecest(p.port, buffer, &length, 19, 2000), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "\x02\x61\x62\x63\x03");
    ASSERT_EQ(PortTxCar(p.port, 0x02, PORT_TX_NEW), 0);
    EXPECT_EQ(PortEmist(p.port, "A", 1, 6), 0);  // XOR from 0xFF over the data only
    length = sizeof buffer;
    EXPECT_EQ(PortRecest(p.port, buffer, &length, 19, 2000), 'X');  // one data byte corrupted on the line
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "\x02\x61\x63\x63\x03");
    EXPECT_EQ(p.sim.wait(5000), "");
}

namespace {

class FramesLinkTest : public ::testing::TestWithParam<testsupport::LinkKind> {
protected:
    void SetUp() override { SeqLibPadReset(); }
    // What is left on the line: the bytes read one by one until none comes.
    static std::string Left(int port) {
        std::string left;
        unsigned char c = 0;
        while (PortRxCar(port, &c, 10) == 0) left.push_back(static_cast<char>(c));
        return left;
    }
    static int Receive(int port, int control, uint32_t room, std::string* frame) {
        std::vector<unsigned char> buffer(room + 1, 0xEE);
        uint32_t length = room;
        const int result = PortRecest(port, buffer.data(), &length, control, 2000);
        EXPECT_EQ(buffer[room], 0xEE) << "written past the room";
        frame->assign(reinterpret_cast<const char*>(buffer.data()), length);
        return result;
    }
    ComTable table{2, 0, 1, 0, 1};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Links, FramesLinkTest,
                         ::testing::Values(testsupport::LinkKind::Pty, testsupport::LinkKind::Tcp),
                         testsupport::LinkKindName);

// The worked frames both ways, then a frame corrupted on the way.
TEST_P(FramesLinkTest, WorkedFramesBothWays) {
    auto link = testsupport::MakeLink(GetParam());
    ASSERT_NE(link, nullptr);
    const int port = link->port();
    EXPECT_EQ(PortEmist(port, "abc", 3, 3), 0);
    EXPECT_EQ(link->peerGot(4), "abc\x60");
    link->peerSends("\x02\x61\x62\x63\x03\x61");
    std::string frame;
    EXPECT_EQ(Receive(port, 19, 64, &frame), 0);
    EXPECT_EQ(frame, "\x02\x61\x62\x63\x03");
    ASSERT_EQ(PortTxCar(port, 0x02, PORT_TX_NEW), 0);
    EXPECT_EQ(PortEmist(port, "A", 1, 6), 0);  // XOR from 0xFF over the data only
    EXPECT_EQ(link->peerGot(7), "abc\x60\x02\x41\xbe");
    link->peerSends("\x02\x61\x63\x63\x03\x61");
    EXPECT_EQ(Receive(port, 19, 64, &frame), 'X');
    EXPECT_EQ(frame, "\x02\x61\x63\x63\x03");
}

TEST_P(FramesLinkTest, ReceptionControlValuesOfTheLinkLayers) {
    auto link = testsupport::MakeLink(GetParam());
    ASSERT_NE(link, nullptr);
    struct Case {
        std::string sent;
        int control;
        uint32_t room;
        int result;
        std::string frame;
        std::string left;
    };
    const Case cases[] = {
        {"\x02\x61\x62\x63\x03\xe1", 19, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"\x02\x61\x62\x63\x03\x9e", 18, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"abcd", 0, 3, 0, "abc", "d"},
        {"ab\x17zz", 16, 64, 0, "ab\x17", "zz"},
        {"\x02\x61\x62\x63\x03r{", 0x51, 64, 0, "\x02\x61\x62\x63\x03", ""},
        {"\xc0\x41\xc1\x40", 0xA3, 64, 0, "\xc0\x41\xc1", ""},
        {"zz\x01\x02" "ab\x03" "\x02", 0x53, 64, 0, "\x02" "ab\x03", ""},
        {"\x02" "abcdefghijkl", 0x53, 8, 'X', "\x02" "abcdefg", "ijkl"},  // h taken as the checksum
        {"\x02" "006ABCrest", 0x70, 64, 0, "\x02" "006ABC", "rest"},
    };
    for (const Case& c : cases) {
        link->peerSends(c.sent);
        std::string frame;
        EXPECT_EQ(Receive(link->port(), c.control, c.room, &frame), c.result) << testing::PrintToString(c.sent);
        EXPECT_EQ(frame, c.frame) << testing::PrintToString(c.sent);
        EXPECT_EQ(Left(link->port()), c.left) << testing::PrintToString(c.sent);
    }
}

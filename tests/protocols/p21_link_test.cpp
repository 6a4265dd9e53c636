// P21 link: frames built and read back without a port (stuffing, the end of
// a frame after runs of DLEs, check bytes), then the link's steps on a real
// serial line whose far end sends what the test gives (received frames,
// silence, over-long frames, a hung-up line) or answers as the P21 device
// simulator.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/port_api.h"
#include "linesim/line_sim.h"
#include "p21sim/p21_device.h"
#include "protocols/p21/p21_link.h"
#include "protocols/xpro/xpro_context.h"
#include "protocols/xpro/xpro_control.h"
#include "support/com_fixture.h"
#include "support/serial_fake.h"

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string Stuff(const std::string& message, int room = P21_FRAME_MAX) {
    std::vector<unsigned char> out(static_cast<size_t>(room) + 1, 0xEE);
    const int n = P21_StuffFrame(U(message), static_cast<int>(message.size()), out.data(), room);
    EXPECT_EQ(out[static_cast<size_t>(room)], 0xEE) << "nothing past the room";
    return n < 0 ? "refused" : std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
}

struct ContextDeleter {
    void operator()(KT_XPROT* ctx) const { XA_LinkClose(ctx); }
};
using Context = std::unique_ptr<KT_XPROT, ContextDeleter>;

// A P21 link context on a pseudo-terminal whose far end is the handler.
class P21Line {
public:
    explicit P21Line(std::unique_ptr<linesim::FrameHandler> handler = std::make_unique<testsupport::QuietHandler>())
        : pty(std::move(handler)) {
        opened = pty.open();
        ctx.reset(static_cast<KT_XPROT*>(XAS_LinkOpen("XPRO/0/000/1000/0000000000000000/000/000/________/________/100/00/")));
        if (ctx != nullptr) XPRO_SetPort(ctx.get(), pty.port);
    }
    // Bytes to the program, waiting until they can be read (small amounts).
    void arrive(const std::string& bytes) {
        pty.sim.inject(bytes);
        ASSERT_TRUE(pty.sim.waitQueued(bytes.size(), 5000));
    }
    // One receive callback: the message delivered ("" when it gave 0).
    std::string receive(int32_t timeoutMs = -1, uint32_t capacity = 65536) {
        std::vector<unsigned char> frame(capacity + 1, 0xEE);
        received = P21_LinkReceive(ctx.get(), frame.data(), capacity, timeoutMs, 0);
        EXPECT_EQ(frame[capacity], 0xEE);
        return std::string(reinterpret_cast<char*>(frame.data()), static_cast<size_t>(received > 0 ? received : 0));
    }
    int send(const std::string& message) {
        std::string copy = message;
        return P21_LinkSend(ctx.get(), copy.data(), static_cast<uint32_t>(copy.size()), 2000, 1);
    }

    testsupport::ComTable table;
    testsupport::PtyPort pty;
    int opened = -1;
    Context ctx;
    int received = 0;
};

}  // namespace

TEST(P21Frame, StuffingAndCheckByte) {
    struct Case {
        std::string message;
        std::string frame;
    };
    const Case cases[] = {
        // The check byte is 01 ^ 10 ^ 03 ^ 02 = 10; it is not stuffed.
        {Bytes({0x01, 0x10, 0x03, 0x02}), Bytes({0x02, 0x01, 0x10, 0x10, 0x10, 0x03, 0x02, 0x03, 0x10})},
        {"", Bytes({0x02, 0x03, 0x00})},
        {Bytes({0x41, 0x10}), Bytes({0x02, 0x41, 0x10, 0x10, 0x03, 0x51})},
        // STX, EOT and ETB inside a message are not stuffed.
        {Bytes({0x02, 0x04, 0x17}), Bytes({0x02, 0x02, 0x04, 0x17, 0x03, 0x11})},
    };
    for (const Case& c : cases) EXPECT_EQ(Stuff(c.message), c.frame) << linesim::Hex(c.message);
}

// The send buffer holds 8192 bytes: a message whose frame would pass them
// is refused whole, never cut.
TEST(P21Frame, FrameOverTheSendBufferIsRefused_Mended) {
    EXPECT_EQ(Stuff(std::string(4094, '\x10')).size(), 8191u);
    EXPECT_EQ(Stuff(std::string(8189, 'a')).size(), 8192u);
    EXPECT_EQ(Stuff(std::string(8190, 'a')), "refused");
    EXPECT_EQ(Stuff(std::string(4095, '\x03')), "refused");
    EXPECT_EQ(Stuff("abc", 5), "refused");
    EXPECT_EQ(Stuff("abc", 6).size(), 6u);
}

TEST(P21Frame, ReadBack) {
    struct Case {
        const char* name;
        std::string frame;
        int room;
        int letter;
        std::string message;
    };
    const Case cases[] = {
        {"stuffed ETX", Bytes({0x02, 0x41, 0x10, 0x03, 0x42, 0x03, 0x00}), 100, 0, Bytes({0x41, 0x03, 0x42})},
        {"doubled DLE", Bytes({0x02, 0x01, 0x10, 0x10, 0x10, 0x03, 0x02, 0x03, 0x10}), 100, 0,
         Bytes({0x01, 0x10, 0x03, 0x02})},
        {"empty", Bytes({0x02, 0x03, 0x00}), 100, 0, ""},
        {"lone DLE kept", Bytes({0x02, 0x10, 0x41, 0x03, 0x51}), 100, 0, Bytes({0x10, 0x41})},
        {"wrong check", Bytes({0x02, 0x41, 0x42, 0x03, 0x00}), 100, 'X', ""},
        {"no STX", Bytes({0x06, 0x41, 0x03, 0x41}), 100, 'S', ""},
        {"stuffed last ETX", Bytes({0x02, 0x41, 0x10, 0x03, 0x41}), 100, 'S', ""},
        {"too short", Bytes({0x02, 0x03}), 100, 'S', ""},
        {"room of the message", Bytes({0x02, 0x41, 0x42, 0x03, 0x03}), 2, 0, "AB"},
        {"room below the message", Bytes({0x02, 0x41, 0x42, 0x03, 0x03}), 1, 'F', ""},
    };
    for (const Case& c : cases) {
        std::string out(static_cast<size_t>(c.room) + 1, '#');
        int length = -1;
        EXPECT_EQ(P21_DecodeFrame(U(c.frame), static_cast<int>(c.frame.size()), reinterpret_cast<unsigned char*>(out.data()),
                                  c.room, &length),
                  c.letter)
            << c.name;
        EXPECT_EQ(out.back(), '#') << c.name;
        EXPECT_EQ(out.substr(0, static_cast<size_t>(length)), c.message) << c.name;
    }
}

// A message ending in DLE is stuffed as DLE DLE before its ETX: the ETX
// after an even run of DLEs ends the frame, after an odd run it is data.
TEST(P21Frame, EndAfterARunOfDle_Mended) {
    struct Case {
        std::string bytes;
        bool ended;
    };
    const Case cases[] = {
        {Bytes({0x02, 0x41, 0x03}), true},
        {Bytes({0x02, 0x41, 0x10, 0x03}), false},
        {Bytes({0x02, 0x41, 0x10, 0x10, 0x03}), true},
        {Bytes({0x02, 0x10, 0x10, 0x10, 0x03}), false},
        {Bytes({0x02, 0x03}), true},
        {Bytes({0x02, 0x41, 0x04}), false},
        {Bytes({0x02, 0x41, 0x17}), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(P21_FrameEnded(U(c.bytes), static_cast<int>(c.bytes.size())), c.ended) << linesim::Hex(c.bytes);
}

// Frames the far end sends, read by the receive callback: the message,
// or nothing with the step letter of the failure.
TEST(P21LinkOnALine, ReceivedFrames) {
    struct Case {
        const char* name;
        std::string line;
        std::string message;  // delivered
        int letter;
    };
    const Case cases[] = {
        {"stuffed ETX", Bytes({0x02, 0x41, 0x10, 0x03, 0x42, 0x03, 0x00}), Bytes({0x41, 0x03, 0x42}), 0},
        {"noise before the STX", "zz" + Bytes({0x02, 0x41, 0x03, 0x41}), "A", 0},
        {"wrong check", Bytes({0x02, 0x41, 0x42, 0x03, 0x02}), "", 'X'},
        {"ACK first", Bytes({0x06, 0x41, 0x03, 0x41}), "", 'S'},
        {"no check byte", Bytes({0x02, 0x41, 0x03}), "", 'T'},
        {"no ETX", Bytes({0x02, 0x41, 0x42}), "", 'T'},
        {"silence", "", "", 'T'},
    };
    for (const Case& c : cases) {
        P21Line line;
        ASSERT_EQ(line.opened, 0);
        ASSERT_NE(line.ctx, nullptr);
        if (!c.line.empty()) line.arrive(c.line);
        EXPECT_EQ(line.receive(), c.message) << c.name;
        EXPECT_EQ(line.received, static_cast<int>(c.message.size())) << c.name;
        EXPECT_EQ(line.ctx->stepLetter, c.letter) << c.name;
        EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), c.letter == 0 ? 2 : -1) << c.name;
        EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE) << c.name;
        if (c.letter != 0) {
            const std::string text = std::string("[XA_Transport():") + XPRO_StepLabel(c.letter) + ":-Step=" +
                                     std::to_string(c.letter) + "-App=1000]";
            EXPECT_STREQ(line.ctx->stepText, text.c_str()) << c.name;
        }
    }
}

// Only an ETX that is not stuffed ends a frame: one after a message ending
// in DLE (an even run of DLEs) does, EOT and ETB inside a message do not.
TEST(P21LinkOnALine, FrameEndsOnlyAtItsEtx_Mended) {
    struct Case {
        const char* name;
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {"message ending in DLE", Bytes({0x02, 0x41, 0x10, 0x10, 0x03, 0x51}), Bytes({0x41, 0x10})},
        {"EOT inside", Bytes({0x02, 0x41, 0x04, 0x42, 0x03, 0x07}), Bytes({0x41, 0x04, 0x42})},
        {"ETB inside", Bytes({0x02, 0x41, 0x17, 0x42, 0x03, 0x14}), Bytes({0x41, 0x17, 0x42})},
        {"EOT and stuffed ETX", Bytes({0x02, 0x04, 0x10, 0x03, 0x03, 0x07}), Bytes({0x04, 0x03})},
    };
    for (const Case& c : cases) {
        P21Line line;
        ASSERT_EQ(line.opened, 0);
        line.arrive(c.line);
        EXPECT_EQ(line.receive(), c.message) << c.name;
        EXPECT_EQ(line.ctx->stepLetter, 0) << c.name;
    }
}

// The receive keeps one room for the whole frame: 8192 bytes from the STX
// without the ETX that ends it fail with 'F', also when stuffed ETXs and
// EOTs stop the port's read on the way.
TEST(P21LinkOnALine, FrameWithoutItsEndOverflows_Mended) {
    std::string stuffed;
    while (stuffed.size() < 8300) stuffed += Bytes({0x10, 0x03, 0x04});
    const std::string lines[] = {"\x02" + std::string(8300, 'x'), "\x02" + stuffed};
    for (const std::string& bytes : lines) {
        P21Line line;
        ASSERT_EQ(line.opened, 0);
        line.pty.sim.inject(bytes);
        EXPECT_EQ(line.receive(), "");
        EXPECT_EQ(line.received, 0);
        EXPECT_EQ(line.ctx->stepLetter, 'F');
    }
}

// The message is delivered only within the caller's room.
TEST(P21LinkOnALine, MessageOverTheRoomIsNotDelivered_Mended) {
    P21Line line;
    ASSERT_EQ(line.opened, 0);
    line.arrive(p21sim::Frame("ABCDEF"));
    EXPECT_EQ(line.receive(-1, 5), "");
    EXPECT_EQ(line.ctx->stepLetter, 'F');
    line.arrive(p21sim::Frame("ABCDEF"));
    EXPECT_EQ(line.receive(-1, 6), "ABCDEF");
}

// A receive whose time is already up reads nothing: the frame waiting on
// the line is left for the next one.
TEST(P21LinkOnALine, TimeOutZeroReadsNothing) {
    P21Line line;
    ASSERT_EQ(line.opened, 0);
    const std::string frame = p21sim::Frame("DEV");
    line.arrive(frame);
    EXPECT_EQ(line.receive(0), "");
    EXPECT_EQ(line.received, 0);
    EXPECT_EQ(line.ctx->stepLetter, 0);
    EXPECT_EQ(line.receive(), "DEV");
}

// A byte a wait took off the line is the frame's first byte.
TEST(P21LinkOnALine, HeldStxStartsTheFrame) {
    P21Line line;
    ASSERT_EQ(line.opened, 0);
    const std::string frame = p21sim::Frame("EFT\xff" "000ab9" "00");
    line.arrive(frame.substr(1));
    XPRO_HoldByte(line.ctx.get(), 0x02);
    EXPECT_EQ(line.receive(), "EFT\xff" "000ab9" "00");
    EXPECT_EQ(line.ctx->held, 0);
}

// A frame out and its answer back, against the P21 device: the frame on the
// line is the stuffed message, the answer's STX is read right after the
// frame and held, and the receive delivers the default answer.
TEST(P21LinkOnALine, RoundTripWithTheDevice) {
    auto scenario = p21sim::P21Scenario::Parse("", nullptr);
    ASSERT_TRUE(scenario.has_value());
    auto device = std::make_unique<p21sim::P21Handler>(*scenario);
    p21sim::P21Handler* seen = device.get();
    P21Line line(std::move(device));
    ASSERT_EQ(line.opened, 0);
    const std::string message = std::string("DEV\xff") + Bytes({0x10, 0x03, 'a', 'b', 'c', 'd'}) + "00" + "002" + "1P";
    EXPECT_EQ(line.send(message), static_cast<int>(message.size()));
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), 2);
    EXPECT_EQ(line.ctx->held, 1) << "the answer's STX came within the send's byte time-out";
    EXPECT_EQ(line.ctx->receiveFrame[0], 0x02);
    ASSERT_TRUE(seen->waitExchanges(1, 2000));
    EXPECT_EQ(seen->exchanges()[0].raw, Stuff(message));
    EXPECT_TRUE(seen->exchanges()[0].checkOk);
    const std::string answer = line.receive();
    EXPECT_EQ(answer, std::string("DEV\xff") + Bytes({0x10, 0x03, 'a', 'b', 'c', 'd'}) + "00");
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), 2);

    // The empty message goes out as 02 03 00 (the device answers nothing).
    EXPECT_EQ(line.send(""), 0);
    ASSERT_TRUE(seen->waitExchanges(2, 2000));
    EXPECT_EQ(seen->exchanges()[1].raw, Bytes({0x02, 0x03, 0x00}));
    EXPECT_EQ(line.ctx->held, 0);
}

// A send drops a byte held from before: the purge of the line's input goes
// with it, so no stale byte starts the next answer.
TEST(P21LinkOnALine, SendDropsAHeldByte) {
    P21Line line;
    ASSERT_EQ(line.opened, 0);
    XPRO_HoldByte(line.ctx.get(), 0x02);
    EXPECT_EQ(line.send("END"), 3);
    EXPECT_EQ(line.ctx->held, 0);
    EXPECT_TRUE(line.pty.sim.waitReceived(6, 2000));
    EXPECT_EQ(line.pty.sim.received(), p21sim::Frame("END"));
}

// Four tries on a hung-up line: the frame sender gives -3 with the port's
// letter ('E', the write failed) and the P21 step text, the send callback -1 with the XA form of
// the text (the message level names its steps so) and status -1.
TEST(P21LinkOnALine, HungUpLineAfterFourTries) {
    P21Line line;
    ASSERT_EQ(line.opened, 0);
    line.pty.sim.stop();
    line.ctx->phase = XPRO_PHASE_SENDING;
    EXPECT_EQ(P21_SendFrame(line.ctx.get(), U(std::string("DEV")), 3), -3);
    EXPECT_EQ(line.ctx->stepLetter, 'E');
    EXPECT_STREQ(line.ctx->stepText, "[P21_Transport():_X_EMIS_:-Step=69-App=1000]");
    EXPECT_STREQ(line.ctx->party[0].kerStat, "_X_EMIS_");

    EXPECT_EQ(line.send("DEV"), -1);
    EXPECT_EQ(line.ctx->stepLetter, 'E');
    EXPECT_STREQ(line.ctx->stepText, "[XA_Transport():_X_EMIS_:-Step=69-App=1000]");
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), -1);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
}

// The STX goes out alone, then the rest of the frame in a second write.
TEST(P21Link, StxGoesOutAlone) {
    testsupport::ComTable table;
    testsupport::FakePort port;
    ASSERT_EQ(port.opened, 0);
    Context ctx(XPRO_NewXProt(0, "1000", nullptr, port.port));
    ctx->phase = XPRO_PHASE_SENDING;
    EXPECT_EQ(P21_SendFrame(ctx.get(), U(std::string("DEV")), 3), 1);
    EXPECT_EQ(port.fake.state->writes, (std::vector<std::string>{"\x02", "DEV\x03W"}));
}

// A message whose frame the send buffer cannot hold is refused before
// anything goes out.
TEST(P21LinkOnALine, OverLongMessageIsNotSent_Mended) {
    P21Line line;
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.send(std::string(5000, '\x10')), -1);
    EXPECT_EQ(line.ctx->stepLetter, 'F');
    EXPECT_STREQ(line.ctx->stepText, "[XA_Transport():_X_OVER_:-Step=70-App=1000]");
    EXPECT_FALSE(line.pty.sim.waitReceived(1, 100));
}

TEST(P21Link, MissingInput) {
    unsigned char buffer[8] = {};
    int count = 7;
    EXPECT_EQ(P21_SendMessage(nullptr, buffer, 1), -2);
    EXPECT_EQ(P21_ReceiveMessage(nullptr, buffer, 8, &count), -2);
    EXPECT_EQ(P21_LinkSend(nullptr, buffer, 1, 0, 0), -1);
    EXPECT_EQ(P21_LinkReceive(nullptr, buffer, 8, -1, 0), 0);
    Context ctx(XPRO_NewXProt(0, nullptr, nullptr, 0));
    EXPECT_EQ(P21_SendMessage(ctx.get(), nullptr, 1), -2);
    EXPECT_EQ(P21_ReceiveMessage(ctx.get(), nullptr, 8, &count), -2);
}

// Control bytes of the serial links on a real line: the control-byte reader
// against bytes a pseudo-terminal's far end sends, the byte time-out of each
// phase, and the byte a wait holds for the next receive.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "comm/com_channel.h"
#include "comm/port_api.h"
#include "protocols/xpro/xpro_context.h"
#include "protocols/xpro/xpro_control.h"
#include "support/com_fixture.h"

namespace {

struct ContextDeleter {
    void operator()(KT_XPROT* ctx) const { XA_LinkClose(ctx); }
};
using Context = std::unique_ptr<KT_XPROT, ContextDeleter>;

// A link context on a pseudo-terminal whose far end sends what the test
// injects; the byte time-out of a receive (t0, 50 ms).
class ControlLine {
public:
    ControlLine() {
        opened = pty.open();
        ctx.reset(XPRO_NewXProt(0, "1000", nullptr, pty.port));
        if (ctx != nullptr) {
            ctx->phase = XPRO_PHASE_RECEIVING;
            XPRO_SetByteTimeOut(ctx.get());
        }
    }
    // Sends bytes to the program and waits until they can be read.
    void arrive(const std::string& bytes) {
        if (bytes.empty()) return;
        pty.sim.inject(bytes);
        ASSERT_TRUE(pty.sim.waitQueued(bytes.size(), 5000));
    }
    // The next byte on the line (-1 when none comes within 200 ms).
    int nextByte() {
        unsigned char c = 0;
        return PortRxCar(pty.port, &c, 200) == PORT_DONE ? c : -1;
    }

    testsupport::ComTable table;
    testsupport::PtyPort pty;
    int opened = -1;
    Context ctx;
};

}  // namespace

// Each control byte gives its letter and stays first in the receive buffer;
// other bytes and ETX are passed over; silence gives '-' at the byte
// time-out.
TEST(XproReadControl, LettersOfTheControlBytes) {
    struct Case {
        const char* name;
        std::string line;
        int letter;
        unsigned char first;
    };
    const Case cases[] = {
        {"STX", "\x02", 'd', 0x02},
        {"STX after text", "AB\x02", 'd', 0x02},
        {"EOT after ETX", "\x03\x04", 'f', 0x04},
        {"ENQ", "\x05", 'g', 0x05},
        {"ACK", "\x06", 'a', 0x06},
        {"NAK after noise", "\x7f\x15", 'n', 0x15},
        {"silence", "", '-', 0x00},
        {"text only", "xyz", '-', 0x00},
    };
    for (const Case& c : cases) {
        ControlLine line;
        ASSERT_EQ(line.opened, 0);
        ASSERT_NE(line.ctx, nullptr);
        line.ctx->receiveFrame[0] = 0x55;
        line.ctx->receiveFrame[100] = 0x55;
        line.arrive(c.line);
        EXPECT_EQ(XPRO_ReadControl(line.ctx.get()), c.letter) << c.name;
        EXPECT_EQ(line.ctx->receiveFrame[0], c.first) << c.name;
        EXPECT_EQ(line.ctx->receiveFrame[100], 0) << c.name << ": the buffer is cleared";
    }
    EXPECT_EQ(XPRO_ReadControl(nullptr), 'e');
}

// The reader stops after 512 bytes without a control byte: the STX that
// comes as the 513th is left on the line; one byte earlier it is found.
TEST(XproReadControl, GivesUpAfter512Bytes) {
    {
        ControlLine line;
        ASSERT_EQ(line.opened, 0);
        line.arrive(std::string(512, 'x') + "\x02");
        EXPECT_EQ(XPRO_ReadControl(line.ctx.get()), '-');
        EXPECT_EQ(line.nextByte(), 0x02);
    }
    {
        ControlLine line;
        ASSERT_EQ(line.opened, 0);
        line.arrive(std::string(511, 'x') + "\x02");
        EXPECT_EQ(XPRO_ReadControl(line.ctx.get()), 'd');
        EXPECT_EQ(line.nextByte(), -1);
    }
}

// A held byte is the first byte the reader sees: a held control byte
// answers without reading the line, a held other byte is passed over like
// one read from the line; either way the byte is no longer held.
TEST(XproReadControl, HeldByteComesFirst) {
    ControlLine line;
    ASSERT_EQ(line.opened, 0);
    line.arrive("\x05");
    ASSERT_EQ(XPRO_HoldByte(line.ctx.get(), 0x06), 1);
    EXPECT_EQ(XPRO_ReadControl(line.ctx.get()), 'a');
    EXPECT_EQ(line.ctx->held, 0);
    EXPECT_EQ(XPRO_ReadControl(line.ctx.get()), 'g') << "the line's ENQ is still there";

    XPRO_HoldByte(line.ctx.get(), 'x');
    line.arrive("\x15");
    EXPECT_EQ(XPRO_ReadControl(line.ctx.get()), 'n');
    EXPECT_EQ(line.ctx->held, 0);
}

TEST(XproHeldByte, HoldTakeDrop) {
    Context ctx(XPRO_NewXProt(0, nullptr, nullptr, 0));
    ASSERT_NE(ctx, nullptr);
    unsigned char out = 0;
    EXPECT_EQ(XPRO_TakeHeldByte(ctx.get(), &out), 0) << "a new context holds nothing";
    EXPECT_EQ(XPRO_HoldByte(ctx.get(), 0x41), 1);
    EXPECT_EQ(XPRO_HoldByte(ctx.get(), 0x02), 1) << "a second byte replaces the first";
    EXPECT_EQ(XPRO_TakeHeldByte(ctx.get(), &out), 1);
    EXPECT_EQ(out, 0x02);
    EXPECT_EQ(XPRO_TakeHeldByte(ctx.get(), &out), 0) << "taken once";
    XPRO_HoldByte(ctx.get(), 0x02);
    XPRO_DropHeldByte(ctx.get());
    EXPECT_EQ(XPRO_TakeHeldByte(ctx.get(), &out), 0);

    EXPECT_EQ(XPRO_HoldByte(nullptr, 0x02), -1);
    EXPECT_EQ(XPRO_TakeHeldByte(nullptr, &out), -1);
    EXPECT_EQ(XPRO_TakeHeldByte(ctx.get(), nullptr), -1);
    XPRO_DropHeldByte(nullptr);
}

// t0 while receiving, five times t0 in the other phases.
TEST(XproByteTimeOut, ByPhase) {
    Context ctx(XPRO_NewXProt(0, nullptr, nullptr, 0));
    ASSERT_NE(ctx, nullptr);
    struct Case {
        int t0;
        int32_t phase;
        int expected;
    };
    const Case cases[] = {
        {50, XPRO_PHASE_RECEIVING, 50},  {50, XPRO_PHASE_SENDING, 250}, {50, XPRO_PHASE_IDLE, 250},
        {7, XPRO_PHASE_RECEIVING, 7},    {7, XPRO_PHASE_SENDING, 35},   {0, XPRO_PHASE_SENDING, 0},
    };
    for (const Case& c : cases) {
        ctx->timeouts[0] = c.t0;
        ctx->phase = c.phase;
        ctx->byteTimeout = -99;
        EXPECT_EQ(XPRO_SetByteTimeOut(ctx.get()), 1);
        EXPECT_EQ(ctx->byteTimeout, c.expected) << c.t0 << " " << c.phase;
    }
    EXPECT_EQ(XPRO_SetByteTimeOut(nullptr), -1);
}

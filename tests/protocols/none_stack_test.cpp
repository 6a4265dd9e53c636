// Raw stack of protocol 5: the context a descriptor opens, the request and
// answer mappings of a message block, then sends and receives on a real
// serial line whose far end is a quiet line or the protocol-5 printer
// (silence, an answer in two pieces, endless bytes, a held byte, a hung-up
// line), with the step letters, labels and trace lines they leave.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chequesim/pzr_printer.h"
#include "comm/message_box.h"
#include "platform/clock.h"
#include "protocols/pzr/none_stack.h"
#include "protocols/xpro/xpro_control.h"
#include "support/com_fixture.h"
#include "support/trace_capture.h"

namespace {

struct ContextDeleter {
    void operator()(KT_XPROT* ctx) const { XA_LinkClose(ctx); }
};
using Context = std::unique_ptr<KT_XPROT, ContextDeleter>;

Context Open(const char* descriptor) { return Context(static_cast<KT_XPROT*>(KT_MNONE_NewProtocol(descriptor))); }

// A message block with its two halves and a link context, without a port.
struct Block {
    explicit Block(KT_XPROT* ctx) {
        std::memset(&block, 0, sizeof block);
        block.request = &halves[0];
        block.answer = &halves[1];
        block.TransBox = ctx;
    }
    KTM_WPRO block;
    KTM_HALF halves[2] = {};
};

// A raw-stack context on a pseudo-terminal whose far end is the handler.
class RawLine {
public:
    explicit RawLine(std::unique_ptr<linesim::FrameHandler> handler = std::make_unique<testsupport::QuietHandler>())
        : pty(std::move(handler)) {
        opened = pty.open();
        ctx.reset(NONE_NewXProt(2, pty.port));
        if (ctx != nullptr) XPRO_SetApplication(ctx.get(), "1000");
    }
    std::string receive(uint32_t room = 65536) {
        std::vector<unsigned char> out(room + 1, 0xEE);
        received = NONE_LinkReceive(ctx.get(), out.data(), room, -1, 0);
        EXPECT_EQ(out[room], 0xEE);
        return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(received > 0 ? received : 0));
    }
    int send(const std::string& bytes) {
        std::string copy = bytes;
        return NONE_LinkSend(ctx.get(), copy.data(), static_cast<uint32_t>(copy.size()), 2000, 1);
    }

    testsupport::ComTable table;
    testsupport::PtyPort pty;
    int opened = -1;
    Context ctx;
    int received = 0;
};

std::unique_ptr<chequesim::PzrPrinterHandler> Printer(const std::string& scenario) {
    std::string error;
    auto s = chequesim::PzrScenario::Parse(scenario, &error);
    EXPECT_TRUE(s.has_value()) << error;
    return std::make_unique<chequesim::PzrPrinterHandler>(s.value_or(chequesim::PzrScenario{}));
}

}  // namespace

// Only the mode (field 1) and the port (field 5) are read; the rest are the
// creation values, and the side stays 0.
TEST(NoneStack, OpenedFromADescriptor) {
    Context ctx = Open("XPRO/2/005/1234/ABCDEFGHIJKLMNOP/003/004/KKKKKKKK/AAAAAAAA/050/11/");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->mode, 2);
    EXPECT_EQ(ctx->port, 3);
    EXPECT_EQ(ctx->side, 0);
    EXPECT_STREQ(ctx->application, "0000");
    EXPECT_STREQ(ctx->linkName, "0000000000000000");
    EXPECT_EQ(ctx->keyIndex, 0);
    EXPECT_EQ(ctx->party[0].exchangeNumber, 0);
    EXPECT_EQ(ctx->party[1].exchangeNumber, 0);
    for (const KT_XPARTY& p : ctx->party) {
        EXPECT_STREQ(p.appStat, "________");
        EXPECT_STREQ(p.kerStat, "________");
        EXPECT_EQ(p.accStat, 100);
    }
    EXPECT_EQ(ctx->phase, XPRO_PHASE_IDLE);
    EXPECT_EQ(ctx->byteTimeout, 0);
    EXPECT_EQ(ctx->status, 0);
    EXPECT_EQ(ctx->stepLetter, 0);
    EXPECT_STREQ(ctx->netApplication, "1210");
    const int32_t creation[7] = {50, 2000, 10, 80, 50, 800, 600};
    EXPECT_EQ(std::memcmp(ctx->timeouts, creation, sizeof creation), 0);
}

TEST(NoneStack, DescriptorsThatOpenNothing) {
    testsupport::TraceCapture trace;
    EXPECT_EQ(Open(nullptr), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_NewProtocol] Unknown descriptor"));
    EXPECT_EQ(Open("ABCD/2/005/1234/L/003/004/K/A/050/11/"), nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_NewProtocol] Bad type (ABCD)"));
    EXPECT_EQ(Open("XPRO/2/005"), nullptr) << "a descriptor without its ten fields";
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_NewProtocol] Bad type (XPRO)"));
}

// Fields 1, 3 and 4 and rubrique 'A' are taken, then the body.
TEST(NoneStack, RequestMapping) {
    Context ctx = Open("XPRO/0/000/0000/0000000000000000/001/000/________/________/100/00/");
    ASSERT_NE(ctx, nullptr);
    Block b(ctx.get());
    std::snprintf(b.halves[0].S, sizeof b.halves[0].S, "%s",
                  "XPRO/3/007/1000/LINKNAMELINKNAME/009/004/ab/cd/050/11/");
    std::snprintf(b.halves[0].A, sizeof b.halves[0].A, "%s", "1200");
    std::memcpy(b.halves[0].M, "\x1c\x61\x30\x01", 4);
    b.halves[0].mLength = 4;
    ASSERT_EQ(KT_MNONE_MapRequest(&b.block), 4);
    EXPECT_EQ(std::memcmp(b.block.frame, "\x1c\x61\x30\x01", 4), 0);
    EXPECT_EQ(ctx->mode, 3);
    EXPECT_STREQ(ctx->application, "1000");
    EXPECT_STREQ(ctx->linkName, "LINKNAMELINKNAME");
    EXPECT_STREQ(ctx->netApplication, "1200");
    EXPECT_EQ(ctx->port, 1) << "the port stays the one opened";
    EXPECT_EQ(ctx->keyIndex, 0);
    EXPECT_EQ(ctx->party[0].exchangeNumber, 0);
    EXPECT_EQ(ctx->status, 0);
    EXPECT_STREQ(ctx->party[0].kerStat, "________");
}

// A descriptor that does not begin with "XPRO" maps to an empty message:
// 0, nothing copied.
TEST(NoneStack, RequestWithAnotherDescriptorIsEmpty) {
    testsupport::TraceCapture trace;
    Context ctx = Open("XPRO/0/000/0000/0000000000000000/001/000/________/________/100/00/");
    Block b(ctx.get());
    std::snprintf(b.halves[0].S, sizeof b.halves[0].S, "%s", "WXYZ/3/007/1000/L/009/004/ab/cd/050/11/");
    std::memcpy(b.halves[0].M, "body", 4);
    b.halves[0].mLength = 4;
    b.block.frame[0] = '#';
    EXPECT_EQ(KT_MNONE_MapRequest(&b.block), 0);
    EXPECT_EQ(b.block.frame[0], '#');
    EXPECT_EQ(ctx->mode, 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_MapRequest] Bad type (WXYZ)"));
}

// A body the link's send buffer cannot hold is refused before anything of
// the request is taken.
TEST(NoneStack, RequestOverTheSendBufferIsRefused_Mended) {
    testsupport::TraceCapture trace;
    Context ctx = Open("XPRO/0/000/0000/0000000000000000/001/000/________/________/100/00/");
    Block b(ctx.get());
    std::snprintf(b.halves[0].S, sizeof b.halves[0].S, "%s",
                  "XPRO/3/007/1000/LINKNAMELINKNAME/009/004/ab/cd/050/11/");
    std::snprintf(b.halves[0].A, sizeof b.halves[0].A, "%s", "1200");
    b.halves[0].mLength = 8194;
    EXPECT_EQ(KT_MNONE_MapRequest(&b.block), -1);
    EXPECT_EQ(ctx->mode, 0);
    EXPECT_STREQ(ctx->netApplication, "1210");
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_MapRequest] Message too long (8194, max. 8193)"));
    b.halves[0].mLength = 8193;
    EXPECT_EQ(KT_MNONE_MapRequest(&b.block), 8193);
}

TEST(NoneStack, MappingWithoutContextOrHalves) {
    testsupport::TraceCapture trace;
    Block none(nullptr);
    EXPECT_EQ(KT_MNONE_MapRequest(&none.block), -1);
    EXPECT_EQ(NONE_MapAnswer(&none.block), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_MapRequest] Unknown transport layer"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- [NONE_MapAnswer] Unknown transport layer"));
    Context ctx = Open("XPRO/0/000/0000/0000000000000000/001/000/________/________/100/00/");
    Block halfless(ctx.get());
    halfless.block.request = nullptr;
    halfless.block.answer = nullptr;
    EXPECT_EQ(KT_MNONE_MapRequest(&halfless.block), -1);
    EXPECT_EQ(NONE_MapAnswer(&halfless.block), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_MNONE_MapRequest] Unknown message area"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- [NONE_MapAnswer] Unknown message area"));
}

// The answer descriptor carries the exchange status on three digits.
TEST(NoneStack, AnswerDescriptor) {
    Context ctx = Open("XPRO/2/000/0000/0000000000000000/001/000/________/________/100/00/");
    ASSERT_NE(ctx, nullptr);
    XPRO_SetApplication(ctx.get(), "1000");
    Block b(ctx.get());
    XPRO_SetStatus(ctx.get(), 2);
    std::memcpy(b.block.frame, "A12", 3);
    b.halves[1].totalLength = 3;
    ASSERT_EQ(NONE_MapAnswer(&b.block), 3);
    EXPECT_STREQ(b.halves[1].S, "XPRO/2/000/1000/0000000000000000/001/000/________/________/100/002/");
    EXPECT_STREQ(b.halves[1].A, "1210");
    EXPECT_EQ(b.halves[1].mLength, 3u);
    EXPECT_EQ(std::memcmp(b.halves[1].M, "A12", 3), 0);
    XPRO_SetStatus(ctx.get(), -1);
    ASSERT_EQ(NONE_MapAnswer(&b.block), 3);
    EXPECT_STREQ(b.halves[1].S, "XPRO/2/000/1000/0000000000000000/001/000/________/________/100/-01/");
    b.halves[1].totalLength = 12701;
    EXPECT_EQ(NONE_MapAnswer(&b.block), -1);
    EXPECT_STREQ(b.halves[1].S, "");
}

// Bytes go to the line as they stand.
TEST(NoneStackOnALine, SendsTheBytesRaw) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    const std::string bytes = std::string("\x1c\x61\x30\x01", 4) + "line\x02\x03\x00" + std::string(300, 'x');
    EXPECT_EQ(line.send(bytes), static_cast<int>(bytes.size()));
    EXPECT_TRUE(line.pty.sim.waitReceived(bytes.size(), 5000));
    EXPECT_EQ(line.pty.sim.received(), bytes);
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), 2);
    EXPECT_EQ(line.ctx->stepLetter, 0);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
    EXPECT_STREQ(line.ctx->stepText, "");
}

TEST(NoneStackOnALine, EmptyOrMissingSendIsRefused) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    testsupport::TraceCapture trace;
    EXPECT_EQ(line.send(""), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [Kt_Mnone_SomeThingToSend] "));
    EXPECT_EQ(NONE_LinkSend(nullptr, nullptr, 4, 0, 0), -1);
    EXPECT_EQ(KT_LNONE_PutTrame(line.ctx.get(), 0), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_LNONE_PutTrame] "));
    EXPECT_FALSE(line.pty.sim.waitReceived(1, 100));
}

TEST(NoneStackOnALine, HungUpLine) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    line.pty.sim.stop();
    testsupport::TraceCapture trace;
    EXPECT_EQ(line.send("\x1c\x61\x30\x01"), -1);
    EXPECT_EQ(line.ctx->stepLetter, 'E');
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), -1);
    EXPECT_STREQ(line.ctx->party[0].kerStat, "_X_EMIS_");
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_LNONE_PutTrame] Emission echouee (69)"));
    EXPECT_TRUE(trace.Contains("** INFO. ** [KT_INONE_SynthError] _X_EMIS_ (Step=69) (App=1000)"));
}

// Nothing comes: no bytes, step letter 'T' with its label, and the
// exchange status of a good receive (callers read it as no line read).
TEST(NoneStackOnALine, SilenceIsAnEmptyAnswer) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    testsupport::TraceCapture trace;
    std::vector<unsigned char> buffer(100);
    uint32_t count = 99;
    EXPECT_EQ(Kt_Mnone_SomeThingReceived(line.ctx.get(), buffer.data(), 100, &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(line.ctx->stepLetter, 'T');
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), 2);
    EXPECT_STREQ(line.ctx->party[0].kerStat, "_X_TIME_");
    EXPECT_STREQ(line.ctx->stepText, "** INFO. ** [KT_INONE_SynthError] _X_TIME_ (Step=84) (App=1000)");
    EXPECT_TRUE(trace.Contains("** INFO. ** [KT_INONE_SynthError] _X_TIME_ (Step=84) (App=1000)"));
    EXPECT_EQ(line.receive(), "");
    EXPECT_EQ(line.received, 0);
}

// The printer's line sent in two pieces with a 3 ms gap is one answer: the
// answer ends only after 10 ms of silence (the clock runs slow here, so
// that a loaded machine cannot stretch the gap past it).
TEST(NoneStackOnALine, AnswerInTwoPiecesArrivesWhole) {
    RawLine line(Printer("line \"A12 34#56/\"\nsplit 4 gap=3\npause 5"));
    ASSERT_EQ(line.opened, 0);
    testsupport::SlowClock slow;
    plat::ScopedClock scoped(&slow);
    EXPECT_EQ(line.send(std::string("\x1c\x61\x30\x01", 4)), 4);
    EXPECT_EQ(line.receive(), "A12 34#56/");
    EXPECT_EQ(line.ctx->stepLetter, 'T');
}

// 8191 bytes without a pause fill the receive: a failure, nothing delivered.
TEST(NoneStackOnALine, EndlessAnswerFails) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    testsupport::SlowClock slow;
    plat::ScopedClock scoped(&slow);
    testsupport::TraceCapture trace;
    line.pty.sim.inject(std::string(9000, 'x'));
    EXPECT_EQ(line.receive(), "");
    EXPECT_EQ(line.received, 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [KT_LNONE_GetTrame] Reception echouee (0)"));
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), -1);
}

// A byte a wait took off the line is the first byte of the answer.
TEST(NoneStackOnALine, HeldByteStartsTheAnswer_Mended) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    line.pty.sim.inject("12 34");
    ASSERT_TRUE(line.pty.sim.waitQueued(5, 5000));
    XPRO_HoldByte(line.ctx.get(), 'A');
    EXPECT_EQ(line.receive(), "A12 34");
    EXPECT_EQ(line.ctx->held, 0);
}

// The answer is delivered only within the caller's room.
TEST(NoneStackOnALine, AnswerOverTheRoomIsNotDelivered_Mended) {
    RawLine line;
    ASSERT_EQ(line.opened, 0);
    line.pty.sim.inject("A12 34#56/");
    ASSERT_TRUE(line.pty.sim.waitQueued(10, 5000));
    EXPECT_EQ(line.receive(9), "");
    EXPECT_EQ(line.ctx->stepLetter, 'F');
    line.pty.sim.inject("A12 34#56/");
    ASSERT_TRUE(line.pty.sim.waitQueued(10, 5000));
    EXPECT_EQ(line.receive(10), "A12 34#56/");
}

TEST(NoneStack, StepLabels) {
    Context ctx(NONE_NewXProt(0, 0));
    ASSERT_NE(ctx, nullptr);
    XPRO_SetApplication(ctx.get(), "1000");
    ctx->stepLetter = 'S';
    EXPECT_EQ(KT_INONE_SynthError(ctx.get()), 1);
    EXPECT_STREQ(ctx->party[0].appStat, "_X_SYNT_");
    EXPECT_STREQ(ctx->party[0].kerStat, "________");
    ctx->stepLetter = 'L';
    EXPECT_EQ(KT_INONE_SynthError(ctx.get()), 0);
    EXPECT_STREQ(ctx->stepText, "");
    EXPECT_EQ(KT_INONE_ClearError(ctx.get()), 1);
    EXPECT_EQ(ctx->stepLetter, 0);
    EXPECT_STREQ(ctx->party[0].appStat, "________");
    testsupport::TraceCapture trace;
    EXPECT_EQ(KT_INONE_SynthError(nullptr), -1);
    EXPECT_EQ(KT_INONE_ClearError(nullptr), -1);
    EXPECT_EQ(KT_INONE_SetService(nullptr, 1), -1);
    EXPECT_EQ(KT_INONE_SetResource(nullptr, 1), -1);
    for (const char* text : {"-- ERROR -- [KT_INONE_SynthError] Unknown protocol handle",
                             "-- ERROR -- [KT_INONE_ClearError] Unknown protocol handle",
                             "-- ERROR -- [KT_INONE_SetService] Unknown protocol handle",
                             "-- ERROR -- [KT_INONE_SetResource] Unknown protocol handle"})
        EXPECT_TRUE(trace.Contains(text)) << text;
}

// Simple-frame link: the host's turn and the device's turn on a real serial
// line whose far end plays a scenario of exact bytes (ENQ, ACK, NAK, frames,
// silence), the frame helpers without a port, and the cheque readers' wait.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "chequesim/cheque_reader.h"
#include "comm/port_api.h"
#include "linesim/line_sim.h"
#include "protocols/pv_status.h"
#include "protocols/xpro/xa_link.h"
#include "protocols/xas/xas_link.h"
#include "protocols/xpro/xpro_context.h"
#include "protocols/xpro/xpro_control.h"
#include "support/com_fixture.h"
#include "support/module_wait_line.h"

namespace {

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The frame of a message as the device checks it: STX, message, ETX, XOR
// of the message and the ETX from 0 (computed here, not by the link).
std::string Frame(const std::string& message, unsigned char flip = 0) {
    unsigned char check = 0x03;
    for (char c : message) check ^= static_cast<unsigned char>(c);
    return "\x02" + message + "\x03" + std::string(1, static_cast<char>(check ^ flip));
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x ", c);
        out += b;
    }
    return out;
}

std::unique_ptr<linesim::FrameHandler> Script(const std::string& text) {
    std::string error;
    auto steps = linesim::ParseScenario(text, &error);
    EXPECT_TRUE(steps.has_value()) << error;
    return std::make_unique<linesim::ScenarioHandler>(steps.value_or(std::vector<linesim::ScenarioStep>{}));
}

struct ContextDeleter {
    void operator()(KT_XPROT* ctx) const { XA_LinkClose(ctx); }
};

// A link context of the simple-frame link on a pseudo-terminal whose far
// end is the handler.
class XasLine {
public:
    explicit XasLine(std::unique_ptr<linesim::FrameHandler> handler = std::make_unique<testsupport::QuietHandler>())
        : pty(std::move(handler)) {
        opened = pty.open();
        ctx.reset(static_cast<KT_XPROT*>(
            XAS_LinkOpen("XPRO/0/000/1000/0000000000000000/000/000/________/________/100/00/")));
        if (ctx != nullptr) XPRO_SetPort(ctx.get(), pty.port);
    }
    int send(const std::string& message) {
        std::string copy = message;
        return XAS_LinkSend(ctx.get(), copy.data(), static_cast<uint32_t>(copy.size()), 2000, 1);
    }
    // One receive callback: the bytes delivered ("" when it gave 0); the
    // byte after the room stays untouched.
    std::string receive(uint32_t capacity = 8192, int32_t timeoutMs = -1) {
        std::vector<unsigned char> frame(capacity + 1, 0xEE);
        received = XAS_LinkReceive(ctx.get(), frame.data(), capacity, timeoutMs, 0);
        EXPECT_EQ(frame[capacity], 0xEE);
        if (received > 0) {
            EXPECT_EQ(frame[static_cast<size_t>(received)], 0) << "NUL after the message";
        }
        return std::string(reinterpret_cast<char*>(frame.data()), static_cast<size_t>(received > 0 ? received : 0));
    }
    // The scenario ran to its end as written.
    void finished() { EXPECT_EQ(pty.sim.wait(3000), ""); }

    testsupport::ComTable table;
    testsupport::PtyPort pty;
    int opened = -1;
    std::unique_ptr<KT_XPROT, ContextDeleter> ctx;
    int received = 0;
};

}  // namespace

TEST(XasFrame, BuildAndExtract) {
    testsupport::ComTable table;
    std::unique_ptr<KT_XPROT, ContextDeleter> ctx(XPRO_NewXProt(0, "1000", "0000000000000000", 0));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(XAS_BuildFrame(ctx.get(), U(std::string("100")), 3), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ctx->sendFrame), 6), std::string("\x02" "100\x03\0", 6));
    EXPECT_EQ(XAS_BuildFrame(ctx.get(), nullptr, 0), 2) << "the empty message is a frame of its own";

    struct Case {
        std::string frame;
        int room;
        int letter;
        std::string message;
    };
    const Case cases[] = {
        {"\x02" "14010\x03", 64, 0, "14010"},
        {"\x02\x03", 64, 0, ""},
        {"\x02" "14010\x03", 6, 0, "14010"},  // message and NUL fill the room
        {"\x02" "14010\x03", 5, 'F', ""},     // no room for the NUL
        {"A14010\x03", 64, 'S', ""},         // no STX
        {"\x02" "14010\x04", 64, 'S', ""},   // ended by EOT, no ETX
        {"\x02", 64, 'S', ""},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> out(static_cast<size_t>(c.room) + 1, 0xEE);
        int length = -1;
        EXPECT_EQ(XAS_ExtractPayload(U(c.frame), static_cast<int>(c.frame.size()), out.data(), c.room, &length),
                  c.letter)
            << Hex(c.frame);
        EXPECT_EQ(length, static_cast<int>(c.message.size()));
        if (c.letter == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data())), c.message);
        }
        EXPECT_EQ(out[static_cast<size_t>(c.room)], 0xEE);
    }
}

// The host's turn, byte for byte: ENQ, the device's ACK, the frame (STX
// alone, then the message, ETX and the check byte), ACK, EOT.
TEST(XasLinkOnALine, SendTurns) {
    struct Case {
        const char* name;
        std::string script;
    };
    const std::string f100 = Hex(Frame("100"));
    const Case cases[] = {
        {"plain", "expect 05\nsend 06\nexpect " + f100 + "\nsend 06\nexpect 04\n"},
        // A NAK of the frame gets the frame again, without a new ENQ.
        {"frame NAKed", "expect 05\nsend 06\nexpect " + f100 + "\nsend 15\nexpect " + f100 + "\nsend 06\nexpect 04\n"},
        // A NAK of the ENQ: EOT, then a new ENQ.
        {"ENQ NAKed", "expect 05\nsend 15\nexpect 04\nexpect 05\nsend 06\nexpect " + f100 + "\nsend 06\nexpect 04\n"},
    };
    for (const Case& c : cases) {
        XasLine line(Script(c.script));
        ASSERT_EQ(line.opened, 0);
        EXPECT_EQ(line.send("100"), 3) << c.name;
        EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), 2) << c.name;
        EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
        line.finished();
    }
}

// The frame of the read request, as the device sees it.
TEST(XasLinkOnALine, ReadRequestBytes) {
    XasLine line(Script("expect 05\nsend 06\nexpect 02 31 30 30 03 32\nsend 06\nexpect 04\n"));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.send("100"), 3);
    line.finished();
}

// Four frames NAKed: the turn ends with EOT, letter 'B', the send fails.
TEST(XasLinkOnALine, FourNaksEndTheTurn) {
    const std::string f = Hex(Frame("8"));
    XasLine line(Script("expect 05\nsend 06\nexpect " + f + "\nsend 15\nexpect " + f + "\nsend 15\nexpect " + f +
                        "\nsend 15\nexpect " + f + "\nsend 15\nexpect 04\n"));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.send("8"), -1);
    EXPECT_EQ(line.ctx->stepLetter, 'B');
    EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), -1);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
    line.finished();
}

// A device that never answers the ENQ: four ENQs, each closed by EOT.
TEST(XasLinkOnALine, SilentDeviceAfterFourEnqs) {
    XasLine line(Script("expect 05\nexpect 04\nexpect 05\nexpect 04\nexpect 05\nexpect 04\nexpect 05\nexpect 04\n"
                        "expect 04\n"));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.send("100"), -1);
    EXPECT_EQ(line.ctx->stepLetter, 'B');
    line.finished();
}

// A message the send buffer cannot hold goes nowhere.
TEST(XasLinkOnALine, OverLongMessageIsNotSent_Mended) {
    XasLine line;
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.send(std::string(XAS_MESSAGE_MAX + 1, 'x')), -1);
    EXPECT_EQ(line.ctx->stepLetter, 'F');
    EXPECT_FALSE(line.pty.sim.waitReceived(1, 200));
}

// The device's turn after its ENQ was taken: ACK, its frame, ACK, its EOT.
TEST(XasLinkOnALine, ReceiveTurns) {
    struct Case {
        const char* name;
        std::string script;
        std::string message;
        int letter;
    };
    const std::string good = Hex(Frame("14010"));
    const Case cases[] = {
        {"plain", "expect 06\nsend " + good + "\nexpect 06\nsend 04\n", "14010", 0},
        // A wrong check byte is NAKed; the good frame follows.
        {"wrong check", "expect 06\nsend " + Hex(Frame("14010", 0x01)) + "\nexpect 15\nsend " + good +
                            "\nexpect 06\nsend 04\n",
         "14010", 0},
        // Nothing after the ACK: nothing came.
        {"silence", "expect 06\n", "", 'T'},
        // No EOT after the ACK of the frame: the turn fails.
        {"no final EOT", "expect 06\nsend " + good + "\nexpect 06\nexpect 04\n", "", 'B'},
    };
    for (const Case& c : cases) {
        XasLine line(Script(c.script));
        ASSERT_EQ(line.opened, 0);
        EXPECT_EQ(line.receive(), c.message) << c.name;
        EXPECT_EQ(line.ctx->stepLetter, c.letter) << c.name;
        EXPECT_EQ(XPRO_GetStatus(line.ctx.get()), c.letter == 0 ? 2 : -1) << c.name;
        EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
        line.finished();
    }
}

// The device repeats its ENQ instead of its frame: ACK again, at once or
// after a silence.
TEST(XasLinkOnALine, RepeatedEnqGetsAckAgain_Mended) {
    const std::string good = Hex(Frame("14010"));
    for (const std::string& script : {"expect 06\nsend 05\nexpect 06\nsend " + good + "\nexpect 06\nsend 04\n",
                                      "expect 06\nsend 05\nexpect 06\nsend 05\nexpect 06\nsend " + good +
                                          "\nexpect 06\nsend 04\n"}) {
        XasLine line(Script(script));
        ASSERT_EQ(line.opened, 0);
        EXPECT_EQ(line.receive(), "14010");
        EXPECT_EQ(line.ctx->stepLetter, 0);
        line.finished();
    }
}

// A device that sends nothing but ENQs never holds the link: the turn
// fails after a few ACKs.
TEST(XasLinkOnALine, EndlessEnqsEndTheTurn) {
    std::string script = "expect 06\n";
    for (int i = 0; i < 9; ++i) script += "send 05\nexpect 06\n";
    script += "send 05\nexpect 04\n";
    XasLine line(Script(script));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.receive(), "");
    EXPECT_EQ(line.ctx->stepLetter, 'B');
}

// Four bad frames: each NAKed, then EOT and 'X' (the port's letter for the
// check byte) kept as the reason.
TEST(XasLinkOnALine, FourBadFramesEndTheTurn) {
    const std::string bad = Hex(Frame("14010", 0x01));
    std::string script = "expect 06\n";
    for (int i = 0; i < 4; ++i) script += "send " + bad + "\nexpect 15\n";
    script += "expect 04\n";
    XasLine line(Script(script));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.receive(), "");
    EXPECT_EQ(line.ctx->stepLetter, 'X');
    line.finished();
}

// A message longer than the caller's room is refused (NAKed), never cut
// into the caller's buffer.
TEST(XasLinkOnALine, MessageOverTheRoomIsNotDelivered_Mended) {
    const std::string big = Hex(Frame(std::string(40, '7')));
    std::string script = "expect 06\n";
    for (int i = 0; i < 4; ++i) script += "send " + big + "\nexpect 15\n";
    script += "expect 04\n";
    XasLine line(Script(script));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.receive(40), "") << "40 bytes and the NUL do not fit 40";
    EXPECT_EQ(line.ctx->stepLetter, 'F');
    line.finished();
}

// The time-out already over: nothing is read, nothing sent.
TEST(XasLinkOnALine, TimeOutZeroTouchesNothing) {
    XasLine line;
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.receive(8192, 0), "");
    EXPECT_FALSE(line.pty.sim.waitReceived(1, 100));
}

// A turn left open (phase not idle) is closed with the XA link's closing
// frame before the receive starts; on a dead line that fails with 'B'.
TEST(XasLinkOnALine, OpenTurnClosedFirst) {
    {
        // The closing frame: EOT, its fields, the check byte (XOR from FF
        // of the fields).
        std::unique_ptr<KT_XPROT, ContextDeleter> model(static_cast<KT_XPROT*>(
            XAS_LinkOpen("XPRO/0/000/1000/0000000000000000/000/000/________/________/100/00/")));
        ASSERT_NE(model, nullptr);
        unsigned char fields[256];
        const int n = XA_ControlFields(model.get(), XA_EOT, fields, sizeof fields);
        ASSERT_GT(n, 0);
        unsigned char check = 0xFF;
        for (int i = 0; i < n; ++i) check ^= fields[i];
        const std::string closing = "\x04" + std::string(reinterpret_cast<char*>(fields), static_cast<size_t>(n)) +
                                    std::string(1, static_cast<char>(check));
        XasLine line(Script("expect " + Hex(closing) + "\nexpect 06\nsend " + Hex(Frame("A0")) +
                            "\nexpect 06\nsend 04\n"));
        ASSERT_EQ(line.opened, 0);
        line.ctx->phase = XPRO_PHASE_SENDING;
        EXPECT_EQ(line.receive(), "A0");
        line.finished();
    }
    {
        XasLine line;
        ASSERT_EQ(line.opened, 0);
        line.pty.sim.stop();
        line.ctx->phase = XPRO_PHASE_SENDING;
        EXPECT_EQ(line.receive(), "");
        EXPECT_EQ(line.ctx->stepLetter, 'B');
        EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
    }
}

// A send and the answer of the cheque reader simulator (protocol 6).
TEST(XasLinkOnALine, RoundTripWithTheReader) {
    std::string error;
    auto scenario = chequesim::ChequeScenario::Parse("", &error);
    ASSERT_TRUE(scenario.has_value()) << error;
    auto device = std::make_unique<chequesim::ChequeReaderHandler>(6, *scenario);
    chequesim::ChequeReaderHandler* reader = device.get();
    XasLine line(std::move(device));
    ASSERT_EQ(line.opened, 0);
    EXPECT_EQ(line.send("100"), 3);
    ASSERT_TRUE(reader->waitRequests(1, 2000));
    EXPECT_EQ(reader->requests()[0].message, "100");
    std::string answer;
    for (int i = 0; i < 20 && answer.empty(); ++i) answer = line.receive();
    EXPECT_EQ(answer, "14010" "35" "<0012345<000123456789>987654321012:" " ");
    EXPECT_TRUE(reader->waitAnswersDelivered(1, 2000));
}

namespace {

class XasWait : public testsupport::ModuleWaitLine {
public:
    XasWait()
        : ModuleWaitLine(XAS_WaitEvent, [](int port) {
              auto* ctx = static_cast<KT_XPROT*>(
                  XAS_LinkOpen("XPRO/0/000/1000/0000000000000000/000/000/________/________/100/00/"));
              if (ctx != nullptr) XPRO_SetPort(ctx, port);
              return ctx;
          }) {}
};

}  // namespace

// The device's ENQ announces an answer; any other byte does not.
TEST(XasWaitEvent, EnqAnnouncesTheAnswer) {
    XasWait line;
    ASSERT_EQ(line.opened, 0);
    line.arrive("\x05");
    char event[2] = {'q', 'q'};
    EXPECT_EQ(line.wait(event), 0);
    EXPECT_EQ(event[0], 'A');
    EXPECT_EQ(event[1], 'q');
    line.arrive("x");
    event[0] = 'q';
    EXPECT_EQ(line.wait(event), PV_NOT_YET);
    EXPECT_EQ(event[0], 'q');
}

// Nothing came: the wait callback decides, called with a buffer of its own
// (a callback that fills 130 bytes never writes into the caller's event).
TEST(XasWaitEvent, CallbackDecides_Mended) {
    XasWait line;
    ASSERT_EQ(line.opened, 0);
    struct {
        char event[2] = {'q', 'q'};
        char after = 'n';
    } caller;
    line.box->waitCallback = XasWait::GoOn;
    EXPECT_EQ(line.wait(caller.event, 100), PV_NOT_YET);
    line.box->waitCallback = XasWait::Stop;
    EXPECT_EQ(line.wait(caller.event, 100), PV_PER_RESET);
    EXPECT_EQ(caller.event[0], 'q');
    EXPECT_EQ(caller.after, 'n');
}

TEST(XasWaitEvent, NetworkAndMissingInput) {
    XasWait line;
    char event = 0;
    line.resource.transportKind = PAP_TRANSPORT_NETWORK;
    EXPECT_EQ(line.wait(&event), 0);
    EXPECT_EQ(event, 'A');
    EXPECT_EQ(XAS_WaitEvent(nullptr, &line.resource, 10, &event), 1);
    EXPECT_EQ(XAS_WaitEvent(line.box.get(), nullptr, 10, &event), 1);
}

// The comm trace of an exchange keeps control bytes and masks the frame
// the device sent (a CMC7 line) and its check byte.
TEST(XasTraceMask, DeviceFramesAreMasked) {
    std::string received = "\x05" + Frame("14010350012345") + "\x04";
    std::string sent = "\x06";
    XAS_MaskTraceExchange(reinterpret_cast<unsigned char*>(sent.data()), sent.size(),
                          reinterpret_cast<unsigned char*>(received.data()), received.size());
    EXPECT_EQ(received.find_first_of("0123456789"), std::string::npos) << Hex(received);
    EXPECT_EQ(received[0], '\x05');
    EXPECT_EQ(received[1], '\x02');
    EXPECT_EQ(received[received.size() - 3], '\x03');
    EXPECT_EQ(received.back(), '\x04');
}

// The XA link on a real line: dialogues of the program with the DORAN
// terminal simulator over a pseudo-terminal, byte for byte (check bytes
// computed here), with the terminal's faults: NAKs, silence, pauses, frames
// repeated or out of sequence, refusals, and the link flags it sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "doransim/doran_terminal.h"
#include "platform/clock.h"
#include "protocols/module_contract.h"
#include "protocols/xpro/xa_link.h"
#include "support/com_fixture.h"
#include "support/doran_station.h"

namespace {

using doransim::Bytes;

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

uint8_t XorOf(uint8_t start, const std::string& bytes) {
    uint8_t x = start;
    for (unsigned char c : bytes) x ^= c;
    return x;
}

// The request a test sends: a DORAN message the terminal answers.
Bytes Request() { return doransim::Encode({0xA1, 0x60, {}, {0xDF828000, 0xDFF88400}}); }

// The program's end of one line: a port on a pseudo-terminal whose far end
// is the DORAN terminal simulator, and an XA link context on it. Byte waits
// widened unless a test sets its own.
class XaLine {
public:
    explicit XaLine(const std::string& scenario, const std::vector<std::string>& config = {})
        : terminal_(new doransim::XaLinkHandler(testsupport::DoranScenario(scenario))),
          pty(std::unique_ptr<linesim::FrameHandler>(terminal_), config) {
        if (!pty.ready() || pty.open() != 0) return;
        terminal_->setLineDescriptor(pty.sim.slaveDescriptor());
        char descriptor[128];
        std::snprintf(descriptor, sizeof descriptor,
                      "XPRO/2/005/1000/0000000000000000/%d/0/00000000/00000000/100/011/", pty.port);
        ctx = static_cast<KT_XPROT*>(XA_LinkOpen(descriptor));
        if (ctx != nullptr) {
            for (int i : {0, 1, 3, 4, 5, 6}) ctx->timeouts[i] = 2000;
            ctx->timeouts[2] = 300;  // x 6 with flag 0x40
        }
    }
    ~XaLine() {
        XA_LinkClose(ctx);
        XA_SetHooks(nullptr);
    }
    bool ready() const { return ctx != nullptr; }

    int send(const Bytes& body, int last = 1) {
        const std::string escaped = doransim::Escape(body);
        return XA_SendMessage(ctx, reinterpret_cast<const unsigned char*>(escaped.data()), int(escaped.size()), last);
    }
    // A request sent, then the terminal's answer read (its body as it came).
    int exchange(std::string* answer, int capacity = 4096) {
        if (send(Request()) != 2) return -100;
        return receive(answer, capacity);
    }
    int receive(std::string* answer, int capacity = 4096, int flag = 0) {
        std::vector<unsigned char> buffer(size_t(capacity), 'x');
        int length = 0;
        const int r = XA_ReceiveMessage(ctx, buffer.data(), capacity, &length, flag);
        answer->assign(reinterpret_cast<char*>(buffer.data()), size_t(length));
        untouched = true;
        for (int i = length; i < capacity; ++i) untouched = untouched && buffer[size_t(i)] == 'x';
        return r;
    }
    doransim::Dialogue dialogue(size_t i) {
        const auto all = terminal_->dialogues();
        return i < all.size() ? all[i] : doransim::Dialogue{};
    }
    bool waitDialogues(size_t n) { return terminal_->waitDialogues(n, 2000); }
    std::string programBytes() { return pty.sim.received(); }

    testsupport::ComTable table{1, 0, 0, 0, 0};

private:
    doransim::XaLinkHandler* terminal_;

public:
    testsupport::PtyPort pty;
    KT_XPROT* ctx = nullptr;
    bool untouched = true;
};

// The bytes of the ENQ of the tests' descriptor: the character, 29 bytes
// of fields, ETX and the check byte.
constexpr size_t kEnqBytes = 32;

std::string Control(uint8_t control, const std::string& fields) {
    return std::string(1, char(control)) + fields + char(XorOf(0xFF, fields));
}

}  // namespace

// A whole sending dialogue, byte for byte: ENQ (direction, exchange, link
// name, application, key index "%02d"), the data frame (side 1, sequence 0,
// exchange, 'P', '*', the body, DLE ETX, XOR from 0 after DLE STX), and the
// program's EOT answering the terminal's.
TEST(XaTransport, SendingDialogueByteForByte) {
    XaLine line("");
    ASSERT_TRUE(line.ready());
    const Bytes body = Request();
    ASSERT_EQ(line.send(body), 2);
    EXPECT_EQ(line.ctx->status, 2);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
    ASSERT_TRUE(line.waitDialogues(1));

    const std::string head = std::string("2\0" "5\0" "0000000000000000\0", 21);
    const std::string enq = Control(0x05, head + std::string("1000\0" "00\0\x03", 9));
    const std::string inner = std::string("\x01\x00\x05P*", 5) + Str(body) + "\x10\x03";
    const std::string data = std::string("\x10\x02") + inner + char(XorOf(0x00, inner));
    const std::string eot = Control(0x04, head + std::string("1000\0" "00000000\0" "00000000\0" "100\0\x03", 28));
    EXPECT_EQ(line.programBytes(), enq + data + eot);
    EXPECT_EQ(line.dialogue(0).kind, 'S');
    EXPECT_EQ(line.dialogue(0).problem, "");
}

// A NAK costs a send: the frame goes again, four times in all at most.
TEST(XaTransport, NakedFramesAreSentFourTimesAtMost) {
    struct Case {
        int naks;
        int result;
        int sends;
    };
    for (const Case c : {Case{1, 2, 2}, Case{3, 2, 4}, Case{4, -2, 4}}) {
        XaLine line("fault frame nak count=" + std::to_string(c.naks) + "\n");
        ASSERT_TRUE(line.ready());
        line.ctx->timeouts[4] = 100;  // the responder's close after giving up
        EXPECT_EQ(line.send(Request()), c.result) << c.naks;
        line.waitDialogues(1);
        EXPECT_EQ(line.dialogue(0).dataFrames, c.sends) << c.naks;
    }
}

// Silence after a data frame counts as delivered; the terminal's EOT then
// closes the dialogue.
TEST(XaTransport, SilenceAfterADataFrameIsDelivery) {
    XaLine line("fault frame silence eot-delay=150\n");
    ASSERT_TRUE(line.ready());
    line.ctx->timeouts[2] = 10;  // 60 ms of silence with flag 0x40
    EXPECT_EQ(line.send(Request()), 2);
    line.waitDialogues(1);
    EXPECT_EQ(line.dialogue(0).dataFrames, 1);
    EXPECT_EQ(line.dialogue(0).naks, 0);
}

// Receiving: the terminal's frames, with its faults. A frame one behind is
// ignored and NAKed, a wrong check byte or a stray DLE pair NAKed, a frame
// started over (DLE STX inside it) taken whole; two behind fails.
TEST(XaTransport, ReceivingWithTheTerminalsFaults) {
    struct Case {
        const char* fault;
        int result;
        int naks;
    };
    const Case cases[] = {
        {"", 2, 0},
        {"fault answer repeat\n", 2, 1},
        {"fault answer wrong-check\n", 2, 1},
        {"fault answer stray-dle\n", 2, 1},
        {"fault answer restart\n", 2, 0},
        {"fault answer behind2\n", -2, 0},
    };
    for (const Case& c : cases) {
        XaLine line(std::string("answer A1 60 => DF828000020000DF858000021010\n") + c.fault);
        ASSERT_TRUE(line.ready());
        std::string answer;
        EXPECT_EQ(line.exchange(&answer), c.result) << c.fault;
        line.waitDialogues(2);
        EXPECT_EQ(line.dialogue(1).kind, 'R') << c.fault;
        EXPECT_EQ(line.dialogue(1).naks, c.naks) << c.fault;
        if (c.result != 2) {
            EXPECT_EQ(line.ctx->stepLetter, 'B') << c.fault;
            EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
            continue;
        }
        // The body as it came: the DLE of the message doubled.
        const Bytes message = doransim::Encode({0xA1, 0x60, *cardsim::ParseHex("DF828000020000DF858000021010"), {}});
        EXPECT_EQ(answer, doransim::Escape(message)) << c.fault;
        EXPECT_EQ(line.ctx->status, 2);
    }
}

// The final body goes to the card-data capture as it came (DLE doubled),
// once per message; a message in several frames is read frame by frame.
TEST(XaTransport, FinalBodyGoesToTheCaptureAsItCame) {
    static std::vector<std::string> captured;
    captured.clear();
    XaHooks hooks{[](const unsigned char* b, int n) {
                      captured.emplace_back(reinterpret_cast<const char*>(b), size_t(n));
                      return 0;
                  },
                  nullptr};
    XaLine line("split 10\nanswer A1 60 => DF828000020000DF858000021010\n");
    ASSERT_TRUE(line.ready());
    XA_SetHooks(&hooks);
    ASSERT_EQ(line.send(Request()), 2);
    std::string whole, piece;
    int r = 0;
    int frames = 0;
    while ((r = line.receive(&piece)) == 1) {
        whole += piece;
        ++frames;
    }
    ASSERT_EQ(r, 2);
    whole += piece;
    const Bytes message = doransim::Encode({0xA1, 0x60, *cardsim::ParseHex("DF828000020000DF858000021010"), {}});
    EXPECT_EQ(whole, doransim::Escape(message));
    EXPECT_GT(frames, 1);
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0], piece);
}

// The terminal's flags: an ACK with a field sets them whole; with 0x10 the
// final frame each way is acknowledged and no EOT follows. An ACK without
// the field clears 0x10.
TEST(XaTransport, FlagsOfTheTerminalsAck) {
    {
        XaLine line("ack-flags 50\n");
        ASSERT_TRUE(line.ready());
        std::string answer;
        ASSERT_EQ(line.exchange(&answer), 2);
        EXPECT_EQ(line.ctx->flags, 0x50);
        line.waitDialogues(2);
        EXPECT_FALSE(line.dialogue(0).programEot);
        EXPECT_EQ(line.dialogue(1).kind, 'R');
        EXPECT_FALSE(line.dialogue(1).programEot);
        EXPECT_EQ(line.programBytes().find('\x04'), std::string::npos);
    }
    {
        XaLine line("ack-plain\n");
        ASSERT_TRUE(line.ready());
        line.ctx->flags = 0x50;
        ASSERT_EQ(line.send(Request()), 2);
        EXPECT_EQ(line.ctx->flags, 0x40);
    }
}

// A terminal that answers ENQ with a data frame: the open fails with step
// 'B' and its label; a silent terminal: the time-out step.
TEST(XaTransport, OpeningFailures) {
    {
        XaLine line("fault enq data\n");
        ASSERT_TRUE(line.ready());
        line.ctx->timeouts[4] = 50;
        EXPECT_EQ(line.send(Request()), -2);
        EXPECT_EQ(line.ctx->stepLetter, 'B');
        EXPECT_STREQ(line.ctx->stepText, "[XA_Transport():_X_SOFT_:-Step=66-App=1000]");
        EXPECT_STREQ(line.ctx->party[0].kerStat, "_X_SOFT_");
    }
    {
        XaLine line("fault enq silence\n");
        ASSERT_TRUE(line.ready());
        line.ctx->timeouts[0] = 20;
        std::string answer;
        EXPECT_EQ(line.receive(&answer), -3);
        EXPECT_EQ(line.ctx->stepLetter, 'T');
        EXPECT_STREQ(line.ctx->stepText, "[XA_Transport():_X_TIME_:-Step=84-App=1000]");
        // Four ENQs went.
        line.pty.sim.waitReceived(4 * kEnqBytes, 2000);
        const std::string bytes = line.programBytes();
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\x05'), 4);
    }
    {
        XaLine line("fault enq nak count=4\n");
        ASSERT_TRUE(line.ready());
        std::string answer;
        EXPECT_EQ(line.receive(&answer), -3);
    }
}

// The terminal pauses the program (SYN) after a frame; BEL resumes it, and
// the next frame goes on in the same dialogue.
TEST(XaTransport, PauseAndResume) {
    XaLine line("fault frame syn bel-delay=50\n");
    ASSERT_TRUE(line.ready());
    const Bytes whole = Request();
    const Bytes first(whole.begin(), whole.begin() + 4);
    const Bytes rest(whole.begin() + 4, whole.end());
    EXPECT_EQ(line.send(first, 0), 1);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_SENDING);
    EXPECT_EQ(line.ctx->status, 1);
    EXPECT_EQ(line.send(rest, 1), 2);
    line.waitDialogues(1);
    EXPECT_EQ(line.dialogue(0).dataFrames, 2);
    EXPECT_EQ(line.dialogue(0).problem, "");
}

// A terminal that refuses (EOT instead of data): the busy text with its
// terminator, 59 bytes, exchange status 0. Only written where the room
// holds it: with room for 40 bytes nothing is written.
TEST(XaTransport, RefusalGivesTheBusyText_Mended) {
    XaLine line("fault fetch eot\n");
    ASSERT_TRUE(line.ready());
    std::string answer;
    ASSERT_EQ(line.exchange(&answer), 2);
    EXPECT_EQ(answer, std::string(PAP_RELAY_BUSY_TEXT) + std::string(1, '\0'));
    EXPECT_EQ(answer.size(), 59u);
    EXPECT_EQ(line.ctx->status, 0);
    ASSERT_EQ(line.receive(&answer, 40), 2);
    EXPECT_EQ(answer, "");
    EXPECT_TRUE(line.untouched);
}

namespace {

// A clock that does what the real one does, except the pad's pause: it
// looks at what the terminal has got by then instead of waiting.
class PadSplitWatch : public plat::ClockSource {
public:
    explicit PadSplitWatch(linesim::LineSim* line) : line_(line) {}
    int64_t nowMs() override { return plat::RealMonotonicMs(); }
    void sleepMs(int64_t ms) override {
        if (ms == XA_PAD_SPLIT_MS) {
            // The control character just went: wait until the terminal has
            // it (the bytes before it came first).
            std::string got = line_->received();
            for (int i = 0; i < 200 && (got.size() <= last_ || (got.back() != '\x05' && got.back() != '\x04')); ++i) {
                line_->waitReceived(got.size() + 1, 10);
                got = line_->received();
            }
            last_ = got.size();
            seen.push_back(got);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    std::vector<std::string> seen;

private:
    linesim::LineSim* line_;
    size_t last_ = 0;
};

}  // namespace

// With the pad set-up byte 1, each control frame goes in two: its character
// alone, then the rest after the pause.
TEST(XaTransport, PadSetUpSplitsControlFrames) {
    XaLine line("");
    ASSERT_TRUE(line.ready());
    static const XaHooks hooks{nullptr, [] { return 1; }};
    XA_SetHooks(&hooks);
    PadSplitWatch watch(&line.pty.sim);
    {
        plat::ScopedClock scoped(&watch);
        ASSERT_EQ(line.send(Request()), 2);
    }
    // The ENQ's character alone at the first pause; the EOT's at the second.
    ASSERT_EQ(watch.seen.size(), 2u);
    EXPECT_EQ(watch.seen[0], "\x05");
    EXPECT_EQ(watch.seen[1].back(), '\x04');
    EXPECT_EQ(line.waitDialogues(1), true);
    EXPECT_EQ(line.dialogue(0).problem, "");
}

// The receive callback of a serial link has no time-out (-1): a terminal
// that does not answer gives one attempt (four ENQs), then no answer.
TEST(XaTransport, ReceiveWithoutTimeOutMakesOneAttempt_Mended) {
    XaLine line("fault enq silence\n");
    ASSERT_TRUE(line.ready());
    line.ctx->timeouts[0] = 20;
    char buffer[64];
    EXPECT_EQ(XA_LinkReceive(line.ctx, buffer, sizeof buffer, -1, 0), 0);
    line.pty.sim.waitReceived(4 * kEnqBytes, 2000);
    const std::string bytes = line.programBytes();
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\x05'), 4);
}

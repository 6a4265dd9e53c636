// RUDA block link over a real serial line: the send and receive callbacks of
// protocol 16 against the RUDA terminal simulator on a pseudo-terminal
// (blocks and chains both ways, NAD and class rules, the FF 7C prefix, the
// transport marker, status-word traces, wrong check bytes, endless chains,
// silence, ciphered requests and answers checked with `openssl enc`).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/port_api.h"
#include "core/helpers.h"
#include "platform/clock.h"
#include "protocols/ruda/ruda_link.h"
#include "protocols/ruda/ruda_module.h"
#include "protocols/xpro/xpro_context.h"
#include "rudasim/ruda_terminal.h"
#include "support/apdu_bytes.h"
#include "support/com_fixture.h"
#include "support/openssl_cli.h"
#include "support/serial_fake.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using testsupport::Hex;

// A test-only stream key (never used outside the tests).
const std::string kKeyHex = "0123456789ABCDEFFEDCBA98765432100011223344556677";

rudasim::RudaScenario Scenario(const std::string& text) {
    std::string error;
    auto s = rudasim::RudaScenario::Parse(text, "", &error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(rudasim::RudaScenario{});
}

// A RUDA link on a pseudo-terminal whose far end is the simulator.
class RudaLine {
public:
    explicit RudaLine(const std::string& scenario)
        : terminal_(new rudasim::RudaBlockHandler(Scenario(scenario))),
          pty_(std::unique_ptr<linesim::FrameHandler>(terminal_)),
          box(table.id, testsupport::UniqueStation()) {
        opened = pty_.open();
        ctx = static_cast<KT_XPROT*>(RUDA_LinkOpen("XPRO/0/000/0001/RUDA/000/000/________/________/100/00/"));
        if (ctx != nullptr) XPRO_SetPort(ctx, pty_.port);
    }
    ~RudaLine() { XA_LinkClose(ctx); }

    int send(const Bytes& request) {
        Bytes copy = request;
        return RUDA_LinkSend(ctx, copy.data(), static_cast<uint32_t>(copy.size()), 2000, 0);
    }
    // The answer delivered (empty when the receive gave 0).
    Bytes receive(int32_t timeoutMs = -1, int32_t waitMode = 0, size_t room = 65536) {
        std::vector<unsigned char> frame(room);
        const int n = RUDA_LinkReceive(ctx, frame.data(), static_cast<uint32_t>(frame.size()), timeoutMs, waitMode);
        received = n;
        return Bytes(frame.begin(), frame.begin() + (n > 0 ? n : 0));
    }
    Bytes exchange(const Bytes& request) {
        EXPECT_EQ(send(request), static_cast<int>(request.size()));
        return receive();
    }
    std::vector<rudasim::Exchange> exchanges() { return terminal_->exchanges(); }
    void hangUp() { pty_.sim.stop(); }

    testsupport::ComTable table;

private:
    rudasim::RudaBlockHandler* terminal_;
    testsupport::PtyPort pty_;

public:
    testsupport::TerminalBox box;
    KT_XPROT* ctx = nullptr;
    int opened = -1;
    int received = 0;
};

Bytes Data(const Bytes& block) { return Bytes(block.begin() + 3, block.end() - 1); }

TEST(RudaLinkOnALine, RequestsAreCutIntoBlocksOf254) {
    RudaLine line("");
    ASSERT_EQ(line.opened, 0);
    ASSERT_NE(line.ctx, nullptr);
    for (const size_t size : {size_t{4}, size_t{254}, size_t{255}, size_t{600}}) {
        Bytes request(size);
        for (size_t i = 0; i < size; ++i) request[i] = static_cast<uint8_t>(i * 7 + 1);
        request[0] = 0xD0;
        request[1] = 0x41;
        EXPECT_EQ(line.exchange(request), Hex("9000")) << size;
        const rudasim::Exchange e = line.exchanges().back();
        EXPECT_TRUE(e.lrcOk) << size;
        EXPECT_EQ(e.apdu, request) << size;
        ASSERT_EQ(e.blocks.size(), (size + 253) / 254) << size;
        for (size_t b = 0; b < e.blocks.size(); ++b) {
            const bool last = b + 1 == e.blocks.size();
            EXPECT_EQ(e.blocks[b][0], RUDA_NAD_COMMAND);
            EXPECT_EQ(e.blocks[b][1], last ? 0x00 : RUDA_PCB_MORE) << size << " block " << b;
            EXPECT_EQ(e.blocks[b][2], last ? size - 254 * b : 254) << size << " block " << b;
        }
    }
    EXPECT_EQ(XPRO_GetStatus(line.ctx), 2);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
}

TEST(RudaLinkOnALine, NadAndClassRules) {
    RudaLine line("");
    ASSERT_EQ(line.opened, 0);
    struct Case {
        Bytes request;
        uint8_t nad;
        Bytes sent;
    } cases[] = {
        {Hex("00A4040007A000000042101000"), RUDA_NAD_CARD, Hex("00A4040007A000000042101000")},
        {Hex("D0FF0000"), RUDA_NAD_COMMAND, Hex("D0FF0000")},
        {Hex("DFA4000002AABB"), RUDA_NAD_COMMAND, Hex("00A4000002AABB")},
    };
    for (const Case& c : cases) {
        const Bytes request = c.request;
        ASSERT_EQ(line.send(request), static_cast<int>(request.size()));
        line.receive();
        const rudasim::Exchange e = line.exchanges().back();
        EXPECT_EQ(e.nad, c.nad) << cardsim::ToHex(c.request);
        EXPECT_EQ(e.apdu, c.sent) << cardsim::ToHex(c.request);
    }
}

// An empty request carries the control code of its descriptor's
// Application: "9001" and "9002" go to the terminal as the reset they are
// (RESET DEVICE, soft and hard, as the control codes of the terminal
// services); an empty request of another Application has nothing to send.
// The empty request used to be refused whatever its code, so the controls a
// server relays never reached a RUDA terminal.
TEST(RudaLinkOnALine, ControlCodesOfAnEmptyRequestResetTheTerminal_Mended) {
    RudaLine line("");
    ASSERT_EQ(line.opened, 0);
    struct Case {
        const char* application;
        int sent;
        const char* apdu;  // what the terminal got ("" nothing)
    } cases[] = {
        {"9001", 4, "D0000000"},
        {"9002", 4, "D0000100"},
        {"1000", -1, ""},
        {"9003", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.application);
        const size_t before = line.exchanges().size();
        ASSERT_EQ(XPRO_SetApplication(line.ctx, c.application), 1);
        unsigned char none = 0;
        EXPECT_EQ(RUDA_LinkSend(line.ctx, &none, 0, 2000, 0), c.sent);
        if (c.sent < 0) {
            EXPECT_NE(line.ctx->stepLetter, 0);
            continue;
        }
        EXPECT_EQ(XPRO_GetStatus(line.ctx), 2);
        EXPECT_EQ(line.receive(), Hex("E00F9F1E0C5255444153494D3030303031 9000"));
        const auto exchanges = line.exchanges();
        ASSERT_EQ(exchanges.size(), before + 1);
        EXPECT_EQ(cardsim::ToHex(exchanges.back().apdu), c.apdu);
        EXPECT_EQ(exchanges.back().nad, RUDA_NAD_COMMAND);
    }
}

TEST(RudaLinkOnALine, FailedEmissionsEndAfterFourAttempts) {
    RudaLine line("");
    ASSERT_EQ(line.opened, 0);
    line.hangUp();
    testsupport::TraceCapture trace;
    EXPECT_EQ(line.send(Hex("D0FF0000")), -1);
    EXPECT_NE(line.ctx->stepLetter, 0);
    EXPECT_NE(std::string(line.ctx->stepText).find("[RUDA_Transport():"), std::string::npos) << line.ctx->stepText;
    EXPECT_EQ(XPRO_GetStatus(line.ctx), -1);
    EXPECT_EQ(line.ctx->phase, XPRO_PHASE_IDLE);
    EXPECT_FALSE(trace.Contains("Client -> Terminal"));
}

// Emissions that fail are made again from the request as given: a line that
// takes nothing for the first two attempts gets, at the third, the same
// blocks a first attempt would have carried; a line that never takes
// anything sees four attempts, then the send fails.
TEST(RudaLinkSend, EveryAttemptCarriesTheSameBlocks) {
    testsupport::ComTable table;
    testsupport::FakePort line;
    ASSERT_EQ(line.opened, 0);
    auto* ctx = static_cast<KT_XPROT*>(RUDA_LinkOpen("XPRO/0/000/0001/RUDA/000/000/________/________/100/00/"));
    ASSERT_NE(ctx, nullptr);
    XPRO_SetPort(ctx, line.port);
    struct Case {
        Bytes request;
        Bytes blocks;
    } cases[] = {
        {Hex("00A40400 02 A000"), Hex("11 00 07 00A4040002A000 14")},
        {Hex("D0FF0000"), Hex("01 00 04 D0FF0000 2A")},
        {Hex("DFA40000 02 AABB"), Hex("01 00 07 00A4000002AABB B1")},
    };
    for (Case& c : cases) {
        {
            std::lock_guard<std::mutex> g(line.fake.state->mutex);
            line.fake.state->writes.clear();
            line.fake.state->writeLimits.assign(2 * WCOM_SERIAL_WRITE_ATTEMPTS, 0);
        }
        const Bytes given = c.request;
        EXPECT_EQ(RUDA_LinkSend(ctx, c.request.data(), static_cast<uint32_t>(c.request.size()), 2000, 0),
                  static_cast<int>(c.request.size()));
        EXPECT_EQ(c.request, given) << "the request is left as it was";
        const std::vector<std::string> writes = line.fake.writes();
        ASSERT_EQ(writes.size(), 2u * WCOM_SERIAL_WRITE_ATTEMPTS + 1) << cardsim::ToHex(given);
        EXPECT_EQ(Bytes(writes.back().begin(), writes.back().end()), c.blocks) << cardsim::ToHex(given);
    }
    {
        std::lock_guard<std::mutex> g(line.fake.state->mutex);
        line.fake.state->writes.clear();
        line.fake.state->failWrites = true;
    }
    Bytes request = Hex("D0FF0000");
    EXPECT_EQ(RUDA_LinkSend(ctx, request.data(), 4, 2000, 0), -1);
    EXPECT_EQ(line.fake.writes().size(), 4u * WCOM_SERIAL_WRITE_ATTEMPTS);
    EXPECT_NE(ctx->stepLetter, 0);
    XA_LinkClose(ctx);
}

TEST(RudaLinkOnALine, AnswersAsTheTerminalSendsThem) {
    RudaLine line(
        "answer 00B2010C => 70035A01119000 ff7c\n"
        "answer D0B1 => 6F0284009000 ff7c\n"
        "answer D0B2 => 9F13\n"
        "answer D0B3 => 9000 wrong-lrc\n"
        "answer D0B4 => 9000 endless\n"
        "answer D0B5 => 9000 silence\n"
        "answer D0B6 => 6F028400 9000 once\n"
        "answer D0B6 => 9F0D\n");
    ASSERT_EQ(line.opened, 0);
    // A card answer (NAD 11) loses its FF 7C prefix; a terminal one keeps it.
    EXPECT_EQ(line.exchange(Hex("00B2010C00")), Hex("70035A01119000"));
    EXPECT_EQ(line.exchange(Hex("D0B10000")), Hex("FF7C02AABB 6F0284009000"));
    {
        testsupport::TraceCapture trace;
        EXPECT_EQ(line.exchange(Hex("D0B20000")), Hex("9F13"));
        EXPECT_TRUE(trace.Contains("-- ERROR -- [RUDA] File cannot be opened."));
    }
    struct Failure {
        const char* request;
        char letter;
        int32_t waitMode;
        int status;
    } failures[] = {
        {"D0B30000", 'X', 0, -1},
        {"D0B40000", 'F', 0, -1},
        {"D0B50000", 'T', 1, 1},
        {"D0B50000", 'T', 0, 2},
    };
    for (const Failure& f : failures) {
        ASSERT_EQ(line.send(Hex(f.request)), 4);
        EXPECT_TRUE(line.receive(-1, f.waitMode).empty()) << f.request;
        EXPECT_EQ(line.received, 0) << f.request;
        EXPECT_EQ(line.ctx->stepLetter, f.letter) << f.request;
        EXPECT_EQ(XPRO_GetStatus(line.ctx), f.status) << f.request;
        EXPECT_NE(std::string(line.ctx->stepText).find("RUDA_Transport"), std::string::npos) << f.request;
    }
    // Nothing of the endless chain is left for the next answer.
    EXPECT_EQ(line.exchange(Hex("D0B60000")), Hex("6F0284009000"));
    EXPECT_EQ(line.exchange(Hex("D0B60000")), Hex("9F0D")) << "a rule for once goes after its use";
}

// A receive that fails ('X' a damaged block, 'B' a block no RUDA block can
// be, 'F' an answer past the receive room) leaves nothing of its answer on
// the line: the next receive without a new request (a server's fetch)
// delivers nothing. It used to take the rest of the long answer as a whole
// answer, its status word and all.
TEST(RudaLinkOnALine, FailedReceiveLeavesNothingOfItsAnswer_Mended) {
    // A long answer: three blocks (254, 254, 92 bytes), 9000 at its end.
    std::string longAnswer;
    for (int i = 0; i < 598; ++i) longAnswer += "5A";
    longAnswer += "9000";
    RudaLine line("answer D0C1 => " + longAnswer + " wrong-lrc\n"
                  "answer D0C2 => " + longAnswer + " long-block\n"
                  "answer D0C3 => " + longAnswer + "\n");
    ASSERT_EQ(line.opened, 0);
    struct Case {
        const char* request;
        char letter;
        size_t room;
    } cases[] = {
        {"D0C10000", 'X', 65536},
        {"D0C20000", 'B', 65536},
        {"D0C30000", 'F', 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        ASSERT_EQ(line.send(Hex(c.request)), 4);
        EXPECT_TRUE(line.receive(-1, 0, c.room).empty());
        EXPECT_EQ(line.ctx->stepLetter, c.letter);
        // The fetch that follows: nothing.
        EXPECT_TRUE(line.receive().empty());
        EXPECT_EQ(line.received, 0);
        EXPECT_EQ(line.ctx->stepLetter, 'T');
    }
    // The line still serves the next request.
    EXPECT_EQ(line.exchange(Hex("D0C30000")).size(), 600u);
}

// A receive whose total time is already up reads nothing and gives 0 (not
// the room of its buffer); the answer stays on the line for the next one.
TEST(RudaLinkOnALine, ReceiveWhoseTimeIsUpReadsNothingMended) {
    RudaLine line("answer D0B6 => 6F028400 9000\n");
    ASSERT_EQ(line.opened, 0);
    ASSERT_EQ(line.send(Hex("D0B60000")), 4);
    EXPECT_TRUE(line.receive(0).empty());
    EXPECT_EQ(line.received, 0);
    EXPECT_EQ(line.receive(), Hex("6F0284009000"));
}

TEST(RudaLinkOnALine, TransportMarkerBeforeTheAnswer) {
    RudaLine line("answer 00A4 => 6F0284009000\n");
    ASSERT_EQ(line.opened, 0);
    line.box.box->transportAdded = 1;
    const Bytes got = line.exchange(Hex("00A4040000"));
    ASSERT_EQ(got.size(), 16u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 8), "PRTTRSPW");
    EXPECT_EQ(got[8], 0x01);
    EXPECT_EQ(got[9], 0x00);
    EXPECT_EQ(Bytes(got.begin() + 10, got.end()), Hex("6F0284009000"));
    EXPECT_EQ(line.box.box->lastAnswerCiphered, 0);
}

TEST(RudaLinkOnALine, CardApdusReachTheCardSimulatorAndCardStatusAnswersAtOnce) {
    RudaLine line("card " ZNP_SOURCE_DIR "/tools/cardsim/scenarios/chip_card.scn\n"
                  "event chip A0000000421010\n"
                  "event removal\n");
    ASSERT_EQ(line.opened, 0);
    const Bytes fci = line.exchange(Hex("00A4040007A000000042101000"));
    ASSERT_GE(fci.size(), 4u);
    EXPECT_EQ(fci[0], 0x6F);
    EXPECT_EQ(Bytes(fci.end() - 2, fci.end()), Hex("9000"));
    // The card status request takes the queued card event.
    EXPECT_EQ(line.exchange(Hex("D0600301")),
              Hex("E019 48020300 9F0607A0000000421010 63093B6500002063CB6A00 9000"));
    // Then the card goes: the next answer tells it, the one after is the card's.
    EXPECT_EQ(line.exchange(Hex("80A8000002830000")), Hex("E004 48020100 9000"));
    const Bytes gpo = line.exchange(Hex("80A8000002830000"));
    ASSERT_GE(gpo.size(), 2u);
    EXPECT_EQ(gpo[0], 0x80);
    // No event queued: the card status request learns at once that no card
    // is left.
    EXPECT_EQ(line.exchange(Hex("D0600301")), Hex("E004 48020000 9000"));
}

// Milliseconds since midnight UTC now.
uint32_t Midnight() { return RUDA_SequenceNumber(plat::RealtimeMs()); }

TEST(RudaLinkOnALine, CipheredRequestsAndAnswers) {
    RudaLine line("key " + kKeyHex + "\nanswer D0B7 => 6F0284009000 cipher\n");
    ASSERT_EQ(line.opened, 0);
    KT_EPERIPH_API* box = line.box.box;
    box->moduleOptions = 1;
    const Bytes key = Hex(kKeyHex);
    std::memcpy(box->streamKey, key.data(), key.size());
    box->transportAdded = 1;

    struct Case {
        Bytes apdu;
        int operation;
        Bytes marker;
        uint8_t nad;
    } cases[] = {
        {Hex("00A4040007A000000042101000"), 11, Hex("00FD"), RUDA_NAD_CARD},
        {Hex("D0600301"), 100, Hex("00FE"), RUDA_NAD_COMMAND},
    };
    for (const Case& c : cases) {
        auto* request = static_cast<unsigned char*>(WAlloc(c.apdu.size()));
        std::memcpy(request, c.apdu.data(), c.apdu.size());
        int length = static_cast<int>(c.apdu.size());
        const uint32_t before = Midnight();
        ASSERT_EQ(RUDA_CipherForBox(box, c.operation, &request, &length), 1);
        const uint32_t after = Midnight();
        const Bytes ciphered(request, request + length);
        WFree(request);
        EXPECT_EQ(Bytes(ciphered.begin(), ciphered.begin() + 2), c.marker);
        ASSERT_EQ(line.send(ciphered), length);
        line.receive();
        const rudasim::Exchange e = line.exchanges().back();
        EXPECT_EQ(e.nad, c.nad);
        EXPECT_EQ(e.pcb & RUDA_PCB_CIPHERED, RUDA_PCB_CIPHERED);
        Bytes data;
        for (const Bytes& b : e.blocks) {
            const Bytes d = Data(b);
            data.insert(data.end(), d.begin(), d.end());
        }
        const auto plain = testsupport::OpensslDes3Decrypt(data, kKeyHex);
        ASSERT_TRUE(plain.has_value());
        ASSERT_EQ(plain->size(), c.apdu.size() + 4);
        EXPECT_EQ(Bytes(plain->begin(), plain->end() - 4), c.apdu);
        const uint32_t sequence = static_cast<uint32_t>((*plain)[plain->size() - 4]) << 24 |
                                  static_cast<uint32_t>((*plain)[plain->size() - 3]) << 16 |
                                  static_cast<uint32_t>((*plain)[plain->size() - 2]) << 8 | (*plain)[plain->size() - 1];
        // Taken between the two readings of the clock (or across midnight).
        EXPECT_TRUE((sequence >= before && sequence <= after) || after < before) << sequence;
        EXPECT_EQ(e.apdu, c.apdu);
    }
    // Operations 90 and 95 stay clear.
    auto* clear = static_cast<unsigned char*>(WAlloc(4));
    std::memcpy(clear, Hex("D0600301").data(), 4);
    int clearLength = 4;
    EXPECT_EQ(RUDA_CipherForBox(box, 90, &clear, &clearLength), 0);
    EXPECT_EQ(Bytes(clear, clear + 4), Hex("D0600301"));
    WFree(clear);

    // A ciphered answer: marked with its PCB, deciphered, its sequence gone.
    Bytes got = line.exchange(Hex("D0B70000"));
    ASSERT_GT(got.size(), 10u);
    EXPECT_EQ(got[9], RUDA_PCB_CIPHERED);
    EXPECT_EQ(box->lastAnswerCiphered, 1);
    int length = static_cast<int>(got.size());
    int ciphered = 0;
    ASSERT_EQ(RUDA_UnwrapAnswer(got.data(), &length, box->streamKey, &ciphered), 0);
    EXPECT_EQ(ciphered, 1);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + length), Hex("6F0284009000"));
}

}  // namespace

namespace {

TEST(RudaTerminalScenario, RefusedStatementsNameTheirLine) {
    const char* const bad[] = {
        "key 0011\n",
        "answer D0FF0000 9000\n",
        "answer D0FF0000 => 9000 louder\n",
        "event chip XYZ\n",
        "event stripe track9 \";1=2?\"\n",
        "event ctls 9F\n",
        "event removal now\n",
        "event mute atr\n",
        "event mute 3B00\n",
        "card /nonexistent/card.scn\n",
        "dance\n",
    };
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(rudasim::RudaScenario::Parse(std::string("# first\n") + text, "", &error).has_value()) << text;
        EXPECT_NE(error.find("line 2"), std::string::npos) << text << error;
    }
    std::string error;
    auto s = rudasim::RudaScenario::FromFile(ZNP_SOURCE_DIR "/tools/rudasim/scenarios/ruda_terminal.scn", &error);
    ASSERT_TRUE(s.has_value()) << error;
    EXPECT_TRUE(s->card.has_value());
    ASSERT_EQ(s->events.size(), 2u);
    EXPECT_EQ(s->events[1], rudasim::StripeEvent("", ";4970100012345670=25122010000000000?", ""));
    ASSERT_EQ(s->rules.size(), 2u);
    EXPECT_EQ(s->rules[1].answer, Hex("9F50"));
}

}  // namespace

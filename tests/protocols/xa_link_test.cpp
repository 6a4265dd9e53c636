// The XA link without a line: the bytes of its control, data and factory
// frames (check bytes computed here), the receiver of a data frame fed byte
// by byte (truncated frames, stray DLE pairs, wrong checks, over-long
// frames, frames started over), the parts of a received frame and of a
// factory answer, the byte wait of each phase, and the mapping callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/message_box.h"
#include "protocols/module_contract.h"
#include "protocols/xpro/xa_link.h"

namespace {

using Frame = std::string;

Frame Bytes(std::initializer_list<int> b) {
    Frame out;
    for (int x : b) out += static_cast<char>(x);
    return out;
}

uint8_t XorOf(uint8_t start, const Frame& bytes) {
    uint8_t x = start;
    for (unsigned char c : bytes) x ^= c;
    return x;
}

struct ContextDeleter {
    void operator()(KT_XPROT* ctx) const { XA_LinkClose(ctx); }
};
using Context = std::unique_ptr<KT_XPROT, ContextDeleter>;

constexpr const char* kDescriptor = "XPRO/2/005/1000/0000000000000000/1/3/00000000/00000000/100/011/";

Context Open(const char* descriptor = kDescriptor) { return Context(static_cast<KT_XPROT*>(XA_LinkOpen(descriptor))); }

std::string Fields(const KT_XPROT* ctx, unsigned char control) {
    unsigned char out[128];
    const int n = XA_ControlFields(ctx, control, out, sizeof out);
    return n < 0 ? std::string("refused") : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

// Feeds a frame (the bytes after DLE STX) to a reader.
struct Fed {
    XaDataFrameReader::State state;
    int letter;
    std::string kept;
    int restarts;
};
Fed Feed(const Frame& bytes, bool factory = false, int end = 0) {
    auto reader = std::make_unique<XaDataFrameReader>(factory);
    for (unsigned char c : bytes)
        if (reader->feed(c) != XaDataFrameReader::State::Reading) break;
    if (reader->state() == XaDataFrameReader::State::Reading && end != 0) reader->feed(end);
    return {reader->state(), reader->letter(),
            std::string(reinterpret_cast<const char*>(reader->bytes()), static_cast<size_t>(reader->length())),
            reader->restarts()};
}

// A message block with its two halves, without a port.
struct Block {
    Block() {
        std::memset(&block, 0, sizeof block);
        block.request = &halves[0];
        block.answer = &halves[1];
    }
    KTM_WPRO block;
    KTM_HALF halves[2] = {};
};

}  // namespace

// A context opened from a descriptor keeps its key index (field 6), and
// takes the link's defaults: flags 0x40, no bare ACK expected, side 1.
TEST(XaLink, OpenedFromADescriptor) {
    Context ctx = Open();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->mode, 2);
    EXPECT_EQ(ctx->party[0].exchangeNumber, 5);
    EXPECT_STREQ(ctx->application, "1000");
    EXPECT_EQ(ctx->port, 1);
    EXPECT_EQ(ctx->keyIndex, 3);
    EXPECT_EQ(ctx->party[0].accStat, 100);
    EXPECT_EQ(ctx->flags, XA_FLAG_ACK_EACH);
    EXPECT_EQ(ctx->expectBareAck, 0);
    EXPECT_EQ(ctx->side, 1);
    EXPECT_EQ(XA_LinkOpen("XPRA/2/005/1000/0/1/3/0/0/100/011/"), nullptr);
    EXPECT_EQ(XA_LinkOpen(nullptr), nullptr);
}

// Control frames: their fields by character, the check byte XOR from 0xFF
// over the fields through ETX (the character is not in it).
TEST(XaLink, ControlFrameFields) {
    Context ctx = Open();
    ctx->party[0].direction = 3;
    const std::string head = std::string("3\0" "5\0" "0000000000000000\0", 21);
    struct Case {
        unsigned char control;
        std::string fields;
    };
    const Case cases[] = {
        {XA_ENQ, head + std::string("1000\0" "03\0\x03", 9)},
        {XA_EOT, head + std::string("1000\0" "00000000\0" "00000000\0" "100\0\x03", 28)},
        {XA_ACK, head + "\x03"},
        {XA_NAK, head + "\x03"},
        {XA_BEL, head + "\x03"},
        {XA_SYN, head + "\x03"},
        {'Z', "refused"},
    };
    for (const Case& c : cases) EXPECT_EQ(Fields(ctx.get(), c.control), c.fields) << int(c.control);
    // The check byte the port layer appends: XOR from 0xFF of these bytes.
    const std::string enq = Fields(ctx.get(), XA_ENQ);
    EXPECT_EQ(XorOf(0xFF, enq), XA_Xor(0xFF, reinterpret_cast<const unsigned char*>(enq.data()), int(enq.size())));
    // A negative exchange number is written as it is.
    ctx->party[0].exchangeNumber = -1;
    EXPECT_EQ(Fields(ctx.get(), XA_ACK).substr(0, 5), std::string("3\0-1\0", 5));
}

// Data frames: side, sequence and exchange (a DLE doubled), 'P', '*', the
// body as given, DLE ETX or DLE ETB, and the XOR from 0 of everything after
// DLE STX.
TEST(XaLink, DataFrameBytes) {
    struct Case {
        uint8_t sequence, exchange;
        Frame body;
        bool last;
        Frame inner;  // after DLE STX, before the check byte
    };
    const Case cases[] = {
        {0, 5, "AB", true, Bytes({1, 0, 5, 'P', '*', 'A', 'B', 0x10, 0x03})},
        {0x10, 5, "A", false, Bytes({1, 0x10, 0x10, 5, 'P', '*', 'A', 0x10, 0x17})},
        {2, 0x10, Bytes({0x10, 0x10}), true, Bytes({1, 2, 0x10, 0x10, 'P', '*', 0x10, 0x10, 0x10, 0x03})},
        {0, 5, "", true, Bytes({1, 0, 5, 'P', '*', 0x10, 0x03})},
    };
    for (const Case& c : cases) {
        unsigned char out[64];
        const int n = XA_BuildDataFrame(1, c.sequence, c.exchange, 'P',
                                        reinterpret_cast<const unsigned char*>(c.body.data()), int(c.body.size()),
                                        c.last, out, sizeof out);
        const Frame expected = Bytes({0x10, 0x02}) + c.inner + static_cast<char>(XorOf(0x00, c.inner));
        EXPECT_EQ(Frame(reinterpret_cast<char*>(out), size_t(n)), expected) << int(c.sequence);
        EXPECT_EQ(XA_CheckFrame(out, n), 0);
    }
    unsigned char small[8];
    EXPECT_EQ(XA_BuildDataFrame(1, 0, 5, 'P', reinterpret_cast<const unsigned char*>("ABCD"), 4, true, small,
                                sizeof small),
              -1);
}

// Factory requests by key index: command, SO (SI for 4), the body of the
// key index, DLE ETX and the XOR from 0x12. A byte of DLE that twice the
// AccStat makes goes doubled (the request's frame would not close
// otherwise); the status remembered stays the byte itself.
TEST(XaLink, FactoryRequestFrames_Mended) {
    const unsigned char body[] = {0x41, 0x10};
    struct Case {
        int key;
        int accStat;
        int exchange;
        Frame inner;  // after DLE STX, through DLE ETX
        int status;
    };
    const Case cases[] = {
        {0, 100, 5, Bytes({2, 0xAF, '0', 0x10, 0x0E, 'B', 0x10, 0x03}), 200},
        {1, 100, 5, Bytes({2, 0xFD, 0, 0x10, 0x0E, 0, 0x10, 0x03}), 200},
        {2, 100, 5, Bytes({2, 0xFF, 0, 0x10, 0x0E, 200, 0x10, 0x03}), 200},
        {2, 8, 5, Bytes({2, 0xFF, 0, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03}), 0x10},
        {3, 8, 5, Bytes({2, 0xF1, 0, 0x10, 0x0E, 0x10, 0x10, 0, 0, 0, 0x10, 0x03}), 0x10},
        {4, 100, 0x10, Bytes({2, 0xF1, 0, 0x10, 0x0F, 0x10, 0x10, 0x41, 0x10, 0x03}), 200},
        {5, 8, 5, Bytes({2, 0xF4, 0, 0x10, 0x0E, 0x10, 0x10, 0x41, 0x10, 0x03}), 0x10},
        {6, 100, 5, Bytes({2, 0xFC, 0, 0x10, 0x0E, 0, 0x10, 0x03}), 200},
    };
    for (const Case& c : cases) {
        unsigned char out[64];
        uint8_t status = 0;
        const int n = XA_BuildFactoryFrame(c.key, c.accStat, c.exchange, body, c.key == 4 || c.key == 5 ? 1 : 2,
                                           out, sizeof out, &status);
        // Key index 4 and 5 carry a body of one byte here, the others two.
        const Frame expected = Bytes({0x10, 0x02}) + c.inner + static_cast<char>(XorOf(0x12, c.inner));
        ASSERT_GT(n, 0) << c.key;
        EXPECT_EQ(Frame(reinterpret_cast<char*>(out), size_t(n)), expected) << c.key << " " << c.accStat;
        EXPECT_EQ(status, c.status) << c.key;
        EXPECT_EQ(XA_CheckFrame(out, n), 0) << c.key;
    }
    // Refused: a key index beyond 0..6, no body, a body over 150 bytes.
    unsigned char out[512];
    std::vector<unsigned char> big(151, 0x41);
    EXPECT_EQ(XA_BuildFactoryFrame(7, 100, 5, body, 1, out, sizeof out, nullptr), -1);
    EXPECT_EQ(XA_BuildFactoryFrame(-1, 100, 5, body, 1, out, sizeof out, nullptr), -1);
    EXPECT_EQ(XA_BuildFactoryFrame(0, 100, 5, body, 0, out, sizeof out, nullptr), -1);
    EXPECT_EQ(XA_BuildFactoryFrame(5, 100, 5, big.data(), 151, out, sizeof out, nullptr), -1);
    EXPECT_GT(XA_BuildFactoryFrame(5, 100, 5, big.data(), 150, out, sizeof out, nullptr), 0);
}

// The checks before a frame goes byte by byte.
TEST(XaLink, FrameChecksBeforeSending) {
    struct Case {
        const char* name;
        Frame frame;
        int letter;
    };
    const Frame good = Bytes({0x10, 0x02, 1, 0, 5, 'P', '*', 'A', 0x10, 0x03, 0x00});
    std::string tooLong = Bytes({0x10, 0x02}) + std::string(XA_FRAME_MAX + 1, 'A') + Bytes({0x10, 0x03, 0x00});
    const Case cases[] = {
        {"good", good, 0},
        {"ETB", Bytes({0x10, 0x02, 1, 0, 5, 'P', '*', 0x10, 0x17, 0x00}), 0},
        {"no DLE STX", Bytes({0x02, 0x10, 1, 0x10, 0x03, 0}), 'D'},
        {"stray DLE", Bytes({0x10, 0x02, 1, 0x10, 'X', 0x10, 0x03, 0}), 'S'},
        {"pairs", Bytes({0x10, 0x02, 1, 0x10, 0x10, 0x10, 0x0E, 0x10, 0x0F, 0x10, 0x1F, 0x10, 0x03, 0}), 0},
        {"no end", Bytes({0x10, 0x02, 1, 2, 3}), 'S'},
        {"bytes after the check", Bytes({0x10, 0x02, 1, 0x10, 0x03, 0, 7}), 'S'},
        {"a lone DLE at the end", Bytes({0x10, 0x02, 1, 0x10}), 'S'},
        {"over 8190 bytes", tooLong, 'F'},
    };
    for (const Case& c : cases)
        EXPECT_EQ(XA_CheckFrame(reinterpret_cast<const unsigned char*>(c.frame.data()), int(c.frame.size())), c.letter)
            << c.name;
}

// The receiver of a data frame: good frames keep their DLE pairs; DLE STX
// starts the frame over (the check too: from 0x12 again for "1030");
// truncated frames, stray DLE pairs, wrong checks and over-long frames fail
// with their letter.
TEST(XaLink, DataFrameReceiver) {
    const Frame body = Bytes({2, 0, 5, 'P', '*', 'A', 0x10, 0x10, 'B', 0x10, 0x03});
    const char check = static_cast<char>(XorOf(0x00, body));
    const Frame etb = Bytes({2, 1, 5, 'P', '*', 'C', 0x10, 0x17});
    const Frame factory = Bytes({2, 0xAF, '0', 0x10, 0x0E, 0x00, 0x10, 0x03});
    const char factoryCheck = static_cast<char>(XorOf(0x12, factory));
    struct Case {
        const char* name;
        Frame bytes;
        bool factory;
        int end;  // fed after the bytes while still reading
        XaDataFrameReader::State state;
        int letter;
        Frame kept;
    };
    using S = XaDataFrameReader::State;
    const std::string over(XA_FRAME_MAX + 1, 'x');
    const Case cases[] = {
        {"last frame", body + check, false, 0, S::Done, 'L', body},
        {"more frames", etb + static_cast<char>(XorOf(0, etb)), false, 0, S::Done, 0, etb},
        {"started over", Bytes({2, 9, 9, 0x10, 0x02}) + body + check, false, 0, S::Done, 'L', body},
        {"factory", factory + factoryCheck, true, 0, S::Done, 'L', factory},
        {"factory started over", Bytes({7, 0x10, 0x02}) + factory + factoryCheck, true, 0, S::Done, 'L', factory},
        {"factory check from 0", factory + static_cast<char>(XorOf(0x00, factory)), true, 0, S::Failed, 'X', factory},
        {"wrong check", body + static_cast<char>(check ^ 1), false, 0, S::Failed, 'X', body},
        {"stray DLE pair", Bytes({2, 0, 0x10, 'X'}), false, 0, S::Failed, 'S', Bytes({2, 0})},
        {"truncated", Bytes({2, 0, 5, 'P'}), false, XaDataFrameReader::kTimeout, S::Failed, 'T', Bytes({2, 0, 5, 'P'})},
        {"read error", Bytes({2}), false, XaDataFrameReader::kReadError, S::Failed, 'R', Bytes({2})},
        {"no check byte", body, false, XaDataFrameReader::kTimeout, S::Failed, 'T', body},
        {"over 8190 bytes", over, false, 0, S::Failed, 'F', over.substr(0, XA_FRAME_MAX)},
    };
    for (const Case& c : cases) {
        const Fed fed = Feed(c.bytes, c.factory, c.end);
        EXPECT_EQ(fed.state, c.state) << c.name;
        EXPECT_EQ(fed.letter, c.letter) << c.name;
        EXPECT_EQ(fed.kept, c.kept) << c.name;
    }
    EXPECT_EQ(Feed(Bytes({2, 9, 0x10, 0x02}) + body + check).restarts, 1);
}

// The parts of a received data frame: side, sequence and exchange (a DLE
// pair read as one), header, the body as it came, last or not.
TEST(XaLink, DataFrameParts) {
    const Frame good = Bytes({2, 0x10, 0x10, 0x10, 0x10, 'P', '*', 'A', 0x10, 0x10, 0x10, 0x17});
    XaDataFrame f{};
    ASSERT_EQ(XA_ParseDataFrame(reinterpret_cast<const unsigned char*>(good.data()), int(good.size()), &f), 1);
    EXPECT_EQ(f.side, 2);
    EXPECT_EQ(f.sequence, 0x10);
    EXPECT_EQ(f.exchange, 0x10);
    EXPECT_EQ(f.header, 'P');
    EXPECT_EQ(Frame(reinterpret_cast<const char*>(f.body), size_t(f.bodyLength)), Bytes({'A', 0x10, 0x10}));
    EXPECT_FALSE(f.last);
    const Frame shapes[] = {
        Bytes({2, 0, 5, 'P', 'x', 0x10, 0x03}),  // no '*'
        Bytes({2, 0x10, 5, 'P', '*', 0x10, 0x03}),  // a lone DLE for the sequence
        Bytes({2, 0, 5, 0x10, 0x03}),  // too short
        Bytes({2, 0, 5, 'P', '*', 'A'}),  // no closing DLE
    };
    for (const Frame& s : shapes)
        EXPECT_EQ(XA_ParseDataFrame(reinterpret_cast<const unsigned char*>(s.data()), int(s.size()), &f), 0)
            << s.size();
}

// A factory answer: DLE SO, the status (the one a key index 2 request left,
// or 00, 10, 55), then the data between DLE SI and DLE ETX (1 to 150 bytes
// once undoubled).
TEST(XaLink, FactoryAnswers) {
    struct Case {
        const char* name;
        Frame frame;
        bool keyIndex2;
        int result;
        int letter;
        Frame data;
    };
    const std::string tooMuch(151, 'd');
    const Case cases[] = {
        {"status 00, no data", Bytes({2, 0xAF, 0x10, 0x0E, 0x00, 0x10, 0x03}), false, 1, 0, ""},
        {"status 55 with data", Bytes({2, 0x10, 0x0E, 0x55, 9, 0x10, 0x0F, 'a', 'b', 0x10, 0x03}), false, 2, 0, "ab"},
        {"status DLE doubled", Bytes({2, 0x10, 0x0E, 0x10, 0x10, 0x10, 0x03}), false, 1, 0, ""},
        {"data with a pair", Bytes({2, 0x10, 0x0E, 0, 0x10, 0x0F, 0x10, 0x10, 0x10, 0x03}), false, 2, 0,
         Bytes({0x10, 0x10})},
        {"status of key index 2", Bytes({2, 0x10, 0x0E, 200, 0x10, 0x03}), true, 1, 0, ""},
        {"status 00 after key index 2", Bytes({2, 0x10, 0x0E, 0x00, 0x10, 0x03}), true, -1, 'R', ""},
        {"status 01", Bytes({2, 0x10, 0x0E, 0x01, 0x10, 0x03}), false, -1, 'R', ""},
        {"no SO", Bytes({2, 0x00, 0x10, 0x03}), false, -1, 'S', ""},
        {"ETB first", Bytes({2, 0x10, 0x0E, 0x00, 0x10, 0x17, 0x10, 0x03}), false, -1, 'S', ""},
        {"empty data", Bytes({2, 0x10, 0x0E, 0x00, 0x10, 0x0F, 0x10, 0x03}), false, -1, 'S', ""},
        {"151 bytes", Bytes({2, 0x10, 0x0E, 0x00, 0x10, 0x0F}) + tooMuch + Bytes({0x10, 0x03}), false, -1, 'S', ""},
    };
    for (const Case& c : cases) {
        const unsigned char* data = nullptr;
        int length = 0;
        int letter = -1;
        const int r = XA_ParseFactoryAnswer(reinterpret_cast<const unsigned char*>(c.frame.data()),
                                            int(c.frame.size()), c.keyIndex2, 200, &data, &length, &letter);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_EQ(letter, c.letter) << c.name;
        EXPECT_EQ(data == nullptr ? Frame() : Frame(reinterpret_cast<const char*>(data), size_t(length)), c.data)
            << c.name;
    }
}

// The byte wait of each phase, application and flag.
TEST(XaLink, ByteWaitOfEachPhase) {
    Context ctx = Open();
    const int32_t t[7] = {11, 22, 33, 44, 55, 66, 77};
    std::memcpy(ctx->timeouts, t, sizeof t);
    struct Case {
        const char* application;
        int phase;
        int flags;
        int wait;
    };
    const Case cases[] = {
        {"1030", XPRO_PHASE_OPENING_SEND, 0x40, 77}, {"1030", XPRO_PHASE_IDLE, 0, 77},
        {"1000", XPRO_PHASE_OPENING_SEND, 0x40, 11}, {"1000", XPRO_PHASE_OPENING_RECEIVE, 0, 11},
        {"1010", XPRO_PHASE_OPENING_SEND, 0, 22},    {"1020", XPRO_PHASE_OPENING_RECEIVE, 0, 22},
        {"1000", XPRO_PHASE_SENDING, 0x40, 33 * 6},  {"1000", XPRO_PHASE_SENDING, 0x10, 33},
        {"1010", XPRO_PHASE_SENDING, 0x40, 44},      {"1000", XPRO_PHASE_CLOSING_RESPONDER, 0, 55},
        {"1000", XPRO_PHASE_CLOSING_INITIATOR, 0, 55}, {"1000", XPRO_PHASE_RECEIVING, 0, 66},
        {"1000", XPRO_PHASE_WAITING_BEL, 0, 66},     {"1000", XPRO_PHASE_IDLE, 0, 66},
    };
    for (const Case& c : cases) {
        XPRO_SetApplication(ctx.get(), c.application);
        ctx->phase = c.phase;
        ctx->flags = c.flags;
        EXPECT_EQ(XA_ByteTimeout(ctx.get()), c.wait) << c.application << " " << c.phase;
    }
}

// The answer descriptor: mode "%d", the terminal's exchange, port, key
// index and AccStat "%03d", the status "%02d"; the body undoubled.
TEST(XaLinkCallbacks, AnswerDescriptorAndBody) {
    Context ctx = Open();
    auto b = std::make_unique<Block>();
    b->block.TransBox = ctx.get();
    ctx->party[1].exchangeNumber = 5;
    ctx->party[1].accStat = 100;
    XPRO_ClearStepLabels(ctx.get());
    ctx->status = 2;
    const Frame received = Bytes({0xE0, 0x10, 0x10, 0x01});
    std::memcpy(b->block.frame, received.data(), received.size());
    b->halves[1].totalLength = uint32_t(received.size());
    ASSERT_EQ(XA_LinkStatus(&b->block), 3);
    EXPECT_STREQ(b->halves[1].S, "XPRO/2/005/1000/0000000000000000/001/003/________/________/100/02/");
    EXPECT_EQ(Frame(reinterpret_cast<char*>(b->halves[1].M), 3), Bytes({0xE0, 0x10, 0x01}));
    EXPECT_STREQ(b->halves[1].A, "1210");
}

// The request body goes DLE doubled into the send area; one whose doubled
// form would not fit a frame (8190 bytes after DLE STX with its header and
// end) is refused before anything of the request is taken.
TEST(XaLinkCallbacks, RequestMeasuredDoubledBeforeCopying_Mended) {
    Context ctx = Open();
    auto b = std::make_unique<Block>();
    b->block.TransBox = ctx.get();
    std::snprintf(b->halves[0].S, sizeof b->halves[0].S, "%s",
                  "XPRO/3/007/1000/0000000000000000/1/4/00000000/00000000/100/010/");
    std::snprintf(b->halves[0].A, sizeof b->halves[0].A, "%s", "1200");
    const int fits = XA_FRAME_MAX - XA_DATA_OVERHEAD;  // doubled
    // fits - 1 bytes of which one is DLE: fits bytes doubled.
    std::memset(b->halves[0].M, 'A', size_t(fits));
    b->halves[0].M[0] = 0x10;
    b->halves[0].mLength = uint32_t(fits);  // doubled: fits + 1
    b->block.frame[0] = 0x5A;
    EXPECT_EQ(XA_LinkRequest(&b->block), -1);
    EXPECT_EQ(b->block.frame[0], 0x5A);
    EXPECT_EQ(ctx->mode, 2);
    EXPECT_STREQ(ctx->netApplication, "1210");

    b->halves[0].mLength = uint32_t(fits - 1);
    ASSERT_EQ(XA_LinkRequest(&b->block), fits);
    EXPECT_EQ(b->block.frame[0], 0x10);
    EXPECT_EQ(b->block.frame[1], 0x10);
    EXPECT_EQ(b->block.frame[2], 'A');
    EXPECT_EQ(ctx->mode, 3);
    EXPECT_EQ(ctx->party[0].exchangeNumber, 7);
    EXPECT_EQ(ctx->keyIndex, 4);
    EXPECT_EQ(ctx->status, 10);
    EXPECT_STREQ(ctx->netApplication, "1200");
}

// A body that no frame can carry, or no context, is refused at once.
TEST(XaLinkCallbacks, SendRefusesWhatCannotBeAFrame) {
    Context ctx = Open("XPRO/2/005/1000/0000000000000000/99/3/00000000/00000000/100/011/");
    std::string big(XA_FRAME_MAX + 1, 'A');
    EXPECT_EQ(XA_LinkSend(ctx.get(), big.data(), uint32_t(big.size()), 0, 1), -1);
    EXPECT_EQ(XA_LinkSend(nullptr, big.data(), 1, 0, 1), -1);
    EXPECT_EQ(XA_LinkReceive(nullptr, big.data(), 10, 0, 0), 0);
}

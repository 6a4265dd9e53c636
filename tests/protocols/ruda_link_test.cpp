// RUDA block link on bytes and time alone: cutting requests into blocks, the
// NAD and class rules, the receiver fed byte streams (chains, check bytes,
// prefixes, transport marker, time-outs, overflow) and the ciphered forms,
// checked against `openssl enc -des-ede3-cbc`.
#include "protocols/ruda/ruda_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cardsim/emv_card.h"
#include "support/apdu_bytes.h"
#include "support/openssl_cli.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;

using testsupport::Hex;

// A test-only stream key (never used outside these tests).
const std::string kKeyHex = "0123456789ABCDEFFEDCBA98765432100011223344556677";
const Bytes kKey = Hex(kKeyHex);

Bytes Raw(const RUDAMessage* m) {
    int n = 0;
    const unsigned char* p = RUDAMessage_raw(m, &n);
    return Bytes(p, p + n);
}

// One block with its LRC.
Bytes Block(uint8_t nad, uint8_t pcb, const Bytes& data) {
    Bytes b = {nad, pcb, static_cast<uint8_t>(data.size())};
    b.insert(b.end(), data.begin(), data.end());
    b.push_back(RUDA_Lrc(b.data(), static_cast<int>(b.size())));
    return b;
}

struct Sent {
    Bytes bytes;
    std::vector<Bytes> blocks;  // header and data of each block, LRC checked
};

Sent Send(const Bytes& request) {
    Sent s;
    RUDAMessage* m = RUDA_BuildSendBlocks(request.data(), static_cast<int>(request.size()));
    if (m == nullptr) return s;
    s.bytes = Raw(m);
    RUDAMessage_free(m);
    return s;
}

std::vector<Bytes> Blocks(const Bytes& bytes) {
    std::vector<Bytes> blocks;
    size_t at = 0;
    while (at + 4 <= bytes.size()) {
        const size_t n = 4u + bytes[at + 2];
        if (at + n > bytes.size()) break;
        Bytes b(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n));
        EXPECT_EQ(RUDA_Lrc(b.data(), static_cast<int>(n - 1)), b.back()) << "LRC of block " << blocks.size();
        blocks.push_back(b);
        at += n;
    }
    EXPECT_EQ(at, bytes.size()) << "bytes after the last block";
    return blocks;
}

TEST(RudaBlocks, MessagesAreCutIntoBlocksOf254) {
    struct Case {
        size_t length;
        std::vector<std::pair<int, int>> blocks;  // (LEN, PCB)
    } cases[] = {
        {0, {{0, 0}}},
        {1, {{1, 0}}},
        {254, {{254, 0}}},
        {255, {{254, 1}, {1, 0}}},
        {508, {{254, 1}, {254, 0}}},
        {509, {{254, 1}, {254, 1}, {1, 0}}},
    };
    for (const Case& c : cases) {
        Bytes data(c.length);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
        RUDAMessage* m = RUDAMessage_new();
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(RUDAMessage_setData(m, data.data(), static_cast<int>(data.size()), false), 1);
        const std::vector<Bytes> blocks = Blocks(Raw(m));
        ASSERT_EQ(blocks.size(), c.blocks.size()) << c.length;
        for (size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i][2], c.blocks[i].first) << c.length << " block " << i;
            EXPECT_EQ(blocks[i][1], c.blocks[i].second) << c.length << " block " << i;
        }
        Bytes joined(c.length + 1);
        EXPECT_EQ(RUDAMessage_getData(m, joined.data(), static_cast<int>(joined.size())), static_cast<int>(c.length));
        joined.resize(c.length);
        EXPECT_EQ(joined, data);
        EXPECT_GE(m->capacity, 128);
        EXPECT_EQ(m->capacity & (m->capacity - 1), 0) << "capacity grows to powers of two";
        RUDAMessage_free(m);
    }
}

TEST(RudaBlocks, NadAndClassRulesOnEveryAttempt) {
    struct Case {
        const char* name;
        Bytes request;
        uint8_t nad;
        Bytes firstData;  // data of the first block
        uint8_t pcb;
    } cases[] = {
        {"select", Hex("00A4040007A000000042101000"), 0x11, Hex("00A4040007A000000042101000"), 0},
        {"abort", Hex("D0FF0000"), 0x01, Hex("D0FF0000"), 0},
        {"class DF as 00", Hex("DFA4000002AABB"), 0x01, Hex("00A4000002AABB"), 0},
        {"read record", Hex("00B2010C00"), 0x11, Hex("00B2010C00"), 0},
        {"class 00 other", Hex("00CA9F1700"), 0x01, Hex("00CA9F1700"), 0},
        {"class 80", Hex("80A8000002830000"), 0x11, Hex("80A8000002830000"), 0},
        {"class E2", Hex("E2000000"), 0x11, Hex("E2000000"), 0},
        {"class C0", Hex("C0010000"), 0x01, Hex("C0010000"), 0},
        {"ciphered for the card", Hex("00FD 0102030405060708"), 0x11, Hex("0102030405060708"), RUDA_PCB_CIPHERED},
        {"ciphered for the terminal", Hex("00FE 0102030405060708"), 0x01, Hex("0102030405060708"), RUDA_PCB_CIPHERED},
    };
    for (const Case& c : cases) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Sent s = Send(c.request);
            const std::vector<Bytes> blocks = Blocks(s.bytes);
            ASSERT_EQ(blocks.size(), 1u) << c.name;
            EXPECT_EQ(blocks[0][0], c.nad) << c.name << " attempt " << attempt;
            EXPECT_EQ(blocks[0][1], c.pcb) << c.name;
            EXPECT_EQ(Bytes(blocks[0].begin() + 3, blocks[0].end() - 1), c.firstData) << c.name << " attempt " << attempt;
        }
    }
    // Raw pass-through: only the bytes after 00 FF, without framing.
    EXPECT_EQ(Send(Hex("00FF4142")).bytes, Hex("4142"));
}

// Feeds the bytes in pieces of `step` bytes, all at time `now`.
RudaBlockReceiver::State FeedAll(RudaBlockReceiver& r, const Bytes& bytes, size_t step, int64_t now = 0) {
    RudaBlockReceiver::State s = r.state();
    for (size_t at = 0; at < bytes.size(); at += step) {
        const int n = static_cast<int>(std::min(step, bytes.size() - at));
        s = r.feed(bytes.data() + at, n, now);
        if (s != RudaBlockReceiver::State::Waiting) break;
    }
    return s;
}

Bytes Answer(const RudaBlockReceiver& r) { return Bytes(r.answer(), r.answer() + r.length()); }

TEST(RudaReceiver, JoinsChainedBlocksFedInAnyPieces) {
    Bytes answer(300);
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i);
    answer[298] = 0x90;
    answer[299] = 0x00;
    RUDAMessage* m = RUDAMessage_new();
    RUDAMessage_setNAD(m, RUDA_NAD_COMMAND);
    ASSERT_EQ(RUDAMessage_setData(m, answer.data(), 300, false), 1);
    const Bytes wire = Raw(m);
    RUDAMessage_free(m);
    for (size_t step : {size_t{1}, size_t{3}, size_t{7}, wire.size()}) {
        RudaBlockReceiver r;
        r.start(0);
        EXPECT_EQ(FeedAll(r, wire, step), RudaBlockReceiver::State::Done) << step;
        EXPECT_EQ(Answer(r), answer) << step;
        EXPECT_EQ(r.blocks(), 2);
        EXPECT_EQ(r.statusWord(), 0x9000);
    }
    // Bytes after the last block are left for later.
    RudaBlockReceiver r;
    r.start(0);
    Bytes more = Block(0x01, 0, Hex("9000"));
    more.push_back(0x55);
    int used = 0;
    EXPECT_EQ(r.feed(more.data(), static_cast<int>(more.size()), 0, &used), RudaBlockReceiver::State::Done);
    EXPECT_EQ(used, static_cast<int>(more.size()) - 1);
}

TEST(RudaReceiver, WrongCheckByteGivesXAndNoAnswerMended) {
    Bytes wire = Block(0x01, 0, Hex("01029000"));
    wire.back() ^= 0x01;
    RudaBlockReceiver r;
    r.start(0);
    EXPECT_EQ(FeedAll(r, wire, 1), RudaBlockReceiver::State::Failed);
    EXPECT_EQ(r.letter(), 'X');
    EXPECT_EQ(r.length(), 0);

    // A length byte beyond 254 is no block.
    RudaBlockReceiver over;
    over.start(0);
    const Bytes header = Hex("0100FF");
    EXPECT_EQ(over.feed(header.data(), 3, 0), RudaBlockReceiver::State::Waiting);
    const Bytes rest(256, 0x00);
    EXPECT_EQ(over.feed(rest.data(), 256, 0), RudaBlockReceiver::State::Failed);
    EXPECT_EQ(over.letter(), 'B');
}

TEST(RudaReceiver, CardPrefixIsDroppedOnlyWhenItFitsTheBlockMended) {
    struct Case {
        const char* name;
        uint8_t nad;
        Bytes data;
        Bytes delivered;
    } cases[] = {
        {"prefix on NAD 11", 0x11, Hex("FF7C02AABB 6F009000"), Hex("6F009000")},
        {"same bytes on NAD 01", 0x01, Hex("FF7C02AABB 9000"), Hex("FF7C02AABB9000")},
        {"prefix claiming more than the block", 0x11, Hex("FF7C209000"), Hex("FF7C209000")},
    };
    for (const Case& c : cases) {
        RudaBlockReceiver r;
        r.start(0);
        ASSERT_EQ(FeedAll(r, Block(c.nad, 0, c.data), 2), RudaBlockReceiver::State::Done) << c.name;
        EXPECT_EQ(Answer(r), c.delivered) << c.name;
    }
}

TEST(RudaReceiver, TransportMarkerGoesBeforeTheAnswer) {
    RudaReceiverOptions options;
    options.transportAdded = true;
    RudaBlockReceiver r(options);
    r.start(0);
    const Bytes answer = Hex("010203049000");
    ASSERT_EQ(FeedAll(r, Block(0x01, RUDA_PCB_STEP, answer), 5), RudaBlockReceiver::State::Done);
    Bytes expected(std::begin("PRTTRSPW"), std::end("PRTTRSPW") - 1);
    expected.push_back(0x01);
    expected.push_back(RUDA_PCB_STEP);
    expected.insert(expected.end(), answer.begin(), answer.end());
    EXPECT_EQ(Answer(r), expected);
    EXPECT_EQ(r.length(), 16);
    EXPECT_EQ(r.stepCode(), 2);
}

TEST(RudaReceiver, StatusWordOtherThan9000IsTracedAndStillDelivered) {
    testsupport::TraceCapture trace;
    RudaBlockReceiver r;
    r.start(0);
    ASSERT_EQ(FeedAll(r, Block(0x01, 0, Hex("9F13")), 1), RudaBlockReceiver::State::Done);
    EXPECT_EQ(Answer(r), Hex("9F13"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- [RUDA] File cannot be opened."));
}

TEST(RudaReceiver, TimeOutsByWhereTheSilenceFalls) {
    const int wait = kRudaReadTimeoutMs;
    const Bytes first = Block(0x01, RUDA_PCB_MORE, Hex("0102"));
    struct Case {
        const char* name;
        Bytes before;  // bytes fed at time 0
        char letter;
    } cases[] = {
        {"nothing at all", {}, 'T'},
        {"half a header", Hex("01"), 'T'},
        {"inside a block", Hex("010003AA"), 'B'},
        {"between chained blocks", first, 'T'},
    };
    for (const Case& c : cases) {
        RudaBlockReceiver r;
        r.start(0);
        if (!c.before.empty()) r.feed(c.before.data(), static_cast<int>(c.before.size()), 0);
        EXPECT_EQ(r.poll(wait), RudaBlockReceiver::State::Waiting) << c.name << ": at the limit";
        EXPECT_EQ(r.poll(wait + 1), RudaBlockReceiver::State::Failed) << c.name;
        EXPECT_EQ(r.letter(), c.letter) << c.name;
    }
    // A byte that comes late does not revive the answer.
    RudaBlockReceiver r;
    r.start(0);
    const Bytes late = Block(0x01, 0, Hex("9000"));
    EXPECT_EQ(r.feed(late.data(), static_cast<int>(late.size()), wait + 5), RudaBlockReceiver::State::Failed);
    EXPECT_EQ(r.letter(), 'T');
}

TEST(RudaReceiver, EndlessChainingStopsAtTheReceiveRoomMended) {
    RudaReceiverOptions options;
    options.room = 1000;
    RudaBlockReceiver r(options);
    r.start(0);
    const Bytes block = Block(0x01, RUDA_PCB_MORE, Bytes(254, 0x33));
    RudaBlockReceiver::State s = RudaBlockReceiver::State::Waiting;
    int blocks = 0;
    while (s == RudaBlockReceiver::State::Waiting && blocks < 100) {
        s = r.feed(block.data(), static_cast<int>(block.size()), blocks);
        ++blocks;
    }
    EXPECT_EQ(s, RudaBlockReceiver::State::Failed);
    EXPECT_EQ(r.letter(), 'F');
    EXPECT_EQ(blocks, 4) << "three blocks of 254 fit in 1000 bytes, not four";
    EXPECT_EQ(r.length(), 0);
}

TEST(RudaCipher, RequestsDecipherWithOpensslToTheApduAndItsSequence) {
    const uint32_t sequence = RUDA_SequenceNumber(1765411200000LL + 45296789);  // 12:34:56.789 UTC
    ASSERT_EQ(sequence, 45296789u);
    struct Case {
        const char* name;
        Bytes request;
        int operation;
        Bytes marker;
        Bytes plain;  // the APDU as ciphered
    } cases[] = {
        {"select", Hex("00A4040007A000000042101000"), 11, Hex("00FD"), Hex("00A4040007A000000042101000")},
        {"terminal command", Hex("D0600301"), 100, Hex("00FE"), Hex("D0600301")},
        {"class DF select", Hex("DFA4000002AABB"), 11, Hex("00FE"), Hex("00A4000002AABB")},
        {"raw stream data", Hex("00FF 31323334"), 158, Hex("00FF"), Hex("31323334")},
    };
    for (const Case& c : cases) {
        Bytes out(c.request.size() + kRudaCipherOverhead);
        const int n = RUDA_CipherRequest(c.request.data(), static_cast<int>(c.request.size()), c.operation,
                                         kKey.data(), sequence, out.data(), static_cast<int>(out.size()));
        ASSERT_GT(n, 2) << c.name;
        out.resize(static_cast<size_t>(n));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 2), c.marker) << c.name;
        const auto plain = testsupport::OpensslDes3Decrypt(Bytes(out.begin() + 2, out.end()), kKeyHex);
        ASSERT_TRUE(plain.has_value()) << c.name;
        Bytes expected = c.plain;
        expected.insert(expected.end(), {0x02, 0xB3, 0x2C, 0x95});  // 45296789
        EXPECT_EQ(Bytes(plain->begin(), plain->end()), expected) << c.name;
    }

    // The link sends the cipher text in blocks, PCB bit 1 in the first.
    Bytes out(200);
    const Bytes select = Hex("00A4040007A000000042101000");
    const int n = RUDA_CipherRequest(select.data(), static_cast<int>(select.size()), 11, kKey.data(), sequence,
                                     out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(n));
    const std::vector<Bytes> blocks = Blocks(Send(out).bytes);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0][0], 0x11);
    EXPECT_EQ(blocks[0][1], RUDA_PCB_CIPHERED);
    EXPECT_EQ(blocks[0][2], n - 2);

    EXPECT_EQ(RUDA_CipherRequest(select.data(), static_cast<int>(select.size()), 11, kKey.data(), sequence,
                                 out.data(), static_cast<int>(select.size()) + 13),
              -1)
        << "no room for the padding";
}

Bytes Marked(uint8_t pcb, const Bytes& payload) {
    Bytes b(std::begin("PRTTRSPW"), std::end("PRTTRSPW") - 1);
    b.push_back(0x01);
    b.push_back(pcb);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

TEST(RudaCipher, AnswersLoseTheirMarkerAndTheirSequence) {
    const Bytes answer = Hex("6F0A8407A00000004210109000");
    Bytes plain = answer;
    plain.insert(plain.end(), {0x00, 0x00, 0x30, 0x39});
    const auto cipher = testsupport::OpensslDes3Encrypt(plain, kKeyHex);
    ASSERT_TRUE(cipher.has_value());

    Bytes payload = Marked(RUDA_PCB_CIPHERED, Bytes(cipher->begin(), cipher->end()));
    int length = static_cast<int>(payload.size());
    int ciphered = 0;
    ASSERT_EQ(RUDA_UnwrapAnswer(payload.data(), &length, kKey.data(), &ciphered), 0);
    EXPECT_EQ(ciphered, 1);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + length), answer);

    payload = Marked(0x00, answer);
    length = static_cast<int>(payload.size());
    ASSERT_EQ(RUDA_UnwrapAnswer(payload.data(), &length, nullptr, &ciphered), 0);
    EXPECT_EQ(ciphered, 0);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + length), answer);

    // Without the marker the payload is left as it is.
    payload = answer;
    length = static_cast<int>(payload.size());
    ASSERT_EQ(RUDA_UnwrapAnswer(payload.data(), &length, kKey.data(), &ciphered), 0);
    EXPECT_EQ(length, static_cast<int>(answer.size()));
}

TEST(RudaCipher, CipheredAnswersThatCannotHoldTheirSequenceAreRefusedMended) {
    testsupport::TraceCapture trace;
    struct Case {
        const char* name;
        Bytes plain;
        bool key;
    } cases[] = {
        {"three bytes only", Hex("9F5401"), true},
        {"no key", Hex("9000 00000001"), false},
    };
    for (const Case& c : cases) {
        const auto cipher = testsupport::OpensslDes3Encrypt(c.plain, kKeyHex);
        ASSERT_TRUE(cipher.has_value());
        Bytes payload = Marked(RUDA_PCB_CIPHERED, Bytes(cipher->begin(), cipher->end()));
        int length = static_cast<int>(payload.size());
        EXPECT_EQ(RUDA_UnwrapAnswer(payload.data(), &length, c.key ? kKey.data() : nullptr, nullptr), -2) << c.name;
        EXPECT_EQ(length, 0) << c.name;
    }
    // A cipher text that is not whole blocks.
    Bytes payload = Marked(RUDA_PCB_CIPHERED, Hex("0102030405"));
    int length = static_cast<int>(payload.size());
    EXPECT_EQ(RUDA_UnwrapAnswer(payload.data(), &length, kKey.data(), nullptr), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_GetOneResult Stream decryption error"));

    // The key status words are traced and the answer still goes on.
    const auto cipher = testsupport::OpensslDes3Encrypt(Hex("9F54 0000000A"), kKeyHex);
    payload = Marked(RUDA_PCB_CIPHERED, Bytes(cipher->begin(), cipher->end()));
    length = static_cast<int>(payload.size());
    EXPECT_EQ(RUDA_UnwrapAnswer(payload.data(), &length, kKey.data(), nullptr), 0);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + length), Hex("9F54"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- SW1SW2 = [9F54] Mauvais Sequence Number Envoye"));
}

TEST(RudaTexts, StatusWordsAndStepLabels) {
    char text[128];
    EXPECT_STREQ(RUDA_DescribeStatusWord(0x9F13, text, sizeof text), "File cannot be opened.");
    EXPECT_STREQ(RUDA_DescribeStatusWord(0x6A88, text, sizeof text),
                 "Parameter(s) P1-P2 are wrong, referenced data not found.");
    EXPECT_STREQ(RUDA_DescribeStatusWord(0x6A83, text, sizeof text), "Unknown error 6a83");
    EXPECT_STREQ(RUDA_StepLabel('T'), "_X_TIME_");
    EXPECT_STREQ(RUDA_StepLabel('X'), "_X_CORR_");
    EXPECT_EQ(RUDA_StepLabel('Z'), nullptr);
    char message[81];
    EXPECT_EQ(RUDA_FormatTransportMessage('T', "1210", message, sizeof message), 1);
    EXPECT_STREQ(message, "[RUDA_Transport():_X_TIME_:-Step=84-App=1210]");
    EXPECT_EQ(RUDA_FormatTransportMessage('Z', "1210", message, sizeof message), 0);
    EXPECT_STREQ(message, "");
}

}  // namespace

// Length-prefixed messages: header recognition, the field encoder and
// decoder on bytes alone, and the receive and send over a byte stream that a
// test script cuts, merges, slows down or breaks (simulated time).
#include <cstdarg>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/length_prefixed.h"
#include "netsim/net_frame.h"
#include "platform/clock.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;

std::string B(const char* text, size_t n) { return std::string(text, n); }

int Encode(void* message, uint32_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = KTN_V_ReseauPrintf(message, capacity, format, args);
    va_end(args);
    return r;
}

int Decode(const void* message, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = KTN_V_ReseauScanf(message, format, args);
    va_end(args);
    return r;
}

// Own header and body.
std::string Framed(const std::string& body) {
    char header[8];
    std::snprintf(header, sizeof header, "%4.4X", static_cast<unsigned>(body.size() + 5));
    return std::string(header, 4) + std::string(1, '\0') + body;
}

// ---------------------------------------------------------------------------
// Header recognition
// ---------------------------------------------------------------------------

struct HeaderCase {
    std::string first5;
    KtnFraming framing;
    uint32_t total;
};

TEST(KtnHeader, FramingsAndTotals) {
    const HeaderCase cases[] = {
        {B("000E\0", 5), KtnFraming::Own, 14},
        {B("0005\0", 5), KtnFraming::Own, 5},
        {B("ffff\0", 5), KtnFraming::Own, 0xFFFF},
        {B("\x00\x10\x41\x42\x43", 5), KtnFraming::Foreign1218, 0x10 + 6},
        {B("\x31\x32\xFF\x41\x42", 5), KtnFraming::Foreign1218, 0x31 * 256 + 0x32 + 6},
        {"00123", KtnFraming::Foreign1219, 16},
        {"99999", KtnFraming::Foreign1219, 10003},
        {"0012X", KtnFraming::Unknown, 0},
        {"GET /", KtnFraming::Http, 0},
        {"PUT x", KtnFraming::Http, 0},
        {"HEAD ", KtnFraming::Http, 0},
        {"POST ", KtnFraming::Http, 0},
        {"DELET", KtnFraming::Http, 0},
        {"HEADX", KtnFraming::Unknown, 0},
        {B("00G0\0", 5), KtnFraming::Unknown, 0},
    };
    for (const auto& c : cases) {
        const KtnHeader h = KTN_ParseHeader(reinterpret_cast<const uint8_t*>(c.first5.data()));
        EXPECT_EQ(h.framing, c.framing) << c.first5;
        if (c.framing != KtnFraming::Http && c.framing != KtnFraming::Unknown) {
            EXPECT_EQ(h.total, c.total) << c.first5;
        }
    }
}

// ---------------------------------------------------------------------------
// Encoder and decoder
// ---------------------------------------------------------------------------

TEST(KtnCodec, WorkedExampleIsByteExact) {
    uint8_t message[64] = {};
    const int total = Encode(message, sizeof message, "%C%X%B", 'A', 31, 3u, "abc");
    ASSERT_EQ(total, 14);
    const uint8_t expected[] = {0x30, 0x30, 0x30, 0x45, 0x00, 0x41, 0x31, 0x46, 0x00, 0x33, 0x00, 0x61, 0x62, 0x63};
    EXPECT_EQ(0, std::memcmp(message, expected, sizeof expected));

    char c = 0;
    int x = 0, length = 0;
    char bytes[8] = {};
    EXPECT_EQ(Decode(message, "%C%X%B", &c, &x, &length, bytes, unsigned{sizeof bytes}), 3);
    EXPECT_EQ(c, 'A');
    EXPECT_EQ(x, 31);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::string(bytes), "abc");

    c = 0;
    length = 0;
    EXPECT_EQ(Decode(message, "%C%*X%+B", &c, &length), 1);
    EXPECT_EQ(c, 'A');
    EXPECT_EQ(length, 3);
}

TEST(KtnCodec, EncoderDirectives) {
    struct Case {
        const char* name;
        std::string body;
        int (*encode)(uint8_t*);
    };
    const Case cases[] = {
        {"empty %B writes 0 and NUL", B("0\0", 2), [](uint8_t* m) { return Encode(m, 64, "%B", 0u, ""); }},
        {"%D like %B", B("2\0xy", 4), [](uint8_t* m) { return Encode(m, 64, "%D", 2u, "xy"); }},
        {"%S bytes only", "xyz", [](uint8_t* m) { return Encode(m, 64, "%S", 3u, "xyz"); }},
        {"negative %X", B("FFFFFFFF\0", 9), [](uint8_t* m) { return Encode(m, 64, "%X", -1); }},
        {"%L", B("1234ABCD\0", 9), [](uint8_t* m) { return Encode(m, 64, "%L", 0x1234ABCDL); }},
        {"lower-case letters", B("Z1F\0", 4), [](uint8_t* m) { return Encode(m, 64, "%c%x", 'Z', 31); }},
        {"%% and other letters", "%Q", [](uint8_t* m) { return Encode(m, 64, "%%%Q"); }},
        {"literal text around", B("<A1\0>", 5), [](uint8_t* m) { return Encode(m, 64, "<%C%X>", 'A', 1); }},
    };
    for (const auto& c : cases) {
        uint8_t message[64] = {};
        const int total = c.encode(message);
        EXPECT_EQ(total, static_cast<int>(c.body.size() + 5)) << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(message), static_cast<size_t>(total)), Framed(c.body)) << c.name;
    }
}

TEST(KtnCodec, EncoderRefusesWhatDoesNotFit_Mended) {
    uint8_t small[10] = {};
    EXPECT_EQ(Encode(small, sizeof small, "%S", 6u, "abcdef"), -1);
    EXPECT_EQ(Encode(small, sizeof small, "%S", 5u, "abcde"), 10);
    // A total that four hexadecimal digits cannot carry.
    std::vector<uint8_t> big(70000);
    std::string bytes(0xFFFF, 'x');
    EXPECT_EQ(Encode(big.data(), static_cast<uint32_t>(big.size()), "%S", static_cast<unsigned>(bytes.size()),
                     bytes.data()),
              -1);
    EXPECT_EQ(Encode(big.data(), static_cast<uint32_t>(big.size()), "%S", 0xFFFFu - 5, bytes.data()), 0xFFFF);
}

TEST(KtnCodec, DecoderReadsEveryDirectiveAndSkipsText) {
    uint8_t message[128] = {};
    const int total =
        Encode(message, sizeof message, "%C%X%L%B%D%S", 'q', 0x7FFF, 0xABCDEFL, 4u, "\x00\x01\x02\x03", 2u, "hi", 5u,
               "tail!");
    ASSERT_GT(total, 0);
    char c = 0;
    int x = 0, lb = 0, ld = 0, ls = 0;
    long l = 0;
    uint8_t b[8] = {}, d[8] = {}, s[8] = {};
    // Text in the format that is not a directive is ignored by the decoder.
    EXPECT_EQ(Decode(message, "c=%C x=%X l=%L%B%d%s", &c, &x, &l, &lb, b, 8u, &ld, d, 8u, &ls, s, 8u), 6);
    EXPECT_EQ(c, 'q');
    EXPECT_EQ(x, 0x7FFF);
    EXPECT_EQ(l, 0xABCDEFL);
    EXPECT_EQ(lb, 4);
    EXPECT_EQ(0, std::memcmp(b, "\x00\x01\x02\x03", 4));
    EXPECT_EQ(ld, 2);
    EXPECT_EQ(0, std::memcmp(d, "hi", 2));
    EXPECT_EQ(ls, 5);
    EXPECT_EQ(0, std::memcmp(s, "tail!", 5));
}

TEST(KtnCodec, FieldsLongerThanTheBufferAreReportedAndNotCopied) {
    uint8_t message[64] = {};
    ASSERT_GT(Encode(message, sizeof message, "%D%B%S%C", 6u, "abcdef", 6u, "ghijkl", 3u, "mno"), 0);
    // The %C after %S finds nothing left: the decode runs past the total.
    uint8_t message2[64] = {};
    ASSERT_GT(Encode(message2, sizeof message2, "%D%B%X", 6u, "abcdef", 6u, "ghijkl", 9), 0);
    TraceCapture trace;
    char d[4] = {'-', '-', '-', '-'}, b[4] = {'-', '-', '-', '-'};
    int ld = 0, lb = 0, x = 0;
    EXPECT_EQ(Decode(message2, "%D%B%X", &ld, d, 4u, &lb, b, 4u, &x), 3);
    EXPECT_EQ(ld, 6);
    EXPECT_EQ(lb, 6);
    EXPECT_EQ(x, 9);  // the bytes were skipped in both cases
    EXPECT_EQ(std::string(d, 4), "----");
    EXPECT_EQ(std::string(b, 4), "----");
    EXPECT_TRUE(trace.Contains("KTN_V_ReseauScanf: %D: buffer too small, expected more than: 6 actually: 4)"));
    EXPECT_TRUE(trace.Contains("KTN_V_ReseauScanf: %B: buffer too small"));
}

TEST(KtnCodec, FieldsRunningPastTheTotalAreRefusedBeforeCopying_Mended) {
    struct Case {
        const char* name;
        std::string message;
        const char* format;
    };
    const Case cases[] = {
        // %B announces 0x20 bytes, the message holds 3.
        {"length beyond the total", Framed(B("20\0abc", 6)), "%B"},
        // The hexadecimal text has no NUL before the total.
        {"number without its NUL", Framed("1234"), "%X"},
        {"character after the end", Framed(""), "%C"},
        {"length text without NUL", Framed("5"), "%D"},
    };
    for (const auto& c : cases) {
        // The bytes behind the message look like the rest of a field: a
        // decoder that read past the total would find them.
        std::string padded = c.message + std::string("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz\0", 35);
        char buffer[64];
        std::memset(buffer, '-', sizeof buffer);
        int length = -7, x = -7;
        char ch = '-';
        int r;
        if (std::string(c.format) == "%X")
            r = Decode(padded.data(), c.format, &x);
        else if (std::string(c.format) == "%C")
            r = Decode(padded.data(), c.format, &ch);
        else
            r = Decode(padded.data(), c.format, &length, buffer, unsigned{sizeof buffer});
        EXPECT_EQ(r, -1) << c.name;
        EXPECT_EQ(buffer[0], '-') << c.name;
        EXPECT_EQ(length, -7) << c.name;
        EXPECT_EQ(x, -7) << c.name;
        EXPECT_EQ(ch, '-') << c.name;
    }
    // A message that is not an own message is not decoded at all.
    EXPECT_EQ(Decode("00123xyz", "%C", nullptr), -1);
}

TEST(KtnCodec, RoundTripOfMixedFields) {
    for (unsigned n : {0u, 1u, 255u, 4096u, 60000u}) {
        std::string bytes(n, '\0');
        for (unsigned i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
        std::vector<uint8_t> message(70000);
        const int total = Encode(message.data(), static_cast<uint32_t>(message.size()), "%X%B%C", static_cast<int>(n),
                                 n, bytes.data(), 'e');
        ASSERT_GT(total, 0) << n;
        int x = 0, length = 0;
        char c = 0;
        std::string out(n, '\x7f');
        EXPECT_EQ(Decode(message.data(), "%X%B%C", &x, &length, out.data(), n, &c), 3) << n;
        EXPECT_EQ(x, static_cast<int>(n));
        EXPECT_EQ(length, static_cast<int>(n));
        EXPECT_EQ(out, bytes);
        EXPECT_EQ(c, 'e');
    }
}

// ---------------------------------------------------------------------------
// Receive and send over a scripted byte stream
// ---------------------------------------------------------------------------

// A byte source: bytes come in the pieces given; a silence answers "nothing"
// for that many milliseconds of the test clock (100 ms per read, as a TCP
// read waits); a failure answers its code once.
class ScriptedSource {
public:
    explicit ScriptedSource(plat::ManualClock& clock) : clock_(clock) {}
    ScriptedSource& bytes(const std::string& b) {
        items_.push_back({b, 0, 0});
        return *this;
    }
    ScriptedSource& silence(int ms) {
        items_.push_back({{}, ms, 0});
        return *this;
    }
    ScriptedSource& fail(int code) {
        items_.push_back({{}, 0, code});
        return *this;
    }
    int read(void* into, uint32_t capacity) {
        ++reads_;
        if (items_.empty()) {
            clock_.advance(100);
            return 0;
        }
        Item& item = items_.front();
        if (item.failure != 0) {
            const int code = item.failure;
            items_.pop_front();
            return code;
        }
        if (item.silenceMs > 0) {
            const int step = std::min(item.silenceMs, 100);
            clock_.advance(step);
            item.silenceMs -= step;
            if (item.silenceMs == 0) items_.pop_front();
            return 0;
        }
        const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(item.data.size()));
        std::memcpy(into, item.data.data(), n);
        item.data.erase(0, n);
        if (item.data.empty()) items_.pop_front();
        return static_cast<int>(n);
    }
    KtnReader reader() {
        return [this](void* into, uint32_t capacity) { return read(into, capacity); };
    }
    int reads() const { return reads_; }

private:
    struct Item {
        std::string data;
        int silenceMs;
        int failure;
    };
    plat::ManualClock& clock_;
    std::deque<Item> items_;
    int reads_ = 0;
};

class KtnReceive : public ::testing::Test {
protected:
    plat::ManualClock clock;
    plat::ScopedClock scoped{&clock};
    ScriptedSource source{clock};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(KTN_MAX_MESSAGE, 0xEE);

    int receive(int32_t timeoutMs = 1000, uint32_t capacity = KTN_MAX_MESSAGE) {
        return KTN_ReceiveFrom(source.reader(), 0x42, buffer.data(), capacity, timeoutMs);
    }
    std::string got(int n) const { return std::string(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n)); }
};

TEST_F(KtnReceive, WholeSplitAndSlowStreamsGiveTheSameMessage) {
    const std::string message = Framed("<A>1400<F><M>payload");
    struct Case {
        const char* name;
        std::vector<size_t> cuts;
        int pauseMs;     // between pieces
        int32_t timeoutMs;  // for the header
    };
    const Case cases[] = {
        {"one piece", {}, 0, 1000},
        {"cut inside the header", {2}, 0, 1000},
        {"cut after the header", {5}, 0, 1000},
        {"every byte apart", {}, -1, 1000},
        {"slow header: 900 ms between its bytes, 1 s time-out", {1, 2, 3, 4}, 900, 1000},
        {"slow body: 4.9 s between pieces", {7, 12, 20}, 4900, 1000},
        {"no header time-out: 60 s between pieces", {3}, 60000, -1},
    };
    for (const auto& c : cases) {
        ScriptedSource s(clock);
        std::vector<size_t> cuts = c.cuts;
        if (c.pauseMs < 0)
            for (size_t i = 1; i < message.size(); ++i) cuts.push_back(i);
        size_t from = 0;
        for (size_t cut : cuts) {
            s.bytes(message.substr(from, cut - from));
            if (c.pauseMs > 0) s.silence(c.pauseMs);
            from = cut;
        }
        s.bytes(message.substr(from));
        const int n = KTN_ReceiveFrom(s.reader(), 0x42, buffer.data(), KTN_MAX_MESSAGE, c.timeoutMs);
        ASSERT_EQ(n, static_cast<int>(message.size())) << c.name;
        EXPECT_EQ(got(n), message) << c.name;
    }
}

TEST_F(KtnReceive, MergedMessagesAreTakenOneAtATime) {
    const std::string first = Framed("<A>1400<F>");
    const std::string second = Framed("<A>1410<F><M>xx");
    const std::string third = Framed("");
    source.bytes(first + second + third.substr(0, 2)).bytes(third.substr(2));
    EXPECT_EQ(receive(), static_cast<int>(first.size()));
    EXPECT_EQ(got(static_cast<int>(first.size())), first);
    EXPECT_EQ(receive(), static_cast<int>(second.size()));
    EXPECT_EQ(got(static_cast<int>(second.size())), second);
    // An empty body is a whole message.
    EXPECT_EQ(receive(), 5);
    EXPECT_EQ(got(5), third);
}

TEST_F(KtnReceive, TimeOutsAndRefusals) {
    struct Case {
        const char* name;
        std::function<void(ScriptedSource&)> script;
        int32_t timeoutMs;
        int expected;
        const char* trace;
    };
    const Case cases[] = {
        {"no header within the time-out", [](ScriptedSource& s) { s.silence(400).bytes(Framed("x")); }, 300, 0,
         "## TRACE ## KTN_RecoitMessage cas sortie Timeout sur reception lng: handle: 0x42, timeout:300, lt:0"},
        {"part of a header then silence", [](ScriptedSource& s) { s.bytes("00").silence(400); }, 300, 0, "lt:2"},
        {"5 s of silence inside a message",
         [](ScriptedSource& s) { s.bytes(Framed("abcdef").substr(0, 7)).silence(5000).bytes("cdef"); }, 1000, 0,
         "-- ERROR -- KTN_RecoitMessage sortie Timeout sur reception Message: handle: 0x42, 7 recus sur 11, timeout: 5000"},
        {"HTTP request", [](ScriptedSource& s) { s.bytes("GET / HTTP/1.0\r\n\r\n"); }, 1000, -1,
         "## TRACE ## KTN_RecoitMessage Reception requete HTTP"},
        {"unknown header", [](ScriptedSource& s) { s.bytes("0012X"); }, 1000, -1,
         "## TRACE ## KTN_RecoitMessage Entete inconnue"},
        {"over-long foreign length", [](ScriptedSource& s) { s.bytes(B("\xFF\xFF\xFF\x00\x01", 5)); }, 1000, 0,
         "-- ERROR -- KTN_RecoitMessage longueur incoherente: handle: 0x42, taille: 65541 , taille max msg: 65536"},
        {"total 0", [](ScriptedSource& s) { s.bytes(B("0000\0", 5)); }, 1000, -1, nullptr},
        {"source failed in the header", [](ScriptedSource& s) { s.bytes("00").fail(-1); }, 1000, -2, nullptr},
        {"peer gone in the body", [](ScriptedSource& s) { s.bytes(Framed("abcdef").substr(0, 8)).fail(-2); }, 1000,
         -2, nullptr},
        {"source failed in the body", [](ScriptedSource& s) { s.bytes(Framed("abcdef").substr(0, 8)).fail(-1); },
         1000, -1, nullptr},
    };
    for (const auto& c : cases) {
        ScriptedSource s(clock);
        c.script(s);
        TraceCapture trace;
        EXPECT_EQ(KTN_ReceiveFrom(s.reader(), 0x42, buffer.data(), KTN_MAX_MESSAGE, c.timeoutMs), c.expected)
            << c.name;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        }
    }
}

TEST_F(KtnReceive, InactivityClockRestartsOnEveryByte) {
    // 4.9 s of silence between bytes, 30 s in all: never 5 s without a byte.
    const std::string message = Framed("0123456");
    for (char ch : message) source.bytes(std::string(1, ch)).silence(4900);
    EXPECT_EQ(receive(5000), static_cast<int>(message.size()));
    EXPECT_EQ(got(static_cast<int>(message.size())), message);
}

TEST_F(KtnReceive, TotalsBelowFiveAreRefused_Mended) {
    for (const std::string& header : {B("0001\0", 5), B("0004\0", 5), std::string("00000")}) {
        ScriptedSource s(clock);
        s.bytes(header + "tail");
        EXPECT_EQ(KTN_ReceiveFrom(s.reader(), 1, buffer.data(), KTN_MAX_MESSAGE, 1000), -1)
            << netsim::BytesToHex(header);
    }
}

TEST_F(KtnReceive, TotalsAboveTheCapacityAreRefused_Mended) {
    source.bytes(Framed(std::string(200, 'x')));
    TraceCapture trace;
    EXPECT_EQ(receive(1000, 100), 0);
    EXPECT_TRUE(trace.Contains("longueur incoherente: handle: 0x42, taille: 205 , taille max msg: 100"));
    // Nothing was written past the capacity.
    EXPECT_EQ(buffer[100], 0xEE);
}

TEST_F(KtnReceive, ForeignMessagesBecomeBoxFrames) {
    struct Case {
        const char* name;
        std::string message;
        const char* code;
    };
    const Case cases[] = {
        {"1218: two length bytes", B("\x00\x10\x01\x02\x03", 5) + std::string(17, 'y'), "1218"},
        {"1218: third byte FF", B("\x30\x00\xFF\x01\x02", 5) + std::string(0x3000 + 6 - 5, 'z'), "1218"},
        {"1219: four decimal digits", "00123" + std::string(11, 'w'), "1219"},
    };
    for (const auto& c : cases) {
        ScriptedSource s(clock);
        s.bytes(c.message);
        const int n = KTN_ReceiveFrom(s.reader(), 1, buffer.data(), KTN_MAX_MESSAGE, 1000);
        const std::string wrapped = Framed(std::string("<A>") + c.code + "<F><M>" + c.message);
        ASSERT_EQ(n, static_cast<int>(wrapped.size())) << c.name;
        EXPECT_EQ(got(n), wrapped) << c.name;
        EXPECT_EQ(buffer[static_cast<size_t>(n)], 0) << c.name;
    }
}

TEST_F(KtnReceive, ForeignMessagesThatCannotBeWrappedAreRefused_Mended) {
    // 0xFFE8 + 6 = 65518 bytes: with the own header, the tags and the NUL it
    // would need 65537 bytes of a 65536-byte buffer.
    const std::string message = B("\xFF\xE8\xFF\x00\x01", 5) + std::string(65518 - 5, 'q');
    source.bytes(message);
    TraceCapture trace;
    EXPECT_EQ(receive(), 0);
    EXPECT_TRUE(trace.Contains("longueur incoherente"));
    // The largest that fits: 65517 + 18 + NUL = 65536.
    ScriptedSource fits(clock);
    const std::string ok = B("\xFF\xE7\xFF\x00\x01", 5) + std::string(0xFFE7 + 6 - 5, 'q');
    fits.bytes(ok);
    EXPECT_EQ(KTN_ReceiveFrom(fits.reader(), 1, buffer.data(), KTN_MAX_MESSAGE, 1000), 65535);
}

// ---------------------------------------------------------------------------
// Send
// ---------------------------------------------------------------------------

class KtnSend : public ::testing::Test {
protected:
    plat::ManualClock clock;
    plat::ScopedClock scoped{&clock};
    std::string sent;
    std::deque<int> answers;  // what each write returns (default: everything)
    int writes = 0;

    KtnWriter writer() {
        return [this](const void* data, uint32_t length) {
            ++writes;
            int take = static_cast<int>(length);
            if (!answers.empty()) {
                take = std::min(answers.front(), take);
                answers.pop_front();
            }
            if (take > 0) sent.append(static_cast<const char*>(data), static_cast<size_t>(take));
            return take;
        };
    }
    int send(std::string message, int32_t timeoutMs = 1000) {
        return KTN_SendTo(writer(), 7, message.data(), static_cast<uint32_t>(message.size()), timeoutMs);
    }
};

TEST_F(KtnSend, OwnMessagesGoWhole) {
    const std::string m = Framed("<A>1200<F>");
    EXPECT_EQ(send(m), static_cast<int>(m.size()));
    EXPECT_EQ(sent, m);
}

TEST_F(KtnSend, PartialWritesAndBusyLinksGoOn) {
    const std::string m = Framed("abcdefghij");
    answers = {3, 0, 4, 0, 100};
    const int64_t before = clock.nowMs();
    EXPECT_EQ(send(m, 5000), static_cast<int>(m.size()));
    EXPECT_EQ(sent, m);
    // Each busy answer waits 500 ms.
    EXPECT_EQ(clock.nowMs() - before, 1000);
}

TEST_F(KtnSend, TimeOutStopsWithWhatWasSent) {
    const std::string m = Framed("abcdefghij");
    answers = {4, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(send(m, 1000), 4);
}

TEST_F(KtnSend, FailuresAndBadLengths) {
    std::string m = Framed("abc");
    answers = {-2};
    EXPECT_EQ(send(m), -1);
    answers.clear();
    sent.clear();
    // A length other than the header's sends nothing.
    EXPECT_EQ(KTN_SendTo(writer(), 7, m.data(), static_cast<uint32_t>(m.size() - 1), 1000), -1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(KTN_EnvoieMessage(nullptr, m.data(), static_cast<uint32_t>(m.size()), 1000), -1);
    EXPECT_EQ(KTN_RecoitMessage(nullptr, m.data(), 100, 1000), -1);
}

TEST_F(KtnSend, ForeignFramesGoBackInTheirOwnFraming) {
    const std::string m1218 = B("\x00\x03\x01\x02\x03", 5) + "abcd";  // 0x0003 + 6 = 9 bytes
    const std::string m1219Whole = "0008wxyz1234";                   // 8 + 4 = 12 bytes
    EXPECT_EQ(send(Framed("<K>1<F><A>1218<F><M>" + m1218)), 9);
    EXPECT_EQ(sent, m1218);
    sent.clear();
    EXPECT_EQ(send(Framed("<A>1219<F><M>" + m1219Whole)), 12);
    EXPECT_EQ(sent, m1219Whole);
    sent.clear();
    // Without "<M>" there is nothing to send.
    EXPECT_EQ(send(Framed("<A>1218<F>")), -1);
    EXPECT_TRUE(sent.empty());
}

TEST_F(KtnSend, ForeignLengthBeyondTheFrameIsRefused_Mended) {
    // The 1218 message announces 0x40 + 6 bytes; the frame holds 9.
    EXPECT_EQ(send(Framed("<A>1218<F><M>" + B("\x00\x40\x01\x02\x03xyzw", 9))), -1);
    EXPECT_EQ(send(Framed("<A>1219<F><M>9999abc")), -1);
    EXPECT_TRUE(sent.empty());
}

TEST_F(KtnSend, RubriqueTextInsideTheBodyIsNotAForeignMark_Mended) {
    const std::string m = Framed("<A>1400<F><M>body says <A>1218<F> here");
    EXPECT_EQ(send(m), static_cast<int>(m.size()));
    EXPECT_EQ(sent, m);
}

TEST_F(KtnSend, ReceivedForeignFrameSentBackIsTheSameBytes) {
    // What the receiver makes of a 1219 message is what the sender sends back.
    const std::string whole = "00163456789012rrrrrr";  // 16 + 4 = 20 bytes
    ScriptedSource source(clock);
    source.bytes(whole);
    std::vector<uint8_t> buffer(KTN_MAX_MESSAGE);
    const int n = KTN_ReceiveFrom(source.reader(), 1, buffer.data(), KTN_MAX_MESSAGE, 1000);
    ASSERT_EQ(n, 20 + 18);
    EXPECT_EQ(KTN_SendTo(writer(), 1, buffer.data(), static_cast<uint32_t>(n), 1000), 20);
    EXPECT_EQ(sent, whole);
}

}  // namespace

// The echo of a DORAN terminal: the parser fed byte by byte (with read
// failures), then the wait for events on a real line, whose bytes the test
// writes as the terminal: the event letter, the announcement, the 'D'
// counter, the time-out warning, the wait callback and its abort.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "comm/port_api.h"
#include "protocols/doran/doran_echo.h"
#include "protocols/doran/doran_module.h"
#include "protocols/pv_status.h"
#include "support/doran_station.h"
#include "support/trace_capture.h"

namespace {

using testsupport::DoranStation;
using testsupport::kDoranReader;
using testsupport::TraceCapture;
using Step = DrnEchoParser::Step;

constexpr int F = DrnEchoParser::kFailedRead;

struct Parsed {
    Step step;
    char letter;
    int count;
    std::string data;
    bool announces;
    bool warned;
};

Parsed Parse(const std::vector<int>& bytes) {
    DrnEchoParser p;
    for (int b : bytes)
        if (p.feed(b) != Step::More) break;
    if (p.step() == Step::More) p.feed(F);
    if (p.step() == Step::More) p.feed(F);
    const int n = p.step() == Step::Event ? p.count() : 0;
    return {p.step(), p.letter(), p.count(), std::string(p.bytes() + 2, size_t(n > 127 ? 0 : n)), p.announces(),
            p.warned()};
}

}  // namespace

// Events, malformed counts and failures, byte by byte.
TEST(DoranEcho, ParserTable) {
    struct Case {
        const char* name;
        std::vector<int> bytes;
        Step step;
        char letter;
        bool announces;
        bool warned;
    };
    const Case cases[] = {
        {"A 0", {'A', 0}, Step::Event, 'A', true, false},
        {"A A passes at once", {'A', 'A'}, Step::Event, 'A', false, false},
        {"A 5", {'A', 5}, Step::Refused, 'A', false, false},
        {"K 1 x", {'K', 1, 'x'}, Step::Event, 'K', false, false},
        {"K 2", {'K', 2}, Step::Refused, 'K', false, false},
        {"K A x: the announcement", {'K', 'A', 'x'}, Step::Event, 'A', true, false},
        {"K A then nothing: the announcement all the same", {'K', 'A'}, Step::Event, 'A', true, true},
        {"D 3 ESC x y", {'D', 3, 0x1B, 'x', 'y'}, Step::Event, 'D', false, false},
        {"D 2 without ESC", {'D', 2, 'x', 'y'}, Step::Failed, 'D', false, false},
        {"D 0", {'D', 0}, Step::Refused, 'D', false, false},
        {"D A without ESC: the announcement", {'D', 'A', 'x'}, Step::Event, 'A', true, false},
        {"count 0x80", {'D', 0x80}, Step::Refused, 'D', false, false},
        {"Z", {'Z'}, Step::Failed, 'Z' * 0, false, false},
        {"nothing", {}, Step::Failed, 0, false, false},
        {"a count that never comes", {'A'}, Step::Failed, 'A', false, false},
        {"one failure read again", {'D', 2, 0x1B, F, 'y'}, Step::Event, 'D', false, true},
        {"two failures", {'D', 3, 0x1B, F, F}, Step::Failed, 'D', false, true},
    };
    for (const Case& c : cases) {
        const Parsed p = Parse(c.bytes);
        EXPECT_EQ(p.step, c.step) << c.name;
        if (c.step == Step::Event) {
            EXPECT_EQ(p.letter, c.letter) << c.name;
            EXPECT_EQ(p.announces, c.announces) << c.name;
        }
        EXPECT_EQ(p.warned, c.warned) << c.name;
    }
    EXPECT_EQ(Parse({'D', 3, 0x1B, 'x', 'y'}).data, "\x1Bxy");
    // The longest event: 127 data bytes, within the buffer.
    std::vector<int> longest = {'D', 127, 0x1B};
    for (int i = 0; i < 126; ++i) longest.push_back('z');
    EXPECT_EQ(Parse(longest).data.size(), 127u);
}

namespace {

// Records what the wait callback gets; writes 'S' when asked.
struct Callback {
    static Callback& Get() {
        static Callback c;
        return c;
    }
    static void Record(char* echo) {
        Callback& c = Get();
        c.seen.emplace_back(echo, 2 + size_t(static_cast<unsigned char>(echo[1]) & 0x7F));
        if (c.stop) echo[0] = 'S';
    }
    std::vector<std::string> seen;
    bool stop = false;
};

// One wait on the line after the terminal wrote the bytes; the event out
// is one character, followed by a guard byte that must stay.
struct Wait {
    int result;
    char event;
    char guard;
};
Wait WaitAfter(DoranStation& s, const std::string& bytes, int timeoutMs = 2000) {
    if (!bytes.empty()) {
        // The terminal's bytes are in the port's input before the wait.
        s.line().inject(bytes);
        const int port = s.resource()->port;
        for (int i = 0; i < 2000; ++i) {
            int out = 0, in = 0;
            if (PortQueueStatus(port, &out, &in) != 0 || in >= int(bytes.size())) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    char out[2] = {0, 0x55};
    const int r = DRN_WaitEvent(s.box.box, s.resource(), timeoutMs, out);
    return {r, out[0], out[1]};
}

}  // namespace

// The wait on the line: the letter out (one character: the whole echo goes
// to the callback), the announcement flag, the 'D' counter that turns the
// end of the display echoes into 'B' once, the warning of a byte that never
// came, and the callback's abort.
TEST(DoranEcho, WaitOnTheLine_Mended) {
    TraceCapture trace;
    DoranStation s("");
    ASSERT_TRUE(s.ready());
    Callback& cb = Callback::Get();
    cb = Callback{};
    EPAP_SetWaitCallback(&Callback::Record);
    KT_PERES* r = s.resource();

    Wait w = WaitAfter(s, std::string("AA", 2));
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.event, 'A');
    EXPECT_EQ(r->answerAnnounced, 0);

    w = WaitAfter(s, std::string("A\0", 2));
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.event, 'A');
    EXPECT_EQ(w.guard, 0x55);
    EXPECT_EQ(r->answerAnnounced, 1);

    // Two display echoes, then silence: 'B' once, then nothing.
    r->answerAnnounced = 0;
    w = WaitAfter(s, std::string("D\x03\x1B" "ab", 5));
    EXPECT_EQ(w.event, 'D');
    EXPECT_EQ(w.guard, 0x55);
    ASSERT_FALSE(cb.seen.empty());
    EXPECT_EQ(cb.seen.back(), std::string("D\x03\x1B" "ab", 5));
    w = WaitAfter(s, std::string("D\x02\x1B" "c", 4));
    EXPECT_EQ(w.event, 'D');
    w = WaitAfter(s, "", 50);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.event, 'B');
    w = WaitAfter(s, "", 50);
    EXPECT_EQ(w.result, PV_NOT_YET);
    EXPECT_EQ(w.event, 0);

    // 'K' 'A' whose byte never comes: the warning, then the announcement.
    w = WaitAfter(s, "KA", 100);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.event, 'A');
    EXPECT_EQ(r->answerAnnounced, 1);
    EXPECT_TRUE(trace.Contains("<< WARN. >> Timeout while waiting terminal echo, timeout value: 100"));

    // A malformed count: 1 at once, the callback not called.
    const size_t calls = cb.seen.size();
    w = WaitAfter(s, std::string("A\x05", 2));
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(cb.seen.size(), calls);

    // The callback's abort.
    cb.stop = true;
    w = WaitAfter(s, std::string("A\0", 2));
    EXPECT_EQ(w.result, PV_PER_RESET);
    w = WaitAfter(s, "", 50);
    EXPECT_EQ(w.result, PV_PER_RESET);
    EPAP_SetWaitCallback(nullptr);

    // Without box or resource: 1.
    char event = 0;
    EXPECT_EQ(DRN_WaitEvent(nullptr, r, 10, &event), 1);
    EXPECT_EQ(DRN_WaitEvent(s.box.box, nullptr, 10, &event), 1);
}

// A network resource has no line: the wait answers 0 at once.
TEST(DoranEcho, NetworkResourceAnswersAtOnce) {
    DoranStation s("");
    ASSERT_TRUE(s.ready());
    KT_PERES* r = s.resource();
    r->transportKind = PAP_TRANSPORT_NETWORK;
    char event = 'x';
    EXPECT_EQ(DRN_WaitEvent(s.box.box, r, 5000, &event), 0);
    EXPECT_EQ(event, 0);
    r->transportKind = PAP_TRANSPORT_SERIAL;
}

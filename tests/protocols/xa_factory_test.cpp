// The factory exchange of the XA link (application "1030") with the DORAN
// terminal simulator: the request of each key index, the reader's speed
// change (seen by the terminal with tcgetattr), the answer's status and
// data, and the wait for the reader after key index 6, which runs on the
// injectable clock when it must last its two minutes.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "protocols/module_contract.h"
#include "protocols/xpro/xa_link.h"
#include "support/doran_station.h"
#include "support/rushing_clock.h"
#include "support/trace_capture.h"

namespace {

using testsupport::DoranStation;
using testsupport::TraceCapture;

const std::vector<std::string> kSlowLine = {"[Vpsl:2028]"};

// One factory exchange of a key index on the station's link: the
// receive's length (the answer in *answer).
int Factory(DoranStation& s, int keyIndex, std::string* answer, const std::string& body = "B") {
    KT_XPROT* ctx = s.context();
    XPRO_SetApplication(ctx, XA_FACTORY_APPLICATION);
    ctx->keyIndex = keyIndex;
    if (XA_LinkSend(ctx, const_cast<char*>(body.data()), uint32_t(body.size()), 0, 1) != int(body.size())) return -1;
    std::vector<char> buffer(4096, 'x');
    const int n = XA_LinkReceive(ctx, buffer.data(), uint32_t(buffer.size()), 0, 0);
    answer->assign(buffer.data(), size_t(n > 0 ? n : 0));
    return n;
}

speed_t LineSpeed(DoranStation& s) {
    termios t{};
    tcgetattr(s.pty.sim.slaveDescriptor(), &t);
    return cfgetospeed(&t);
}

const std::string kBusy = std::string(PAP_RELAY_BUSY_TEXT) + std::string(1, '\0');

}  // namespace

// Key index 6: the reader goes to 9600 baud before the request (the
// terminal sees it), the answer without data is the busy text, the port's
// own speed comes back, and the wait for the reader ends on its 'A'.
TEST(XaFactory, KeyIndex6ChangesTheSpeedFirst) {
    TraceCapture trace;
    DoranStation s("factory status=00 echo\n", true, kSlowLine);
    ASSERT_TRUE(s.ready());
    std::string answer;
    ASSERT_EQ(Factory(s, 6, &answer), 59);
    EXPECT_EQ(answer, kBusy);
    const auto requests = s.terminal().factoryRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 0xFC);
    EXPECT_TRUE(requests[0].checkOk);
    EXPECT_EQ(requests[0].speed, unsigned(B9600));
    EXPECT_NE(LineSpeed(s), B9600);  // the configured speed again
    EXPECT_TRUE(trace.Contains("** INFO. ** H_FactoryRequest changement vitesse lecteur"));
    EXPECT_EQ(s.context()->stepLetter, 0);
}

// Key index 0: the request at the port's speed, then the reader at 9600
// (it answers once it restarted at that speed).
TEST(XaFactory, KeyIndex0ChangesTheSpeedAfter) {
    TraceCapture trace;
    DoranStation s("factory status=55 delay=100\n", true, kSlowLine);
    ASSERT_TRUE(s.ready());
    std::string answer;
    ASSERT_EQ(Factory(s, 0, &answer), 59);
    ASSERT_EQ(s.terminal().factoryRequests().size(), 1u);
    EXPECT_EQ(s.terminal().factoryRequests()[0].command, 0xAF);
    EXPECT_NE(s.terminal().factoryRequests()[0].speed, unsigned(B9600));
    EXPECT_EQ(LineSpeed(s), B9600);
    EXPECT_TRUE(trace.Contains("** INFO. ** H_FactoryRequest 2 changement vitesse lecteur"));
}

// The answer's status and data by key index.
TEST(XaFactory, AnswersByKeyIndex) {
    struct Case {
        const char* scenario;
        int keyIndex;
        int accStat;
        int length;  // of the receive
        std::string answer;
        int letter;
    };
    const Case cases[] = {
        {"factory status=01\n", 1, 100, 0, "", 'R'},
        {"factory status=10\n", 1, 100, 59, kBusy, 0},
        {"factory status=C8\n", 2, 100, 59, kBusy, 0},   // twice 100
        {"factory status=42\n", 2, 0x21, 59, kBusy, 0},
        {"factory status=00\n", 2, 0x21, 0, "", 'R'},      // 0x42 was asked
        {"factory status=00\n", 3, 100, 0, "", 'S'},       // key index 3 needs data
        {"factory status=00 data=41421043\n", 3, 100, 5, std::string("AB\x10\x10" "C", 5), 0},
        {"factory status=10 data=31\n", 5, 8, 1, "1", 0},  // a status byte of DLE, doubled both ways
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        DoranStation s(c.scenario);
        ASSERT_TRUE(s.ready());
        s.context()->party[0].accStat = c.accStat;
        std::string answer;
        EXPECT_EQ(Factory(s, c.keyIndex, &answer, "x"), c.length) << c.scenario << c.keyIndex;
        EXPECT_EQ(answer, c.answer) << c.scenario;
        EXPECT_EQ(s.context()->stepLetter, c.letter) << c.scenario;
        if (c.letter == 'R') {
            EXPECT_TRUE(trace.Contains("** INFO. ** ***** Statut != OK *****"));
        }
        ASSERT_EQ(s.terminal().factoryRequests().size(), 1u);
        EXPECT_TRUE(s.terminal().factoryRequests()[0].checkOk) << c.scenario;
    }
}

namespace {

// The wait callback of these tests: puts the rushing clock in on its first
// call (the two minutes pass in a few calls), and writes 'S' when asked.
struct Waits {
    static Waits& Get() {
        static Waits w;
        return w;
    }
    static void Callback(char* echo) {
        Waits& w = Get();
        if (w.calls++ == 0) {
            w.previous = plat::SetClockSource(w.clock.get());
            w.start = w.clock->plat::ManualClock::nowMs();
        }
        if (w.abort) echo[0] = 'S';
    }
    void reset(bool stop) {
        clock = std::make_unique<testsupport::RushingClock>();
        previous = nullptr;
        start = 0;
        calls = 0;
        abort = stop;
    }
    void restore() {
        if (calls > 0) plat::SetClockSource(previous);
    }
    std::unique_ptr<testsupport::RushingClock> clock;
    plat::ClockSource* previous = nullptr;
    int64_t start = 0;
    int calls = 0;
    bool abort = false;
};

}  // namespace

// Key index 6 without the reader's 'A': the wait lasts its two minutes (on
// the rushing clock); an abort of the cash register ends it at once.
TEST(XaFactory, ReaderWaitEndsOnItsTimeOrOnAnAbort_Mended) {
    for (const bool abort : {false, true}) {
        TraceCapture trace;
        DoranStation s("factory status=00\n");
        ASSERT_TRUE(s.ready());
        Waits& w = Waits::Get();
        w.reset(abort);
        EPAP_SetWaitCallback(&Waits::Callback);
        std::string answer;
        const int n = Factory(s, 6, &answer);
        const int64_t waited = w.clock->plat::ManualClock::nowMs() - w.start;
        w.restore();
        EPAP_SetWaitCallback(nullptr);
        EXPECT_EQ(n, 59);
        if (abort) {
            EXPECT_EQ(w.calls, 1);
            EXPECT_TRUE(trace.Contains("** INFO. ** HSomeThingFromFactory : attente du lecteur abandonnee"));
        } else {
            EXPECT_GT(w.calls, 1);
            EXPECT_GE(waited, XA_FACTORY_WAIT_MS);
            EXPECT_FALSE(trace.Contains("attente du lecteur abandonnee"));
        }
    }
}

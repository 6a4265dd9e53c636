// Protocol 11 end to end: operations set and read through the terminal
// script engine, carried by the P21 link over a real pseudo-terminal,
// answered by the P21 device simulator. What the device recorded is the
// oracle of the bytes on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "p21sim/p21_device.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/p21/r7700_module.h"
#include "protocols/pv_status.h"
#include "protocols/xpro/xpro_context.h"
#include "support/com_fixture.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"

namespace {

constexpr int kFunction = 4;
const std::string kId = "T00042";

p21sim::P21Scenario Scenario(const std::string& text) {
    std::string error;
    auto s = p21sim::P21Scenario::Parse(text, &error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(p21sim::P21Scenario{});
}

// A protocol-11 terminal (function 4, "R7700") of the script engine on a
// pseudo-terminal whose far end is the P21 device.
class R7700Station {
public:
    explicit R7700Station(const std::string& scenario)
        : device_(new p21sim::P21Handler(Scenario(scenario))),
          box(table.id, testsupport::UniqueStation()),
          pty(std::unique_ptr<linesim::FrameHandler>(device_)) {
        if (!pty.ready()) return;
        WCOM_SetResourceConnType(pty.port, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        added = box.add("EFT_CAM_1", pty.port, "R7700");
    }
    ~R7700Station() {
        PAP_FreePAPbox();
        TWEP_ResetPortState();
    }
    bool ready() const { return pty.ready() && added == 0; }

    int set(int operation, R7700Record* record) {
        EPAP_ClearAll();
        return EPAP_SetCommand(kFunction, operation, record);
    }
    int get(int operation, R7700Record* record) { return EPAP_GetResult(kFunction, operation, record); }
    // The frames the device got, once it got n of them.
    std::vector<p21sim::Exchange> exchanges(size_t n) {
        EXPECT_TRUE(device_->waitExchanges(n, 5000)) << "the device got fewer than " << n << " frames";
        return device_->exchanges();
    }
    KT_XPROT* link() { return box.function(kFunction) != nullptr ? box.function(kFunction)->linkContext : nullptr; }

    testsupport::ComTable table;

private:
    p21sim::P21Handler* device_;

public:
    testsupport::TerminalBox box;
    testsupport::PtyPort pty;
    int added = -1;
};

R7700Record Record(int32_t mode) {
    R7700Record r{};
    r.mode = mode;
    std::memcpy(r.identifier, kId.data(), 6);
    return r;
}

// The engine's wait until the terminal announces its answer (a few seconds
// at most): its last result.
int WaitAnnounced(char* event) {
    int waited = PV_NOT_YET;
    for (int i = 0; i < 50 && waited == PV_NOT_YET; ++i) waited = EPAP_WaitEvent(kFunction, 200, event);
    return waited;
}

std::string Answer(const R7700Record& r) {
    return std::string(reinterpret_cast<const char*>(r.answer.bytes), static_cast<size_t>(r.answer.length));
}

// The answer area the event request is built from.
R7700Record EventRecord() {
    R7700Record r = Record(0);
    const std::string area = std::string("000000002500") + "00" + "240615" + "101112" + "AB" + "C";
    std::memcpy(r.answer.bytes, area.data(), area.size());
    return r;
}

}  // namespace

// The display request of each mode reaches the terminal as the message
// table gives it, and the terminal's answer comes back in the record.
TEST(R7700EndToEnd, Display) {
    R7700Station s("answer DEV => \"DEV\" ff \"T00042\" \"00\" \"OK\"");
    ASSERT_TRUE(s.ready());
    struct Case {
        int32_t mode;
        std::string message;
    };
    const Case cases[] = {
        {0, "DEV\xff" + kId + "00" + "002" + "1P"},
        {5, "DEV\xff" + kId + "00" + "005" + std::string("2D\x05\x00\x00", 5)},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        R7700Record r = Record(c.mode);
        ASSERT_EQ(s.set(O_T_DISPLAY, &r), 0) << c.mode;
        EXPECT_EQ(s.get(O_T_DISPLAY, &r), PV_ALL_FINE) << c.mode;
        const auto got = s.exchanges(++n);
        EXPECT_EQ(got.back().message, c.message) << c.mode;
        EXPECT_TRUE(got.back().checkOk);
        EXPECT_EQ(got.back().raw, p21sim::Frame(c.message)) << c.mode;
        EXPECT_EQ(Answer(r), "DEV\xff" + kId + "00" + "OK") << c.mode;
        EXPECT_EQ(r.mode, 0);
    }
    // The link wrote its answer descriptor with the final exchange status.
    EXPECT_EQ(s.box.function(kFunction)->mesStat, 2);
}

// The terminal's event answer comes late: the first read finds nothing
// (PV_NET_TIMEOUT), the wait sees the answer's STX (02 in the event), and
// the next read takes the whole frame, the STX included.
TEST(R7700EndToEnd, EventAnsweredLate) {
    R7700Station s("answer EFT => silence");
    ASSERT_TRUE(s.ready());
    R7700Record r = EventRecord();
    ASSERT_EQ(s.set(O_T_EVENT, &r), 0);
    EXPECT_EQ(s.get(O_T_EVENT, &r), PV_NET_TIMEOUT);
    const auto got = s.exchanges(1);
    EXPECT_EQ(got[0].command, "EFT");
    EXPECT_EQ(got[0].message.size(), 43u);
    EXPECT_EQ(got[0].message.substr(4, 6), "000ABC");

    const std::string answer = "EFT\xff" "000ABC" "00" "003" + std::string("\x10\x03\x04", 3);
    s.pty.sim.inject(p21sim::Frame(answer));
    char event = 0;
    EXPECT_EQ(WaitAnnounced(&event), 0);
    EXPECT_EQ(event, 0x02);
    EXPECT_EQ(s.get(O_T_EVENT, &r), PV_ALL_FINE);
    EXPECT_EQ(Answer(r), answer);
}

// The engine hands the module's wait a buffer of its own: the two bytes the
// protocol-11 wait writes (02 00) never reach past a caller's one
// character, and a caller without an event buffer is served too.
TEST(R7700EndToEnd, WaitGivesTheCallerOneCharacter_Mended) {
    R7700Station s("answer END => silence");
    ASSERT_TRUE(s.ready());
    R7700Record r = Record(0);
    ASSERT_EQ(s.set(O_T_FILE_INFO, &r), 0);
    ASSERT_EQ(EPAP_SendScriptCommands(), 0);
    struct {
        char event = 'q';
        char next = 'n';
    } caller;
    s.pty.sim.inject(p21sim::Frame("END"));
    EXPECT_EQ(WaitAnnounced(&caller.event), 0);
    EXPECT_EQ(caller.event, 0x02);
    EXPECT_EQ(caller.next, 'n');
    s.pty.sim.inject(p21sim::Frame("END"));
    EXPECT_EQ(WaitAnnounced(nullptr), 0);
}

// The information requests of modes 0 and 1 on the line.
TEST(R7700EndToEnd, Information) {
    R7700Station s("");
    ASSERT_TRUE(s.ready());
    R7700Record sys = Record(1);
    ASSERT_EQ(s.set(O_T_INFO, &sys), 0);
    EXPECT_EQ(s.get(O_T_INFO, &sys), PV_ALL_FINE);
    R7700Record dar = Record(0);
    std::memcpy(dar.systemData, "0123456789ABCD", 14);
    ASSERT_EQ(s.set(O_T_INFO, &dar), 0);
    EXPECT_EQ(s.get(O_T_INFO, &dar), PV_ALL_FINE);
    const auto got = s.exchanges(2);
    EXPECT_EQ(got[0].message, "SYS\xff" + kId + "00" + "010" + "SALVETRO5\x01");
    EXPECT_EQ(got[1].message, "DAR\xff" + kId + "00" + "031" + "0123456789ABCD" + std::string("\xf0\x46\x05\x00\x00", 5) +
                                  "201010S" + std::string("\x00\x04", 2) + "110");
}

// An answer with a wrong check byte, or none at all, is no answer: the
// read reports PV_NET_TIMEOUT, the link keeps the letter of the failure.
TEST(R7700EndToEnd, BadOrMissingAnswers) {
    struct Case {
        const char* scenario;
        int letter;
    };
    const Case cases[] = {{"answer DEV => \"DEV\" wrong-check", 'X'},
                          {"answer DEV => silence", 'T'},
                          {"answer DEV => \"DEV\" noise=06", 'S'}};
    for (const Case& c : cases) {
        R7700Station s(c.scenario);
        ASSERT_TRUE(s.ready());
        R7700Record r = Record(0);
        ASSERT_EQ(s.set(O_T_DISPLAY, &r), 0);
        EXPECT_EQ(s.get(O_T_DISPLAY, &r), PV_NET_TIMEOUT) << c.scenario;
        ASSERT_NE(s.link(), nullptr);
        EXPECT_EQ(s.link()->stepLetter, c.letter) << c.scenario;
        EXPECT_EQ(r.answer.length, 0) << c.scenario;
    }
}

// A line that is gone: the script cannot be sent.
TEST(R7700EndToEnd, HungUpLine) {
    R7700Station s("");
    ASSERT_TRUE(s.ready());
    R7700Record r = Record(0);
    ASSERT_EQ(s.set(O_T_DISPLAY, &r), 0);
    EXPECT_EQ(s.get(O_T_DISPLAY, &r), PV_ALL_FINE);
    s.pty.sim.stop();
    ASSERT_EQ(s.set(O_T_DISPLAY, &r), 0);
    EXPECT_EQ(EPAP_SendScriptCommands(), PV_NET_FAILED);
}

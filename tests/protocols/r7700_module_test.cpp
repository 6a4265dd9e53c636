// Protocol-11 module: the request of each operation as the terminal expects
// it (written from the message table, byte by byte), the answers copied into
// the record, and the wait for the terminal's announcement on a real line.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/port_api.h"
#include "p21sim/p21_device.h"
#include "protocols/p21/r7700_module.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_control.h"
#include "support/com_fixture.h"
#include "support/module_calls.h"
#include "support/module_wait_line.h"

namespace {

std::string B(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

const std::string kId = "ID0001";
const std::string kHead = "\xff" + kId;

template <typename... Args>
int Set(KT_EPERIPH_API* box, KT_PERES* resource, char* buffer, Args... args) {
    return testsupport::CallSet(R7700_SetCommand, box, resource, buffer, args...);
}

template <typename... Args>
int Get(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, Args... args) {
    return testsupport::CallGet(R7700_GetOneResult, box, resource, frame, args...);
}

R7700Record Record(int32_t mode) {
    R7700Record r{};
    r.mode = mode;
    std::memcpy(r.identifier, kId.data(), 6);
    r.state = 9;
    return r;
}

// The answer area the event request reads: amount, type, date, time, two
// identification bytes and one more.
void EventArea(R7700Record* r, const std::string& amount, const std::string& type, const std::string& date,
               const std::string& time, const std::string& ident) {
    const std::string area = amount + type + date + time + ident;
    std::memcpy(r->answer.bytes, area.data(), area.size());
}

// An answer frame as the engine stores it, in a buffer of the size a row
// offers.
std::string AnswerFrame(const std::string& payload) { return testsupport::RowAnswerFrame(payload); }

struct Engine {
    Engine() : box(std::make_unique<KT_EPERIPH_API>()) { resource.port = -1; }
    std::unique_ptr<KT_EPERIPH_API> box;
    KT_PERES resource{};
    std::vector<char> buffer = std::vector<char>(PAP_COMMAND_BUFFER, '#');
    // The payload of the frame built for an operation; "refused N" when the
    // set gave N < 0.
    std::string set(int operation, R7700Record* record) {
        resource.command = operation;
        std::fill(buffer.begin(), buffer.end(), '#');
        const int n = Set(box.get(), &resource, buffer.data(), record);
        if (n < 0) return "refused " + std::to_string(n);
        char head[12];
        std::snprintf(head, sizeof head, "%04x", static_cast<unsigned>(n));
        EXPECT_EQ(std::string(buffer.data(), 4), head);
        EXPECT_EQ(buffer[4], '\0');
        EXPECT_EQ(buffer[static_cast<size_t>(n)], '#') << "nothing past the frame";
        return std::string(buffer.data() + 5, static_cast<size_t>(n - 5));
    }
};

}  // namespace

TEST(R7700Requests, MessageOfEachOperation) {
    Engine e;
    const std::string tags = B({0x84, 0x9F, 0x12, 0x50, 0x5F, 0x34, 0x9F, 0x07, 0x9F, 0x0D, 0x9F, 0x0E, 0x9F, 0x0F});
    const std::string system = "SYSTEM-DATA-14";
    struct Case {
        const char* name;
        int operation;
        int32_t mode;
        std::string data;
        uint8_t statusChar;
        std::string expected;
    };
    const std::string bigData(512, 'd');
    const Case cases[] = {
        {"display mode 0", 2, 0, "", 0, "DEV" + kHead + "00" + "002" + "1P"},
        {"display mode 5", 2, 5, "", 0, "DEV" + kHead + "00" + "005" + B({'2', 'D', 5, 0, 0})},
        {"display mode byte of 0x103", 2, 0x103, "", 0, "DEV" + kHead + "00" + "005" + B({'2', 'D', 3, 0, 0})},
        {"display mode byte 0 of 0x100", 2, 0x100, "", 0, "DEV" + kHead + "00" + "002" + "1P"},
        {"info mode 0", 90, 0, "", 0,
         "DAR" + kHead + "00" + "031" + system + B({0xF0, 0x46, 0x05, 0x00, 0x00}) + "201010S" + B({0x00, 0x04}) +
             "110"},
        {"info mode 1", 90, 1, "", 0, "SYS" + kHead + "00" + "010" + "SALVETRO5" + B({0x01})},
        {"info mode 7", 90, 7, "", 0, kHead + "00"},
        {"file info", 91, 0, "", 0, "END" + kHead + "00"},
        {"file name", 92, 0, "name\x10\x03", 0, "name\x10\x03"},
        {"file name 512", 92, 0, bigData, 0, bigData},
        {"file name empty", 92, 0, "", 0, ""},
        {"info ext mode 0, data not sent", 93, 0, "xyz", 0, "ACK" + kHead + "00"},
        {"info ext mode 1: empty message", 93, 1, "xyz", 0, ""},
        {"info ext mode 2", 93, 2, "xyz", '7', "ACK" + kHead + "07" + "003xyz"},
        {"info ext mode 2 without data", 93, 2, "", '7', "ACK" + kHead + "07"},
        {"info ext mode 3", 93, 3, "ab", 0, "ACK" + kHead + "00" + "002ab"},
        {"info ext mode 'A'", 93, 'A', "ab", 0, "ACK" + kHead + "A0"},
        {"info ext mode 2 with 512 data", 93, 2, bigData, '1', "ACK" + kHead + "01" + "512" + bigData},
        {"files version", 94, 0, "", 0, "TLV" + kHead + "00" + "014" + tags},
    };
    for (const Case& c : cases) {
        R7700Record r = Record(c.mode);
        std::memcpy(r.systemData, system.data(), 14);
        std::memcpy(r.data, c.data.data(), c.data.size());
        r.dataLength = static_cast<int32_t>(c.data.size());
        r.statusChar = c.statusChar;
        EXPECT_EQ(e.set(c.operation, &r), c.expected) << c.name;
        EXPECT_EQ(r.state, 0) << c.name;
    }
}

// The event request takes its identifier and its values from the answer
// area: hexadecimal digits become bytes, the type is the first character
// times 16 plus the second less '0'.
TEST(R7700Requests, EventFromTheAnswerArea) {
    Engine e;
    R7700Record r = Record(0);
    EventArea(&r, "000000001234", "12", "240131", "2359AF", "XYZ");
    const std::string expected = "EFT\xff" "000XYZ" "00" "028" +
                                 B({0xF0, 0x46, 0x05, 0x00, 0x00, 0x9F, 0x21, 0x03, 0x23, 0x59, 0xAF, 0x9C, 0x01, 0x12,
                                    0x9F, 0x02, 0x06, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x9A, 0x03, 0x24, 0x01, 0x31});
    EXPECT_EQ(expected.size(), 43u);
    EXPECT_EQ(e.set(10, &r), expected);

    R7700Record letters = Record(0);
    EventArea(&letters, "00000000abcd", "AB", "240131", "235959", "XYZ");
    const std::string out = e.set(10, &letters);
    ASSERT_EQ(out.size(), 43u);
    EXPECT_EQ(static_cast<unsigned char>(out[28]), 0x22) << "'A' x 16 + 'B' - '0', modulo 256";
    EXPECT_EQ(out.substr(36, 2), B({0xAB, 0xCD})) << "lower-case hexadecimal digits read too";
}

// Amount, date or time that are not hexadecimal digits: nothing is built.
TEST(R7700Requests, EventWithUnreadableValuesIsRefused) {
    Engine e;
    const char* const bad[][3] = {{"00000000123G", "240131", "235959"},
                                  {"000000001234", "24 131", "235959"},
                                  {"000000001234", "240131", "23595"}};
    for (const auto& b : bad) {
        R7700Record r = Record(0);
        EventArea(&r, b[0], "12", b[1], b[2], "XYZ");
        EXPECT_EQ(e.set(10, &r), "refused -1") << b[0] << " " << b[1] << " " << b[2];
        EXPECT_EQ(r.state, 9) << "nothing built";
    }
}

// A data length the data area cannot hold is refused, never cut (and never
// read past the record).
TEST(R7700Requests, DataLengthBeyondTheAreaIsRefused_Mended) {
    Engine e;
    for (const int operation : {92, 93}) {
        for (const int32_t length : {513, 100000, -1}) {
            R7700Record r = Record(operation == 93 ? 2 : 0);
            r.dataLength = length;
            EXPECT_EQ(e.set(operation, &r), "refused -1") << operation << " " << length;
        }
    }
    // The largest request fits the module's request buffer whole.
    R7700Record full = Record(2);
    full.dataLength = 512;
    std::memset(full.data, 'd', 512);
    EXPECT_EQ(e.set(93, &full).size(), 15u + 512u);
}

TEST(R7700Requests, RefusedOperationsAndArguments) {
    Engine e;
    R7700Record r = Record(0);
    for (const int operation : {0, 1, 3, 4, 13, 95, 100})
        EXPECT_EQ(e.set(operation, &r), "refused -1") << operation;
    EXPECT_EQ(e.set(2, nullptr), "refused -1");
    e.resource.command = 2;
    EXPECT_EQ(Set(nullptr, &e.resource, e.buffer.data(), &r), -2);
    EXPECT_EQ(Set(e.box.get(), nullptr, e.buffer.data(), &r), -2);
}

TEST(R7700Answers, CopiedIntoTheRecord) {
    Engine e;
    std::string payload(600, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    const std::string frame = AnswerFrame(payload);
    for (const int operation : {2, 10, 93, 94}) {
        R7700Record r = Record(4);
        e.resource.command = operation;
        EXPECT_EQ(Get(e.box.get(), &e.resource, frame.data(), &r), PV_ALL_FINE) << operation;
        EXPECT_EQ(r.mode, 0) << operation;
        EXPECT_EQ(r.answer.length, 512) << operation;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(r.answer.bytes), 512), payload.substr(0, 512)) << operation;
    }
    const std::string shortFrame = AnswerFrame("DEV\xff" + kId + "00");
    R7700Record r = Record(4);
    e.resource.command = 2;
    EXPECT_EQ(Get(e.box.get(), &e.resource, shortFrame.data(), &r), PV_ALL_FINE);
    EXPECT_EQ(r.answer.length, 12);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r.answer.bytes), 12), "DEV\xff" + kId + "00");

    // 92: into the data area, cleared first; state and the word after it 0.
    R7700Record raw = Record(4);
    std::memset(raw.data, 'q', sizeof raw.data);
    e.resource.command = 92;
    EXPECT_EQ(Get(e.box.get(), &e.resource, shortFrame.data(), &raw), PV_ALL_FINE);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw.data), 13), "DEV\xff" + kId + "00" + std::string(1, '\0'));
    EXPECT_EQ(raw.state, 0);
    EXPECT_EQ(std::string(raw.identifier, 6), std::string(4, '\0') + "01");
    EXPECT_EQ(raw.mode, 4);
}

TEST(R7700Answers, TakenWithoutDecodingOrRefused) {
    Engine e;
    const std::string frame = AnswerFrame("whatever");
    for (const int operation : {0, 1, 3, 4, 90}) {
        R7700Record r = Record(4);
        const R7700Record before = r;
        e.resource.command = operation;
        EXPECT_EQ(Get(e.box.get(), &e.resource, frame.data(), &r), PV_ALL_FINE) << operation;
        EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << operation;
    }
    R7700Record r = Record(4);
    e.resource.command = 95;
    EXPECT_EQ(Get(e.box.get(), &e.resource, frame.data(), &r), PV_CMD_UNKNOWN);
    e.resource.command = 2;
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame(std::string(12701, 'a')).data(), &r), PV_CMD_INTERNAL);
    EXPECT_EQ(Get(e.box.get(), &e.resource, frame.data(), nullptr), 1) << "no record";
    EXPECT_EQ(Get(nullptr, &e.resource, frame.data(), &r), PV_CMD_INTERNAL);
    EXPECT_EQ(Get(e.box.get(), nullptr, frame.data(), &r), PV_CMD_INTERNAL);
}

namespace {

// The wait on a line, with a P21 link context on the port.
class WaitLine : public testsupport::ModuleWaitLine {
public:
    WaitLine()
        : ModuleWaitLine(R7700_WaitEvent, [](int port) { return XPRO_NewXProt(0, "1000", nullptr, port); }) {}
};

}  // namespace

// An STX gives 02 00 and waits in the link context as the first byte of
// the next receive, which then reads the whole frame.
TEST(R7700Wait, StxAnnouncesTheAnswer) {
    WaitLine line;
    ASSERT_EQ(line.opened, 0);
    line.arrive(p21sim::Frame("DEV\xff" + kId + "00"));
    char event[4] = {'q', 'q', 'q', 'q'};
    EXPECT_EQ(line.wait(event), 0);
    EXPECT_EQ(event[0], 0x02);
    EXPECT_EQ(event[1], 0x00);
    EXPECT_EQ(event[2], 'q');
    EXPECT_EQ(line.ctx->held, 1);
    std::vector<unsigned char> frame(100);
    EXPECT_EQ(P21_LinkReceive(line.ctx, frame.data(), 100, -1, 0), 12);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(frame.data()), 12), "DEV\xff" + kId + "00");
}

// Another byte is kept for the next receive too, which sees the answer
// that began with it ('S': not an STX); the wait reports nothing yet.
TEST(R7700Wait, OtherByteIsKeptForTheReceive_Mended) {
    WaitLine line;
    ASSERT_EQ(line.opened, 0);
    line.arrive("x" + p21sim::Frame("DEV"));
    char event[2] = {'q', 'q'};
    EXPECT_EQ(line.wait(event), PV_NOT_YET);
    EXPECT_EQ(event[0], 'q');
    EXPECT_EQ(line.ctx->held, 1);
    EXPECT_EQ(line.ctx->receiveFrame[0], 'x');
    std::vector<unsigned char> frame(100);
    EXPECT_EQ(P21_LinkReceive(line.ctx, frame.data(), 100, -1, 0), 0);
    EXPECT_EQ(line.ctx->stepLetter, 'S');
}

// Nothing came: the wait callback decides (the wait on every terminal
// calls it), and a line that is gone ends the wait at once.
TEST(R7700Wait, NothingCame_Mended) {
    WaitLine line;
    ASSERT_EQ(line.opened, 0);
    char event[2] = {};
    EXPECT_EQ(line.wait(event, 100), PV_NOT_YET);
    line.box->waitCallback = WaitLine::GoOn;
    EXPECT_EQ(line.wait(event, 100), PV_NOT_YET);
    line.box->waitCallback = WaitLine::Stop;
    EXPECT_EQ(line.wait(event, 100), PV_PER_RESET);
    EXPECT_EQ(line.ctx->held, 0);
    line.pty.sim.stop();
    EXPECT_EQ(line.wait(event, 100), PV_NET_FAILED) << "a line that is gone";
}

TEST(R7700Wait, NetworkAndMissingArguments) {
    auto box = std::make_unique<KT_EPERIPH_API>();
    KT_PERES resource{};
    resource.transportKind = PAP_TRANSPORT_NETWORK;
    char event[2] = {};
    EXPECT_EQ(R7700_WaitEvent(box.get(), &resource, 1000, event), 0);
    EXPECT_EQ(event[0], 'A');
    EXPECT_EQ(R7700_WaitEvent(nullptr, &resource, 1000, event), 1);
    EXPECT_EQ(R7700_WaitEvent(box.get(), nullptr, 1000, event), 1);
}

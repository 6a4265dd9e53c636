// Protocol-5 module: the printer command bytes of each cheque and ticket
// request (written from the request tables), the read answer decoded into
// the card-read record, and the wait for the printer's answer on a real
// line.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/port_api.h"
#include "protocols/pv_status.h"
#include "protocols/pzr/wtm_module.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_control.h"
#include "support/com_fixture.h"
#include "support/module_calls.h"
#include "support/module_wait_line.h"
#include "support/trace_capture.h"

namespace {

std::string B(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

const std::string kHeader = B({0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28, 0x47, 0x02, 0x00, 0x54, 0x01, 0x1B,
                               0x4C, 0x1B, 0x54, 0x01, 0x1B, 0x57, 0xFF, 0x00, 0x30, 0x00, 0x1C, 0x02, 0x00, 0x03});
const std::string kTrailer = B({0x0D, 0x0A, 0x1B, 0x0C, 0x1B, 0x53, 0x1B, 0x63, 0x30, 0x03});

template <typename... Args>
int Set(KT_EPERIPH_API* box, KT_PERES* resource, char* buffer, Args... args) {
    return testsupport::CallSet(WTM_GSET_SetCommand, box, resource, buffer, args...);
}

template <typename... Args>
int Get(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, Args... args) {
    return testsupport::CallGet(WTM_GSET_GetOneResult, box, resource, frame, args...);
}

CardReadRecord Cheque(uint8_t options, const std::string& text = "") {
    CardReadRecord r{};
    r.chequeRequested = 1;
    r.chequeOptions = options;
    std::snprintf(r.eventData, sizeof r.eventData, "%s", text.c_str());
    r.busy = 7;
    return r;
}

std::string AnswerFrame(const std::string& payload) { return testsupport::RowAnswerFrame(payload); }

struct Engine {
    std::unique_ptr<KT_EPERIPH_API> box = std::make_unique<KT_EPERIPH_API>();
    KT_PERES resource{};
    std::vector<char> buffer = std::vector<char>(PAP_COMMAND_BUFFER, '#');
    // The frame built (header included); "refused N" when the set gave N < 0.
    template <typename Arg>
    std::string set(int operation, Arg* record) {
        resource.command = operation;
        std::fill(buffer.begin(), buffer.end(), '#');
        const int n = Set(box.get(), &resource, buffer.data(), record);
        if (n < 0) return "refused " + std::to_string(n);
        EXPECT_EQ(buffer[static_cast<size_t>(n)], '#') << "nothing past the frame";
        return std::string(buffer.data(), static_cast<size_t>(n));
    }
};

std::string Frame(const std::string& payload) {
    char head[12];
    std::snprintf(head, sizeof head, "%04x", static_cast<unsigned>(payload.size() + 5));
    return std::string(head, 4) + std::string(1, '\0') + payload;
}

// The fields of a cheque operation the printer did.
void ExpectChequeDone(const CardReadRecord& r, const std::string& name) {
    EXPECT_EQ(r.busy, 0) << name;
    EXPECT_EQ(r.errorSource, 0) << name;
    EXPECT_EQ(r.presentCount, 1) << name;
    EXPECT_EQ(r.technology, CARD_TECH_CHEQUE) << name;
    EXPECT_EQ(r.origin, 1) << name;
    EXPECT_EQ(r.dataValid, 1) << name;
}

}  // namespace

TEST(WtmRequests, ChequeOperations) {
    Engine e;
    struct Case {
        const char* name;
        uint8_t options;
        std::string text;
        std::string frame;
    };
    const std::string line = "AB" + std::string(54, ' ') + "*CD*";
    const Case cases[] = {
        {"read", 0x10, "", Frame(B({0x1C, 0x61, 0x30, 0x01}))},
        {"print", 0x20, "AB*CD*", Frame(kHeader + line + kTrailer)},
        {"give back", 0x40, "", Frame(B({0x1C, 0x61, 0x32, 0x10, 0x05, 0x03}))},
        // The whole byte is compared: a variant bit makes another value.
        {"17", 17, "", Frame("")},
        {"33", 33, "AB*CD*", Frame("")},
        {"0x50", 0x50, "", Frame("")},
    };
    for (const Case& c : cases) {
        CardReadRecord r = Cheque(c.options, c.text);
        EXPECT_EQ(e.set(O_T_EVENT, &r), c.frame) << c.name;
        EXPECT_EQ(r.busy, 0) << c.name;
        EXPECT_EQ(r.chequeOptions, c.options) << c.name << ": the options stay as they were";
    }
    CardReadRecord print = Cheque(0x20, "AB*CD*");
    EXPECT_EQ(e.set(O_T_EVENT, &print).size(), 5u + 99u);
    EXPECT_EQ(Frame(kHeader + line + kTrailer).substr(0, 4), "0068");
}

// A print text without '*' has nothing to print: the set is refused,
// nothing is built, the record stays busy.
TEST(WtmRequests, PrintTextWithoutStarIsRefused_Mended) {
    Engine e;
    testsupport::TraceCapture trace;
    for (const std::string& text : {std::string(), std::string("no star"), std::string(100, '9')}) {
        CardReadRecord r = Cheque(0x20, text);
        EXPECT_EQ(e.set(O_T_EVENT, &r), "refused -1") << text;
        EXPECT_EQ(r.busy, 1) << text;
    }
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_EVT_SetCommand] Nothing to print"));
}

TEST(WtmRequests, NoChequeWorkAsked) {
    Engine e;
    testsupport::TraceCapture trace;
    CardReadRecord r = Cheque(0x10);
    r.chequeRequested = 0;
    EXPECT_EQ(e.set(O_T_EVENT, &r), "refused -1");
    EXPECT_EQ(r.busy, 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_EVT_SetCommand] No action required"));
    EXPECT_EQ(e.set(O_T_EVENT, static_cast<CardReadRecord*>(nullptr)), "refused -1");
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_EVT_SetCommand] Unknown handle"));
}

TEST(WtmRequests, TicketBytesAndCut) {
    Engine e;
    std::string bytes(513, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    struct Case {
        const char* name;
        int32_t kind;
        int32_t length;
        std::string frame;
    };
    const Case cases[] = {
        {"cut", PRINT_KIND_CUT, 0, Frame(B({0x0A, 0x0A, 0x0A, 0x0A, 0x1B, 0x69}))},
        {"line", PRINT_KIND_TEXT, 40, Frame(bytes.substr(0, 40))},
        {"513 bytes", PRINT_KIND_TEXT, 513, Frame(bytes)},
        {"other kind", PRINT_KIND_IMAGE, 40, Frame("")},
    };
    for (const Case& c : cases) {
        PrintCommandBlock block{c.kind, c.length, reinterpret_cast<const unsigned char*>(bytes.data()), 7, 7};
        EXPECT_EQ(e.set(O_T_PRINT, &block), c.frame) << c.name;
        EXPECT_EQ(block.busy, 0) << c.name;
    }
    PrintCommandBlock cut{PRINT_KIND_CUT, 0, nullptr, 0, 0};
    EXPECT_EQ(e.set(O_T_PRINT, &cut).size(), 11u) << "\"000b\", NUL and the six bytes";
}

// A ticket line longer than the request area is refused, never cut.
TEST(WtmRequests, TicketBlockOverTheAreaIsRefused_Mended) {
    Engine e;
    testsupport::TraceCapture trace;
    const std::string bytes(600, 'x');
    for (const int32_t length : {514, 600}) {
        PrintCommandBlock block{PRINT_KIND_TEXT, length, reinterpret_cast<const unsigned char*>(bytes.data()), 0, 0};
        EXPECT_EQ(e.set(O_T_PRINT, &block), "refused -1") << length;
        EXPECT_EQ(block.busy, 1) << length;
    }
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_PRN_SetCommand] Print block too long (600, max. 513)"));
}

// A block without bytes builds nothing (the bytes are never read).
TEST(WtmRequests, EmptyOrMissingTicketBlocks_Mended) {
    Engine e;
    const std::string bytes = "line";
    PrintCommandBlock empty{PRINT_KIND_TEXT, 0, reinterpret_cast<const unsigned char*>(bytes.data()), 0, 0};
    EXPECT_EQ(e.set(O_T_PRINT, &empty), "refused -1");
    EXPECT_EQ(empty.busy, 1);
    PrintCommandBlock negative{PRINT_KIND_TEXT, -4, reinterpret_cast<const unsigned char*>(bytes.data()), 0, 0};
    EXPECT_EQ(e.set(O_T_PRINT, &negative), "refused -1");
    PrintCommandBlock noBytes{PRINT_KIND_TEXT, 4, nullptr, 0, 0};
    EXPECT_EQ(e.set(O_T_PRINT, &noBytes), "refused -1");
    EXPECT_EQ(noBytes.busy, 1);
    EXPECT_EQ(e.set(O_T_PRINT, static_cast<PrintCommandBlock*>(nullptr)), "refused -1");
}

TEST(WtmRequests, OtherOperationsAndMissingArguments) {
    Engine e;
    testsupport::TraceCapture trace;
    CardReadRecord r = Cheque(0x10);
    EXPECT_EQ(e.set(11, &r), "refused -1");
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_GSET_SetCommand] Unknown command (11)"));
    for (const int operation : {2, 90, 12}) EXPECT_EQ(e.set(operation, &r), "refused -1") << operation;
    e.resource.command = O_T_EVENT;
    EXPECT_EQ(Set(nullptr, &e.resource, e.buffer.data(), &r), -2);
    EXPECT_EQ(Set(e.box.get(), nullptr, e.buffer.data(), &r), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_GSET_SetCommand] "));
}

TEST(WtmAnswers, ChequeRead) {
    Engine e;
    e.resource.command = O_T_EVENT;
    struct Case {
        const char* name;
        std::string answer;
        int32_t status;
        std::string eventData;
    };
    const Case cases[] = {
        {"line read", "A12 34#56/", 0x4000, "1234C56B"},
        {"default line", "A=0012345=000123456789^987654321012/", 0x4000, "D0012345D000123456789F987654321012B"},
        {"other characters unchanged", "C=1>2^3?x", 0x4000, "D1E2F3?x"},
        {"one character", "A", 0x8000, ""},
        {"bit 0 clear", "@12", 0x8000, ""},
        {"bit 5 set", "a12", 0x8000, ""},
        {"empty", "", 0x8000, ""},
        {"text ends at its NUL", std::string("A12\0" "34", 6), 0x4000, "12"},
    };
    for (const Case& c : cases) {
        CardReadRecord r = Cheque(0x10);
        std::memset(r.eventData, 'z', sizeof r.eventData);
        EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame(c.answer).data(), &r), 0) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_STREQ(r.eventData, c.eventData.c_str()) << c.name;
        EXPECT_EQ(r.eventLength, static_cast<int32_t>(c.eventData.size())) << c.name;
        ExpectChequeDone(r, c.name);
        EXPECT_EQ(r.answerValid, 1) << c.name;
    }
}

// A line longer than eventData keeps its first 100 characters.
TEST(WtmAnswers, LongLineStopsAt100_Mended) {
    Engine e;
    e.resource.command = O_T_EVENT;
    CardReadRecord r = Cheque(0x10);
    std::string line = "A";
    for (int i = 0; i < 150; ++i) line += static_cast<char>('0' + i % 10);
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame(line).data(), &r), 0);
    EXPECT_EQ(r.eventLength, 100);
    EXPECT_EQ(std::string(r.eventData), line.substr(1, 100));
    EXPECT_EQ(r.eventData[100], '\0');
}

TEST(WtmAnswers, PrintGiveBackAndOtherOptions) {
    Engine e;
    e.resource.command = O_T_EVENT;
    for (const uint8_t options : {uint8_t{0x20}, uint8_t{0x40}}) {
        CardReadRecord r = Cheque(options, "AB*CD*");
        r.status = 77;
        r.answerValid = 5;
        r.eventLength = 6;
        EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame("").data(), &r), 0) << int{options};
        ExpectChequeDone(r, "options " + std::to_string(options));
        EXPECT_STREQ(r.eventData, "");
        EXPECT_EQ(r.eventLength, 0);
        EXPECT_EQ(r.answerValid, 0);
        EXPECT_EQ(r.status, 77) << "left as it was";
    }
    CardReadRecord other = Cheque(17);
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame("A123").data(), &other), 0);
    EXPECT_EQ(other.status, 2);
    EXPECT_EQ(other.errorSource, 2);
    EXPECT_EQ(other.answerValid, 1);
    EXPECT_EQ(other.busy, 0);
    EXPECT_EQ(other.presentCount, 0);
}

TEST(WtmAnswers, TicketAndRefusals) {
    Engine e;
    testsupport::TraceCapture trace;
    PrintCommandBlock block{PRINT_KIND_TEXT, 4, nullptr, 5, 6};
    e.resource.command = O_T_PRINT;
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame("ignored").data(), &block), 0);
    EXPECT_EQ(block.busy, 0);
    EXPECT_EQ(block.done, 0);
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame("").data(), static_cast<PrintCommandBlock*>(nullptr)), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_PRN_DealAnswer] Unknown handle"));
    e.resource.command = O_T_EVENT;
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame("").data(), static_cast<CardReadRecord*>(nullptr)), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_EVT_DealAnswer] Unknown handle"));
    CardReadRecord r = Cheque(0x10);
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame(std::string(12701, 'A')).data(), &r), PV_CMD_INTERNAL);
    EXPECT_EQ(r.busy, 7) << "a refused frame decodes nothing";
    e.resource.command = 2;
    EXPECT_EQ(Get(e.box.get(), &e.resource, AnswerFrame("A").data(), &r), PV_CMD_UNKNOWN);
    EXPECT_EQ(Get(nullptr, &e.resource, AnswerFrame("A").data(), &r), PV_CMD_INTERNAL);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_GSET_GetOneResult] "));
}

namespace {

// The wait on a line, with a raw-stack context on the port.
class WaitLine : public testsupport::ModuleWaitLine {
public:
    WaitLine() : ModuleWaitLine(WTM_GSET_WaitEvent, [](int port) { return NONE_NewXProt(0, port); }) {}
};

}  // namespace

// Any byte announces the answer, and stays the answer's first byte: the
// next receive delivers it, whole line after it.
TEST(WtmWait, ByteIsTheAnswersFirst_Mended) {
    WaitLine line;
    ASSERT_EQ(line.opened, 0);
    line.arrive("A12 34#56/");
    char event[2] = {'q', 'q'};
    EXPECT_EQ(line.wait(event), 0);
    EXPECT_EQ(event[0], 'A');
    EXPECT_EQ(event[1], 'q');
    EXPECT_EQ(line.ctx->held, 1);
    unsigned char answer[64] = {};
    EXPECT_EQ(NONE_LinkReceive(line.ctx, answer, sizeof answer, 0, 0), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 10), "A12 34#56/");
}

// Nothing came: the wait callback decides, called with a buffer of its own
// (a callback that fills 130 bytes never writes into the caller's event).
TEST(WtmWait, NothingCame_Mended) {
    WaitLine line;
    ASSERT_EQ(line.opened, 0);
    struct {
        char event[2] = {'q', 'q'};
        char after = 'n';
    } caller;
    EXPECT_EQ(line.wait(caller.event, 100), PV_NOT_YET);
    line.box->waitCallback = WaitLine::Stop;
    EXPECT_EQ(line.wait(caller.event, 100), PV_PER_RESET);
    EXPECT_EQ(caller.event[0], 'q');
    EXPECT_EQ(caller.after, 'n');
    EXPECT_EQ(line.ctx->held, 0);
    line.pty.sim.stop();
    EXPECT_EQ(line.wait(caller.event, 100), PV_NET_FAILED) << "a line that is gone";
}

TEST(WtmWait, NetworkAndMissingArguments) {
    auto box = std::make_unique<KT_EPERIPH_API>();
    KT_PERES resource{};
    resource.transportKind = PAP_TRANSPORT_NETWORK;
    char event[2] = {};
    EXPECT_EQ(WTM_GSET_WaitEvent(box.get(), &resource, 1000, event), 0);
    EXPECT_EQ(event[0], 'A');
    testsupport::TraceCapture trace;
    EXPECT_EQ(WTM_GSET_WaitEvent(nullptr, &resource, 1000, event), 1);
    EXPECT_EQ(WTM_GSET_WaitEvent(box.get(), nullptr, 1000, event), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [WTM_GSET_WaitEvent] "));
}

// The communication trace of a read keeps the printer's status byte and
// blots the line.
TEST(WtmTraceMask, ReadLineIsBlotted_Mended) {
    std::string sent = "\x1c\x61\x30\x01";
    std::string received = "A12 34#56/";
    WTM_MaskTraceExchange(reinterpret_cast<unsigned char*>(sent.data()), sent.size(),
                          reinterpret_cast<unsigned char*>(received.data()), received.size());
    EXPECT_EQ(received, "A---------");
    EXPECT_EQ(sent, "\x1c\x61\x30\x01");
}

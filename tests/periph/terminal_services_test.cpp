// Terminal service calls over the script API: tickets printed in pieces,
// messages on the terminal screen, the language, QR codes and contactless
// transaction calls. Against the recording fake of the script API, and a
// few rows end to end on the RUDA terminal simulator.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "periph/terminal_box.h"
#include "protocols/term_print.h"
#include "protocols/terminal_display.h"
#include "support/epap_fake.h"
#include "support/interface_fixture.h"
#include "support/ruda_line_station.h"
#include "support/trace_capture.h"

namespace {

using testsupport::EpapCall;
using testsupport::EpapFake;

constexpr int kRuda = 16;
constexpr int kDoran = 2;
constexpr int kPrinter = 1;  // "EFT_PRN" on a serial port

std::string Bytes(const PrintCommandBlock& r) {
    return std::string(reinterpret_cast<const char*>(r.bytes), static_cast<size_t>(r.length));
}

// A fake whose print sets record the bytes of each print record.
struct PrintFake : EpapFake {
    explicit PrintFake(int protocol) {
        protocols[1] = protocol;
        copiers[13] = [](va_list args) {
            const auto* r = va_arg(args, const PrintCommandBlock*);
            return r != nullptr && r->bytes != nullptr ? Bytes(*r) : std::string("<none>");
        };
    }
    std::vector<std::string> printed() const {
        std::vector<std::string> out;
        for (const EpapCall& c : callsOf("set")) out.push_back(c.args);
        return out;
    }
};

std::string Lines(int count, const std::string& body, const std::string& end) {
    std::string out;
    for (int i = 0; i < count; ++i) out += body + end;
    return out;
}

int Print(int function, const std::string& text) {
    PrintCommandBlock record{};
    record.kind = PRINT_KIND_TEXT;
    record.length = static_cast<int32_t>(text.size());
    record.bytes = reinterpret_cast<const unsigned char*>(text.data());
    return EPAP_PrintTicket(function, &record);
}

// The display record's kind and fields as one text.
std::string Fields(const TermDisplayBlock& b) {
    std::string out = std::to_string(b.kind);
    if (b.kind == TERM_DISPLAY_OPEN) {
        for (int i = 0; i < 6; ++i) out += "," + std::to_string(static_cast<unsigned char>(b.text[i]));
        return out;
    }
    for (int i = 0; i < 5; ++i) out += "|" + std::string(TermDisplay_Field(b, i));
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Tickets
// ---------------------------------------------------------------------------

TEST(TicketPieces, CutsAtTheLastLineBreakWithinOneRequest) {
    const std::string crlf25 = Lines(25, "ABCDEFGH", "\r\n");  // 250 bytes
    const std::string lf30 = Lines(30, "ABCDEFGH", "\n");      // 270 bytes
    std::string crInside = std::string(247, 'x') + "\r\n" + "tail";  // the CR LF ends at 249
    std::string crAcross = std::string(200, 'x') + "\r\n" + std::string(46, 'y') + "\r\n" + "zz";  // CR at 248
    struct Case {
        const char* name;
        std::string text;
        int piece;
        int skip;
    } cases[] = {
        {"short text whole", "ABC\r\n", 5, 0},
        {"exactly one request", std::string(249, 'a'), 249, 0},
        {"25 lines of CR LF", crlf25, 238, 2},
        {"LF only", lf30, 242, 1},
        {"CR LF ending at the last byte", crInside, 247, 2},
        {"CR LF across the limit", crAcross, 200, 2},
        {"no line break at all", std::string(300, 'n'), 249, 0},
        {"break at the very start", "\r\n" + std::string(300, 'n'), 0, 2},
        {"empty", "", 0, 0},
    };
    for (const Case& c : cases) {
        int skip = -1;
        EXPECT_EQ(PAP_NextTicketPiece(reinterpret_cast<const unsigned char*>(c.text.data()),
                                      static_cast<int>(c.text.size()), &skip),
                  c.piece)
            << c.name;
        EXPECT_EQ(skip, c.skip) << c.name;
    }
}

TEST(PrintTicket, LongRudaTicketGoesInPiecesWithoutTheBreakBetween) {
    PrintFake fake(kRuda);
    testsupport::TraceCapture trace;
    const std::string ticket = Lines(25, "ABCDEFGH", "\r\n");
    EXPECT_EQ(Print(1, ticket), 0);
    EXPECT_EQ(fake.printed(), (std::vector<std::string>{Lines(23, "ABCDEFGH", "\r\n") + "ABCDEFGH", "ABCDEFGH\r\n"}));
    EXPECT_EQ(fake.sequence(), "set 13;send;getEx 13;clear;set 13;send;getEx 13;clear;");
    for (const EpapCall& c : fake.callsOf("getEx")) EXPECT_EQ(c.timeoutMs, 21000);
    EXPECT_TRUE(trace.Contains("@@ DEBUG @@ [PRINT] Ticket trop grand, decoupe en plusieurs commandes d'impression"));
}

TEST(PrintTicket, ShortTicketIsOneCommandAndTheScriptStays) {
    PrintFake fake(kRuda);
    EXPECT_EQ(Print(1, "Merci\r\n"), 0);
    EXPECT_EQ(fake.printed(), (std::vector<std::string>{"Merci\r\n"}));
    EXPECT_EQ(fake.sequence(), "set 13;send;getEx 13;");
}

TEST(PrintTicket, OtherPrintersTakeTheWholeTicketInOneCommand) {
    PrintFake fake(5);
    const std::string ticket = std::string(600, 'p');
    EXPECT_EQ(Print(1, ticket), 0);
    EXPECT_EQ(fake.printed(), (std::vector<std::string>{ticket}));
    // No read: the caller's script carries the print.
    EXPECT_EQ(fake.sequence(), "set 13;send;");
}

TEST(PrintTicket, FailuresStopAndTellTheirStep) {
    struct Case {
        const char* name;
        const char* op;
        int ticketLines;
        const char* trace;
        const char* sequence;
    } cases[] = {
        {"set of a short ticket", "set", 2, "-- ERROR -- [PRINT] Formatage du script d'impression ticket echouee (1)",
         "set 13;clear;"},
        {"send of a short ticket", "send", 2, "-- ERROR -- [PRINT] Envoie de l'impression ticket echouee (1)",
         "set 13;send;clear;"},
        {"read of a short ticket", "getEx", 2,
         "-- ERROR -- [PRINT] Recuperaion du resultat de l'impression ticket echouee (1)", "set 13;send;getEx 13;"},
        {"read of the first piece", "getEx", 40,
         "-- ERROR -- [PRINT] Recupeation de la reponse de l'impression ticket echouee (1)",
         "set 13;send;getEx 13;clear;"},
        {"set of the first piece", "set", 40, "-- ERROR -- [PRINT] Formatage du script d'impression ticket echouee (1)",
         "set 13;clear;"},
    };
    for (const Case& c : cases) {
        PrintFake fake(kRuda);
        testsupport::TraceCapture trace;
        fake.script(c.op, {1});
        EXPECT_EQ(Print(1, Lines(c.ticketLines, "ABCDEFGH", "\r\n")), 1) << c.name;
        EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        EXPECT_EQ(fake.sequence(), c.sequence) << c.name;
    }
}

TEST(PrintTicket, NothingToPrintOrNoPrinter) {
    PrintFake fake(kRuda);
    fake.protocols.erase(1);
    EXPECT_EQ(Print(1, "x"), 1);  // no such function
    fake.protocols[1] = kRuda;
    EXPECT_EQ(EPAP_PrintTicket(1, nullptr), 1);
    PrintCommandBlock empty{};
    EXPECT_EQ(EPAP_PrintTicket(1, &empty), 1);
    EXPECT_TRUE(fake.callsOf("set").empty());
}

TEST(PrintTicket, PrintedByTheRudaTerminalWithoutTheBreaksBetweenPieces) {
    testsupport::RudaLineStation s("", "EFT_PRN");
    ASSERT_TRUE(s.ready());
    const int printer = kPrinter;
    const std::string ticket = Lines(40, "Ligne 12", "\r\n");  // 400 bytes: two pieces
    EXPECT_EQ(Print(printer, ticket), 0);
    const auto record = s.terminal().serviceRecord();
    const std::string printed(record.printed.begin(), record.printed.end());
    EXPECT_EQ(printed, Lines(23, "Ligne 12", "\r\n") + "Ligne 12" + Lines(16, "Ligne 12", "\r\n"));
    int prints = 0;
    for (const auto& e : s.exchanges())
        if (e.apdu.size() >= 2 && e.apdu[0] == 0xD2 && e.apdu[1] == 0xA1) ++prints;
    EXPECT_EQ(prints, 2);
}

TEST(PrintTicket, PaperOutIsTheStatusOfThePiece) {
    testsupport::RudaLineStation s("printer paper-out\n", "EFT_PRN");
    ASSERT_TRUE(s.ready());
    const int printer = kPrinter;
    testsupport::TraceCapture trace;
    EXPECT_NE(Print(printer, Lines(40, "Ligne 12", "\r\n")), 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [PRINT] Recupeation de la reponse de l'impression ticket echouee"));
    // The first piece failed: the second never went.
    int prints = 0;
    for (const auto& e : s.exchanges())
        if (e.apdu.size() >= 2 && e.apdu[0] == 0xD2 && e.apdu[1] == 0xA1) ++prints;
    EXPECT_EQ(prints, 1);
}

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

namespace {

struct DisplayFake : EpapFake {
    explicit DisplayFake(int protocol) {
        protocols[0] = protocol;
        const auto copy = [](va_list args) {
            const auto* b = va_arg(args, const TermDisplayBlock*);
            return b != nullptr ? Fields(*b) : std::string("<none>");
        };
        copiers[1] = copy;
        copiers[2] = copy;
    }
};

}  // namespace

TEST(DisplayMessage, OpenThenTextBlocks) {
    const std::string esc = "\033";
    struct Case {
        const char* name;
        int protocol;
        const char* title;
        int t1, t2;
        const char* message;
        int echo;
        const char* open;
        std::string text;
        const char* sequence;
    } cases[] = {
        {"RUDA, no time-out", kRuda, "", -1, -1, "Bonjour", 0, "1,0,0,17,0,0,0", "2|00||" + esc + "HBonjour||",
         "set 1;send;results;clear;set 2;send;get 2;clear;"},
        {"title and echo", kRuda, "VENTE", -1, -1, "", 3, "1,0,2,17,0,0,3", "2|00|VENTE|||",
         "set 1;send;results;clear;set 2;send;get 2;clear;"},
        {"two time-outs, the larger one", kRuda, "", 5, 30, "x", 0, "1,0,0,17,2,0,0", "2|00||" + esc + "Hx|30|",
         "set 1;send;results;clear;set 2;send;get 2;clear;"},
        {"time-out of three digits clamped", kRuda, "", 150, -1, "x", 0, "1,0,0,17,1,0,0",
         "2|00||" + esc + "Hx|99|", "set 1;send;results;clear;set 2;send;get 2;clear;"},
        {"DORAN keeps both in the script", kDoran, "", -1, -1, "Bonjour", 0, "1,0,0,17,0,0,0",
         "2|00||" + esc + "HBonjour||", "set 1;set 2;"},
    };
    for (const Case& c : cases) {
        DisplayFake fake(c.protocol);
        EXPECT_EQ(EPAP_DisplayMessage(0, c.title, c.t1, c.t2, c.message, c.echo, 1), 0) << c.name;
        const auto sets = fake.callsOf("set");
        ASSERT_EQ(sets.size(), 2u) << c.name;
        EXPECT_EQ(sets[0].args, c.open) << c.name;
        EXPECT_EQ(sets[1].args, c.text) << c.name;
        EXPECT_EQ(fake.sequence(), c.sequence) << c.name;
        EXPECT_EQ(EPAP_GetEchoMode(), c.echo) << c.name;
    }
}

TEST(DisplayMessage, FailedStepIsReturnedAndStops) {
    {
        DisplayFake fake(kRuda);
        fake.script("set", {PV_CMD_INTERNAL});
        EXPECT_EQ(EPAP_DisplayMessageAndReset(0, "", -1, -1, "x", 0), PV_CMD_INTERNAL);
        EXPECT_EQ(fake.sequence(), "set 1;");
    }
    {
        DisplayFake fake(kRuda);
        fake.script("results", {PV_NET_FAILED});
        EXPECT_EQ(EPAP_DisplayMessageAndReset(0, "", -1, -1, "x", 0), PV_NET_FAILED);
        EXPECT_EQ(fake.sequence(), "set 1;send;results;clear;");
    }
    {
        DisplayFake fake(kRuda);
        fake.script("get", {PV_CMD_INTERNAL});
        EXPECT_EQ(EPAP_DisplayMessageAndReset(0, "", -1, -1, "x", 0), PV_CMD_INTERNAL);
        EXPECT_EQ(fake.sequence(), "set 1;send;results;clear;set 2;send;get 2;clear;");
    }
}

// The interface script beside the message: kept with the keep flag,
// cleared without it (RUDA: once the message is shown).
struct MessageWithInterface : testsupport::InterfaceConsole {};

TEST_F(MessageWithInterface, InterfaceScriptKeptOnlyWhenAsked) {
    KT_TEXT_WINDOW* window = Window("L1", 41, 2, 10);
    ASSERT_NE(window, nullptr);
    struct Case {
        int protocol;
        int keep;
        bool kept;
    } cases[] = {{kRuda, 1, true}, {kRuda, 0, false}, {kDoran, 0, true}};  // DORAN: nothing sent, nothing cleared
    for (const Case& c : cases) {
        ASSERT_GE(testsupport::StoreCommand(box, ResourceOf(window), TWIP_TOUCH, testsupport::Payload("%L%X", 0L, 0), 1),
                  0);
        DisplayFake fake(c.protocol);
        EXPECT_EQ(EPAP_DisplayMessage(0, "", -1, -1, "x", 0, c.keep), 0);
        EXPECT_EQ(TWIP_GetCommandScriptMes(box, nullptr, nullptr, nullptr, nullptr) != nullptr, c.kept)
            << c.protocol << " " << c.keep;
        ISAP_ClearAll();
    }
}

TEST(DisplayMessage, LongMessageIsCutToTheRecord_Mended) {
    DisplayFake fake(kRuda);
    const std::string title(40, 'T');
    const std::string message(400, 'm');
    EXPECT_EQ(EPAP_DisplayMessage(0, title.c_str(), -1, -1, message.c_str(), 0, 1), 0);
    const auto sets = fake.callsOf("set");
    ASSERT_EQ(sets.size(), 2u);
    // "00", the title, ESC 'H' and the message, an empty time field: 292
    // bytes with their NULs.
    const std::string expected = "2|00|" + title + "|\033H" + std::string(292 - 3 - 41 - 1 - 2 - 1, 'm') + "||";
    EXPECT_EQ(sets[1].args, expected);
}

TEST(DisplayMessage, ShownByTheRudaTerminal) {
    testsupport::RudaLineStation s("", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(EPAP_DisplayMessageAndReset(0, "", -1, -1, "\033P\x01\x01" "Carte SVP", 0), 0);
    EXPECT_EQ(s.terminal().screens().texts, (std::vector<std::string>{"Carte SVP"}));
}

// ---------------------------------------------------------------------------
// Language, QR code, contactless call
// ---------------------------------------------------------------------------

TEST(SelectLanguage, ReadWithinTheGivenTimeOrSevenSeconds) {
    struct Case {
        int protocol;
        int waitMs;
        int readStatus;
        int result;
        int readMs;  // -1: no read
    } cases[] = {
        {kRuda, 2000, 0, 0, 2000}, {kRuda, 0, 0, 0, 7000}, {kRuda, -5, PV_CMD_INTERNAL, PV_CMD_INTERNAL, 7000},
        {kDoran, 2000, 0, -1, -1}, {-1, 2000, 0, -2, -1},
    };
    for (const Case& c : cases) {
        EpapFake fake;
        if (c.protocol >= 0) fake.protocols[4] = c.protocol;
        fake.copiers[170] = [](va_list args) { return std::string(va_arg(args, const char*)); };
        fake.script("getEx", {c.readStatus});
        EXPECT_EQ(EPAP_SelectLanguage(4, "fra", c.waitMs), c.result) << c.protocol << " " << c.waitMs;
        const auto reads = fake.callsOf("getEx");
        if (c.readMs < 0) {
            EXPECT_TRUE(reads.empty());
            EXPECT_TRUE(fake.callsOf("set").empty());
            continue;
        }
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].timeoutMs, c.readMs);
        EXPECT_EQ(fake.callsOf("set")[0].args, "fra");
        EXPECT_EQ(fake.calls.back().op, "clear");
    }
}

TEST(SelectLanguage, ChosenOnTheRudaTerminal) {
    testsupport::RudaLineStation s("", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(EPAP_SelectLanguage(0, "eng", 0), 0);
    EXPECT_EQ(s.terminal().screens().languagesChosen, (std::vector<std::string>{"eng"}));
}

TEST(DisplayQR, StepsAndTheirFailures) {
    {
        EpapFake fake;
        fake.protocols[0] = kDoran;
        EXPECT_EQ(EPAP_DisplayQR(0, "https://x", ""), 1);
        EXPECT_TRUE(fake.callsOf("set").empty());
    }
    {
        EpapFake fake;
        fake.protocols[0] = kRuda;
        EXPECT_EQ(EPAP_DisplayQR(0, "https://x", ""), 0);
        ASSERT_EQ(fake.callsOf("getEx").size(), 1u);
        EXPECT_EQ(fake.callsOf("getEx")[0].timeoutMs, 7000);
        EXPECT_TRUE(fake.callsOf("clear").empty());  // left to the caller
    }
    const char* steps[][2] = {{"set", "-- ERROR -- [EPAP_DisplayQR] EPAP_SetCommand failed (returned 1)"},
                              {"send", "-- ERROR -- [EPAP_DisplayQR] EPAP_SendScriptCommands failed (returned 1)"},
                              {"getEx", "-- ERROR -- [EPAP_DisplayQR] EPAP_GetResultEx failed (returned 1)"}};
    for (const auto& step : steps) {
        EpapFake fake;
        fake.protocols[0] = kRuda;
        fake.script(step[0], {1});
        testsupport::TraceCapture trace;
        EXPECT_EQ(EPAP_DisplayQR(0, "https://x", ""), 1) << step[0];
        EXPECT_TRUE(trace.Contains(step[1])) << step[0];
    }
}

TEST(CallTermCtTransaction, ReadAgainOnceWhenNotYetAnswered) {
    {
        EpapFake fake;
        fake.protocols[3] = kRuda;
        fake.script("getEx", {PV_NOT_YET, 0});
        EXPECT_EQ(EPAP_CallTermCtTransaction(3, nullptr, nullptr, nullptr, nullptr, nullptr, 131), 0);
        const auto reads = fake.callsOf("getEx");
        ASSERT_EQ(reads.size(), 2u);
        EXPECT_EQ(reads[0].command, 131);
        EXPECT_EQ(reads[0].timeoutMs, 30000);
        EXPECT_EQ(fake.calls.back().op, "clear");
    }
    {
        EpapFake fake;
        fake.protocols[3] = kRuda;
        fake.script("getEx", {PV_NOT_YET, PV_NOT_YET});
        EXPECT_EQ(EPAP_CallTermCtTransaction(3, nullptr, nullptr, nullptr, nullptr, nullptr, 131), PV_NOT_YET);
        EXPECT_EQ(fake.callsOf("getEx").size(), 2u);  // once more only
    }
    {
        EpapFake fake;
        fake.protocols[3] = kDoran;
        testsupport::TraceCapture trace;
        EXPECT_EQ(EPAP_CallTermCtTransaction(3, nullptr, nullptr, nullptr, nullptr, nullptr, 131), -1);
        EXPECT_TRUE(trace.Contains("-- ERROR -- [EPAP_CallTermCtTransaction] type terminal inconnu"));
        EXPECT_TRUE(fake.callsOf("set").empty());
    }
    {
        EpapFake fake;  // no such function
        EXPECT_EQ(EPAP_CallTermCtTransaction(3, nullptr, nullptr, nullptr, nullptr, nullptr, 131), -2);
    }
}

// ---------------------------------------------------------------------------
// Control codes and the reboot wait
// ---------------------------------------------------------------------------

namespace {

char g_stopText = 0;
void StopWhenAsked(char* text) { text[0] = g_stopText; }

}  // namespace

TEST(SendControl, LongWaitStopsWhenTheCashRegisterAsks_Mended) {
    // The terminal refuses the reset: without the stop the code would be
    // read again for forty seconds.
    testsupport::RudaLineStation s("answer D000 => 6F00\n", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    ASSERT_EQ(EPAP_SetWaitCallback(&StopWhenAsked), 0);
    g_stopText = 'S';
    EXPECT_EQ(EPAP_SendControlEx(0, "9003", 40000), PV_PER_RESET);
    g_stopText = 0;
    EXPECT_EQ(EPAP_SendControlEx(0, "9003", 0), PV_CMD_INTERNAL);  // no time-out: one read
    EPAP_SetWaitCallback(nullptr);
}

TEST(SendControl, RudaResetAnswerWithItsSerialNumber_Mended) {
    // The terminal answers the reset with its serial number, which the
    // control code has no place for: read without one, never through an
    // argument that was not given.
    testsupport::RudaLineStation s("serial RUDA00000042\n", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    struct Case {
        const char* code;
        uint8_t p1, p2;
    } cases[] = {{"9002", 0x01, 0x00}, {"9004", 0x01, 0x02}, {"9003", 0x02, 0x00}, {"1217", 0x00, 0x00}};
    for (const Case& c : cases) {
        EXPECT_EQ(EPAP_SendControl(0, c.code), 0) << c.code;
        const auto all = s.exchanges();
        ASSERT_FALSE(all.empty());
        ASSERT_GE(all.back().apdu.size(), 4u);
        EXPECT_EQ(all.back().apdu[0], 0xD0) << c.code;
        EXPECT_EQ(all.back().apdu[2], c.p1) << c.code;
        EXPECT_EQ(all.back().apdu[3], c.p2) << c.code;
    }
}

TEST(WaitReboot, ProbeThatCannotBeSetIsAFailure_Mended) {
    EpapFake fake;
    fake.protocols[0] = kRuda;
    fake.script("set", {0, PV_CMD_INTERNAL});  // the control code, then the probe
    EXPECT_EQ(EPAP_WaitReboot(0, 0, "9003", 5), -1);
    const auto sets = fake.callsOf("set");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].command, 152);
    EXPECT_EQ(sets[1].command, 90);
    EXPECT_TRUE(fake.callsOf("send").size() == 1u);  // the probe never went
}

TEST(WaitReboot, FunctionsBelowTwentyAreSerial_Mended) {
    struct Case {
        int function;
        bool asksEvent;
    } cases[] = {{0, true}, {15, true}, {20, false}};
    for (const Case& c : cases) {
        EpapFake fake;
        fake.protocols[c.function] = kRuda;
        fake.events.push_back({PV_NOT_YET, 0});
        EXPECT_EQ(EPAP_WaitReboot(c.function, 0, "9003", 5), 1) << c.function;
        EXPECT_EQ(fake.callsOf("wait").size(), c.asksEvent ? 1u : 0u) << c.function;
        // The terminal answered the probe read: the wait ends.
        ASSERT_FALSE(fake.callsOf("get").empty());
        EXPECT_EQ(fake.callsOf("get").back().command, 90) << c.function;
    }
}

TEST(WaitReboot, NotForOtherTerminals) {
    EpapFake fake;
    fake.protocols[0] = kDoran;
    fake.protocols[1] = 5;
    EXPECT_EQ(EPAP_WaitReboot(0, 0, "9003", 5), -1);
    EXPECT_EQ(EPAP_WaitReboot(1, 0, "9003", 5), -1);
    EXPECT_EQ(EPAP_WaitReboot(3, 0, "9003", 5), -2);
    EXPECT_TRUE(fake.callsOf("set").empty());
}

TEST(SerialNumber, ReadFromTheRudaTerminalInTwelveCharacters) {
    struct Case {
        const char* scenario;
        int result;
        const char* serial;
    } cases[] = {
        {"serial 1234\n", 1, "123400000000"},
        {"serial RUDA00000042\n", 1, "RUDA00000042"},
    };
    for (const Case& c : cases) {
        testsupport::RudaLineStation s(c.scenario, "EFT_DSP");
        ASSERT_TRUE(s.ready());
        char out[13];
        EXPECT_EQ(EPAP_GetSerialNumber(0, out), c.result) << c.scenario;
        EXPECT_STREQ(out, c.serial) << c.scenario;
    }
}

TEST(SerialNumber, LongerAnswerIsCutToTwelve_Mended) {
    testsupport::RudaLineStation s("serial ABCDEFGHIJKLMNOPQRST\n", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    char out[13 + 8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(EPAP_GetSerialNumber(0, out), 1);
    EXPECT_STREQ(out, "ABCDEFGHIJKL");
    EXPECT_EQ(out[13], '#');  // nothing written past the thirteen bytes
}

TEST(WaitReboot, RudaTerminalThatAnswersItsProbe) {
    testsupport::RudaLineStation s("", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    testsupport::TraceCapture trace;
    EXPECT_EQ(EPAP_WaitReboot(0, 0, "9003", 5), 1);
    EXPECT_TRUE(trace.Contains("** INFO. ** Status 0 ."));
    // The reboot code (D0 00 with 02), then the terminal's state (D0 00 00 01).
    const auto all = s.exchanges();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].apdu.size() >= 3 ? all[0].apdu[2] : 0, 0x02);
    ASSERT_GE(all.back().apdu.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(all.back().apdu.begin(), all.back().apdu.begin() + 4),
              (std::vector<uint8_t>{0xD0, 0x00, 0x00, 0x01}));
}

TEST(DisplayScreenId, ShownOnTheRudaTerminal) {
    testsupport::RudaLineStation s("", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(EPAP_DisplayScreenId(0, 14), 0);
    EXPECT_EQ(s.terminal().screens().screenIds, (std::vector<int>{14}));
    EXPECT_EQ(EPAP_DisplayScreenId(7, 14), -2);
}

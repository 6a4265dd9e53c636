// The idle pass and the dispatcher in process, with option values that the
// options file would give, and the small answer functions.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "core/dates.h"
#include "core/tag_buffer.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"
#include "platform/pos_mailbox.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "station/server_box.h"
#include "station/server_exchange.h"
#include "support/config_tree.h"
#include "support/pos_peer.h"
#include "support/session_tree.h"
#include "support/trace_capture.h"
#include "support/trv_process.h"
#include "transactions/pos_answer.h"
#include "transactions/server_dialogue.h"
#include "transactions/server_messages.h"

using testsupport::PosPeer;

namespace {

OptionValues g_scenario;
void ApplyScenario() {
    Options.MandatoryAmount = g_scenario.MandatoryAmount;
    Options.PhysicalFileNameSearchCalculation = g_scenario.PhysicalFileNameSearchCalculation;
    std::memcpy(Options.UploadTime, g_scenario.UploadTime, sizeof Options.UploadTime);
}

// A manual clock during whose sleeps the cash register reads every message
// the program wrote: the program's waits end as soon as the message is taken.
class CollectingClock : public plat::ManualClock {
public:
    void sleepMs(int64_t ms) override {
        plat::ManualClock::sleepMs(ms);
        Collect();
    }
    void Collect() {
        if (mailbox != nullptr && PosPeer::Status(mailbox) == poslink::kStatusPresent) {
            received.emplace_back(mailbox + 1);
            PosPeer::SetStatus(mailbox, poslink::kStatusTaken);
        }
    }
    char* mailbox = nullptr;
    std::vector<std::string> received;
};

// An open session serving a fresh station, with the peer of the cash register.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_scenario = OptionValues{};
        SetOptionsLoadHook(ApplyScenario);
        InitDefaultOptions();
        station = testsupport::UniqueStation();
        g_processOptions.station = station;
        ASSERT_TRUE(tree.ok());
        testsupport::UseTreeForSession(tree.str());
        ASSERT_EQ(TOC_OpenSession(), 1);
        context = GetEftContext();
        record = GetTransactionRecord();
        context->posLink = ZelDiaOpen(station, 0);
        ASSERT_NE(context->posLink, nullptr);
        ASSERT_TRUE(peer.Open(station));
    }
    void TearDown() override {
        peer.Close();
        ShutdownClient();
        SetOptionsLoadHook(nullptr);
    }
    // Runs loop passes until the state is back to idle (at most 20).
    void RunUntilIdle() {
        for (int i = 0; i < 20; ++i) {
            RunLoopPass();
            if (context->loopState == 0) return;
        }
    }
    testsupport::ConfigTree tree;
    int station = 0;
    EFTCBox* context = nullptr;
    TransactionRecord* record = nullptr;
    PosPeer peer;
};

}  // namespace

TEST_F(SessionTest, MandatoryAmountWithoutD10AnswersResult36) {
    g_scenario.MandatoryAmount = 1;
    const std::string prefix = "{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" + std::to_string(station);
    struct Case {
        const char* request;
        const char* answer;
    } cases[] = {
        {"{SS}R{PS}1{SV}s0{CD}c1{F}", "{SV}s0{CD}c1{RS}36{F}"},
        {"{SS}R{PS}1{SV}s0{CD}c8{F}", "{SV}s0{CD}c8{RS}36{F}"},
        {"{SS}R{PS}1{SV}s0{CD}c1{D10}500{F}", "{SV}s0{CD}c1{RS}32{F}"},  // goes on to the transaction
        // group A without c8/c9: a duplicate asks the server directly (none
        // answers here)
        {"{SS}R{PS}1{SV}s0{CD}c4{F}", "{SV}s0{CD}c4{RS}31{F}"},
    };
    for (const Case& c : cases) {
        CollectingClock clock;
        plat::ScopedClock scoped(&clock);
        clock.mailbox = peer.toPos();
        ASSERT_TRUE(peer.Send(c.request));
        RunUntilIdle();
        clock.Collect();
        EXPECT_EQ(clock.received, (std::vector<std::string>{"0", prefix + c.answer})) << c.request;
    }
}

TEST_F(SessionTest, GroupARequestOfService1StartsAProcessingMode3Transaction) {
    ASSERT_TRUE(peer.Send("{SS}R{PS}1{SV}s1{CD}c8{F}"));
    RunLoopPass();
    EXPECT_EQ(context->loopState, 40);
    EXPECT_EQ(record->processingMode, 3);
    EXPECT_EQ(CardMode, 0);
}

// The card fields captured in one transaction belong to its record: the
// next request starts without them, so its own card is captured and the old
// card number is never enciphered again.
TEST_F(SessionTest, CardFieldsOfTheLastTransactionAreClearedByTheNextRequest_Mended) {
    for (const char* request : {"{SS}R{PS}1{SV}s0{CD}c1{D10}500{F}", "{SS}R{PS}1{SV}s12{CD}c25{F}"}) {
        std::snprintf(record->cardNumber, sizeof record->cardNumber, "4970101010101018");
        record->cardNumberLength = 16;
        std::snprintf(record->expiryDate, sizeof record->expiryDate, "2512");
        std::snprintf(record->serviceCode, sizeof record->serviceCode, "201");
        std::snprintf(record->trackRest, sizeof record->trackRest, "12345");
        CollectingClock clock;
        plat::ScopedClock scoped(&clock);
        clock.mailbox = peer.toPos();
        ASSERT_TRUE(peer.Send(request));
        RunLoopPass();
        EXPECT_EQ(record->cardNumberLength, 0) << request;
        EXPECT_STREQ(record->cardNumber, "") << request;
        EXPECT_STREQ(record->expiryDate, "") << request;
        EXPECT_STREQ(record->serviceCode, "") << request;
        EXPECT_STREQ(record->trackRest, "") << request;
        RunUntilIdle();
    }
}

TEST_F(SessionTest, AbortWhileIdleAnswers1AndStaysIdle) {
    ASSERT_TRUE(peer.Send("{SS}R{PS}1{SV}s3{CD}c0{F}"));
    RunLoopPass();
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(peer.Receive(100).value_or(""), "1");
    // Upper-case S3/C0 is the abort of row f: '0' then the abort answer.
    ASSERT_TRUE(peer.Send("{SS}R{PS}1{SV}S3{CD}C0{F}"));
    CollectingClock clock;
    plat::ScopedClock scoped(&clock);
    clock.mailbox = peer.toPos();
    RunLoopPass();
    clock.Collect();
    EXPECT_EQ(clock.received,
              (std::vector<std::string>{"0", "{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" +
                                                 std::to_string(station) + "{SV}s3{CD}c0{RS}33{F}"}));
    EXPECT_EQ(context->abortCode, 3);
}

TEST_F(SessionTest, ScheduledMaintenanceMovesTheDateOnByOneDay) {
    char today[9] = "", now[7] = "";
    ASSERT_EQ(WGetLocalDateTime(today, now), 1);
    char past[9] = "";
    ASSERT_GE(WSubtractDays(today, "3", past), 0);
    past[8] = '\0';
    std::strcpy(Options.UploadTime, "000000");
    std::strcpy(Options.UploadDate, past);
    int maintenances = 0;
    std::string dates;
    for (int pass = 0; pass < 10; ++pass) {
        RunIdlePass();
        if (context->loopState != 10) break;
        ++maintenances;
        dates += std::string(Options.UploadDate) + " ";
        EXPECT_EQ(Options.UploadNeeded, 2);
        RunUntilIdle();  // the maintenance answers nobody
        EXPECT_FALSE(peer.Receive(0, 0).has_value());
    }
    EXPECT_EQ(maintenances, 4) << dates;  // three days ago, two, yesterday, today
    char tomorrow[9] = "";
    ASSERT_GE(WAddDays(today, "1", tomorrow), 0);
    tomorrow[8] = '\0';
    EXPECT_STREQ(Options.UploadDate, tomorrow);
    EXPECT_EQ(Options.UploadNeeded, 0);
}

TEST_F(SessionTest, OverLongRequestValuesAreRefusedWithATrace) {
    testsupport::TraceCapture trace;
    const std::string host(81, 'h');
    ASSERT_TRUE(peer.Send("{SS}R{PS}1{SV}s0{CD}c1{HO1}" + host + "{SV1}4000{D7V}" + std::string(61, 'i') +
                          "{E6}" + std::string(21, 'e') + "{F}"));
    RunUntilIdle();
    EXPECT_TRUE(trace.Contains("Valeur du tag HO1 trop longue"));
    EXPECT_TRUE(trace.Contains("Valeur du tag D7V trop longue"));
    EXPECT_TRUE(trace.Contains("Valeur du tag E6 trop longue"));
    // The over-long host is refused: the configured one stays.
    EXPECT_STREQ(context->netResources[0].servers[0].host, "127.0.0.1");
    EXPECT_STREQ(context->netResources[0].servers[0].service, "4000");
    EXPECT_STREQ(Options.IlotLabel, "");
}

// The island label of a request is stored in the options file: one that
// holds card data (a card number, a track) is refused with a trace line that
// names the tag alone, and the label stays the former one.
TEST_F(SessionTest, IslandLabelHoldingCardDataIsRefused_Mended) {
    struct Case {
        const char* name;
        std::string label;
        const char* kept;
    } cases[] = {
        {"a label", "ILOT 7", "ILOT 7"},
        {"a label with a short number", "ILOT 1234567890", "ILOT 1234567890"},
        {"a card number", "ilot 4970303333333330", "ILOT 1234567890"},
        {"a track", "4970100012345678=25122011234", "ILOT 1234567890"},
        {"a label again", "ILOT 8", "ILOT 8"},
    };
    for (const Case& c : cases) {
        testsupport::TraceCapture trace;
        CollectingClock clock;
        plat::ScopedClock scoped(&clock);
        clock.mailbox = peer.toPos();
        ASSERT_TRUE(peer.Send("{SS}R{PS}1{SV}s12{CD}c25{D7V}" + c.label + "{F}")) << c.name;
        RunUntilIdle();
        clock.Collect();
        ASSERT_FALSE(clock.received.empty()) << c.name;
        EXPECT_NE(clock.received.back().find("{RS}01"), std::string::npos) << c.name;
        EXPECT_STREQ(Options.IlotLabel, c.kept) << c.name;
        const std::string options = testsupport::ReadFileText(tree.file("WPAF/znpop_00.wt"));
        EXPECT_NE(options.find(std::string("[IlotLabel:") + c.kept + "]"), std::string::npos) << c.name;
        const bool refused = c.label != c.kept;
        EXPECT_EQ(options.find(c.label) == std::string::npos, refused) << c.name;
        EXPECT_EQ(trace.Contains("Valeur du tag D7V refusee (donnees carte)"), refused) << c.name;
        EXPECT_FALSE(refused && trace.Contains(c.label)) << c.name;
    }
}

TEST_F(SessionTest, AnswerHeaderAndSavedRequest) {
    char buffer[TAG_MESSAGE_BUFFER_SIZE];
    ASSERT_EQ(BuildPosAnswer(buffer, sizeof buffer, "s0", "c1"), 1);
    EXPECT_STREQ(buffer, ("{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" + std::to_string(station) +
                          "{SV}s0{CD}c1{F}").c_str());
    char tiny[20];
    EXPECT_EQ(BuildPosAnswer(tiny, sizeof tiny, "s0", "c1"), 0);
    // LoadTagMessage without flag keeps the text and appends before the end tag.
    std::strcpy(buffer, "{SS}R{F}");
    ASSERT_EQ(LoadTagMessage(buffer, sizeof buffer, 0), 1);
    TAG_Set("SV", "s2");
    EXPECT_STREQ(buffer, "{SS}R{SV}s2{F}");
    EXPECT_EQ(LoadTagMessage(nullptr, 10, 1), -1);

    std::strcpy(record->titleId, "TITLE");
    EXPECT_EQ(SaveRequestServiceCommand("s0", "c1"), 2);
    EXPECT_EQ(SaveRequestServiceCommand("", "c12"), 3);
    EXPECT_STREQ(record->titleId, "TITLE");
    EXPECT_EQ(SaveRequestServiceCommand("", ""), 0);
    EXPECT_STREQ(record->titleId, "");
    char sv[10], cd[10];
    SaveRequestServiceCommand("s0123456789", "c1");  // cut to its 10-byte text
    GetSavedRequestServiceCommand(sv, cd);
    EXPECT_STREQ(sv, "s01234567");
    EXPECT_STREQ(cd, "c1");
}

TEST_F(SessionTest, ContextAccessorsEdgeCases) {
    EFTOC_SetMainPath(context, ".");
    EXPECT_STREQ(EFTOC_GetDirectory(context, "WCFG"), "./WCFG");
    const char* first = EFTOC_GetDirectory(context, "WPAF");
    EXPECT_STREQ(first, "./WPAF");
    EXPECT_EQ(EFTOC_GetDirectory(nullptr, "WPAF"), nullptr);
    // Into the caller's buffer: refused (empty) when it does not fit.
    char mine[8];
    EXPECT_EQ(EFTOC_GetDirectory(context, "WCFG", mine, sizeof mine), mine);
    EXPECT_STREQ(mine, "./WCFG");
    char small[6] = "xxxxx";
    EXPECT_EQ(EFTOC_GetDirectory(context, "WCFG", small, sizeof small), nullptr);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(EFTOC_GetDirectory(nullptr, "WCFG", mine, sizeof mine), nullptr);

    EFTOC_SetExchangeLog(context, 10, "A.LOG");
    EFTOC_SetExchangeLog(context, -1, ".");
    EXPECT_STREQ(context->exchangeLogName, "A.LOG");
    EXPECT_EQ(context->logSizeKb, 10);
    EXPECT_EQ(EFTOC_SetExchangeLog(context, 1, std::string(101, 'n').c_str()), -1);
    EXPECT_STREQ(context->exchangeLogName, "A.LOG");
    EFTOC_SetExchangeLog(context, 10, tree.file("A.LOG").c_str());  // the shutdown writes to it

    context->posLanguage = 5;
    EFTOC_SetLanguages(context, -1, 250);
    EXPECT_EQ(context->posLanguage, 5);
    EXPECT_EQ(context->terminalLanguage, 250);

    EFTOC_StartTimer(context, 0);
    EXPECT_EQ(EFTOC_TimerExpired(context), 1);
    EFTOC_StartTimer(context, 100);
    EXPECT_EQ(EFTOC_TimerExpired(context), 0);
    context->timerStart += 1000;  // clock set back
    EXPECT_EQ(EFTOC_TimerExpired(context), 1);

    context->alertLevel = 2;
    EXPECT_EQ(EFTOC_SetAlert(context, "src", 3), 2);  // no "A_FATAL" text: unchanged
    EXPECT_EQ(EFTOC_SetAlert(context, "src", 0), 0);
    EXPECT_EQ(EFTOC_SetLanguages(nullptr, 1, 1), -1);
    EXPECT_EQ(EFTOC_Close(nullptr), 0);
}

TEST_F(SessionTest, RequestThatNoStateTookIsDroppedAndTheStationHearsAgain_Mended) {
    // Requests whose dispatch ends with the request still held: a functional
    // test that does not exist, and a failed reload of the communication
    // file while the station of the requests changes.
    struct Case {
        const char* request;
        int physicalNames;
    } cases[] = {
        {"{SS}R{PS}1{SV}sqa{CD}c999{F}", 0},
        {"{SS}R{PS}77{SV}s0{CD}c1{F}", 1},
    };
    // A communication file that cannot be read.
    std::filesystem::remove(tree.file("WCFG/com_00.wt"));
    ASSERT_TRUE(std::filesystem::create_directory(tree.file("WCFG/com_00.wt")));
    for (const Case& c : cases) {
        g_scenario.PhysicalFileNameSearchCalculation = c.physicalNames;
        testsupport::TraceCapture trace;
        ASSERT_TRUE(peer.Send(c.request));
        RunUntilIdle();
        // Nobody answered it (as before); the next pass forgets it and the
        // station takes the next request, a stop request included.
        const std::optional<std::string> early = peer.Receive(0, 0);
        EXPECT_FALSE(early.has_value()) << c.request << ": " << early.value_or("");
        CollectingClock clock;
        plat::ScopedClock scoped(&clock);
        clock.mailbox = peer.toPos();
        ASSERT_TRUE(peer.Send("{SS}R{PS}77{SV}s3{CD}c0{F}"));
        RunLoopPass();
        clock.Collect();
        EXPECT_EQ(clock.received, std::vector<std::string>{"1"}) << c.request;
        EXPECT_TRUE(trace.Contains(std::string("Requete non traitee abandonnee: ") + c.request)) << c.request;
        EXPECT_EQ(context->posRequest[0], '\0');
    }
}

TEST_F(SessionTest, EveryNonEmptyVwayEnablesItsServer) {
    struct Case {
        const char* vway;
        int enabled[4];
    } cases[] = {
        {"", {1, 1, 1, 1}},                                    // none: all four
        {"{VWAY}2", {0, 1, 0, 0}},
        {"{VWAY}{VWAY}2", {0, 1, 0, 0}},                       // an empty one first
        {"{VWAY}1{VWAY}{VWAY}4", {1, 0, 0, 1}},                // an empty one between
        {"{VWAY}3{VWAY}", {0, 0, 1, 0}},                       // an empty one last
        {"{VWAY}0000000000000000000001{VWAY}3", {1, 0, 1, 0}}, // a long value
        {"{VWAY}9{VWAY}2", {0, 1, 0, 0}},                      // no such server
    };
    for (const Case& c : cases) {
        CollectingClock clock;
        plat::ScopedClock scoped(&clock);
        clock.mailbox = peer.toPos();
        ASSERT_TRUE(peer.Send(std::string("{SS}R{PS}1{SV}s12{CD}c25") + c.vway + "{F}"));
        RunLoopPass();
        for (int i = 0; i < 4; ++i) EXPECT_EQ(record->serverEnabled[i], c.enabled[i]) << c.vway << " server " << i;
        RunUntilIdle();
    }
}

TEST_F(SessionTest, WindowP5GetsBackItsStartUpResourceAfterAnAutomaticMaintenance) {
    ASSERT_EQ(KTS_AddWindow(context->box, "P5", 2, 16), 1);
    ASSERT_EQ(KTS_SetWindowResource(context->box, "P5", 45), 0);  // its interface resource is there
    RememberP5Window(context);
    KT_TEXT_WINDOW* p5 = KTS_GetWindow(context->box, "P5");
    ASSERT_NE(p5, nullptr);
    // The maintenance diverts it to the PC console; the first idle pass
    // after it gives the resource back.
    ISAP_ResetWindowResource(p5);
    EXPECT_NE(p5->resource, 45);
    Options.UploadNeeded = 2;
    Options.ExitAfterUpload = 0;
    RunIdlePass();
    EXPECT_EQ(p5->resource, 45);
    EXPECT_EQ(Options.UploadNeeded, 0);
}

TEST(CommandLine, OptionsAndTheirBounds) {
    struct Case {
        std::vector<const char*> args;
        int station, echo;
        const char* log;
        const char* path;
    } cases[] = {
        {{"-i12", "-e7"}, 12, 3, "ECHANGES.LOG", "."},
        {{"-i", "-e-1", "-f."}, 0, 3, ".", "."},
        {{"-x5", "i5", "-e2", "-fX.LOG"}, 1, 2, "X.LOG", "."},
        {{"-i3", "-i4", "-pabc"}, 4, 0, "ECHANGES.LOG", "abc"},
    };
    for (const Case& c : cases) {
        InitDefaultOptions();
        std::vector<const char*> argv{"trv_71"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string oneShot;
        ASSERT_EQ(ReadCommandLine(static_cast<int>(argv.size()), argv.data(), oneShot), CommandLineResult::Ok);
        EXPECT_EQ(g_processOptions.station, c.station);
        EXPECT_EQ(g_processOptions.echoMode, c.echo);
        EXPECT_STREQ(g_processOptions.exchangeLogName, c.log);
        EXPECT_STREQ(g_processOptions.mainPath, c.path);
    }
    // -p and -f values of more than 100 characters are refused.
    InitDefaultOptions();
    const std::string longPath = "-p" + std::string(101, 'p');
    const std::string okPath = "-p" + std::string(100, 'p');
    std::string oneShot;
    const char* argv1[] = {"trv_71", longPath.c_str()};
    ReadCommandLine(2, argv1, oneShot);
    EXPECT_STREQ(g_processOptions.mainPath, ".");
    const char* argv2[] = {"trv_71", okPath.c_str()};
    ReadCommandLine(2, argv2, oneShot);
    EXPECT_EQ(std::strlen(g_processOptions.mainPath), 100u);
    const std::string tooLong = "-R" + std::string(10239, 'r');
    const char* argv3[] = {"trv_71", tooLong.c_str()};
    EXPECT_EQ(ReadCommandLine(2, argv3, oneShot), CommandLineResult::ArgumentTooLong);
}

TEST(Neighbours, TerminalFamily) {
    // The hundreds digit decides, whatever stands above it.
    const std::pair<unsigned, int> cases[] = {{0, 0},    {888, 4},   {520, 1},  {680, 3},   {820, 1},
                                              {250, 2},  {720, 3},   {350, 2},  {150, 1},   {999, 1},
                                              {1250, 2}, {1680, 3},  {1520, 1}, {12680, 3}, {2000, 1}};
    for (auto [model, family] : cases) EXPECT_EQ(GetTerminalFamily(model), family) << model;
}

TEST(Neighbours, ServerMessageTypeNames) {
    struct Case {
        const char* type;
        const char* body;
        const char* line;
    } cases[] = {
        {"1200", nullptr, "@@ DEBUG @@   [SERVER]    >>>>> Serveur <-> Periph"},
        {"1410", nullptr, "Serveur -> Client : Flash info"},
        {"9996", "0000000100", "Serveur -> Client : Debut maintenance"},
        {"9996", "00000000", "Serveur -> Client : Fin maintenance"},
        {"9996", "0001", "Serveur -> Client : Fin maintenance"},  // short body
        {"9995", "00000001", "Serveur -> Client : Reboot lecteur demande"},
        {"9995", nullptr, "Serveur -> Client : Reboot lecteur fini"},
        {"9997", nullptr, "** INFO. **     [NET]     >>>>> Echo serveur recu"},
        {"4242", nullptr, "Serveur ->    ?   : Message inconnu 4242"},
    };
    for (const Case& c : cases) {
        testsupport::TraceCapture trace;
        LogServerMessageType(c.type, c.body);
        EXPECT_TRUE(trace.Contains(c.line)) << c.type << " " << (trace.count() ? trace.lines()[0] : "");
    }
}

TEST_F(SessionTest, CurrentServerSniAndItsBounds) {
    std::strcpy(context->netResources[7].servers[2].sni, "pay.example");
    context->netResourceIndex = 7;
    record->currentServer = 2;
    EXPECT_STREQ(GetCurrentServerSni(context, record), "pay.example");
    record->currentServer = 4;
    EXPECT_STREQ(GetCurrentServerSni(context, record), "");
    record->currentServer = 2;
    context->netResourceIndex = 999;
    EXPECT_STREQ(GetCurrentServerSni(context, record), "");
    EXPECT_STREQ(GetCurrentServerSni(nullptr, record), "");
}

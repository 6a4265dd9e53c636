// The program's requests to the cash register (display, print, key, zone
// entry, selection, simulated echo) and their waits, through the real POS
// link; the cash register is played by the test clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/pos_dialogue.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "station/display_zones.h"
#include "station/options.h"
#include "station/server_box.h"
#include "support/app_session.h"
#include "support/trace_capture.h"

using testsupport::AppSessionTest;
using testsupport::ReadFileText;
using testsupport::TraceCapture;

namespace {

class Dialogue : public AppSessionTest {
protected:
    void SetUp() override {
        AppSessionTest::SetUp();
        console = context->box->console;
        window = AddPosWindow(4, 20);
    }
    void Key(const std::string& value) { clock.replies["c21"].push_back("{SS}R{PS}1{SV}s6{CD}c21{EF}" + value + "{F}"); }
    void Reply(const char* cd, const std::string& request) { clock.replies[cd].push_back(request); }
    std::string Request(const std::string& tail) const { return AnswerHead() + tail; }
    std::string PosLog() {
        EFTOC_CloseExchangeLogs();
        return ReadFileText(tree.file("ECHANGES.POS"));
    }
    ConsoBox* console = nullptr;
    KT_TEXT_WINDOW* window = nullptr;
};

}  // namespace

TEST_F(Dialogue, DisplayAndPrintRequests) {
    EXPECT_EQ(PosDisplayText(console, window, "BONJOUR", 4, 20, 1, 2, 1, 0), 1);
    EXPECT_EQ(PosLocalSPOOL(console, window, "TICKET", 4, 20, 0, 0, 0), 1);
    clock.Serve();
    EXPECT_EQ(clock.received,
              (std::vector<std::string>{Request("{SV}s6{CD}c20{E9}4{E8}20{EB}1{EA}2{EC}1{ED}BONJOUR{F}"),
                                        Request("{SV}s6{CD}c43{E9}4{E8}20{EB}0{EA}0{EC}0{ED}TICKET{F}")}));
    EXPECT_NE(PosLog().find("(ZNP) " + Request("{SV}s6{CD}c20")), std::string::npos);

    // Suppressed by PosGuiOptions: nothing sent, done.
    clock.received.clear();
    Options.PosGuiOptions = 0x8 | 0x8000;
    EXPECT_EQ(PosDisplayText(console, window, "BONJOUR", 4, 20, 1, 2, 1, 0), 1);
    EXPECT_EQ(PosLocalSPOOL(console, window, "TICKET", 4, 20, 0, 0, 0), 1);
    clock.Serve();
    EXPECT_TRUE(clock.received.empty());

    // Missing context.
    EXPECT_EQ(PosDisplayText(nullptr, window, "X", 1, 1, 0, 0, 0, 0), -1);
    EXPECT_EQ(PosLocalSPOOL(console, nullptr, "X", 1, 1, 0, 0, 0), -1);
}

TEST_F(Dialogue, SimulatedEchoAndPaymentResult) {
    context->echoMode = 3;
    Options.IsEchoSimulated = 1;
    EXPECT_EQ(PosDisplayText(console, window, "987654", 4, 20, 1, 2, 1, 1), 1);
    EXPECT_EQ(PosDisplayPaymentResult(5), 0);
    EXPECT_EQ(PosDisplayPaymentResult(10), 0);
    clock.Serve();
    ASSERT_EQ(clock.received.size(), 4u);
    EXPECT_EQ(clock.received[1], Request("{SV}s5{CD}c27{D34}\x1BH\x1BP\x02\x03" "987654{F}"));
    EXPECT_EQ(clock.received[2], Request("{SV}s5{CD}c27{D34}\x1BH\x1BP\x01\x01PAIEMENT ACCEPTE{F}"));
    EXPECT_EQ(clock.received[3], Request("{SV}s5{CD}c27{D34}\x1BH\x1BP\x01\x01PAIEMENT REFUSE{F}"));
    // The masked text never reaches the exchange log, nor does its echo.
    const std::string log = PosLog();
    EXPECT_NE(log.find("{ED}------{F}"), std::string::npos);
    EXPECT_NE(log.find("\x1BP\x02\x03------{F}"), std::string::npos);
    EXPECT_EQ(log.find("987654"), std::string::npos);
}

TEST_F(Dialogue, KeyAnswers) {
    struct Case {
        std::string answer;
        int result;
        char key;
    } cases[] = {
        {"f", 1, 'F'}, {"7", 1, '7'}, {"v", 1, 'V'}, {"C", 1, 'C'}, {"x", 1, 'A'},
        {"9ABC", 1, '9'},  // only the first character is a key
        {"", 0, 'A'},
    };
    for (const Case& c : cases) {
        Key(c.answer);
        clock.received.clear();
        char key = 0;
        EXPECT_EQ(PosWaitKey(30000, 0, &key), c.result) << c.answer;
        EXPECT_EQ(key, c.key) << c.answer;
        clock.Serve();
        EXPECT_EQ(clock.received, (std::vector<std::string>{Request("{SV}s6{CD}c21{EE}30{EP}0{F}"), "0"}))
            << c.answer;
    }
}

TEST_F(Dialogue, KeyWaitWithoutAnswerAbortOrStop) {
    char key = 0;
    const int64_t before = clock.nowMs();
    EXPECT_EQ(PosWaitKey(2000, 0, &key), -1);
    EXPECT_EQ(key, 'A');
    EXPECT_GE(clock.nowMs() - before, 2250);
    EXPECT_LT(clock.nowMs() - before, 2300);
    EXPECT_EQ(clock.received.size(), 1u);  // the request, no acknowledgement

    struct Case {
        const char* request;
        int abortCode;
    } cases[] = {{"{SS}R{PS}1{SV}s3{CD}c99{F}", 2}, {"{SS}R{PS}1{SV}s3{CD}c0{F}", 1}};
    for (const Case& c : cases) {
        context->abortCode = 0;
        clock.received.clear();
        Reply("c21", c.request);
        key = 0;
        EXPECT_EQ(PosWaitKey(30000, 0, &key), -1) << c.request;
        EXPECT_EQ(key, 'A');
        EXPECT_EQ(context->abortCode, c.abortCode);
        clock.Serve();
        EXPECT_EQ(clock.received.size(), 1u) << c.request;  // acknowledged by whoever aborts
    }

    // Inhibited by PosGuiOptions, or no key pointer.
    Options.PosGuiOptions = 0x80;
    EXPECT_EQ(PosWaitKey(30000, 0, &key), -1);
    EXPECT_EQ(key, 'A');
    EXPECT_EQ(PosWaitKey(30000, 0, nullptr), -1);
}

// A request other than the answer that arrives during a wait ends it; it is
// refused with '5', never acknowledged with '0' as if it were taken (the
// cash register would wait for an answer that never comes).
TEST_F(Dialogue, OtherRequestDuringAWaitIsRefused_Mended) {
    Reply("c21", "{SS}R{PS}1{SV}s0{CD}c1{F}");
    char key = 0;
    EXPECT_EQ(PosWaitKey(30000, 0, &key), 0);
    EXPECT_EQ(key, 'A');
    clock.Serve();
    EXPECT_EQ(clock.received, (std::vector<std::string>{Request("{SV}s6{CD}c21{EE}30{EP}0{F}"), "5"}));
}

TEST_F(Dialogue, ZoneOfLengthZeroIsOneKey) {
    Key("4");
    char zone[8] = "";
    char key = 0;
    EXPECT_EQ(PosWaitZoneEntry(console, window, 30000, 1, 1, 0, zone, "OBL RESP", &key), 1);
    EXPECT_STREQ(zone, "4");
    EXPECT_EQ(key, '4');
    // The response mode of the format reaches the key request.
    EXPECT_EQ(clock.With("{CD}c21{EE}30{EP}1{F}").size(), 1u);
}

TEST_F(Dialogue, ZoneEditedByTheCashRegister) {
    Options.PosGuiOptions = 0x10;
    Options.MaintainerTillRight = 1;
    struct Case {
        const char* answer;
        const char* zone;
        char key;
    } cases[] = {
        {"V1234", "1234", 'V'},
        {"v12", "12", 'V'},
        {"V123456789", "123456", 'V'},  // cut at the zone's length
        {"A", "      ", 'A'},
    };
    for (const Case& c : cases) {
        Reply("c22", std::string("{SS}R{PS}1{SV}s6{CD}c22{EL}") + c.answer + "{F}");
        clock.received.clear();
        char zone[7 + 16] = "";
        std::memset(zone + 7, '#', 16);  // past the zone: must stay untouched
        char key = 0;
        EXPECT_EQ(PosWaitZoneEntry(console, window, 20000, 2, 3, 6, zone, "NUM MIN04 RESP", &key), 1) << c.answer;
        EXPECT_STREQ(zone, c.zone) << c.answer;
        EXPECT_EQ(key, c.key) << c.answer;
        EXPECT_EQ(std::string(zone + 7, 16), std::string(16, '#')) << c.answer;
        clock.Serve();
        EXPECT_EQ(clock.received, (std::vector<std::string>{
                                      Request("{SV}s6{CD}c22{EM}6{EN}4{EO}0{EP}2{EE}20{F}"), "0"}))
            << c.answer;
    }
    // "TOT" makes the length the minimum, "OBL" one character.
    for (const auto& [format, minimum] : {std::pair{"TOT MIN02", "6"}, std::pair{"OBL", "1"}, std::pair{"", "0"}}) {
        Reply("c22", "{SS}R{PS}1{SV}s6{CD}c22{EL}V1{F}");
        char zone[7] = "";
        char key = 0;
        PosWaitZoneEntry(console, window, 20000, 2, 3, 6, zone, format, &key);
        EXPECT_EQ(clock.With(std::string("{EN}") + minimum + "{").size(), 1u) << format;
        clock.received.clear();
    }
}

// The answer to a secret zone never reaches the exchange log nor a trace
// line in clear: its entry value keeps only its 'V'.
TEST_F(Dialogue, SecretZoneAnswerIsMasked_Mended) {
    Options.PosGuiOptions = 0x10;
    Reply("c22", "{SS}R{PS}1{SV}s6{CD}c22{EL}V987654{F}");
    char zone[7] = "";
    char key = 0;
    TraceCapture trace;
    EXPECT_EQ(PosWaitZoneEntry(console, window, 20000, 2, 3, 6, zone, "SECRET", &key), 1);
    EXPECT_STREQ(zone, "987654");
    EXPECT_EQ(key, 'V');
    EXPECT_EQ(clock.With("{EO}1{").size(), 1u);
    EXPECT_TRUE(trace.Contains("Zone saisie (****** / V)"));
    for (const auto& line : testsupport::TraceCapture::lines()) EXPECT_EQ(line.find("987654"), std::string::npos);
    const std::string log = PosLog();
    EXPECT_NE(log.find("(POS) {SS}R{PS}1{SV}s6{CD}c22"), std::string::npos);
    EXPECT_NE(log.find("{EL}V------"), std::string::npos);
    EXPECT_EQ(log.find("987654"), std::string::npos);
}

// The program edits the zone itself (PosGuiOptions without 0x10): each key
// is awaited, the zone shown again; a secret zone shows '*' and is logged
// with '-'.
TEST_F(Dialogue, ZoneEditedByTheProgram) {
    for (const char* k : {"1", "2", "C", "3", "V"}) Key(k);
    char zone[7] = "";
    char key = 0;
    EXPECT_EQ(PosWaitZoneEntry(console, window, 20000, 2, 3, 4, zone, "SECRET NUM OBL", &key), 1);
    // "13" is complete for a mandatory entry: the rest becomes blanks.
    EXPECT_STREQ(zone, "13  ");
    EXPECT_EQ(key, 'V');
    const auto shown = clock.With("{CD}c20");
    ASSERT_GE(shown.size(), 5u);
    EXPECT_NE(shown[0].find("{EB}1{EA}3{EC}0{ED}____{F}"), std::string::npos);
    EXPECT_NE(shown[1].find("{ED}*___{F}"), std::string::npos);
    EXPECT_NE(shown[2].find("{ED}**__{F}"), std::string::npos);
    EXPECT_NE(shown[3].find("{ED}*___{F}"), std::string::npos);  // after 'C'
    EXPECT_EQ(PosLog().find("{ED}*"), std::string::npos);

    // A total entry needs every place: 'V' on "12__" waits for more; 'F'
    // abandons.
    for (const char* k : {"1", "2", "V", "F"}) Key(k);
    zone[0] = '\0';
    EXPECT_EQ(PosWaitZoneEntry(console, window, 20000, 2, 3, 4, zone, "NUM TOT", &key), -1);
    EXPECT_EQ(key, 'A');
}

TEST_F(Dialogue, SelectionByTheCashRegister) {
    Options.PosGuiOptions = 0x100;
    Options.MaintainerTillRight = 0;
    // Three items of 8 bytes, then the format: item 2 asks for a response.
    char items[3 * 8 + 16] = {};
    std::strcpy(items, "UN");
    std::strcpy(items + 8, "DEUX");
    std::strcpy(items + 16, "TROIS");
    std::strcpy(items + 24, "RESP RESP002");
    struct Case {
        const char* ek;
        unsigned choice;
    } cases[] = {{"2", 2}, {"3", 3}, {"0", 0}, {"4", 0}, {"-1", 0}, {"2x", 0}, {"99999999999", 0}};
    for (const Case& c : cases) {
        Reply("c44", std::string("{SS}R{PS}1{SV}s6{CD}c44{EK}") + c.ek + "{F}");
        clock.received.clear();
        unsigned choice = 77;
        EXPECT_EQ(PosWaitSelection(console, window, 5000, 4, 20, 3, 8, 0, "Titre", items, &choice), 1) << c.ek;
        EXPECT_EQ(choice, c.choice) << c.ek;
        clock.Serve();
        EXPECT_EQ(clock.received,
                  (std::vector<std::string>{Request("{SV}s6{CD}c44{E8}8{E9}3{EA}0{EB}0{EJ}Titre{EE}4"
                                                    "{EK}1{ED}UN{EK}2{ED}DEUX{EP}1{EK}3{ED}TROIS{F}"),
                                            "0"}))
            << c.ek;
    }
    // Under 2 s the selection is refused at once.
    unsigned choice = 9;
    clock.received.clear();
    EXPECT_EQ(PosWaitSelection(console, window, 1500, 4, 20, 3, 8, 0, "Titre", items, &choice), -1);
    EXPECT_EQ(choice, 0u);
    clock.Serve();
    EXPECT_TRUE(clock.received.empty());
}

TEST_F(Dialogue, SelectionListedByTheProgram) {
    char items[3 * 8 + 1] = {};
    std::strcpy(items, "un");
    std::strcpy(items + 8, "deux");
    std::strcpy(items + 16, "trois");
    for (const char* k : {"C", "F", "F", "F", "V"}) Key(k);  // down, down, wrap to the top, down
    unsigned choice = 0;
    EXPECT_EQ(PosWaitSelection(console, window, 5000, 4, 20, 3, 8, 0, "TITRE", items, &choice), 1);
    EXPECT_EQ(choice, 2u);
    const auto shown = clock.With("{CD}c20");
    ASSERT_GE(shown.size(), 4u);
    EXPECT_NE(shown[0].find("{EB}0{EA}0{EC}1{ED}titre{F}"), std::string::npos);
    EXPECT_NE(shown[1].find("{EB}1{EA}0{EC}0{ED}>UN{F}"), std::string::npos);
    EXPECT_NE(shown[2].find("{EB}2{EA}0{EC}0{ED} DEUX{F}"), std::string::npos);

    for (const char* k : {"A"}) Key(k);
    EXPECT_EQ(PosWaitSelection(console, window, 5000, 4, 20, 3, 8, 0, "", items, &choice), -1);
}

// The windows of the POS GUI wait and select through the cash register.
TEST_F(Dialogue, PosWindowKeyEntryAndSelectionRoutes) {
    Key("V");
    EXPECT_EQ(TOC_ZoneWaitKey("P5", 3000, 0), 'V');
    EXPECT_EQ(clock.With("{CD}c21{EE}3{EP}0{F}").size(), 1u);

    Key("8");
    Key("V");
    char data[8] = "";
    EXPECT_EQ(TOC_ZoneWaitEntry("P5", 3000, 2, 1, 1, data, sizeof data, "NUM"), 'V');
    EXPECT_STREQ(data, "8");

    Options.PosGuiOptions = 0x100;
    Reply("c44", "{SS}R{PS}1{SV}s6{CD}c44{EK}2{F}");
    char items[2 * 6 + 1] = "UN\0\0\0\0DEUX";
    EXPECT_EQ(TOC_ZoneWaitSelection("P5", 5000, 2, 6, 0, "", items), 2);

    // The PC console's windows choose nothing yet; the display of a message
    // by text id on "P5" reaches the cash register.
    EXPECT_EQ(TOC_ZoneWaitSelection("CA", 5000, 2, 6, 0, "", items), 255);
    clock.received.clear();
    TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_ABORT");
    clock.Serve();
    // The zone message puts the text on the row of its size byte (2 on a
    // window of 4 rows); the window goes one row at a time, the first
    // clearing the cash register's window.
    EXPECT_FALSE(clock.With("{CD}c20{E9}4{E8}20{EB}0{EA}0{EC}1{ED}").empty()) << clock.received.size();
    EXPECT_FALSE(clock.With("{CD}c20{E9}4{E8}20{EB}1{EA}0{EC}0{ED}ZNP_DSP_USER_SYS_ERR").empty());
}

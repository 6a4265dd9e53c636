// The wait callback of the terminal waits, called as a protocol module calls
// it with the echo it read: the cash register's requests during the wait,
// the mirror of the terminal's display and keep-alive (option -e), the
// terminal state's flash information, the pad keys and the hidden service
// menu, through the real POS link.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/service_states.h"
#include "periph/terminal_box.h"
#include "station/options.h"
#include "station/text_field.h"
#include "support/app_session.h"
#include "support/trace_capture.h"
#include "transactions/pos_answer.h"
#include "transactions/wait_callback.h"

using testsupport::AppSessionTest;
using testsupport::TraceCapture;

namespace {

class Callback : public AppSessionTest {
protected:
    void SetUp() override {
        AppSessionTest::SetUp();
        CopyField(record->service, "s0");
        CopyField(record->command, "c1");
        CopyField(record->titleId, "ZNP_DSP_TITLE_DEBIT");
        SaveRequestServiceCommand("s0", "c1");
        record->posAnswerState = 1;
        record->step = 1;
        context->loopState = 40;
    }
    // The callback with an echo text (bytes; the rest of the 130 zeroed).
    std::string Call(const std::string& echo) {
        char text[kTerminalEchoSize] = {};
        std::memcpy(text, echo.data(), std::min(echo.size(), sizeof text));
        WaitCallback(text);
        clock.Serve();
        return std::string(1, text[0]);
    }
    // A display line as the terminal echoes it: 'D', its length, ESC 'P',
    // the line number, the column, the text.
    static std::string DisplayLine(int line, const std::string& text) {
        std::string command = std::string("\x1BP") + static_cast<char>(line) + '\x01' + text;
        return std::string("D") + static_cast<char>(command.size()) + command;
    }
    std::string AbortAnswer() const { return AnswerHead() + "{SV}s0{CD}c1{RS}33{F}"; }
};

}  // namespace

TEST_F(Callback, RequestsOfTheCashRegisterDuringAWait) {
    struct Case {
        const char* request;
        int inhibition;
        bool stops;
        std::vector<std::string> sent;  // what the cash register receives
    } cases[] = {
        {"{SS}R{PS}1{SV}s3{CD}c0{F}", 0, true, {"0", ""}},
        {"{SS}R{PS}1{SV}s3{CD}c0{D9C}1{F}", 0, true, {"0", ""}},  // without terminal reset
        {"{SS}R{PS}1{SV}s3{CD}c0{F}", 1, false, {"6"}},
        {"{SS}R{PS}1{SV}s0{CD}c1{F}", 0, false, {"5"}},
        {"{SS}R{PS}1{SV}S3{CD}C0{F}", 0, false, {"5"}},  // exact case during a wait
        {"{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{F}", 0, false, {"0"}},
    };
    for (Case& c : cases) {
        for (std::string& m : c.sent)
            if (m.empty()) m = AbortAnswer();
        context->abortInhibition = c.inhibition;
        context->abortInCallback = 0;
        context->loopState = 40;
        record->posAnswerState = 1;
        SaveRequestServiceCommand("s0", "c1");
        clock.received.clear();
        Send(c.request);
        EXPECT_EQ(Call("") == "S", c.stops) << c.request;
        EXPECT_EQ(clock.received, c.sent) << c.request;
        EXPECT_EQ(context->loopState, c.stops ? 0 : 40) << c.request;
        EXPECT_EQ(context->abortInCallback, c.stops && std::strstr(c.request, "D9C") == nullptr ? 1 : 0)
            << c.request;
    }
    // No server is connected during this wait: the flash information waits
    // for the next exchange, the message type unchanged.
    EXPECT_STRNE(context->applicationCode, "1410");
    EXPECT_STREQ(context->pendingPosFlash, "{SS}R{PS}1{SV}s11{CD}c1{D3G}hello{F}");
    EXPECT_EQ(EPAP_GetWaitCallback(), &WaitCallback);
}

TEST_F(Callback, CloseRequestEndsTheProgram) {
    Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
    EXPECT_EXIT(
        {
            Call("");
            std::_Exit(3);  // not reached
        },
        ::testing::ExitedWithCode(0), "");
    clock.Serve();
    EXPECT_EQ(clock.received, std::vector<std::string>{"0"});
}

TEST_F(Callback, RequestsAreNotReadDuringAReplacingRequest) {
    CopyField(record->command, "C1I");
    Send("{SS}R{PS}1{SV}s3{CD}c0{F}");
    EXPECT_EQ(Call(""), std::string(1, '\0'));
    EXPECT_TRUE(clock.received.empty());
    EXPECT_EQ(testsupport::PosPeer::Status(peer.fromPos()), poslink::kStatusPresent);
}

// With -e1 the terminal's display lines are gathered and sent as one
// message once the last line of its display came; an unchanged screen is
// not sent again; blank lines are left out.
TEST_F(Callback, DisplayMirroredToTheCashRegister) {
    g_processOptions.echoMode = 1;
    EchoScreenReset(3);
    EXPECT_EQ(Call(DisplayLine(1, "MONTANT")), "D");
    EXPECT_EQ(Call(DisplayLine(2, "        ")), "D");
    EXPECT_TRUE(clock.received.empty());
    Call(DisplayLine(3, "12,50 EUR"));
    const std::string d34 = "\x1BH\x1BP\x01\x01MONTANT\x1BP\x03\x01" "12,50 EUR";
    EXPECT_EQ(clock.received, std::vector<std::string>{AnswerHead() + "{SV}s5{CD}c27{D34}" + d34 + "{F}"});

    // The same screen again: nothing; a changed line: sent.
    clock.received.clear();
    Call(DisplayLine(1, "MONTANT"));
    Call(DisplayLine(2, "        "));
    Call(DisplayLine(3, "12,50 EUR"));
    Call("D\x02\x1BH");
    EXPECT_TRUE(clock.received.empty());
    Call(DisplayLine(1, "TAPEZ CODE"));
    Call("D\x02\x1BH");  // screen complete
    ASSERT_EQ(clock.received.size(), 1u);
    EXPECT_NE(clock.received[0].find("{D34}\x1BH\x1BP\x01\x01TAPEZ CODE\x1BP\x03\x01" "12,50 EUR{F}"),
              std::string::npos);

    // Without -e1 the display is not mirrored.
    g_processOptions.echoMode = 0;
    clock.received.clear();
    Call(DisplayLine(1, "AUTRE"));
    Call(DisplayLine(3, "ECRAN"));
    EXPECT_TRUE(clock.received.empty());
}

// A line number beyond the terminal's display (or beyond the ten lines of
// the echo screen) is refused: it would land outside the screen.
TEST_F(Callback, DisplayLineOutsideTheScreenIsRefused_Mended) {
    g_processOptions.echoMode = 1;
    EchoScreenReset(2);
    for (int line : {0, 3, 11, 200}) {
        TraceCapture trace;
        Call(DisplayLine(line, "X"));
        EXPECT_TRUE(trace.Contains("hors de l'ecran du lecteur")) << line;
    }
    EchoScreenReset(40);  // more lines than the echo screen holds
    TraceCapture trace;
    Call(DisplayLine(11, "X"));
    EXPECT_TRUE(trace.Contains("Ligne d'affichage 11 hors de l'ecran du lecteur (10 lignes)"));
    EXPECT_TRUE(clock.received.empty());
}

// With -e2 each keep-alive of the terminal is relayed and extends the pad
// service's wait to the keep-alive period plus 2.5 s.
TEST_F(Callback, KeepAliveRelayed) {
    g_processOptions.echoMode = 2;
    record->keepAliveSec = 30;
    record->echoTimeoutMs = 5000;
    EXPECT_EQ(Call("K\x01" "7"), "K");
    EXPECT_EQ(clock.received, std::vector<std::string>{AnswerHead() + "{SV}s5{CD}c27{D33}7{F}"});
    EXPECT_EQ(record->echoTimeoutMs, 32500);

    g_processOptions.echoMode = 1;
    clock.received.clear();
    Call("K\x01" "7");
    EXPECT_TRUE(clock.received.empty());
    EXPECT_EQ(record->echoTimeoutMs, 32500);
}

TEST_F(Callback, TerminalStateChangeIsAFlashInformation) {
    record->lastFlashState = -1;
    Call("PP1");
    EXPECT_EQ(clock.received,
              std::vector<std::string>{AnswerHead() + "{SV}s11{CD}c1{RS}01{D16}00_0000{D3G}PP1{F}"});
    clock.received.clear();
    Call("PP1");  // the same state: nothing
    Call("PX1");
    EXPECT_TRUE(clock.received.empty());
    Call("PP0");
    EXPECT_EQ(clock.received.size(), 1u);
    EXPECT_EQ(record->lastFlashState, 0);
}

// The terminal fills its 130 bytes without a terminator: the state's text
// is taken within them.
TEST_F(Callback, TerminalStateTextWithoutTerminatorIsBounded_Mended) {
    record->lastFlashState = -1;
    const std::string echo = "PP1" + std::string(kTerminalEchoSize - 3, 'z');
    Call(echo);
    EXPECT_EQ(clock.received,
              std::vector<std::string>{AnswerHead() + "{SV}s11{CD}c1{RS}01{D16}00_0000{D3G}" + echo + "{F}"});
}

class PadKeys : public Callback {
protected:
    void SetUp() override {
        Callback::SetUp();
        p5 = AddPosWindow();
        Options.TouchMode = 0;
        Options.SpecialMenu = 1;
        Options.PosGuiOptions = 0x100;  // the cash register shows the lists
    }
    void Key(const char* key) { clock.replies["c21"].push_back(std::string("{SS}R{PS}1{SV}s6{CD}c21{EF}") + key + "{F}"); }
    void Choose(int item) {
        clock.replies["c44"].push_back("{SS}R{PS}1{SV}s6{CD}c44{EK}" + std::to_string(item) + "{F}");
    }
    KT_TEXT_WINDOW* p5 = nullptr;
};

// With the menu armed the pad is polled for a key (the cash register's key
// of window "P5") instead of the mailbox; a request that comes then ends the
// key wait and is refused.
TEST_F(PadKeys, PadPolledForAKeyInsteadOfTheMailbox) {
    EXPECT_EQ(Call(""), std::string(1, '\0'));
    EXPECT_EQ(clock.received, std::vector<std::string>{AnswerHead() + "{SV}s6{CD}c21{EE}0{EP}0{F}"});
    // The key wait: 100 ms is below the console's second, a look, then 250
    // ms of grace.
    EXPECT_GE(clock.slept, 250);

    clock.received.clear();
    Send("{SS}R{PS}1{SV}s0{CD}c1{F}");
    EXPECT_EQ(Call(""), std::string(1, '\0'));
    EXPECT_EQ(clock.received, std::vector<std::string>{"5"});
    EXPECT_EQ(context->loopState, 40);
}

TEST_F(PadKeys, KeyAAbortsWithoutAcknowledgingTheCashRegister) {
    Key("a");
    EXPECT_EQ(Call(""), "S");
    // The key answer is acknowledged; the abort message is shown on "P5"
    // (title, then the text), and the abort answer follows, no '0' of an
    // abort.
    ASSERT_EQ(clock.received.size(), 5u);
    EXPECT_NE(clock.received[0].find("{CD}c21"), std::string::npos);
    EXPECT_EQ(clock.received[1], "0");
    EXPECT_NE(clock.received[2].find("{CD}c20"), std::string::npos);
    EXPECT_NE(clock.received[3].find("{CD}c20{E9}4{E8}20{EB}2{EA}0{EC}0{ED}ZNP_DSP_USER_SYS_ERR"), std::string::npos)
        << clock.received[3];
    EXPECT_EQ(clock.received[4], AbortAnswer());
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(Options.SpecialMenu, 3);
}

TEST_F(PadKeys, AbortOrStopDuringTheKeyWait) {
    // The cash register sends an abort instead of a key.
    clock.replies["c21"].push_back("{SS}R{PS}1{SV}s3{CD}c0{F}");
    EXPECT_EQ(Call(""), "S");
    EXPECT_EQ(clock.received.back(), AbortAnswer());
    EXPECT_EQ(context->abortInCallback, 1);
}

TEST_F(PadKeys, HiddenMenuFactoryMaintenanceReplacesTheTransaction) {
    Options.TelechMode = 3;  // factory and normal maintenance
    Key("C");
    Choose(2);  // cancel, factory, normal
    Key("V");
    TraceCapture trace;
    EXPECT_EQ(Call(""), "S");
    EXPECT_TRUE(trace.Contains("Entree dans le menu cache"));
    EXPECT_TRUE(trace.Contains("Maintenance forcee choisie"));
    const auto lists = clock.With("{CD}c44");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_NE(lists[0].find("{E9}3{EA}0{EB}0{EJ}{EE}599{EK}1{ED}"), std::string::npos);
    EXPECT_NE(lists[0].find("{EK}2{ED}"), std::string::npos);
    EXPECT_NE(lists[0].find("{EK}3{ED}"), std::string::npos);
    EXPECT_EQ(context->loopState, 10);
    EXPECT_EQ(record->step, 0);
    EXPECT_EQ(Options.SpecialMenu, 2);
    EXPECT_STREQ(context->applicationCode, "1500");
    EXPECT_STREQ(record->service, "s2");
    EXPECT_STREQ(record->command, "c1c");
    EXPECT_NE(std::string(context->posRequest).find("{SS}R{PS}" + std::to_string(station) + "{SV}s2{CD}c1c{D3C}1{D2R}8{F}"),
              std::string::npos);
}

TEST_F(PadKeys, HiddenMenuConfirmationOtherThanVGoesBackToTheMenu) {
    Options.TelechMode = 4;  // logo loading only
    Key("C");
    Choose(2);
    Key("F");  // not confirmed: the menu again
    Choose(2);
    Key("V");
    EXPECT_EQ(Call(""), "S");
    EXPECT_EQ(clock.With("{CD}c44").size(), 2u);
    EXPECT_STREQ(record->command, "c1d");
    EXPECT_NE(std::string(context->posRequest).find("{CD}c1d{D49}1{F}"), std::string::npos);
}

TEST_F(PadKeys, HiddenMenuLeftGoesOnWithTheWait) {
    Options.TelechMode = 2;
    Key("C");
    Choose(1);  // the cancel entry
    TraceCapture trace;
    EXPECT_EQ(Call(""), std::string(1, '\0'));
    EXPECT_EQ(context->loopState, 40);
    EXPECT_EQ(Options.SpecialMenu, 3);
    EXPECT_TRUE(trace.Contains("Saisie : 1"));
}

// With the cancel entry alone the menu takes it without asking.
TEST_F(PadKeys, HiddenMenuWithOneEntryDoesNotAsk) {
    Key("C");
    EXPECT_EQ(Call(""), std::string(1, '\0'));
    EXPECT_TRUE(clock.With("{CD}c44").empty());
    EXPECT_EQ(context->loopState, 40);
}

TEST_F(PadKeys, HiddenMenuManualCardEntryEndsWithResult33WithoutATerminal) {
    Options.ManualMode = 1;
    Key("C");
    Choose(2);
    Key("V");
    TraceCapture trace;
    EXPECT_EQ(Call(""), "S");
    EXPECT_TRUE(trace.Contains("Saisie manuelle choisie"));
    EXPECT_EQ(record->step, 10);
    EXPECT_STREQ(record->resultCode, "33");
}

TEST_F(PadKeys, HiddenMenuManualChequeEntryTurnsTheRequestIntoACheque) {
    Options.ManualMode = 2;
    CopyField(record->service, "s7");
    std::snprintf(context->serverRequest, sizeof context->serverRequest, "%s", "{SS}R{PS}1{SV}s7{CD}c24{F}");
    CardMode = 1;
    Key("C");
    Choose(2);  // cancel, manual cheque
    Key("V");
    EXPECT_EQ(Call(""), "S");
    EXPECT_EQ(CardMode, 0);
    EXPECT_STREQ(record->service, "s1");
    const std::string request = context->serverRequest;
    EXPECT_NE(request.find("{SV}s1{"), std::string::npos) << request;
    EXPECT_EQ(request.find("{SV}s7"), std::string::npos) << request;
    EXPECT_EQ(record->step, 10);
    EXPECT_STREQ(record->resultCode, "33");
}

// The program lists the items itself (PosGuiOptions without 0x100): each
// item a display line, 'F' moves down, 'V' chooses.
TEST_F(PadKeys, HiddenMenuListedByTheProgram) {
    Options.PosGuiOptions = 0;
    Options.TelechMode = 1;
    Key("C");
    Key("F");
    Key("V");  // chooses the factory maintenance
    Key("V");  // confirms it
    EXPECT_EQ(Call(""), "S");
    EXPECT_FALSE(clock.With("{CD}c20{E9}4{E8}20{EB}1{EA}0{EC}0{ED}>").empty());
    EXPECT_STREQ(record->command, "c1c");
    EXPECT_EQ(context->loopState, 10);
}

// The terminal command layer, the terminal restart and reboot, and the pad
// reset, in an open session of the program with a recording fake of the
// terminal script API in place of the terminal: which command each
// operation sets on which function, how it reads the answer, what it traces
// when a step fails and when it clears the script.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/tag_buffer.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/options.h"
#include "station/text_field.h"
#include "support/app_session.h"
#include "support/epap_fake.h"
#include "support/trace_capture.h"
#include "transactions/maintenance.h"
#include "transactions/pos_answer.h"
#include "transactions/terminal_commands.h"
#include "transactions/terminal_restart.h"
#include "transactions/wait_callback.h"

using testsupport::AppSessionTest;
using testsupport::EpapFake;
using testsupport::TraceCapture;

namespace {

// A trace line of a category ("[CAT] message": the category, then the
// message, as the trace writes them; the trace keeps 15 characters of a
// category).
bool Traced(const TraceCapture& trace, const std::string& line) {
    const size_t space = line.find(' ');
    const std::string category = line.substr(0, std::min<size_t>(space, 15));
    const std::string message = line.substr(space + 1);
    for (const auto& l : trace.Snapshot()) {
        const size_t at = l.find(category);
        if (at != std::string::npos && l.find(message, at + category.size()) != std::string::npos) return true;
    }
    return false;
}

class TerminalCommands : public AppSessionTest {
protected:
    void SetUp() override {
        AppSessionTest::SetUp();
        fake.protocols[4] = 16;
        fake.protocols[0] = 16;
        fake.protocols[1] = 16;
        fake.copiers[152] = [](va_list a) {
            const int kind = va_arg(a, int);
            const int option = va_arg(a, int);
            return std::to_string(kind) + "," + std::to_string(option);
        };
        fake.copiers[160] = [](va_list a) { return std::to_string(va_arg(a, int)); };
        fake.copiers[100] = [](va_list a) { return std::to_string(va_arg(a, CardReadRecord*)->mode); };
    }
    // The calls made, without the protocol questions: "set4/100 send get4/100
    // getEx1/13@7000 clear wait4".
    std::string Calls() const {
        std::string out;
        for (const auto& c : fake.calls) {
            if (c.op == "protocol") continue;
            if (!out.empty()) out += ' ';
            out += c.op;
            if (c.op == "set" || c.op == "get" || c.op == "getEx")
                out += std::to_string(c.function) + "/" + std::to_string(c.command);
            if (c.op == "getEx") out += "@" + std::to_string(c.timeoutMs);
            if (c.op == "wait") out += std::to_string(c.function);
        }
        return out;
    }
    int Count(const std::string& op, int command) const {
        int n = 0;
        for (const auto& c : fake.callsOf(op))
            if (c.command == command) ++n;
        return n;
    }
    EpapFake fake;
};

struct CommandCase {
    const char* name;
    std::function<int(TransactionRecord*)> run;
    const char* calls;       // on success
    const char* setFailure;  // trace of a failing set ("" none)
};

TEST_F(TerminalCommands, EachCommandSetsSendsReadsAndClearsAsItsTableSays) {
    Options.ClsMaximalAmount = 1;
    const std::vector<CommandCase> cases = {
        {"card status", [](TransactionRecord* r) { return TermCardStatus(&r->cardReadRecord); },
         "set4/100 send get4/100", "[CARD_STATUT] Formatage des scripts de lecture carte echoue (5)"},
        {"card status off", [](TransactionRecord* r) { return TermCardStatusOff(&r->cardReadRecord); },
         "set4/100 send get4/100 clear", "[CARD_STATUT] Formatage des scripts de lecture carte echoue (5)"},
        {"abort", [](TransactionRecord*) { return TermAbort(0); }, "set4/14 send get4/14 clear",
         "[ABORT] Erreur lors du formatage d'un ABORT (5)"},
        {"abort with second answer", [](TransactionRecord*) { return TermAbort(1); },
         "set4/14 send get4/14 get4/14 clear", "[ABORT] Erreur lors du formatage d'un ABORT (5)"},
        {"print line", [](TransactionRecord*) { return TermPrintLine("BONJOUR", 7); }, "set1/13 send getEx1/13@7000 clear",
         "[PRINT] Positonnement de la commande d'ajustement du nombre de colonne echouee (5)"},
        {"print status", [](TransactionRecord*) { return TermGetPrintStatus(0); }, "set1/15 send get1/15 clear", ""},
        {"reset device", [](TransactionRecord*) { return TermResetDevice(1, 0x27); }, "set4/152 send get4/152 clear",
         "[RESET_DEVICE] Erreur lors du formatage d'un RESET_DEVICE (5)"},
        {"power card reader", [](TransactionRecord*) { return TermPowerCardReader(0); },
         "set4/159 send get4/159 clear",
         "[POWERCARDREADER_ONOFF] Erreur lors du formatage d'un POWERCARDREADER_ONOFF (5)"},
        {"select aid", [](TransactionRecord*) { return TermSelectAid(); }, "set4/101 send",
         "[SELECT_AID] Formatage des scripts de Select echoue (5)"},
        {"select aid result", [](TransactionRecord*) { return TermSelectAidResult(); }, "get4/101 clear", ""},
        {"open contactless", [](TransactionRecord*) { return TermOpenInitCtl(); }, "set4/130 send getEx4/130@7000 clear",
         "[OPEN_INIT_CTL] Formatage des scripts de OPEN_INIT_CTL echoue (5)"},
        {"terminal information", [](TransactionRecord*) { return TermGetInfo(1, 0); }, "set4/93 send get4/93 clear",
         "[EVENT] Creation de la demande d'info echouee (5)"},
        {"barcode command", [](TransactionRecord*) { return TermBarcodeCommand(1, 0, 0); }, "set4/178 send",
         "[BARCODE] Mise en place du script d'activation code barre echouee (5)"},
        {"stop barcode reader", [](TransactionRecord*) { return TermStopBarcodeReader(); },
         "set4/178 send get4/178 clear", "[BARCODE] Mise en place du script d'activation code barre echouee (5)"},
        {"holder wait screen", [](TransactionRecord*) { return TermShowHolderWait("ZNP_DSP_HOLDER_WAIT_FOR"); },
         "set0/160 send getEx0/160@7000 clear clear", ""},
        {"card result", [](TransactionRecord*) { return TermGetCardResult(131); }, "get4/131", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.calls.clear();
        EXPECT_EQ(c.run(record), 0);
        EXPECT_EQ(Calls(), c.calls);
        if (*c.setFailure == '\0') continue;
        fake.calls.clear();
        fake.script("set", {5});
        TraceCapture trace;
        const int result = c.run(record);
        EXPECT_TRUE(result == 5 || result == -1) << result;
        EXPECT_TRUE(Traced(trace, c.setFailure));
        EXPECT_EQ(fake.calls.back().op, "clear");
    }
}

TEST_F(TerminalCommands, StatusesComeBackUnchanged) {
    // A lost link (33) is the caller's to map: the layer hands it back.
    fake.script("get", {PV_NET_FAILED});
    TraceCapture trace;
    EXPECT_EQ(TermResetDevice(0, 0x2f), PV_NET_FAILED);
    EXPECT_TRUE(Traced(trace, "[RESET_DEVICE] Erreur lors de la reception d'un RESET_DEVICE (33)"));
    fake.script("send", {PV_NET_TIMEOUT});
    EXPECT_EQ(TermPowerCardReader(1), PV_NET_TIMEOUT);
    // "Nothing yet" and "nothing" of a card status are no failure.
    fake.script("get", {PV_NOT_YET, PV_CMD_NOTHING, PV_PROTO_ERROR});
    EXPECT_EQ(TermCardStatus(&record->cardReadRecord), 0);
    EXPECT_EQ(TermCardStatus(&record->cardReadRecord), 0);
    fake.calls.clear();
    EXPECT_EQ(TermCardStatus(&record->cardReadRecord), PV_PROTO_ERROR);
    EXPECT_EQ(Calls(), "set4/100 send get4/100");  // a read failure keeps the script
}

TEST_F(TerminalCommands, CardStatusModeFollowsClsOnlyAndTheKeyAbort) {
    struct Case {
        int clsOnly;
        bool keyAbort;
        const char* on;   // mode sent, "" nothing
        const char* off;
    } cases[] = {{0, false, "1", "0"}, {0, true, "1", "0"}, {1, true, "4", "8"}, {1, false, "", ""}, {2, true, "", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.clsOnly) + (c.keyAbort ? " armed" : ""));
        Options.ClsOnly = c.clsOnly;
        record->cardReadRecord.keyAbortRequested = c.keyAbort ? 1 : 0;
        record->cardReadRecord.keyAbortRequestedByte = c.keyAbort ? 1 : 0;
        fake.calls.clear();
        EXPECT_EQ(TermCardStatusOn(&record->cardReadRecord), 0);
        EXPECT_EQ(TermCardStatusOff(&record->cardReadRecord), 0);
        std::string modes;
        for (const auto& s : fake.callsOf("set")) modes += s.args;
        EXPECT_EQ(modes, std::string(c.on) + c.off);
    }
}

TEST_F(TerminalCommands, ResetKindAndOptionByte) {
    struct Case {
        const char* code;
        int beep;
        int automatic;
        uint8_t chipOptions;
        const char* service;
        const char* sent;
    } cases[] = {
        {"9001", 0, 0, 0, "s0", "0,47"},       // 0x2f
        {"9002", 0, 0, 0, "s0", "1,47"},       // hard
        {"9002", 4, 0, 0, "s0", "1,39"},       // Beep bit 2: 0x27
        {"9003", 4, 0, 0, "s0", "0,39"},       // other codes are soft
        {"9001", 4, 2, 0x11, "s0", "0,55"},    // card removal: +0x10
        {"9001", 0, 2, 0x13, "s0", "0,63"},    //
        {"9001", 0, 2, 0x01, "s0", "0,47"},    // no chip wait in the options
        {"9001", 0, 2, 0x11, "s4", "0,47"},    // never for s4
        {"9001", 0, 1, 0x11, "s0", "0,47"},    // Automatic without bit 1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.code) + " " + c.sent);
        Options.Beep = c.beep;
        Options.Automatic = c.automatic;
        Options.CardRemovalMode = 1;
        CopyField(record->service, c.service);
        CopyField(record->command, "c1");
        record->cardReadRecord.chipRequested = 1;
        record->cardReadRecord.chipOptions = c.chipOptions;
        fake.calls.clear();
        TraceCapture trace;
        EXPECT_EQ(TermReset(c.code, 0), 0);
        const auto sets = fake.callsOf("set");
        ASSERT_EQ(sets.size(), 2u);
        EXPECT_EQ(sets[0].command, 14);  // the abort comes first
        EXPECT_EQ(sets[1].command, 152);
        EXPECT_EQ(sets[1].args, c.sent);
        EXPECT_EQ(Traced(trace, "[RUDA] Reset avec retrait carte"), std::string(c.sent) == "0,55" ||
                                                                        std::string(c.sent) == "0,63");
    }
    fake.calls.clear();
    fake.script("get", {0, 7});  // the abort answers, the reset fails
    TraceCapture trace;
    EXPECT_EQ(TermReset("9001", 0), 1);
    EXPECT_TRUE(Traced(trace, "[RUDA]  Echec du reset TQ"));
    // A terminal still to connect in server mode is left alone.
    Options.WaitForPinpad = 1;
    record->terminalServerWait = 1;
    fake.calls.clear();
    EXPECT_EQ(TermReset("9002", 0), 0);
    EXPECT_EQ(Calls(), "");
}

TEST_F(TerminalCommands, CancelContactlessRereads) {
    struct Case {
        int model;
        std::vector<int> answers;
        int result;
        int reads;
    } cases[] = {
        {671, {34, 34, 34}, 34, 3},  // LR531: two more reads on a time-out
        {640, {34, 34, 0}, 0, 3},    // LR510
        {100, {34}, 34, 1},          // others: the first time-out fails
        {100, {2, 64, 0}, 0, 3},     // unknown and not yet read again
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        record->terminalModel = c.model;
        fake.calls.clear();
        fake.script("get", c.answers);
        EXPECT_EQ(TermCancelContactless(1), c.result);
        EXPECT_EQ(Count("get", 132), c.reads);
        EXPECT_EQ(fake.calls.back().op, "clear");
    }
    fake.calls.clear();
    fake.script("get", {34});
    EXPECT_EQ(TermCancelContactless(0), 34);
    EXPECT_NE(fake.calls.back().op, "clear");  // no clear flag: the script stays
}

TEST_F(TerminalCommands, CancelContactlessRereadsAreBounded_Mended) {
    fake.script("get", std::vector<int>(500, PV_NOT_YET));
    TraceCapture trace;
    EXPECT_EQ(TermCancelContactless(1), PV_NOT_YET);
    EXPECT_LT(Count("get", 132), 500);
    EXPECT_TRUE(trace.Contains("Recuperation de la notification de CANCEL_CTL_TRS echoue (64)"));
}

TEST_F(TerminalCommands, TerminalInformationIsAskedOnceAndKeepsTheSerialNumber) {
    fake.writers[93] = [](va_list a) {
        TerminalInfoArea* info = va_arg(a, TerminalInfoArea*);
        std::strcpy(info->identifier, "12345678");
        info->parts[0].serialLength = 12;
        std::memcpy(info->parts[0].serial, "000111222333", 12);
    };
    Options.ClsMaximalAmount = 1500;
    EXPECT_EQ(TermGetInfo(0, 1), 0);
    EXPECT_EQ(Count("set", 93), 2);  // once more for the contactless reader
    EXPECT_EQ(record->infoRetried, 1);
    EXPECT_EQ(record->terminalSerialNumberLength, 12);
    EXPECT_STREQ(record->terminalSerialNumber, "000111222333");
    EXPECT_EQ(TermGetInfo(0, 1), 0);  // known: not asked again
    EXPECT_EQ(Count("set", 93), 2);
    fake.script("get", {PV_NET_FAILED});
    EXPECT_EQ(TermGetInfo(1, 0), -1);
}

// The reset answer's writer as the RUDA decoder works: the serial number
// copied over the caller's text, at most as many characters as it holds,
// the text ending after the copy; nothing when the answer has none.
EpapFake::Writer SerialAnswer(const std::string& serial) {
    return [serial](va_list a) {
        char* text = va_arg(a, char*);
        if (serial.empty()) return;
        const size_t n = std::min(std::strlen(text), serial.size());
        std::memcpy(text, serial.data(), n);
        text[n] = '\0';
    };
}

TEST_F(TerminalCommands, TheResetAnswerKeepsTheTerminalSerialNumber_Mended) {
    const struct {
        const char* name;
        const char* answered;  // "" the answer holds none
        int status;            // of the reset's read
        const char* kept;
    } cases[] = {
        {"a twelve-character number", "TQ0123456789", 0, "TQ0123456789"},
        {"a short number is padded to twelve", "ABCD", 0, "ABCD00000000"},
        {"a long number is kept whole", "SN-0123456789-ABCDEFGHIJKLMNOP-0123", 0, "SN-0123456789-ABCDEFGHIJKLMNOP-0123"},
        {"no number: the one known stays", "", 0, "KNOWN0000001"},
        {"zeros: the one known stays", "000000000000", 0, "KNOWN0000001"},
        {"a failed reset keeps nothing", "TQ0123456789", PV_NET_FAILED, "KNOWN0000001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CopyField(record->terminalSerialNumber, "KNOWN0000001");
        record->terminalSerialNumberLength = 12;
        fake.writers[152] = SerialAnswer(c.answered);
        if (c.status != 0) fake.script("get", {c.status});
        EXPECT_EQ(TermResetDevice(0, 0x2f), c.status);
        EXPECT_STREQ(record->terminalSerialNumber, c.kept);
        EXPECT_EQ(record->terminalSerialNumberLength, static_cast<int>(std::strlen(c.kept)));
    }
}

TEST_F(TerminalCommands, SerialNumberAskedOfTheReaderThenTheDisplayThenTheChequeReader) {
    fake.protocols[3] = 16;
    fake.copiers[152] = [](va_list a) {
        const int first = va_arg(a, int);
        return std::to_string(first) + "," + std::to_string(va_arg(a, int));
    };
    const struct {
        const char* name;
        std::vector<std::string> answers;  // of functions 4, 0, 3 in turn; "!" fails
        const char* serial;
        const char* asked;  // the functions asked
    } cases[] = {
        {"the card reader gives it", {"RDR123456789"}, "RDR123456789", "4"},
        {"a short one is padded", {"RDR1"}, "RDR100000000", "4"},
        {"the reader gives zeros, the display gives it", {"", "DSP123456789"}, "DSP123456789", "40"},
        {"the reader fails, the cheque reader gives it", {"!", "", "CMC7READER01"}, "CMC7READER01", "403"},
        {"nobody gives one: 36 zeros", {"", "!", ""}, "000000000000000000000000000000000000", "403"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.calls.clear();
        size_t next = 0;
        std::vector<int> statuses;
        for (const std::string& a : c.answers) statuses.push_back(a == "!" ? PV_NET_FAILED : 0);
        fake.script("getEx", statuses);
        fake.writers[152] = [&](va_list a) {
            while (next < c.answers.size() && c.answers[next] == "!") ++next;
            const std::string answer = next < c.answers.size() ? c.answers[next++] : "";
            SerialAnswer(answer)(a);
        };
        CopyField(record->terminalSerialNumber, "STALE0000001");
        record->terminalSerialNumberLength = 12;
        EXPECT_EQ(GetTerminalSerialNumber(), 0);
        EXPECT_STREQ(record->terminalSerialNumber, c.serial);
        EXPECT_EQ(record->terminalSerialNumberLength, static_cast<int>(std::strlen(c.serial)));
        std::string asked;
        for (const auto& set : fake.callsOf("set")) {
            EXPECT_EQ(set.command, 152);
            EXPECT_EQ(set.args, "0,33");  // the reset that only tells the number
            asked += std::to_string(set.function);
        }
        EXPECT_EQ(asked, c.asked);
        for (const auto& read : fake.callsOf("getEx")) EXPECT_EQ(read.timeoutMs, 1000);
        EXPECT_EQ(fake.calls.back().op, "clear");
    }
}

TEST_F(TerminalCommands, SerialNumberTagOfARequest) {
    char message[256];
    const auto bind = [&]() {
        std::strcpy(message, "{SS}R{SV}s0{CD}c1{F}");
        return LoadTagMessage(message, sizeof message, 0);
    };
    // Known: written as it is, the terminal not asked.
    CopyField(record->terminalSerialNumber, "TQ0123456789");
    record->terminalSerialNumberLength = 12;
    fake.calls.clear();
    ASSERT_EQ(bind(), 1);
    EXPECT_EQ(AddSerialNumberTag(), 0);
    EXPECT_NE(std::string(message).find("{MF}TQ0123456789{F}"), std::string::npos) << message;
    EXPECT_TRUE(fake.callsOf("set").empty());
    // Unknown: asked of the terminal first.
    record->terminalSerialNumber[0] = '\0';
    record->terminalSerialNumberLength = 0;
    fake.writers[152] = SerialAnswer("RUDASIM00001");
    ASSERT_EQ(bind(), 1);
    EXPECT_EQ(AddSerialNumberTag(), 0);
    EXPECT_NE(std::string(message).find("{MF}RUDASIM00001{F}"), std::string::npos) << message;
    // A terminal that gives none: 36 zeros, and asked again next time.
    fake.writers[152] = SerialAnswer("");
    fake.calls.clear();
    record->terminalSerialNumberLength = 0;
    ASSERT_EQ(bind(), 1);
    EXPECT_EQ(AddSerialNumberTag(), 0);
    EXPECT_NE(std::string(message).find("{MF}" + std::string(36, '0') + "{F}"), std::string::npos) << message;
    fake.calls.clear();
    ASSERT_EQ(bind(), 1);
    EXPECT_EQ(AddSerialNumberTag(), 0);
    EXPECT_FALSE(fake.callsOf("set").empty());
    // A message without room for it: a failure, not a success.
    CopyField(record->terminalSerialNumber, "TQ0123456789");
    record->terminalSerialNumberLength = 12;
    char full[24] = "{SS}R{SV}s0{CD}c1{F}";
    ASSERT_EQ(LoadTagMessage(full, sizeof full, 0), 1);
    EXPECT_EQ(AddSerialNumberTag(), 1);
}

TEST_F(TerminalCommands, HolderWaitScreens) {
    const struct {
        const char* key;
        const char* screen;
    } cases[] = {{"ZNP_DSP_HOLDER_WAIT_FOR_CARD_IDLE", "1"},
                 {"ZNP_DSP_HOLDER_WAIT_FOR", "2"},
                 {"ZNP_DSP_HOLDER_WAIT_FOR_CARD_OUT", "14"},
                 {"ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", "13"},
                 {"ZNP_DSP_USER_OTHER", "0"}};
    for (const auto& c : cases) {
        fake.calls.clear();
        EXPECT_EQ(TermShowHolderWait(c.key), 0);
        ASSERT_EQ(fake.callsOf("set").size(), 1u);
        EXPECT_EQ(fake.callsOf("set")[0].args, c.screen) << c.key;
    }
    fake.protocols[0] = 2;
    EXPECT_EQ(TermShowHolderWait("ZNP_DSP_HOLDER_WAIT_FOR"), -1);  // not a RUDA display
}

TEST_F(TerminalCommands, TransactionTypeFromTheCommand) {
    const struct {
        const char* cd;
        int type;
    } cases[] = {{"c1", 0}, {"C2", 20}, {"c3", 81}, {"c5", 0}, {"cc", 111}, {"c4", 55}, {"c40", 55}};
    for (const auto& c : cases) {
        CopyField(record->command, c.cd);
        record->ctlsTransactionData.type = 55;
        record->ctlsTransactionData.typePresent = 0;
        EXPECT_EQ(SetTransactionTypeFromCommand(), c.type == 55 ? 0 : 1) << c.cd;
        EXPECT_EQ(record->ctlsTransactionData.type, c.type) << c.cd;
    }
}

TEST_F(TerminalCommands, ContactlessStartWaitsForTheAnswerAndEndsOnALostLink_Mended) {
    CopyField(record->command, "c3");
    Options.ClsOnly = 0;
    fake.events.push_back({PV_NOT_YET, 0});
    fake.events.push_back({0, 'A'});
    EXPECT_EQ(TermStartContactless(), 0);
    EXPECT_EQ(Calls(), "set4/131 send wait4 wait4 get4/131 clear");
    EXPECT_EQ(record->ctlsTransactionData.type, 81);  // a credit, whatever happened
    EXPECT_EQ(record->ctlsTransactionData.typePresent, 1);
    // A wait that fails does not repeat for ever: the read reports.
    fake.calls.clear();
    fake.events.push_back({PV_NET_FAILED, 0});
    fake.script("get", {PV_NET_FAILED});
    TraceCapture trace;
    EXPECT_EQ(TermStartContactless(), PV_NET_FAILED);
    EXPECT_EQ(fake.callsOf("wait").size(), 1u);
    EXPECT_TRUE(Traced(trace, "[START_CTL_TRS] Recuperation des scripts de START_CTL_TRS echoue (33)"));
}

TEST_F(TerminalCommands, CardPresentDetection) {
    Options.ClsOnly = 0;
    fake.writers[100] = [](va_list a) { va_arg(a, CardReadRecord*)->presentCount = 1; };
    EXPECT_EQ(TermDetectCardPresent(&record->cardReadRecord), 0);
    EXPECT_EQ(record->cardReadRecord.presentCount, 1);
    EXPECT_EQ(record->cardReadRecord.chipOptions, 0);  // the record is cleared but its count
    EXPECT_EQ(record->echoTimeoutMs, 500);
    fake.writers.clear();
    record->cardReadRecord.presentCount = 0;
    EXPECT_EQ(TermDetectCardPresent(&record->cardReadRecord), 1);
}

TEST_F(TerminalCommands, RecoveryRebootsARudaTerminalOnAProtocolError) {
    record->terminalInfoStatus = PV_PROTO_ERROR;
    TraceCapture trace;
    RecoverTerminalCommunication();
    EXPECT_TRUE(Traced(trace, "[CARD] Erreur communication lecteur, reboot RUDA"));
    const auto sets = fake.callsOf("set");
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets[0].command, 152);
    EXPECT_EQ(sets[0].args, "2,0");  // "9003"
    // The language selection that follows is not built: its status stays.
    EXPECT_EQ(record->terminalInfoStatus, EPAP_SelectLanguage(4, "fr", 2000));
    fake.calls.clear();
    record->terminalInfoStatus = 0;
    RecoverTerminalCommunication();
    EXPECT_EQ(Calls(), "");
}

// The terminal's event waits as the clock sees them: each takes its slice.
int SliceWait(int, int waitMs, char* event) {
    plat::SleepMs(waitMs);
    if (event != nullptr) *event = 0;
    return PV_NOT_YET;
}

TEST_F(TerminalCommands, RestartLeavesAnIdleTerminalAloneAndResetsAnEngagedOne) {
    record->resetRequired = 0;
    Options.PosGuiOptions = 0;
    EXPECT_EQ(RestartTerminal("9001", 1), 0);
    EXPECT_EQ(Calls(), "");
    record->resetRequired = 1;
    EXPECT_EQ(RestartTerminal("9002", 1), 0);
    ASSERT_EQ(fake.callsOf("set").size(), 2u);
    EXPECT_EQ(fake.callsOf("set")[1].args, "1,47");  // RUDA: the reset of the command layer, hard
    EXPECT_EQ(record->resetRequired, 0);
}

TEST_F(TerminalCommands, RestartOfAnotherTerminalRefusedFourTimesGives18) {
    fake.protocols[4] = 2;
    SetTerminalEventWait(&SliceWait);
    record->resetRequired = 1;
    TraceCapture trace;
    const int64_t start = plat::MonotonicMs();
    EXPECT_EQ(RestartTerminal("9001", 1), PV_PER_ACCES);
    // The echoes were purged first: one slice that brought nothing ends it.
    EXPECT_GE(plat::MonotonicMs() - start, 200);
    EXPECT_TRUE(Traced(trace, "[TRV_71] Demande redemarrage lecteur echoue"));
    int asked = 0;
    for (const auto& l : trace.Snapshot())
        if (l.find("Demande de redemarrage lecteur") != std::string::npos) ++asked;
    EXPECT_EQ(asked, 4);
}

TEST_F(TerminalCommands, AFastHardRebootIsRepeatedAtMostFifteenTimes) {
    record->rebootKind = kRebootHard;
    TraceCapture trace;
    EXPECT_EQ(RebootTerminal(), 0);
    // Each attempt answers after 10 s, under the 20 s of a real hard reboot.
    EXPECT_EQ(Count("set", 152), 1 + kHardRebootRetriesMax);
    EXPECT_TRUE(trace.Contains("New reboot try #14 because of hard reboot not really performed"));
    EXPECT_FALSE(trace.Contains("New reboot try #15"));
    for (const auto& s : fake.callsOf("set"))
        if (s.command == 152) {
            EXPECT_EQ(s.args, "1,0");  // "9002"
        }
}

TEST_F(TerminalCommands, ASlowHardRebootAndOtherKindsAreNotRepeated) {
    record->rebootKind = kRebootHard;
    fake.script("get", {PV_NET_FAILED, PV_NET_FAILED, 0});  // the terminal is away 20 s
    EXPECT_EQ(RebootTerminal(), 0);
    EXPECT_EQ(Count("set", 152), 1);
    fake.calls.clear();
    record->rebootKind = kRebootRuda;
    EXPECT_EQ(RebootTerminal(), 0);
    EXPECT_EQ(Count("set", 152), 1);
    EXPECT_EQ(fake.callsOf("set")[0].args, "2,0");
}

TEST_F(TerminalCommands, FailedRebootsCountInTheFifteenRetries_Mended) {
    record->rebootKind = kRebootHard;
    // The first reboot comes back too fast; every later one is given up
    // (the wait is stopped), so only the bound ends the retries.
    fake.events.push_back({PV_NOT_YET, 0});
    for (int i = 0; i < 100; ++i) fake.events.push_back({PV_PER_RESET, 0});
    TraceCapture trace;
    EXPECT_NE(RebootTerminal(), 0);
    EXPECT_EQ(Count("set", 152), 1 + kHardRebootRetriesMax);
    EXPECT_TRUE(trace.Contains("Reboot failed"));
}

TEST_F(TerminalCommands, RebootKindFromTheRequest) {
    struct Case {
        const char* cd;
        int level;
        const char* tm16;  // "" absent
        int kind;
        int result;
    } cases[] = {
        {"c2h", 9, "2", 0, 1}, {"c2h", 8, "2", 0, 1}, {"c2g", 8, "2", 2, 1}, {"c2g", 7, "3", 0, 1},
        {"c2h", 7, "2", 2, 1}, {"c2g", 3, "", 3, 0},  {"c2h", 6, "", 6, 0},  {"c1", 3, "", 0, 0},
        {"c2g", 7, "", 0, 0},  {"c2g", 2, "0", 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cd) + " " + std::to_string(c.level) + " " + c.tm16);
        Options.LoginLogoffRebootLevel = c.level;
        CopyField(record->command, c.cd);
        char request[200];
        std::snprintf(request, sizeof request, "{SS}R{SV}s0{CD}%s%s%s{F}", c.cd, *c.tm16 ? "{TM16}" : "", c.tm16);
        ASSERT_EQ(TAG_InitRead(request, sizeof request, 0), 1);
        EXPECT_EQ(SetRebootKindFromRequest(), c.result);
        EXPECT_EQ(record->rebootKind, c.kind);
    }
}

TEST_F(TerminalCommands, PadResetOfAFreeTerminalOnlyClearsTheTransaction) {
    record->resetRequired = 0;
    CopyField(record->service, "s0");
    Options.IsConcurrentCheckCard = 0;
    context->loopState = 40;
    record->step = 3;
    record->cardReadRecord.presentCount = 1;
    ResetPad(0);
    EXPECT_EQ(fake.callsOf("set").size(), 0u);
    EXPECT_EQ(fake.callsOf("wait").size(), 0u);
    EXPECT_EQ(context->loopState, 0);
    EXPECT_EQ(record->step, 0);
    EXPECT_EQ(context->abortCode, 3);
    EXPECT_EQ(context->authorisationMode, -1);
    EXPECT_EQ(record->cardReadRecord.presentCount, 0);
}

TEST_F(TerminalCommands, PadResetOfAnEngagedRudaTerminal) {
    record->resetRequired = 1;
    fake.events.push_back({0, 'A'});
    TraceCapture trace;
    ResetPad(0);
    EXPECT_TRUE(Traced(trace, "[PAD] Remis a zero"));
    const auto sets = fake.callsOf("set");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].args, "0,47");  // "9001"
    EXPECT_EQ(record->resetRequired, 0);
}

}  // namespace

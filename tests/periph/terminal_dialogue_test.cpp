// The dialogue on the terminal's screen: texts shown line by line, entries
// and key waits, selections. Against the recording fake of the script API
// (the dialogue records as they were set) and end to end on the RUDA
// terminal simulator.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "periph/console_windows.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "protocols/terminal_display.h"
#include "support/epap_fake.h"
#include "support/ruda_line_station.h"
#include "support/trace_capture.h"

namespace {

using testsupport::EpapFake;

constexpr int kRuda = 16;
constexpr int kDoran = 2;
constexpr int kDisplay = 0;
const std::string kEsc = "\033";

std::string AllFields(const TermDisplayBlock& b, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += (i > 0 ? "|" : "") + std::string(TermDisplay_Field(b, i));
    return out;
}

// The record as it was set: kind, key-wait flag, secret length, first
// entry flag, selection option and fields.
struct SetRecord {
    int kind = 0;
    int keyWaitFlag = 0;
    int secretLength = 0;
    int entryFlag = 0;
    int option = 0;
    std::vector<std::string> fields;
};

std::string Encode(const TermDisplayBlock& b) {
    std::string out = std::to_string(b.kind) + "/" + std::to_string(b.keyWaitFlag) + "/" +
                      std::to_string(b.secretEntryLength) + "/" + std::to_string(b.entryFlags[0]) + "/" +
                      std::to_string(b.selectionOption) + "/";
    if (b.kind != TERM_DISPLAY_OPEN) out += AllFields(b, 13);
    return out;
}

// A fake of the display function: every set records its record; reads of
// the entry and selection commands answer with the result given.
struct DialogueFake : EpapFake {
    explicit DialogueFake(int protocol) {
        protocols[kDisplay] = protocol;
        for (int command : {1, 2, 3, 4})
            copiers[command] = [](va_list args) { return Encode(*va_arg(args, const TermDisplayBlock*)); };
    }
    // The key, entered value and item the terminal answers.
    void answer(int command, int32_t result, const std::string& value = "", int32_t length = -1) {
        writers[command] = [this, result, value, length](va_list args) {
            TermDisplayBlock* b = va_arg(args, TermDisplayBlock*);
            if (b->kind == TERM_DISPLAY_SELECT) extraSeen = va_arg(args, int);
            b->resultField = result;
            std::memcpy(b->resultData, value.data(), std::min(value.size(), sizeof b->resultData));
            b->resultLength = length >= 0 ? length : static_cast<int32_t>(value.size());
        };
    }
    std::vector<std::string> sets(int command) const {
        std::vector<std::string> out;
        for (const auto& c : callsOf("set"))
            if (c.command == command) out.push_back(c.args);
        return out;
    }
    int extraSeen = -1;
};

// A clock that moves 300 ms at each reading: the waits end in a few turns.
class StepClock : public plat::ManualClock {
public:
    int64_t nowMs() override {
        advance(300);
        return plat::ManualClock::nowMs();
    }
};

struct ImmediateMode {
    explicit ImmediateMode(int on) : previous(ISAP_GetImmediateMode()) { ISAP_SetImmediateMode(on); }
    ~ImmediateMode() { ISAP_SetImmediateMode(previous); }
    int previous;
};

}  // namespace

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

TEST(ShowText, LinesAccumulateAndTheLastSendsTheScreen) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        int immediate;
        const char* sequence;
    } cases[] = {
        {1, "clear;clear;set 2;send;wait;get 2;clear;"},
        {0, "clear;clear;set 2;clear;"},  // never reaches the terminal
    };
    for (const Case& c : cases) {
        ImmediateMode mode(c.immediate);
        DialogueFake fake(kRuda);
        fake.events.push_back({0, 'A'});
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "Ligne un", 3, 16, 0, 0, 1), 1);
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "   ", 3, 16, 1, 0, 0), 1);
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "Ligne trois", 3, 16, 2, 0, 0), 1);
        EXPECT_EQ(fake.sequence(), c.sequence) << c.immediate;
        ASSERT_EQ(fake.sets(2).size(), 1u);
        EXPECT_EQ(fake.sets(2)[0], "2/0/0/0/0/00||" + kEsc + "H" + kEsc + "P\x01\x01Ligne un" + kEsc + "P\x02\x01   " +
                                        kEsc + "P\x03\x01Ligne trois||||||||||");
        // The blank line did not replace the last text.
        ASSERT_NE(TDSP_GetLastText(), nullptr);
        EXPECT_STREQ(TDSP_GetLastText(), "Ligne trois");
    }
}

TEST(ShowText, AbortAndFailure) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    ImmediateMode mode(1);
    {
        DialogueFake fake(kRuda);
        fake.events.push_back({PV_PER_RESET, 0});
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "x", 1, 16, 0, 0, 1), -1);
        EXPECT_TRUE(fake.callsOf("get").empty());
    }
    {
        DialogueFake fake(kRuda);
        fake.script("set", {PV_CMD_INTERNAL});
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "x", 1, 16, 0, 0, 1), -1);
        EXPECT_EQ(fake.sequence(), "set 2;clear;");
    }
    {
        // Without the terminal's answer the screen stays shown: done.
        DialogueFake fake(kRuda);
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "x", 1, 16, 0, 0, 1), 1);
        EXPECT_TRUE(fake.callsOf("get").empty());
        EXPECT_GE(fake.callsOf("wait").size(), 2u);
    }
    {
        // A line count below 1 drops what was accumulated.
        DialogueFake fake(kRuda);
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "perdu", 2, 16, 0, 0, 1), 1);
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, nullptr, 0, 16, 0, 0, 0), 1);
        EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "seul", 2, 16, 1, 0, 0), 1);
        ASSERT_EQ(fake.sets(2).size(), 1u);
        EXPECT_EQ(fake.sets(2)[0].find("perdu"), std::string::npos);
    }
}

TEST(ShowText, LineLongerThanTheWidthIsCut_Mended) {
    ImmediateMode mode(0);
    DialogueFake fake(kRuda);
    const std::string line(200, 'L');
    EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, line.c_str(), 1, 16, 0, 0, 1), 1);
    ASSERT_EQ(fake.sets(2).size(), 1u);
    EXPECT_EQ(fake.sets(2)[0], "2/0/0/0/0/00||" + kEsc + "H" + kEsc + "P\x01\x01" + std::string(16, 'L') + "||||||||||");
    // Twenty lines of the whole width still fit the record: the screen is
    // cut, never written past it.
    for (int i = 0; i < 20; ++i) TDSP_ShowText(nullptr, nullptr, line.c_str(), 20, 40, i, 0, i == 0);
    ASSERT_EQ(fake.sets(2).size(), 2u);
    EXPECT_EQ(fake.sets(2)[1].size(), std::string("2/0/0/0/0/00||").size() + 285 + 10);
}

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

TEST(GetEntry, FieldsFromTheFormatWords) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        const char* format;
        int protocol;
        int length;
        int timeoutMs;
        const char* prompt;
        std::string expected;  // kind/flag/secret/entry flag/option/fields
    } cases[] = {
        {"OBL MIN04 TOT", kDoran, 6, 30000, "",
         "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||0|1|0|06|06|300|300|"},
        {"OBL", kDoran, 6, 30000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||0|1|0|01|06|300|300|"},
        {"MIN04", kDoran, 6, 30000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||0|1|0|04|06|300|300|"},
        {"2DECI 3DECI", kDoran, 8, 5000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||W|1|0|00|08|050|050|"},
        {"2DECI", kDoran, 8, 5000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||V|1|0|00|08|050|050|"},
        {"SECRET ENTRYM1F", kRuda, 4, 5000, "", "177/0/4/31/0/00||" + kEsc + "P\x02\x03|||0|1|*|00|04|050|050|"},
        {"SECRET", kDoran, 4, 5000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||0|1|*|00|04|050|050|"},
        {"", kRuda, 6, 5000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||0|1|0|00|06|050|050|"},
        {"DICO12,AB", kDoran, 6, 5000, "Code",
         "4/0/0/0/0/00||" + kEsc + "\x18\x12\xAB" + kEsc + "P\x02\x08" "Code" + kEsc + "P\x02\x03|||0|1|0|00|06|050|050|"},
        // Time fields stay three digits.
        {"", kDoran, 6, 500000, "", "4/0/0/0/0/00||" + kEsc + "P\x02\x03|||0|1|0|00|06|999|999|"},
    };
    for (const Case& c : cases) {
        DialogueFake fake(c.protocol);
        fake.events.push_back({0, 'A'});
        fake.answer(4, 'A');
        char value[64] = {};
        std::strcpy(value, c.prompt);
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, c.timeoutMs, 2, 3, c.length, value, c.format, &key), 1) << c.format;
        ASSERT_FALSE(fake.sets(4).empty()) << c.format;
        EXPECT_EQ(fake.sets(4)[0], c.expected) << c.format;
        EXPECT_EQ(key, 'A') << c.format;
    }
}

TEST(GetEntry, PromptTakesWhatTheFieldLeaves_Mended) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        int length;
        std::string shown;
    } cases[] = {{6, std::string(9, 'p')}, {15, ""}, {20, ""}};
    for (const Case& c : cases) {
        DialogueFake fake(kDoran);
        fake.events.push_back({0, 'A'});
        char value[64] = {};
        std::memset(value, 'p', 20);
        char key = 0;
        TDSP_GetEntry(nullptr, 0, 1000, 2, 1, c.length, value, "", &key);
        ASSERT_FALSE(fake.sets(4).empty());
        const std::string screen = kEsc + "P\x02" + static_cast<char>(c.length + 2) + c.shown + kEsc + "P\x02\x01";
        EXPECT_NE(fake.sets(4)[0].find("|" + screen + "|"), std::string::npos) << c.length;
    }
}

TEST(GetEntry, AnswersIntoTheKeyAndTheValue) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        const char* name;
        int length;
        int32_t answer;
        std::string data;
        int result;
        char key;
        std::string value;
    } cases[] = {
        {"validated value", 6, 'V', "1234", 1, 'V', "1234"},
        {"cancelled: blanks", 6, 'A', "", 1, 'A', "      "},
        {"correction", 6, 'C', "", 1, 'C', "      "},
        {"digit with a field: no key", 6, '5', "", 1, static_cast<char>(255), "      "},
        {"digit of a key wait", 0, '5', "", 1, '5', ""},
        {"unknown answer", 0, 'Z', "", 1, static_cast<char>(255), ""},
    };
    for (const Case& c : cases) {
        DialogueFake fake(kDoran);
        fake.events.push_back({0, 'A'});
        fake.answer(4, c.answer, c.data);
        char value[64] = {};
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 1000, 2, 1, c.length, value, "", &key), c.result) << c.name;
        EXPECT_EQ(key, c.key) << c.name;
        EXPECT_EQ(std::string(value), c.value) << c.name;
    }
}

TEST(GetEntry, ValueCopiedWithinTheFieldAndTheRecord_Mended) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    testsupport::TraceCapture trace;
    struct Case {
        int length;
        int32_t answerLength;
        std::string value;
    } cases[] = {
        {6, 45, "123456"},                       // no more than the field
        {60, 45, std::string(40, '7')},          // no more than the record holds
    };
    for (const Case& c : cases) {
        DialogueFake fake(kDoran);
        fake.events.push_back({0, 'A'});
        fake.answer(4, 'V', c.length == 6 ? std::string("123456789012") : std::string(41, '7'), c.answerLength);
        char value[128];
        std::memset(value, 'x', sizeof value);
        value[0] = '\0';
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 1000, 2, 1, c.length, value, "", &key), 1);
        EXPECT_EQ(std::string(value), c.value) << c.length;
    }
    // The entered values reach no trace.
    EXPECT_FALSE(trace.Contains("123456"));
    EXPECT_FALSE(trace.Contains("7777"));
}

TEST(GetEntry, WaitRestartsOnAKeyAndStopsOnAnAbort) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    {
        // Keys typed for longer than the time-out: the answer still comes.
        DialogueFake fake(kDoran);
        for (int i = 0; i < 12; ++i) fake.events.push_back({PV_NOT_YET, 'K'});
        fake.events.push_back({0, 'A'});
        fake.answer(4, 'V', "42");
        char value[16] = {};
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 0, 2, 1, 2, value, "", &key), 1);
        EXPECT_EQ(key, 'V');
        EXPECT_STREQ(value, "42");
    }
    {
        // Without keys the same wait ends first: no answer read.
        DialogueFake fake(kDoran);
        for (int i = 0; i < 12; ++i) fake.events.push_back({PV_NOT_YET, 0});
        fake.events.push_back({0, 'A'});
        char value[16] = {};
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 0, 2, 1, 2, value, "", &key), 1);
        EXPECT_EQ(key, static_cast<char>(255));
        EXPECT_TRUE(fake.callsOf("get").empty());
    }
    for (const std::pair<int, char>& abort : {std::pair<int, char>{PV_PER_RESET, 0}, {PV_NOT_YET, 'S'}}) {
        DialogueFake fake(kDoran);
        fake.events.push_back(abort);
        char value[16] = {};
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 1000, 2, 1, 2, value, "", &key), -1);
        EXPECT_EQ(key, static_cast<char>(255));
        // Aborted: the script is left as it stands.
        EXPECT_EQ(fake.sequence(), "set 4;send;wait;");
    }
}

TEST(WaitKey, RudaKeyWaitStartsAndEnds) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    DialogueFake fake(kRuda);
    fake.script("get", {PV_NOT_YET});  // the terminal took the wait
    fake.events.push_back({0, 'A'});
    fake.answer(4, 'V');
    char key = 0;
    EXPECT_EQ(TDSP_WaitKey(30000, 0, &key), 1);
    EXPECT_EQ(key, 'V');
    const auto sets = fake.sets(4);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].substr(0, 6), "175/1/");
    EXPECT_EQ(sets[1].substr(0, 6), "175/0/");
    EXPECT_EQ(fake.sequence(), "set 4;send;get 4;wait;get 4;clear;set 4;send;get 4;clear;");
}

TEST(WaitKey, KeyAlreadyThereIsNotWaitedFor) {
    DialogueFake fake(kRuda);
    fake.answer(4, '7');
    char key = 0;
    EXPECT_EQ(TDSP_WaitKey(30000, 0, &key), 1);
    EXPECT_EQ(key, '7');
    EXPECT_TRUE(fake.callsOf("wait").empty());
}

// ---------------------------------------------------------------------------
// Selections
// ---------------------------------------------------------------------------

TEST(SelectItem, ListFieldsAndTheChosenItem) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    KT_TEXT_WINDOW window{};
    window.columns = 20;
    window.rows = 8;
    const std::string list = std::string("Visa") + std::string(20, '\0') + "Carte bancaire nationale";  // stride 24
    const char* items = list.c_str();
    struct Case {
        const char* name;
        int protocol;
        KT_TEXT_WINDOW* window;
        std::string list;
        const char* layout;
    } cases[] = {
        {"DORAN: 16 wide from column 2", kDoran, &window,
         kEsc + "H" + kEsc + "P\x01\x01<C>:SUITE <V>:OK" + kEsc + "P\x02\x02Visa" + kEsc + "P\x03\x02" "Carte bancaire n",
         "01021602CF"},
        {"RUDA: the window's width from column 1", kRuda, &window,
         kEsc + "H" + kEsc + "P\x01\x01<C>:SUITE <V>:OK" + kEsc + "P\x02\x01Visa" + kEsc + "P\x03\x01" "Carte bancaire natio",
         "01022002CF"},
        {"RUDA without a window", kRuda, nullptr,
         kEsc + "H" + kEsc + "P\x01\x01<C>:SUITE <V>:OK" + kEsc + "P\x02\x01Visa" + kEsc + "P\x03\x01" "Carte bancaire n",
         "01021602CF"},
    };
    for (const Case& c : cases) {
        DialogueFake fake(c.protocol);
        fake.events.push_back({0, 'A'});
        fake.answer(3, 2);
        unsigned char chosen = 0;
        EXPECT_EQ(TDSP_SelectItemEx(nullptr, c.window, 300, 0, 0, 2, 24, 1, "Carte ?", items, 3, &chosen, 1), 1)
            << c.name;
        EXPECT_EQ(chosen, 2) << c.name;
        EXPECT_EQ(fake.extraSeen, 1) << c.name;
        ASSERT_EQ(fake.sets(1).size(), 1u) << c.name;
        EXPECT_EQ(fake.sets(1)[0], "1/0/0/0/3/") << c.name;
        ASSERT_EQ(fake.sets(3).size(), 1u) << c.name;
        EXPECT_EQ(fake.sets(3)[0], "3/0/0/0/3/00|Carte ?|" + c.list + "|||" + c.layout + "|004|004|||||") << c.name;
    }
}

TEST(SelectItem, TimeOutAbortAndFailedSteps) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    const char items[] = "Oui\0Non";
    {
        // Time-out: done, the record's item 0.
        DialogueFake fake(kDoran);
        unsigned char chosen = 99;
        EXPECT_EQ(TDSP_SelectItemBasic(nullptr, nullptr, 0, 0, 0, 2, 4, 0, "", items, &chosen), 1);
        EXPECT_EQ(chosen, 0);
        EXPECT_TRUE(fake.callsOf("get").empty());
    }
    {
        DialogueFake fake(kDoran);
        fake.events.push_back({PV_PER_RESET, 0});
        unsigned char chosen = 0;
        EXPECT_EQ(TDSP_SelectItemBasic(nullptr, nullptr, 100, 0, 0, 2, 4, 0, "", items, &chosen), -1);
        EXPECT_EQ(chosen, 255);
    }
    {
        DialogueFake fake(kDoran);
        fake.script("send", {PV_NET_FAILED});
        unsigned char chosen = 0;
        EXPECT_EQ(TDSP_SelectItem(nullptr, nullptr, 100, 0, 0, 2, 4, 0, "", items, 0, &chosen), -1);
        EXPECT_EQ(chosen, 255);
        EXPECT_EQ(fake.calls.back().op, "clear");
    }
    {
        DialogueFake fake(kDoran);
        fake.events.push_back({0, 'A'});
        fake.script("get", {PV_CMD_INTERNAL});
        unsigned char chosen = 0;
        EXPECT_EQ(TDSP_SelectItem(nullptr, nullptr, 100, 0, 0, 2, 4, 0, "", items, 0, &chosen), -1);
        EXPECT_EQ(chosen, 255);
    }
}

TEST(SelectItem, ListOverTheRecordFailsUnsent_Mended) {
    DialogueFake fake(kRuda);
    KT_TEXT_WINDOW window{};
    window.columns = 40;
    window.rows = 30;
    const std::string items(30 * 40, 'i');
    unsigned char chosen = 0;
    EXPECT_EQ(TDSP_SelectItemBasic(nullptr, &window, 100, 0, 0, 30, 40, 0, "", items.c_str(), &chosen), -1);
    EXPECT_EQ(chosen, 255);
    EXPECT_TRUE(fake.sets(3).empty());
    EXPECT_TRUE(fake.callsOf("send").empty());
}

// ---------------------------------------------------------------------------
// On the RUDA terminal
// ---------------------------------------------------------------------------

TEST(TerminalDialogueSim, EntrySelectionAndKeyOnTheRudaTerminal) {
    testsupport::RudaLineStation s(
        "entry \"4711\"\n"
        "select 2\n"
        "event key 0D\n",
        "EFT_DSP");
    ASSERT_TRUE(s.ready());
    char value[16] = {};
    char key = 0;
    EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 5000, 2, 1, 6, value, "OBL", &key), 1);
    EXPECT_EQ(key, 'V');
    EXPECT_STREQ(value, "4711");
    KT_TEXT_WINDOW window{};
    window.columns = 16;
    window.rows = 4;
    const char items[] = "Oui\0Non";
    unsigned char chosen = 0;
    EXPECT_EQ(TDSP_SelectItemBasic(nullptr, &window, 500, 0, 0, 2, 4, 0, "Confirmer", items, &chosen), 1);
    EXPECT_EQ(chosen, 2);
    key = 0;
    EXPECT_EQ(TDSP_WaitKey(5000, 0, &key), 1);
    EXPECT_EQ(key, 'V');
    const auto shown = s.terminal().screens();
    EXPECT_EQ(shown.entries, 1);
    EXPECT_EQ(shown.selections, 1);
    // The key wait was ended on the terminal.
    const auto all = s.exchanges();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().apdu, (cardsim::Bytes{0xD0, 0x61, 0x00, 0x00}));
}

TEST(TimeFields, StayThreeDigits_Mended) {
    StepClock clock;
    plat::ScopedClock scoped(&clock);
    {
        DialogueFake fake(kDoran);
        fake.events.push_back({0, 'A'});
        char value[16] = {};
        char key = 0;
        TDSP_GetEntry(nullptr, 0, 250000, 2, 1, 4, value, "", &key);
        ASSERT_EQ(fake.sets(4).size(), 1u);
        EXPECT_NE(fake.sets(4)[0].find("|999|999|"), std::string::npos);
    }
    {
        DialogueFake fake(kDoran);
        fake.events.push_back({0, 'A'});
        unsigned char chosen = 0;
        TDSP_SelectItemBasic(nullptr, nullptr, 150000, 0, 0, 1, 4, 0, "", "Oui", &chosen);
        ASSERT_EQ(fake.sets(3).size(), 1u);
        EXPECT_NE(fake.sets(3)[0].find("|999|999|"), std::string::npos);
    }
}

TEST(TerminalDialogueSim, CardWatchAroundASelectionOnlyWhenAsked) {
    for (int watch : {0, 1}) {
        testsupport::RudaLineStation s("select 1\n", "EFT_DSP");
        ASSERT_TRUE(s.ready());
        EPAP_SetSelectCardWatch(watch);
        const char items[] = "Oui\0Non";
        unsigned char chosen = 0;
        EXPECT_EQ(TDSP_SelectItemBasic(nullptr, nullptr, 500, 0, 0, 2, 4, 0, "", items, &chosen), 1) << watch;
        EXPECT_EQ(chosen, 1) << watch;
        std::string order;
        for (const auto& e : s.exchanges()) {
            if (e.apdu.size() < 2) continue;
            if (e.apdu[0] == 0xD0 && (e.apdu[1] == 0x60 || e.apdu[1] == 0x61)) order += "watch;";
            if (e.apdu[0] == 0xD2 && e.apdu[1] == 0x03) order += "select;";
        }
        EXPECT_EQ(order, watch == 1 ? "watch;select;watch;" : "select;") << watch;
    }
}

TEST(TerminalDialogueSim, LinesShownAsOneScreenInImmediateMode) {
    testsupport::RudaLineStation s("", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    ImmediateMode mode(1);
    EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "Montant", 2, 16, 0, 0, 1), 1);
    EXPECT_TRUE(s.terminal().screens().texts.empty());  // not before the last line
    EXPECT_EQ(TDSP_ShowText(nullptr, nullptr, "12,50 EUR", 2, 16, 1, 0, 0), 1);
    EXPECT_EQ(s.terminal().screens().texts, (std::vector<std::string>{"Montant\n12,50 EUR"}));
    EXPECT_STREQ(TDSP_GetLastText(), "12,50 EUR");
}

TEST(TerminalDialogueSim, SecretEntryComesBackUntraced) {
    testsupport::RudaLineStation s("secret \"8642\"\nsecret cancel\n", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    testsupport::TraceCapture trace;
    struct Case {
        char key;
        const char* value;
    } cases[] = {{'V', "8642"}, {'A', "    "}};
    for (const Case& c : cases) {
        char value[16] = {};
        char key = 0;
        EXPECT_EQ(TDSP_GetEntry(nullptr, 0, 5000, 2, 1, 4, value, "SECRET TOT", &key), 1) << c.key;
        EXPECT_EQ(key, c.key);
        EXPECT_STREQ(value, c.value);
    }
    const auto all = s.exchanges();
    int secrets = 0;
    for (const auto& e : all)
        if (e.apdu.size() >= 4 && e.apdu[0] == 0xD2 && e.apdu[1] == 0xF3) {
            ++secrets;
            EXPECT_EQ(e.apdu[3], 4);  // the entry's length
        }
    EXPECT_EQ(secrets, 2);
    EXPECT_FALSE(trace.Contains("8642"));
}

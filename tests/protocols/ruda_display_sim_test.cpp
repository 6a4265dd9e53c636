// The RUDA screen and keypad operations end to end: set and read through
// the terminal script engine, carried by the RUDA block link over a real
// pseudo-terminal to the RUDA terminal simulator, which answers them as its
// scenario says and records what it was asked to show.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/html_page.h"
#include "protocols/module_contract.h"
#include "protocols/ruda/ruda_display.h"
#include "protocols/terminal_display.h"
#include "rudasim/ruda_terminal.h"
#include "support/apdu_bytes.h"
#include "support/term_display_block.h"
#include "support/com_fixture.h"
#include "support/ruda_line_station.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"

namespace {

using cardsim::Bytes;
using testsupport::Hex;

constexpr int kDisplay = 0;
constexpr int kReadMs = 5000;
const std::string kEsc = "\x1b";

// The terminal display (function 0) of the script engine on a
// pseudo-terminal whose far end is the simulator.
class ScreenStation : public testsupport::RudaLineStation {
public:
    explicit ScreenStation(const std::string& scenario) : RudaLineStation(scenario, "EFT_DSP") {}

    // Sets the operation, then reads its answer (again while the module
    // says not yet) with the result arguments given.
    template <typename... SetArgs>
    int set(int operation, SetArgs... args) {
        EPAP_ClearAll();
        return EPAP_SetCommand(kDisplay, operation, args...);
    }
    template <typename... GetArgs>
    int get(int operation, GetArgs... args) {
        return EPAP_GetResultEx(kDisplay, operation, kReadMs, 20, args...);
    }
    Bytes lastApdu() {
        const auto all = exchanges();
        return all.empty() ? Bytes{} : all.back().apdu;
    }
    rudasim::ScreenRecord screens() { return terminal().screens(); }
    // A key pressed while the terminal watches: it goes out unasked.
    void pressKey(uint8_t code) {
        const std::string now = terminal().pushEvent(
            cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(0xDFA205, {code})), Hex("9000")}));
        ASSERT_FALSE(now.empty()) << "the terminal was not watching";
        pty.sim.inject(now);
    }
};

}  // namespace

TEST(RudaDisplaySim, TextsAndScreensShown) {
    ScreenStation s("");
    ASSERT_TRUE(s.ready());
    TermDisplayBlock text = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "", kEsc + "H" + kEsc + "P\x01\x01" "Montant" + kEsc + "P\x02\x01" "12,50 \x80" "\xe9"});
    ASSERT_EQ(s.set(O_T_DISPLAY, &text), 0);
    EXPECT_EQ(s.get(O_T_DISPLAY, &text), 0);
    ASSERT_EQ(s.set(O_T_DISPLAY_SCREEN, 13), 0);
    EXPECT_EQ(s.get(O_T_DISPLAY_SCREEN), 0);
    EXPECT_EQ(s.lastApdu(), Hex("D2010D01"));
    ASSERT_EQ(s.set(O_T_DISPLAY_BITMAP, "LOGO.BMP"), 0);
    EXPECT_EQ(s.get(O_T_DISPLAY_BITMAP), 0);
    const rudasim::ScreenRecord shown = s.screens();
    EXPECT_EQ(shown.texts, (std::vector<std::string>{"Montant\n12,50 \xc3\xa9"}));
    EXPECT_EQ(shown.screenIds, (std::vector<int>{13}));
    EXPECT_EQ(shown.bitmaps, (std::vector<std::string>{"LOGO.BMP"}));
}

TEST(RudaDisplaySim, DisplayRefusedForAKeyExchange) {
    ScreenStation s("display-status 9F55\n");
    ASSERT_TRUE(s.ready());
    ASSERT_EQ(s.set(O_T_DISPLAY_SCREEN, 2), 0);
    EXPECT_EQ(s.get(O_T_DISPLAY_SCREEN), 82);
}

TEST(RudaDisplaySim, PageShownThenAnswered) {
    ScreenStation s(
        "page talvo/choix.html => E0 0F DFAA05 01 02 DFAA02 01 61 DFAA03 02 3132 9000 delay 30\n"
        "page talvo/refus.html cancel\n");
    ASSERT_TRUE(s.ready());
    HtmlParamList params;
    params.add("type_mess", "OK");
    params.add("message", "Choisissez");
    struct Case {
        const char* page;
        int status;
        int32_t result;
        int32_t selection;
    } cases[] = {
        {"talvo/choix.html", 0, 1, 2},
        {"talvo/refus.html", 0, -1, -1},
        {"talvo/autre.html", 0, 1, 0},  // any other page: the first choice
    };
    for (const Case& c : cases) {
        HtmlPageRequest request(c.page, params);
        HtmlPageResponse response;
        ASSERT_EQ(s.set(O_T_HTML_PAGE, &request), 0) << c.page;
        EXPECT_EQ(s.get(O_T_HTML_PAGE, &response), c.status) << c.page;
        EXPECT_EQ(response.getResult(), c.result) << c.page;
        EXPECT_EQ(response.getSelection(), c.selection) << c.page;
    }
    const rudasim::ScreenRecord shown = s.screens();
    ASSERT_EQ(shown.pages.size(), 3u);
    EXPECT_EQ(shown.pages[0].first, "talvo/choix.html");
    EXPECT_EQ(shown.pages[0].second,
              (std::vector<std::pair<std::string, std::string>>{{"type_mess", "OK"}, {"message", "Choisissez"}}));
}

TEST(RudaDisplaySim, KeyWaitEndsWithTheKeyPressed) {
    ScreenStation s("");
    ASSERT_TRUE(s.ready());
    TermDisplayBlock wait{};
    wait.kind = TERM_DISPLAY_KEY_WAIT;
    wait.keyWaitFlag = 1;
    ASSERT_EQ(s.set(O_T_WDATA, &wait), 0);
    // The terminal takes the wait (90 00): no key yet.
    EXPECT_EQ(EPAP_GetResult(kDisplay, O_T_WDATA, &wait), PV_NOT_YET);
    EXPECT_EQ(s.lastApdu(), Hex("D0610300"));
    s.pressKey(0x0D);
    EXPECT_EQ(s.get(O_T_WDATA, &wait), 0);
    EXPECT_EQ(wait.resultField, 'V');
}

TEST(RudaDisplaySim, SelectionsAndEntriesAnsweredInTurn) {
    ScreenStation s("select 2\nselect cancel\nentry \"1234\"\nentry cancel\nsecret \"0000\"\n");
    ASSERT_TRUE(s.ready());
    const std::string list = kEsc + "P\x02\x01" "UN" + kEsc + "P\x03\x01" "DEUX";
    TermDisplayBlock select = testsupport::DisplayBlock(TERM_DISPLAY_SELECT, {"00", "Choix", list, "", "", "00000402CF"});
    ASSERT_EQ(s.set(O_T_SELECT, &select), 0);
    EXPECT_EQ(s.get(O_T_SELECT, &select, 0), 0);
    EXPECT_EQ(select.resultField, 2);
    ASSERT_EQ(s.set(O_T_SELECT, &select), 0);
    EXPECT_EQ(s.get(O_T_SELECT, &select, 1), 0);
    EXPECT_EQ(select.resultField, 'A');

    TermDisplayBlock entry = testsupport::DisplayBlock(TERM_DISPLAY_ENTRY, {"00", "", "", "", "", "0", "1", "0", "01", "04"});
    ASSERT_EQ(s.set(O_T_WDATA, &entry), 0);
    EXPECT_EQ(s.get(O_T_WDATA, &entry), 0);
    EXPECT_EQ(entry.resultField, 'V');
    EXPECT_EQ(std::string(entry.resultData, static_cast<size_t>(entry.resultLength)), "1234");
    ASSERT_EQ(s.set(O_T_WDATA, &entry), 0);
    EXPECT_EQ(s.get(O_T_WDATA, &entry), 0);
    EXPECT_EQ(entry.resultField, 'A');

    TermDisplayBlock secret{};
    secret.kind = TERM_DISPLAY_SECRET_ENTRY;
    secret.secretEntryLength = 4;
    ASSERT_EQ(s.set(O_T_WDATA, &secret), 0);
    EXPECT_EQ(s.get(O_T_WDATA, &secret), 0);
    EXPECT_EQ(secret.resultField, 'V');
    EXPECT_EQ(secret.resultLength, 4);
    const rudasim::ScreenRecord asked = s.screens();
    EXPECT_EQ(asked.selections, 2);
    EXPECT_EQ(asked.entries, 3);
}

TEST(RudaDisplaySim, LanguagesQrCodesAndBarcodes) {
    ScreenStation s("languages fra en deu\nbarcode \"3017620422003\"\nqr sw 9F27\n");
    ASSERT_TRUE(s.ready());
    char slots[4][kRudaLanguageSlot] = {};
    ASSERT_EQ(s.set(O_T_GET_LANG_LIST), 0);
    EXPECT_EQ(s.get(O_T_GET_LANG_LIST, &slots[0][0], 4), 0);
    EXPECT_STREQ(slots[0], "fra");
    EXPECT_STREQ(slots[1], "en ");
    EXPECT_STREQ(slots[2], "deu");
    EXPECT_STREQ(slots[3], "");
    ASSERT_EQ(s.set(O_T_SELECT_LANG, "en"), 0);
    EXPECT_EQ(s.get(O_T_SELECT_LANG), 0);

    ASSERT_EQ(s.set(O_T_QR_CODE, "https://pay.example/42", "Scannez"), 0);
    EXPECT_EQ(s.get(O_T_QR_CODE), 32);

    std::vector<char> code(kRudaBarcodeMax + 1, '\0');
    ASSERT_EQ(s.set(O_T_BARCODE, 1, 0, 30), 0);
    EXPECT_EQ(s.get(O_T_BARCODE, code.data()), 0);
    EXPECT_STREQ(code.data(), "3017620422003");
    std::vector<char> none(kRudaBarcodeMax + 1, '\0');
    ASSERT_EQ(s.set(O_T_BARCODE, 4, 0, 0), 0);
    EXPECT_EQ(s.get(O_T_BARCODE, none.data()), 0);
    EXPECT_STREQ(none.data(), "");

    const rudasim::ScreenRecord asked = s.screens();
    EXPECT_EQ(asked.languagesChosen, (std::vector<std::string>{"en"}));
    EXPECT_EQ(asked.qrCodes, (std::vector<std::string>{"https://pay.example/42"}));
    EXPECT_EQ(asked.barcodeRequests, 2);
}

TEST(RudaDisplaySim, LanguageRefused) {
    ScreenStation s("language-refuse\n");
    ASSERT_TRUE(s.ready());
    ASSERT_EQ(s.set(O_T_SELECT_LANG, "xx"), 0);
    EXPECT_EQ(s.get(O_T_SELECT_LANG), 32);
}

// The screen and keypad operations of the RUDA module through the terminal
// script engine: each request is set with EPAP_SetCommand and taken from the
// script row the engine wrote; each answer is put in the answer row and read
// back through the engine into the dialogue record, the page response, the
// language slots or the barcode buffer. Expected requests are built with the
// card simulator's own TLV encoder; openssl reads the templates.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "periph/terminal_exchange.h"
#include "protocols/html_page.h"
#include "protocols/module_contract.h"
#include "protocols/pv_status.h"
#include "protocols/ruda/ruda_display.h"
#include "protocols/terminal_display.h"
#include "support/apdu_bytes.h"
#include "support/term_display_block.h"
#include "support/engine_rows.h"
#include "support/openssl_cli.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::Text;
using testsupport::WithSw;

constexpr int kDisplay = 0;
constexpr int kNoRow = -1000;
const std::string kEsc = "\x1b";

// A short APDU: header, Lc and data (no Lc without data).
Bytes Apdu(const std::string& header, const Bytes& data) {
    Bytes out = Hex(header);
    if (data.empty()) return out;
    out.push_back(static_cast<uint8_t>(data.size()));
    return Concat({out, data});
}

// The RUDA display (function 0) of a terminal box; the engine's rows carry
// the requests and answers.
class RudaDisplayOps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(t.add("EFT_DSP", 0, "RUDA"), 0);
        display = t.function(kDisplay);
        ASSERT_NE(display, nullptr);
    }

    template <typename... Args>
    int Set(int operation, Args... args) {
        EPAP_ClearAll();
        sent.clear();
        const int status = EPAP_SetCommand(kDisplay, operation, args...);
        sent = testsupport::FirstRowRequest(t.box);
        return status;
    }

    // A request of the operation, so that the script holds a row to answer.
    void Prime(int operation) {
        static const unsigned char ids[6] = {0x00, 0xF1, 0x00, 0xF2, 0x00, 0xF3};
        static const HtmlPageRequest page("p.html", HtmlParamList{});
        TermDisplayBlock text = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "", "x"});
        TermDisplayBlock ext = testsupport::DisplayBlock(TERM_DISPLAY_ENTRY_EXT, {});
        int status = -1;
        switch (operation) {
            case O_T_WDATA_EXT: status = Set(operation, &ext, 4, ids, 6, 0, 0); break;
            case O_T_DISPLAY_SCREEN: status = Set(operation, 1); break;
            case O_T_DISPLAY_BITMAP:
            case O_T_DISPLAY_TEXT:
            case O_T_SELECT_LANG: status = Set(operation, "fra"); break;
            case O_T_GET_LANG_LIST: status = Set(operation); break;
            case O_T_HTML_PAGE: status = Set(operation, &page); break;
            case O_T_QR_CODE: status = Set(operation, "qr", ""); break;
            case O_T_BARCODE: status = Set(operation, 1, 0, 0); break;
            default: status = Set(operation, &text); break;
        }
        EXPECT_EQ(status, 0) << operation;
        EXPECT_FALSE(sent.empty()) << operation;
    }

    template <typename... Args>
    int Answer(int operation, const Bytes& payload, Args... args) {
        Prime(operation);
        if (!testsupport::PutRowAnswer(t.box, display, payload)) return kNoRow;
        display->command = operation;
        return testsupport::ReadRow(t.box, display, args...);
    }

    testsupport::TerminalBox t;
    KT_PERES* display = nullptr;
    Bytes sent;
    testsupport::TraceCapture trace;
};

}  // namespace

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

TEST_F(RudaDisplayOps, DisplayTextRequests) {
    struct Case {
        const char* name;
        std::string message;
        Bytes data;
    } cases[] = {
        {"two lines", kEsc + "H" + kEsc + "P\x01\x01w1" + kEsc + "P\x02\x01w2", Text("w1\nw2")},
        {"accent and a byte shown as a dot", kEsc + "Hcaf\xe9 \xa4\x80", Concat({Text("caf"), Hex("C3A9"), Text(" .")})},
        {"tab and carriage return sequences", kEsc + "Ha\\x09b\\rc", Text("a\tb\rc")},
        {"nothing to show", kEsc + "H", {}},
    };
    for (const Case& c : cases) {
        TermDisplayBlock b = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "", c.message, "", ""});
        EXPECT_EQ(Set(O_T_DISPLAY, &b), 0) << c.name;
        EXPECT_EQ(sent, Apdu("D2010001", c.data)) << c.name;
    }
    // Every other kind that has no request of its own is a display too.
    TermDisplayBlock other = testsupport::DisplayBlock(5, {"00", "", kEsc + "HX"});
    EXPECT_EQ(Set(O_T_WDATA_CONT, &other), 0);
    EXPECT_EQ(sent, Apdu("D2010001", Text("X")));
    // No record: no request.
    EXPECT_EQ(Set(O_T_DISPLAY, static_cast<TermDisplayBlock*>(nullptr)), 0);
    EXPECT_TRUE(sent.empty());
}

TEST_F(RudaDisplayOps, TitleAheadOfTheTextWhenTabsAreOn) {
    TermDisplayBlock b = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "TITRE", kEsc + "P\x02\x01x"});
    ASSERT_EQ(setenv("TAB_ENABLED", "1", 1), 0);
    const int status = Set(O_T_DISPLAY, &b);
    unsetenv("TAB_ENABLED");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sent, Apdu("D2010001", Text("TITRE           \nx")));
    // Without the variable the title is not shown.
    TermDisplayBlock again = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "TITRE", kEsc + "H" + kEsc + "P\x02\x01x"});
    EXPECT_EQ(Set(O_T_DISPLAY, &again), 0);
    EXPECT_EQ(sent, Apdu("D2010001", Text("x")));
}

TEST_F(RudaDisplayOps, DisplayOver255BytesRefused_Mended) {
    // 200 accented letters are 400 bytes in UTF-8: the short form cannot
    // carry them, and a cut would show half a text.
    const std::string texts[] = {kEsc + "H" + std::string(200, '\xe9'), kEsc + "H" + std::string(256, 'a')};
    for (const std::string& text : texts) {
        TermDisplayBlock b = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "", text});
        EXPECT_EQ(Set(O_T_DISPLAY, &b), PV_CMD_INTERNAL);
        EXPECT_TRUE(sent.empty());
    }
    EXPECT_TRUE(trace.Contains("trop long"));
    // 255 bytes still go.
    TermDisplayBlock fits = testsupport::DisplayBlock(TERM_DISPLAY_TEXT, {"00", "", kEsc + "H" + std::string(255, 'a')});
    EXPECT_EQ(Set(O_T_DISPLAY, &fits), 0);
    EXPECT_EQ(sent.size(), 4u + 1u + 255u);
}

TEST_F(RudaDisplayOps, SelectionRequests) {
    const std::string list = kEsc + "H" + kEsc + "P\x01\x01" "CHOIX" + kEsc + "P\x02\x01" "UN" + kEsc + "P\x03\x01" "DEUX";
    const Bytes items = Concat({Element(0xDFA202, {0x01}), Element(0xDFA203, Text("UN")), Element(0xDFA202, {0x02}),
                                Element(0xDFA203, Text("DEU"))});
    struct Case {
        uint8_t option;
        Bytes tail;
    } cases[] = {
        {0, {}},
        {2, Element(0xDFA212, {0x01})},
        {4, Concat({Element(0xDFA215, {0x00}), Element(0xDFA212, {0x02})})},
    };
    for (const Case& c : cases) {
        TermDisplayBlock b = testsupport::DisplayBlock(TERM_DISPLAY_SELECT, {"00", "TITRE", list, "", "", "00000302CF"}, c.option);
        EXPECT_EQ(Set(O_T_SELECT, &b), 0) << int(c.option);
        const Bytes content = Concat({Element(0xDFA211, Text("TITRE")), items, c.tail});
        EXPECT_EQ(sent, Apdu("D2030001", content)) << int(c.option);
        EXPECT_EQ(b.selectionOption, c.option) << "the option is given back";
        // The content is a well-formed template once its E2 header is put back.
        const auto lines = testsupport::OpensslAsn1Parse(Element(0xE2, content));
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.front().find("cons: priv [ 2 ]"), std::string::npos) << lines.front();
    }
    // No title: no DFA211.
    TermDisplayBlock untitled = testsupport::DisplayBlock(TERM_DISPLAY_SELECT, {"00", "", list, "", "", "00000302CF"});
    EXPECT_EQ(Set(O_T_SELECT, &untitled), 0);
    EXPECT_EQ(sent, Apdu("D2030001", items));
    // The format field must hold exactly 10 characters.
    TermDisplayBlock shortFormat = testsupport::DisplayBlock(TERM_DISPLAY_SELECT, {"00", "", list, "", "", "000003"});
    EXPECT_EQ(Set(O_T_SELECT, &shortFormat), 0);
    EXPECT_TRUE(sent.empty());
}

TEST_F(RudaDisplayOps, SelectionWithoutColumnsOrRowsBuildsNothing_Mended) {
    for (const char* format : {"00000002CF", "00000300CF", "0000xx02CF"}) {
        TermDisplayBlock b = testsupport::DisplayBlock(TERM_DISPLAY_SELECT, {"00", "", "abc", "", "", format});
        EXPECT_EQ(Set(O_T_SELECT, &b), 0) << format;
        EXPECT_TRUE(sent.empty()) << format;
    }
    // A list whose items pass 255 bytes is refused, never cut.
    std::string many;
    for (int row = 2; row <= 12; ++row) many += kEsc + "P" + char(row) + "\x01" + std::string(20, 'x');
    TermDisplayBlock big = testsupport::DisplayBlock(TERM_DISPLAY_SELECT, {"00", "", many, "", "", "00002011CF"});
    EXPECT_EQ(Set(O_T_SELECT, &big), PV_CMD_INTERNAL);
    EXPECT_TRUE(sent.empty());
}

TEST_F(RudaDisplayOps, EntryKeyWaitAndSecretRequests) {
    struct Case {
        const char* name;
        TermDisplayBlock block;
        Bytes apdu;
    };
    auto entry = [](const char* maximum) {
        std::vector<std::string> f = {"00", "", "", "", "", "0", "1", "0", "00"};
        if (maximum != nullptr) f.push_back(maximum);
        return testsupport::DisplayBlock(TERM_DISPLAY_ENTRY, f);
    };
    auto entryE0 = [](uint8_t maximum) {
        return Element(0xE0, Concat({Element(0xDFA206, Hex("001200000000")), Element(0xDFA207, {maximum, 0x00}),
                                     Element(0xDF8306, {0x00})}));
    };
    TermDisplayBlock keyOn{}, keyOff{}, secret{}, secretFlags{};
    keyOn.kind = keyOff.kind = TERM_DISPLAY_KEY_WAIT;
    keyOn.keyWaitFlag = 1;
    secret.kind = secretFlags.kind = TERM_DISPLAY_SECRET_ENTRY;
    secret.secretEntryLength = 6;
    secretFlags.secretEntryLength = 300;
    secretFlags.entryFlags[0] = 0x05;
    secretFlags.entryFlags[1] = 0x07;
    const Case cases[] = {
        {"maximum 8", entry("08"), Apdu("D2040001", entryE0(8))},
        {"maximum 0 is sent as 11", entry("00"), Apdu("D2040001", entryE0(11))},
        {"no maximum field: 6", entry(nullptr), Apdu("D2040001", entryE0(6))},
        {"key wait on", keyOn, Hex("D0610300")},
        {"key wait off", keyOff, Hex("D0610000")},
        {"secret", secret, Apdu("D2F30006", Element(0xE0, Element(0xDFB005, Hex("00000001"))))},
        {"secret, large parameter and flags", secretFlags, Apdu("D2F30000", Element(0xE0, Element(0xDFB005, Hex("00000705"))))},
    };
    for (const Case& c : cases) {
        TermDisplayBlock b = c.block;
        EXPECT_EQ(Set(O_T_WDATA, &b), 0) << c.name;
        EXPECT_EQ(sent, c.apdu) << c.name;
    }
    const auto lines = testsupport::OpensslAsn1Parse(entryE0(8));
    EXPECT_EQ(lines.size(), 4u);
}

TEST_F(RudaDisplayOps, EntryWithMessageIdentifiers) {
    const Bytes ids = Hex("00F100F200F3");
    const std::vector<std::string> none;
    TermDisplayBlock empty = testsupport::DisplayBlock(TERM_DISPLAY_ENTRY_EXT, none);
    empty.entryMode = 0x02;
    // Maximum above 3: the identifiers.
    EXPECT_EQ(Set(O_T_WDATA_EXT, &empty, 4, ids.data(), 6, 0, 0), 0);
    EXPECT_EQ(sent, Apdu("D2040001", Element(0xE0, Concat({Element(0xDFA206, ids), Element(0xDFA207, {4, 0}),
                                                            Element(0xDF8306, {0x02})}))));
    // Decimals: (maximum + 1) - decimals, then the decimals.
    EXPECT_EQ(Set(O_T_WDATA_EXT, &empty, 4, ids.data(), 6, 2, 0), 0);
    EXPECT_EQ(sent, Apdu("D2040001", Element(0xE0, Concat({Element(0xDFA206, ids), Element(0xDFA207, {3, 2}),
                                                            Element(0xDF8306, {0x02})}))));
    // Maximum 2 with a text: three lines of the field size (16).
    TermDisplayBlock text = testsupport::DisplayBlock(TERM_DISPLAY_ENTRY_EXT, {"MONTANT"});
    EXPECT_EQ(Set(O_T_WDATA_EXT, &text, 2, ids.data(), 6, 0, 0), 0);
    const Bytes lines = Concat({Element(0xDFA213, Text("MONTANT         ")), Element(0xDFA213, Text(std::string(16, ' '))),
                                Element(0xDFA213, Text(std::string(16, ' ')))});
    EXPECT_EQ(sent, Apdu("D2040001", Element(0xE0, Concat({lines, Element(0xDFA207, {2, 0}), Element(0xDF8306, {0x00})}))));

    // Numeric only (164): two lines of the text, or at most 4 identifiers.
    TermDisplayBlock numeric = testsupport::DisplayBlock(TERM_DISPLAY_NUMERIC, {"12345678901234567890"});
    numeric.entryFlags[0] = 0x03;
    EXPECT_EQ(Set(O_T_WDATA_EXT, &numeric, 2, ids.data(), 6, 0, 0), 0);
    EXPECT_EQ(sent, Apdu("D2F10001", Element(0xE0, Concat({Element(0xDFA213, Text("1234567890123456")),
                                                            Element(0xDFA213, Text("7890            ")),
                                                            Element(0xDF8305, {2}), Element(0xDF8306, {0}),
                                                            Element(0xDFB005, Hex("00000003"))}))));
    TermDisplayBlock numericIds = testsupport::DisplayBlock(TERM_DISPLAY_NUMERIC, none);
    EXPECT_EQ(Set(O_T_WDATA_EXT, &numericIds, 0, ids.data(), 6, 0, 0), 0);
    EXPECT_EQ(sent, Apdu("D2F10001", Element(0xE0, Concat({Element(0xDFA206, Hex("00F100F2")), Element(0xDF8305, {11}),
                                                            Element(0xDF8306, {0}),
                                                            Element(0xDFB005, Hex("00000001"))}))));
    // Secret (177): P2 is the maximum.
    TermDisplayBlock secret = testsupport::DisplayBlock(TERM_DISPLAY_SECRET_ENTRY, none);
    EXPECT_EQ(Set(O_T_WDATA_EXT, &secret, 6, ids.data(), 6, 0, 0), 0);
    EXPECT_EQ(sent, Apdu("D2F30006", Element(0xE0, Concat({Element(0xDFB005, Hex("00000001")),
                                                            Element(0xDFA206, Hex("00F100F2"))}))));
    // Another kind builds nothing.
    TermDisplayBlock key = testsupport::DisplayBlock(TERM_DISPLAY_KEY_WAIT, none);
    EXPECT_EQ(Set(O_T_WDATA_EXT, &key, 0, ids.data(), 6, 0, 0), 0);
    EXPECT_TRUE(sent.empty());
}

TEST_F(RudaDisplayOps, EntryWithMessageIdentifiersRefusals) {
    const Bytes ids = Hex("00F100F200F3");
    TermDisplayBlock empty = testsupport::DisplayBlock(TERM_DISPLAY_ENTRY_EXT, {});
    EXPECT_EQ(Set(O_T_WDATA_EXT, &empty, 4, ids.data(), 5, 0, 0), PV_CMD_INTERNAL);
    EXPECT_TRUE(trace.Contains("Nombre d'identifiants des messages de saisie obligatoirement egal a 6"));
    EXPECT_EQ(Set(O_T_WDATA_EXT, &empty, 4, static_cast<const unsigned char*>(nullptr), 6, 0, 0), PV_CMD_INTERNAL);
    EXPECT_EQ(Set(O_T_WDATA_EXT, static_cast<TermDisplayBlock*>(nullptr), 4, ids.data(), 6, 0, 0), PV_CMD_INTERNAL);
    EXPECT_TRUE(sent.empty());
    // Fields too large for the 100-byte area: nothing is sent.
    EXPECT_EQ(Set(O_T_WDATA_EXT, &empty, 4, ids.data(), 6, 0, 34), 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(trace.Contains("prevent buffer overflow, max. size: 100, data size: 102"));
    TermDisplayBlock numeric = testsupport::DisplayBlock(TERM_DISPLAY_NUMERIC, {});
    EXPECT_EQ(Set(O_T_WDATA_EXT, &numeric, 4, ids.data(), 6, 0, 51), 0);
    EXPECT_TRUE(sent.empty());
    // A record with a text needs no identifiers.
    TermDisplayBlock text = testsupport::DisplayBlock(TERM_DISPLAY_ENTRY_EXT, {"PIN"});
    EXPECT_EQ(Set(O_T_WDATA_EXT, &text, 2, static_cast<const unsigned char*>(nullptr), 0, 0, 0), 0);
    EXPECT_FALSE(sent.empty());
}

TEST_F(RudaDisplayOps, ScreensPagesCodesAndLanguages) {
    EXPECT_EQ(Set(O_T_DISPLAY_SCREEN, 13), 0);
    EXPECT_EQ(sent, Hex("D2010D01"));
    EXPECT_EQ(Set(O_T_DISPLAY_SCREEN, -1), 0);
    EXPECT_TRUE(sent.empty());

    EXPECT_EQ(Set(O_T_DISPLAY_BITMAP, "LOGO.BMP"), 0);
    EXPECT_EQ(sent, Apdu("D2100001", Element(0xE0, Element(0xDFA301, Text("LOGO.BMP")))));
    EXPECT_TRUE(trace.Contains("RUDA_SetCommandDisplayBitmap() : Mise en place de la commande"));

    EXPECT_EQ(Set(O_T_DISPLAY_TEXT, "Pay\xe9"), 0);
    EXPECT_EQ(sent, Apdu("D2010001", Hex("506179C3A9")));

    EXPECT_EQ(Set(O_T_SELECT_LANG, "fra"), 0);
    EXPECT_EQ(sent, Apdu("D2D00101", Element(0xDFA222, Text("fra"))));
    EXPECT_EQ(Set(O_T_GET_LANG_LIST), 0);
    EXPECT_EQ(sent, Hex("D2D00100"));

    EXPECT_EQ(Set(O_T_QR_CODE, "https://x.example/1", "Scan"), 0);
    const Bytes qr = Element(0xE0, Concat({Element(0xDFA310, Text("https://x.example/1")), Element(0xDF8104, Text("Scan")),
                                           Element(0xDFA313, {0x00, 0xFA}), Element(0xDFA312, {0x00, 0xFA})}));
    EXPECT_EQ(sent, Apdu("D2C00001", qr));
    EXPECT_EQ(Set(O_T_QR_CODE, "abc", ""), 0);
    EXPECT_EQ(sent, Apdu("D2C00001", Element(0xE0, Concat({Element(0xDFA310, Text("abc")), Element(0xDFA313, {0x00, 0xFA}),
                                                            Element(0xDFA312, {0x00, 0xFA})}))));
    EXPECT_EQ(Set(O_T_QR_CODE, "", "Scan"), 0);
    EXPECT_TRUE(sent.empty());

    EXPECT_EQ(Set(O_T_BARCODE, 1, 0, 0), 0);
    EXPECT_EQ(sent, Hex("D0B10100"));
    EXPECT_EQ(Set(O_T_BARCODE, 2, 0, 12), 0);
    EXPECT_EQ(sent, Apdu("D0B10200", Element(0xE0, Element(0xDF8141, {0x12}))));
    EXPECT_EQ(Set(O_T_BARCODE, 2, 0, 1234), 0);
    EXPECT_EQ(sent, Apdu("D0B10200", Element(0xE0, Element(0xDF8141, {0x12, 0x34}))));
}

TEST_F(RudaDisplayOps, HtmlPageRequests) {
    HtmlParamList params;
    params.add("type_mess", "OK");
    params.add("vide", "");  // an empty value is not sent
    params.add("", "sans nom");
    params.add("message", "Paiement accepte");
    HtmlPageRequest page("talvo/xxdmess.html", params);
    EXPECT_EQ(Set(O_T_HTML_PAGE, &page), 0);
    const Bytes e0 = Element(0xE0, Concat({Element(0xDFAA01, Text("talvo/xxdmess.html")), Element(0xDFAA02, Text("type_mess")),
                                           Element(0xDFAA03, Text("OK")), Element(0xDFAA02, Text("message")),
                                           Element(0xDFAA03, Text("Paiement accepte"))}));
    EXPECT_EQ(sent, Apdu("D2E00001", e0));
    EXPECT_EQ(testsupport::OpensslAsn1Parse(e0).size(), 6u);

    // A page of more than 255 bytes takes the extended length.
    HtmlParamList large;
    large.add("message", std::string(300, 'm'));
    HtmlPageRequest big("p.html", large);
    EXPECT_EQ(Set(O_T_HTML_PAGE, &big), 0);
    const Bytes bigE0 = Element(0xE0, Concat({Element(0xDFAA01, Text("p.html")), Element(0xDFAA02, Text("message")),
                                              Element(0xDFAA03, Text(std::string(300, 'm')))}));
    const Bytes extended = Concat({Hex("D2E00001 00"), Bytes{static_cast<uint8_t>(bigE0.size() >> 8),
                                                             static_cast<uint8_t>(bigE0.size())},
                                   bigE0});
    EXPECT_EQ(sent, extended);
    EXPECT_EQ(Set(O_T_HTML_PAGE, static_cast<HtmlPageRequest*>(nullptr)), 0);
    EXPECT_TRUE(sent.empty());
}

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

TEST_F(RudaDisplayOps, DialogueAnswers) {
    struct Case {
        const char* name;
        int32_t kind;
        uint8_t option;
        int cancelIsAnswer;
        Bytes answer;
        int status;
        int32_t result;  // -1: untouched
        std::string data;
    } cases[] = {
        {"display done", TERM_DISPLAY_TEXT, 0, 0, Hex("9000"), 0, -1, ""},
        {"display refused", TERM_DISPLAY_TEXT, 0, 0, Hex("6F00"), 1, -1, ""},
        {"open", TERM_DISPLAY_OPEN, 0, 0, Hex("6F00"), 0, -1, ""},
        {"continuous", TERM_DISPLAY_CONTINUOUS, 0, 0, Hex("6F00"), 0, 0, ""},
        {"kind without answer", 42, 0, 0, Hex("9000"), 1, -1, ""},
        {"item", TERM_DISPLAY_SELECT, 0, 0, WithSw(Element(0xE0, Element(0xDFA202, {0x02})), 0x9000), 0, 2, ""},
        {"item from DFA230", TERM_DISPLAY_SELECT, 0, 0, WithSw(Element(0xDFA230, {0x03}), 0x9000), 0, 3, ""},
        {"item of two bytes", TERM_DISPLAY_SELECT, 0, 0, WithSw(Element(0xDFA202, {0x00, 0x02}), 0x9000), 1, -1, ""},
        {"no item, correction allowed", TERM_DISPLAY_SELECT, 4, 0, Hex("9000"), 0, 'C', ""},
        {"no item", TERM_DISPLAY_SELECT, 0, 0, Hex("9000"), 1, -1, ""},
        {"cancel is an answer", TERM_DISPLAY_SELECT, 0, 1, Hex("9F43"), 0, 'A', ""},
        {"cancel is not an answer", TERM_DISPLAY_SELECT, 0, 0, Hex("9F43"), 1, -1, ""},
        {"entry cancelled", TERM_DISPLAY_ENTRY, 0, 0, Hex("9F43"), 0, 'A', ""},
        {"entry refused", TERM_DISPLAY_ENTRY, 0, 0, Hex("6400"), 1, 255, ""},
        {"entry", TERM_DISPLAY_ENTRY, 0, 0, WithSw(Element(0xE0, Element(0xDFA208, Text("1234"))), 0x9000), 0, 'V', "1234"},
        {"entry with ids", TERM_DISPLAY_ENTRY_EXT, 0, 0, WithSw(Element(0xDFA208, Text("77")), 0x9000), 0, 'V', "77"},
        {"numeric cancelled", TERM_DISPLAY_NUMERIC, 0, 0, Hex("9F43"), 0, 'A', ""},
        {"numeric correction", TERM_DISPLAY_NUMERIC, 0, 0, Hex("9F45"), 0, 'C', ""},
        {"numeric value", TERM_DISPLAY_NUMERIC, 0, 0, WithSw(Element(0xE0, Element(0xDF8301, Text("42"))), 0x9000), 0, 'V', "42"},
        {"numeric empty value", TERM_DISPLAY_NUMERIC, 0, 0, WithSw(Element(0xE0, Hex("DF830100")), 0x9000), 0, 'V', ""},
        {"numeric without value", TERM_DISPLAY_NUMERIC, 0, 0, WithSw(Element(0xE0, Element(0xDFA205, {0x0D})), 0x9000), 1, -1, ""},
        {"numeric other status", TERM_DISPLAY_NUMERIC, 0, 0, Hex("6F00"), 1, -1, ""},
        {"key wait refused", TERM_DISPLAY_KEY_WAIT, 0, 0, Hex("6F00"), 1, -1, ""},
        {"key wait not yet", TERM_DISPLAY_KEY_WAIT, 0, 0, Hex("9000"), PV_NOT_YET, -1, ""},
        {"key V", TERM_DISPLAY_KEY_WAIT, 0, 0, WithSw(Element(0xE0, Element(0xDFA205, {0x0D})), 0x9000), 0, 'V', ""},
        {"key A", TERM_DISPLAY_KEY_WAIT, 0, 0, WithSw(Element(0xE0, Element(0xDFA205, {0x1B})), 0x9000), 0, 'A', ""},
        {"secret cancelled", TERM_DISPLAY_SECRET_ENTRY, 0, 0, Hex("9F43"), 0, 'A', ""},
        {"secret refused", TERM_DISPLAY_SECRET_ENTRY, 0, 0, Hex("6A80"), 1, -1, ""},
        {"secret", TERM_DISPLAY_SECRET_ENTRY, 0, 0, WithSw(Element(0xE0, Element(0xDF8301, Text("9876"))), 0x9000), 0, 'V', "9876"},
        {"secret absent", TERM_DISPLAY_SECRET_ENTRY, 0, 0, WithSw(Element(0xE0, Element(0xDFA205, {0x0D})), 0x9000), 1, 'A', ""},
        {"secret too long", TERM_DISPLAY_SECRET_ENTRY, 0, 0, WithSw(Element(0xDF8301, Text(std::string(22, '1'))), 0x9000), 1, 'A', ""},
    };
    for (const Case& c : cases) {
        TermDisplayBlock b{};
        b.kind = c.kind;
        b.selectionOption = c.option;
        b.resultField = -1;
        b.result = 7;
        const int operation = c.kind == TERM_DISPLAY_ENTRY_EXT || c.kind == TERM_DISPLAY_NUMERIC ? O_T_WDATA_EXT : O_T_WDATA;
        const int status = c.kind == TERM_DISPLAY_SELECT ? Answer(O_T_SELECT, c.answer, &b, c.cancelIsAnswer)
                                                      : Answer(operation, c.answer, &b);
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(b.resultField, c.result) << c.name;
        EXPECT_EQ(std::string(b.resultData, static_cast<size_t>(b.resultLength)), c.data) << c.name;
        if (c.result == 'V' && c.kind != TERM_DISPLAY_KEY_WAIT && c.kind != TERM_DISPLAY_SECRET_ENTRY) {
            EXPECT_EQ(b.result, 0) << c.name;
        }
    }
    EXPECT_TRUE(trace.Contains("Pas de corp au message. Attention desynchronisation probable"));
    EXPECT_TRUE(trace.Contains("Reponse PasswordEntry : SW1-SW2 : 6A80"));
    // A result argument missing.
    EXPECT_EQ(Answer(O_T_DISPLAY, Hex("9000"), static_cast<TermDisplayBlock*>(nullptr)), -1);
}

TEST_F(RudaDisplayOps, EnteredValueCutToTheResultArea_Mended) {
    // The terminal sends 60 characters; the record holds 40 and a NUL.
    TermDisplayBlock b{};
    b.kind = TERM_DISPLAY_ENTRY;
    const std::string value(60, '7');
    EXPECT_EQ(Answer(O_T_WDATA, WithSw(Element(0xE0, Element(0xDFA208, Text(value))), 0x9000), &b), 0);
    EXPECT_EQ(b.resultField, 'V');
    EXPECT_EQ(b.resultLength, 40);
    EXPECT_EQ(std::string(b.resultData), std::string(40, '7'));
    EXPECT_EQ(b.resultData[40], '\0');
    EXPECT_EQ(b.keyWaitFlag, 0) << "nothing written past the result area";
    TermDisplayBlock n{};
    n.kind = TERM_DISPLAY_NUMERIC;
    EXPECT_EQ(Answer(O_T_WDATA_EXT, WithSw(Element(0xDF8301, Text(value)), 0x9000), &n), 0);
    EXPECT_EQ(n.resultLength, 40);
    EXPECT_EQ(n.keyWaitFlag, 0);
}

TEST_F(RudaDisplayOps, ScreenQrAndLanguageStatuses) {
    struct Case {
        int operation;
        const char* answer;
        int status;
    } cases[] = {
        {O_T_DISPLAY_SCREEN, "9000", 0},   {O_T_DISPLAY_SCREEN, "9F55", 82}, {O_T_DISPLAY_BITMAP, "9F51", 82},
        {O_T_DISPLAY_TEXT, "9F53", 82},    {O_T_DISPLAY_TEXT, "9F54", 82},   {O_T_DISPLAY_SCREEN, "6F00", 1},
        {O_T_QR_CODE, "9000", 0},          {O_T_QR_CODE, "9F27", 32},        {O_T_QR_CODE, "6F00", 1},
        {O_T_SELECT_LANG, "9000", 0},      {O_T_SELECT_LANG, "9F21", 32},    {O_T_SELECT_LANG, "9BFFFFFF9F0D", 32},
        {O_T_SELECT_LANG, "9F0D", 1},      {O_T_SELECT_LANG, "6F00", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(Answer(c.operation, Hex(c.answer)), c.status) << c.operation << " " << c.answer;
    EXPECT_TRUE(trace.Contains("Reponse Display : SW1-SW2 : 9F55"));
    EXPECT_TRUE(trace.Contains("Reponse Select Lang : SW1-SW2 : 9F21"));
}

TEST_F(RudaDisplayOps, LanguageList) {
    char slots[3][kRudaLanguageSlot];
    std::memset(slots, 'x', sizeof slots);
    const Bytes answer = WithSw(Element(0xE0, Concat({Element(0xDFA222, Text("fra")), Element(0xDFA222, Text("en"))})), 0x9000);
    EXPECT_EQ(Answer(O_T_GET_LANG_LIST, answer, &slots[0][0], 3), 0);
    EXPECT_STREQ(slots[0], "fra");
    EXPECT_STREQ(slots[1], "en ");
    EXPECT_EQ(slots[2][0], 'x');
    EXPECT_EQ(Answer(O_T_GET_LANG_LIST, Hex("6F00"), &slots[0][0], 3), 32);
    EXPECT_TRUE(trace.Contains("Reponse Get Lang List : SW1-SW2 : 6F00"));
}

TEST_F(RudaDisplayOps, LanguageListBoundedBySlots_Mended) {
    // Nine languages into four slots: the four first, nothing past them.
    char slots[5][kRudaLanguageSlot];
    std::memset(slots, 'x', sizeof slots);
    Bytes list;
    for (const char* code : {"fra", "eng", "deu", "ita", "spa", "nld", "por", "pol", "ces"})
        list = Concat({list, Element(0xDFA222, Text(code))});
    EXPECT_EQ(Answer(O_T_GET_LANG_LIST, WithSw(list, 0x9000), &slots[0][0], 4), 0);
    EXPECT_STREQ(slots[0], "fra");
    EXPECT_STREQ(slots[3], "ita");
    EXPECT_EQ(std::string(slots[4], 4), "xxxx");
}

TEST_F(RudaDisplayOps, HtmlPageAnswers) {
    HtmlPageResponse r;
    // Only 90 00: the page is still shown, and the row waits for more.
    EXPECT_EQ(Answer(O_T_HTML_PAGE, Hex("9000"), &r), PV_NOT_YET);
    EXPECT_EQ(r.getResult(), -98);
    // The row was re-armed: read again, it waits for the terminal.
    EXPECT_EQ(testsupport::ReadRow(t.box, display, &r), PV_NOT_YET);
    EXPECT_EQ(r.getResult(), -98);
    EXPECT_TRUE(trace.Contains("RUDA_DealDisplayHtml : 9000"));
    EXPECT_EQ(Answer(O_T_HTML_PAGE, Hex("9F43"), &r), 0);
    EXPECT_EQ(r.getResult(), -1);
    EXPECT_EQ(Answer(O_T_HTML_PAGE, Hex("6A82"), &r), 0);
    EXPECT_EQ(r.getResult(), -99);

    HtmlPageResponse chosen;
    const Bytes answer = WithSw(Element(0xE0, Concat({Element(0xDFAA05, {0x02}), Element(0xDFAA02, Text("montant")),
                                                      Element(0xDFAA03, Text("1500")), Element(0xDFAA02, Text("x")),
                                                      Element(0xDFAA03, Text("y"))})),
                                0x9000);
    EXPECT_EQ(Answer(O_T_HTML_PAGE, answer, &chosen), 0);
    EXPECT_EQ(chosen.getResult(), 1);
    EXPECT_EQ(chosen.getSelection(), 2);
    ASSERT_EQ(chosen.params().size(), 1u);
    EXPECT_EQ(chosen.params().items()[0], (std::pair<std::string, std::string>("montant", "1500")));

    HtmlPageResponse noSelection;
    EXPECT_EQ(Answer(O_T_HTML_PAGE, WithSw(Element(0xE0, Element(0xDFAA02, Text("a"))), 0x9000), &noSelection), 32);
    EXPECT_EQ(noSelection.getResult(), -97);
    EXPECT_EQ(noSelection.getSelection(), -1);
}

TEST_F(RudaDisplayOps, BarcodeAnswers) {
    std::vector<char> buffer(kRudaBarcodeMax + 1, 'q');
    EXPECT_EQ(Answer(O_T_BARCODE, Hex("9000"), buffer.data()), 0);
    EXPECT_TRUE(trace.Contains("E0 non trouve (Normal si open ou close)"));
    EXPECT_EQ(buffer[0], 'q');
    EXPECT_EQ(Answer(O_T_BARCODE, WithSw(Element(0xE0, Element(0xDFA310, Text("3017620422003"))), 0x9000), buffer.data()), 0);
    EXPECT_STREQ(buffer.data(), "3017620422003");
    struct Case {
        const char* sw;
        const char* text;
    } errors[] = {{"9F10", "P1 invalide"}, {"6A88", "P2 invalide"}, {"9F0D", "Ruda internal error"},
                  {"9F41", "Commande annulee ou timeout"}, {"6F00", nullptr}};
    for (const Case& c : errors) {
        EXPECT_EQ(Answer(O_T_BARCODE, Hex(c.sw), buffer.data()), 1) << c.sw;
        if (c.text != nullptr) {
            EXPECT_TRUE(trace.Contains(std::string("RUDA_DealRUDAReadBarcodeAnswer : ") + c.text)) << c.sw;
        }
    }
}

TEST_F(RudaDisplayOps, BarcodeBoundedByItsBuffer_Mended) {
    std::vector<char> buffer(kRudaBarcodeMax + 2, 'q');
    const std::string full(kRudaBarcodeMax, '8');
    EXPECT_EQ(Answer(O_T_BARCODE, WithSw(Element(0xE0, Element(0xDFA310, Text(full))), 0x9000), buffer.data()), 0);
    EXPECT_EQ(std::string(buffer.data()), full);
    EXPECT_EQ(buffer[kRudaBarcodeMax + 1], 'q');
    // One byte more than the buffer holds: nothing copied.
    std::vector<char> other(kRudaBarcodeMax + 2, 'q');
    const std::string over(kRudaBarcodeMax + 1, '9');
    EXPECT_EQ(Answer(O_T_BARCODE, WithSw(Element(0xE0, Element(0xDFA310, Text(over))), 0x9000), other.data()), 0);
    EXPECT_EQ(other[0], 'q');
    EXPECT_EQ(other[kRudaBarcodeMax + 1], 'q');
}

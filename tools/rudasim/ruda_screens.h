// The screen and keypad of the simulated RUDA terminal: what it shows
// (texts, predefined screens, bitmaps, HTML pages, QR codes), the answers
// of its selections, entries and secret entries, its barcode reader and its
// languages, as the scenario scripts them. Key waits (D0 61 03 00) are the
// dispatcher's: they share the card watch.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cardsim/emv_card.h"

namespace rudasim {

using Bytes = cardsim::Bytes;

struct PageRule {
    std::string name;
    Bytes final;     // the page's final answer (data and status word)
    int delayMs = 0; // between the first 90 00 and the final answer
};

// Scenario statements of the screen (see tools/README.md):
//   page NAME => HEX [delay MS] | page NAME cancel [delay MS]
//   select ITEM | select cancel          (queued, in order)
//   entry "TEXT" | entry cancel          (queued, in order)
//   secret "TEXT" | secret cancel        (queued, in order)
//   display-status SW                    (D2 01 and D2 10 answered with SW)
//   qr [sw HEX]
//   barcode "TEXT"                       (queued, in order)
//   languages CODE...  | language-refuse
struct ScreenScenario {
    std::vector<PageRule> pages;
    std::deque<std::optional<uint8_t>> selections;       // none: cancelled
    std::deque<std::optional<std::string>> entries;      // none: cancelled
    std::deque<std::optional<std::string>> secrets;      // none: cancelled
    std::optional<Bytes> displayStatus;
    Bytes qrStatus = {0x90, 0x00};
    std::deque<std::string> barcodes;
    std::vector<std::string> languages;
    bool languageRefuse = false;

    // Reads one statement: true when it is a screen statement (*error set
    // when it is malformed).
    bool parse(const std::vector<std::string>& words, std::string* error);
};

// What the program asked the screen, in order.
struct ScreenRecord {
    std::vector<std::string> texts;   // D2 01 00 01: the UTF-8 text shown
    std::vector<int> screenIds;       // D2 01 nn 01
    std::vector<std::string> bitmaps; // D2 10: DFA301
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> pages;
    std::vector<std::string> qrCodes; // D2 C0: DFA310
    std::vector<std::string> languagesChosen;  // D2 D0 01 01: DFA222
    int selections = 0;               // D2 03 requests
    int entries = 0;                  // D2 04, D2 F1, D2 F3 requests
    int barcodeRequests = 0;          // D0 B1
};

struct ScreenAnswer {
    Bytes payload;
    Bytes after;      // a second answer sent unasked (a page's final answer)
    int afterDelayMs = 0;
};

// Answers a screen APDU (D2 01, 03, 04, 10, C0, D0, E0, F1, F3, and D0 B1);
// false when the APDU is not one.
bool AnswerScreen(ScreenScenario& scenario, ScreenRecord& record, const Bytes& apdu, ScreenAnswer* answer);

}  // namespace rudasim
